"""Every product sums in one written order: k in blocks of 256, each element's
block one chain of fused multiply-adds from +0, the block sums added in order.
Single rows and columns, transposed operands, batches and every kernel this CPU
runs give the bits of that chain computed exactly and rounded once per step."""
from fractions import Fraction

import numpy as np
import pytest

from mirel import _native
from mirel_core import Tensor

BLOCK = 256


def to_f32(x: Fraction) -> Fraction:
    """x rounded to the nearest binary32 value, ties to even."""
    if x == 0:
        return Fraction(0)
    sign, x = (-1 if x < 0 else 1), abs(x)
    e = x.numerator.bit_length() - x.denominator.bit_length()
    if Fraction(2) ** e > x:
        e -= 1
    e = max(e, -126)  # subnormals share the smallest exponent
    scaled = x / Fraction(2) ** (e - 23)
    n, rest = divmod(scaled.numerator, scaled.denominator)
    if 2 * rest > scaled.denominator or (2 * rest == scaled.denominator and n % 2):
        n += 1
    return sign * n * Fraction(2) ** (e - 23)


def blocked_chain(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    m, k = a.shape
    fa = [[Fraction(float(x)) for x in row] for row in a]
    fb = [[Fraction(float(x)) for x in row] for row in b.T]
    out = np.empty((m, b.shape[1]), np.float32)
    for i, row in enumerate(fa):
        for j, col in enumerate(fb):
            result = Fraction(0)
            for p0 in range(0, k, BLOCK):
                s = Fraction(0)
                for x, y in zip(row[p0:p0 + BLOCK], col[p0:p0 + BLOCK]):
                    s = to_f32(x * y + s)
                result = to_f32(s + result)
            out[i, j] = float(result)
    return out


def operand(rng, *shape):
    """Values whose exponents differ widely, so that any other order shows."""
    x = rng.standard_normal(shape) * 2.0 ** rng.integers(-12, 12, shape)
    return x.astype(np.float32)


def same_bits(got: np.ndarray, want: np.ndarray):
    assert got.dtype == want.dtype and got.shape == want.shape
    assert np.array_equal(got.view(np.uint32), want.view(np.uint32))


@pytest.mark.parametrize("kernel", _native._kernels())
@pytest.mark.parametrize(
    "m,k,n,transposed",
    [
        (1, 300, 7, False),    # a single row
        (9, 300, 1, False),    # a single column: computed with the vectors along the rows
        (1, 513, 1, False),    # one element, three blocks
        (7, 257, 20, True),    # operands read through their transposes
        (13, 300, 33, False),  # past a tile edge in both directions, on every kernel
    ],
)
def test_each_kernel_gives_the_blocked_chain(kernel, m, k, n, transposed):
    rng = np.random.default_rng(m * 1000 + k + n)
    a, b = operand(rng, m, k), operand(rng, k, n)
    if transposed:  # stored column-major, read in place
        ta, tb = Tensor(np.ascontiguousarray(a.T)).transpose(0, 1), Tensor(np.ascontiguousarray(b.T)).transpose(0, 1)
    else:
        ta, tb = Tensor(a), Tensor(b)
    same_bits(_native._matmul_on(kernel, ta, tb).to_numpy(), blocked_chain(a, b))


@pytest.mark.parametrize(
    "shape_a,shape_b",
    [
        ((2, 1, 3, 260), (4, 260, 5)),  # batch axes broadcast both ways
        ((3, 4, 260), (260, 6)),        # a shared right operand: the stack is one product
        ((3, 1, 300), (3, 300, 2)),     # a batch of single rows
    ],
)
def test_batched_products_give_the_chain_of_each_matrix(shape_a, shape_b):
    rng = np.random.default_rng(len(shape_a) * 10 + shape_a[-1])
    a, b = operand(rng, *shape_a), operand(rng, *shape_b)
    got = (Tensor(a) @ Tensor(b)).to_numpy()
    batch = np.broadcast_shapes(a.shape[:-2], b.shape[:-2])
    a_all = np.broadcast_to(a, batch + a.shape[-2:])
    b_all = np.broadcast_to(b, batch + b.shape[-2:])
    for index in np.ndindex(*batch):
        same_bits(got[index], blocked_chain(a_all[index], b_all[index]))


@pytest.mark.parametrize(
    "dtype,k,value,want",
    [
        ("f32", 2**26, 1.0, 2.0**26),  # a running sum stops at 2^24
        ("bf16", 2**25, 1.0, 2.0**25),
        ("f16", 2**25, 2.0**-12, 2.0**25 * 2.0**-24),
    ],
)
def test_long_products_keep_a_blocked_sums_accuracy(dtype, k, value, want):
    row = Tensor(np.full((1, k), value, np.float32), dtype=dtype)
    column = Tensor(np.full((k, 1), value, np.float32), dtype=dtype)
    assert float((row @ column).to_numpy().astype(np.float32)[0, 0]) == want


def test_kernels_are_named_and_bad_names_refused():
    kernels = _native._kernels()
    assert set(kernels) <= {"portable", "avx2", "avx512"} and "portable" in kernels
    with pytest.raises(ValueError, match="not a kernel this CPU runs"):
        _native._matmul_on("sse9", Tensor(np.ones((1, 1), np.float32)), Tensor(np.ones((1, 1), np.float32)))
    assert _native._fma_peak(kernels[0], 1000) > 0
    assert _native._bf16_unit() in {"amx", "avx512_bf16", "widened"}
