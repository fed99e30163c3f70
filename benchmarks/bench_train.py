"""One training step of a two-layer perceptron: mirel_core beside NumPy and PyTorch.

A step is the whole loop body of a training program: forward (x @ w1 + b1, relu,
@ w2 + b2), squared error against the targets, backward, reading every parameter
gradient out as a NumPy array, and the plain gradient-descent update of the
NumPy parameter arrays. The input batch and the targets are constants.

* NumPy: the same step written by hand (the backward products and the bias sums
  spelled out), float32 throughout.
* PyTorch: autograd with the same seed of ones; its parameters are updated in place.
* bf16: our step in bfloat16 beside PyTorch's in bfloat16 (NumPy has no bfloat16 BLAS).
  Every tensor computation runs in bf16 on both sides; our float32 parameters are
  rounded to bf16 each step and updated in float32, PyTorch's are bf16 updated in place.

Targets (time ratios, below 1 means we are faster): f32 at most 0.95x NumPy and
at most 0.8x PyTorch.

Everything runs in one process on one thread: NumPy's BLAS through threadpoolctl,
PyTorch through torch.set_num_threads(1); mirel_core always uses one. NumPy's
OpenBLAS reads OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE at load time, so run with both unset:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_train.py

PyTorch's CPU build on our machines is for Python 3.11; without it the PyTorch
columns say "skipped".
"""

import sys

import numpy as np
from threadpoolctl import threadpool_limits

from mirel_core import Tensor, nn
from timing import median_times, ratio_text

relu = nn.functional.relu  # the submodules are attributes, not importable packages

try:
    import torch
except ImportError:
    torch = None

LR = 0.01
SAMPLES = 11
NUMPY_TARGET, TORCH_TARGET = 0.95, 0.8
CASES = [(256, 784, 256, 10), (64, 64, 128, 10)]  # batch, inputs, hidden, outputs


def problem(batch, n_in, hidden, n_out, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((batch, n_in)).astype(np.float32)
    y = np.eye(n_out, dtype=np.float32)[rng.integers(0, n_out, batch)]
    params = {
        "w1": (rng.standard_normal((n_in, hidden)) / np.sqrt(n_in)).astype(np.float32),
        "b1": np.zeros(hidden, np.float32),
        "w2": (rng.standard_normal((hidden, n_out)) / np.sqrt(hidden)).astype(np.float32),
        "b2": np.zeros(n_out, np.float32),
    }
    return x, y, params


def ours_step(dtype, x_np, y_np, params):
    """params: float32 arrays, updated in place. In bf16 the constructor rounds them
    to bf16 at the start of each step and the gradients are widened for the update
    (NumPy has no bf16 arithmetic of its own, and ml_dtypes' is element by element)."""
    x, y = Tensor(x_np, dtype=dtype), Tensor(y_np, dtype=dtype)
    scale = 1.0 / x_np.shape[0]

    def step():
        p = {k: Tensor(v, dtype=dtype, requires_grad=True) for k, v in params.items()}
        out = relu(x @ p["w1"] + p["b1"]) @ p["w2"] + p["b2"]
        err = out - y
        (err * err * scale).backward()
        for k, t in p.items():
            g = t.grad()
            if g.ndim > params[k].ndim:  # gradients keep the broadcast shape: one row per sample
                g = g.sum(axis=0, dtype=np.float32)
            params[k] -= LR * g.astype(np.float32, copy=False)
        Tensor.clear_graph()

    return step


def numpy_step(x, y, params):
    scale = np.float32(2.0 / x.shape[0])
    lr = np.float32(LR)

    def step():
        p = params
        h = x @ p["w1"] + p["b1"]
        a = np.maximum(h, 0)
        out = a @ p["w2"] + p["b2"]
        d_out = (out - y) * scale
        d_a = d_out @ p["w2"].T
        d_h = d_a * (h > 0)
        grads = {"w2": a.T @ d_out, "b2": d_out.sum(axis=0), "w1": x.T @ d_h, "b1": d_h.sum(axis=0)}
        for k, g in grads.items():
            p[k] -= lr * g

    return step


def torch_step(dtype, x_np, y_np, params):
    tdtype = torch.float32 if dtype == "f32" else torch.bfloat16
    x, y = torch.from_numpy(x_np).to(tdtype), torch.from_numpy(y_np).to(tdtype)
    p = {k: torch.tensor(v, dtype=tdtype, requires_grad=True) for k, v in params.items()}
    scale = 1.0 / x_np.shape[0]

    def step():
        out = torch.relu(x @ p["w1"] + p["b1"]) @ p["w2"] + p["b2"]
        err = out - y
        loss = err * err * scale
        loss.backward(torch.ones_like(loss))
        with torch.no_grad():
            for t in p.values():
                t -= LR * t.grad
                t.grad = None

    return step


def main():
    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}"
          + ("" if torch is None else f", PyTorch {torch.__version__}"))
    if torch is not None:
        torch.set_num_threads(1)
    with threadpool_limits(limits=1, user_api="blas"):
        for batch, n_in, hidden, n_out in CASES:
            name = f"batch {batch}, {n_in}-{hidden}-{n_out}"
            x, y, params = problem(batch, n_in, hidden, n_out)
            fns = [ours_step("f32", x, y, {k: v.copy() for k, v in params.items()}),
                   numpy_step(x, y, {k: v.copy() for k, v in params.items()})]
            if torch is not None:
                fns.append(torch_step("f32", x, y, params))
            times = median_times(*fns, samples=SAMPLES)
            print(f"f32  {name}: ours {1e3 * times[0]:7.3f} ms")
            print(f"       numpy   {ratio_text(times[0], times[1], NUMPY_TARGET)}")
            print(f"       pytorch {ratio_text(times[0], times[2] if torch else None, TORCH_TARGET)}")

            fns = [ours_step("bf16", x, y, {k: v.copy() for k, v in params.items()})]
            if torch is not None:
                fns.append(torch_step("bf16", x, y, params))
            times = median_times(*fns, samples=SAMPLES)
            print(f"bf16 {name}: ours {1e3 * times[0]:7.3f} ms")
            print(f"       pytorch {ratio_text(times[0], times[1] if torch else None, None)}")


if __name__ == "__main__":
    main()
