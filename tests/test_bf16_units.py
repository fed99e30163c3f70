"""bf16 products equal widened binary32 arithmetic up to summation order, on whichever unit
this machine picks (the C++ engine tests run every unit it has against the widened path)."""
import ml_dtypes
import numpy as np
import pytest

from mirel import _native
from mirel_core import Tensor

BF16 = ml_dtypes.bfloat16

# name: (A shape, B shape, A transposed in memory, B transposed in memory)
LAYOUTS = {
    "1x1x1": ((1, 1), (1, 1), False, False),
    "3x5x7": ((3, 5), (5, 7), False, False),
    "8x32x32": ((8, 32), (32, 32), False, False),
    "odd-edges": ((9, 33), (33, 31), False, False),
    "blocks": ((97, 515), (515, 1027), False, False),  # past the row, inner and column blocks
    "mlp": ((256, 784), (784, 256), False, False),
    "a-transposed": ((40, 70), (70, 50), True, False),
    "b-transposed": ((40, 70), (70, 50), False, True),
    "both-transposed": ((17, 300), (300, 19), True, True),
    "batch-broadcast": ((2, 1, 6, 9), (3, 9, 5), False, False),
    "b-shared": ((5, 7, 33), (33, 12), False, False),
}


def integers(rng, shape):  # every sum of these products is exact in binary32
    return rng.integers(-8, 9, shape).astype(BF16)


def normals(rng, shape):
    return rng.standard_normal(shape).astype(BF16)


def flushed_by_units(rng):
    """Operands where flushing a subnormal input, product or partial sum to zero changes
    results (the widened path keeps them), then NaN, infinity and overflow."""
    a, b = rng.standard_normal((9, 66)), rng.standard_normal((66, 12))
    sub = 3.0e-39  # a bf16 subnormal
    yield "subnormal-a", np.vstack([np.full((1, 66), sub), a[1:]]), b * 2.0 ** 100
    yield "subnormal-b", a * 2.0 ** 100, np.hstack([np.full((66, 1), sub), b[:, 1:]])
    # normal elements whose products underflow: 2^-70 * 2^-60
    yield "tiny-products", np.vstack([np.full((1, 66), 2.0 ** -70), a[1:]]), b * 2.0 ** -60
    # normal products 2^-126 and -2^-126 (1 + 2^-7) whose sum is subnormal
    yield "cancel", np.array([[2.0 ** -63, -(2.0 ** -63)]]), np.array([[2.0 ** -63], [2.0 ** -63 * (1 + 2 ** -7)]])
    for kind, value in (("nan", np.nan), ("inf", -np.inf)):
        for side in ("a", "b"):
            x, y = a.copy(), b.copy()
            target = x if side == "a" else y
            target.reshape(-1)[rng.choice(target.size, 9, replace=False)] = value
            yield f"{kind}-{side}", x, y
    yield "overflow", a[:4, :64] * 2.0 ** 120, b[:64, :4] * 2.0 ** 8


def build_cases():
    rng = np.random.default_rng(7)
    cases = {}
    for name, (sa, sb, ta, tb) in LAYOUTS.items():
        cases[f"int-{name}"] = (integers(rng, sa), integers(rng, sb), ta, tb)
        cases[f"rand-{name}"] = (normals(rng, sa), normals(rng, sb), ta, tb)
    for name, a, b in flushed_by_units(rng):
        cases[f"flush-{name}"] = (a.astype(np.float32).astype(BF16), b.astype(np.float32).astype(BF16), False, False)
    # Binary32 sums in two orders: 2^25 + 1 - 2^25 + 1 is 1 element by element, 0 when
    # each pair adds its odd product first (VDPBF16PS).
    cases["order"] = (np.array([[2.0 ** 25, 1, -2.0 ** 25, 1]], BF16), np.ones((4, 1), BF16), False, False)
    return cases


CASES = build_cases()

def tensor(v, transposed, dtype):
    if not transposed:
        return Tensor(v, dtype=dtype)
    return Tensor(np.ascontiguousarray(np.swapaxes(v, -1, -2)), dtype=dtype).transpose(v.ndim - 2, v.ndim - 1)


def products(widen):
    """Every case's bf16 product; with widen, the widened path spelled out: the operands
    in f32, our f32 product, one rounding to bf16."""
    out = {}
    for name, (a, b, ta, tb) in CASES.items():
        if widen:
            p = tensor(a.astype(np.float32), ta, "f32") @ tensor(b.astype(np.float32), tb, "f32")
            out[name] = p.to_numpy().astype(BF16)
        else:
            out[name] = (tensor(a, ta, "bf16") @ tensor(b, tb, "bf16")).to_numpy()
    return out


@pytest.fixture(scope="module")
def widened():
    return products(widen=True)


@pytest.fixture(scope="module")
def on_unit():
    return products(widen=False)


def same_bits(x, y):
    return x.shape == y.shape and np.array_equal(x.view(np.uint16), y.view(np.uint16))


@pytest.mark.parametrize("name", [n for n in CASES if n.startswith("int-")])
def test_integer_products_are_bit_identical(name, widened, on_unit):
    a, b, _, _ = CASES[name]
    exact = (a.astype(np.float64) @ b.astype(np.float64)).astype(np.float32).astype(BF16)
    assert same_bits(widened[name], exact)
    assert same_bits(on_unit[name], exact)


@pytest.mark.parametrize("name", [n for n in CASES if n.startswith("rand-")])
def test_random_products_stay_within_the_binary32_bound(name, widened, on_unit):
    a, b, _, _ = CASES[name]
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    exact, magnitude = a64 @ b64, np.abs(a64) @ np.abs(b64)
    k = a.shape[-1]
    # binary32 summation of k exact products, then one rounding to bf16 (half an ulp: 2^-8 relative)
    bound = k * 2.0 ** -24 / (1 - k * 2.0 ** -24) * magnitude
    for got in (widened[name], on_unit[name]):
        g = got.astype(np.float64)
        assert g.shape == exact.shape
        assert np.all(np.abs(g - exact) <= bound + 2.0 ** -8 * np.abs(g) * (1 + 1e-9))


@pytest.mark.parametrize("name", [n for n in CASES if n.startswith("flush-")])
def test_operands_the_units_would_flush_take_the_widened_path(name, widened, on_unit):
    assert same_bits(on_unit[name], widened[name])


# The "order" case's sum in each unit's own binary32 order: element by element 1;
# VDPBF16PS adds each pair's odd product first, 0; AMX sums the even-k and the
# odd-k products in two chains and adds them, (2^25 - 2^25) + (1 + 1) = 2.
ORDER_SUM = {"widened": 1.0, "avx512_bf16": 0.0, "amx": 2.0}


def test_each_path_sums_in_binary32(widened, on_unit):
    assert float(widened["order"][0, 0]) == 1.0
    assert float(on_unit["order"][0, 0]) == ORDER_SUM[_native._bf16_unit()]
