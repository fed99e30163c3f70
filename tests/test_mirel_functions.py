"""mirel's functions against float64 NumPy references: values, roundings and gradients."""
import math

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import mirel
from mirel_core import Tensor

F = mirel.nn.functional
DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}


@pytest.fixture(autouse=True)
def clean_tape():
    Tensor.clear_graph()


def rand(shape, dtype="f32", seed=0, scale=1.0):
    return (np.random.default_rng(seed).standard_normal(shape) * scale).astype(DTYPES[dtype])


NAMES = {np.dtype(v): k for k, v in DTYPES.items()}


def T(a, requires_grad=False):
    """A tensor of a's own element type (the constructor's default is f32)."""
    return Tensor(a, dtype=NAMES.get(np.asarray(a).dtype, "f32"), requires_grad=requires_grad)


def as_tensor(a, layout="row", grad=False):
    """A tensor holding a's values in the given memory layout."""
    if layout == "col" and a.ndim >= 2:
        return T(np.asfortranarray(a), requires_grad=grad)
    if layout == "transposed" and a.ndim >= 2:
        return T(np.ascontiguousarray(np.swapaxes(a, 0, 1)), requires_grad=grad).transpose(0, 1)
    return T(a, requires_grad=grad)


def rounded(values, dtype):
    return np.asarray(values, np.float64).astype(np.float32).astype(DTYPES[dtype])


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


# Reductions: NumPy's values (our own summation order, so within a few roundings), layout-independent bits.
AXES = [None, 0, 1, -1, (0, 2), (0, 1, 2), ()]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("axis", AXES)
@pytest.mark.parametrize("keepdims", [False, True])
def test_reductions_match_numpy(dtype, axis, keepdims):
    a = rand((3, 4, 5), dtype)
    wide = a.astype(np.float64)
    t = T(a)
    for fn, ref in [(mirel.sum, np.sum), (mirel.mean, np.mean), (mirel.max, np.max), (mirel.min, np.min)]:
        got = fn(t, axis=axis, keepdims=keepdims).to_numpy()
        want = ref(wide, axis=axis, keepdims=keepdims)
        assert got.shape == np.shape(want) and got.dtype == DTYPES[dtype]
        tol = 1e-6 if dtype == "f32" else 1e-2
        np.testing.assert_allclose(got.astype(np.float64), want, rtol=tol, atol=tol)
    if axis is None or isinstance(axis, int):
        assert np.array_equal(mirel.argmax(t, axis=axis, keepdims=keepdims), np.argmax(a, axis=axis, keepdims=keepdims))


@pytest.mark.parametrize("dtype", DTYPES)
def test_halves_sum_in_f32_and_round_once(dtype):
    a = np.full(4097, 1.0, DTYPES[dtype])  # a running sum in the half type would stall at 2048 (f16) or 256 (bf16)
    assert mirel.sum(T(a)).to_numpy() == rounded(4097.0, dtype)


@settings(max_examples=40, deadline=None)
@given(shape=st.lists(st.integers(0, 5), min_size=2, max_size=4), data=st.data())
def test_reduction_bits_do_not_depend_on_layout(shape, data):
    a = rand(shape, seed=len(shape))
    axes = data.draw(st.sets(st.integers(0, len(shape) - 1)))
    axis = tuple(sorted(axes))
    ref = mirel.sum(Tensor(a), axis=axis).to_numpy()
    for layout in ("col", "transposed"):
        assert same_bits(mirel.sum(as_tensor(a, layout), axis=axis).to_numpy(), ref)
    wide = np.broadcast_to(a[:1], a.shape) if a.shape[0] else a
    broadcast = Tensor(a[:1]) + Tensor(np.zeros(a.shape, np.float32))
    assert same_bits(mirel.sum(broadcast, axis=axis).to_numpy(), mirel.sum(Tensor(np.ascontiguousarray(wide)), axis=axis).to_numpy())


def test_max_min_propagate_nan_and_sum_of_nothing_is_zero():
    a = np.array([[1.0, np.nan, 3.0], [4.0, 5.0, 6.0]], np.float32)
    assert np.isnan(mirel.max(Tensor(a), axis=1).to_numpy()[0]) and np.isnan(mirel.min(Tensor(a)).to_numpy())
    assert mirel.argmax(Tensor(a), axis=1).tolist() == [1, 2]
    assert mirel.sum(Tensor(np.zeros((2, 0), np.float32)), axis=1).to_numpy().tolist() == [0.0, 0.0]


