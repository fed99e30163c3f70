"""A full training step with the training package: forward, cross-entropy, backward and AdamW.

The model is a 784-256-10 perceptron (Linear, relu, Linear). Our step takes this
step's leaves from a mirel.Parameters holder (no copies in f32), runs
F.cross_entropy inside the graph, backward, and one fused AdamW pass per
parameter. Beside it:

* PyTorch: the same model with torch.optim.AdamW; in bf16 under CPU autocast
  (float32 weights, bf16 products), as a PyTorch user would write it.
* NumPy: the step by hand in float32 (forward, softmax cross-entropy gradient,
  the backward products, bias sums and Adam spelled out).

Targets (time ratios, below 1 means we are faster): batch 256 in f32 at most 0.8x
PyTorch and 1.0x NumPy; batch 64 at most 0.3x PyTorch; bf16 (f32 masters) at most
0.8x PyTorch's autocast step. One process, one thread each (NumPy's BLAS through
threadpoolctl, PyTorch through torch.set_num_threads(1)). Run with

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_optim_step.py
"""

import sys

import numpy as np
from threadpoolctl import threadpool_limits

import mirel
from mirel_core import Tensor
from timing import median_times, ratio_text

try:
    import torch
except ImportError:
    torch = None

F = mirel.nn.functional
LR = 1e-3
SIZES = (784, 256, 10)


def problem(batch, seed=0):
    rng = np.random.default_rng(seed)
    n_in, hidden, n_out = SIZES
    x = rng.standard_normal((batch, n_in)).astype(np.float32)
    y = rng.integers(0, n_out, batch)
    k1, k2 = 1 / np.sqrt(n_in), 1 / np.sqrt(hidden)
    params = {"w1": rng.uniform(-k1, k1, (hidden, n_in)), "b1": rng.uniform(-k1, k1, hidden),
              "w2": rng.uniform(-k2, k2, (n_out, hidden)), "b2": rng.uniform(-k2, k2, n_out)}
    return x, y, {k: v.astype(np.float32) for k, v in params.items()}


def ours_step(dtype, x_np, y, params):
    holder = mirel.Parameters(params, dtype=dtype)
    opt = mirel.optim.AdamW(holder, lr=LR, weight_decay=0.0)
    x = Tensor(x_np, dtype=dtype)

    def step():
        p = holder.leaves()
        h = F.relu(F.linear(x, p["w1"], p["b1"]))
        F.cross_entropy(F.linear(h, p["w2"], p["b2"]), y).backward()
        opt.step()
        Tensor.clear_graph()

    return step


def torch_step(dtype, x_np, y_np, params):
    x, y = torch.from_numpy(x_np), torch.from_numpy(y_np)
    p = {k: torch.tensor(v, requires_grad=True) for k, v in params.items()}
    opt = torch.optim.AdamW(p.values(), lr=LR, weight_decay=0.0)
    fn = torch.nn.functional

    def step():
        with torch.autocast("cpu", dtype=torch.bfloat16, enabled=dtype == "bf16"):
            h = torch.relu(fn.linear(x, p["w1"], p["b1"]))
            loss = fn.cross_entropy(fn.linear(h, p["w2"], p["b2"]), y)
        opt.zero_grad()
        loss.backward()
        opt.step()

    return step


def numpy_step(x, y, params):
    p = params
    m = {k: np.zeros_like(v) for k, v in p.items()}
    v = {k: np.zeros_like(a) for k, a in p.items()}
    b1, b2, eps = np.float32(0.9), np.float32(0.999), np.float32(1e-8)
    onehot = np.eye(SIZES[2], dtype=np.float32)[y]
    t = [0]

    def step():
        h = x @ p["w1"].T + p["b1"]
        a = np.maximum(h, 0)
        z = a @ p["w2"].T + p["b2"]
        e = np.exp(z - z.max(axis=1, keepdims=True))
        d_z = (e / e.sum(axis=1, keepdims=True) - onehot) / np.float32(len(x))
        d_h = (d_z @ p["w2"]) * (h > 0)
        grads = {"w2": d_z.T @ a, "b2": d_z.sum(axis=0), "w1": d_h.T @ x, "b1": d_h.sum(axis=0)}
        t[0] += 1
        step_size = np.float32(LR / (1 - 0.9 ** t[0]))
        bias2 = np.float32(np.sqrt(1 - 0.999 ** t[0]))
        for k, g in grads.items():
            m[k] += (1 - b1) * (g - m[k])
            v[k] *= b2
            v[k] += (1 - b2) * g * g
            p[k] -= step_size * m[k] / (np.sqrt(v[k]) / bias2 + eps)

    return step


def line(name, ours, theirs, target):
    return f"  vs {name:22} {ratio_text(ours, theirs, target)}"


def main():
    mirel.set_num_threads(1)  # one thread, as the peers (bench_threads.py compares thread counts)
    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}"
          + ("" if torch is None else f", PyTorch {torch.__version__}"))
    if torch is not None:
        torch.set_num_threads(1)
    missed = 0
    with threadpool_limits(limits=1, user_api="blas"):
        for batch, dtype, torch_target, numpy_target in ((256, "f32", 0.8, 1.0), (64, "f32", 0.3, None),
                                                         (256, "bf16", 0.8, None)):
            x, y, params = problem(batch)
            fns = [ours_step(dtype, x, y, dict(params))]
            if dtype == "f32":
                fns.append(numpy_step(x, y, {k: a.copy() for k, a in params.items()}))
            if torch is not None:
                fns.append(torch_step(dtype, x, y, params))
            times = median_times(*fns, samples=11)
            ours = times[0]
            print(f"batch {batch}, {'-'.join(map(str, SIZES))}, {dtype}: ours {1e3 * ours:7.3f} ms")
            if dtype == "f32":
                print(line("numpy by hand", ours, times[1], numpy_target))
                missed += numpy_target is not None and ours / times[1] > numpy_target
            theirs = times[-1] if torch is not None else None
            print(line("pytorch" + (" autocast" if dtype == "bf16" else ""), ours, theirs, torch_target))
            missed += theirs is not None and ours / theirs > torch_target
    print(f"{missed} target(s) missed")


if __name__ == "__main__":
    main()
