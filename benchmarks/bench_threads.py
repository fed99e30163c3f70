"""Threads: our kernels at 1 thread and at every thread count this process may use,
beside PyTorch (torch.set_num_threads) and NumPy's BLAS (threadpoolctl) at the same count.

* The 1024x1024 f32 product, and the 784-256-10 AdamW training step at batch 256
  (bench_optim_step's step, with NumPy's written by hand).
* Each parallel kernel's speed-up from 1 thread to the most.
* 16-element operations: their time at the most threads over their time at 1.

Targets: at 2 threads (on a machine with 2 CPUs or more) the product at least 1.8x
and the step at least 1.6x faster than at 1 thread; at every count, the step at most
0.8x PyTorch's time and at most 1.0x NumPy by hand; 16-element operations within
5 % of their 1-thread time. Run with

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_threads.py
"""

import statistics
import sys
import time

import numpy as np
from threadpoolctl import threadpool_limits

import mirel
from bench_optim_step import numpy_step, ours_step, problem, torch_step

try:
    import torch
except ImportError:
    torch = None

F = mirel.nn.functional
SAMPLES = 11


def median_at_counts(fn, counts, min_seconds=0.02):
    """Median seconds per call of fn at each thread count, the counts taken in turn each round."""
    loops = {}
    for n in counts:
        mirel.set_num_threads(n)
        fn()
        k, start = 1, time.perf_counter()
        fn()
        once = max(time.perf_counter() - start, 1e-7)
        loops[n] = max(1, int(min_seconds / once))
    times = {n: [] for n in counts}
    for _ in range(SAMPLES):
        for n in counts:
            mirel.set_num_threads(n)
            start = time.perf_counter()
            for _ in range(loops[n]):
                fn()
            times[n].append((time.perf_counter() - start) / loops[n])
    return {n: statistics.median(t) for n, t in times.items()}


def median(fn, min_seconds=0.02):
    fn()
    start = time.perf_counter()
    fn()
    loops = max(1, int(min_seconds / max(time.perf_counter() - start, 1e-7)))
    samples = []
    for _ in range(SAMPLES):
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        samples.append((time.perf_counter() - start) / loops)
    return statistics.median(samples)


def peers(counts, build_torch, build_numpy):
    """PyTorch's and NumPy's medians at each count (None when PyTorch is missing)."""
    out = {}
    for n in counts:
        t = None
        if torch is not None:
            torch.set_num_threads(n)
            t = median(build_torch())
        with threadpool_limits(limits=n, user_api="blas"):
            out[n] = (t, median(build_numpy()))
    return out


def kernel_cases():
    rng = np.random.default_rng(0)
    big = mirel.tensor(rng.standard_normal((2048, 2048)).astype(np.float32))
    row = mirel.tensor(rng.standard_normal(2048).astype(np.float32))
    logits = mirel.tensor(rng.standard_normal((4096, 1000)).astype(np.float32))
    labels = rng.integers(0, 1000, 4096)
    w = mirel.tensor(np.ones(1000, np.float32))
    q, k, v = (mirel.tensor(rng.standard_normal((4, 4, 256, 64)).astype(np.float32), requires_grad=True)
               for _ in range(3))
    half = mirel.tensor(rng.standard_normal((1024, 1024)).astype(np.float32), dtype="bf16")
    gen = mirel.random.Generator(0)

    def attention():
        mirel.sum(F.scaled_dot_product_attention(q, k, v)).backward()

    params = mirel.Parameters({"w": rng.standard_normal((1024, 1024)).astype(np.float32)})
    opt = mirel.optim.AdamW(params, lr=1e-3)
    grads = {"w": np.ones((1024, 1024), np.float32)}
    return [
        ("add + broadcast, 2048^2", lambda: big + row),
        ("exp, 2048^2", lambda: mirel.exp(big)),
        ("sum of all, 2048^2", lambda: mirel.sum(big)),
        ("sum over axis 0, 2048^2", lambda: mirel.sum(big, axis=0)),
        ("sum over axis 1, 2048^2", lambda: mirel.sum(big, axis=1)),
        ("softmax, 4096x1000", lambda: F.softmax(logits, axis=1)),
        ("cross-entropy, 4096x1000", lambda: F.cross_entropy(logits, labels)),
        ("layer_norm, 4096x1000", lambda: F.layer_norm(logits, (1000,), w)),
        ("attention fwd+bwd, 16x256x64", attention),
        ("bf16 product, 1024^2", lambda: half @ half),
        ("AdamW step, 1M weights", lambda: opt.step(grads)),
        ("normal draw, 4M", lambda: gen.normal((4 << 20,))),
    ]


