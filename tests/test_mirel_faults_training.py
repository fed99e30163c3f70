"""Training faults found by attack: optimizer state loaded atomically and checked with the constructors'
rules, step(grads) checked before any update, no_grad over generators and coroutines, and the checkpoint
edges (axes, shapes, header cost, names, stale temporaries, panics, non-finite clipping norms)."""
import asyncio
import fcntl
import json
import os
import signal
import struct
import time

import numpy as np
import pytest
import safetensors

import mirel
from mirel import checkpoint, optim
from mirel_core import Tensor
from conftest import run_python

F = mirel.nn.functional


def trained(kind, steps=2):
    """A two-parameter holder and an optimizer of kind after a few steps."""
    rng = np.random.default_rng(0)
    params = mirel.Parameters({"w": rng.standard_normal((3, 2)), "b": rng.standard_normal(2)})
    opt = optim.AdamW(params, lr=0.1) if kind == "AdamW" else optim.SGD(params, lr=0.1, momentum=0.9)
    for _ in range(steps):
        opt.step({"w": np.ones((3, 2), np.float32), "b": np.full(2, 0.5, np.float32)})
    return params, opt


def snapshot(params, opt):
    """Everything a load must leave as it was."""
    state = opt.state_dict()
    return ({k: v.copy() for k, v in params.state_dict().items()}, state["steps"], state["hyper"],
            {n: {k: v.copy() for k, v in s.items()} for n, s in state["state"].items()})


def assert_same(a, b):
    (wa, sa, ha, ba), (wb, sb, hb, bb) = a, b
    assert sa == sb and ha == hb and wa.keys() == wb.keys() and ba.keys() == bb.keys()
    for k in wa:
        np.testing.assert_array_equal(wa[k], wb[k])
    for n in ba:
        assert ba[n].keys() == bb[n].keys()
        for k in ba[n]:
            np.testing.assert_array_equal(ba[n][k], bb[n][k])


def still_steps(params, opt):
    opt.step({"w": np.ones((3, 2), np.float32)})
    assert np.isfinite(params["w"].to_numpy()).all()


# Item 4: optimizer state is checked whole, with the constructors' rules, before anything changes.
def without(state, name, buffer):
    state["state"][name] = {k: v for k, v in state["state"][name].items() if k != buffer}
    return state


