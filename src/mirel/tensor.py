"""``mirel.Tensor``: mirel_core's Tensor with what PyTorch users reach for.

The same engine, storage and tape; a subclass only adds methods. Results take
the class of their tensor operands: any ``mirel.Tensor`` among them gives a
``mirel.Tensor``, and every operation recorded for one hands its operands
gradients at their own shapes, as PyTorch does (``x.grad`` has ``x``'s shape).
"""
from __future__ import annotations

import builtins
import math
import operator
from typing import Any, Iterator, Sequence

import numpy as np

import mirel_core
from mirel import _native

_core_shape = mirel_core.Tensor.shape
_core_grad = mirel_core.Tensor.grad
_core_reshape = mirel_core.Tensor.reshape

__all__ = ["Tensor", "Size", "tensor"]


class Size(tuple):  # type: ignore[type-arg]
    """A shape: a tuple of ints that also compares equal to the same list, as ``torch.Size``."""

    __slots__ = ()
    __module__ = "mirel"

    def __eq__(self, other: object) -> bool:
        if isinstance(other, list):
            other = tuple(other)
        return tuple.__eq__(self, other)  # type: ignore[arg-type]

    def __ne__(self, other: object) -> bool:
        return not self == other

    __hash__ = tuple.__hash__

    def numel(self) -> int:
        return math.prod(self)

    def __repr__(self) -> str:
        return f"mirel.Size({list(self)})"


def _axis(dim: int, ndim: int) -> int:
    """A dimension index, negatives from the end; IndexError out of range, as PyTorch."""
    d, n = operator.index(dim), max(ndim, 1)  # a 0-d tensor takes 0 and -1
    if not -n <= d < n:
        raise IndexError(f"Dimension out of range (expected to be in range of [{-n}, {n - 1}], but got {d})")
    return d % n


def _sizes(args: tuple[Any, ...]) -> tuple[int, ...]:
    """Sizes given as varargs or as one sequence."""
    if len(args) == 1 and not isinstance(args[0], (int, np.integer)):
        return tuple(args[0])
    return tuple(args)


def _reduction(fn: Any) -> Any:
    """A reduction of mirel as a method, with NumPy's (axis, keepdims) and PyTorch's (dim, keepdim) names."""

    def method(self: Any, axis: Any = None, keepdims: bool = False, *, dim: Any = None,
               keepdim: bool | None = None) -> Any:
        return fn(self, dim if dim is not None else axis, keepdim if keepdim is not None else keepdims)

    method.__name__ = method.__qualname__ = fn.__name__
    method.__doc__ = f"mirel.{fn.__name__}(x, axis, keepdims) as a method; dim and keepdim as in PyTorch."
    return method


