"""mirel.random: Philox4x32-10 against its known answers and an independent Python implementation of every
distribution, bit for bit; draws in pieces; the generator's state, pickling and errors."""
import copy
import math
import pickle

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import mirel

DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}
M32 = 0xFFFFFFFF


# -- an independent implementation, from the published algorithm ------------------------------------------
def philox(counter, key):
    c0, c1, c2, c3 = counter
    k0, k1 = key
    for rnd in range(10):
        if rnd:
            k0, k1 = (k0 + 0x9E3779B9) & M32, (k1 + 0xBB67AE85) & M32
        p0, p1 = 0xD2511F53 * c0, 0xCD9E8D57 * c2
        c0, c1, c2, c3 = (p1 >> 32) ^ c1 ^ k0, p1 & M32, (p0 >> 32) ^ c3 ^ k1, p0 & M32
    return c0, c1, c2, c3


def words(seed, offset, blocks):
    out = []
    for b in range(offset, offset + blocks):
        out += philox((b & M32, b >> 32, 0, 0), (seed & M32, seed >> 32))
    return out


def log_positive(x):
    m, e = math.frexp(x)  # x = m 2^e, m in [1/2, 1)
    m, e = 2.0 * m, e - 1
    if m > 1.4142135623730951:
        m, e = m * 0.5, e + 1
    s = (m - 1.0) / (m + 1.0)
    s2 = s * s
    p = 1.0 / 23.0
    for k in range(21, 0, -2):
        p = 1.0 / k + s2 * p
    return e * 0.6931471805599453 + 2.0 * s * p


def sincos_turn(u):
    t4 = 4.0 * u
    quarter = int(t4)
    t = t4 - quarter
    upper = t > 0.5
    a = 1.5707963267948966 * (1.0 - t if upper else t)
    a2 = a * a
    sign = lambda k: 1.0 if k % 4 in (0, 1) else -1.0  # noqa: E731
    s = 1.0 / math.factorial(17)
    for k in range(15, 0, -2):
        s = sign(k) / math.factorial(k) + a2 * s
    s *= a
    c = -1.0 / math.factorial(18)
    for k in range(16, -1, -2):
        c = sign(k) / math.factorial(k) + a2 * c
    if upper:
        s, c = c, s
    return [(s, c), (c, -s), (-s, -c), (-c, s)][quarter % 4]


def f32(x):
    return np.float32(x)


