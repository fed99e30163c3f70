"""mirel's reductions, math and losses against NumPy (and PyTorch when importable), side by side.

Run from anywhere, with the installed package:

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python benchmarks/bench_mirel.py

Each case times one statement with timeit (median of several repeats, ours and
the reference's taken in turn). Reductions over a [1000, 1000] array run on the
row-major array and on its transpose (column-major storage, as NumPy's a.T);
the half-type rows compare against our own float32 row. The per-call rows time
every function on 16 elements; the loss rows time softmax + cross-entropy forward and backward.
"""

import os
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # one thread each: NumPy's BLAS threads would spin beside us

import numpy as np  # noqa: E402

import mirel  # noqa: E402
from mirel_core import Tensor  # noqa: E402
from timing import REPEAT, print_ratio_table  # noqa: E402

try:
    import torch
except ImportError:  # the PyTorch rows are left out
    torch = None

F = mirel.nn.functional


def data(shape, seed=0, scale=1.0):
    return (np.random.default_rng(seed).standard_normal(shape) * scale).astype(np.float32)


# Every function on 16 elements ([4, 4] f32): (name, ours, NumPy's equivalent or
# None, PyTorch's), over a = [4, 4], b = a[0], c = a > 0.5, i = [0, 2], y = [0, 1, 2, 3].
PER_CALL = [
    ("sum", "m.sum(a)", "np.sum(a)", "torch.sum(a)"),
    ("sum axis 1", "m.sum(a, axis=1)", "np.sum(a, axis=1)", "torch.sum(a, dim=1)"),
    ("mean", "m.mean(a)", "np.mean(a)", "torch.mean(a)"),
    ("max", "m.max(a)", "np.max(a)", "torch.max(a)"),
    ("max axis 0", "m.max(a, axis=0)", "np.max(a, axis=0)", "torch.amax(a, dim=0)"),
    ("min", "m.min(a)", "np.min(a)", "torch.min(a)"),
    ("argmax", "m.argmax(a)", "np.argmax(a)", "torch.argmax(a)"),
    ("sum_to", "m.sum_to(a, (1, 4))", "np.sum(a, axis=0, keepdims=True)", "a.sum_to_size(1, 4)"),
    ("broadcast_to", "m.broadcast_to(b, (4, 4))", "np.broadcast_to(b, (4, 4))", "torch.broadcast_to(b, (4, 4))"),
    ("exp", "m.exp(a)", "np.exp(a)", "torch.exp(a)"),
    ("log", "m.log(a)", "np.log(a)", "torch.log(a)"),
    ("tanh", "m.tanh(a)", "np.tanh(a)", "torch.tanh(a)"),
    ("sigmoid", "m.sigmoid(a)", "1 / (1 + np.exp(-a))", "torch.sigmoid(a)"),
    ("sqrt", "m.sqrt(a)", "np.sqrt(a)", "torch.sqrt(a)"),
    ("abs", "m.abs(a)", "np.abs(a)", "torch.abs(a)"),
    ("negative", "m.negative(a)", "np.negative(a)", "torch.negative(a)"),
    ("square", "m.square(a)", "np.square(a)", "torch.square(a)"),
    ("power", "m.power(a, 3.0)", "np.power(a, 3.0)", "torch.pow(a, 3.0)"),
    ("maximum", "m.maximum(a, a)", "np.maximum(a, a)", "torch.maximum(a, a)"),
    ("minimum", "m.minimum(a, a)", "np.minimum(a, a)", "torch.minimum(a, a)"),
    ("where", "m.where(c, a, a)", "np.where(c, a, a)", "torch.where(c, a, a)"),
    ("reshape", "m.reshape(a, (2, -1))", "np.reshape(a, (2, -1))", "torch.reshape(a, (2, -1))"),
    ("transpose", "m.transpose(a)", "np.transpose(a)", "a.permute(1, 0)"),
    ("permute", "m.permute(a, (1, 0))", "np.transpose(a, (1, 0))", "torch.permute(a, (1, 0))"),
    ("concatenate", "m.concatenate([a, a])", "np.concatenate([a, a])", "torch.cat([a, a])"),
    ("stack", "m.stack([a, a])", "np.stack([a, a])", "torch.stack([a, a])"),
    ("take", "m.take(a, i, axis=0)", "np.take(a, i, axis=0)", "torch.index_select(a, 0, i)"),
    ("relu", "F.relu(a)", "np.maximum(a, 0)", "torch.relu(a)"),
    ("softmax", "F.softmax(a)", "np.exp(a) / np.exp(a).sum(-1, keepdims=True)", "torch.softmax(a, -1)"),
    ("log_softmax", "F.log_softmax(a)", "a - np.log(np.exp(a).sum(-1, keepdims=True))", "torch.log_softmax(a, -1)"),
    ("cross_entropy", "F.cross_entropy(a, y)", None, "torch.nn.functional.cross_entropy(a, y)"),
    ("mse_loss", "F.mse_loss(a, a)", "np.mean((a - a) ** 2)", "torch.nn.functional.mse_loss(a, a)"),
    ("linear", "F.linear(a, a, b)", "a @ a.T + b", "torch.nn.functional.linear(a, a, b)"),
    ("detach", "m.detach(a)", None, "a.detach()"),
]


