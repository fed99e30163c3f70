"""Every thread records on its own tape; tracked tensors do not cross threads."""
import threading
import time
from concurrent.futures import ThreadPoolExecutor

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
    """Run fn on a thread of its own, which has ended when this returns; its exception is raised here."""
    with ThreadPoolExecutor(1) as pool:
        return pool.submit(fn).result()


def test_concurrent_threads_get_their_own_gradients():
    n_threads = 4
    barrier = threading.Barrier(n_threads)

    def worker(k):
        rng = np.random.default_rng(k)
        barrier.wait(timeout=60)
        for i in range(150):
            xv, wv = rng.uniform(-2, 2, (2, 5)).astype(F32)
            x = Tensor(xv, requires_grad=True)
            time.sleep(0)  # hand the interpreter to another thread mid-graph
            y = relu(x * Tensor(wv, requires_grad=True)) + x * float(k)
            time.sleep(0)
            y.backward()
            np.testing.assert_array_equal(x.grad(), F32(k) + np.where(xv * wv > 0, wv, F32(0)))
            np.testing.assert_array_equal(y.grad(), np.ones(5, F32))
            if i % 7 == 6:
                Tensor.clear_graph()

    with ThreadPoolExecutor(n_threads) as pool:
        list(pool.map(worker, range(n_threads)))


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
        own = Tensor([3.0, 4.0], requires_grad=True)  # this thread's first leaf, at x's position on main's tape
        own.backward()
        np.testing.assert_array_equal(own.grad(), [1.0, 1.0])
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
