"""Graph files: zarnik.save and zarnik.load, pickling and copies of tapes and
functions. Whatever travels comes back as new nodes whose every call gives the
original's bits; a damaged, truncated or foreign file is a ValueError."""

import contextlib
import copy
import copyreg
import errno
import fcntl
import functools
import io
import multiprocessing
import os
import pathlib
import pickle
import re
import resource
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import zlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zarnik as zk
import zarnik._io
from random_graphs import build_graph, graph_nodes, leaf, operation


def bits(value):
    """A result as bits: lanes, tuples of lanes and arrays compare by their bytes."""
    if isinstance(value, np.ndarray):
        return value.shape, value.tobytes()
    if isinstance(value, (tuple, list)):
        return tuple(bits(v) for v in value)
    return struct.pack("<d", value)


def outcome(call):
    try:
        return "ok", bits(call())
    except Exception as error:  # noqa: BLE001 - the type and text are what is compared
        return type(error), str(error)


def placed(function, call):
    """The outcome of a call of `function`, a node its text names given by
    its place in a walk over the function's outputs rather than its id."""
    kind, text = outcome(call)
    if kind == "ok":
        return kind, text
    places = {node.id: place for place, node in enumerate(graph_nodes(function.outputs))}
    return kind, re.sub(r"#(\d+)$", lambda found: f"place {places[int(found.group(1))]}", text)


def through_file(obj):
    buffer = io.BytesIO()
    zk.save(obj, buffer)
    buffer.seek(0)
    return zk.load(buffer)


