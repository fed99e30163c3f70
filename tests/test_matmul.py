"""Batched matrix products and their gradients, checked against NumPy.

Small-integer operands keep every binary32 sum exact whatever the summation
order, so most comparisons are exact: float32 results equal NumPy's
float64 product, and half-precision results equal that product rounded once.
"""

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from mirel_core import Tensor

FLOATS = ["float32", "float16", "bfloat16"]
NP_TYPE = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}


def ints(shape, seed=0, lo=-4, hi=4):
    return np.random.default_rng(seed).integers(lo, hi + 1, size=shape).astype(np.float32)


def swapped(x, dtype="float32", axes=None):
    """A tensor equal to x whose storage has the two given axes exchanged."""
    if axes is None or axes[0] == axes[1]:
        return Tensor(x, dtype=dtype)
    i, j = axes
    return Tensor(np.ascontiguousarray(np.swapaxes(x, i, j)), dtype=dtype).transpose(i, j)


def reference(a, b, dtype):
    """Exact product of small integers, rounded once to the element type."""
    exact = np.matmul(a.astype(np.float64), b.astype(np.float64)).astype(np.float32)
    return exact.astype(NP_TYPE[dtype])


def row_major_strides(shape):
    strides, acc = [], 1
    for n in reversed(shape):
        strides.insert(0, acc)
        acc *= n
    return strides