def numeric_grad(f, a, eps=1e-3):
    """Central differences of sum(f(x)) in float64."""
    g = np.zeros_like(a, dtype=np.float64)
    for i in np.ndindex(a.shape):
        hi, lo = a.astype(np.float64), a.astype(np.float64)
        hi[i] += eps
        lo[i] -= eps
        g[i] = (f(hi).sum() - f(lo).sum()) / (2 * eps)
    return g


def sigmoid64(x):
    return 1 / (1 + np.exp(-x))


MATH = [
    (mirel.exp, np.exp, lambda x: x),
    (mirel.log, np.log, lambda x: np.abs(x) + 0.5),
    (mirel.tanh, np.tanh, lambda x: x),
    (mirel.sigmoid, sigmoid64, lambda x: x),
    (mirel.sqrt, np.sqrt, lambda x: np.abs(x) + 0.5),
    (mirel.abs, np.abs, lambda x: x + 0.25),
    (mirel.negative, np.negative, lambda x: x),
    (mirel.square, np.square, lambda x: x),
]


@pytest.mark.parametrize("fn,ref,domain", MATH, ids=[m[0].__name__ for m in MATH])
@pytest.mark.parametrize("layout", ["row", "transposed"])
def test_math_values_and_gradients(fn, ref, domain, layout):
    a = domain(rand((3, 4))).astype(np.float32)
    x = as_tensor(a, layout, grad=True)
    y = fn(x)
    np.testing.assert_allclose(y.to_numpy(), ref(a.astype(np.float64)), rtol=2.5e-7, atol=1e-30)
    mirel.sum(y).backward()
    np.testing.assert_allclose(x.grad(), numeric_grad(ref, a), rtol=2e-3, atol=2e-3)


@pytest.mark.parametrize("fn,ref", [(m[0], m[1]) for m in MATH], ids=[m[0].__name__ for m in MATH])
@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_math_on_halves_is_correctly_rounded_for_every_input(fn, ref, dtype):
    bits = np.arange(65536, dtype=np.uint16).view(DTYPES[dtype])
    got = fn(T(bits)).to_numpy()
    with np.errstate(all="ignore"):
        want = ref(bits.astype(np.float64)).astype(DTYPES[dtype])  # double to half: exact enough to round correctly
    both_nan = np.isnan(got.astype(np.float32)) & np.isnan(want.astype(np.float32))
    bad = ~both_nan & (got.view(np.uint16) != want.view(np.uint16))
    assert not bad.any(), (bits[bad][:5], got[bad][:5], want[bad][:5])


# gelu: approximate="none" is one engine kernel (f32 within 1 ulp, halves correctly rounded); "tanh" is composed.
INV_SQRT_2PI = 1 / math.sqrt(2 * math.pi)
QUIET = {"f16": 0x0200, "bf16": 0x0040}


def gelu64(x):
    """x·Φ(x) in double from erfc; below 2**-20 the series x/2 + x²/√(2π), one double above x/2 where that term
    vanishes beside it (the exact value lies just above x/2, so a half's midpoint there is no tie)."""
    x = np.asarray(x, np.float64)
    with np.errstate(all="ignore"):
        far = 0.5 * x * np.vectorize(math.erfc)(-x * math.sqrt(0.5))
        near = 0.5 * x + x * x * INV_SQRT_2PI
        near = np.where((near == 0.5 * x) & (x != 0), np.nextafter(0.5 * x, np.inf), near)
    far = np.where(np.isinf(x), np.where(x > 0, x, -0.0), far)
    return np.where(x == 0, x, np.where(np.abs(x) < 2.0**-20, near, far))


def slope64(x):
    x = np.asarray(x, np.float64)
    with np.errstate(all="ignore"):
        return 0.5 * np.vectorize(math.erfc)(-x * math.sqrt(0.5)) + x * np.exp(-0.5 * x * x) * INV_SQRT_2PI