TRAVELS = {
    "file": through_file,
    "pickle": lambda obj: pickle.loads(pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)),
    "deepcopy": copy.deepcopy,
}


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.lists(leaf, min_size=1, max_size=4),
    st.lists(operation, min_size=1, max_size=14),
    st.lists(st.booleans(), min_size=4, max_size=4),
    st.floats(-0.5, 0.5),
    st.sampled_from(sorted(TRAVELS)),
)
def test_a_travelled_tape_and_function_give_the_same_bits(leaves, operations, chosen, shift, travel):
    builder = build_graph(leaves, operations)
    output = builder.nodes[-1].expression
    parameters = [node.expression for node in builder.parameters]
    inputs = [p for p, take in zip(parameters, chosen) if take]
    f = zk.function(inputs, [output, builder.nodes[len(builder.nodes) // 2].expression])
    g = TRAVELS[travel](f)
    assert [e.id for e in g.inputs] != [e.id for e in f.inputs] or not inputs
    assert min((e.id for e in g.outputs), default=0) > max(e.id for e in f.outputs)
    at = [tuple(v + shift for v in p.value) for p in inputs]
    # A failure names a node of each function's own graph, at the same place in it.
    assert placed(g, lambda: g(*at)) == placed(f, lambda: f(*at))
    assert placed(g, lambda: g.jacobian(*at)) == placed(f, lambda: f.jacobian(*at))
    if inputs:
        rows = [np.array([[v + k * 0.125 for v in lanes] for k in range(5)]) for lanes in at]
        assert placed(g, lambda: g.batch(*rows)) == placed(f, lambda: f.batch(*rows))
        assert placed(g, lambda: g.batch_jacobian(*rows)) == placed(f, lambda: f.batch_jacobian(*rows))

    tape = zk.compile(output)
    copied = TRAVELS[travel](tape)
    assert len(copied) == len(tape)
    assert [(p.name, p.value) for p in copied.parameters] == [(p.name, p.value) for p in tape.parameters]
    assert outcome(copied.eval) == outcome(tape.eval)
    if output.dim == 1:
        assert outcome(copied.backward) == outcome(tape.backward)
        assert [bits(p.grad or ()) for p in copied.parameters] == [bits(p.grad or ()) for p in tape.parameters]
        tape.zero_grad()


def test_a_loaded_graph_keeps_values_names_hints_and_sharing():
    p = zk.Parameter(1.5, -2.0, name="weights")
    u = zk.Undefined(hint=[0.25, 0.5], name="point")
    shared = zk.sin(p * u)
    before = zk._compiled._new_node_id()
    loaded = through_file([shared[0] + shared[1], shared, p, u, zk.Undefined(dim=3, name="bare")])
    total, shared_copy, p_copy, u_copy, bare = loaded
    assert isinstance(loaded, list) and min(e.id for e in loaded) > before
    assert (p_copy.name, p_copy.value, p_copy.grad) == ("weights", (1.5, -2.0), None)
    assert (u_copy.name, u_copy.hint, u_copy.kind) == ("point", (0.25, 0.5), "Undefined")
    assert (bare.dim, bare.hint, bare.name) == (3, None, "bare")
    assert total.inputs[0].inputs[0].id == total.inputs[1].inputs[0].id == shared_copy.id
    assert shared_copy.inputs[0].inputs[0].id == p_copy.id
    single = through_file(p * 2)
    assert isinstance(single, zk.Expression) and single.eval() == (3.0, -4.0)
    p.set_value(0.0, 0.0)  # the file holds the values of when it was saved
    assert p_copy.value == (1.5, -2.0) and single.eval() == (3.0, -4.0)


@contextlib.contextmanager
def full_disk_after(size):
    """Writes past `size` bytes of a file fail as on a full disk (EFBIG; the
    interpreter ignores the signal that comes with it)."""
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, limit[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limit)


@contextlib.contextmanager
def ctrl_c_once_a_file_is_made_in(folder):
    """KeyboardInterrupt, as Ctrl-C raises it, from the signal the kernel
    sends when a file is made in `folder` (a directory notice): it arrives
    inside the save, after its temporary file was made."""

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGIO, interrupt)
    watched = os.open(folder, os.O_RDONLY)
    try:
        fcntl.fcntl(watched, fcntl.F_NOTIFY, fcntl.DN_CREATE)
        yield
    finally:
        os.close(watched)
        signal.signal(signal.SIGIO, previous)


def test_a_save_that_fails_midway_leaves_the_old_file_as_it_was(tmp_path):
    x = zk.Undefined(name="x")
    old, new = zk.function(x, x * x), zk.function(x, zk.sin(x) * x + 1.0)
    path = tmp_path / "model.zg"
    zk.save(old, path)
    saved = path.read_bytes()
    # A full disk halfway through the bytes, or Ctrl-C while they are written.
    cases = [
        ("a full disk", full_disk_after(len(zk._compiled._save(new)) // 2), OSError),
        ("Ctrl-C", ctrl_c_once_a_file_is_made_in(tmp_path), KeyboardInterrupt),
    ]
    for name, happening, error in cases:
        with happening, pytest.raises(error) as raised:
            zk.save(new, path)
        assert raised.type is error, name
        if error is OSError:  # raised as write raises it, with the path as given
            assert (raised.value.errno, raised.value.filename) == (errno.EFBIG, path)
        assert path.read_bytes() == saved, name
        assert sorted(p.name for p in tmp_path.iterdir()) == ["model.zg"], name
        assert zk.load(path)(2.0) == (4.0,)
    zk.save(new, path)
    assert zk.load(path)(2.0) == new(2.0)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["model.zg"]


def test_saving_to_a_path_keeps_its_permission_and_its_link(tmp_path):
    x = zk.Undefined(name="x")
    f = zk.function(x, x * 3.0)
    umask = os.umask(0o022)
    try:
        zk.save(f, tmp_path / "new.zg")
        with open(tmp_path / "by_open", "wb"):
            pass
    finally:
        os.umask(umask)
    assert stat.S_IMODE((tmp_path / "new.zg").stat().st_mode) == stat.S_IMODE((tmp_path / "by_open").stat().st_mode)
    (tmp_path / "new.zg").chmod(0o604)  # a mode no umask gives
    zk.save(f, tmp_path / "new.zg")
    assert stat.S_IMODE((tmp_path / "new.zg").stat().st_mode) == 0o604
    (tmp_path / "link.zg").symlink_to(tmp_path / "new.zg")
    zk.save(zk.function(x, x * 4.0), tmp_path / "link.zg")
    assert (tmp_path / "link.zg").is_symlink() and zk.load(tmp_path / "new.zg")(1.0) == (4.0,)
    if os.geteuid() == 0:  # only root gives a file to another owner, and so keeps it theirs
        os.chown(tmp_path / "new.zg", 4321, 8765)
        zk.save(f, tmp_path / "new.zg")
        assert ((tmp_path / "new.zg").stat().st_uid, (tmp_path / "new.zg").stat().st_gid) == (4321, 8765)


def test_a_name_as_long_as_the_folder_takes_saves_and_is_replaced(tmp_path):
    # The file written first beside it has a name of its own: one the folder
    # takes whatever the length of the name saved to.
    x = zk.Undefined(name="x")
    path = tmp_path / ("m" * os.pathconf(tmp_path, "PC_NAME_MAX"))
    for scale in (2.0, 3.0):  # a new file, then one replaced
        zk.save(zk.function(x, x * scale), path)
        assert zk.load(path)(1.0) == (scale,)
        assert [p.name for p in tmp_path.iterdir()] == [path.name]


def test_saving_to_a_pipe_writes_into_it(tmp_path):
    # A path that is no regular file (a pipe, a device such as /dev/null) is
    # written as open writes it, never replaced by a file of its own.
    x = zk.Undefined(name="x")
    f = zk.function(x, x * 3.0)
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    reader = os.open(pipe, os.O_RDONLY | os.O_NONBLOCK)
    try:
        zk.save(f, pipe)
        assert stat.S_ISFIFO(pipe.lstat().st_mode)
        assert os.read(reader, 1 << 16) == zk._compiled._save(f)
    finally:
        os.close(reader)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["pipe"]


def test_a_file_its_user_may_not_write_is_not_replaced():
    # The file's own permission refuses the save, as open refuses it, though
    # the folder would take a new file: run by a user who is not root.
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o777)
        path = pathlib.Path(folder, "read_only.zg")
        x = zk.Undefined(name="x")
        zk.save(zk.function(x, x * 2.0), path)
        saved = path.read_bytes()
        path.chmod(0o444)
        as_user = {}
        if os.geteuid() == 0:
            os.chown(path, 65534, 65534)
            as_user = {"user": 65534, "group": 65534, "extra_groups": []}
        code = "import sys, zarnik as zk; x = zk.Undefined(); zk.save(zk.function(x, x * 5.0), sys.argv[1])"
        run = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True, **as_user)
        assert run.returncode != 0 and "PermissionError" in run.stderr, run.stderr
        assert path.read_bytes() == saved
        assert os.listdir(folder) == ["read_only.zg"]


def test_save_and_load_take_paths_and_binary_files(tmp_path):
    x = zk.Undefined(name="x")
    f = zk.function(x, x * x)
    zk.save(f, tmp_path / "f.zg")
    zk.save(zk.compile(zk.Constant(2.0) * x), str(tmp_path / "tape.zg"))
    assert zk.load(str(tmp_path / "f.zg"))(3.0) == (9.0,)
    assert isinstance(zk.load(tmp_path / "tape.zg"), zk.Tape)

    stream = io.BytesIO()
    zk.save(f, stream)
    zk.save([x, x * 2], stream)
    stream.seek(0)
    assert zk.load(stream)(2.0) == (4.0,)
    assert [e.op for e in zk.load(stream)] == ["None", "Multiply"]
    assert stream.read() == b""

    (tmp_path / "longer.zg").write_bytes((tmp_path / "f.zg").read_bytes() + b"more")
    with pytest.raises(ValueError, match="^cannot load graph: bytes follow the end of the file$"):
        zk.load(tmp_path / "longer.zg")
    with open(tmp_path / "f.zg", encoding="latin-1") as text, pytest.raises(TypeError, match="binary mode"):
        zk.load(text)
    for wrong, error in [
        (42, "save\\(\\) takes an Expression"),
        ([x, 1.0], "save\\(\\) takes an Expression"),
        ([], "at least one Expression"),
    ]:
        with pytest.raises((TypeError, ValueError), match=error):
            zk.save(wrong, io.BytesIO())
    # Neither a path nor a file object: a file's own bytes given by mistake among them.
    for place in (zk._compiled._save(f), bytearray(b"f.zg"), 3, None):
        kind = type(place).__name__
        with pytest.raises(TypeError, match=f"^save\\(\\) writes to a path or a binary file object, not {kind}$"):
            zk.save(f, place)
        with pytest.raises(TypeError, match=f"^load\\(\\) reads from a path or a binary file object, not {kind}$"):
            zk.load(place)


def test_a_file_object_whose_write_takes_nothing_or_lies_is_refused():
    class Writer:
        """Answers every write with `answer`; a save that retries for ever fails."""

        def __init__(self, answer):
            self.answer, self.calls = answer, 0

        def write(self, data):
            self.calls += 1
            assert self.calls < 100, "save() retries for ever"
            return self.answer(len(data)) if callable(self.answer) else self.answer

    tape = zk.compile(zk.Parameter(2.0) * 3.0)
    size = len(zk._compiled._save(tape))
    for answer, text in [
        (None, "the file took no bytes"),
        (0, "the file took no bytes"),
        (-1, f"the file's write\\(\\) reports -1 of {size} bytes written"),
        (lambda n: n + 1, f"the file's write\\(\\) reports {size + 1} of {size} bytes written"),
    ]:
        with pytest.raises(OSError, match=f"^{text}$"):
            zk.save(tape, Writer(answer))
    parts = []

    class Slow:
        def write(self, data):  # a raw stream may take a few bytes at a time
            parts.append(bytes(data[:5]))
            return len(parts[-1])

    zk.save(tape, Slow())
    assert zk._compiled._load(b"".join(parts)).eval() == (6.0,)


def test_the_bytes_of_a_file_are_read_only_where_they_lie_contiguously():
    data = zk._compiled._save(zk.function(zk.Undefined(name="x"), zk.Parameter(2.0) * 3.0))
    doubled = bytes(byte for byte in data for _ in range(2))
    # Views that hold the file's bytes but not one after the other: read as a
    # block from their first byte, they would give other bytes (a reversed
    # view's block lies past its buffer's end).
    views = [
        memoryview(doubled)[::2],
        memoryview(data[::-1])[::-1],
        np.frombuffer(doubled, dtype=np.uint8).reshape(-1, 2)[:, :1],
        np.frombuffer(data[::-1], dtype=np.uint8).reshape(-1, 1)[::-1],
    ]
    for view in views:
        assert bytes(view) == data
        for read in (zk._compiled._load, zk._compiled._file_length):
            with pytest.raises(TypeError, match="^a graph file is read from contiguous bytes$"):
                read(view)
    for whole in (bytearray(data), memoryview(data), np.frombuffer(data, dtype=np.uint8)):
        assert zk._compiled._load(whole)(1.0) == (6.0,)
        assert zk._compiled._file_length(whole[:24]) == len(data)


def test_pickles_of_every_supported_protocol_and_copies():
    p = zk.Parameter(2.0, name="p")
    x = zk.Undefined(name="x")
    f = zk.function([x], p * x)
    tape = zk.compile(p * p)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol=protocol))(3.0) == (6.0,)
        assert pickle.loads(pickle.dumps(tape, protocol=protocol)).eval() == (4.0,)

    shallow = copy.copy(tape)
    assert shallow is not tape and shallow.output.id == tape.output.id  # the same nodes
    assert copy.copy(f).outputs[0].id == f.outputs[0].id
    deep = copy.deepcopy({"a": tape, "b": tape, "f": f})
    assert deep["a"] is deep["b"]  # copied once, as deepcopy does for any object
    assert deep["a"].output.id != tape.output.id
    deep["a"].parameters[0].set_value(5.0)  # a deep copy's parameters are its own
    assert (deep["a"].eval(), tape.eval()) == ((25.0,), (4.0,))
    assert deep["f"](3.0) == (6.0,)
    with pytest.raises(TypeError):
        pickle.dumps(p)  # an expression travels in a file, a tape or a function


