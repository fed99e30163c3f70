"""Memory order of results, shape operations and relu on bit patterns.

Two-operand results are row-major unless the operands favour column-major; maps
(scalar operations, relu, logical not) keep their operand's strides; reshape,
zeros_like and ones_like are row-major.
"""

import operator

import ml_dtypes
import numpy as np
import pytest

from mirel_core import Tensor
from mirel_core import nn

relu = nn.functional.relu  # the submodules are attributes, not importable packages


def stored(base, swaps=(), dtype="f32"):
    """A row-major tensor of shape `base` holding 0, 1, 2, ..., then transposed by each swap in turn."""
    t = Tensor(np.arange(int(np.prod(base))).reshape(base) % 7 > 2 if dtype == "bool"
               else np.arange(int(np.prod(base)), dtype=np.float32).reshape(base), dtype=dtype)
    for i, j in swaps:
        t = t.transpose(i, j)
    return t


def contiguous_strides(shape, order):
    if 0 in shape:
        return [0] * len(shape)
    axes = range(len(shape) - 1, -1, -1) if order == "C" else range(len(shape))
    strides, acc = [0] * len(shape), 1
    for i in axes:
        strides[i], acc = acc, acc * shape[i]
    return strides


T = [(0, 1)]
LEAN_COLUMN = [(0, 2), (1, 2)]  # shape [2, 4, 3], strides [1, 6, 2]: axis 0 has stride 1, yet not column-major


@pytest.mark.parametrize("lhs,rhs,order", [
    (([2, 3], ()), ([2, 3], ()), "C"),
    (([3, 2], T), ([3, 2], T), "F"),  # two transposed operands
    (([2, 3], ()), ([3, 2], T), "C"),  # row-major wins a tie
    (([3, 2], T), ([2, 3], ()), "C"),
    (([4, 3], T), ([4], ()), "F"),  # a broadcast row only leans row-major
    (([4, 3], T), ([3, 1], ()), "F"),  # a broadcast column leans column-major
    (([3, 4], ()), ([3, 1], ()), "C"),
    (([3, 1], ()), ([1, 4], ()), "C"),
    (([3, 2], T), ([], ()), "F"),  # a rank-0 operand has no lean
    (([], ()), ([3, 2], T), "F"),
    (([4, 3, 2], [(0, 2)]), ([4, 3, 2], [(0, 2)]), "F"),
    (([4, 3, 2], LEAN_COLUMN), ([4, 3, 2], LEAN_COLUMN), "F"),
    (([4, 3, 2], LEAN_COLUMN), ([2, 4, 3], ()), "C"),
    (([3, 2, 4], T), ([3, 2, 4], T), "C"),  # strides [4, 8, 1] lean row-major
    (([3, 0], T), ([0, 3], ()), "C"),
])
@pytest.mark.parametrize("op,dtype", [(operator.add, "f32"), (operator.truediv, "bf16"),
                                      (operator.lt, "f16"), (operator.and_, "bool")])
def test_two_operand_result_order(lhs, rhs, order, op, dtype):
    a, b = stored(*lhs, dtype=dtype), stored(*rhs, dtype=dtype)
    result = op(a, b)
    with np.errstate(all="ignore"):
        want = op(a.to_numpy(), b.to_numpy())
    assert result.strides == contiguous_strides(want.shape, order)
    np.testing.assert_array_equal(result.to_numpy().astype(np.float32), want.astype(np.float32))


@pytest.mark.parametrize("base,swaps", [([3, 2], T), ([4, 3, 2], [(0, 2)]), ([4, 3, 2], LEAN_COLUMN)])
@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
@pytest.mark.parametrize("op", [lambda t: t + 1.0, lambda t: t - 1.0, lambda t: t * 2.0, lambda t: t / 2.0,
                                lambda t: t < 3.0, lambda t: t == 3.0, relu])
def test_maps_keep_the_operand_strides(base, swaps, dtype, op):
    t = stored(base, swaps, dtype)
    result = op(t)
    assert (result.shape, result.strides) == (t.shape, t.strides)
    want = np.maximum(t.to_numpy(), 0) if op is relu else op(t.to_numpy())
    np.testing.assert_array_equal(result.to_numpy().astype(np.float32), want.astype(np.float32))


def test_logical_not_keeps_strides_and_twice_restores_values():
    t = stored([4, 3, 2], LEAN_COLUMN, "bool")
    once = ~t
    assert once.strides == t.strides == [1, 6, 2]
    np.testing.assert_array_equal(once.to_numpy(), ~t.to_numpy())
    np.testing.assert_array_equal((~once).to_numpy(), t.to_numpy())


