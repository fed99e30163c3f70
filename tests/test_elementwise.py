"""Elementwise arithmetic and comparisons, bit for bit against NumPy and ml_dtypes.

The reference for the half types widens both operands to float32, does one float32
operation and rounds once (NumPy's float16 and ml_dtypes' bfloat16 casts round to
nearest, ties to even). A NaN result is compared only as a NaN, except where our
narrowing rule is the point: sign and top payload bits kept, quiet bit set.
"""

import operator

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from mirel_core import Tensor

FLOATS = ["f32", "f16", "bf16"]
NP_TYPE = {"f32": np.dtype(np.float32), "f16": np.dtype(np.float16), "bf16": np.dtype(ml_dtypes.bfloat16)}
UINT = {"f32": np.uint32, "f16": np.uint16, "bf16": np.uint16}
ARITH = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}
COMPARE = {"<": operator.lt, "<=": operator.le, "==": operator.eq, "!=": operator.ne, ">": operator.gt, ">=": operator.ge}
OPS = {**ARITH, **COMPARE}

# zeros, smallest subnormals, largest subnormal, smallest normal, ±1, about 1/3, 3,
# the first integer whose successor is not representable, ±largest finite, ±inf,
# a quiet NaN, a signalling NaN, a negative NaN with a payload
SPECIAL_BITS = {
    "f32": [0, 0x80000000, 1, 0x80000001, 0x007FFFFF, 0x00800000, 0x3F800000, 0xBF800000, 0x3EAAAAAB,
            0x40400000, 0x4B800000, 0x7F7FFFFF, 0xFF7FFFFF, 0x7F800000, 0xFF800000, 0x7FC00000, 0x7F800001, 0xFFA5A5A5],
    "f16": [0x0000, 0x8000, 0x0001, 0x8001, 0x03FF, 0x0400, 0x3C00, 0xBC00, 0x3555,
            0x4200, 0x6800, 0x7BFF, 0xFBFF, 0x7C00, 0xFC00, 0x7E00, 0x7C01, 0xFD2A],
    "bf16": [0x0000, 0x8000, 0x0001, 0x8001, 0x007F, 0x0080, 0x3F80, 0xBF80, 0x3EAB,
             0x4040, 0x4380, 0x7F7F, 0xFF7F, 0x7F80, 0xFF80, 0x7FC0, 0x7F81, 0xFFA5],
}
SCALARS = [2, 0.1, -0.0, 3.0, 1e-8, 70000.0, 1e40, float("inf"), float("nan")]


def from_bits(bits, dt):
    return np.asarray(bits, dtype=np.int64).astype(UINT[dt]).view(NP_TYPE[dt])


def widen(x):
    """Exact float32 values; bfloat16 by its bits, so that NaN payloads survive."""
    x = np.asarray(x)
    if x.dtype == NP_TYPE["bf16"]:
        return (x.view(np.uint16).astype(np.uint32) << 16).view(np.float32)
    return x.astype(np.float32)


def narrow(x, dt):
    """float32 values rounded once to dt; a NaN keeps its sign and top payload bits and gets the quiet bit."""
    x = np.asarray(x, dtype=np.float32)
    with np.errstate(all="ignore"):
        out = x.astype(NP_TYPE[dt])
    if dt == "f32":
        return out
    u = x.view(np.uint32)
    nan_bits = ((u >> 16) & 0x8000) | 0x7E00 | ((u & 0x7FFFFF) >> 13) if dt == "f16" else (u >> 16) | 0x0040
    return np.where(np.isnan(x), nan_bits.astype(np.uint16), out.view(np.uint16)).view(NP_TYPE[dt])


def expected(op, a, b, dt):
    with np.errstate(all="ignore"):
        r = OPS[op](widen(a), widen(b))
    return r if op in COMPARE else narrow(r, dt)


def rounded(x, dt):
    """A Python number as the operation sees it: narrowed to float32, then to the element type."""
    with np.errstate(all="ignore"):
        return narrow(np.float32(x), dt)


def tensor(x, dt, transposed=False):
    """A tensor equal to x; when transposed, stored with its last two axes exchanged."""
    if transposed and x.ndim >= 2:
        i, j = x.ndim - 2, x.ndim - 1
        return Tensor(np.ascontiguousarray(np.swapaxes(x, i, j)), dtype=dt).transpose(i, j)
    return Tensor(x, dtype=dt)