BAD_STATES = [
    ("AdamW", lambda s: {**s, "steps": "x"}, ValueError, "steps"),
    ("AdamW", lambda s: {**s, "steps": -1}, ValueError, "steps"),
    ("AdamW", lambda s: {**s, "steps": 1.5}, ValueError, "steps"),
    ("AdamW", lambda s: {**s, "steps": True}, ValueError, "steps"),
    ("AdamW", lambda s: {**s, "steps": 2**70}, ValueError, "steps"),
    ("AdamW", lambda s: {**s, "hyper": {"params": None}}, ValueError, "params"),
    ("AdamW", lambda s: {**s, "hyper": {"lr": 0.5}}, ValueError, "lr"),
    ("AdamW", lambda s: {**s, "hyper": {"betas": [1.0, 2.0]}}, ValueError, "betas"),
    ("AdamW", lambda s: {**s, "hyper": {"betas": [0.9]}}, TypeError, "betas"),
    ("AdamW", lambda s: {**s, "hyper": {"betas": [0.9, float("nan")]}}, ValueError, "NaN"),
    ("AdamW", lambda s: {**s, "hyper": {"eps": -1}}, ValueError, "eps"),
    ("AdamW", lambda s: {**s, "hyper": {"eps": "1e-8"}}, TypeError, "eps"),
    ("AdamW", lambda s: {**s, "hyper": {"weight_decay": -0.1}}, ValueError, "weight_decay"),
    ("AdamW", lambda s: {**s, "hyper": None}, TypeError, "hyper"),
    ("AdamW", lambda s: {**s, "extra": 1}, ValueError, "extra"),
    ("AdamW", lambda s: {k: v for k, v in s.items() if k != "steps"}, ValueError, "steps"),
    ("AdamW", lambda s: without(s, "b", "exp_avg_sq"), ValueError, "exp_avg_sq"),
    ("AdamW", lambda s: {**s, "state": {**s["state"], "b": {**s["state"]["b"], "extra": np.zeros(2)}}},
     ValueError, "extra"),
    ("AdamW", lambda s: {**s, "state": {**s["state"], "b": {**s["state"]["b"], "exp_avg_sq": -np.ones(2)}}},
     ValueError, "negative"),
    ("AdamW", lambda s: {**s, "state": {**s["state"], "b": {**s["state"]["b"], "exp_avg": ["a", "b"]}}},
     TypeError, "b.exp_avg"),
    ("AdamW", lambda s: {**s, "state": {**s["state"], "b": None}}, TypeError, "'b'"),
    ("SGD", lambda s: {**s, "hyper": {"momentum": -1}}, ValueError, "momentum"),
    ("SGD", lambda s: {**s, "hyper": {"momentum": 0.0, "nesterov": True}}, ValueError, "Nesterov"),
    ("SGD", lambda s: {**s, "hyper": {"nesterov": "yes"}}, TypeError, "nesterov"),
    ("SGD", lambda s: {**s, "hyper": {"dampening": float("nan")}}, ValueError, "dampening"),
    ("SGD", lambda s: without(s, "w", "momentum_buffer"), ValueError, "momentum_buffer"),
    ("SGD", lambda s: {**s, "hyper": {"momentum": 0.0}}, ValueError, "momentum_buffer"),  # buffers of momentum
]


@pytest.mark.parametrize("kind, damage, error, culprit", BAD_STATES)
def test_bad_optimizer_state_is_refused_before_anything_changes(kind, damage, error, culprit):
    params, opt = trained(kind)
    before = snapshot(params, opt)
    with pytest.raises(error, match=culprit):
        opt.load_state_dict(damage(opt.state_dict()))
    assert_same(snapshot(params, opt), before)
    still_steps(params, opt)


@pytest.mark.parametrize("kind, hyper", [
    ("AdamW", {"betas": (1.0, 0.5)}), ("AdamW", {"eps": -1.0}), ("AdamW", {"betas": (0.5, float("nan"))}),
    ("AdamW", {"weight_decay": float("nan")}), ("AdamW", {"eps": "0.1"}),
    ("SGD", {"momentum": float("nan")}), ("SGD", {"weight_decay": float("nan")}), ("SGD", {"momentum": "0.9"}),
])
def test_constructor_and_load_share_one_set_of_rules(kind, hyper):
    params = mirel.Parameters({"w": np.zeros(2)})
    cls = getattr(optim, kind)
    with pytest.raises((TypeError, ValueError)) as made:
        cls(params, lr=0.1, **hyper)
    opt = cls(params, lr=0.1)
    state = opt.state_dict()
    as_json = {k: list(v) if isinstance(v, tuple) else v for k, v in hyper.items()}
    with pytest.raises(made.type):
        opt.load_state_dict({**state, "hyper": as_json})
    assert opt.state_dict()["hyper"] == state["hyper"]


def test_loaded_momentum_brings_its_buffers():
    def sgd(momentum):
        return optim.SGD(mirel.Parameters({"w": np.ones(2), "v": np.ones(2)}), lr=0.1, momentum=momentum)

    with_momentum = sgd(0.9)
    with_momentum.step({"w": np.ones(2)})  # "v" has no buffer yet
    plain = sgd(0.0)
    plain.load_state_dict(with_momentum.state_dict())  # momentum 0 -> 0.9: buffers as momentum has them
    plain.params.load_state_dict(with_momentum.params.state_dict())
    for _ in range(2):
        for opt in (with_momentum, plain):
            opt.step({"w": np.ones(2), "v": np.ones(2)})
    for name in ("w", "v"):
        np.testing.assert_array_equal(plain.params[name].to_numpy(), with_momentum.params[name].to_numpy())


