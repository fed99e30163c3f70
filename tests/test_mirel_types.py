"""mirel as its stubs describe it: pytest runs it, and `mypy --strict` checks it against the stubs."""
from typing import assert_type

import numpy as np

import mirel
from mirel import Tensor
from mirel.nn import functional as F


def test_a_training_step_type_checks_and_runs() -> None:
    x = Tensor(np.ones((4, 3), np.float32))
    w = Tensor(np.full((2, 3), 0.1, np.float32), requires_grad=True)
    logits = F.linear(x, w)
    loss = assert_type(F.cross_entropy(logits, np.array([0, 1, 1, 0])), Tensor)
    loss.backward()
    assert_type(mirel.sum(mirel.exp(logits), axis=(0, -1), keepdims=True), Tensor)
    with mirel.no_grad():
        assert_type(mirel.reshape(logits, (-1,)), Tensor)
    assert mirel.argmax(logits, axis=1).shape == (4,)
    assert w.grad is not None and w.grad.shape == (2, 3)


def test_layers_losses_and_optimizers_type_check() -> None:
    model = mirel.nn.Sequential(mirel.nn.Flatten(), mirel.nn.Linear(6, 2), mirel.nn.Tanh())
    head = assert_type(model[1].parameters(), mirel.Parameters)
    opt = mirel.optim.Adam(head, lr=1e-2)
    model[0].requires_grad_(False).eval()
    out = model(Tensor(np.ones((4, 2, 3), np.float32)))
    loss = F.binary_cross_entropy_with_logits(out, np.zeros((4, 2)), pos_weight=np.ones(2))
    assert isinstance(loss, Tensor)
    opt.zero_grad()
    loss.backward()
    opt.step()
    Tensor.clear_graph()
    assert [name for name, _ in model.named_parameters()] == ["1.weight", "1.bias"]
