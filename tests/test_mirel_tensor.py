"""mirel.Tensor: the class of results, PyTorch's methods, indexing and casts with gradients, and
gradients at each operand's own shape; mirel_core.Tensor's behaviour is unchanged beside it."""
import copy
import pickle

import ml_dtypes
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import mirel
import mirel_core

F = mirel.nn.functional
Core, Pkg = mirel_core.Tensor, mirel.Tensor
RNG = np.random.default_rng(5)
A = RNG.standard_normal((2, 3)).astype(np.float32)
B = RNG.standard_normal((3,)).astype(np.float32)

OPERATIONS = {
    "add": lambda a, b: a + b,
    "sub": lambda a, b: a - b,
    "mul": lambda a, b: a * b,
    "div": lambda a, b: a / b,
    "matmul": lambda a, b: a @ b.reshape([3, 1]),
    "lt": lambda a, b: a < b,
    "eq": lambda a, b: a == b,
    "maximum": mirel.maximum,
    "where": lambda a, b: mirel.where(a > 0, a, b),
    "mse_loss": F.mse_loss,
    "concatenate": lambda a, b: mirel.concatenate([a, b.reshape([1, 3])]),
    "linear": lambda a, b: F.linear(a, b.reshape([1, 3])),
}
ONE_OPERAND = {
    "relu": F.relu, "exp": mirel.exp, "sum": mirel.sum, "softmax": F.softmax, "reshape": lambda a: a.reshape([6]),
    "transpose": lambda a: a.transpose(0, 1), "permute": lambda a: mirel.permute(a, (1, 0)),
    "take": lambda a: mirel.take(a, np.array([1, 0]), 1), "astype": lambda a: mirel.astype(a, "bf16"),
    "scalar": lambda a: 2.0 * a - 1.0, "not": lambda a: ~(a > 0), "detach": mirel.detach,
    "zeros_like": lambda a: a.zeros_like(), "cross_entropy": lambda a: F.cross_entropy(a, np.array([0, 2])),
}


@pytest.mark.parametrize("name", OPERATIONS)
@pytest.mark.parametrize("left,right,want", [(Core, Core, Core), (Pkg, Core, Pkg), (Core, Pkg, Pkg), (Pkg, Pkg, Pkg)])
def test_results_take_the_class_of_their_operands(name, left, right, want):
    assert type(OPERATIONS[name](left(A), right(B))) is want


@pytest.mark.parametrize("name", ONE_OPERAND)
@pytest.mark.parametrize("cls", [Core, Pkg])
def test_one_operand_results_keep_the_class(name, cls):
    assert type(ONE_OPERAND[name](cls(A, requires_grad=True))) is cls
    Core.clear_graph()


def test_the_package_hands_out_its_class(tmp_path):
    params = mirel.Parameters({"w": np.ones((2, 2))})
    layer = mirel.nn.Linear(2, 3)
    mirel.save_file({"t": Core(A)}, tmp_path / "f.safetensors")
    for t in (params["w"], params.leaf("w"), layer.weight, mirel.from_dlpack(np.ones(2, np.float32)),
              mirel.from_dlpack(Core(A)), mirel.load_file(tmp_path / "f.safetensors")["t"], mirel.tensor([1.0])):
        assert type(t) is Pkg
    for t in (Pkg(A, requires_grad=True), Core(A, requires_grad=True)):
        assert type(pickle.loads(pickle.dumps(t))) is type(t) and type(copy.deepcopy(t)) is type(t)
    assert type(mirel.from_dlpack(Pkg(A))) is Pkg
    Core.clear_graph()


