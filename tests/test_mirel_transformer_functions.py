"""layer_norm, rms_norm, dropout, scaled_dot_product_attention, tril/triu and embedding: values and gradients
against float64 NumPy references, the fused attention against the unfused composition within the stated bound,
and against PyTorch where it is importable; dropout's mask from the generator's stream."""
import ml_dtypes
import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import mirel
from mirel_core import Tensor

F = mirel.nn.functional
DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}
EPS = {"f32": 2.0**-24, "f16": 2.0**-11, "bf16": 2.0**-8}  # half an ulp of 1
TINY = {"f32": 2.0**-149, "f16": 2.0**-24, "bf16": 2.0**-133}  # the spacing of subnormals


@pytest.fixture(autouse=True)
def clean_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def rand(shape, dtype="f32", seed=0):
    return np.random.default_rng(seed).standard_normal(shape).astype(DTYPES[dtype])


def leaf(a, dtype):
    return mirel.Tensor(np.asarray(a, np.float32), dtype=dtype, requires_grad=True)


def f64(t):
    return np.asarray(t.numpy() if hasattr(t, "numpy") else t).astype(np.float64)


def close(got, ref, scale, units):
    """|got - ref| <= units * 2^-24-style eps * scale, elementwise (scale: the magnitude the value sums)."""
    err = np.abs(f64(got) - ref)
    bound = units * scale + 1e-30
    assert np.all(err <= bound), f"max error {np.max(err / bound) * units:.2f} units of {units}"


# -- layer_norm and rms_norm ---------------------------------------------------------------------------------
def norm_ref(x, k, w, b, eps, rms, g):
    axes = tuple(range(x.ndim - k, x.ndim))
    n = int(np.prod(x.shape[x.ndim - k:]))
    mean = 0.0 if rms else x.mean(axes, keepdims=True)
    var = (x * x).mean(axes, keepdims=True) if rms else ((x - mean) ** 2).mean(axes, keepdims=True)
    rstd = 1.0 / np.sqrt(var + eps)
    xhat = (x - mean) * rstd
    y = xhat * (1.0 if w is None else w) + (0.0 if b is None else b)
    gy = g * (1.0 if w is None else w)
    dot = (gy * xhat).sum(axes, keepdims=True) / n
    shift = 0.0 if rms else gy.sum(axes, keepdims=True) / n
    dx = rstd * (gy - shift - xhat * dot)
    lead = tuple(range(x.ndim - k))
    # x - mean is rounded at the magnitude of x, then scaled by rstd
    xmag = (np.abs(x) + np.abs(mean)) * rstd
    magnitude = xmag * np.abs(1.0 if w is None else w) + (0.0 if b is None else np.abs(b))
    agy = np.abs(gy)
    dx_magnitude = rstd * (agy + agy.sum(axes, keepdims=True) / n + xmag * (agy * xmag).sum(axes, keepdims=True) / n)
    dw_magnitude = (np.abs(g) * xmag).sum(lead)
    return y, dx, (g * xhat).sum(lead), g.sum(lead), magnitude, dx_magnitude, dw_magnitude


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("rms", [False, True])
@settings(max_examples=15, deadline=None)
@given(lead=st.lists(st.integers(1, 5), max_size=2), tail=st.lists(st.integers(1, 40), min_size=1, max_size=2),
       affine=st.sampled_from(["none", "weight", "both"]), transposed=st.booleans(), seed=st.integers(0, 99))
