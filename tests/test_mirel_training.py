"""Parameters, optimizers and layers: leaves over the masters without copies, gradients at parameter
shapes, stale leaves refused, optimizer steps against references, state that pickles."""
import gc
import os
import pickle
import threading

import numpy as np
import pytest

import mirel
from mirel_core import Tensor

F = mirel.nn.functional
optim = mirel.optim


data_pointer = mirel._native._address


def classifier_data(seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((32, 8)).astype(np.float32)
    return x, rng.integers(0, 4, 32), (rng.standard_normal((4, 8)) * 0.1).astype(np.float32)


def loss_of(params, x, y):
    p = params.leaves()
    dtype = params.dtype
    return F.cross_entropy(F.linear(Tensor(x, dtype=dtype), p["w"], p["b"]), y)


def test_f32_leaves_share_the_masters_storage_and_halves_are_rounded_copies():
    params = mirel.Parameters({"w": np.arange(6.0).reshape(2, 3)})
    leaf = params.leaf("w")
    assert leaf.requires_grad and leaf.dtype == "f32" and data_pointer(leaf) == data_pointer(params["w"])
    assert params.leaf("w") is leaf  # the same leaf for the whole step
    params.dtype = "bf16"
    half = params.leaf("w")
    assert half.dtype == "bf16" and np.array_equal(half.to_numpy().astype(np.float32), params["w"].to_numpy())


def test_grads_arrive_summed_to_the_parameter_shapes_in_f32():
    params = mirel.Parameters({"w": np.ones((3, 2)), "b": np.zeros(2), "unused": np.zeros(5)}, dtype="bf16")
    p = params.leaves()
    x = Tensor(np.ones((4, 3), np.float32), dtype="bf16")
    out = x @ p["w"] + p["b"]  # b's gradient lands at the broadcast shape [4, 2]
    mirel.sum(out).backward()
    g = params.grads()
    assert g["unused"] is None
    assert g["b"].dtype == "f32" and g["b"].shape == [2]
    np.testing.assert_array_equal(g["b"].to_numpy(), p["b"].grad.numpy())  # the leaf's own, at its shape
    np.testing.assert_array_equal(g["w"].to_numpy(), np.full((3, 2), 4.0, np.float32))


def test_stale_leaves_are_refused():
    params = mirel.Parameters({"w": np.ones(3)})
    old = params.leaf("w")
    mirel.sum(old * 2.0).backward()
    Tensor.clear_graph()
    with pytest.raises(RuntimeError, match="no current leaves"):
        params.grads()
    with pytest.raises(RuntimeError):
        old * 2.0  # a leaf of a cleared tape cannot enter a new graph
    fresh = params.leaf("w")
    assert fresh is not old
    opt = optim.SGD(params, lr=0.1)
    mirel.sum(fresh).backward()
    opt.step()
    with pytest.raises(RuntimeError, match="no current leaves"):
        params.grads()  # the step replaced the master: its leaves are history
    assert params.leaf("w") is not fresh


def test_leaves_are_per_thread():
    params = mirel.Parameters({"w": np.ones(2)})
    mine = params.leaf("w")
    seen = []
    th = threading.Thread(target=lambda: seen.append(params.leaf("w")))
    th.start()
    th.join()
    assert seen[0] is not mine


def reference_adamw(w, grads, lr, betas, eps, wd):
    m = v = np.zeros_like(w, np.float64)
    w = w.astype(np.float64)
    for t, g in enumerate(grads, 1):
        w = w * (1 - lr * wd)
        m = betas[0] * m + (1 - betas[0]) * g
        v = betas[1] * v + (1 - betas[1]) * g * g
        w = w - lr / (1 - betas[0] ** t) * m / (np.sqrt(v) / np.sqrt(1 - betas[1] ** t) + eps)
    return w


def test_adamw_follows_the_float64_formula():
    rng = np.random.default_rng(1)
    w0 = rng.standard_normal(50).astype(np.float32)
    grads = [rng.standard_normal(50).astype(np.float32) for _ in range(20)]
    params = mirel.Parameters({"w": w0})
    opt = optim.AdamW(params, lr=1e-2, weight_decay=0.1)
    for g in grads:
        mirel.sum(params.leaf("w") * Tensor(g)).backward()
        opt.step()
        Tensor.clear_graph()
    np.testing.assert_allclose(params["w"].to_numpy(), reference_adamw(w0, grads, 1e-2, (0.9, 0.999), 1e-8, 0.1),
                               rtol=1e-5, atol=1e-6)


def make_optimizers(params, torch, tparams):
    return [
        (optim.AdamW(params, lr=1e-2, weight_decay=0.1), torch.optim.AdamW(tparams, lr=1e-2, weight_decay=0.1)),
        (optim.AdamW(params, lr=3e-3, betas=(0.8, 0.99), eps=1e-6, weight_decay=0.0),
         torch.optim.AdamW(tparams, lr=3e-3, betas=(0.8, 0.99), eps=1e-6, weight_decay=0.0)),
        (optim.SGD(params, lr=0.1), torch.optim.SGD(tparams, lr=0.1)),
        (optim.SGD(params, lr=0.1, momentum=0.9, dampening=0.1, weight_decay=0.01),
         torch.optim.SGD(tparams, lr=0.1, momentum=0.9, dampening=0.1, weight_decay=0.01)),
        (optim.SGD(params, lr=0.05, momentum=0.9, nesterov=True),
         torch.optim.SGD(tparams, lr=0.05, momentum=0.9, nesterov=True)),
    ]


@pytest.mark.parametrize("case", range(5))
def test_optimizers_match_pytorch_over_100_steps(case):
    torch = pytest.importorskip("torch")
    x, y, w = classifier_data()
    params = mirel.Parameters({"w": w, "b": np.zeros(4)})
    tw, tb = torch.tensor(w, requires_grad=True), torch.zeros(4, requires_grad=True)
    opt, topt = make_optimizers(params, torch, [tw, tb])[case]
    for _ in range(100):
        loss_of(params, x, y).backward()
        opt.step()
        Tensor.clear_graph()
        topt.zero_grad()
        torch.nn.functional.cross_entropy(torch.nn.functional.linear(torch.tensor(x), tw, tb), torch.tensor(y)).backward()
        topt.step()
    np.testing.assert_allclose(params["w"].to_numpy(), tw.detach().numpy(), rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(params["b"].to_numpy(), tb.detach().numpy(), rtol=1e-5, atol=1e-6)


def test_clip_grad_norm_scales_the_step_gradients():
    params = mirel.Parameters({"a": np.zeros(2), "b": np.zeros(1)})
    p = params.leaves()
    (mirel.sum(p["a"] * Tensor(np.array([3.0, 0.0], np.float32))) + mirel.sum(p["b"] * 4.0)).backward()
    assert optim.clip_grad_norm(params, 1.0) == pytest.approx(5.0)
    np.testing.assert_allclose(params.grads()["a"].to_numpy(), [0.6, 0.0], rtol=1e-5)
    assert optim.clip_grad_norm(params, 10.0) == pytest.approx(1.0, rel=1e-5)  # under the bound: unchanged


def test_optimizer_and_parameters_pickle_mid_training():
    x, y, w = classifier_data()
    params = mirel.Parameters({"w": w, "b": np.zeros(4)})
    opt = optim.AdamW(params, lr=optim.cosine_schedule(1e-2, total_steps=20, warmup_steps=3))

    def step(o):
        loss_of(o.params, x, y).backward()
        o.step()
        Tensor.clear_graph()

    for _ in range(5):
        step(opt)
    clone = pickle.loads(pickle.dumps(opt))
    for o in (opt, clone):
        for _ in range(5):
            step(o)
    assert clone.steps == opt.steps == 10
    np.testing.assert_array_equal(clone.params["w"].to_numpy(), opt.params["w"].to_numpy())


def test_state_dicts_check_everything_before_changing_anything():
    params = mirel.Parameters({"w": np.ones(2), "b": np.ones(3)})
    with pytest.raises(ValueError, match="shape"):
        params.load_state_dict({"w": np.zeros(2), "b": np.zeros(4)})
    with pytest.raises(KeyError):
        params.load_state_dict({"w": np.zeros(2)})
    np.testing.assert_array_equal(params["w"].to_numpy(), [1, 1])


def test_layers_name_their_weights_like_pytorch_and_train():
    model = mirel.nn.Sequential(mirel.nn.Linear(8, 16, rng=0), mirel.nn.ReLU(), mirel.nn.Linear(16, 4, rng=1))
    params = model.parameters()
    assert params.keys() == ["0.weight", "0.bias", "2.weight", "2.bias"]
    assert params["0.weight"].shape == [16, 8]
    x, y, _ = classifier_data()
    opt = optim.AdamW(params, lr=1e-2)
    losses = []
    for _ in range(30):
        loss = F.cross_entropy(model(Tensor(x)), y)
        losses.append(float(loss.to_numpy()))
        loss.backward()
        opt.step()
        Tensor.clear_graph()
    assert losses[-1] < 0.7 * losses[0]


def test_embedding_gradient_adds_into_the_looked_up_rows():
    emb = mirel.nn.Embedding(5, 3, rng=0)
    mirel.sum(emb(np.array([1, 3, 1]))).backward()
    np.testing.assert_array_equal(emb.parameters().grads()["weight"].to_numpy()[:, 0], [0, 2, 0, 1, 0])


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_memory_stays_flat_over_1000_steps():
    x, y, w = classifier_data()
    params = mirel.Parameters({"w": w, "b": np.zeros(4)})
    opt = optim.AdamW(params)

    def steps(n):
        for _ in range(n):
            loss_of(params, x, y).backward()
            opt.step()
            Tensor.clear_graph()

    steps(200)
    gc.collect()
    before = rss()
    steps(1000)
    gc.collect()
    assert rss() - before < 1 << 20


def trained(steps=3):
    x, y, _ = classifier_data()
    model = mirel.nn.Sequential(mirel.nn.Linear(8, 6, rng=0), mirel.nn.ReLU(), mirel.nn.Linear(6, 4, rng=1))
    opt = optim.AdamW(model.parameters(), lr=1e-2)
    for _ in range(steps):
        F.cross_entropy(model(Tensor(x)), y).backward()
        opt.step()
        Tensor.clear_graph()
    return model, opt


def test_checkpoints_restore_weights_and_optimizer_state_exactly(tmp_path):
    model, opt = trained()
    path = tmp_path / "run.safetensors"
    mirel.save_checkpoint(path, model, opt, metadata={"epoch": "3"})
    fresh, fresh_opt = trained(steps=0)
    assert mirel.load_checkpoint(path, fresh, fresh_opt) == {"epoch": "3"}
    assert fresh_opt.steps == 3
    for (name, a), b in zip(model.state_dict().items(), fresh.state_dict().values()):
        np.testing.assert_array_equal(a, b, err_msg=name)
    for name, bufs in opt.state.items():
        for k, v in bufs.items():
            np.testing.assert_array_equal(v, fresh_opt.state[name][k])


def test_a_damaged_checkpoint_leaves_the_model_untouched(tmp_path):
    model, opt = trained()
    path = tmp_path / "run.safetensors"
    mirel.save_checkpoint(path, model, opt)
    path.write_bytes(path.read_bytes()[:-7])
    other, other_opt = trained(steps=1)
    before = other.state_dict()
    with pytest.raises(ValueError, match="not a valid safetensors file"):
        mirel.load_checkpoint(path, other, other_opt)
    mirel.save_checkpoint(path, mirel.nn.Linear(8, 6, rng=0))  # the wrong tree
    with pytest.raises((KeyError, ValueError)):
        mirel.load_checkpoint(path, other)
    for name, value in other.state_dict().items():
        np.testing.assert_array_equal(value, before[name])
    assert other_opt.steps == 1


def test_weights_cross_to_pytorch_and_back(tmp_path):
    torch = pytest.importorskip("torch")
    from safetensors.torch import load_file, save_file

    model, _ = trained()
    ours = tmp_path / "ours.safetensors"
    mirel.save_checkpoint(ours, model)
    tmodel = torch.nn.Sequential(torch.nn.Linear(8, 6), torch.nn.ReLU(), torch.nn.Linear(6, 4))
    tmodel.load_state_dict(load_file(ours))
    x = classifier_data()[0]
    np.testing.assert_allclose(tmodel(torch.tensor(x)).detach().numpy(), model(Tensor(x)).to_numpy(), rtol=1e-5,
                               atol=1e-6)
    theirs = tmp_path / "theirs.safetensors"
    save_file({k: v.to(torch.bfloat16) for k, v in tmodel.state_dict().items()}, theirs)
    back, _ = trained(steps=0)
    mirel.load_checkpoint(theirs, back)
    for k, v in tmodel.state_dict().items():
        np.testing.assert_array_equal(back.state_dict()[k], v.to(torch.bfloat16).float().numpy())


def grouped_model():
    model = mirel.nn.Sequential(mirel.nn.Linear(4, 3), mirel.nn.ReLU(), mirel.nn.Linear(3, 2))
    params = model.parameters()
    decay = params.subset(n for n in params.keys() if params[n].ndim >= 2)
    no_decay = params.subset(n for n in params.keys() if params[n].ndim < 2)
    return model, params, decay, no_decay


def test_parameter_groups_update_as_separate_optimizers_would():
    x, y = np.random.default_rng(1).standard_normal((8, 4)).astype(np.float32), np.array([0, 1] * 4)
    model, params, decay, no_decay = grouped_model()
    twin, twin_params, twin_decay, twin_no_decay = grouped_model()
    twin_params.load_state_dict(params.state_dict())
    grouped = optim.AdamW([{"params": decay, "weight_decay": 0.1}, {"params": no_decay, "weight_decay": 0.0,
                                                                    "lr": 0.05}], lr=0.01)
    separate = [optim.AdamW(twin_decay, lr=0.01, weight_decay=0.1), optim.AdamW(twin_no_decay, lr=0.05,
                                                                                weight_decay=0.0)]
    for step in range(3):
        for m, opts in ((model, [grouped]), (twin, separate)):
            F.cross_entropy(m(Tensor(x)), y).backward()
            for opt in opts:
                opt.step()
            Tensor.clear_graph()
        grouped.param_groups[1]["lr"] = separate[1].lr = 0.05 / (step + 2)  # as a scheduler would
    for name, value in params.state_dict().items():
        np.testing.assert_array_equal(value, twin_params.state_dict()[name], err_msg=name)
    restored = pickle.loads(pickle.dumps(grouped))
    assert restored.param_groups[0]["weight_decay"] == 0.1 and len(restored.params) == 4


@pytest.mark.parametrize("groups,error", [
    (lambda d, n: [{"params": d}, {"params": d}], ValueError),
    (lambda d, n: [{"params": d, "momentum": 0.9}], ValueError),
    (lambda d, n: [{"params": [1, 2]}], TypeError),
    (lambda d, n: [], TypeError),
    (lambda d, n: [{"params": d, "lr": -1.0}], ValueError),
])
def test_parameter_groups_are_checked(groups, error):
    _, _, decay, no_decay = grouped_model()
    with pytest.raises(error):
        optim.AdamW(groups(decay, no_decay), lr=0.01)
