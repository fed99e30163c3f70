"""Autograd overhead of mirel_core beside PyTorch (when it imports).

Two workloads, both dominated by per-operation bookkeeping rather than arithmetic:

* chain: record 1,000 scalar multiplications on a 1-element tensor, run
  backward() and free the graph (clear_graph() for us; PyTorch frees it in
  backward()). Target: at most 0.3x PyTorch's time.
* mlp step: a two-layer elementwise network on [64, 32] inputs with broadcast
  [32] parameters, no matmul: relu(x * w1 + b1) * w2 + b2, squared error
  against a target, backward from the [64, 32] error with a seed of ones,
  then the four parameter gradients read out as NumPy arrays. Our gradients
  keep the broadcast shape [64, 32]; PyTorch reduces them to [32]. The
  reduced sums are checked against PyTorch's once before timing.

Everything runs in one process on one thread (torch.set_num_threads(1)). Each
figure is the median of several samples; ratios are our time over PyTorch's,
so below 1 means we are faster.

PyTorch's CPU build on our machines is for Python 3.11. To compare against it:

    /root/.pyenv/versions/3.11.7/bin/python3 -m venv /tmp/v311
    /tmp/v311/bin/pip install numpy ml_dtypes torch==2.13.0 scipy-openblas32 \\
        scikit-build-core pytest hypothesis threadpoolctl
    /tmp/v311/bin/pip install --no-build-isolation /path/to/mirel_core
    /tmp/v311/bin/python benchmarks/bench_autograd.py

With any other interpreter that has mirel_core installed the script still
times our side and says that the PyTorch comparison was skipped.
"""

import sys

import numpy as np

from mirel_core import Tensor
from mirel_core import nn
from timing import median_times

relu = nn.functional.relu  # the submodules are attributes, not importable packages

try:
    import torch
except ImportError:
    torch = None

SAMPLES = 15
MIN_SAMPLE_SECONDS = 0.05
CHAIN_LENGTH = 1000
CHAIN_TARGET = 0.3


def chain_ours():
    x = Tensor(np.ones(1, np.float32), requires_grad=True)
    y = x
    for _ in range(CHAIN_LENGTH):
        y = y * 1.0001
    y.backward()
    g = x.grad()
    Tensor.clear_graph()
    return g


def chain_torch():
    x = torch.ones(1, requires_grad=True)
    y = x
    for _ in range(CHAIN_LENGTH):
        y = y * 1.0001
    y.backward()
    return x.grad


def mlp_data(seed=0):
    rng = np.random.default_rng(seed)
    x, target = rng.standard_normal((2, 64, 32), dtype=np.float32)
    params = rng.standard_normal((4, 32), dtype=np.float32) * np.float32(0.5)
    return x, target, params


def mlp_ours(x, target, params):
    x, target = Tensor(x), Tensor(target)
    w1, b1, w2, b2 = (Tensor(p, requires_grad=True) for p in params)
    err = relu(x * w1 + b1) * w2 + b2 - target
    (err * err).backward()
    grads = [p.grad() for p in (w1, b1, w2, b2)]
    Tensor.clear_graph()
    return grads


def mlp_torch(x, target, params):
    x, target = torch.from_numpy(x), torch.from_numpy(target)
    w1, b1, w2, b2 = (torch.tensor(p, requires_grad=True) for p in params)
    err = torch.relu(x * w1 + b1) * w2 + b2 - target
    loss = err * err
    loss.backward(torch.ones_like(loss))
    return [p.grad.numpy() for p in (w1, b1, w2, b2)]


def row(name, ours, theirs, target=None):
    if theirs is None:
        print(f"  {name:<28} ours {ours * 1e6:10.1f} us   torch {'skipped':>10}")
        return
    ratio = ours / theirs
    verdict = "" if target is None else f"   target <= {target}: {'met' if ratio <= target else 'MISSED'}"
    print(f"  {name:<28} ours {ours * 1e6:10.1f} us   torch {theirs * 1e6:10.1f} us   ratio {ratio:5.2f}{verdict}")


def main():
    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}")
    if torch is None:
        print("PyTorch not importable: peer comparison skipped, timing mirel_core only")
    else:
        torch.set_num_threads(1)
        print(f"PyTorch {torch.__version__}, 1 thread")

    data = mlp_data()
    if torch is not None:
        ours = [g.sum(axis=0) for g in mlp_ours(*data)]
        for mine, theirs in zip(ours, mlp_torch(*data)):
            np.testing.assert_allclose(mine, theirs, rtol=1e-4, atol=1e-4)
        np.testing.assert_allclose(chain_ours(), chain_torch().numpy(), rtol=1e-5)

    print("median time per call:")
    cases = [
        (f"chain of {CHAIN_LENGTH} x*s + backward", chain_ours, chain_torch, CHAIN_TARGET),
        ("mlp step [64, 32]", lambda: mlp_ours(*data), lambda: mlp_torch(*data), None),
    ]
    for name, ours, theirs, target in cases:
        if torch is None:
            row(name, median_times(ours, samples=SAMPLES, min_sample_seconds=MIN_SAMPLE_SECONDS)[0], None)
        else:
            row(name, *median_times(ours, theirs, samples=SAMPLES, min_sample_seconds=MIN_SAMPLE_SECONDS), target)


if __name__ == "__main__":
    main()
