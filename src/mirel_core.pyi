# Type stubs for the mirel_core extension module: the whole public API, with a
# one-line description of each name for editors. The module's own docstrings
# are text signatures only.
#
# Installed twice from this one file: as mirel_core.pyi next to the module
# (editors), and as mirel_core-stubs/__init__.pyi (mypy finds stubs of a
# single-file module only in a stub package, PEP 561).

from collections.abc import Callable, Sequence
from typing import Any, ClassVar, Literal, Protocol, SupportsFloat, SupportsIndex, TypeAlias, overload, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = ["Tensor", "nn"]

_DTypeName: TypeAlias = Literal["f32", "f16", "bf16", "bool"]
# What the constructor's dtype accepts: a name ("f32"/"float32", "f16"/"float16",
# "bf16"/"bfloat16", "bool"), a type whose __name__ is one (numpy.float32, bool),
# or a numpy.dtype of one of them.
_DTypeLike: TypeAlias = str | type | np.dtype[Any]
# A right operand taken as one number: int, float, bool, NumPy scalars and
# 0-d arrays (anything float() or operator.index() accepts).
_Number: TypeAlias = SupportsFloat | SupportsIndex

# Not subclassable at run time: mirel.Tensor, the package's class, is its one subclass.
class Tensor:
    """An n-dimensional array of f32, f16, bf16 or bool elements that can record gradients."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    __array_ufunc__: ClassVar[None]
    """None: NumPy leaves operators between arrays and tensors to Tensor, which accepts only 0-d arrays."""

    def __new__(
        cls,
        data: object,
        dtype: _DTypeLike | None = None,
        device: str = "cpu",
        requires_grad: bool | np.bool = False,
    ) -> Tensor:
        """Copies data through numpy.array into a new tensor (dtype defaults to f32; device must be "cpu")."""

    @property
    def shape(self) -> list[int]:
        """The length of each axis, outermost first, as a new list ([] for a scalar)."""

    @property
    def ndim(self) -> int:
        """The number of axes."""

    @property
    def strides(self) -> list[int]:
        """The step of each axis in elements (not bytes), as a new list."""

    @property
    def dtype(self) -> _DTypeName:
        """The element type: "f32", "f16", "bf16" or "bool"."""

    @property
    def device(self) -> Literal["cpu"]:
        """Always "cpu"."""

    @property
    def requires_grad(self) -> bool:
        """Whether operations on this tensor are recorded for backward()."""

    def grad(self) -> npt.NDArray[Any] | None:
        """This tensor's gradient from the latest backward() on this thread, in the shape it was computed at; None if there is none."""

    def __req__(self, other: _Number) -> Tensor:
        """Elementwise other == self, as a bool tensor."""

    def __rlt__(self, other: _Number) -> Tensor:
        """Elementwise other < self, as a bool tensor."""

    def __rgt__(self, other: _Number) -> Tensor:
        """Elementwise other > self, as a bool tensor."""

    def to_numpy(self) -> npt.NDArray[Any]:
        """A new NumPy array holding a copy of the data (bf16 as ml_dtypes.bfloat16)."""

    def zeros_like(self) -> Tensor:
        """A new tensor of zeros with this shape and element type; it never requires a gradient."""

    def ones_like(self) -> Tensor:
        """A new tensor of ones with this shape and element type; it never requires a gradient."""

    def reshape(self, shape: Sequence[SupportsIndex]) -> Tensor:
        """The same elements in row-major order under a new shape of the same size (no -1)."""

    def transpose(self, dim0: SupportsIndex, dim1: SupportsIndex) -> Tensor:
        """A new tensor with axes dim0 and dim1 swapped."""

    def backward(self) -> None:
        """Computes the gradients of this tensor with respect to everything it was recorded from, seeded with ones of its shape."""

    @staticmethod
    def clear_graph() -> None:
        """Empties this thread's tape: forgets every recorded operation and gradient."""

    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple[Callable[..., Tensor], tuple[Any, ...]]:
        """Pickling and copying by value: data, element type, memory order and requires_grad (protocol 4 or later)."""

    def __array__(self, dtype: npt.DTypeLike | None = None, copy: bool | None = None) -> npt.NDArray[Any]:
        """The values as a new NumPy array (np.asarray(t)); copy=False is refused: a copy is always made."""

    def __dlpack__(
        self,
        *,
        stream: Any = None,
        max_version: tuple[int, int] | None = None,
        dl_device: tuple[int, int] | None = None,
        copy: bool | None = None,
    ) -> Any:
        """A DLPack capsule: the storage in place, flagged read-only, for DLPack 1.0 consumers; else a copy."""

    def __dlpack_device__(self) -> tuple[int, int]:
        """(1, 0): the CPU."""

    def __add__(self, value: Tensor | _Number, /) -> Tensor:
        """Elementwise sum; tensors broadcast and must share the element type."""

    def __radd__(self, value: Tensor | _Number, /) -> Tensor:
        """Elementwise sum with a number on the left."""

    def __sub__(self, value: Tensor | _Number, /) -> Tensor:
        """Elementwise difference; a number on the left is not supported."""

    def __rsub__(self, value: Tensor, /) -> Tensor:
        """Elementwise value - self of two tensors (a number on the left is not supported)."""

    def __mul__(self, value: Tensor | _Number, /) -> Tensor:
        """Elementwise product; tensors broadcast and must share the element type."""

    def __rmul__(self, value: Tensor | _Number, /) -> Tensor:
        """Elementwise product with a number on the left."""

    def __truediv__(self, value: Tensor | _Number, /) -> Tensor:
        """Elementwise quotient; dividing by a number multiplies by its reciprocal."""

    def __rtruediv__(self, value: Tensor | _Number, /) -> Tensor:
        """A number divided by every element: the quotient of a tensor filled with it by self."""

    def __matmul__(self, value: Tensor, /) -> Tensor:
        """Matrix product of the last two axes, batched and broadcast over the others."""

    def __rmatmul__(self, value: Tensor, /) -> Tensor:
        """Matrix product value @ self of two tensors."""

    def __and__(self, value: Tensor, /) -> Tensor:
        """Elementwise logical and of two bool tensors."""

    def __rand__(self, value: Tensor, /) -> Tensor:
        """Elementwise logical and of two bool tensors."""

    def __or__(self, value: Tensor, /) -> Tensor:
        """Elementwise logical or of two bool tensors."""

    def __ror__(self, value: Tensor, /) -> Tensor:
        """Elementwise logical or of two bool tensors."""

    def __xor__(self, value: Tensor, /) -> Tensor:
        """Elementwise logical exclusive or of two bool tensors."""

    def __rxor__(self, value: Tensor, /) -> Tensor:
        """Elementwise logical exclusive or of two bool tensors."""

    def __invert__(self) -> Tensor:
        """Elementwise logical not of a bool tensor."""

    def __lt__(self, value: Tensor | _Number, /) -> Tensor:
        """Elementwise self < value, as a bool tensor."""

    def __le__(self, value: Tensor | _Number, /) -> Tensor:
        """Elementwise self <= value, as a bool tensor."""

    def __gt__(self, value: Tensor | _Number, /) -> Tensor:
        """Elementwise self > value, as a bool tensor."""

    def __ge__(self, value: Tensor | _Number, /) -> Tensor:
        """Elementwise self >= value, as a bool tensor."""

    @overload
    def __eq__(self, value: Tensor | _Number, /) -> Tensor:  # type: ignore[overload-overlap]
        """Elementwise self == value, as a bool tensor."""

    @overload
    def __eq__(self, value: object, /) -> bool: ...
    @overload
    def __ne__(self, value: Tensor | _Number, /) -> Tensor:  # type: ignore[overload-overlap]
        """Elementwise self != value, as a bool tensor (NaN != NaN is true)."""

    @overload
    def __ne__(self, value: object, /) -> bool: ...

@type_check_only
class _Functional(Protocol):
    """Functions on tensors."""

    def relu(self, py_tensor: Tensor) -> Tensor:
        """Elementwise max(x, 0) of a float tensor, recorded for backward() like any operation."""

@type_check_only
class _NN(Protocol):
    """Neural-network building blocks."""

    @property
    def functional(self) -> _Functional:
        """Functions on tensors: relu."""

nn: _NN
"""Neural-network building blocks: nn.functional.relu. An attribute, not an importable submodule."""