def checkpoint_with_metadata(tmp_path, change):
    params, opt = trained("AdamW")
    path = tmp_path / "c.safetensors"
    mirel.save_checkpoint(path, params, opt)
    meta = checkpoint.load_metadata(path)
    info = json.loads(meta["mirel.optimizer"])
    meta["mirel.optimizer"] = change(info)
    checkpoint.save_file(checkpoint.load_file(path), path, meta)
    return path, params, opt


@pytest.mark.parametrize("change, culprit", [
    (lambda i: json.dumps({**i, "steps": "x"}), "steps"),
    (lambda i: json.dumps({**i, "steps": -1}), "steps"),
    (lambda i: json.dumps({**i, "hyper": {"params": None}}), "params"),
    (lambda i: json.dumps({**i, "hyper": {**i["hyper"], "betas": [1.0, 2.0]}}), "betas"),
    (lambda i: json.dumps({**i, "hyper": {**i["hyper"], "eps": -1}}), "eps"),
    (lambda i: json.dumps({**i, "hyper": {**i["hyper"], "weight_decay": -1}}), "weight_decay"),
    (lambda i: json.dumps([i]), "JSON object"),
    (lambda i: json.dumps(i)[:-1], "not JSON"),
    (lambda i: json.dumps({k: v for k, v in i.items() if k != "type"}), "type"),
])
def test_bad_optimizer_metadata_in_a_checkpoint_changes_nothing(tmp_path, change, culprit):
    path, params, opt = checkpoint_with_metadata(tmp_path, change)
    other, other_opt = trained("AdamW", steps=5)
    before = snapshot(other, other_opt)
    with pytest.raises(ValueError, match=culprit) as e:
        mirel.load_checkpoint(path, other, other_opt)
    assert str(path) in str(e.value)
    assert_same(snapshot(other, other_opt), before)


def test_checkpoint_missing_a_moment_is_refused(tmp_path):
    params, opt = trained("AdamW")
    path = tmp_path / "c.safetensors"
    mirel.save_checkpoint(path, params, opt)
    entries = checkpoint.load_file(path)
    del entries["optimizer.b.exp_avg_sq"]
    checkpoint.save_file(entries, path, checkpoint.load_metadata(path))
    other, other_opt = trained("AdamW", steps=5)
    before = snapshot(other, other_opt)
    with pytest.raises(ValueError, match="exp_avg_sq"):
        mirel.load_checkpoint(path, other, other_opt)
    assert_same(snapshot(other, other_opt), before)
    still_steps(other, other_opt)


# Item 5: step(grads) checks every gradient before it updates anything.
@pytest.mark.parametrize("kind", ["AdamW", "SGD"])
@pytest.mark.parametrize("grads, error, culprit", [
    ({"w": np.ones((3, 2)), "b": np.ones(3)}, ValueError, "'b'"),
    ({"w": np.ones((3, 2)), "nope": np.ones(2)}, KeyError, "nope"),
    ({"w": np.ones((3, 2)), "b": "ab"}, TypeError, "'b'"),
    ({"w": np.ones((3, 2)), "b": [object(), object()]}, TypeError, "'b'"),
    ({"w": np.ones((3, 2)), "b": Tensor(np.ones(2, bool), dtype="bool")}, TypeError, "'b'"),
    ({"w": np.ones((3, 2)), "b": Tensor(np.ones((2, 1), np.float32))}, ValueError, "'b'"),
])
def test_step_checks_every_gradient_before_updating_any(kind, grads, error, culprit):
    params, opt = trained(kind)
    before = snapshot(params, opt)
    with pytest.raises(error, match=culprit):
        opt.step(grads)
    assert_same(snapshot(params, opt), before)
    still_steps(params, opt)