def to_half(d, dtype):
    """d rounded once to the half type: to f32 by truncation with a sticky last bit (round to odd), then on."""
    with np.errstate(invalid="ignore"):
        f = d.astype(np.float32)
    inexact = (f.astype(np.float64) != d) & np.isfinite(d)
    b = f.view(np.uint32).copy()
    b[inexact & (np.abs(f.astype(np.float64)) > np.abs(d))] -= 1
    b[inexact] |= 1
    with np.errstate(invalid="ignore"):
        return b.view(np.float32).astype(DTYPES[dtype])


def f32_ulps(y, exact):
    ulp = np.ldexp(1.0, np.maximum(np.frexp(exact)[1] - 1, -126) - 23)
    return np.abs(np.asarray(y, np.float64) - exact) / ulp


def same_elementwise(a, b):
    u = {2: np.uint16, 4: np.uint32}[a.dtype.itemsize]
    return a.view(u) == b.view(u)


def gelu_inputs():
    """Random bit patterns (every binade), values where gelu happens, and the edges: zeros, subnormals, ±14.5,
    underflow near -14.36, the zero of the slope near -0.7518, infinities."""
    rng = np.random.default_rng(7)
    bits = rng.integers(0, 2**32, 100_000, dtype=np.uint64).astype(np.uint32).view(np.float32)
    edges = np.array([0, 2**-149, 2**-126, 2**-24, 1, 14.5, 14.36, 0.7518, np.inf], np.float32)
    x = np.concatenate([bits, rng.uniform(-15, 15, 100_000).astype(np.float32), edges, -edges])
    return x[~np.isnan(x)]


def test_gelu_special_values_and_the_slopes_limits():
    # (every f32 input is measured by scripts/check_math_exhaustive.sh, samples by the engine's tests)
    special = np.array([0.0, -0.0, np.inf, -np.inf, -14.4, -1e30, 14.5, 2**-149, -(2**-149)], np.float32)
    want = np.array([0.0, -0.0, np.inf, -0.0, -0.0, -0.0, 14.5, 2**-149, -0.0], np.float32)
    assert same_bits(F.gelu(T(special)).to_numpy(), want)
    nan = np.array([0x7F800001, 0xFFA01234], np.uint32).view(np.float32)
    assert same_bits(F.gelu(T(nan)).to_numpy(), (nan.view(np.uint32) | 0x0040_0000).view(np.float32))
    x = T(np.array([np.inf, -np.inf, 0.0, -0.0, 20.0, -20.0], np.float32), requires_grad=True)
    mirel.sum(F.gelu(x)).backward()  # the slope's limits at ±inf
    assert same_bits(x.grad(), np.array([1.0, -0.0, 0.5, 0.5, 1.0, -0.0], np.float32))


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_gelu_on_halves_is_correctly_rounded_for_every_input(dtype):
    bits = np.arange(65536, dtype=np.uint16).view(DTYPES[dtype])
    got = F.gelu(T(bits)).to_numpy().view(np.uint16)
    nan = np.isnan(bits.astype(np.float32))
    with np.errstate(invalid="ignore"):
        want = to_half(gelu64(bits.astype(np.float64)), dtype).view(np.uint16)
    want[nan] = bits[nan].view(np.uint16) | QUIET[dtype]
    bad = got != want
    assert not bad.any(), (bits[bad][:5], got[bad][:5], want[bad][:5])
    # -0 in the vector lanes of smallest subnormals, which are recomputed in double precision with their lanes.
    mixed = np.tile(np.array([0x8000] * 8 + [0x0001] * 24, np.uint16), 4).view(DTYPES[dtype])
    assert same_bits(F.gelu(T(mixed)).to_numpy(), mixed)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("layout", ["row", "transposed"])
def test_gelu_gradient_is_the_slope_rounded_once(dtype, layout):
    x = gelu_inputs()[:40_000].reshape(200, 200)
    x = np.where(np.abs(x) < 30, x, 1.0).astype(DTYPES[dtype])  # halves: finite
    g = rand((200, 200), "f32", seed=3)
    t = as_tensor(x, layout, grad=True)
    mirel.sum(F.gelu(t) * as_tensor(g.astype(DTYPES[dtype]), layout)).backward()
    got = t.grad()
    if dtype == "f32":
        ones = T(x, requires_grad=True)
        mirel.sum(F.gelu(ones)).backward()
        slope = ones.grad().astype(np.float64)
        exact = slope64(x)
        assert ((f32_ulps(slope, exact) <= 1) | (np.abs(slope - exact) <= 2.0**-40)).all()
        assert same_bits(got, g * ones.grad())
    else:
        wide = T(x.astype(np.float32), requires_grad=True)
        mirel.sum(F.gelu(wide)).backward()
        assert same_bits(got, (g.astype(DTYPES[dtype]).astype(np.float32) * wide.grad()).astype(DTYPES[dtype]))