class _Body:
    """A tensor of f32, f16, bf16 or bool elements with PyTorch's methods; see docs/mirel.md."""

    # The namespace of mirel.Tensor, which the native side makes the one
    # subclass of mirel_core.Tensor (a class the language does not let Python
    # code subclass). No zero-argument super(): the class is not this one.
    __slots__ = ()
    __module__ = "mirel"

    # --- what it is -------------------------------------------------------------------------------------------
    @property
    def shape(self) -> Size:  # type: ignore[override]
        return Size(_core_shape.__get__(self))

    def size(self, dim: int | None = None) -> Any:
        shape = _core_shape.__get__(self)
        return Size(shape) if dim is None else shape[_axis(dim, len(shape))]

    def numel(self) -> int:
        return math.prod(_core_shape.__get__(self))

    def dim(self) -> int:
        return self.ndim

    @property
    def grad(self) -> Tensor | None:  # type: ignore[override]
        """The gradient as a tensor (None until a backward pass reaches this tensor)."""
        g = _core_grad(self)
        return None if g is None else Tensor(g, dtype=_dtype_of(g))

    def __len__(self) -> int:
        shape = _core_shape.__get__(self)
        if not shape:
            raise TypeError("len() of a 0-d tensor")
        return shape[0]

    def __iter__(self) -> Iterator[Tensor]:
        for i in range(len(self)):
            yield self[i]

    # --- Python numbers -------------------------------------------------------------------------------------------
    def item(self) -> Any:
        """The one element as a Python float (bool for bool tensors)."""
        return _native._item(self)

    def __float__(self) -> float:
        return float(self.item())

    def __int__(self) -> int:
        return int(self.item())

    def __bool__(self) -> bool:
        if self.numel() != 1:
            raise RuntimeError("Boolean value of Tensor with more than one value is ambiguous")
        return bool(self.item())

    def __format__(self, format_spec: str) -> str:
        if format_spec and self.numel() == 1:
            return format(self.item(), format_spec)
        return format(str(self), format_spec)

    def tolist(self) -> Any:
        return self.to_numpy().tolist()

    def numpy(self) -> np.ndarray:
        """A new NumPy array of the values (a copy)."""
        return self.to_numpy()

    def __repr__(self) -> str:
        a = self.to_numpy()
        prefix = "mirel.Tensor("
        body = np.array2string(a, separator=", ", prefix=prefix) if a.size else f"[], shape={list(a.shape)}"
        grad = ", requires_grad=True" if self.requires_grad else ""
        return f"{prefix}{body}, dtype={self.dtype}{grad})"

    __str__ = __repr__

    # --- operators beyond mirel_core's --------------------------------------------------------------------------
    def __neg__(self) -> Tensor:
        return _native.negative(self)

    def __pos__(self) -> Tensor:
        return self

    def __abs__(self) -> Tensor:
        return _native.abs(self)

    def __pow__(self, exponent: Any) -> Tensor:
        if isinstance(exponent, mirel_core.Tensor):
            return NotImplemented
        if type(exponent) is int and exponent == 2:  # x * x is exact before its one rounding, as the power is
            return _native.square(self)
        return _native.power(self, exponent)

    def __rpow__(self, base: Any) -> Tensor:
        """base ** x for a number base > 0: exp(x · ln base)."""
        if isinstance(base, mirel_core.Tensor):
            return NotImplemented
        if not float(base) > 0:
            raise ValueError(f"base ** tensor needs a number base > 0, not {base!r}")
        return _native.exp(self * math.log(float(base)))

    def __rsub__(self, other: Any) -> Tensor:
        return _native.negative(self) + other

    def __setitem__(self, key: Any, value: Any) -> None:
        raise TypeError("tensors are immutable: build the new tensor instead, e.g. mirel.where(mask, value, x) "
                        "for x[mask] = value")

    # --- indexing -------------------------------------------------------------------------------------------------
    def __getitem__(self, key: Any) -> Tensor:
        """NumPy's indexing (ints, slices, None, ..., integer arrays, boolean masks); always a copy, and the
        gradient adds back into the positions taken."""
        if type(key) is int:  # the common x[i]: one take along the first axis
            return _native.take(self, key, 0)
        offsets = _offsets(tuple(_core_shape.__get__(self)), key)
        flat = _native.reshape(self, (-1,))
        return _native.reshape(_native.take(flat, offsets.reshape(-1), 0), offsets.shape)

    # --- reductions and math as methods ---------------------------------------------------------------------------
    sum = _reduction(_native.sum)
    mean = _reduction(_native.mean)
    max = _reduction(_native.max)
    min = _reduction(_native.min)
    argmax = _reduction(_native.argmax)

    def exp(self) -> Tensor:
        return _native.exp(self)

    def log(self) -> Tensor:
        return _native.log(self)

    def sqrt(self) -> Tensor:
        return _native.sqrt(self)

    def tanh(self) -> Tensor:
        return _native.tanh(self)

    def sigmoid(self) -> Tensor:
        return _native.sigmoid(self)

    def abs(self) -> Tensor:
        return _native.abs(self)

    def square(self) -> Tensor:
        return _native.square(self)

    def relu(self) -> Tensor:
        return mirel_core.nn.functional.relu(self)

    def softmax(self, axis: int = -1) -> Tensor:
        return _native.softmax(self, axis)

    def log_softmax(self, axis: int = -1) -> Tensor:
        return _native.log_softmax(self, axis)

    def clip(self, min: Any = None, max: Any = None) -> Tensor:  # noqa: A002 - PyTorch's names
        out = self
        if min is not None:
            out = _native.maximum(out, min)
        if max is not None:
            out = _native.minimum(out, max)
        return out

    clamp = clip

    # --- shapes ---------------------------------------------------------------------------------------------------
    def reshape(self, *shape: Any) -> Tensor:  # type: ignore[override]
        return _native.reshape(self, _sizes(shape))

    view = reshape

    def flatten(self, start_dim: int = 0, end_dim: int = -1) -> Tensor:
        shape = list(_core_shape.__get__(self))
        if not shape:
            return _native.reshape(self, (1,))
        s, e = _axis(start_dim, len(shape)), _axis(end_dim, len(shape))
        if s > e:
            raise ValueError("flatten(): start_dim cannot come after end_dim")
        return _native.reshape(self, shape[:s] + [math.prod(shape[s:e + 1])] + shape[e + 1:])

    def transpose(self, dim0: int, dim1: int) -> Tensor:  # type: ignore[override]
        n = self.ndim
        a, b = _axis(dim0, n), _axis(dim1, n)
        perm = list(range(n))
        perm[a], perm[b] = perm[b], perm[a]
        return _native.permute(self, perm)

    def permute(self, *dims: Any) -> Tensor:
        n = self.ndim
        return _native.permute(self, [_axis(d, n) for d in _sizes(dims)])

    @property
    def T(self) -> Tensor:
        return _native.permute(self, list(range(self.ndim))[::-1])

    @property
    def mT(self) -> Tensor:
        if self.ndim < 2:
            raise RuntimeError("tensor.mT is only supported on matrices or batches of matrices")
        return self.transpose(-2, -1)

    def unsqueeze(self, dim: int) -> Tensor:
        shape = list(_core_shape.__get__(self))
        d = _axis(dim, len(shape) + 1)
        return _native.reshape(self, shape[:d] + [1] + shape[d:])

    def squeeze(self, dim: Any = None) -> Tensor:
        shape = list(_core_shape.__get__(self))
        if dim is None:
            drop = {i for i, n in enumerate(shape) if n == 1}
        else:
            dims = dim if isinstance(dim, (tuple, list)) else (dim,)
            drop = {i for i in (_axis(d, len(shape)) for d in dims) if shape[i] == 1}
        return _native.reshape(self, [n for i, n in enumerate(shape) if i not in drop])

    def expand(self, *sizes: Any) -> Tensor:
        target = list(_sizes(sizes))
        shape = _core_shape.__get__(self)
        lead = len(target) - len(shape)
        if lead < 0:
            raise RuntimeError(f"expand(): the number of sizes ({len(target)}) must be at least the tensor's "
                               f"number of dimensions ({len(shape)})")
        for i, n in enumerate(shape):
            if target[lead + i] == -1:
                target[lead + i] = n
        return _native.broadcast_to(self, target)

    # --- types and the graph ---------------------------------------------------------------------------------------
    def detach(self) -> Tensor:
        return _native.detach(self)

    def astype(self, dtype: Any) -> Tensor:
        return _native.astype(self, dtype)

    def to(self, *args: Any, **kwargs: Any) -> Tensor:
        """to(dtype), to("cpu") or to("cpu", dtype): the CPU is the only device."""
        dtype = kwargs.pop("dtype", None)
        device = kwargs.pop("device", None)
        if kwargs:
            raise TypeError(f"to() got unexpected keyword arguments {sorted(kwargs)}")
        for a in args:
            if isinstance(a, str) and a.lower() in ("cpu", "cpu:0"):
                device = a
            else:
                dtype = a
        if device is not None and str(device).lower() not in ("cpu", "cpu:0"):
            raise ValueError(f"to(): the only device is the CPU, not {device!r}")
        return self if dtype is None else _native.astype(self, dtype)