# What a PyTorch user tries first, each with what it gives.
HABITS = [
    (lambda t: t.sum().item(), pytest.approx(float(A.sum()), rel=1e-6)),
    (lambda t: t.mean(dim=1, keepdim=True).shape, (2, 1)),
    (lambda t: np.allclose(t.exp().numpy(), np.exp(A), rtol=2e-7), True),
    (lambda t: t.T.shape == [3, 2], True),
    (lambda t: t.mT.shape, (3, 2)),
    (lambda t: t.detach().requires_grad, False),
    (lambda t: t.to("bf16").dtype, "bf16"),
    (lambda t: t.to("cpu") is t, True),
    (lambda t: t[0].tolist(), A[0].tolist()),
    (lambda t: t[:, 1].tolist(), A[:, 1].tolist()),
    (lambda t: len(t), 2),
    (lambda t: [r.shape for r in t], [(3,), (3,)]),
    (lambda t: (-t).tolist(), (-A).tolist()),
    (lambda t: (t ** 2).tolist(), (A.astype(np.float64) ** 2).astype(np.float32).tolist()),
    (lambda t: (1 - t).tolist(), (1 - A).tolist()),
    (lambda t: float(t[1, 2]), float(A[1, 2])),
    (lambda t: int(t.sum() * 0 + 7.9), 7),
    (lambda t: f"{t[0, 0]:.3f}", f"{A[0, 0]:.3f}"),
    (lambda t: repr(t).startswith("mirel.Tensor([[") and "requires_grad=True" in repr(t), True),
    (lambda t: t.shape == (2, 3) and t.shape == [2, 3], True),
    (lambda t: Pkg(t).tolist(), A.tolist()),
    (lambda t: t.reshape(-1).shape, (6,)),
    (lambda t: t.view(3, -1).shape, (3, 2)),
    (lambda t: t.flatten().shape, (6,)),
    (lambda t: t.unsqueeze(-1).squeeze().shape, (2, 3)),
    (lambda t: t.expand(4, -1, -1).shape, (4, 2, 3)),
    (lambda t: t.size(), (2, 3)),
    (lambda t: t.size(-1), 3),
    (lambda t: (t.numel(), t.dim(), t.ndim), (6, 2, 2)),
    (lambda t: t.clip(-0.5, 0.5).max().item() <= 0.5, True),
    (lambda t: t.argmax(1).tolist(), A.argmax(1).tolist()),
]


@pytest.mark.parametrize("habit,want", HABITS)
def test_what_pytorch_users_reach_for(habit, want):
    assert habit(Pkg(A, requires_grad=True)) == want
    Core.clear_graph()


@pytest.mark.parametrize(
    "call,error,text",
    [
        (lambda t: t.transpose(0, 5), IndexError, "Dimension out of range"),
        (lambda t: t.reshape(-1, -1), ValueError, "negative"),
        (lambda t: t.item(), RuntimeError, "6 elements"),
        (lambda t: bool(t), RuntimeError, "ambiguous"),
        (lambda t: t.__setitem__(0, 1.0), TypeError, "mirel.where"),
        (lambda t: t + Pkg(A, dtype="bf16"), ValueError, "astype"),
        (lambda t: t[5], IndexError, "out of bounds"),
        (lambda t: len(t.sum()), TypeError, "0-d"),
    ],
)
def test_errors_are_pytorchs(call, error, text):
    with pytest.raises(error, match=text):
        call(Pkg(A))


def test_the_grad_property_and_the_core_method():
    x = Pkg(A, requires_grad=True)
    assert x.grad is None
    (x * 2.0).sum().backward()
    assert type(x.grad) is Pkg and x.grad.tolist() == np.full((2, 3), 2.0).tolist()
    c = Core(A, requires_grad=True)
    (c * 2.0).backward()
    assert isinstance(c.grad(), np.ndarray)
    Core.clear_graph()


@pytest.mark.parametrize(
    "f",
    [lambda x: x.T, lambda x: x.reshape(-1), F.relu, lambda x: x.transpose(0, 1), mirel.exp, lambda x: x[:, None]],
    ids=["T", "reshape", "relu", "transpose", "exp", "index"],
)
def test_gradients_have_each_operands_shape(f):
    # y has a leading axis more than f(x): each element of f(x) is used 4 times.
    xa = np.abs(A) + 0.5
    y = RNG.integers(1, 4, (4,) + tuple(f(Pkg(xa)).shape)).astype(np.float32)
    x = Pkg(xa, requires_grad=True)
    (f(x) * Pkg(y)).sum().backward()
    got = x.grad.numpy()
    Core.clear_graph()
    x = Pkg(xa, requires_grad=True)  # the same loss without broadcasting
    (f(x) * Pkg(y.sum(0))).sum().backward()
    assert got.shape == A.shape
    np.testing.assert_allclose(got, x.grad.numpy(), rtol=1e-6)
    Core.clear_graph()


def test_core_graphs_keep_broadcast_shaped_gradients():
    b = Core(B, requires_grad=True)
    (Core(A) + b).backward()
    assert b.grad().shape == (2, 3)
    Core.clear_graph()


# --- indexing ---------------------------------------------------------------------------------------------------
X = np.arange(60, dtype=np.float32).reshape(3, 4, 5)
KEYS = [0, -1, (1, 2), (slice(None), 1), (Ellipsis, -2), (None, 1), slice(None, None, -1), (slice(0, 3, 2), None, 3),
        (slice(4, 0, -2), slice(None, None, 3)), np.array([2, 0, 2]), (slice(None), [3, 3, 0]),
        X[..., 0] > 20, (X > 33), ([0, 2], [1, 3]), (1, slice(2, 2)), (Ellipsis,)]


