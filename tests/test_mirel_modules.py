"""Layers seen through each sub-module, freezing, PyTorch-style declarations, zero_grad, rank-0 weights,
Adam, binary_cross_entropy_with_logits and the small modules."""
import pickle

import numpy as np
import pytest

import mirel
from mirel import Tensor, nn

F = nn.functional
RNG = np.random.default_rng(0)
X, Y = RNG.standard_normal((32, 8)).astype(np.float32), RNG.integers(0, 4, 32)


def mlp():
    return nn.Sequential(nn.Linear(8, 6, rng=0), nn.ReLU(), nn.Linear(6, 4, rng=1))


def train(model, opt, steps=5, x=X, y=Y):
    for _ in range(steps):
        F.cross_entropy(model(Tensor(x)), y).backward()
        opt.step()
        Tensor.clear_graph()


@pytest.mark.parametrize("model_holder_first", [False, True])
def test_fine_tuning_the_last_layer_changes_only_it_and_the_model_sees_it(model_holder_first, tmp_path):
    model = mlp()
    if model_holder_first:
        model.parameters()
    opt = mirel.optim.AdamW(model[2].parameters(), lr=1e-2)
    assert opt.params.keys() == ["weight", "bias"]
    before = model.state_dict()
    train(model, opt)
    trained = model[2].state_dict()
    after = model.state_dict()  # must not rebuild anything from the initial weights
    for name in ("0.weight", "0.bias"):
        np.testing.assert_array_equal(after[name], before[name])
    for name in ("weight", "bias"):
        assert not np.array_equal(trained[name], before["2." + name])
        np.testing.assert_array_equal(after["2." + name], trained[name])
    mirel.save_checkpoint(tmp_path / "m.safetensors", model)
    np.testing.assert_array_equal(mirel.load_file(tmp_path / "m.safetensors")["2.bias"].to_numpy(), trained["bias"])
    # The whole model's forward uses the fine-tuned layer: the loss fell.
    fresh = mlp()
    assert float(F.cross_entropy(model(Tensor(X)), Y).to_numpy()) < float(F.cross_entropy(fresh(Tensor(X)), Y).to_numpy())
    Tensor.clear_graph()


def test_a_layer_trained_alone_keeps_its_weights_under_a_parent():
    layer = nn.Linear(8, 4, rng=0)
    opt = mirel.optim.SGD(layer.parameters(), lr=0.5)
    train(layer, opt, steps=2)
    trained = layer.state_dict()
    model = nn.Sequential(layer, nn.Identity())
    np.testing.assert_array_equal(model.state_dict()["0.weight"], trained["weight"])
    train(model, opt, steps=1)  # the optimizer built before still updates the model's weight
    assert not np.array_equal(model.state_dict()["0.weight"], trained["weight"])
    np.testing.assert_array_equal(model.state_dict()["0.weight"], layer.state_dict()["weight"])


def test_a_pytorch_linear_state_dict_loads_into_a_sub_module():
    torch = pytest.importorskip("torch")
    tlin = torch.nn.Linear(8, 6)
    model = mlp()
    model[0].load_state_dict({k: v.detach().numpy() for k, v in tlin.state_dict().items()})
    np.testing.assert_array_equal(model.state_dict()["0.weight"], tlin.weight.detach().numpy())
    np.testing.assert_allclose(model[0](Tensor(X)).to_numpy(), tlin(torch.tensor(X)).detach().numpy(), rtol=1e-5,
                               atol=1e-6)


def test_freezing_a_sub_tree_gives_untracked_leaves_and_no_update():
    model = mlp()
    model[0].requires_grad_(False)
    assert not model[0].param("weight").requires_grad and model[2].param("weight").requires_grad
    opt = mirel.optim.SGD(model.parameters(), lr=0.5)
    before = model.state_dict()
    F.cross_entropy(model(Tensor(X)), Y).backward()
    grads = model.parameters().grads()
    assert grads["0.weight"] is None and grads["2.weight"] is not None
    opt.step()
    Tensor.clear_graph()
    after = model.state_dict()
    np.testing.assert_array_equal(after["0.weight"], before["0.weight"])
    assert not np.array_equal(after["2.weight"], before["2.weight"])
    model.requires_grad_(True)
    train(model, opt, steps=1)
    assert not np.array_equal(model.state_dict()["0.weight"], before["0.weight"])


class Affine(nn.Module):
    def __init__(self):
        super().__init__()
        self.scale = nn.Parameter(np.full(3, 2.0))
        self.shift = nn.Parameter(np.zeros(3), requires_grad=False)
        self.inner = nn.Sequential(nn.Identity())

    def forward(self, x):
        return self.inner(x) * self.scale + self.shift


