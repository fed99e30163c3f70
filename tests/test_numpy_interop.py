"""NumPy interchange: bit-exact round trips, exported layouts, and independence of copies."""
import ml_dtypes
import numpy as np
import pytest

from mirel_core import Tensor

RNG = np.random.default_rng(7)
BF16 = np.dtype(ml_dtypes.bfloat16)


def all_16_bit_patterns(dtype):
    return np.arange(1 << 16, dtype=np.uint32).astype(np.uint16).view(dtype)


def f32_specials():
    bits = np.array(
        [0, 0x80000000, 1, 0x807FFFFF, 0x7F7FFFFF, 0x7F800000, 0xFF800000, 0x7FC00000, 0x7F800001, 0xFFBFFFFF,
         0x3F800000, 0x00800000],
        dtype=np.uint32,
    )
    return np.concatenate([bits, RNG.integers(0, 1 << 32, 4096, dtype=np.uint32)]).view(np.float32)


@pytest.mark.parametrize(
    "dtype,source,uint",
    [("f32", f32_specials, np.uint32), ("f16", lambda: all_16_bit_patterns(np.float16), np.uint16),
     ("bf16", lambda: all_16_bit_patterns(BF16), np.uint16)],
    ids=["f32", "f16", "bf16"],
)
def test_round_trip_is_bit_exact(dtype, source, uint):
    # Every NaN payload, signed zero, subnormal and infinity survives in and out.
    src = source()
    out = Tensor(src, dtype=dtype).to_numpy()
    assert out.dtype == src.dtype
    np.testing.assert_array_equal(out.view(uint), src.view(uint))


def test_bool_round_trip():
    src = RNG.integers(0, 2, (3, 5, 7)).astype(bool)
    out = Tensor(src, dtype="bool").to_numpy()
    assert out.dtype == np.bool_
    np.testing.assert_array_equal(out, src)


@pytest.mark.parametrize("dtype,np_dtype", [("f32", np.float32), ("f16", np.float16), ("bf16", BF16), ("bool", np.bool_)])
def test_exported_arrays_are_fresh_and_writable(dtype, np_dtype):
    src = np.array([[1, 0, 3], [0, 5, 6]], dtype=np.float32)
    t = Tensor(src, dtype=dtype)
    src[0, 0] = 42  # changing the source does not reach the tensor
    a, b = t.to_numpy(), t.to_numpy()
    assert a.dtype == np_dtype and a.flags.owndata and a.flags.writeable
    assert a is not b and not np.shares_memory(a, b)
    a[...] = 0
    np.testing.assert_array_equal(b, t.to_numpy())
    assert t.to_numpy()[0, 0] == np.array(1, dtype=np.float32).astype(np_dtype)


@pytest.mark.parametrize("dtype,itemsize", [("f32", 4), ("f16", 2), ("bf16", 2), ("bool", 1)])
def test_row_major_export_keeps_shape_and_strides(dtype, itemsize):
    t = Tensor(np.ones((2, 3, 4)), dtype=dtype)
    out = t.to_numpy()
    assert out.flags.c_contiguous
    assert out.strides == tuple(s * itemsize for s in t.strides)


@pytest.mark.parametrize("dtype,itemsize", [("f32", 4), ("f16", 2), ("bf16", 2), ("bool", 1)])
def test_column_major_storage_exports_fortran_order(dtype, itemsize):
    src = np.arange(6).reshape(2, 3) % 4
    t = Tensor(src, dtype=dtype).transpose(0, 1)
    assert t.strides == [1, 3]
    out = t.to_numpy()
    assert out.flags.f_contiguous and not out.flags.c_contiguous
    assert out.shape == (3, 2) and out.strides == (itemsize, 3 * itemsize)
    np.testing.assert_array_equal(out.astype(np.float32), src.T.astype(bool if dtype == "bool" else np.float32))


def test_three_axis_column_major_exports_fortran_order():
    src = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    t = Tensor(src).transpose(0, 2)
    assert (t.shape, t.strides) == ([4, 3, 2], [1, 4, 12])
    out = t.to_numpy()
    assert out.flags.f_contiguous and out.strides == (4, 16, 48)
    np.testing.assert_array_equal(out, src.transpose(2, 1, 0))


@pytest.mark.parametrize("axes", [(0, 1), (1, 2)])
@pytest.mark.parametrize("dtype", ["f32", "f16", "bool"])
def test_permuted_storage_exports_row_major(axes, dtype):
    src = np.arange(24).reshape(2, 3, 4) % 5
    t = Tensor(src, dtype=dtype).transpose(*axes)
    out = t.to_numpy()
    assert out.flags.c_contiguous
    expected = np.swapaxes(src, *axes).astype(bool if dtype == "bool" else np.float32)
    np.testing.assert_array_equal(out.astype(np.float32), expected)


@pytest.mark.parametrize("shape", [(), (0,), (0, 3), (3, 0, 2), (1, 1), (1, 5), (5, 1), (1, 3, 1, 2)])
def test_degenerate_shapes_round_trip(shape):
    src = np.arange(int(np.prod(shape)), dtype=np.float32).reshape(shape)
    out = Tensor(src).to_numpy()
    assert out.shape == shape
    np.testing.assert_array_equal(out, src)
    if len(shape) >= 2:
        swapped = Tensor(src).transpose(0, len(shape) - 1).to_numpy()
        np.testing.assert_array_equal(swapped, np.swapaxes(src, 0, len(shape) - 1))


@pytest.mark.parametrize("dtype,np_dtype", [("f32", np.float32), ("f16", np.float16), ("bf16", BF16)])
def test_grad_exports_the_gradient_dtype(dtype, np_dtype):
    Tensor.clear_graph()
    x = Tensor([1.0, 2.0], dtype=dtype, requires_grad=True)
    assert x.grad() is None
    (x * 2.0).backward()
    g = x.grad()
    assert g.dtype == np_dtype
    np.testing.assert_array_equal(g.astype(np.float32), [2.0, 2.0])
    assert g is not x.grad()  # a fresh copy each call
    Tensor.clear_graph()
    assert x.grad() is None


def test_rank_beyond_numpy_is_a_value_error_on_export():
    # reshape accepts any rank, NumPy arrays stop at 64 axes: exporting says so
    # instead of failing as an internal error.
    deep = Tensor([1.0, 2.0]).reshape([1] * 69 + [2])
    assert (deep + deep).ndim == 70
    with pytest.raises(ValueError, match="at most 64 dimensions; this tensor has 70"):
        deep.to_numpy()