def per_call_cases():
    a = data((4, 4), 2)
    arrays = {"a": np.abs(a) + 0.1, "b": np.abs(a[0]) + 0.1, "c": a > 0.5, "i": np.array([0, 2]),
              "y": np.array([0, 1, 2, 3])}
    mine = {"m": mirel, "F": F, **{k: v if k in "iy" else Tensor(v, dtype="bool" if k == "c" else None)
                                   for k, v in arrays.items()}}
    for name, stmt, np_stmt, torch_stmt in PER_CALL:
        if np_stmt is not None:
            yield f"{name}, 16 elements", (stmt, mine), (np_stmt, {"np": np, **arrays}), "numpy", 0.5
        if torch is not None:
            theirs = {"torch": torch, **{k: torch.from_numpy(v) for k, v in arrays.items()}}
            yield f"{name}, 16 elements", (stmt, mine), (torch_stmt, theirs), "pytorch", 0.2


def cases():
    """(name, ours (statement, names), reference (statement, names), reference label, target or None)."""
    big = data((1_000_000,))
    mat = data((1000, 1000), 1)
    env = {"m": mirel, "np": np}
    ours = lambda **kw: {**env, **kw}  # noqa: E731
    yield "sum, 1M f32", ("m.sum(a)", ours(a=Tensor(big))), ("np.sum(a)", ours(a=big)), "numpy", 1.0
    for axis in (0, 1):
        for layout, t, a in (("row-major", Tensor(mat), mat), ("transposed", Tensor(mat).transpose(0, 1), mat.T)):
            for fn in ("sum", "max"):
                yield (f"{fn} axis {axis}, [1000,1000] {layout}", (f"m.{fn}(a, axis={axis})", ours(a=t)),
                       (f"np.{fn}(a, axis={axis})", ours(a=a)), "numpy", 1.0)
    f32_sum = ("m.sum(a)", ours(a=Tensor(big)))
    f32_max = ("m.max(a, axis=1)", ours(a=Tensor(mat)))
    for dt in ("f16", "bf16"):
        yield f"sum, 1M {dt}", ("m.sum(a)", ours(a=Tensor(big, dtype=dt))), f32_sum, "ours f32", 1.5
        yield f"max axis 1, {dt}", ("m.max(a, axis=1)", ours(a=Tensor(mat, dtype=dt))), f32_max, "ours f32", 1.5
    positive = np.abs(big) + 0.5
    for fn, arr in (("exp", big), ("log", positive), ("tanh", big), ("sqrt", positive), ("sigmoid", big)):
        ref = "1 / (1 + np.exp(-a))" if fn == "sigmoid" else f"np.{fn}(a)"
        ours32 = (f"m.{fn}(a)", ours(a=Tensor(arr)))
        yield f"{fn}, 1M f32", ours32, (ref, ours(a=arr)), "numpy", 1.0 if fn != "sigmoid" else None
        if fn in ("exp", "tanh"):
            for dt in ("f16", "bf16"):
                yield f"{fn}, 1M {dt}", (f"m.{fn}(a)", ours(a=Tensor(arr, dtype=dt))), ours32, "ours f32", 1.5
    yield from per_call_cases()
    for rows, classes, target in ((256, 10, 0.5), (256, 1000, 1.0)):
        logits = data((rows, classes), 3, 3.0)
        labels = np.random.default_rng(4).integers(0, classes, rows)
        step = "x = T(l, requires_grad=True); F.cross_entropy(x, y).backward(); T.clear_graph()"
        mine = ("F.softmax(T(l)); " + step, {"T": Tensor, "F": F, "l": logits, "y": labels})
        if torch is not None:
            tstep = ("x = torch.tensor(l, requires_grad=True); torch.softmax(x.detach(), 1); "
                     "torch.nn.functional.cross_entropy(x, y).backward()")
            yield f"softmax + cross-entropy [{rows},{classes}]", mine, \
                (tstep, {"torch": torch, "l": logits, "y": torch.from_numpy(labels)}), "pytorch", target
        else:
            yield f"softmax + cross-entropy [{rows},{classes}]", mine, mine, "ours", None


def main():
    mirel.set_num_threads(1)  # one thread, as the peers (bench_threads.py compares thread counts)
    if torch is not None:
        torch.set_num_threads(1)
    print(f"mirel benchmark, median of {REPEAT} repeats (python {sys.version.split()[0]}, numpy {np.__version__}"
          f"{', torch ' + torch.__version__ if torch is not None else ''})")
    print_ratio_table(cases(), width=44)


if __name__ == "__main__":
    main()
