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
from zarnik._functions import (
    abs,
    acos,
    asin,
    atan,
    atan2,
    cbrt,
    cosh,
    cross,
    dot,
    exp,
    expm1,
    grad,
    log,
    log1p,
    maximum,
    minimum,
    norm,
    normalize,
    pow,
    sinh,
    sqrt,
    squared_norm,
    sum,
    tan,
    tanh,
)
from zarnik._io import load, save

__all__ = [
    "Constant",
    "Expression",
    "Function",
    "Parameter",
    "Tape",
    "Undefined",
    "__version__",
    "abs",
    "acos",
    "asin",
    "atan",
    "atan2",
    "build_info",
    "cbrt",
    "compile",
    "cos",
    "cosh",
    "cross",
    "dot",
    "draw",
    "exp",
    "expm1",
    "function",
    "grad",
    "load",
    "log",
    "log1p",
    "maximum",
    "minimum",
    "norm",
    "normalize",
    "pow",
    "save",
    "sin",
    "sinh",
    "sqrt",
    "squared_norm",
    "sum",
    "tan",
    "tanh",
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
