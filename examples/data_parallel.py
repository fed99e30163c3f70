"""Train the demo's perceptron with synchronous data parallelism on Ray.

Each worker (a Ray actor) holds a replica of the parameters and one shard of the
batch. Every step, each worker computes its shard's gradients with mirel_core;
the driver adds them up, in a fixed order, and sends the one result back to every
worker, which all apply the same update, so the replicas stay bit-identical.
Each shard's squared errors are scaled by 1 / (whole batch size), so the sum of
the shards' gradients is the whole batch's gradient, as in examples/demo.py, up
to the order of the additions.

    python examples/data_parallel.py                   # a local Ray with 2 workers
    python examples/data_parallel.py --workers 4 --address auto   # an existing cluster

With the demo's defaults the final accuracy matches examples/demo.py. Those steps
are far too small to gain from more processes (each costs a fraction of a
millisecond, less than one round trip to the workers); --points-per-class and
--hidden make them large enough to show the speed-up.
"""

# Annotations stay text: Ray pickles Replica by value, and with it whatever its
# annotations name; Tensor (whose __module__ is "mirel") cannot be pickled.
from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    import ray
except ImportError:  # the argument parser still works; main() says what to install
    ray = None  # type: ignore[assignment]

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # demo.py, also under python -P
import demo  # noqa: E402
import mirel  # noqa: E402
from mirel_core import Tensor  # noqa: E402

# For ray.init: Ray copies demo.py to every worker's node and puts it on the path.
RUNTIME_ENV = {"py_modules": [demo.__file__]}

Labels = npt.NDArray[np.int64]
Grads = dict[str, demo.Array]
StepResult = tuple[float, int, Grads]  # loss, correct predictions, gradients


class Replica:
    """One worker: a replica of the parameters and a shard of the batch."""

    def __init__(
        self, x: Tensor, targets: Tensor, labels: Labels, params: dict[str, demo.Array], scale: float,
        threads: int = 1,
    ) -> None:
        mirel.set_num_threads(threads)  # one core each by default: the workers share the machine
        self.x, self.targets, self.labels = x, targets, labels  # Tensors arrive by value
        self.params = mirel.Parameters(params)
        self.optimizer = mirel.optim.SGD(self.params, lr=demo.LEARNING_RATE)
        self.scale = scale  # 1 / (whole batch size)

    def step(self, grads: Grads | None = None) -> StepResult:
        """Applies the previous step's summed gradients, if any, then returns this
        shard's (loss, correct predictions, gradients) for the next step."""
        if grads is not None:
            self.optimizer.step(grads)
        loss, outputs, shard_grads = demo.gradients(self.x, self.targets, self.params, self.scale)
        correct = int((outputs.argmax(axis=1) == self.labels).sum())
        return loss, correct, shard_grads

    def weights(self) -> dict[str, demo.Array]:
        return self.params.state_dict()

    def threads(self) -> int:
        return mirel.get_num_threads()


if ray is not None:  # the actor class under the class's own name, so that Ray sends it by value
    Replica = ray.remote(num_cpus=1)(Replica)  # type: ignore[misc,assignment]


def make_replicas(workers: int, points: demo.Array, labels: Labels, params: dict[str, demo.Array],
                  threads: int = 1) -> list[Any]:
    """Starts one Replica per worker, each with every workers-th sample and `threads` threads of its own."""
    targets = np.eye(2, dtype=np.float32)[labels]
    scale = 1.0 / len(points)
    return [
        # (type checkers take the actor class for the plain one, without options())
        Replica.options(scheduling_strategy="SPREAD").remote(  # type: ignore[attr-defined]  # spread over the nodes
            Tensor(points[k::workers]), Tensor(targets[k::workers]), labels[k::workers], params, scale, threads)
        for k in range(workers)
    ]


def add_up(results: Sequence[StepResult]) -> StepResult:
    """(loss, correct, gradients) summed over the workers, always in worker order."""
    loss = sum(r[0] for r in results)
    correct = sum(r[1] for r in results)
    grads = {name: g.copy() for name, g in results[0][2].items()}
    for r in results[1:]:
        for name, g in r[2].items():
            grads[name] += g
    return loss, correct, grads


