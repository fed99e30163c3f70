"""Every thread records on its own tape; tracked tensors do not cross threads."""
import threading
import time

import numpy as np
import pytest

from mirel_core import Tensor
from mirel_core import nn

relu = nn.functional.relu  # the submodules are attributes, not importable packages

F32 = np.float32
FOREIGN = r"(?is)(?=.*clear_graph)(?=.*thread)(?=.*new tensor)"


@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()


def on_new_thread(fn):
    box = {}

    def target():
        try:
            box["result"] = fn()
        except BaseException as e:  # re-raised on the calling thread
            box["error"] = e

    t = threading.Thread(target=target)
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box.get("result")


def test_concurrent_threads_get_their_own_gradients():
    n_threads, rounds = 4, 150
    barrier = threading.Barrier(n_threads)
    failures = []

    def worker(k):
        rng = np.random.default_rng(k)
        barrier.wait()
        for i in range(rounds):
            xv, wv = rng.uniform(-2, 2, (2, 5)).astype(F32)
            x = Tensor(xv, requires_grad=True)
            time.sleep(0)  # hand the interpreter to another thread mid-graph
            w = Tensor(wv, requires_grad=True)
            y = relu(x * w) + x * float(k)
            time.sleep(0)
            y.backward()
            expected = F32(k) + np.where(xv * wv > 0, wv, F32(0))
            if not (np.array_equal(x.grad(), expected) and np.array_equal(y.grad(), np.ones(5, F32))):
                failures.append((k, i))
            if i % 7 == 6:
                Tensor.clear_graph()

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_first_leaf_on_a_new_thread():
    main = [Tensor([float(i)], requires_grad=True) for i in range(4)]
    (main[3] * 2.0).backward()

    def body():
        x = Tensor([1.0, 2.0], requires_grad=True)
        x.backward()
        ones = x.grad()
        (x * 3.0).backward()
        return ones, x.grad()

    ones, scaled = on_new_thread(body)
    np.testing.assert_array_equal(ones, [1.0, 1.0])
    np.testing.assert_array_equal(scaled, [3.0, 3.0])
    np.testing.assert_array_equal(main[3].grad(), [2.0])  # the main thread's tape is untouched


@pytest.mark.parametrize("use", [
    pytest.param(lambda t: t * 2.0, id="scalar"),
    pytest.param(lambda t: relu(t), id="relu"),
    pytest.param(lambda t: t + Tensor([1.0, 1.0]), id="with-constant"),
    pytest.param(lambda t: t.reshape([2, 1]), id="reshape"),
    pytest.param(lambda t: t.backward(), id="backward"),
])
def test_tensor_from_another_thread(use):
    x = Tensor([1.0, 2.0], requires_grad=True)
    c = Tensor([5.0, 7.0])
    (x * 2.0).backward()

    def body():
        own = Tensor([3.0, 4.0], requires_grad=True)  # the same position on this thread's tape as x on main
        (own * c).backward()
        np.testing.assert_array_equal(own.grad(), [5.0, 7.0])
        assert x.grad() is None
        with pytest.raises(RuntimeError, match=FOREIGN):
            use(x)
        assert (x < 1.5).to_numpy().tolist() == [True, False]  # nothing recorded: fine

    on_new_thread(body)
    np.testing.assert_array_equal(x.grad(), [2.0, 2.0])
    (x * 4.0).backward()
    np.testing.assert_array_equal(x.grad(), [4.0, 4.0])


def test_tensor_from_a_finished_thread():
    def body():
        t = Tensor([1.0, 2.0], requires_grad=True)
        t.backward()
        return t, t * 3.0, Tensor([2.0, 2.0]) * 3.0

    t, derived, constant = on_new_thread(body)
    assert t.grad() is None and derived.grad() is None
    with pytest.raises(RuntimeError, match=FOREIGN):
        derived + 1.0
    x = Tensor([1.0, 1.0], requires_grad=True)
    (x * constant).backward()
    np.testing.assert_array_equal(x.grad(), [6.0, 6.0])