@pytest.mark.parametrize("make", [
    lambda: Tensor(np.ones((3, 2)), dtype="f16"),
    lambda: Tensor(np.ones((2, 3), np.float32)).transpose(0, 1),
])
def test_step_takes_gradients_of_any_float_type_and_layout(make):
    params, opt = trained("SGD")
    ref, ref_opt = trained("SGD")
    opt.step({"w": make()})
    ref_opt.step({"w": np.ones((3, 2), np.float32)})
    np.testing.assert_array_equal(params["w"].to_numpy(), ref["w"].to_numpy())


# Item 6: no_grad over generators, coroutines and async generators.
def tracked():
    return Tensor(np.ones(2, np.float32), requires_grad=True)


@mirel.no_grad()
def generator(n):
    t = tracked()
    for _ in range(n):
        got = yield (mirel.is_grad_enabled(), (t * 2.0).requires_grad)
        assert got in (None, "sent") and not mirel.is_grad_enabled()
    return "done"


def test_no_grad_generator_body_runs_without_recording_on_each_resumption():
    assert mirel.is_grad_enabled()
    gen = generator(3)
    assert next(gen) == (False, False)
    assert mirel.is_grad_enabled() and (tracked() * 2.0).requires_grad  # restored while suspended
    assert gen.send("sent") == (False, False)
    assert mirel.is_grad_enabled()

    def outer():
        return (yield from generator(2))

    assert list(outer()) == [(False, False)] * 2
    drained = generator(1)
    next(drained)
    with pytest.raises(StopIteration) as stop:
        next(drained)
    assert stop.value.value == "done" and mirel.is_grad_enabled()


@pytest.mark.parametrize("how", ["throw", "close"])
def test_no_grad_generator_sees_throw_and_close_without_recording(how):
    seen = []

    @mirel.no_grad()
    def gen():
        try:
            yield 1
        except ValueError:
            seen.append(("caught", mirel.is_grad_enabled()))
            yield 2
        finally:
            seen.append(("finally", mirel.is_grad_enabled()))

    g = gen()
    next(g)
    if how == "throw":
        assert g.throw(ValueError("x")) == 2
        assert mirel.is_grad_enabled()
    g.close()
    assert mirel.is_grad_enabled()
    assert seen == ([("caught", False)] if how == "throw" else []) + [("finally", False)]


def test_no_grad_coroutine_runs_without_recording_and_other_tasks_are_unaffected():
    @mirel.no_grad()
    async def body(step):
        seen = [mirel.is_grad_enabled()]
        await step.wait()
        seen.append(mirel.is_grad_enabled())
        seen.append((tracked() * 2.0).requires_grad)
        return seen

    async def other(step):
        await asyncio.sleep(0)
        seen = mirel.is_grad_enabled()  # runs while body is suspended
        step.set()
        return seen

    async def main():
        step = asyncio.Event()
        return await asyncio.gather(body(step), other(step))

    assert asyncio.run(main()) == [[False, False, False], True]
    assert mirel.is_grad_enabled()


def test_no_grad_async_generator_runs_without_recording():
    @mirel.no_grad()
    async def agen():
        for _ in range(2):
            await asyncio.sleep(0)
            yield mirel.is_grad_enabled(), (tracked() * 2.0).requires_grad

    async def main():
        out = []
        async for item in agen():
            out.append((item, mirel.is_grad_enabled()))
        return out

    assert asyncio.run(main()) == [((False, False), True)] * 2
    assert mirel.is_grad_enabled()


# Item 7: checkpoint edges.
def made(header, data=b""):
    text = json.dumps(header, separators=(",", ":")).encode()
    return struct.pack("<Q", len(text)) + text + data