@pytest.mark.parametrize("key", KEYS, ids=range(len(KEYS)))
def test_indexing_gives_numpys_values_and_scatters_the_gradient_back(key):
    x = Pkg(X, requires_grad=True)
    got = x[key]
    want = X[key]
    assert got.shape == want.shape and np.array_equal(got.numpy(), want)
    weights = RNG.integers(1, 5, want.shape).astype(np.float32)
    (got * Pkg(weights)).sum().backward()
    expected = np.zeros_like(X)
    np.add.at(expected, key, weights)  # repeated indices add up
    np.testing.assert_array_equal(x.grad.numpy(), expected)
    Core.clear_graph()


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_basic_indexing_matches_numpy_on_drawn_shapes(data):
    shape = tuple(data.draw(st.lists(st.integers(0, 4), min_size=1, max_size=3)))
    a = np.arange(int(np.prod(shape)), dtype=np.float32).reshape(shape)

    def entry(n):
        return st.one_of(st.integers(-n, n - 1) if n else st.nothing(),
                         st.builds(slice, st.none() | st.integers(-5, 5), st.none() | st.integers(-5, 5),
                                   st.none() | st.integers(-3, 3).filter(bool)),
                         st.none())
    key = tuple(data.draw(entry(n)) for n in shape[: data.draw(st.integers(0, len(shape)))])
    try:
        want = a[key]
    except IndexError:  # None takes no axis: an index may then meet a shorter one
        with pytest.raises(IndexError):
            Pkg(a)[key]
        return
    assert np.array_equal(Pkg(a)[key].numpy(), want)


def test_indexing_against_pytorch():
    torch = pytest.importorskip("torch")
    def negative_step(key):  # PyTorch has no negative steps
        return any(isinstance(k, slice) and (k.step or 1) < 0 for k in (key if isinstance(key, tuple) else (key,)))

    for key in (k for k in KEYS if not negative_step(k)):
        tkey = tuple(torch.from_numpy(k) if isinstance(k, np.ndarray) else k for k in
                     (key if isinstance(key, tuple) else (key,)))
        t = torch.from_numpy(X.copy()).requires_grad_()
        (t[tkey] ** 2).sum().backward()
        x = Pkg(X, requires_grad=True)
        (x[key] ** 2).sum().backward()
        np.testing.assert_allclose(x.grad.numpy(), t.grad.numpy(), rtol=1e-6)
        Core.clear_graph()


# --- casts -------------------------------------------------------------------------------------------------------
NUMPY = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16, "bool": np.bool_}
VALUES = np.array([0.0, -0.0, 1.0 / 3, -2.5e-3, 65504.0, 70000.0, 1e-7, np.inf, np.nan, 3.0e38], np.float32)


@pytest.mark.parametrize("source", ["f32", "f16", "bf16", "bool"])
@pytest.mark.parametrize("target", ["f32", "f16", "bf16", "bool"])
def test_casts_round_once_as_numpy_does(source, target):
    with np.errstate(over="ignore", invalid="ignore"):
        start = VALUES.astype(NUMPY[source]) if source != "bool" else VALUES != 0
        want = start.astype(np.float32).astype(NUMPY[target]) if target != "bool" else start.astype(np.float32) != 0
    got = mirel.astype(Pkg(start, dtype=source), target).numpy()
    assert got.dtype == want.dtype
    assert np.array_equal(got.view(np.uint8), want.view(np.uint8)) or np.array_equal(got, want, equal_nan=True)


@pytest.mark.parametrize("source,target", [("f32", "bf16"), ("bf16", "f32"), ("f16", "bf16"), ("f32", "f16")])
def test_a_cast_gives_its_gradient_back_in_the_operands_type(source, target):
    x = Pkg(np.array([1.0, 2.0, 3.0]), dtype=source, requires_grad=True)
    (x.astype(target) * Pkg(np.array([0.1, 1.0, 3.0]), dtype=target)).sum().backward()
    assert x.grad.dtype == source
    want = np.array([0.1, 1.0, 3.0]).astype(NUMPY[target]).astype(np.float32).astype(NUMPY[source])
    assert np.array_equal(x.grad.numpy(), want)
    Core.clear_graph()


def test_no_gradient_flows_through_bool():
    x = Pkg(A, requires_grad=True)
    assert not x.astype("bool").requires_grad and not x.astype("bool").astype("f32").requires_grad
    Core.clear_graph()
