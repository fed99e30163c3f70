"""Gradients through a `mirel` function whose result a later operator broadcasts: the
function's rule reads the gradient at its own result's shape, summed over the broadcast
axes first. Each case is checked against the same loss written without broadcasting."""
import numpy as np
import pytest

import mirel
from mirel_core import Tensor

F = mirel.nn.functional
RNG = np.random.default_rng(3)
X = (RNG.standard_normal((2, 3)) + 2.5).astype(np.float32)  # positive, for log and sqrt
LABELS = np.array([2, 0])
W = RNG.standard_normal((4, 3)).astype(np.float32)

# name: the function of one tracked (2, 3) tensor; its result's shape varies.
FUNCTIONS = {
    "sum-keepdims": lambda x: mirel.sum(x, axis=1, keepdims=True),
    "sum": lambda x: mirel.sum(x, axis=0),
    "mean-keepdims": lambda x: mirel.mean(x, axis=1, keepdims=True),
    "max-keepdims": lambda x: mirel.max(x, axis=1, keepdims=True),
    "min": lambda x: mirel.min(x, axis=0),
    "exp": mirel.exp,
    "log": mirel.log,
    "tanh": mirel.tanh,
    "sigmoid": mirel.sigmoid,
    "sqrt": mirel.sqrt,
    "abs": mirel.abs,
    "negative": mirel.negative,
    "square": mirel.square,
    "power": lambda x: mirel.power(x, 3.0),
    "maximum": lambda x: mirel.maximum(x, Tensor(np.full((2, 3), 2.5, np.float32))),
    "minimum": lambda x: mirel.minimum(x, Tensor(np.full((1, 3), 2.5, np.float32))),
    "where": lambda x: mirel.where(Tensor(X > 2.5, dtype="bool"), x, Tensor(np.zeros(3, np.float32))),
    "reshape": lambda x: mirel.reshape(x, (3, 1, 2)),
    "transpose": lambda x: mirel.transpose(x),
    "permute": lambda x: mirel.permute(x, (1, 0)),
    "concatenate": lambda x: mirel.concatenate([x, x * 2.0], axis=0),
    "stack": lambda x: mirel.stack([x, x], axis=1),
    "take": lambda x: mirel.take(x, np.array([2, 0, 2]), axis=1),
    "sum_to": lambda x: mirel.sum_to(x, (1, 3)),
    "broadcast_to": lambda x: mirel.broadcast_to(x, (2, 2, 3)),
    "softmax": lambda x: F.softmax(x, axis=1),
    "log_softmax": lambda x: F.log_softmax(x, axis=0),
    "cross_entropy": lambda x: F.cross_entropy(x, LABELS, reduction="none"),
    "cross_entropy-mean": lambda x: F.cross_entropy(x, LABELS),
    "mse_loss": lambda x: F.mse_loss(x, Tensor(np.ones((2, 3), np.float32)), reduction="none"),
    "linear": lambda x: F.linear(x, Tensor(W), Tensor(np.arange(4, dtype=np.float32))),
}


def stretched(shape):
    """A shape the result broadcasts to: a new leading axis of 3, and every 1 stretched to 4."""
    return (3,) + tuple(4 if d == 1 else d for d in shape)


def gradient(fn, combine, other):
    x = Tensor(X, requires_grad=True)
    mirel.sum(combine(fn(x), Tensor(other))).backward()
    g = x.grad()
    Tensor.clear_graph()
    return g


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("op", ["add", "mul"])
def test_a_broadcast_result_gets_the_gradient_of_the_unbroadcast_loss(name, op):
    fn = FUNCTIONS[name]
    shape = tuple(fn(Tensor(X)).shape)
    big = RNG.integers(-3, 4, stretched(shape)).astype(np.float32)
    # The same loss without broadcasting: sum(r + Y) = sum(r * n) + c and
    # sum(r * Y) = sum(r * Y'), Y' being Y summed over the axes broadcasting added.
    lead = (0,) + tuple(i + 1 for i, d in enumerate(shape) if d == 1)
    summed = big.sum(axis=lead, keepdims=True).reshape(shape)
    if op == "add":
        got = gradient(fn, lambda r, y: r + y, big)
        want = gradient(fn, lambda r, y: r * y, np.full(shape, big.size / max(1, np.prod(shape)), np.float32))
    else:
        got = gradient(fn, lambda r, y: r * y, big)
        want = gradient(fn, lambda r, y: r * y, summed)
    assert got.shape == X.shape
    np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-6)


def test_the_reported_centering_case():
    x = Tensor(np.array([[1.0, 2.0, 4.0], [0.0, -1.0, 3.0]], np.float32), requires_grad=True)
    w = Tensor(np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], np.float32))
    mirel.sum((x - mirel.mean(x, axis=1, keepdims=True)) * w).backward()
    np.testing.assert_array_equal(x.grad(), [[-1, 0, 1], [-1, 0, 1]])
    Tensor.clear_graph()


def test_a_gradient_that_does_not_broadcast_from_the_result_is_refused():
    # The operators' own transpose hands on the broadcast gradient transposed:
    # [3, 4, 2] reaches a result of shape [2, 3] and cannot be summed to it.
    x = Tensor(np.ones((2, 3), np.float32), requires_grad=True)
    y = mirel.exp(x).transpose(0, 1) + Tensor(np.ones((4, 3, 2), np.float32))
    with pytest.raises(RuntimeError, match=r"a gradient of shape \[3, 4, 2\] reached a result of shape \[2, 3\]"):
        y.backward()
    Tensor.clear_graph()


def test_linear_gradients_keep_their_shapes_under_a_broadcast():
    x = Tensor(np.ones((3, 2), np.float32), requires_grad=True)
    w = Tensor(np.ones((2, 2), np.float32), requires_grad=True)
    (F.linear(x, w) + Tensor(np.ones((2, 3, 2), np.float32))).backward()
    np.testing.assert_array_equal(x.grad(), np.full((3, 2), 4.0))
    np.testing.assert_array_equal(w.grad(), np.full((2, 2), 6.0))
    Tensor.clear_graph()


def test_the_specified_operators_keep_broadcast_shaped_gradients():
    b = Tensor(np.ones(3, np.float32), requires_grad=True)
    (Tensor(np.ones((4, 3), np.float32)) + b * 2.0).backward()
    assert b.grad().shape == (4, 3)
    Tensor.clear_graph()