def assert_same(t, want, exact_nan=False):
    got = t.to_numpy()
    assert (got.dtype, got.shape) == (want.dtype, want.shape)
    if want.dtype == bool:
        np.testing.assert_array_equal(got, want)
        return
    got_nan, want_nan = np.isnan(widen(got)), np.isnan(widen(want))
    np.testing.assert_array_equal(got_nan, want_nan)
    keep = np.ones_like(want_nan) if exact_nan else ~want_nan
    uint = UINT["f32"] if want.itemsize == 4 else np.uint16
    np.testing.assert_array_equal(got.view(uint)[keep], want.view(uint)[keep])


def operand(dt, seed=0):
    """Special values, the rounded test scalars and random values of moderate size."""
    values = np.random.default_rng(seed).standard_normal(64).astype(np.float32) * np.float32(4)
    scalars = [rounded(x, dt) for x in SCALARS]
    return np.concatenate([from_bits(SPECIAL_BITS[dt], dt), np.array(scalars), narrow(values, dt)])


def patterns(dt):
    """Any bit pattern, or one of magnitude 0.5 to 4, where sums and products round."""
    width, man, bias = {"f32": (32, 23, 127), "f16": (16, 10, 15), "bf16": (16, 7, 127)}[dt]
    moderate = st.builds(lambda s, e, m: s << (width - 1) | e << man | m,
                         st.integers(0, 1), st.integers(bias - 1, bias + 2), st.integers(0, (1 << man) - 1))
    return st.integers(0, (1 << width) - 1) | moderate


@settings(max_examples=400, deadline=None)
@given(data=st.data(), dt=st.sampled_from(FLOATS), op=st.sampled_from(list(OPS)),
       shapes=hnp.mutually_broadcastable_shapes(num_shapes=2, max_dims=3, min_side=0, max_side=4),
       transposed=st.tuples(st.booleans(), st.booleans()))
def test_matches_numpy_for_any_broadcast_and_layout(data, dt, op, shapes, transposed):
    a, b = (from_bits(data.draw(hnp.arrays(UINT[dt], s, elements=patterns(dt))), dt) for s in shapes.input_shapes)
    result = OPS[op](tensor(a, dt, transposed[0]), tensor(b, dt, transposed[1]))
    assert result.shape == list(shapes.result_shape)
    assert_same(result, expected(op, a, b, dt))


@pytest.mark.parametrize("dt", FLOATS)
@pytest.mark.parametrize("op", OPS)
def test_every_pair_of_special_values(dt, op):
    v = from_bits(SPECIAL_BITS[dt], dt)
    a, b = v[:, None], v[None, :]  # [n, 1] against [1, n] meets every pair
    assert_same(OPS[op](tensor(a, dt), tensor(b, dt)), expected(op, a, b, dt))


@pytest.mark.parametrize("dt", FLOATS)
@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("lhs,rhs", [((2, 3), (3,)), ((2, 1), (1, 3)), ((5, 1, 4), (3, 1)), ((), ()),
                                     ((), (2, 3)), ((0, 3), (1, 3)), ((0,), (1,)), ((3, 4), (4, 3, 4))])
@pytest.mark.parametrize("transposed", [(False, False), (True, True), (False, True)])
def test_broadcast_shapes_and_layouts(dt, op, lhs, rhs, transposed):
    rng = np.random.default_rng(len(lhs) * 10 + len(rhs))
    a, b = (narrow(rng.standard_normal(s).astype(np.float32) * np.float32(3), dt) for s in (lhs, rhs))
    assert_same(OPS[op](tensor(a, dt, transposed[0]), tensor(b, dt, transposed[1])), expected(op, a, b, dt))


@pytest.mark.parametrize("dt", FLOATS)
@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("n", [15, 16, 17, 33, 1027])
def test_long_rows_and_vector_tails(dt, op, n):
    rng = np.random.default_rng(n)
    bits = from_bits(rng.integers(0, 1 << (8 * NP_TYPE[dt].itemsize), size=(3, n)), dt)
    a, b = (np.where(rng.random((3, n)) < 0.3, bits, narrow(rng.standard_normal((3, n)) * 4, dt)) for _ in "ab")
    for x, y in ((a, b), (a, b[1]), (a[:, :1], b)):
        assert_same(OPS[op](tensor(x, dt), tensor(y, dt)), expected(op, x, y, dt))
    assert_same(OPS[op](tensor(a, dt, True), tensor(b, dt, True)), expected(op, a, b, dt))
    if op != "/":
        assert_same(OPS[op](tensor(a, dt, True), 0.7), expected(op, a, rounded(0.7, dt), dt))