def main():
    cpus = mirel._native._available_cpus()
    counts = sorted({1, min(2, cpus), cpus})
    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}"
          + ("" if torch is None else f", PyTorch {torch.__version__}") + f"; {cpus} CPUs, counts {counts}")
    missed = 0
    rng = np.random.default_rng(1)
    a_np = rng.standard_normal((1024, 1024)).astype(np.float32)
    a = mirel.tensor(a_np)
    x, y, params = problem(256)
    step_ours = ours_step("f32", x, y, dict(params))

    for name, ours_fn, build_torch, build_numpy, speedup in [
        ("1024^2 f32 product", lambda: a @ a,
         lambda: (lambda t=torch.from_numpy(a_np): lambda: t @ t)(), lambda: lambda: a_np @ a_np, 1.8),
        ("784-256-10 AdamW step, batch 256", step_ours,
         lambda: torch_step("f32", x, y, params), lambda: numpy_step(x, y, {k: v.copy() for k, v in params.items()}),
         1.6),
    ]:
        ours = median_at_counts(ours_fn, counts)
        theirs = peers(counts, build_torch, build_numpy)
        print(f"\n{name}")
        for n in counts:
            t, npy = theirs[n]
            t_text = "pytorch skipped" if t is None else f"pytorch {1e3 * t:7.3f} ms ratio {ours[n] / t:5.2f}"
            print(f"  {n} threads: ours {1e3 * ours[n]:7.3f} ms | {t_text} | numpy {1e3 * npy:7.3f} ms "
                  f"ratio {ours[n] / npy:5.2f}")
            if "step" in name:
                missed += (t is not None and ours[n] / t > 0.8) + (ours[n] / npy > 1.0)
        if 2 in counts:
            gain = ours[1] / ours[2]
            ok = gain >= speedup
            missed += not ok
            print(f"  speed-up at 2 threads: {gain:4.2f}x (>= {speedup} {'ok' if ok else 'MISSED'})")

    top = counts[-1]
    print(f"\nspeed-up of each parallel kernel, 1 -> {top} threads")
    for name, fn in kernel_cases():
        t = median_at_counts(fn, [1, top])
        print(f"  {name:32} {1e3 * t[1]:8.3f} ms -> {1e3 * t[top]:8.3f} ms  {t[1] / t[top]:4.2f}x")

    print(f"\n16-element operations, time at {top} threads over time at 1 (target <= 1.05)")
    s = mirel.tensor(np.arange(16, dtype=np.float32))
    for name, fn in [("add", lambda: s + s), ("exp", lambda: mirel.exp(s)), ("sum", lambda: mirel.sum(s)),
                     ("product 4x4", lambda: mirel.reshape(s, (4, 4)) @ mirel.reshape(s, (4, 4)))]:
        t = median_at_counts(fn, [1, top], min_seconds=0.05)
        r = t[top] / t[1]
        missed += r > 1.05
        print(f"  {name:12} {1e6 * t[1]:6.3f} us -> {1e6 * t[top]:6.3f} us  {r:4.2f} {'ok' if r <= 1.05 else 'MISSED'}")
    print(f"{missed} target(s) missed")


if __name__ == "__main__":
    main()