def test_parameters_declared_the_pytorch_way():
    m = Affine()
    assert [n for n, _ in m.named_parameters()] == ["scale", "shift"]
    assert [n for n, _ in m.named_modules()] == ["", "inner", "inner.0"]
    out = m(Tensor(np.ones((2, 3), np.float32)))
    mirel.sum(out).backward()
    assert m.parameters().grads()["scale"].to_numpy().tolist() == [2.0, 2.0, 2.0]
    assert m.parameters().grads()["shift"] is None
    Tensor.clear_graph()
    with pytest.raises(TypeError, match=r"mirel\.nn\.Parameter\(.*add_parameter"):
        m.extra = Tensor(np.ones(3), requires_grad=True)
    assert "extra" not in m.parameters()
    assert m.train() is m and m.inner[0].training
    m.eval()
    assert not any(layer.training for layer in m.modules())


def test_zero_grad_drops_earlier_gradients_in_either_order():
    x2 = X[::-1].copy()

    def updated(calls):
        model = mlp()
        opt = mirel.optim.SGD(model.parameters(), lr=0.5)
        calls(model, opt)
        Tensor.clear_graph()
        return model.state_dict()

    def only_second(model, opt):
        F.cross_entropy(model(Tensor(X)), Y).backward()
        opt.zero_grad()
        F.cross_entropy(model(Tensor(x2)), Y).backward()
        opt.step()

    def forward_then_zero_grad(model, opt):
        loss = F.cross_entropy(model(Tensor(x2)), Y)
        opt.zero_grad()  # PyTorch's order: the pending backward still counts
        loss.backward()
        opt.step()

    reference = updated(lambda model, opt: train(model, opt, steps=1, x=x2))
    for calls in (only_second, forward_then_zero_grad):
        for name, value in updated(calls).items():
            np.testing.assert_array_equal(value, reference[name], err_msg=f"{calls.__name__}: {name}")
    untouched = updated(lambda model, opt: (opt.zero_grad(), opt.step()))
    for name, value in untouched.items():
        np.testing.assert_array_equal(value, mlp().state_dict()[name])


class Gain(nn.Module):
    def __init__(self):
        super().__init__()
        self.add_parameter("g", np.float32(1.5))
        self.h = nn.Parameter(np.array(0.5))

    def forward(self, x):
        return x * self.g + self.h


def test_rank_0_weights_stay_rank_0_everywhere(tmp_path):
    model = Gain()
    params = model.parameters()
    assert params["g"].shape == [] and params["h"].shape == []
    assert mirel.Parameters({"s": np.float32(1.5)})["s"].shape == []
    opt = mirel.optim.Adam(params, lr=0.1)
    mirel.sum(model(Tensor(np.ones(3, np.float32)))).backward()
    assert params.grads()["g"].shape == []
    opt.step()
    Tensor.clear_graph()
    opt.step({"g": np.float32(1.0), "h": np.array(1.0)})
    assert params["g"].shape == [] and opt.state["g"]["exp_avg"].shape == ()
    clone = pickle.loads(pickle.dumps(opt))
    assert clone.state["h"]["exp_avg_sq"].shape == () and clone.params["h"].shape == []
    clone.load_state_dict(opt.state_dict())
    model.load_state_dict({"g": np.float32(3.0), "h": Tensor(np.array(4.0))})
    path = tmp_path / "scalar.safetensors"
    mirel.save_checkpoint(path, model, opt)
    other = Gain()
    other_opt = mirel.optim.Adam(other.parameters())
    mirel.load_checkpoint(path, other, other_opt)
    assert other.state_dict()["g"].shape == () and float(other.state_dict()["g"]) == 3.0
    assert other_opt.state["g"]["exp_avg"].shape == ()


def test_model_and_optimizer_pickled_together_keep_sharing_weights():
    model = mlp()
    opt = mirel.optim.AdamW(model[2].parameters(), lr=1e-2)
    model2, opt2 = pickle.loads(pickle.dumps((model, opt)))
    train(model2, opt2, steps=2)
    np.testing.assert_array_equal(model2.state_dict()["2.weight"], opt2.params["weight"].to_numpy())
    np.testing.assert_array_equal(model.state_dict()["2.weight"], mlp().state_dict()["2.weight"])