def test_objects_made_without_init_cannot_be_made_so_none_travels():
    # Every route to an instance that holds no graph is refused as it is made, naming the class, so
    # pickle, copies and save never see one.
    x = zk.Undefined(name="x")
    made = {zk.Tape: zk.compile(zk.Parameter(1.0) * 2.0), zk.Function: zk.function(x, x * x)}
    for cls, instance in made.items():
        routes = (
            lambda cls=cls: cls.__new__(cls),
            lambda cls=cls: object.__new__(cls),
            lambda cls=cls: cls(),
            lambda cls=cls: copyreg.__newobj__(cls),
        )
        for make in routes:
            with pytest.raises(TypeError, match=rf"{cls.__name__}: No constructor defined!|not safe"):
                make()
        # The instances made by the package do travel.
        assert type(copy.deepcopy(instance)) is cls and type(pickle.loads(pickle.dumps(instance))) is cls


def test_a_function_travels_to_a_pool_of_processes():
    x = zk.Undefined(name="x")
    a = zk.Parameter(0.5, name="a")
    f = zk.function(x, a * zk.sin(x) + x * x)
    chunks = np.array_split(np.linspace(-1.0, 1.0, 1001), 4)
    with multiprocessing.get_context("forkserver").Pool(2) as pool:
        results = pool.map(f.batch, chunks, chunksize=1)
    assert bits(np.concatenate(results)) == bits(f.batch(np.concatenate(chunks)))


