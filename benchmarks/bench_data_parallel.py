"""Time per step of examples/data_parallel.py with 1 and 2 Ray workers, beside one process.

A step is the demo's full-batch step: forward, backward and the parameter update.
In one process that is demo.train_step; on Ray it is one round of the example:
every worker applies the last summed gradients and computes its shard's, and the
driver adds them up. Two sizes:

* demo: 400 points, 64 hidden units. A step costs a fraction of a millisecond,
  less than one round trip to the workers, so more workers cannot help.
* large: 20,000 points, 256 hidden units, where the arithmetic dominates.

Each figure is the median of several samples, taken in turn so that a busy moment
on the machine hits all of them alike; "speed-up" is the 1-worker time over the
2-worker time. Needs Ray (pip install '.[distributed]'):

    .venv/py3.13/bin/python benchmarks/bench_data_parallel.py
"""

import os
import sys

import numpy as np
import ray

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
import data_parallel as dp  # noqa: E402
import demo  # noqa: E402
import mirel  # noqa: E402
from mirel_core import Tensor  # noqa: E402
from timing import median_times  # noqa: E402

SIZES = {"demo": (200, 64), "large": (10_000, 256)}


def in_process_step(points, labels, params):
    x, targets = Tensor(points), Tensor(np.eye(2, dtype=np.float32)[labels])
    optimizer = mirel.optim.SGD(mirel.Parameters(params), lr=demo.LEARNING_RATE)
    return lambda: demo.train_step(x, targets, optimizer)


def ray_step(replicas):
    grads_ref = [None]

    def run():
        grads_ref[0] = dp.step(replicas, grads_ref[0])[2]

    run()  # the first step waits for the workers to start
    return run


def main():
    ray.init(address="local", num_cpus=3, include_dashboard=False, runtime_env=dp.RUNTIME_ENV,
             log_to_driver=False)
    try:
        print(f"{'size':<6} {'points':>7} {'hidden':>6} {'1 process':>10} {'1 worker':>10} "
              f"{'2 workers':>10} {'speed-up':>9}  (ms per step, medians)")
        for name, (per_class, hidden) in SIZES.items():
            points, labels = demo.make_spirals(per_class)
            params = demo.init_params(hidden=hidden)
            steps = [in_process_step(points, labels, params)]
            steps += [ray_step(dp.make_replicas(n, points, labels, params)) for n in (1, 2)]
            single, one, two = median_times(*steps, samples=9, min_sample_seconds=0.05)
            print(f"{name:<6} {len(points):>7} {hidden:>6} {1e3 * single:>10.2f} {1e3 * one:>10.2f} "
                  f"{1e3 * two:>10.2f} {one / two:>8.2f}x", flush=True)
    finally:
        ray.shutdown()
    print(f"load average while measuring: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