@pytest.mark.parametrize("entry, culprit", [
    ({"dtype": "F32", "shape": [1] * 65, "data_offsets": [0, 4]}, "65 axes"),
    ({"dtype": "I32", "shape": [1] * 65, "data_offsets": [0, 4]}, "65 axes"),
    ({"dtype": "F32", "shape": [0, 2**63], "data_offsets": [0, 0]}, r"\[0, 9223372036854775808\]"),
    ({"dtype": "F32", "shape": [0, 2**62, 2], "data_offsets": [0, 0]}, "too large"),
    ({"dtype": "U8", "shape": [2**32, 2**31, 0], "data_offsets": [0, 0]}, "too large"),
])
def test_shapes_no_tensor_takes_are_refused_naming_file_and_entry(tmp_path, entry, culprit):
    path = tmp_path / "shape.safetensors"
    end = entry["data_offsets"][1]
    path.write_bytes(made({"big": entry, "ok": {"dtype": "F32", "shape": [1], "data_offsets": [end, end + 4]}},
                          bytes(end + 4)))
    with pytest.raises(ValueError, match=culprit) as e:
        checkpoint.load_file(path)
    assert str(path) in str(e.value) and "'big'" in str(e.value)


def test_a_header_of_too_many_entries_is_refused_cheaply(tmp_path):
    path = tmp_path / "many.safetensors"
    n = checkpoint.MAX_ENTRIES + 1
    entries = b",".join(b'"%d":{"dtype":"F32","shape":[0],"data_offsets":[0,0]}' % i for i in range(n))
    header = b"{" + entries + b"}"
    path.write_bytes(struct.pack("<Q", len(header)) + header)
    start = time.perf_counter()
    with pytest.raises(ValueError, match=f"{n} entries") as e:
        checkpoint.load_file(path)
    assert str(path) in str(e.value) and time.perf_counter() - start < 2.0
    # As many as allowed still load.
    ok = made({str(i): {"dtype": "F32", "shape": [0], "data_offsets": [0, 0]} for i in range(1000)})
    path.write_bytes(ok)
    assert len(checkpoint.load_file(path)) == 1000


class WithOptimizerChild(mirel.nn.Module):
    def __init__(self):
        super().__init__()
        self.optimizer = mirel.nn.Linear(2, 2, rng=1)
        self.head = mirel.nn.Linear(2, 1, rng=2)

    def forward(self, x):
        return self.head(F.relu(self.optimizer(x)))


def train_one(model, opt):
    loss = mirel.sum(model(Tensor(np.ones((4, 2), np.float32))))
    loss.backward()
    opt.step()
    Tensor.clear_graph()


@pytest.mark.parametrize("make", [
    WithOptimizerChild,
    lambda: mirel.Parameters({"w": np.ones(2), "optimizer.w.exp_avg": np.ones(3), "optimizer_1.x": np.ones(1)}),
])
def test_weights_whose_names_start_like_the_optimizers_round_trip(tmp_path, make):
    model, fresh = make(), make()
    holder = model.parameters() if hasattr(model, "parameters") else model
    opt = optim.AdamW(holder, lr=0.1)
    if isinstance(model, mirel.nn.Module):
        train_one(model, opt)
    else:
        opt.step({"w": np.ones(2), "optimizer.w.exp_avg": np.ones(3)})
    path = tmp_path / "c.safetensors"
    mirel.save_checkpoint(path, model, opt)
    fresh_holder = fresh.parameters() if hasattr(fresh, "parameters") else fresh
    fresh_opt = optim.AdamW(fresh_holder, lr=0.1)
    mirel.load_checkpoint(path, fresh, fresh_opt)
    assert_same(snapshot(fresh_holder, fresh_opt), snapshot(holder, opt))
    # Without an optimizer, the weights alone.
    other = make()
    mirel.load_checkpoint(path, other)
    other_holder = other.parameters() if hasattr(other, "parameters") else other
    for k, v in holder.state_dict().items():
        np.testing.assert_array_equal(other_holder.state_dict()[k], v)