def _dtype_of(a: np.ndarray) -> str:
    return {"float32": "f32", "float16": "f16", "bfloat16": "bf16", "bool": "bool"}.get(a.dtype.name, "f32")


def _offsets(shape: tuple[int, ...], key: Any) -> np.ndarray:
    """The row-major positions NumPy's indexing with key takes from an array of shape, in the result's shape."""
    if not isinstance(key, tuple):
        key = (key,)
    key = tuple(k.to_numpy() if isinstance(k, mirel_core.Tensor) else k for k in key)
    if builtins.all(k is None or k is Ellipsis or isinstance(k, (slice, int, np.integer)) and not isinstance(k, bool)
                    for k in key):
        return _basic_offsets(shape, key)
    n = math.prod(shape)
    return np.arange(n, dtype=np.int64).reshape(shape)[key]


def _basic_offsets(shape: tuple[int, ...], key: tuple[Any, ...]) -> np.ndarray:
    """Positions for ints, slices, None and Ellipsis, in O(result) memory."""
    taking = builtins.sum(k is not None and k is not Ellipsis for k in key)
    if taking > len(shape):
        raise IndexError(f"too many indices for tensor of dimension {len(shape)}")
    if builtins.sum(k is Ellipsis for k in key) > 1:
        raise IndexError("an index can only have a single ellipsis ('...')")
    if Ellipsis in key:
        at = key.index(Ellipsis)
        key = key[:at] + (slice(None),) * (len(shape) - taking) + key[at + 1:]
    else:
        key = key + (slice(None),) * (len(shape) - taking)
    strides = [math.prod(shape[d + 1:]) for d in range(len(shape))]
    start, parts, d = 0, [], 0
    for k in key:
        if k is None:
            parts.append(np.zeros(1, np.int64))
            continue
        n = shape[d]
        if isinstance(k, slice):
            parts.append(np.arange(*k.indices(n), dtype=np.int64) * strides[d])
        else:
            i = operator.index(k)
            if not -n <= i < n:
                raise IndexError(f"index {i} is out of bounds for axis {d} with size {n}")
            start += (i + n if i < 0 else i) * strides[d]
        d += 1
    offsets = np.full((), start, np.int64)
    for p in parts:
        offsets = np.add.outer(offsets, p)
    return offsets


def tensor(data: Any, dtype: Any = None, requires_grad: bool = False) -> Tensor:
    """A new mirel.Tensor copying data (anything numpy.array accepts, tensors included), as torch.tensor:
    without a dtype, booleans give a bool tensor, float16 and bfloat16 data keep their type, anything else is
    f32."""
    if dtype is None:
        kind = data.dtype if isinstance(data, mirel_core.Tensor) else _dtype_of(np.asarray(data))
        dtype = kind if kind in ("bool", "f16", "bf16") else "f32"
    return Tensor(data, dtype=dtype, requires_grad=requires_grad)


_namespace = {k: v for k, v in vars(_Body).items() if k not in ("__dict__", "__weakref__")}
_namespace["__qualname__"] = "Tensor"
Tensor = _native._make_tensor_class("Tensor", _namespace)
del _Body, _namespace
