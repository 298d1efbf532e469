from collections.abc import Sequence
from types import GenericAlias
from typing import Any, Generic, Self, SupportsFloat, SupportsIndex, TypeVar, overload

import numpy as np
import numpy.typing as npt

from _zarnik import Expression, _Lanes

_Lane = SupportsFloat | SupportsIndex
# The value of one input of a compiled function: a number or 1..4 of them.
_Value = _Lane | _Lanes
_Rows = npt.NDArray[np.float64]
# The inputs to differentiate: positions or the input expressions themselves.
_Wrt = Sequence[SupportsIndex | Expression]

# The binding library's metaclass of native classes.
class _NativeClass(type): ...

class Tape(metaclass=_NativeClass):
    # Refuses to run: tapes come from compile().
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def eval(self) -> tuple[float, ...]: ...
    def backward(self, seed: float | _Lanes | None = None) -> tuple[float, ...]: ...
    def zero_grad(self) -> None: ...
    @property
    def parameters(self) -> tuple[Expression, ...]: ...
    @property
    def output(self) -> Expression: ...
    @property
    def nbytes(self) -> int: ...
    def __len__(self) -> int: ...
    # Pickles through the graph file: unpickling makes new nodes.
    def __reduce__(self) -> tuple[Any, ...]: ...
    # A shallow copy shares the nodes; a deep copy has new ones.
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: object, /) -> Self: ...

def compile(expression: Expression) -> Tape: ...

# One output answers with its lanes; several with a tuple of lanes per output.
# A bare Function is a function of either shape, which both shapes are.
_Answer = TypeVar(
    "_Answer",
    bound=tuple[float, ...] | tuple[tuple[float, ...], ...],
    covariant=True,
    default=tuple[float, ...] | tuple[tuple[float, ...], ...],
)
# One output's batch is one array; several outputs' a list of arrays.
_Batch = TypeVar("_Batch", bound=_Rows | list[_Rows], covariant=True, default=_Rows | list[_Rows])

class Function(Generic[_Answer, _Batch], metaclass=_NativeClass):
    # Refuses to run: functions come from function().
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def __call__(self, *values: _Value) -> _Answer: ...
    def jacobian(self, *values: _Value, wrt: _Wrt | None = None) -> _Rows: ...
    def value_and_grad(self, *values: _Value) -> tuple[float, _Rows]: ...
    # Each array gives an input's rows, or one value for every row. Given a
    # Dask array among the arrays, batch and batch_jacobian answer with lazy
    # Dask arrays of the same shapes instead (Dask is not needed to type-check).
    def batch(
        self,
        *arrays: npt.ArrayLike,
        rows: SupportsIndex | None = None,
        threads: SupportsIndex | None = None,
        approximate: bool = False,
    ) -> _Batch: ...
    # Only the columns of wrt: by forward sweeps when they are fewer than the
    # output lanes (equal to jacobian's to rounding), else by reverse sweeps.
    def batch_jacobian(
        self,
        *arrays: npt.ArrayLike,
        wrt: _Wrt | None = None,
        rows: SupportsIndex | None = None,
        threads: SupportsIndex | None = None,
        approximate: bool = False,
    ) -> _Rows: ...
    # The sum of the scalar output over the rows, and one gradient per input in wrt.
    def batch_value_and_grad(
        self,
        *arrays: npt.ArrayLike,
        wrt: _Wrt | None = None,
        rows: SupportsIndex | None = None,
        threads: SupportsIndex | None = None,
        approximate: bool = False,
    ) -> tuple[float, tuple[_Rows, ...]]: ...
    @property
    def inputs(self) -> tuple[Expression, ...]: ...
    @property
    def outputs(self) -> tuple[Expression, ...]: ...
    @property
    def input_lanes(self) -> int: ...
    @property
    def output_lanes(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: object, /) -> Self: ...
    # Function[...] at run time, as the type checker reads it.
    @classmethod
    def __class_getitem__(cls, item: object, /) -> GenericAlias: ...

@overload
def function(inputs: Expression | Sequence[Expression], outputs: Expression) -> Function[tuple[float, ...], _Rows]: ...
@overload
def function(
    inputs: Expression | Sequence[Expression], outputs: Sequence[Expression]
) -> Function[tuple[tuple[float, ...], ...], list[_Rows]]: ...
def _new_node_id() -> int: ...

# The graph files' native half (zarnik.save and zarnik.load).
_HEADER_SIZE: int

def _save(obj: object) -> bytes: ...
def _load(data: bytes | bytearray | memoryview) -> Any: ...
def _file_length(header: bytes | bytearray | memoryview) -> int: ...