def test_files_of_the_first_format_with_a_child_named_optimizer_load(tmp_path):
    model = WithOptimizerChild()
    opt = optim.AdamW(model.parameters(), lr=0.1)
    train_one(model, opt)
    # What the first format wrote: buffers under "optimizer.", no "prefix" in the JSON.
    tensors = dict(model.parameters().items())
    for name, buffers in opt.state.items():
        for key, array in buffers.items():
            tensors[f"optimizer.{name}.{key}"] = array
    info = {"type": "AdamW", "steps": opt.steps, "hyper": opt._hyper()}
    path = tmp_path / "old.safetensors"
    checkpoint.save_file(tensors, path, {"mirel.optimizer": json.dumps(info)})
    fresh = WithOptimizerChild()
    fresh_opt = optim.AdamW(fresh.parameters(), lr=0.1)
    mirel.load_checkpoint(path, fresh, fresh_opt)
    assert_same(snapshot(fresh.parameters(), fresh_opt), snapshot(model.parameters(), opt))


def test_a_plain_state_dict_with_a_child_named_optimizer_loads(tmp_path):
    model = WithOptimizerChild()
    path = tmp_path / "plain.safetensors"
    checkpoint.save_file(model.state_dict(), path)  # as safetensors.torch.save_file(model.state_dict()) would
    fresh = WithOptimizerChild()
    fresh.load_state_dict({k: np.zeros_like(v) for k, v in fresh.state_dict().items()})
    mirel.load_checkpoint(path, fresh)
    for k, v in model.state_dict().items():
        np.testing.assert_array_equal(fresh.state_dict()[k], v)


def temporaries(directory):
    return sorted(n for n in os.listdir(directory) if n.endswith(".tmp"))


@pytest.mark.parametrize("how", ["file left", "directory left", "killed"])
def test_stale_temporaries_of_the_same_target_are_removed_by_the_next_save(tmp_path, how):
    path = tmp_path / "c.safetensors"
    unrelated = tmp_path / ".other.safetensors.0123456789abcdef.tmp"
    unrelated.write_bytes(b"x")
    stale = tmp_path / ".c.safetensors.0123456789abcdef.tmp"
    if how == "file left":  # as the first version left it
        stale.write_bytes(b"partial")
    elif how == "directory left":
        stale.mkdir()
        (stale / "c.safetensors").write_bytes(b"")
        (stale / ".tmpAbC123").write_bytes(b"partial")  # safetensors' own temporary
    else:  # a writer killed in the middle of the write
        proc = run_python(f"""
            import os, signal, numpy as np, safetensors
            from mirel import checkpoint
            def dies(specs, filename, metadata=None):
                open(filename, "wb").write(b"partial")
                os.kill(os.getpid(), signal.SIGKILL)
            safetensors.serialize_file = dies
            checkpoint.save_file({{"w": np.zeros(4)}}, {str(path)!r})
        """)
        assert proc.returncode == -signal.SIGKILL
    assert len(temporaries(tmp_path)) == 2
    checkpoint.save_file({"w": np.ones(2)}, path)
    assert temporaries(tmp_path) == [unrelated.name]
    np.testing.assert_array_equal(checkpoint.load_file(path)["w"], np.ones(2))


@pytest.mark.parametrize("kind", ["file", "directory"])
def test_a_temporary_a_live_writer_holds_is_left_alone(tmp_path, kind):
    path = tmp_path / "c.safetensors"
    live = tmp_path / ".c.safetensors.00000000000000ff.tmp"
    if kind == "file":
        live.write_bytes(b"in progress")
    else:
        live.mkdir()
        (live / "c.safetensors").write_bytes(b"in progress")
    fd = os.open(live, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)  # as a saving process holds its temporary
        checkpoint.save_file({"w": np.ones(2)}, path)
        assert temporaries(tmp_path) == [live.name]
    finally:
        os.close(fd)
    checkpoint.save_file({"w": np.ones(2)}, path)
    assert temporaries(tmp_path) == []