def test_norms_against_float64(dtype, rms, lead, tail, affine, transposed, seed):
    shape = tuple(lead + tail)
    x, g = rand(shape, dtype, seed) * np.float32(3) + np.float32(1), rand(shape, dtype, seed + 1)
    x = x.astype(DTYPES[dtype])
    w = rand(tail, dtype, seed + 2) if affine != "none" else None
    b = rand(tail, dtype, seed + 3) if affine == "both" and not rms else None
    tx = leaf(x, dtype)
    if transposed and len(shape) >= 2:  # the same values read through a column-major layout
        tx = leaf(np.ascontiguousarray(np.swapaxes(x, 0, -1)), dtype)
        x_in = mirel.transpose(tx, tuple([len(shape) - 1] + list(range(1, len(shape) - 1)) + [0]))
    else:
        x_in = tx
    tw, tb = (leaf(a, dtype) if a is not None else None for a in (w, b))
    eps = 1e-5
    y = F.rms_norm(x_in, tail, tw, eps) if rms else F.layer_norm(x_in, tail, tw, tb, eps)
    (y * mirel.Tensor(g.astype(np.float32), dtype=dtype)).sum().backward()
    ry, rdx, rdw, rdb, mag, dx_mag, dw_mag = norm_ref(*(a.astype(np.float64) if a is not None else None for a in (x,)), len(tail),
                                 None if w is None else w.astype(np.float64), None if b is None else b.astype(np.float64),
                                 eps, rms, g.astype(np.float64))
    e = EPS[dtype]
    n = int(np.prod(tail))
    close(y, ry, e * (mag + 1.0), 4 if dtype == "f32" else 2)
    dx = f64(tx.grad)
    if transposed and len(shape) >= 2:
        dx = np.swapaxes(dx, 0, -1)
    close(dx, rdx, e * dx_mag, 8 * np.sqrt(n))
    if w is not None:
        close(tw.grad, rdw, e * (dw_mag + np.abs(rdw)), 8)
    if b is not None:
        close(tb.grad, rdb, e * (np.abs(g).sum(tuple(range(len(lead)))) + 1e-3), 4)


def test_rms_norm_eps_defaults_to_float32_epsilon():
    x = mirel.tensor(np.array([[1e-4, -2e-4, 3e-4]], np.float32))
    ref = x.numpy().astype(np.float64)
    ref = ref / np.sqrt((ref**2).mean() + 2.0**-23)
    close(F.rms_norm(x, (3,)), ref, 2.0**-24 * np.abs(ref), 4)