def assert_same(actual, expected):
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    assert np.array_equal(actual.view(np.uint8), expected.view(np.uint8)), (actual, expected)


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize(
    "lhs,rhs,out",
    [
        ((2, 3), (3, 4), (2, 4)),
        ((5, 2, 3), (3, 4), (5, 2, 4)),  # one B for every batch entry
        ((3, 4), (2, 4, 5), (2, 3, 5)),  # one A for every batch entry
        ((2, 1, 2, 3), (4, 3, 5), (2, 4, 2, 5)),
        ((1, 3), (3, 1), (1, 1)),
        ((3, 1), (1, 3), (3, 3)),  # outer product, k == 1
        ((2, 0), (0, 3), (2, 3)),  # k == 0: all zeros
        ((0, 2, 3), (3, 4), (0, 2, 4)),
        ((2, 3), (3, 0), (2, 0)),
    ],
)
def test_shapes_and_values(dtype, lhs, rhs, out):
    a, b = ints(lhs, 1), ints(rhs, 2)
    r = Tensor(a, dtype=dtype) @ Tensor(b, dtype=dtype)
    assert r.shape == list(out) and r.dtype == Tensor(a, dtype=dtype).dtype
    assert_same(r.to_numpy(), reference(a, b, dtype))
    if 0 not in out:
        assert r.strides == row_major_strides(out)


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize(
    "lhs,rhs,message",
    [
        ((3,), (3, 4), "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
        ((3, 4), (4,), "Matmul requires at least 2D tensors. A: 2D, B: 1D"),
        ((), (4,), "Matmul requires at least 2D tensors. A: 0D, B: 1D"),
        ((2, 3), (4, 5), "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
        # the rank is checked before the inner dimension, the inner dimension before the batch
        ((3,), (4, 5), "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
        ((2, 2, 3), (3, 4, 5), "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
        ((2, 2, 3), (3, 3, 4), "Shape mismatch: cannot broadcast [2] and [3]"),
        ((4, 1, 2, 3), (5, 3, 3, 4), "Shape mismatch: cannot broadcast [4, 1] and [5, 3]"),
    ],
)
def test_shape_errors(dtype, lhs, rhs, message):
    a, b = Tensor(np.ones(lhs), dtype=dtype), Tensor(np.ones(rhs), dtype=dtype)
    with pytest.raises(RuntimeError) as e:
        a @ b
    assert str(e.value) == message


@pytest.mark.parametrize(
    "lhs,rhs,exc,message",
    [
        ("float32", "float16", ValueError,
         "Tensor DType mismatch during binary execution. Cannot operate between F32 and F16."),
        ("bool", "bool", TypeError,
         "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."),
    ],
)
def test_element_type_errors(lhs, rhs, exc, message):
    with pytest.raises(exc) as e:
        Tensor(np.ones((2, 2)), dtype=lhs) @ Tensor(np.ones((2, 2)), dtype=rhs)
    assert str(e.value) == message


@st.composite
def operands(draw):
    """Broadcast-compatible batch shapes, matrix sizes and a storage layout for each side."""
    m, k, n = (draw(st.integers(1, 6)) for _ in range(3))
    batch = draw(st.lists(st.integers(1, 3), max_size=3))
    a_batch, b_batch = [], []
    for d in batch:
        stretch = draw(st.sampled_from(["none", "a", "b"]))
        a_batch.append(1 if stretch == "a" else d)
        b_batch.append(1 if stretch == "b" else d)
    a_batch = a_batch[draw(st.integers(0, len(a_batch))):]  # missing leading axes broadcast too
    b_batch = b_batch[draw(st.integers(0, len(b_batch))):]
    a_shape, b_shape = (*a_batch, m, k), (*b_batch, k, n)

    def axes(rank):
        return draw(st.tuples(st.integers(0, rank - 1), st.integers(0, rank - 1)))

    return a_shape, b_shape, axes(len(a_shape)), axes(len(b_shape))


@settings(max_examples=200, deadline=None)
@given(operands(), st.sampled_from(FLOATS))
def test_any_layout_and_broadcast_matches_numpy(case, dtype):
    # Swapping a batch axis with a matrix axis leaves neither matrix stride at 1;
    # swapping the matrix axes gives a transposed operand.
    a_shape, b_shape, a_axes, b_axes = case
    a, b = ints(a_shape, 3), ints(b_shape, 4)
    r = swapped(a, dtype, a_axes) @ swapped(b, dtype, b_axes)
    expected = reference(a, b, dtype)
    assert_same(r.to_numpy(), expected)
    assert r.strides == row_major_strides(expected.shape)


LAYOUTS = {
    "row-major": lambda nd: None,
    "transposed": lambda nd: (nd - 2, nd - 1),  # read in place through the transpose flag
    "no unit stride": lambda nd: (0, nd - 1),  # in 3-D neither matrix stride is 1: packed first
}


@pytest.mark.parametrize("layout_a", LAYOUTS)
@pytest.mark.parametrize("layout_b", LAYOUTS)
@pytest.mark.parametrize(
    "lhs,rhs",
    [
        ((70, 130), (130, 90)),
        ((3, 33, 65), (65, 17)),
        ((2, 1, 64), (2, 64, 300)),
        ((130, 1000), (1000, 200)),  # large enough for the blocked sums over k and the wide kernels
        ((2, 48, 900), (900, 96)),
    ],
)
def test_float32_against_numpy(lhs, rhs, layout_a, layout_b):
    rng = np.random.default_rng(5)
    a = rng.standard_normal(lhs, dtype=np.float32)
    b = rng.standard_normal(rhs, dtype=np.float32)
    r = (swapped(a, axes=LAYOUTS[layout_a](a.ndim)) @ swapped(b, axes=LAYOUTS[layout_b](b.ndim))).to_numpy()
    # NumPy's BLAS sums in another order: allow a few ulps of the terms' size.
    expected = np.matmul(a, b)
    bound = 16 * np.finfo(np.float32).eps * np.matmul(np.abs(a), np.abs(b))
    assert r.dtype == np.float32 and r.shape == expected.shape
    assert np.all(np.abs(r - expected) <= bound)


@pytest.mark.parametrize("transposed", [False, True])
def test_large_products_put_nan_and_infinity_where_numpy_does(transposed):
    rng = np.random.default_rng(6)
    a = rng.standard_normal((100, 900), dtype=np.float32)
    b = rng.standard_normal((900, 200), dtype=np.float32)
    a[3, 5] = np.nan
    a[10, 17], b[17, 3] = np.inf, 0.0  # inf * 0 is NaN at (10, 3); the rest of row 10 is infinite
    b[40, 7] = -np.inf
    b[41, 7] = np.inf  # column 7 meets both infinities: NaN
    r = (swapped(a, axes=(0, 1) if transposed else None) @ Tensor(b)).to_numpy()
    with np.errstate(invalid="ignore", over="ignore"):  # NumPy's own warnings for the reference
        expected = np.matmul(a, b)
        bound = 16 * np.finfo(np.float32).eps * np.matmul(np.abs(a), np.abs(b))
    np.testing.assert_array_equal(np.isnan(r), np.isnan(expected))
    np.testing.assert_array_equal(np.isposinf(r), np.isposinf(expected))
    np.testing.assert_array_equal(np.isneginf(r), np.isneginf(expected))
    finite = np.isfinite(expected)
    assert np.all(np.abs(r[finite] - expected[finite]) <= bound[finite])


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_half_product_is_accumulated_in_float32_and_rounded_once(dtype):
    a = np.array([[2048, 1, 1]], dtype=np.float32)
    if dtype == "bfloat16":  # the same effect one binade lower: 256 + 1 + 1 = 258 is a bfloat16
        a[0, 0] = 256
    r = Tensor(a, dtype=dtype) @ Tensor(np.ones((3, 1)), dtype=dtype)
    assert r.to_numpy().astype(np.float32)[0, 0] == a.sum()


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_half_products_are_float32_products_rounded_once(dtype):
    # Sums up to a few thousand are exact in float32 but not in the half types.
    a, b = ints((9, 40), 7, -9, 9), ints((40, 11), 8, -9, 9)
    assert_same((Tensor(a, dtype=dtype) @ Tensor(b, dtype=dtype)).to_numpy(), reference(a, b, dtype))


# Gradients. backward() seeds ones, so backward on (A @ B) * W yields the gradient of sum(W * (A @ B)).


def grads_of_weighted_product(a, b, w, dtype="float32"):
    ta = Tensor(a, dtype=dtype, requires_grad=True)
    tb = Tensor(b, dtype=dtype, requires_grad=True)
    ((ta @ tb) * Tensor(w, dtype=dtype)).backward()
    ga, gb = ta.grad(), tb.grad()
    Tensor.clear_graph()
    return ga, gb


def test_gradient_example():
    ta = Tensor([[1.0, 2.0]], requires_grad=True)
    tb = Tensor([[3.0], [4.0]], requires_grad=True)
    (ta @ tb).backward()
    np.testing.assert_array_equal(ta.grad(), [[3.0, 4.0]])
    np.testing.assert_array_equal(tb.grad(), [[1.0], [2.0]])
    Tensor.clear_graph()


def test_batch_axes_of_gradients_are_not_summed():
    a, b = ints((2, 3, 4), 1), ints((4, 5), 2)
    ga, gb = grads_of_weighted_product(a, b, np.ones((2, 3, 5), np.float32))
    assert ga.shape == (2, 3, 4) and gb.shape == (2, 4, 5)
    np.testing.assert_array_equal(ga, np.ones((2, 3, 5)) @ b.T)
    np.testing.assert_array_equal(gb, np.swapaxes(a, 1, 2) @ np.ones((2, 3, 5)))


def central_difference(f, x, eps=0.5):
    # The product is linear in each operand, so with small integers and eps = 0.5
    # every evaluation is exact and so is the difference quotient.
    g = np.zeros_like(x)
    for idx in np.ndindex(x.shape):
        hi, lo = x.copy(), x.copy()
        hi[idx] += eps
        lo[idx] -= eps
        g[idx] = (f(hi) - f(lo)) / (2 * eps)
    return g


def reduce_to(g, shape):
    """Sums a gradient over the axes along which its operand was broadcast."""
    g = g.sum(axis=tuple(range(g.ndim - len(shape))))
    return g.sum(axis=tuple(i for i, n in enumerate(shape) if n == 1 and g.shape[i] != 1), keepdims=True)


@pytest.mark.parametrize("lhs,rhs", [((3, 4), (4, 2)), ((2, 3, 4), (4, 5)), ((2, 1, 2, 3), (4, 3, 2)), ((1, 3), (3, 1))])
def test_gradients_match_finite_differences(lhs, rhs):
    a, b = ints(lhs, 1), ints(rhs, 2)
    out_shape = np.matmul(a, b).shape
    w = ints(out_shape, 3)

    def loss(x, y):
        return float(((Tensor(x) @ Tensor(y)).to_numpy().astype(np.float64) * w).sum())

    ga, gb = grads_of_weighted_product(a, b, w)
    # Gradients keep the broadcast batch shape, so sum them over the stretched axes
    # before comparing with the derivative with respect to the operand itself.
    np.testing.assert_array_equal(reduce_to(ga, a.shape), central_difference(lambda x: loss(x, b), a))
    np.testing.assert_array_equal(reduce_to(gb, b.shape), central_difference(lambda y: loss(a, y), b))


def test_large_product_gradients_against_numpy():
    # The gradient of the right operand multiplies by the left one transposed.
    rng = np.random.default_rng(8)
    a, b, w = (rng.standard_normal(s, dtype=np.float32) for s in ((256, 784), (784, 256), (256, 256)))
    ga, gb = grads_of_weighted_product(a, b, w)
    for got, expected, bound in [(ga, w @ b.T, np.abs(w) @ np.abs(b.T)), (gb, a.T @ w, np.abs(a.T) @ np.abs(w))]:
        assert np.all(np.abs(got - expected) <= 16 * np.finfo(np.float32).eps * bound)


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_half_gradients_are_rounded_once(dtype):
    a, b, w = ints((5, 30), 1, -9, 9), ints((30, 6), 2, -9, 9), ints((5, 6), 3, -9, 9)
    ga, gb = grads_of_weighted_product(a, b, w, dtype)
    assert_same(ga, reference(w, b.T, dtype))
    assert_same(gb, reference(a.T, w, dtype))


def test_gradient_of_a_product_broadcast_by_a_later_operation_fails():
    # [1, 3] + [5, 3] sends back a [5, 3] gradient; B's gradient is then Aᵀ[2, 1] · [5, 3].
    ta = Tensor(np.ones((1, 2)), requires_grad=True)
    tb = Tensor(np.ones((2, 3)), requires_grad=True)
    out = (ta @ tb) + Tensor(np.zeros((5, 3)))
    with pytest.raises(RuntimeError) as e:
        out.backward()
    assert str(e.value) == "Matrix inner dimensions mismatch for matmul: 1 vs 5"
    Tensor.clear_graph()


@pytest.mark.parametrize("dtype", ["f32", "f16"])
def test_result_beyond_addressable_memory_is_a_memory_error(dtype):
    empty = Tensor(np.zeros(0, np.float32), dtype=dtype)
    with pytest.raises(MemoryError):
        empty.reshape([1 << 31, 0]) @ empty.reshape([0, 1 << 31])
