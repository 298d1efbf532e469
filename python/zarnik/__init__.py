"""Small symbolic graphs of 1-4 lane values, with constant folding and
reverse-mode gradients.

The package offers every name of the extension module ``_zarnik`` (the same
objects: ``zarnik.Parameter is _zarnik.Parameter``) and adds compiled tapes
(``compile``), compiled functions of inputs (``function``) with Jacobians
and batches over NumPy and Dask arrays, Hessians, jvp and hvp, the elementary
functions (``sqrt``, ``exp``, ``log``, ``pow``, ``atan2``, ...) and vector
helpers (``dot``, ``norm``, ``cross``, ...), gradients as graphs (``grad``),
graph files (``save``, ``load``; tapes and functions also pickle) and
pictures of graphs (``to_dot``, ``draw``):

>>> import zarnik as zk
>>> a, b = zk.Parameter(1.0, name="a"), zk.Parameter(2.0, name="b")
>>> loss = (a * 3.0 + b - 1.0) * (a * 3.0 + b - 1.0)
>>> tape = zk.compile(loss)
>>> tape.backward()
(16.0,)
>>> [p.grad for p in tape.parameters]
[(24.0,), (8.0,)]
>>> x = zk.Undefined(name="x")
>>> f = zk.function([x, a], a * x * x)
>>> f(3.0, 2.0)
(18.0,)
>>> f.jacobian(3.0, 2.0).tolist()
[[12.0, 9.0]]
"""

from _zarnik import (
    Constant,
    Expression,
    Parameter,
    Undefined,
    __version__,
    cos,
    sin,
    vec2,
    vec3,
    vec4,
)
from zarnik._compiled import Function, Tape, _approximate_kernels, compile, function
from zarnik._dot import draw, to_dot

# Every function the native module binds, as its __all__ names them, so that a
# new one needs no line here (ruff cannot see what a star import brings: F403).
# That __all__, imported under its own name, is how mypy, and stubtest through
# it, learn which names the star import exports: mypy follows no other way of
# adding one module's __all__ to another's (it leaves the functions out of
# `__all__ += _functions.__all__`).
from zarnik._functions import *  # noqa: F403
from zarnik._functions import __all__ as __all__
from zarnik._io import load, save
from zarnik._nlp import NLP, NLPResult, nlp

# A new list, not the native module's own grown in place; mypy reads the names
# written out here and leaves the unpacking to the import above.
__all__ = [
    *__all__,
    "Constant",
    "Expression",
    "Function",
    "NLP",
    "NLPResult",
    "Parameter",
    "Tape",
    "Undefined",
    "__version__",
    "build_info",
    "compile",
    "cos",
    "draw",
    "function",
    "load",
    "nlp",
    "save",
    "sin",
    "to_dot",
    "vec2",
    "vec3",
    "vec4",
]


def build_info() -> dict[str, object]:
    """What this build of the library has.

    ``approximate_kernels``: the vectorised functions behind
    ``approximate=True`` on this processor (``"avx512f"``, ``"avx2"`` or
    ``"sse2"``: SLEEF's, 8, 4 or 2 rows at a time), or ``None`` when the
    library was built without SLEEF (Debian's ``libsleef-dev``) or off
    x86-64: its approximate batches then compute exactly, at the exact
    mode's speed. ``version``: the library's version.
    """
    kernels = _approximate_kernels()
    return {"version": __version__, "approximate_kernels": kernels or None}