def test_reshape_is_row_major_and_keeps_row_major_element_order():
    t = stored([2, 3])
    r = t.reshape([3, 2])
    assert (r.shape, r.strides) == ([3, 2], [2, 1])
    np.testing.assert_array_equal(r.to_numpy(), [[0, 1], [2, 3], [4, 5]])
    for shape in ([6], (1, 6), [6, 1]):
        assert t.reshape(shape).strides == contiguous_strides(list(shape), "C")
    assert stored([1, 1]).reshape([]).shape == []
    assert stored([0, 3]).reshape([3, 0]).strides == [0, 0]
    assert stored([3, 1], T).reshape([3]).shape == [3]  # a swap involving a length-1 axis keeps row-major


SHAPE_ERROR = "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes"
LAYOUT_ERROR = "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"


@pytest.mark.parametrize("make,shape,message", [
    (lambda: stored([2, 3]), [4], SHAPE_ERROR),
    (lambda: stored([2, 3]), [], SHAPE_ERROR),
    (lambda: stored([0, 3]), [1], SHAPE_ERROR),
    (lambda: stored([2, 3]), [2**40, 2**40], SHAPE_ERROR),  # overflowing size
    (lambda: stored([3, 2], T), [6], LAYOUT_ERROR),
    (lambda: stored([3, 2], T) * 2.0, [6], LAYOUT_ERROR),  # maps keep the layout
    (lambda: stored([3, 2], T, "bool"), [6], LAYOUT_ERROR),
    (lambda: stored([3, 2], T), [7], SHAPE_ERROR),  # size is checked before layout
])
def test_reshape_errors(make, shape, message):
    with pytest.raises(ValueError) as err:
        make().reshape(shape)
    assert str(err.value) == message


def test_transpose_permutes_shape_and_strides():
    t = stored([2, 3, 4])
    r = t.transpose(0, 2)
    assert (r.shape, r.strides) == ([4, 3, 2], [1, 4, 12])
    assert (t.transpose(1, 1).shape, t.transpose(1, 1).strides) == ([2, 3, 4], [12, 4, 1])
    assert r.transpose(0, 2).strides == [12, 4, 1]
    np.testing.assert_array_equal(r.to_numpy(), np.swapaxes(t.to_numpy(), 0, 2))
    assert stored([0, 3]).transpose(0, 1).strides == [0, 0]


@pytest.mark.parametrize("dtype,one", [("f32", 0x3F800000), ("f16", 0x3C00), ("bf16", 0x3F80), ("bool", 1)])
def test_zeros_like_and_ones_like_are_row_major_constants(dtype, one):
    t = stored([4, 3, 2], [(0, 2)], dtype)
    for made, bits in ((t.zeros_like(), 0), (t.ones_like(), one)):
        assert (made.shape, made.strides, made.dtype) == ([2, 3, 4], [12, 4, 1], dtype)
        out = made.to_numpy()
        assert (out.view(f"u{out.itemsize}") == bits).all()  # +0, never -0


@pytest.mark.parametrize("dtype,bits,want", [
    ("f16", [0x0001, 0x8001, 0x7C00, 0xFC00, 0x7E00, 0xFE00, 0x7C01, 0x8000, 0x3C00, 0x7BFF],
            [0x0001, 0, 0x7C00, 0, 0, 0, 0, 0, 0x3C00, 0x7BFF]),
    ("bf16", [0x7F80, 0x7F81, 0xFF81, 0x7FC0, 0x0001, 0x8001, 0x8000, 0xFF80, 0x3F80],
             [0x7F80, 0, 0, 0, 0x0001, 0, 0, 0, 0x3F80]),
    ("f32", [0x00000001, 0x80000001, 0x7FC00000, 0xFFC00000, 0x80000000, 0x7F800000, 0xFF800000, 0x40600000],
            [0x00000001, 0, 0, 0, 0, 0x7F800000, 0, 0x40600000]),
])
def test_relu_on_bit_patterns(dtype, bits, want):
    np_type = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}[dtype]
    uint = np.uint32 if dtype == "f32" else np.uint16
    out = relu(Tensor(np.array(bits, uint).view(np_type), dtype=dtype)).to_numpy()
    np.testing.assert_array_equal(out.view(uint), np.array(want, uint))