@pytest.mark.parametrize("dtype", DTYPES)
def test_recorded_gelu_keeps_its_slope_with_the_same_bits(dtype):
    """A recorded gelu computes its result and slope in one pass: the result is the unrecorded one's, and the
    gradient does not depend on the layout it arrives in."""
    x = (np.arange(65536, dtype=np.uint16).view(DTYPES[dtype]) if dtype != "f32" else gelu_inputs()[:65536])
    x = x.reshape(256, 256)
    t = T(x, requires_grad=True)
    assert same_bits(F.gelu(t).to_numpy(), F.gelu(T(x)).to_numpy())
    g = rand((256, 256), "f32", seed=5).astype(DTYPES[dtype])
    grads = []
    for x_layout, g_layout in (("row", "row"), ("transposed", "row"), ("row", "transposed")):
        leaf = as_tensor(x, x_layout, grad=True)
        mirel.sum(F.gelu(leaf) * as_tensor(g, g_layout)).backward()
        grads.append(leaf.grad())
    assert same_bits(grads[0], grads[1]) and same_bits(grads[0], grads[2])


def test_gelu_approximate_forms_and_the_layer():
    a = rand((4, 6), "f32", scale=3)
    x = mirel.Tensor(a)
    exact = F.gelu(x)
    assert type(exact) is mirel.Tensor and type(F.gelu(Tensor(a))) is Tensor
    assert same_bits(exact.numpy(), mirel._native.gelu(x).numpy())
    assert same_bits(F.gelu(x, approximate="none").numpy(), exact.numpy())
    composed = x * (mirel.tanh((x + x * x * x * 0.044715) * 0.7978845608028654) + 1.0) * 0.5
    assert same_bits(F.gelu(x, approximate="tanh").numpy(), composed.numpy())
    assert same_bits(mirel.nn.GELU()(x).numpy(), exact.numpy())
    assert same_bits(mirel.nn.GELU(approximate="tanh")(x).numpy(), composed.numpy())
    assert "approximate='none'" in repr(mirel.nn.GELU())
    for bad in ["exact", "Tanh", None]:
        with pytest.raises(ValueError, match="approximate argument must be either none or tanh"):
            F.gelu(x, approximate=bad)
    with pytest.raises(TypeError, match="gelu"):
        F.gelu(a)


@pytest.mark.parametrize("dtype", DTYPES)
def test_gelu_against_torch(dtype):
    """Values and gradients against PyTorch's exact GELU. Where PyTorch's value is the correctly rounded one, ours
    has its bits (f32: nearly always, ours being within 1 ulp); elsewhere (its f32 form 0.5·x·(1 + erf(x/√2))
    cancels for negative x) ours is the closer. ±inf, where PyTorch gives NaN, is left out. Gradients: within
    PyTorch's own f32 error and a rounding of the half type."""
    torch = pytest.importorskip("torch")
    tdt = {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}[dtype]
    x = gelu_inputs()
    x = x[np.isfinite(x) & (np.abs(x) < 60_000)].astype(DTYPES[dtype])
    tx = torch.tensor(x.astype(np.float32), dtype=tdt, requires_grad=True)
    ty = torch.nn.functional.gelu(tx)
    ty.sum().backward()
    theirs = ty.detach().float().numpy().astype(DTYPES[dtype])
    t = T(x, requires_grad=True)
    ours = F.gelu(t)
    mirel.sum(ours).backward()
    ours = ours.to_numpy()
    exact = gelu64(x.astype(np.float64))
    rounded = exact.astype(np.float32) if dtype == "f32" else to_half(exact, dtype)
    right = same_elementwise(theirs, rounded)
    agree = same_elementwise(ours, theirs)[right]
    assert agree.mean() > 0.999 if dtype == "f32" else agree.all()
    distance = np.abs(ours.astype(np.float64) - exact), np.abs(theirs.astype(np.float64) - exact)
    assert (distance[0] <= distance[1])[~right].all()
    ours_g = t.grad().astype(np.float64)
    theirs_g = tx.grad.float().numpy().astype(np.float64)
    tol = 5e-7 + (0 if dtype == "f32" else np.abs(theirs_g) * (2.0**-10 if dtype == "f16" else 2.0**-7))
    assert (np.abs(ours_g - theirs_g) <= tol).all()


