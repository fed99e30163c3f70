"""Fused scaled dot-product attention, forward plus backward, against PyTorch's.

Shapes: batch 1, 4 heads, head dimension 64, T = 64, 256 and 1024 query and key
positions, without and with is_causal; f32. Each step runs the forward pass, the
backward pass from a gradient of ones and clears the tape (mirel) or the
leaves' gradients (PyTorch). PyTorch runs at one thread (torch.set_num_threads(1));
mirel's attention runs on the calling thread.

Target: at most 1.0x PyTorch's time at each T. Then the peak memory of one step
at T = 1024, measured as the growth of the process's peak resident set (reset
through /proc/self/clear_refs just before the step) in a fresh subprocess (tracemalloc cannot see native buffers), for the fused function,
the unfused composition on mirel's operators, and PyTorch, next to the size of
one stored T x T score matrix over all heads. Target: the fused step's growth
well below one score matrix (the results and gradients themselves take
4 x 1 MiB). Run with

    python benchmarks/bench_attention.py                 # .venv/py3.11 has PyTorch
"""

import subprocess
import sys
import textwrap

import numpy as np

import mirel
from timing import median_times, ratio_text

try:
    import torch
except ImportError:
    torch = None

F = mirel.nn.functional
HEADS, DIM = 4, 64


def operands(t, seed=0):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal((1, HEADS, t, DIM)).astype(np.float32) for _ in range(3)]


def ours(arrays, causal):
    holder = mirel.Parameters(dict(zip("qkv", arrays)))  # fresh leaves each step over the same f32 data

    def step():
        p = holder.leaves()
        F.scaled_dot_product_attention(p["q"], p["k"], p["v"], is_causal=causal).backward()
        mirel.Tensor.clear_graph()

    return step


def theirs(arrays, causal):
    q, k, v = (torch.tensor(a, requires_grad=True) for a in arrays)

    def step():
        y = torch.nn.functional.scaled_dot_product_attention(q, k, v, is_causal=causal)
        y.backward(torch.ones_like(y))
        q.grad = k.grad = v.grad = None

    return step


PEAK = """
import numpy as np
kind, t = {kind!r}, {t}
rng = np.random.default_rng(0)
arrays = [rng.standard_normal((1, {heads}, t, {dim})).astype(np.float32) for _ in range(3)]
if kind == "torch":
    import torch
    torch.set_num_threads(1)
    q, k, v = (torch.tensor(a, requires_grad=True) for a in arrays)
    def step():
        y = torch.nn.functional.scaled_dot_product_attention(q, k, v)
        y.backward(torch.ones_like(y))
else:
    import mirel
    F = mirel.nn.functional
    q, k, v = (mirel.tensor(a, requires_grad=True) for a in arrays)
    def step():
        if kind == "fused":
            y = F.scaled_dot_product_attention(q, k, v)
        else:
            s = (q @ mirel.transpose(k, (0, 1, 3, 2))) * float(1 / np.sqrt({dim}))
            y = F.softmax(s, -1) @ v
        y.backward()
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak (VmHWM) starts again from the current resident size
before = status("VmRSS:")
step()
print(status("VmHWM:") - before)
"""


def peak_growth_kib(kind, t):
    code = PEAK.format(kind=kind, t=t, heads=HEADS, dim=DIM)
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)
    return int(out.stdout.split()[-1])


def main():
    mirel.set_num_threads(1)  # one thread, as the peers (bench_threads.py compares thread counts)
    if torch is not None:
        torch.set_num_threads(1)
    print(f"attention forward + backward, batch 1, {HEADS} heads, d = {DIM}, f32; PyTorch at 1 thread")
    for causal in (False, True):
        for t in (64, 256, 1024):
            arrays = operands(t)
            fns = [ours(arrays, causal)] + ([theirs(arrays, causal)] if torch is not None else [])
            times = median_times(*fns, samples=7, min_sample_seconds=0.05)
            theirs_time = times[1] if torch is not None else None
            print(f"  T = {t:4d} {'causal' if causal else 'full  '}  mirel {1e3 * times[0]:8.3f} ms   PyTorch "
                  f"{ratio_text(times[0], theirs_time, 1.0)}")
    t = 1024
    scores_kib = HEADS * t * t * 4 // 1024
    print(f"peak resident growth of one step at T = {t} (one stored score matrix: {scores_kib} KiB)")
    for kind in ["fused", "unfused"] + (["torch"] if torch is not None else []):
        kib = peak_growth_kib(kind, t)
        print(f"  {kind:8s} {kib:8d} KiB  ({kib / scores_kib:.2f} score matrices)")


if __name__ == "__main__":
    main()