# --- damaged, truncated and foreign files ---------------------------------------------


def repaired(data):
    """The length field and the checksum made to agree with the bytes again."""
    data = bytearray(data)
    data[12:20] = struct.pack("<Q", len(data))
    data[-4:] = struct.pack("<I", zlib.crc32(bytes(data[:-4])))
    return bytes(data)


def replaced(data, at, new):
    return data[:at] + new + data[at + len(new) :]


def sample():
    """A function file and where its fields lie: records of p (a named
    2-lane parameter), the constant 3, p * 3, its component, u, the sum."""
    p = zk.Parameter(1.5, -2.0, name="p")
    u = zk.Undefined(name="u")
    return zk._compiled._save(zk.function([u, p], (p * 3.0)[1] + u))


def test_damaged_files_are_value_errors_with_their_reason():
    good = sample()
    size = len(good)
    lane, name, product = 25, 42, 52
    roots = size - 4 - 5  # 1 output, its node, 2 inputs, their nodes
    assert good[roots : roots + 3] == b"\x01\x05\x02"
    cases = [
        ("foreign", b"GIF89a" + good[6:], "not a graph file (it does not begin with the format's signature)"),
        ("empty", b"", "the file is empty"),
        ("truncated in the header", good[:15], "the file is truncated in its header (15 of 24 bytes)"),
        ("truncated after the header", good[:24], f"the file is truncated (24 of {size} bytes)"),
        ("truncated in the nodes", good[: lane + 3], f"the file is truncated ({lane + 3} of {size} bytes)"),
        ("truncated in the roots", good[: roots + 1], f"the file is truncated ({roots + 1} of {size} bytes)"),
        ("truncated in the checksum", good[:-2], f"the file is truncated ({size - 2} of {size} bytes)"),
        (
            "a newer version",
            replaced(good, 8, b"\x07\x00"),
            "the file has format version 7, newer than this library reads (up to 1)",
        ),
        (
            "a flipped byte",
            replaced(good, lane, bytes([good[lane] ^ 0x10])),
            "the checksum does not match: the file is damaged",
        ),
        (
            "a huge node count",
            repaired(replaced(good, 20, b"\xff\xff\xff\xff")),
            f"the header's length ({size} bytes) cannot hold 4294967295 nodes: the file is damaged",
        ),
        (
            "a lane that is not finite",
            repaired(replaced(good, lane, struct.pack("<d", float("nan")))),
            "node 0 has a value lane that is not finite",
        ),
        ("a name that is not UTF-8", repaired(replaced(good, name, b"\xff")), "node 0 has a name that is not UTF-8"),
        (
            "an unknown operation",
            repaired(replaced(good, product + 1, b"\xfa")),
            "node 2 has the operation code 250, which names no operation",
        ),
        (
            "an input after its user",
            repaired(replaced(good, product + 2, b"\x10")),
            "node 2 has input 0 17 nodes back, before the first node",
        ),
        ("an output beyond the nodes", repaired(replaced(good, roots + 1, b"\x09")), "output 0 refers to node 9 of 6"),
        ("a huge input count", repaired(replaced(good, roots + 2, b"\xff\x7f")), "the file gives 16383 inputs"),
        (
            "a constant as input",
            repaired(replaced(good, roots + 3, b"\x01")),
            "input 0 (node 1) is not a placeholder or parameter",
        ),
        (
            "a placeholder that is not an input",
            repaired(good[: roots + 2] + b"\x01\x00" + good[-4:]),
            "output 0 depends on node 4, a placeholder that is not an input",
        ),
    ]
    for what, data, text in cases:
        before = zk._compiled._new_node_id()
        with pytest.raises(ValueError) as raised:
            zk._compiled._load(data)
        assert str(raised.value) == "cannot load graph: " + text, what
        assert zk._compiled._new_node_id() == before + 1, what  # refused before any node was made
        with pytest.raises(ValueError) as raised:
            zk.load(io.BytesIO(data))
        assert str(raised.value) == "cannot load graph: " + text, what