def test_concurrent_saves_of_one_target_all_succeed_and_remove_stale_temporaries(tmp_path):
    path = tmp_path / "c.safetensors"
    (tmp_path / ".c.safetensors.0123456789abcdef.tmp").write_bytes(b"partial")
    errors = []

    def save(i):
        try:
            for _ in range(20):
                checkpoint.save_file({"w": np.full(1000, i, np.float32)}, path)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    import threading
    threads = [threading.Thread(target=save, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and temporaries(tmp_path) == []
    assert len(set(checkpoint.load_file(path)["w"].to_numpy().tolist())) == 1


class PanicException(BaseException):
    """Stands for pyo3_runtime.PanicException, which safetensors raises when an allocation fails."""


PanicException.__module__ = "pyo3_runtime"


@pytest.mark.parametrize("function, patched", [
    ("load_file", "deserialize"), ("load_metadata", "safe_open"), ("save_file", "serialize_file"),
])
def test_safetensors_panics_are_memory_errors(tmp_path, monkeypatch, function, patched):
    path = tmp_path / "c.safetensors"
    checkpoint.save_file({"w": np.ones(2)}, path)

    def panics(*args, **kwargs):
        raise PanicException("called `Result::unwrap()` on an `Err` value: MemoryError")

    monkeypatch.setattr(safetensors, patched, panics)
    with pytest.raises(MemoryError, match="MemoryError"):
        if function == "save_file":
            checkpoint.save_file({"w": np.zeros(2)}, path)
        else:
            getattr(checkpoint, function)(path)
    assert temporaries(tmp_path) == []


# clip_grad_norm with a non-finite norm, as PyTorch's clip_grad_norm_ (values from PyTorch 2.13).
def clipped_grads(a, b, **kwargs):
    params = mirel.Parameters({"a": np.zeros(3), "b": np.zeros(2)})
    p = params.leaves()
    (mirel.sum(p["a"] * Tensor(np.array(a, np.float32))) + mirel.sum(p["b"] * Tensor(np.array(b, np.float32)))
     ).backward()
    norm = optim.clip_grad_norm(params, 1.0, **kwargs)
    g = params.grads()
    return norm, g["a"].to_numpy(), g["b"].to_numpy()


@pytest.mark.parametrize("a, b", [([1.0, np.nan, 2.0], [3.0, -4.0]), ([1.0, 0.0, 2.0], [np.nan, 0.0])])
def test_clip_grad_norm_propagates_a_nan_norm_as_pytorch_does(a, b):
    norm, ga, gb = clipped_grads(a, b)
    assert np.isnan(norm) and np.isnan(ga).all() and np.isnan(gb).all()


@pytest.mark.parametrize("bad, expected_a, expected_b", [
    (np.nan, [np.nan] * 3, [np.nan] * 2),
    (np.inf, [0.0, np.nan, 0.0], [0.0, -0.0]),
    (-np.inf, [0.0, np.nan, 0.0], [0.0, -0.0]),
])
def test_clip_grad_norm_error_if_nonfinite(bad, expected_a, expected_b):
    with np.errstate(invalid="ignore"):
        norm, a, b = clipped_grads([1.0, bad, 2.0], [3.0, -4.0], error_if_nonfinite=False)
    assert np.isnan(norm) if np.isnan(bad) else norm == np.inf
    np.testing.assert_array_equal(a, np.array(expected_a, np.float32))
    np.testing.assert_array_equal(b, np.array(expected_b, np.float32))
    with pytest.raises(RuntimeError, match="non-finite"):
        clipped_grads([1.0, bad, 2.0], [3.0, -4.0], error_if_nonfinite=True)
    norm, a, b = clipped_grads([0.3, 0.0, 0.4], [0.0, 0.0], error_if_nonfinite=True)  # finite: as before
    assert norm == pytest.approx(0.5) and a.tolist() == pytest.approx([0.3, 0.0, 0.4])