@pytest.mark.parametrize("op", COMPARE)
def test_bool_tensors_compare_with_false_below_true(op):
    a, b = np.array([[False], [True]]), np.array([[False, True]])
    assert_same(OPS[op](Tensor(a, dtype="bool"), Tensor(b, dtype="bool")), OPS[op](a, b))


@pytest.mark.parametrize("dt", FLOATS)
@pytest.mark.parametrize("x", SCALARS, ids=repr)
@pytest.mark.parametrize("op", OPS)
def test_number_operand_is_rounded_to_the_element_type_first(dt, x, op):
    a = operand(dt)
    t = tensor(a, dt)
    if op == "/":  # division by a number is multiplication by its float32 reciprocal
        with np.errstate(all="ignore"):
            want = expected("*", a, rounded(np.float32(1) / np.float32(x), dt), dt)
    else:
        want = expected(op, a, rounded(x, dt), dt)
    assert_same(OPS[op](t, x), want)
    if op != "-":  # x - t has no reflected form
        assert_same(OPS[op](x, t), expected(op, rounded(x, dt), a, dt))


@pytest.mark.parametrize("dt,a,op,b,want", [
    ("f16", 2048, "+", 1, 2048),  # 2049 is a tie; 2048 is even
    ("f16", 2050, "+", 1, 2052),
    ("f16", 60000, "+", 10000, np.inf),
    ("f16", 65504, "+", 16, np.inf),  # the tie above the largest finite value
    ("f16", 65504, "+", 15, 65504),
    ("f16", 1, "+", 0.0001, 1),
    ("f16", 2.0**-24, "*", 0.5, 0.0),  # half the smallest subnormal ties to zero
    ("f16", 3 * 2.0**-24, "*", 0.5, 2.0**-23),
    ("bf16", 256, "+", 1, 256),
    ("bf16", 258, "+", 1, 260),
    ("bf16", 1, "+", 1, 2),
    ("bf16", float(ml_dtypes.finfo(ml_dtypes.bfloat16).max), "+", 2.0**119, np.inf),
    ("bf16", 3 * 2.0**-133, "*", 0.5, 2.0**-132),  # bfloat16 subnormals are float32 subnormals: no flushing
    ("f32", 1, "/", -0.0, -np.inf),
])
def test_named_rounding_cases(dt, a, op, b, want):
    result = OPS[op](Tensor([a], dtype=dt), Tensor([b], dtype=dt))
    assert_same(result, np.array([want], dtype=np.float32).astype(NP_TYPE[dt]))


@pytest.mark.parametrize("dt", ["f16", "bf16"])
@pytest.mark.parametrize("x", [1.0, 0.5])
def test_every_half_bit_pattern_through_widen_multiply_narrow(dt, x):
    a = from_bits(np.arange(1 << 16), dt)
    with np.errstate(all="ignore"):
        want = narrow(widen(a) * np.float32(x), dt)
    assert_same(Tensor(a, dtype=dt) * x, want, exact_nan=True)


@pytest.mark.parametrize("dt", ["f16", "bf16"])
def test_sums_near_every_rounding_midpoint(dt):
    """v ± k·ulp(v)/4 for every finite v: below, at and above each midpoint, exact in float32."""
    top = {"f16": 0x7BFF, "bf16": 0x7F7F}[dt]
    bits = np.arange(top + 1)
    v = widen(from_bits(bits, dt))
    above = widen(from_bits(np.minimum(bits + 1, top), dt))
    ulp = np.where(bits < top, above - v, v - widen(from_bits(np.maximum(bits - 1, 0), dt)))
    lhs, rhs, tie = [], [], []
    for k in (1, 2, 3):
        offset = ulp * np.float32(k / 4)
        fits = widen(narrow(offset, dt)) == offset
        for s, t in ((1, 1), (-1, -1), (1, -1)):
            lhs.append(s * v[fits])
            rhs.append(t * offset[fits])
            tie.append(np.full(fits.sum(), k == 2))
    a, b, tie = narrow(np.concatenate(lhs), dt), narrow(np.concatenate(rhs), dt), np.concatenate(tie)
    result = tensor(a, dt) + tensor(b, dt)
    assert_same(result, expected("+", a, b, dt), exact_nan=True)
    exact = widen(a) + widen(b)  # no rounding in float32
    tie &= widen(narrow(exact, dt)) != exact  # below a power of two, half the upper ulp is representable
    assert tie.sum() > 50000
    assert not (result.to_numpy().view(np.uint16)[tie] & 1).any()  # every tie went to the even neighbour