def test_every_changed_byte_is_refused_or_loads_a_working_function():
    good = sample()
    loaded = 0
    for at in range(len(good)):
        damaged = replaced(good, at, bytes([good[at] ^ 0xA5]))
        with pytest.raises(ValueError):
            zk.load(io.BytesIO(damaged))
        if 12 <= at < len(good) - 4:
            try:
                f = zk._compiled._load(repaired(damaged))
            except ValueError:
                continue
            loaded += 1
            # A working function: a call and a Jacobian give numbers or a ValueError, the same as the
            # function saved and loaded back, and its Jacobian is that of a function compiled anew from
            # its inputs and outputs.
            again = zk._compiled._load(zk._compiled._save(f))
            anew = zk.function(list(f.inputs), list(f.outputs))
            at_half = [0.5] * len(f.inputs)
            result = outcome(functools.partial(f, *at_half))
            assert result[0] in ("ok", ValueError), (at, result)
            assert result == outcome(functools.partial(again, *at_half)), at
            jacobian = outcome(functools.partial(f.jacobian, *at_half))
            assert jacobian[0] in ("ok", ValueError), (at, jacobian)
            assert jacobian == outcome(functools.partial(again.jacobian, *at_half)), at
            assert jacobian == outcome(functools.partial(anew.jacobian, *at_half)), at
    assert loaded > 0