def test_power_maximum_minimum_where():
    a = np.array([[0.5, 2.0, 3.0]], np.float32)
    b = np.array([[1.0], [3.0]], np.float32)
    x, y = Tensor(a, requires_grad=True), Tensor(b, requires_grad=True)
    np.testing.assert_allclose(mirel.power(x, 2.5).to_numpy(), a.astype(np.float64) ** 2.5, rtol=1e-7)
    m = mirel.maximum(x, y)
    np.testing.assert_array_equal(m.to_numpy(), np.maximum(a, b))
    mirel.sum(m + mirel.where(x > 1.0, x, y)).backward()
    # maximum: x wins where larger, half where equal (3 == 3); where: x where x > 1,
    # both at the broadcast shape [2, 3].
    assert x.grad().tolist() == [[0.0, 2.0, 2.0], [0.0, 1.0, 1.5]]
    assert y.grad().tolist() == [[2.0, 0.0, 0.0], [2.0, 1.0, 0.5]]
    Tensor.clear_graph()
    # minimum with 2, broadcast by the addition: its rule reads the gradient at
    # its result's shape [1, 3], summed over the rows first; x where smaller, half at 2.
    x = Tensor(a, requires_grad=True)
    mirel.sum(mirel.minimum(x, 2.0) + Tensor(np.zeros((2, 3), np.float32))).backward()
    assert x.grad().tolist() == [[2.0, 1.0, 0.0]]


@pytest.mark.parametrize("dtype", DTYPES)
def test_softmax_and_log_softmax_are_stable(dtype):
    a = (rand((5, 7), "f32") * 1e4).astype(DTYPES[dtype])
    wide = a.astype(np.float64)
    shifted = wide - wide.max(axis=1, keepdims=True)
    log_soft = shifted - np.log(np.exp(shifted).sum(axis=1, keepdims=True))
    tol = 1e-5 if dtype == "f32" else 1e-2
    got = F.log_softmax(T(a)).to_numpy().astype(np.float64)
    assert np.isfinite(got).all()
    np.testing.assert_allclose(got, log_soft, rtol=tol, atol=tol * np.abs(log_soft).max())
    np.testing.assert_allclose(F.softmax(T(a), axis=1).to_numpy().astype(np.float64), np.exp(log_soft), atol=tol)


@pytest.mark.parametrize("reduction", ["mean", "sum", "none"])
def test_cross_entropy_values_and_gradient(reduction):
    logits = rand((6, 4), scale=3.0)
    labels = np.array([0, 3, 1, 1, 2, 0])
    x = Tensor(logits, requires_grad=True)
    loss = F.cross_entropy(x, labels, reduction=reduction)
    wide = logits.astype(np.float64)
    lse = np.log(np.exp(wide - wide.max(1, keepdims=True)).sum(1)) + wide.max(1)
    per_row = lse - wide[np.arange(6), labels]
    want = {"mean": per_row.mean(), "sum": per_row.sum(), "none": per_row}[reduction]
    np.testing.assert_allclose(loss.to_numpy(), want, rtol=1e-6)
    mirel.sum(loss).backward()
    grad = np.exp(wide - lse[:, None])
    grad[np.arange(6), labels] -= 1
    np.testing.assert_allclose(x.grad(), grad / (6 if reduction == "mean" else 1), rtol=1e-5, atol=1e-7)