def ref_uniform(seed, offset, n, low, high, dtype):
    w = words(seed, offset, -(-n // 4))[:n]
    low, width = f32(low), f32(f32(high) - f32(low))
    u = np.array([f32(x >> 8) * f32(2.0**-24) for x in w], np.float32)
    return (low + width * u).astype(np.float32).astype(DTYPES[dtype])


def ref_normal(seed, offset, n, mean, std, dtype):
    w = words(seed, offset, -(-n // 4))
    z = []
    for a, b in zip(w[0::2], w[1::2]):
        r = math.sqrt(-2.0 * log_positive((a + 1.0) * 2.0**-32))
        s, c = sincos_turn(b * 2.0**-32)
        z += [r * c, r * s]
    z = np.array(z[:n], np.float64).astype(np.float32)
    return (z * f32(std) + f32(mean)).astype(np.float32).astype(DTYPES[dtype])


def ref_bernoulli(seed, offset, probs):
    w = words(seed, offset, -(-len(probs) // 4))
    return np.array([1.0 if w[i] * 2.0**-32 < float(p) else 0.0 for i, p in enumerate(probs)])


def ref_bits64(seed, offset, n):
    w = words(seed, offset, -(-n // 2))
    return [(w[2 * i + 1] << 32) | w[2 * i] for i in range(n)]


# -- Philox itself ----------------------------------------------------------------------------------------
# The known-answer vectors of the algorithm's authors: counter and key all zeros, all ones, and digits of pi.
KNOWN_ANSWERS = [
    ((0, 0, 0, 0), (0, 0), (0x6627E8D5, 0xE169C58D, 0xBC57AC4C, 0x9B00DBD8)),
    ((M32, M32, M32, M32), (M32, M32), (0x408F276D, 0x41C83B0E, 0xA20BC7C6, 0x6D5451FD)),
    ((0x243F6A88, 0x85A308D3, 0x13198A2E, 0x03707344), (0xA4093822, 0x299F31D0),
     (0xD16CFE09, 0x94FDCCEB, 0x5001E420, 0x24126EA1)),
]


@pytest.mark.parametrize("counter,key,expected", KNOWN_ANSWERS)
def test_reference_philox_gives_the_known_answers(counter, key, expected):
    assert philox(counter, key) == expected


def test_the_stream_is_philox_of_block_and_seed():
    # randint over a span of 2^63 shows 63 of each pair's 64 bits: low + x * 2^63 / 2^64 = low + (x >> 1).
    seed, offset = 0x0123456789ABCDEF, 0xFFFFFFFF  # the block counter carries into its second word
    got = mirel.random.Generator(seed)
    got.set_state((seed, offset))
    bits = got.randint(-2**62, 2**62, (6,))
    assert [int(b) + 2**62 for b in bits] == [x >> 1 for x in ref_bits64(seed, offset, 6)]


# -- every distribution, bit for bit -------------------------------------------------------------------------
seeds = st.integers(0, 2**64 - 1)
offsets = st.integers(0, 2**40)
sizes = st.integers(0, 40)


@pytest.mark.parametrize("dtype", DTYPES)
@settings(max_examples=25, deadline=None)
@given(seed=seeds, offset=offsets, n=sizes, low=st.floats(-10, 10), width=st.floats(0, 100))
def test_uniform_bits(dtype, seed, offset, n, low, width):
    g = mirel.random.Generator(seed)
    g.set_state((seed, offset))
    got = g.uniform((n,), low, low + width, dtype=dtype).numpy()
    assert got.tobytes() == ref_uniform(seed, offset, n, low, low + width, dtype).tobytes()
    assert g.offset == offset + -(-n // 4)


@pytest.mark.parametrize("dtype", DTYPES)
@settings(max_examples=25, deadline=None)
@given(seed=seeds, offset=offsets, n=sizes, mean=st.floats(-5, 5), std=st.floats(0, 5))
def test_normal_bits(dtype, seed, offset, n, mean, std):
    g = mirel.random.Generator(seed)
    g.set_state((seed, offset))
    got = g.normal((n,), mean, std, dtype=dtype).numpy()
    assert got.tobytes() == ref_normal(seed, offset, n, mean, std, dtype).tobytes()
    assert g.offset == offset + -(-n // 4)


@settings(max_examples=25, deadline=None)
@given(seed=seeds, offset=offsets, n=sizes, p=st.floats(0, 1))
def test_bernoulli_bits(seed, offset, n, p):
    g = mirel.random.Generator(seed)
    g.set_state((seed, offset))
    assert np.array_equal(g.bernoulli(p, (n,)).numpy(), ref_bernoulli(seed, offset, [p] * n))
    probs = np.random.default_rng(seed % 1000).random(n).astype(np.float32)
    g.set_state((seed, offset))
    assert np.array_equal(g.bernoulli(mirel.tensor(probs)).numpy(), ref_bernoulli(seed, offset, probs))


@settings(max_examples=25, deadline=None)
@given(seed=seeds, offset=offsets, n=sizes, low=st.integers(-2**62, 2**62), span=st.integers(1, 2**62))
def test_randint_and_permutation_bits(seed, offset, n, low, span):
    g = mirel.random.Generator(seed)
    g.set_state((seed, offset))
    got = g.randint(low, low + span, (n,))
    assert got.dtype == np.int64
    assert got.tolist() == [low + (x * span >> 64) for x in ref_bits64(seed, offset, n)]
    assert g.offset == offset + -(-n // 2)
    g.set_state((seed, offset))
    keys = ref_bits64(seed, offset, n)
    assert g.permutation(n).tolist() == sorted(range(n), key=lambda i: (keys[i], i))


# -- position, not history ------------------------------------------------------------------------------------
@pytest.mark.parametrize("kind", ["uniform", "normal", "bernoulli"])
def test_a_tensor_drawn_in_pieces_equals_the_tensor_drawn_whole(kind):
    draw = {"uniform": lambda g, n: g.uniform((n,)), "normal": lambda g, n: g.normal((n,)),
            "bernoulli": lambda g, n: g.bernoulli(0.3, (n,))}[kind]
    whole = draw(mirel.random.Generator(7), 1000).numpy()
    g = mirel.random.Generator(7)
    pieces = [draw(g, n).numpy() for n in (4, 96, 400, 500)]  # whole blocks: the next piece reads on
    assert np.concatenate(pieces).tobytes() == whole.tobytes()
    g.set_state((7, 100))  # element 400 lives in block 100
    assert draw(g, 600).numpy().tobytes() == whole[400:].tobytes()


def test_shapes_fill_in_row_major_order():
    flat = mirel.random.Generator(3).normal((24,), dtype="bf16").numpy()
    assert mirel.random.Generator(3).normal((2, 3, 4), dtype="bf16").numpy().ravel().tobytes() == flat.tobytes()


# -- the generator ------------------------------------------------------------------------------------------
def test_state_pickles_copies_and_resumes():
    g = mirel.random.Generator(11)
    g.normal((10,))
    for clone in (pickle.loads(pickle.dumps(g)), copy.deepcopy(g), copy.copy(g)):
        assert clone.get_state() == g.get_state() == (11, 3)
        assert clone.uniform((5,)).numpy().tobytes() == copy.deepcopy(g).uniform((5,)).numpy().tobytes()
    assert g.manual_seed(11) is g and g.offset == 0


def test_default_generator_and_manual_seed():
    mirel.manual_seed(5)
    a = mirel.random.normal((8,)).numpy()
    assert mirel.random.default_generator().get_state() == (5, 2)
    mirel.manual_seed(5)
    assert mirel.random.normal((8,)).numpy().tobytes() == a.tobytes()
    assert mirel.random.normal((8,), generator=mirel.random.Generator(5)).numpy().tobytes() == a.tobytes()


def test_draws_are_package_tensors_and_can_be_leaves():
    g = mirel.random.Generator(1)
    t = g.normal((3,), requires_grad=True)
    assert type(t) is mirel.Tensor and t.requires_grad
    (t * 2.0).sum().backward()
    assert np.array_equal(t.grad.numpy(), np.full(3, 2.0, np.float32))
    mirel.Tensor.clear_graph()


def test_distributions_have_their_moments():
    g = mirel.random.Generator(2024)
    n = 200_000
    u = g.uniform((n,), -1.0, 3.0).numpy().astype(np.float64)
    z = g.normal((n,), 1.0, 2.0).numpy().astype(np.float64)
    b = g.bernoulli(0.25, (n,)).numpy()
    k = g.randint(0, 10, (n,))
    assert u.min() >= -1.0 and u.max() < 3.0 and abs(u.mean() - 1.0) < 0.02 and abs(u.var() - 16 / 12) < 0.02
    assert abs(z.mean() - 1.0) < 0.02 and abs(z.std() - 2.0) < 0.02 and abs(((z - 1) / 2) ** 4).mean() - 3 < 0.1
    assert abs(b.mean() - 0.25) < 0.005
    assert k.min() == 0 and k.max() == 9 and np.all(np.abs(np.bincount(k) / n - 0.1) < 0.005)
    assert sorted(g.permutation(1000).tolist()) == list(range(1000))


@pytest.mark.parametrize("call,error", [
    (lambda: mirel.random.Generator(-1), ValueError),
    (lambda: mirel.random.Generator(2**64), ValueError),
    (lambda: mirel.random.Generator(1.5), TypeError),
    (lambda: mirel.random.Generator(True), TypeError),
    (lambda: mirel.random.Generator(0).randint(5, 5, (2,)), ValueError),
    (lambda: mirel.random.Generator(0).randint(0.5, 5), TypeError),
    (lambda: mirel.random.Generator(0).bernoulli(1.5, (2,)), ValueError),
    (lambda: mirel.random.Generator(0).bernoulli(0.5), ValueError),
    (lambda: mirel.random.Generator(0).uniform((2, -1)), ValueError),
    (lambda: mirel.random.Generator(0).normal((2,), dtype="bool"), TypeError),
    (lambda: mirel.random.Generator(0).normal((2,), dtype="f64"), ValueError),
])
def test_bad_arguments_raise(call, error):
    with pytest.raises(error):
        call()
