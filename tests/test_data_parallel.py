"""Data-parallel training on local Ray workers (examples/data_parallel.py).

Skipped where Ray is not installed (it is the optional extra "distributed").
"""
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ray = pytest.importorskip("ray")

import mirel  # noqa: E402
from mirel_core import Tensor  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
import data_parallel as dp  # noqa: E402
import demo  # noqa: E402


@pytest.fixture(scope="module")
def local_ray():
    ray.init(address="local", num_cpus=3, include_dashboard=False, object_store_memory=100 << 20,
             runtime_env=dp.RUNTIME_ENV, log_to_driver=False)
    yield
    ray.shutdown()


@pytest.fixture
def spirals():
    points, labels = demo.make_spirals(51)  # 102 points: shards of 51, or 34 with three workers
    return points, labels, demo.init_params()


def full_batch(points, labels, params):
    """The single-process step: (loss, correct predictions, gradients)."""
    targets = np.eye(2, dtype=np.float32)[labels]
    loss, outputs, grads = demo.gradients(Tensor(points), Tensor(targets), mirel.Parameters(params))
    return loss, int((outputs.argmax(axis=1) == labels).sum()), grads


def assert_close_to_f32_rounding(got, want):
    for name, w in want.items():
        np.testing.assert_allclose(got[name], w, rtol=1e-5, atol=1e-6 * np.abs(w).max(), err_msg=name)


def test_example_trains_and_keeps_replicas_identical():
    # Before the module's own Ray starts: the example starts and stops its own.
    proc = subprocess.run(
        [sys.executable, str(EXAMPLES / "data_parallel.py"), "--steps", "30", "--points-per-class", "40"],
        capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    assert "on 2 Ray workers" in lines[0]
    assert any(line.startswith("epoch    30/30") and "steps/s" in line for line in lines)
    assert lines[-1].startswith("final training accuracy:") and lines[-1].endswith("replicas identical: yes")


@pytest.mark.parametrize("workers", [2, 3])
def test_one_step_sums_to_the_full_batch_gradient(local_ray, spirals, workers):
    points, labels, params = spirals
    loss, correct, grads_ref = dp.step(dp.make_replicas(workers, points, labels, params))
    want_loss, want_correct, want = full_batch(points, labels, params)
    assert_close_to_f32_rounding(ray.get(grads_ref), want)
    assert loss == pytest.approx(want_loss, rel=1e-5)
    assert correct == want_correct


def test_replicas_stay_bit_identical_and_follow_single_process_training(local_ray, spirals):
    points, labels, params = spirals
    replicas = dp.make_replicas(2, points, labels, params)
    grads_ref = None
    for _ in range(6):
        _, _, grads_ref = dp.step(replicas, grads_ref)
    ray.get([r.step.remote(grads_ref) for r in replicas])  # the sixth update
    first, second = ray.get([r.weights.remote() for r in replicas])

    reference = mirel.optim.SGD(mirel.Parameters(params), lr=demo.LEARNING_RATE)
    for _ in range(6):
        reference.step(full_batch(points, labels, reference.params.state_dict())[2])
    for name in params:
        assert first[name].tobytes() == second[name].tobytes(), name
        assert not np.array_equal(first[name], params[name]), name
        np.testing.assert_allclose(first[name], reference.params[name].to_numpy(), rtol=1e-4, atol=1e-6,
                                   err_msg=name)


@pytest.mark.parametrize("threads", [None, 2])
def test_workers_take_one_thread_unless_told(local_ray, spirals, threads):
    points, labels, params = spirals
    extra = () if threads is None else (threads,)
    replicas = dp.make_replicas(2, points, labels, params, *extra)
    assert ray.get([r.threads.remote() for r in replicas]) == [threads or 1] * 2