def step(replicas: list[Any], grads_ref: Any = None) -> tuple[float, int, Any]:
    """One synchronous step: every replica applies the summed gradients of the step
    before (grads_ref, if any) and computes its shard's. Returns the loss, the
    correct predictions (both before the update) and a reference to the new sum."""
    loss, correct, grads = add_up(ray.get([r.step.remote(grads_ref) for r in replicas]))
    return loss, correct, ray.put(grads)  # serialised once, read by every replica


def train(
    replicas: list[Any],
    steps: int,
    n_points: int,
    report: Callable[[int, float, float, float], None] | None = None,
    report_every: int = demo.REPORT_EVERY,
) -> float:
    """Runs the steps; calls report(step, loss, accuracy, steps per second) along the way.
    Returns the seconds per step."""
    grads_ref = None
    start = last = time.perf_counter()
    last_step = 0
    for k in range(1, steps + 1):
        loss, correct, grads_ref = step(replicas, grads_ref)
        now = time.perf_counter()
        if report and (k % report_every == 0 or k == 1 or k == steps):
            report(k, loss, correct / n_points, (k - last_step) / (now - last))
            last, last_step = now, k
    ray.get([r.step.remote(grads_ref) for r in replicas])  # the last update
    return (time.perf_counter() - start) / steps


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--workers", type=int, default=2, help="number of replicas (default 2)")
    p.add_argument("--address", help="join this Ray cluster (e.g. auto, or ray://head:10001) "
                                     "instead of starting a local one")
    p.add_argument("--steps", type=int, default=demo.STEPS, help=f"full-batch steps (default {demo.STEPS})")
    p.add_argument("--points-per-class", type=int, default=200, help="data set size per spiral (default 200)")
    p.add_argument("--hidden", type=int, default=demo.HIDDEN, help=f"hidden units (default {demo.HIDDEN})")
    p.add_argument("--threads-per-worker", type=int, default=1,
                   help="threads each worker's operations use (default 1: the workers share the machine)")
    args = p.parse_args(argv)
    if (args.workers < 1 or args.steps < 1 or 2 * args.points_per_class < args.workers or args.hidden < 1
            or args.threads_per_worker < 1):
        p.error("--workers, --steps, --hidden and --threads-per-worker must be at least 1, and every worker "
                "needs a point")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    if ray is None:
        print("this example needs Ray: pip install 'mirel_core[distributed]' (or pip install ray)", file=sys.stderr)
        return 2
    if args.address:
        ray.init(address=args.address, runtime_env=RUNTIME_ENV)
    else:
        # "local": a new instance of our own, even if another one runs on this machine
        ray.init(address="local", num_cpus=args.workers, include_dashboard=False, runtime_env=RUNTIME_ENV)
    try:
        points, labels = demo.make_spirals(args.points_per_class)
        params = demo.init_params(hidden=args.hidden)
        print(f"two spirals: {len(points)} points; perceptron 2 -> {args.hidden} (relu) -> 2; "
              f"{args.steps} full-batch steps on {args.workers} Ray workers, "
              f"learning rate {demo.LEARNING_RATE}", flush=True)
        start = time.perf_counter()
        replicas = make_replicas(args.workers, points, labels, params, args.threads_per_worker)
        ray.get([r.weights.remote() for r in replicas])  # waits for the workers to start
        print(f"{args.workers} workers ready in {time.perf_counter() - start:.1f} s", flush=True)

        def report(step: int, loss: float, accuracy: float, rate: float) -> None:  # every full-batch step is one epoch
            print(f"epoch {step:5d}/{args.steps} {demo.progress_bar(step, args.steps)} loss {loss:.4f}  "
                  f"accuracy {accuracy:6.1%}  {rate:7.1f} steps/s", flush=True)

        per_step = train(replicas, args.steps, len(points), report)
        weights = ray.get([r.weights.remote() for r in replicas])
        identical = all(w[name].tobytes() == weights[0][name].tobytes() for w in weights for name in params)
        final = demo.forward(Tensor(points), {name: Tensor(v) for name, v in weights[0].items()}).to_numpy()
        print(f"final training accuracy: {demo.accuracy(final, labels):.1%} "
              f"({1e3 * per_step:.2f} ms per step); replicas identical: {'yes' if identical else 'NO'}")
        return 0 if identical else 1
    finally:
        ray.shutdown()


if __name__ == "__main__":
    sys.exit(main())
