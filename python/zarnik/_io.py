"""Saving and loading graphs, tapes and functions as graph files (the format
is described in the README): to and from a path or a binary file object."""

import os
from collections.abc import Sequence
from typing import IO, TYPE_CHECKING, Any

from zarnik import _compiled

if TYPE_CHECKING:  # a compiled function's type is generic in its stubs only
    from _zarnik import Expression
    from zarnik._compiled import Function, Tape

    # What a graph file holds, as save takes it and load gives it back.
    type _Saveable = Expression | Sequence[Expression] | Tape | Function[Any, Any]
    type _Loaded = Expression | list[Expression] | Tape | Function[Any, Any]
    type _Place = str | os.PathLike[str] | IO[bytes]

# What one read asks for at first: the bytes read grow with what the file
# gives, never with what its header claims.
_FIRST_READ = 1 << 20


def save(obj: _Saveable, file: _Place) -> None:
    """Writes `obj` (an Expression, a sequence of Expressions, a Tape or a
    Function) as a graph file to `file`: a path, or a file object opened for
    writing bytes, which is left just after what was written.

    >>> import io, zarnik as zk
    >>> p = zk.Parameter(2.0, name="p")
    >>> buffer = io.BytesIO()
    >>> zk.save(zk.compile(p * p), buffer)
    >>> tape = zk.load(io.BytesIO(buffer.getvalue()))
    >>> tape.eval(), tape.parameters[0].name, tape.parameters[0].id != p.id
    ((4.0,), 'p', True)
    """
    if isinstance(file, (str, os.PathLike)):
        # The core replaces the file only with a whole new one: a save that
        # fails midway (a full disk, Ctrl-C) leaves the old file as it was.
        _compiled._save_to_path(obj, file)
        return
    data = _compiled._save(obj)
    if not callable(getattr(file, "write", None)):
        raise TypeError(f"save() writes to a path or a binary file object, not {type(file).__name__}")
    _write_all(file, data)


def load(file: _Place) -> _Loaded:
    """Reads one graph file from `file`: a path, or a file object opened for
    reading bytes, which is left just after the file. Gives what was saved, made
    of new nodes: an Expression, a list of Expressions, a Tape or a Function.
    A truncated, damaged or foreign file, or one of a newer format version,
    raises ValueError."""
    if not isinstance(file, (str, os.PathLike)):
        if not callable(getattr(file, "read", None)):
            raise TypeError(f"load() reads from a path or a binary file object, not {type(file).__name__}")
        return _compiled._load(_read_one(file))
    with open(os.fspath(file), "rb") as opened:
        data = _read_one(opened)
        if opened.read(1):
            raise ValueError("cannot load graph: bytes follow the end of the file")
    return _compiled._load(data)


def _write_all(file: IO[bytes], data: bytes) -> None:
    view = memoryview(data)
    while view:
        written = file.write(view)
        # None is a non-blocking stream that took nothing; a count beyond
        # what was offered would make the loop skip bytes or repeat them.
        if not written:
            raise OSError("the file took no bytes")
        if not 0 < written <= len(view):
            raise OSError(f"the file's write() reports {written} of {len(view)} bytes written")
        view = view[written:]


def _read(file: IO[bytes], count: int) -> bytearray:
    """Up to `count` bytes, fewer only where the file ends."""
    parts = bytearray()
    while len(parts) < count:
        part = file.read(count - len(parts))
        if part is None:
            raise OSError("the file gave no bytes (a non-blocking stream)")
        if not isinstance(part, (bytes, bytearray)):
            raise TypeError("a graph file is read from a file opened in binary mode")
        if not part:
            break
        parts += part
    return parts


def _read_one(file: IO[bytes]) -> bytearray:
    data = _read(file, _compiled._HEADER_SIZE)
    length = _compiled._file_length(data)  # checks the header
    step = _FIRST_READ
    while len(data) < length:
        before = len(data)
        data += _read(file, min(length - before, step))
        if len(data) - before < min(length - before, step):
            break  # the file ended: the loader reports how much is missing
        step *= 2
    return data