def test_cross_entropy_of_huge_logits_is_finite():
    x = Tensor(np.array([[1e4, -1e4, 0.0], [-1e4, 1e4, 1e4]], np.float32), requires_grad=True)
    loss = F.cross_entropy(x, np.array([0, 2]))
    # the loss is taken against the row's maximum, so huge logits lose nothing
    assert np.isclose(loss.to_numpy(), np.log(2) / 2, rtol=1e-6)
    loss.backward()
    np.testing.assert_allclose(x.grad(), [[0, 0, 0], [0, 0.25, -0.25]], atol=1e-7)


def test_mse_loss_and_linear():
    xa, wa, ba = rand((2, 5, 3)), rand((4, 3), seed=1), rand((4,), seed=2)
    x, w, b = Tensor(xa, requires_grad=True), Tensor(wa, requires_grad=True), Tensor(ba, requires_grad=True)
    y = F.linear(x, w, b)
    np.testing.assert_allclose(y.to_numpy(), xa @ wa.T + ba, rtol=1e-5, atol=1e-6)
    target = Tensor(np.zeros((2, 5, 4), np.float32))
    loss = F.mse_loss(y, target)
    np.testing.assert_allclose(loss.to_numpy(), ((xa @ wa.T + ba) ** 2).mean(), rtol=1e-5)
    loss.backward()
    g = 2 * (xa @ wa.T + ba) / y.to_numpy().size
    assert w.grad().shape == (4, 3) and b.grad().shape == (4,)
    np.testing.assert_allclose(w.grad(), np.einsum("bno,bni->oi", g, xa), rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(b.grad(), g.sum((0, 1)), rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(x.grad(), g @ wa, rtol=1e-4, atol=1e-6)


def test_shape_functions_and_their_gradients():
    a = rand((2, 3, 4))
    x = Tensor(a, requires_grad=True)
    assert np.array_equal(mirel.reshape(mirel.transpose(x), (-1, 6)).to_numpy(), a.T.reshape(-1, 6))
    assert np.array_equal(mirel.permute(x, (-1, 0, 1)).to_numpy(), a.transpose(2, 0, 1))
    parts = [mirel.concatenate([x, x], axis=-1), mirel.stack([x, x], axis=1), mirel.take(x, np.array([[0, 0], [2, 1]]), axis=1)]
    assert [p.shape for p in parts] == [[2, 3, 8], [2, 2, 3, 4], [2, 2, 2, 4]]
    assert np.array_equal(parts[2].to_numpy(), np.take(a, [[0, 0], [2, 1]], axis=1))
    mirel.sum(mirel.concatenate([mirel.reshape(p, (-1,)) for p in parts])).backward()
    assert x.grad()[0].tolist() == [[6.0] * 4, [5.0] * 4, [5.0] * 4]  # 2 + 2 from the joins, + take's counts


def test_sum_to_and_broadcast_to_bring_gradients_home():
    b = Tensor(np.ones((3, 1), np.float32), requires_grad=True)
    big = mirel.broadcast_to(b, (2, 3, 4))
    assert big.shape == [2, 3, 4]
    mirel.sum(big * 2.0).backward()
    assert b.grad().tolist() == [[16.0]] * 3
    assert mirel.sum_to(Tensor(np.ones((2, 3, 4), np.float32)), (3, 1)).to_numpy().tolist() == [[8.0]] * 3
    with pytest.raises(ValueError, match="cannot sum"):
        mirel.sum_to(Tensor(np.ones((2, 3))), (4,))


@pytest.mark.parametrize("fn", [mirel.max, mirel.min])
def test_extremum_gradient_is_shared_among_ties(fn):
    x = Tensor(np.array([[2.0, 5.0, 5.0], [1.0, 1.0, 0.0]], np.float32), requires_grad=True)
    fn(x, axis=1).backward()
    want = [[0, 0.5, 0.5], [0.5, 0.5, 0]] if fn is mirel.max else [[1, 0, 0], [0, 0, 1]]
    assert x.grad().tolist() == want


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_halves_round_once_in_gradients(dtype):
    a = np.array([0.3, 1.7, -2.2], DTYPES[dtype])
    x = T(a, requires_grad=True)
    mirel.sum(mirel.tanh(x)).backward()
    y = mirel.tanh(T(a)).to_numpy().astype(np.float32)
    want = (np.float32(1) * (np.float32(1) - y * y)).astype(DTYPES[dtype])  # f32 rule over the kept result, one rounding
    assert same_bits(x.grad(), want)
