"""The thread pool: the same bits at every thread count, the count's controls, and a
pool that survives other threads, fork, signals and exit."""
import os
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import mirel
from conftest import COUNT_THREADS, assert_runs

F = mirel.nn.functional
COUNTS = (1, 2, 3, 7)  # more threads than cores is allowed


@pytest.fixture(autouse=True)
def restore_thread_count():
    before = mirel.get_num_threads()
    yield
    mirel.set_num_threads(before)


def at_each_count(fn):
    """fn() at every thread count, as lists of NumPy arrays; asserts they are bit-identical."""
    results = {}
    for n in COUNTS:
        mirel.set_num_threads(n)
        out = fn()
        results[n] = [np.asarray(o) for o in (out if isinstance(out, (list, tuple)) else [out])]
    for n in COUNTS[1:]:
        for one, many in zip(results[1], results[n]):
            assert one.dtype == many.dtype and one.shape == many.shape
            assert one.tobytes() == many.tobytes(), f"{n} threads differ from 1"
    return results[1]


def data(shape, seed=0, dtype="f32", scale=1.0):
    rng = np.random.default_rng(seed)
    return rng.standard_normal(shape).astype(np.float32) * scale


def leaf(a, dtype="f32"):
    return mirel.tensor(a, dtype=dtype, requires_grad=True)


def grads_of(loss, *leaves):
    loss.backward()
    return [x.grad.numpy().astype(np.float32) for x in leaves]


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
@pytest.mark.parametrize("a_shape, b_shape, transpose", [
    ((333, 517), (517, 271), False),     # uneven bands of rows
    ((37, 300), (300, 1031), False),     # bands of columns
    ((5, 97, 130), (130, 61), False),    # a batch folded into rows
    ((9, 70, 64), (9, 64, 70), False),   # many products, few rows each
    ((3, 1, 200, 64), (4, 64, 300), False),  # broadcast batch
    ((513, 300), (513, 400), True),      # a transposed operand
    ((600, 0), (0, 700), False),         # k = 0
])
def test_products_and_their_gradients(dtype, a_shape, b_shape, transpose):
    def run():
        a, b = leaf(data(a_shape, 1), dtype), leaf(data(b_shape, 2), dtype)
        c = (a.T if transpose else a) @ b
        return [c.numpy().astype(np.float32)] + grads_of(mirel.sum(c * c), a, b)
    at_each_count(run)


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
def test_elementwise_math_and_sums(dtype):
    x = data((300, 700), 3)
    x[5, 7] = np.nan

    def run():
        a, b = leaf(x, dtype), leaf(data((700,), 4), dtype)
        y = mirel.tanh(a * b + mirel.exp(b)) / (b * b + 1)
        sums = [mirel.sum(y), mirel.sum(y, axis=0), mirel.mean(y, axis=1), mirel.sum(y.T, axis=1),
                mirel.sum(mirel.reshape(y, (30, 10, 700)), axis=(0, 2)), mirel.max(y, axis=0)]
        loss = mirel.sum(mirel.where(y > 0, y, y * 0.5)) + mirel.sum(mirel.maximum(y, b) ** 2)
        return [s.numpy().astype(np.float32) for s in sums] + [y.numpy().astype(np.float32)] + grads_of(loss, a, b)
    at_each_count(run)


def test_a_long_sum_keeps_its_tree_of_blocks():
    x = data((3_000_017,), 5, scale=1e3)

    def run():
        t = mirel.tensor(x)
        return [mirel.sum(t).numpy(), mirel.sum(t[::3]).numpy(), mirel.mean(t).numpy()]
    ones = at_each_count(run)
    assert ones[0] == np.float32(ones[0])


@pytest.mark.parametrize("dtype", ["f32", "bf16"])
def test_softmax_cross_entropy_and_norms(dtype):
    logits, labels = data((4000, 37), 6), np.random.default_rng(6).integers(0, 37, 4000)

    def run():
        x, w, b = leaf(logits, dtype), leaf(data((37,), 7), dtype), leaf(data((37,), 8), dtype)
        y = F.layer_norm(x, (37,), w, b) + F.rms_norm(x, (37,), w)
        ce = F.cross_entropy(y, labels)
        s = mirel.sum(F.softmax(y, axis=0) * F.log_softmax(x.T, axis=1).T)
        return [ce.numpy().astype(np.float32), y.numpy().astype(np.float32)] + grads_of(ce + s, x, w, b)
    at_each_count(run)


@pytest.mark.parametrize("causal", [False, True])
def test_attention_forward_backward_and_dropout(causal):
    def run():
        q, k, v = (leaf(data((2, 3, 130, 16), s)) for s in (10, 11, 12))
        mirel.manual_seed(3)
        y = F.scaled_dot_product_attention(q, k, v, is_causal=causal, dropout_p=0.1)
        y = F.dropout(y, 0.2, generator=mirel.random.Generator(4))
        return [y.numpy()] + grads_of(mirel.sum(y * y), q, k, v)
    at_each_count(run)


def test_random_draws():
    def run():
        g = mirel.random.Generator(11)
        return [g.uniform((100_003,)).numpy(), g.normal((70_001,), dtype="bf16").numpy().astype(np.float32),
                g.bernoulli(0.3, (50_000,)).numpy(), g.randint(0, 1000, (40_001,)), g.permutation(30_000)]
    at_each_count(run)