# -- dropout --------------------------------------------------------------------------------------------------
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("p", [0.1, 0.5, 0.9])
def test_dropout_uses_the_generators_words_and_draws_them_again_for_the_gradient(dtype, p):
    x = rand((6, 7), dtype, 3)
    t = leaf(x, dtype)
    g = mirel.random.Generator(123)
    y = F.dropout(t, p, generator=g)
    assert g.offset == -(-42 // 4)
    dropped = mirel.random.Generator(123).bernoulli(p, (6, 7)).numpy() == 1.0
    scale = np.float32(1.0) / np.float32(1.0 - p)
    factor = np.where(dropped, np.float32(0), scale).astype(np.float32)
    assert y.numpy().tobytes() == (x.astype(np.float32) * factor).astype(DTYPES[dtype]).tobytes()
    gy = rand((6, 7), dtype, 4)
    (y * mirel.Tensor(gy.astype(np.float32), dtype=dtype)).sum().backward()
    assert t.grad.numpy().tobytes() == (gy.astype(np.float32) * factor).astype(DTYPES[dtype]).tobytes()


def test_dropout_mask_follows_logical_positions_not_memory():
    x = rand((5, 9), "f32", 1)
    a = F.dropout(mirel.tensor(x), 0.5, generator=mirel.random.Generator(8)).numpy()
    b = F.dropout(mirel.tensor(np.asfortranarray(x)), 0.5, generator=mirel.random.Generator(8)).numpy()
    assert a.tobytes() == np.ascontiguousarray(b).tobytes()


def test_dropout_identity_and_extremes():
    t = mirel.tensor(np.array([1.0, np.nan, -2.0], np.float32))
    assert F.dropout(t, 0.5, training=False) is t and F.dropout(t, 0.0) is t
    out = F.dropout(t, 1.0).numpy()
    assert out[0] == 0 and np.isnan(out[1]) and out[2] == 0 and np.signbit(out[2])  # x * 0, as PyTorch


# -- attention ------------------------------------------------------------------------------------------------
def attention_ref(q, k, v, g, mask=None, causal=False, scale=None, drop=None):
    """float64 attention and its gradients; drop: the dropout factor of each pair. Rows with nothing visible
    give 0."""
    q, k, v, g = (a.astype(np.float64) for a in (q, k, v, g))
    sc = 1 / np.sqrt(q.shape[-1]) if scale is None else scale
    s = q @ np.swapaxes(k, -1, -2) * sc
    L, S = s.shape[-2:]
    visible = np.ones(s.shape, bool)
    if causal:
        visible &= np.tri(L, S, dtype=bool)
    if mask is not None and mask.dtype == bool:
        visible &= mask
    elif mask is not None:
        s = s + mask.astype(np.float64)
    s = np.where(visible, s, -np.inf)
    m = s.max(-1, keepdims=True)
    e = np.exp(s - np.where(np.isfinite(m), m, 0))
    total = e.sum(-1, keepdims=True)
    p = np.where(total > 0, e / np.where(total > 0, total, 1), 0)
    dm = 1.0 if drop is None else drop
    o = (p * dm) @ v
    dv = np.swapaxes(p * dm, -1, -2) @ g
    dp = (g @ np.swapaxes(v, -1, -2)) * dm
    ds = p * (dp - (dp * p).sum(-1, keepdims=True)) * sc
    # magnitudes each result sums, for the error bound
    av, ag = np.abs(v), np.abs(g)
    adp = (ag @ np.swapaxes(av, -1, -2)) * np.abs(dm)
    ads = p * (adp + (adp * p).sum(-1, keepdims=True)) * sc
    mags = (np.abs(p * dm) @ av, ads @ np.abs(k), np.swapaxes(ads, -1, -2) @ np.abs(q),
            np.swapaxes(np.abs(p * dm), -1, -2) @ ag)
    return (o, ds @ k, np.swapaxes(ds, -1, -2) @ q, dv), mags


def unfused(q, k, v, mask, causal, scale):
    s = (q @ mirel.transpose(k, tuple(range(q.ndim - 2)) + (q.ndim - 1, q.ndim - 2))) * scale
    L, S = s.shape[-2:]
    hidden = np.zeros((L, S), bool)
    if causal:
        hidden |= ~np.tri(L, S, dtype=bool)
    if mask is not None and mask.dtype == "bool":
        s = mirel.where(mask, s, float("-inf"))
    elif mask is not None:
        s = s + mask
    if hidden.any():
        s = mirel.where(mirel.tensor(~hidden), s, float("-inf"))
    return F.softmax(s, -1) @ v


def make_mask(kind, lead, L, S, dtype, rng):
    """A mask that leaves key 0 visible to every query (so no row is all hidden)."""
    if kind == "none":
        return None
    shape = {"full": lead + (L, S), "broadcast": (1,) * len(lead) + (L, S), "rows": (L, 1)}[kind[1]]
    if kind[0] == "bool":
        m = rng.random(shape) < 0.7
        m[..., 0] = True
        return m
    m = rng.standard_normal(shape).astype(np.float32)
    m[rng.random(shape) < 0.2] = -np.inf
    m[..., 0] = 0.0
    return m.astype(DTYPES[dtype])


MASKS = ["none", ("bool", "full"), ("bool", "broadcast"), ("float", "full"), ("float", "rows")]


def operands(lead, L, S, E, Ev, dtype, seed, strided):
    """q, k, v and the output gradient; strided: read through a permuted layout (heads outermost in memory)."""
    q, k, v, g = (rand(lead + (n, d), dtype, seed + i) for i, (n, d) in enumerate([(L, E), (S, E), (S, Ev), (L, Ev)]))
    leaves, inputs = [], []
    for a in (q, k, v):
        if strided and len(lead) == 2:
            t = leaf(np.ascontiguousarray(np.transpose(a, (0, 2, 1, 3))), dtype)  # [B, L, H, E] in memory
            leaves.append(t)
            inputs.append(mirel.permute(t, (0, 2, 1, 3)))
        else:
            t = leaf(a, dtype)
            leaves.append(t)
            inputs.append(t)
    return (q, k, v, g), leaves, inputs


def leaf_grads(leaves, strided, lead):
    out = []
    for t in leaves:
        gr = f64(t.grad)
        out.append(np.transpose(gr, (0, 2, 1, 3)) if strided and len(lead) == 2 else gr)
    return out


# Query rows go in blocks of 64 and keys in blocks of 256: lengths on both sides of those, and several blocks.
lengths = st.one_of(st.integers(1, 140), st.sampled_from([255, 256, 257, 300, 513]))
shapes = st.tuples(st.sampled_from([(), (2,), (2, 3)]), lengths, lengths, st.integers(1, 24), st.integers(1, 24))


# Note: the bound of docs/mirel.md, "Attention": fused and unfused agree within 32 units of 2^-24 times the
# magnitude each result sums (sum_j p_ij |v_j| for y, and the like for the gradients).
@settings(max_examples=30, deadline=None)
@given(shape=shapes, mask=st.sampled_from(MASKS), causal=st.booleans(), strided=st.booleans(),
       scale=st.sampled_from([None, 0.3]), seed=st.integers(0, 999))
def test_attention_matches_the_unfused_composition(shape, mask, causal, strided, scale, seed):
    lead, L, S, E, Ev = shape
    rng = np.random.default_rng(seed)
    (q, k, v, g), leaves, inputs = operands(lead, L, S, E, Ev, "f32", seed, strided)
    m = make_mask(mask, lead, L, S, "f32", rng)
    tm = None if m is None else mirel.Tensor(m, dtype="bool" if m.dtype == bool else "f32")
    y = F.scaled_dot_product_attention(*inputs, attn_mask=tm, is_causal=causal, scale=scale)
    (y * mirel.tensor(g)).sum().backward()
    fused = [f64(y)] + leaf_grads(leaves, strided, lead)
    mirel.Tensor.clear_graph()
    (q2, k2, v2) = (leaf(a, "f32") for a in (q, k, v))
    sc = np.float32(1 / np.sqrt(E)) if scale is None else np.float32(scale)
    u = unfused(q2, k2, v2, tm, causal, float(sc))
    (u * mirel.tensor(g)).sum().backward()
    composed = [f64(u), f64(q2.grad), f64(k2.grad), f64(v2.grad)]
    _, mags = attention_ref(q, k, v, g, m, causal, float(sc))
    for a, b, mag in zip(fused, composed, mags):
        close(a, b, 2.0**-24 * mag, 32)


@pytest.mark.parametrize("dtype", DTYPES)
@settings(max_examples=10, deadline=None)
@given(shape=shapes, mask=st.sampled_from(MASKS), causal=st.booleans(), seed=st.integers(0, 999))
def test_attention_against_float64(dtype, shape, mask, causal, seed):
    lead, L, S, E, Ev = shape
    rng = np.random.default_rng(seed)
    (q, k, v, g), leaves, inputs = operands(lead, L, S, E, Ev, dtype, seed, False)
    m = make_mask(mask, lead, L, S, dtype, rng)
    tm = None if m is None else mirel.Tensor(m.astype(np.float32) if m.dtype != bool else m,
                                               dtype="bool" if m.dtype == bool else dtype)
    y = F.scaled_dot_product_attention(*inputs, attn_mask=tm, is_causal=causal)
    (y * mirel.Tensor(g.astype(np.float32), dtype=dtype)).sum().backward()
    refs, mags = attention_ref(q, k, v, g, m, causal)
    units = 32 if dtype == "f32" else 4  # halves: the rounding of y (which the gradient reads) dominates
    for got, ref, mag in zip([y] + [t.grad for t in leaves], refs, mags):
        close(got, ref, EPS[dtype] * (mag + np.abs(ref)) + TINY[dtype], units)


@pytest.mark.parametrize("causal", [False, True])
def test_attention_with_dropout_uses_the_default_stream(causal):
    lead, L, S, E = (2, 2), 70, 301, 8
    (q, k, v, g), leaves, inputs = operands(lead, L, S, E, E, "f32", 5, False)
    mirel.manual_seed(77)
    y = F.scaled_dot_product_attention(*inputs, dropout_p=0.25, is_causal=causal)
    assert mirel.random.default_generator().offset == -(-4 * L * S // 4)
    (y * mirel.tensor(g)).sum().backward()
    dropped = mirel.random.Generator(77).bernoulli(0.25, lead + (L, S)).numpy() == 1
    drop = np.where(dropped, 0.0, float(np.float32(1) / np.float32(0.75)))
    refs, mags = attention_ref(q, k, v, g, None, causal, drop=drop)
    for got, ref, mag in zip([y] + [t.grad for t in leaves], refs, mags):
        close(got, ref, 2.0**-24 * (mag + np.abs(ref)), 32)


def test_attention_rows_with_nothing_visible_give_zero():
    q, k, v = (leaf(rand((3, 4), "f32", i), "f32") for i in range(3))
    mask = np.ones((3, 3), bool)
    mask[1] = False
    y = F.scaled_dot_product_attention(q, k, v, attn_mask=mirel.Tensor(mask, dtype="bool"))
    y.sum().backward()
    assert np.all(y.numpy()[1] == 0) and np.all(q.grad.numpy()[1] == 0)
    assert all(np.all(np.isfinite(t.grad.numpy())) for t in (q, k, v))


def test_attention_results_keep_the_face_of_their_operands():
    q = Tensor(rand((2, 3, 4)))
    assert type(F.scaled_dot_product_attention(q, q, q)) is Tensor
    assert type(F.scaled_dot_product_attention(q, q, q, attn_mask=mirel.tensor(np.ones((3, 3), bool)))) is mirel.Tensor


# -- tril, triu, embedding ----------------------------------------------------------------------------------
@pytest.mark.parametrize("diagonal", [-2, 0, 1, 5])
@pytest.mark.parametrize("shape", [(3, 3), (2, 4, 6), (5, 2)])
def test_tril_triu_match_numpy_with_gradients(diagonal, shape):
    x = rand(shape, "f32", 9)
    for fn, ref in [(mirel.tril, np.tril), (mirel.triu, np.triu)]:
        t = leaf(x, "f32")
        y = fn(t, diagonal)
        assert y.numpy().tobytes() == ref(x, diagonal).tobytes()
        y.sum().backward()
        assert np.array_equal(t.grad.numpy(), ref(np.ones(shape, np.float32), diagonal))
    assert np.array_equal(mirel.tril(mirel.tensor(np.ones((3, 4), bool))).numpy(), np.tri(3, 4, dtype=bool))


def test_embedding_takes_rows_and_adds_gradients_of_repeats():
    w = leaf(rand((5, 3), "bf16", 2), "bf16")
    idx = np.array([[0, 4], [4, 2]])
    y = F.embedding(idx, w)
    assert y.shape == (2, 2, 3) and y.numpy().tobytes() == w.numpy()[idx].tobytes()
    y.sum().backward()
    assert np.array_equal(w.grad.numpy().astype(np.float32)[:, 0], np.array([1, 0, 1, 0, 2], np.float32))


# -- bad arguments --------------------------------------------------------------------------------------------
X = mirel.tensor(np.ones((2, 3, 4), np.float32))


@pytest.mark.parametrize("call,error,words", [
    (lambda: F.layer_norm(X, (3,)), ValueError, "normalized_shape"),
    (lambda: F.layer_norm(X, (4,), mirel.tensor(np.ones(3))), ValueError, "weight"),
    (lambda: F.layer_norm(X, (4,), None, mirel.tensor(np.ones(4), dtype="bf16")), ValueError, "mismatch"),
    (lambda: F.layer_norm(np.ones(4), (4,)), TypeError, "input"),
    (lambda: F.rms_norm(X, (4,), eps="a"), TypeError, "eps"),
    (lambda: F.layer_norm(mirel.tensor(np.ones((2, 4), bool)), (4,)), TypeError, "layer_norm"),
    (lambda: F.dropout(X, 1.5), ValueError, "p"),
    (lambda: F.dropout(X, 0.5, training=1), TypeError, "training"),
    (lambda: F.scaled_dot_product_attention(X, X, mirel.tensor(np.ones((2, 5, 4)))), ValueError, "value"),
    (lambda: F.scaled_dot_product_attention(X, X[:, :, :3], X), ValueError, "key"),
    (lambda: F.scaled_dot_product_attention(X, X, X, attn_mask=mirel.tensor(np.ones((2, 2)))), ValueError,
     "attn_mask"),
    (lambda: F.scaled_dot_product_attention(X, X, X, attn_mask=mirel.tensor(np.ones((3, 3)), dtype="f16")),
     TypeError, "attn_mask"),
    (lambda: F.scaled_dot_product_attention(X, X, X, dropout_p=2.0), ValueError, "dropout_p"),
    (lambda: F.scaled_dot_product_attention(X, X, X.astype("f16")), ValueError, "element type"),
    (lambda: F.scaled_dot_product_attention(X[0, 0], X[0, 0], X[0, 0]), ValueError, "query"),
    (lambda: mirel._native._attention_packed(0, 0, X, 5, None, 0.0, False, None), ValueError, "heads"),
    (lambda: mirel._native._attention_packed(0, 0, X, 2.0, None, 0.0, False, None), TypeError, "heads"),
    (lambda: mirel.tril(mirel.tensor(np.ones(3))), ValueError, "tril"),
    (lambda: F.embedding(np.array([0, 5]), mirel.tensor(np.ones((5, 2)))), IndexError, "embedding"),
    (lambda: F.embedding(np.array([0.5]), mirel.tensor(np.ones((5, 2)))), TypeError, "embedding"),
])
def test_bad_arguments_raise_naming_the_function(call, error, words):
    with pytest.raises(error, match=words):
        call()


# -- against PyTorch ------------------------------------------------------------------------------------------
def torch_leaf(torch, a, dtype):
    kind = {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}[dtype]
    return torch.tensor(np.asarray(a, np.float32)).to(kind).requires_grad_()


def t64(x):
    return x.detach().float().numpy().astype(np.float64)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("rms", [False, True])
@pytest.mark.parametrize("normalized,affine", [((24,), False), ((24,), True), ((5, 24), True)])
def test_norms_against_torch(dtype, rms, normalized, affine):
    torch = pytest.importorskip("torch")
    x, g = rand((4, 5, 24), dtype, 1) * np.float32(2), rand((4, 5, 24), dtype, 2)
    w, b = rand(normalized, dtype, 3), rand(normalized, dtype, 4)
    ours = [leaf(a, dtype) for a in (x, w, b)]
    theirs = [torch_leaf(torch, a, dtype) for a in (x, w, b)]
    if rms:
        y = F.rms_norm(ours[0], normalized, ours[1] if affine else None)
        ty = torch.nn.functional.rms_norm(theirs[0], normalized, theirs[1] if affine else None)
    else:
        y = F.layer_norm(ours[0], normalized, *(ours[1:] if affine else (None, None)))
        ty = torch.nn.functional.layer_norm(theirs[0], normalized, *(theirs[1:] if affine else (None, None)))
    (y * mirel.Tensor(g.astype(np.float32), dtype=dtype)).sum().backward()
    ty.backward(torch_leaf(torch, g, dtype).detach())
    tol = {"f32": 1e-5, "f16": 4e-3, "bf16": 3e-2}[dtype]
    pairs = [(y, ty)] + [(a.grad, t.grad) for a, t in zip(ours, theirs) if t.grad is not None]
    assert len(pairs) == (1 + 1 + affine * (2 - rms))
    for got, ref in pairs:
        ref = t64(ref)
        np.testing.assert_allclose(f64(got), ref, rtol=tol, atol=tol * np.abs(ref).max())


@pytest.mark.parametrize("dtype", DTYPES)
@settings(max_examples=8, deadline=None)
@given(shape=shapes, mask=st.sampled_from(MASKS), causal=st.booleans(), strided=st.booleans(),
       seed=st.integers(0, 999))
def test_attention_against_torch(dtype, shape, mask, causal, strided, seed):
    torch = pytest.importorskip("torch")
    lead, L, S, E, Ev = shape
    rng = np.random.default_rng(seed)
    (q, k, v, g), leaves, inputs = operands(lead, L, S, E, Ev, dtype, seed, strided)
    m = make_mask(mask, lead, L, S, dtype, rng)
    tm = None if m is None else mirel.Tensor(m if m.dtype == bool else m.astype(np.float32),
                                               dtype="bool" if m.dtype == bool else dtype)
    y = F.scaled_dot_product_attention(*inputs, attn_mask=tm, is_causal=causal)
    (y * mirel.Tensor(g.astype(np.float32), dtype=dtype)).sum().backward()
    tq, tk, tv = (torch_leaf(torch, a, dtype) for a in (q, k, v))
    tmask = None if m is None else (torch.tensor(m) if m.dtype == bool else torch_leaf(torch, m, dtype).detach())
    if causal and m is not None:  # PyTorch's autograd takes one or the other: give it both as one mask
        lower = torch.tensor(np.tri(L, S, dtype=bool))
        tmask = tmask & lower if m.dtype == bool else tmask.masked_fill(~lower, float("-inf"))
    ty = torch.nn.functional.scaled_dot_product_attention(tq, tk, tv, attn_mask=tmask,
                                                          is_causal=causal and m is None)
    ty.backward(torch_leaf(torch, g, dtype).detach())
    _, mags = attention_ref(q, k, v, g, m, causal)
    units = 64 if dtype == "f32" else 8  # both sides' own roundings
    ours = [y] + [np.transpose(f64(t.grad), (0, 2, 1, 3)) if strided and len(lead) == 2 else t.grad for t in leaves]
    for got, ref, mag in zip(ours, [ty, tq.grad, tk.grad, tv.grad], mags):
        ref = t64(ref)
        close(got, ref, EPS[dtype] * (mag + np.abs(ref)) + TINY[dtype], units)


def test_dropout_scales_kept_elements_as_torch_does():
    torch = pytest.importorskip("torch")
    for p in (0.1, 0.3, 0.7):
        kept = torch.nn.functional.dropout(torch.ones(4096), p).numpy()
        ours = F.dropout(mirel.tensor(np.ones(4096, np.float32)), p).numpy()
        assert set(np.unique(kept)) - {0.0} == set(np.unique(ours)) - {0.0}


# -- nn.MultiheadAttention ------------------------------------------------------------------------------------
def mha_run(mha, x0, dtype, mask, causal, packed):
    """The result, its attention weights and the gradients of x and in_proj_weight; packed: self-attention (one
    projection, heads read in place), else key and value as other tensors (three projections, split heads)."""
    mirel.manual_seed(5)  # dropout's words
    x = leaf(x0, dtype)
    kv = x if packed else x * 1.0
    y, w = mha(x, kv, kv, attn_mask=mask, is_causal=causal)
    (y * y).sum().backward()
    out = [y.numpy(), w.numpy(), mha.param("in_proj_weight").grad.numpy(), x.grad.numpy()]
    mha.zero_grad()
    return out


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mask,causal", [(None, True), (None, False), ("bool", False), ("float", True)])
def test_self_attention_reads_the_projection_in_place_with_the_split_heads_numbers(dtype, mask, causal):
    mha = mirel.nn.MultiheadAttention(48, 4, dropout=0.2, rng=1)
    mha.parameters().dtype = dtype
    x0 = rand((3, 37, 48), seed=2)  # 37: rows not a multiple of a block
    m = {None: None, "bool": mirel.Tensor(np.random.default_rng(3).random((37, 37)) > 0.3, dtype="bool"),
         "float": mirel.Tensor(rand((3, 4, 37, 37), seed=4), dtype=dtype)}[mask]
    packed, split = (mha_run(mha, x0, dtype, m, causal, p) for p in (True, False))
    for a, b in zip(packed[:3], split[:3]):  # x's gradient sums its three projections in another order
        assert np.array_equal(f64(a), f64(b), equal_nan=True)
    ref = f64(split[3])
    close(packed[3], ref, EPS[dtype] * np.abs(ref).max(), 64)


def test_multihead_attention_against_torch():
    torch = pytest.importorskip("torch")
    mha = mirel.nn.MultiheadAttention(32, 4, rng=0)
    ref = torch.nn.MultiheadAttention(32, 4, batch_first=True)
    ref.load_state_dict({k: torch.from_numpy(v) for k, v in mha.state_dict().items()})
    x0 = rand((2, 70, 32), seed=1)
    ours = mha_run(mha, x0, "f32", None, True, True)
    tx = torch.tensor(x0, requires_grad=True)
    ty, tw = ref(tx, tx, tx, attn_mask=torch.nn.Transformer.generate_square_subsequent_mask(70), is_causal=True)
    (ty * ty).sum().backward()
    for got, want in zip(ours, [ty, tw, ref.in_proj_weight.grad, tx.grad]):
        want = t64(want)
        np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-5 * np.abs(want).max())