def test_adam_adds_l2_decay_to_the_gradient():
    w0 = RNG.standard_normal(40).astype(np.float32)
    grads = RNG.standard_normal((20, 40)).astype(np.float32)
    params = mirel.Parameters({"w": w0})
    opt = mirel.optim.Adam(params, lr=1e-2, betas=(0.8, 0.99), weight_decay=0.1)
    w, m, v = w0.astype(np.float64), 0.0, 0.0
    for t, g in enumerate(grads, 1):
        opt.step({"w": g})
        d = g + 0.1 * w
        m, v = 0.8 * m + 0.2 * d, 0.99 * v + 0.01 * d * d
        w = w - 1e-2 / (1 - 0.8**t) * m / (np.sqrt(v) / np.sqrt(1 - 0.99**t) + 1e-8)
    np.testing.assert_allclose(params["w"].to_numpy(), w, rtol=1e-5, atol=1e-6)


def bce_reference(x, y, weight, pos_weight):
    """The definition, -(p·y·log σ(x) + (1 - y)·log(1 - σ(x))), in float64 with log σ(x) = -logaddexp(0, -x)."""
    x, y = x.astype(np.float64), y.astype(np.float64)
    p = 1.0 if pos_weight is None else pos_weight
    loss = p * y * np.logaddexp(0, -x) + (1 - y) * np.logaddexp(0, x)
    grad = -p * y / (1 + np.exp(x)) + (1 - y) / (1 + np.exp(-x))
    w = 1.0 if weight is None else weight
    return loss * w, grad * w


@pytest.mark.parametrize("reduction", ["none", "mean", "sum"])
@pytest.mark.parametrize("weighted, positive", [(False, False), (True, False), (True, True)])
def test_binary_cross_entropy_with_logits_against_float64(reduction, weighted, positive):
    x = np.array([[0.0, -0.0, 0.3], [20.0, -20.0, 88.0], [-100.0, 1e-3, 17.0], [3.0, -2.5, 40.0]], np.float32)
    y = np.array([[0.0, 1.0, 0.5], [1.0, 0.0, 1.0], [0.0, 0.25, 1.0], [0.9, 0.1, 1.0]], np.float32)
    weight = RNG.uniform(0.5, 2.0, x.shape).astype(np.float32) if weighted else None
    pos_weight = np.array([0.5, 2.0, 3.0], np.float32) if positive else None
    t = Tensor(x, requires_grad=True)
    loss = F.binary_cross_entropy_with_logits(t, y, weight, reduction, pos_weight)
    mirel.sum(loss).backward()
    ref, grad = bce_reference(x, y, weight, pos_weight)
    scale = x.size if reduction == "mean" else 1
    ref = ref if reduction == "none" else ref.sum() / scale
    tiny = np.finfo(np.float32).tiny  # below it, subnormals hold fewer digits
    np.testing.assert_allclose(loss.to_numpy(), ref, rtol=2e-6, atol=tiny)  # relative, also for the tiny losses
    np.testing.assert_allclose(t.grad.numpy(), grad / scale, rtol=1e-5, atol=1e-7)
    Tensor.clear_graph()


def test_binary_cross_entropy_with_logits_refuses_mismatched_targets():
    with pytest.raises(ValueError, match="target of shape"):
        F.binary_cross_entropy_with_logits(Tensor(np.zeros((2, 3))), np.zeros((3, 2)))
    with pytest.raises(ValueError, match="reduction"):
        F.binary_cross_entropy_with_logits(Tensor(np.zeros(2)), np.zeros(2), reduction="avg")


@pytest.mark.parametrize("shape, start, end, out", [
    ([2, 3, 4, 5], 1, -1, [2, 60]), ([2, 3, 4, 5], 0, 1, [6, 4, 5]), ([2, 3, 4], -2, -1, [2, 12]),
    ([2, 3], 1, 1, [2, 3]), ([7], 0, -1, [7]),
])
def test_flatten(shape, start, end, out):
    x = np.arange(np.prod(shape), dtype=np.float32).reshape(shape)
    np.testing.assert_array_equal(nn.Flatten(start, end)(Tensor(x)).to_numpy(), x.reshape(out))


def test_activation_modules():
    x = np.linspace(-4, 4, 9, dtype=np.float32)
    np.testing.assert_allclose(nn.Tanh()(Tensor(x)).to_numpy(), np.tanh(x), rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(nn.Sigmoid()(Tensor(x)).to_numpy(), 1 / (1 + np.exp(-x)), rtol=1e-6)
    assert nn.Identity(3, foo=1)(x) is x
    with pytest.raises(IndexError):
        nn.Flatten(2)(Tensor(x))


def test_layers_initialise_from_a_mirel_generator_the_same_everywhere():
    a = nn.Linear(3, 2, rng=mirel.random.Generator(5)).state_dict()
    b = nn.Linear(3, 2, rng=mirel.random.Generator(5)).state_dict()
    draw = mirel.random.Generator(5).uniform((2, 3), -3 ** -0.5, 3 ** -0.5).numpy()
    assert all(np.array_equal(a[k], b[k]) for k in a) and np.array_equal(a["weight"], draw)