@pytest.mark.parametrize("make", [
    lambda p: mirel.optim.AdamW(p, lr=1e-2, weight_decay=0.1),
    lambda p: mirel.optim.SGD(p, lr=1e-2, momentum=0.9, nesterov=True),
])
def test_training_steps(make):
    x, y = data((256, 784), 20), np.random.default_rng(21).integers(0, 10, 256)

    def run():
        model = mirel.nn.Sequential(mirel.nn.Linear(784, 256, rng=1), mirel.nn.ReLU(), mirel.nn.Linear(256, 10, rng=2))
        opt = make(model.parameters())
        for _ in range(3):
            opt.zero_grad()
            F.cross_entropy(model(mirel.tensor(x)), y).backward()
            opt.step()
        return list(model.parameters().state_dict().values())
    at_each_count(run)


@settings(max_examples=25, deadline=None)
@given(m=st.integers(1, 300), k=st.integers(0, 300), n=st.integers(1, 300), batch=st.integers(1, 4))
def test_drawn_shapes(m, k, n, batch):
    a, b = data((batch, m, k), m), data((k, n), n)

    def run():
        ta, tb = mirel.tensor(a), mirel.tensor(b)
        c = ta @ tb
        return [c.numpy(), (c + 1.5).numpy(), mirel.sum(c, axis=1).numpy(), F.softmax(c, axis=-1).numpy()]
    at_each_count(run)


def test_thread_count_controls():
    assert mirel.get_num_threads() >= 1
    mirel.set_num_threads(3)
    assert mirel.get_num_threads() == 3
    for bad, kind in [(0, ValueError), (-2, ValueError), (1025, ValueError), (2**70, ValueError),
                      (2.0, TypeError), ("2", TypeError), (True, TypeError), (None, TypeError)]:
        with pytest.raises(kind, match="set_num_threads"):
            mirel.set_num_threads(bad)
    assert mirel.get_num_threads() == 3
    mirel.set_num_threads(np.int64(2))
    assert mirel.get_num_threads() == 2


@pytest.mark.parametrize("env, affinity, want", [
    ({"MIREL_NUM_THREADS": "5"}, None, 5),
    ({"MIREL_NUM_THREADS": "zero"}, {0}, 1),  # not a count: the CPUs decide
    ({}, {0}, 1),
    ({}, None, None),  # the CPUs this process may use
])
def test_default_count_follows_the_environment_and_the_affinity_mask(env, affinity, want):
    out = assert_runs(f"""
    import os
    os.environ.pop("MIREL_NUM_THREADS", None)
    os.environ.update({env!r})
    if {affinity!r} is not None:
        os.sched_setaffinity(0, {affinity!r})
    import mirel
    print(mirel.get_num_threads())
    """)
    assert int(out) == (want or mirel._native._available_cpus())


def test_pool_starts_at_the_first_large_operation_only():
    out = assert_runs(COUNT_THREADS + """
    import numpy as np
    before = threads()
    import mirel
    mirel.set_num_threads(3)
    small = mirel.tensor(np.ones((4, 4), np.float32))
    (small @ small + small).numpy()
    after_small = threads()
    big = mirel.tensor(np.ones((512, 512), np.float32))
    (big @ big).numpy()
    print(before, after_small, threads(), mirel._native._pool_started())
    """)
    before, after_small, after_big, started = out.split()
    assert before == after_small and int(after_big) == int(before) + 2 and started == "True"


def test_fork_while_the_pool_is_busy_leaves_a_working_child():
    assert_runs("""
    import os, threading, numpy as np, mirel
    mirel.set_num_threads(2)
    a = mirel.tensor(np.random.default_rng(0).standard_normal((700, 700)).astype(np.float32))
    want = (a @ a).numpy()
    stop = threading.Event()
    def busy():
        while not stop.is_set():
            a @ a
    worker = threading.Thread(target=busy)
    worker.start()
    for _ in range(3):
        pid = os.fork()
        if pid == 0:
            ok = (a @ a).numpy().tobytes() == want.tobytes() and mirel.sum(a).numpy() == mirel.sum(a).numpy()
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
    stop.set()
    worker.join()
    """)


def test_python_threads_share_the_pool():
    x, y = data((128, 300), 30), np.random.default_rng(31).integers(0, 10, 128)

    def train(out, i):
        model = mirel.nn.Sequential(mirel.nn.Linear(300, 200, rng=1), mirel.nn.ReLU(), mirel.nn.Linear(200, 10, rng=2))
        opt = mirel.optim.AdamW(model.parameters(), lr=1e-2)
        for _ in range(3):
            opt.zero_grad()
            F.cross_entropy(model(mirel.tensor(x)), y).backward()
            opt.step()
        out[i] = [p.tobytes() for p in model.parameters().state_dict().values()]

    mirel.set_num_threads(2)
    alone = {}
    train(alone, 0)
    together = {}
    threads = [threading.Thread(target=train, args=(together, i)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(together[i] == alone[0] for i in range(8))


def test_signals_and_exit_during_parallel_work():
    assert_runs("""
    import signal, threading, numpy as np, mirel
    mirel.set_num_threads(2)
    a = mirel.tensor(np.ones((600, 600), np.float32))
    hits = []
    signal.signal(signal.SIGALRM, lambda *_: hits.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    for _ in range(40):
        assert (a @ a).numpy()[0, 0] == 600.0
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert hits
    def forever():
        while True:
            a @ a
    for _ in range(2):
        threading.Thread(target=forever, daemon=True).start()
    """)
