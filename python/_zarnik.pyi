"""Small symbolic graphs of 1-4 lane values, with constant folding and
reverse-mode gradients.

Values are made with Constant, Parameter and Undefined and combined with
+ - * /, negation, sin, cos, vec2..vec4 and components. eval() recomputes a
graph; backward() adds gradients into the parameters below it until
zero_grad() clears them.
"""

from collections.abc import Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, overload

__version__: str

# A number as the lanes of a value take it: anything with __float__ or __index__.
_Lane = SupportsFloat | SupportsIndex

# What a seed or a hint may be besides a sequence: anything with a length and
# numbers by index, as the module reads it (a NumPy array among them).
class _LaneArray(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Lane: ...

_Lanes = Sequence[_Lane] | _LaneArray
# An operand: an Expression, a plain number (int, float, bool or a subclass),
# or a sequence of 1..4 numbers, which becomes a constant.
type _Operand = Expression | float | Sequence[_Lane]
# A name is kept as the bytes given: a str is its UTF-8 bytes.
_Name = str | bytes | bytearray

# The binding library's metaclass of native classes.
class _NativeClass(type): ...

class Expression(metaclass=_NativeClass):
    """A handle to one node of a graph. Made only by the module's functions and
    the operators; two handles may refer to one node (compare `id`).

    >>> p = Parameter(1.0, 2.0, name="p")
    >>> (p * 3).eval()
    (3.0, 6.0)
    """

    # Refuses to run: instances come from the module's functions and operators.
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    @property
    def id(self) -> int:
        """The node's id, unique in the process and increasing in creation order."""
    @property
    def kind(self) -> str:
        """ "Constant", "Parameter", "Undefined" or "Expression"."""
    @property
    def op(self) -> str:
        """The operation: "None" for leaves; "Pack", "Component", "Add", "Subtract", "Multiply",
        "Divide", "Negate", "Sin" or "Cos"."""
    @property
    def dim(self) -> int:
        """The number of lanes, 1..4."""
    @property
    def dimension(self) -> int:
        """The number of lanes, 1..4 (the same as dim)."""
    @property
    def name(self) -> str:
        """The name given when the node was made; empty when none was."""
    @property
    def is_constant(self) -> bool: ...
    @property
    def is_parameter(self) -> bool: ...
    @property
    def is_undefined(self) -> bool: ...
    @property
    def is_expression(self) -> bool: ...
    @property
    def is_leaf(self) -> bool: ...
    @property
    def value(self) -> tuple[float, ...]:
        """A constant's or parameter's lanes; RuntimeError for placeholders and expressions."""
    @property
    def hint(self) -> tuple[float, ...] | None:
        """A placeholder's hint, or None."""
    @property
    def grad(self) -> tuple[float, ...] | None:
        """The gradient that backward passes added into a parameter, or None until one reaches it."""
    @property
    def inputs(self) -> tuple[Expression, ...]:
        """An expression's operands, in order; empty for leaves."""
    @property
    def x(self) -> Expression:
        """Lane 0 as a scalar."""
    @property
    def y(self) -> Expression:
        """Lane 1 as a scalar."""
    @property
    def z(self) -> Expression:
        """Lane 2 as a scalar."""
    @property
    def w(self) -> Expression:
        """Lane 3 as a scalar."""
    def __getitem__(self, index: SupportsIndex, /) -> Expression:
        """Lane `index` as a scalar; IndexError outside 0..dim-1."""
    def eval(self) -> tuple[float, ...]:
        """Recomputes the graph below from the current parameter values and returns the lanes."""
    @overload
    def set_value(self, values: Sequence[_Lane], /) -> None: ...
    @overload
    def set_value(self, *values: _Lane) -> None:
        """Replaces a parameter's value: 1..4 numbers, or one sequence of them."""
    def backward(self, seed: float | _Lanes | None = None) -> None:
        """Adds the gradients of this value, scaled by `seed` (1.0 for a scalar when None), into
        every parameter below."""
    def zero_grad(self) -> None:
        """Removes the gradients of every parameter below."""
    def __add__(self, other: _Operand, /) -> Expression: ...
    def __radd__(self, other: _Operand, /) -> Expression: ...
    def __sub__(self, other: _Operand, /) -> Expression: ...
    def __rsub__(self, other: _Operand, /) -> Expression: ...
    def __mul__(self, other: _Operand, /) -> Expression: ...
    def __rmul__(self, other: _Operand, /) -> Expression: ...
    def __truediv__(self, other: _Operand, /) -> Expression: ...
    def __rtruediv__(self, other: _Operand, /) -> Expression: ...
    def __neg__(self) -> Expression: ...

@overload
def Constant(values: Sequence[_Lane], /) -> Expression: ...
@overload
def Constant(*values: _Lane) -> Expression:
    """A constant of 1..4 lanes: Constant(1.0, 2.0) or Constant([1.0, 2.0])."""

@overload
def Parameter(values: Sequence[_Lane], /, *, name: _Name = "") -> Expression: ...
@overload
def Parameter(*values: _Lane, name: _Name = "") -> Expression:
    """A parameter of 1..4 lanes, which set_value can change and backward passes give gradients."""

def Undefined(*, hint: float | _Lanes | None = None, dim: SupportsIndex = 1, name: _Name = "") -> Expression:
    """A placeholder: no value of its own, of `dim` lanes or of its hint's. Evaluating a graph
    that holds one fails; a compiled function can take it as an input."""

def vec2(x: _Operand, y: _Operand, /) -> Expression:
    """A 2-lane vector of two scalars."""

def vec3(x: _Operand, y: _Operand, z: _Operand, /) -> Expression:
    """A 3-lane vector of three scalars."""

def vec4(x: _Operand, y: _Operand, z: _Operand, w: _Operand, /) -> Expression:
    """A 4-lane vector of four scalars."""

def sin(value: _Operand, /) -> Expression:
    """The sine of every lane."""

def cos(value: _Operand, /) -> Expression:
    """The cosine of every lane."""
