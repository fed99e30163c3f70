"""A GPT-style character-level language model, trained on the Python language reference that CPython ships.

The text is ``pydoc_data.topics`` (every interpreter has it; nothing is downloaded), split 90/10 into
training and held-out characters. The recipe is the well-known CPU configuration of small GPT trainers:
4 layers, 4 heads, width 128, context 64, batch 12, AdamW (weight decay on matrices only) with a warm-up and a
cosine schedule, dropout 0 (or --dropout 0.2). It prints a progress line with the loss and tokens per second,
the held-out loss every --eval-every steps, saves a checkpoint and a PNG of the loss curves, and ends with
generated text. --dtype bf16 or f16 computes in that type from float32 masters. --reference torch trains the
same model from the same initial weights on the same batches in PyTorch and prints both curves.

    python examples/char_lm.py                       # about 2,000 steps
    python examples/char_lm.py --steps 200 --dtype bf16
"""
from __future__ import annotations

import argparse
import importlib
import math
import sys
import time
from pathlib import Path
from typing import Any, Iterator

import numpy as np

import mirel
from mirel import nn
from mirel.nn import functional as F


def corpus() -> str:
    topics = importlib.import_module("pydoc_data.topics").topics
    return "".join(topics[k] for k in sorted(topics))


class Block(nn.Module):
    """Pre-norm transformer block: x + attention(ln(x)), then x + mlp(ln(x))."""

    def __init__(self, width: int, heads: int, dropout: float, rng: np.random.Generator) -> None:
        super().__init__()
        self.ln_1 = nn.LayerNorm(width)
        self.attn = nn.MultiheadAttention(width, heads, dropout=dropout, rng=rng)
        self.ln_2 = nn.LayerNorm(width)
        self.mlp = nn.Sequential(nn.Linear(width, 4 * width, rng=rng), nn.GELU(),
                                 nn.Linear(4 * width, width, rng=rng), nn.Dropout(dropout))

    def forward(self, x: Any) -> Any:
        h = self.ln_1(x)
        x = x + self.attn(h, h, h, need_weights=False, is_causal=True)[0]
        return x + self.mlp(self.ln_2(x))


class GPT(nn.Module):
    def __init__(self, vocab: int, context: int, width: int, layers: int, heads: int, dropout: float,
                 seed: int) -> None:
        super().__init__()
        rng = np.random.default_rng(seed)
        self.tok = nn.Embedding(vocab, width, rng=rng)
        self.pos = nn.Embedding(context, width, rng=rng)
        self.drop = nn.Dropout(dropout)
        self.blocks = nn.Sequential(*(Block(width, heads, dropout, rng) for _ in range(layers)))
        self.ln_f = nn.LayerNorm(width)
        self.head = nn.Linear(width, vocab, bias=False, rng=rng)

    def forward(self, idx: np.ndarray) -> Any:
        t = idx.shape[1]
        x = self.drop(self.tok(idx) + self.pos(np.arange(t)))
        return self.head(self.ln_f(self.blocks(x)))


def batches(data: np.ndarray, context: int, batch: int, seed: int) -> Iterator[tuple[np.ndarray, np.ndarray]]:
    rng = np.random.default_rng(seed)
    while True:
        start = rng.integers(0, len(data) - context - 1, batch)
        x = np.stack([data[s:s + context] for s in start])
        y = np.stack([data[s + 1:s + context + 1] for s in start])
        yield x, y


def loss_of(model: GPT, x: np.ndarray, y: np.ndarray) -> Any:
    logits = model(x)
    return F.cross_entropy(logits.reshape(-1, logits.shape[-1]), y.reshape(-1))


def held_out_loss(model: GPT, data: np.ndarray, args: argparse.Namespace) -> float:
    model.eval()
    total = 0.0
    with mirel.no_grad():
        for i, (x, y) in zip(range(args.eval_batches), batches(data, args.context, args.batch, seed=10_000)):
            total += loss_of(model, x, y).item()
    mirel.Tensor.clear_graph()
    model.train()
    return float(total / args.eval_batches)


def generate(model: GPT, start: np.ndarray, length: int, context: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    idx = start[None, :]
    model.eval()
    with mirel.no_grad():
        for _ in range(length):
            logits = model(idx[:, -context:])
            probs = F.softmax(logits[0, -1], axis=-1).numpy().astype(np.float64)
            nxt = rng.choice(len(probs), p=probs / probs.sum())
            idx = np.concatenate([idx, [[nxt]]], axis=1)
    mirel.Tensor.clear_graph()
    out: np.ndarray = idx[0]
    return out


def torch_reference(model: GPT, args: argparse.Namespace, vocab: int) -> Any:
    try:
        torch = importlib.import_module("torch")
    except ImportError:
        sys.exit("--reference torch needs PyTorch: pip install torch")
    torch.manual_seed(0)
    torch.set_num_threads(args.threads or torch.get_num_threads())
    tnn = torch.nn
    base: Any = tnn.Module

    class TBlock(base):  # type: ignore[misc]
        def __init__(self) -> None:
            super().__init__()
            w = args.width
            self.ln_1, self.ln_2 = tnn.LayerNorm(w), tnn.LayerNorm(w)
            self.attn = tnn.MultiheadAttention(w, args.heads, dropout=args.dropout, batch_first=True)
            self.mlp = tnn.Sequential(tnn.Linear(w, 4 * w), tnn.GELU(), tnn.Linear(4 * w, w),
                                      tnn.Dropout(args.dropout))

        def forward(self, x: Any) -> Any:
            h = self.ln_1(x)
            mask = torch.nn.Transformer.generate_square_subsequent_mask(x.shape[1])
            x = x + self.attn(h, h, h, need_weights=False, attn_mask=mask, is_causal=True)[0]
            return x + self.mlp(self.ln_2(x))

    class TGPT(base):  # type: ignore[misc]
        def __init__(self) -> None:
            super().__init__()
            self.tok, self.pos = tnn.Embedding(vocab, args.width), tnn.Embedding(args.context, args.width)
            self.drop = tnn.Dropout(args.dropout)
            self.blocks = tnn.Sequential(*(TBlock() for _ in range(args.layers)))
            self.ln_f = tnn.LayerNorm(args.width)
            self.head = tnn.Linear(args.width, vocab, bias=False)

        def forward(self, idx: Any) -> Any:
            x = self.drop(self.tok(idx) + self.pos(torch.arange(idx.shape[1])))
            return self.head(self.ln_f(self.blocks(x)))

    ref = TGPT()
    ref.load_state_dict({k: torch.from_numpy(v) for k, v in model.state_dict().items()})
    return torch, ref


def optimizer_for(params: Any, args: argparse.Namespace) -> Any:
    decay = params.subset(n for n in params.keys() if params[n].ndim >= 2 and not n.startswith(("tok", "pos")))
    rest = params.subset(n for n in params.keys() if n not in decay)
    schedule = mirel.optim.cosine_schedule(args.lr, args.steps, warmup_steps=args.warmup, final_lr=args.lr / 10)
    return mirel.optim.AdamW([{"params": decay, "weight_decay": 0.1}, {"params": rest, "weight_decay": 0.0}],
                             lr=schedule, betas=(0.9, 0.99))


def plot(path: Path, curves: dict[str, list[tuple[int, float]]], title: str) -> bool:
    try:
        plt = importlib.import_module("matplotlib.pyplot")
    except ImportError:
        print("no matplotlib: the plot is skipped (pip install matplotlib)")
        return False
    fig, ax = plt.subplots(figsize=(7, 4))
    for name, points in curves.items():
        if points:
            ax.plot(*zip(*points), label=name)
    ax.set_xlabel("step")
    ax.set_ylabel("cross-entropy (nats per character)")
    ax.set_title(title)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main(argv: list[str] | None = None) -> dict[str, Any]:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--steps", type=int, default=2000, help="optimizer steps")
    parser.add_argument("--batch", type=int, default=12, help="sequences per step")
    parser.add_argument("--context", type=int, default=64, help="characters per sequence")
    parser.add_argument("--width", type=int, default=128, help="embedding width")
    parser.add_argument("--layers", type=int, default=4, help="transformer blocks")
    parser.add_argument("--heads", type=int, default=4, help="attention heads")
    parser.add_argument("--dropout", type=float, default=0.0, help="dropout probability (0.2 is the other usual)")
    parser.add_argument("--lr", type=float, default=1e-3, help="peak learning rate")
    parser.add_argument("--warmup", type=int, default=100, help="warm-up steps")
    parser.add_argument("--dtype", choices=["f32", "bf16", "f16"], default="f32", help="compute element type")
    parser.add_argument("--eval-every", type=int, default=250, help="steps between held-out evaluations")
    parser.add_argument("--eval-batches", type=int, default=20, help="batches per held-out evaluation")
    parser.add_argument("--threads", type=int, default=0, help="threads (0: the library's default)")
    parser.add_argument("--seed", type=int, default=1337, help="initial weights and batches")
    parser.add_argument("--sample", type=int, default=300, help="characters generated at the end")
    parser.add_argument("--out", type=Path, default=Path("char_lm"), help="prefix of the checkpoint and the PNG")
    parser.add_argument("--reference", choices=["torch"], help="also train PyTorch from the same start")
    parser.add_argument("--quiet", action="store_true", help="no progress line")
    args = parser.parse_args(argv)
    if args.threads and hasattr(mirel, "set_num_threads"):
        mirel.set_num_threads(args.threads)

    text = corpus()
    chars = sorted(set(text))
    code = {c: i for i, c in enumerate(chars)}
    data = np.array([code[c] for c in text], np.int64)
    split = int(0.9 * len(data))
    train, held = data[:split], data[split:]
    model = GPT(len(chars), args.context, args.width, args.layers, args.heads, args.dropout, args.seed)
    params = model.parameters()
    params.dtype = args.dtype
    opt = optimizer_for(params, args)
    reference = torch_reference(model, args, len(chars)) if args.reference else None
    if reference:
        torch, ref = reference
        ref_opt = torch.optim.AdamW([{"params": [p for n, p in ref.named_parameters() if n in opt.param_groups[0]
                                                  ["params"]], "weight_decay": 0.1},
                                     {"params": [p for n, p in ref.named_parameters() if n in opt.param_groups[1]
                                                 ["params"]], "weight_decay": 0.0}], lr=args.lr, betas=(0.9, 0.99))
        ref_sched = torch.optim.lr_scheduler.LambdaLR(ref_opt, lambda s: opt.lr(s) / args.lr)
    curves: dict[str, list[tuple[int, float]]] = {"mirel train": [], "mirel held-out": []}
    if reference:
        curves.update({"PyTorch train": [], "PyTorch held-out": []})
    stream = batches(train, args.context, args.batch, args.seed)
    tokens, start, took, ref_took = 0, time.perf_counter(), 0.0, 0.0
    for step in range(args.steps):
        x, y = next(stream)
        t0 = time.perf_counter()
        loss = loss_of(model, x, y)
        loss.backward()
        opt.step()
        mirel.Tensor.clear_graph()
        took += time.perf_counter() - t0
        tokens += x.size
        curves["mirel train"].append((step, loss.item()))
        if reference:
            t0 = time.perf_counter()
            out = ref(torch.from_numpy(x))
            ref_loss = torch.nn.functional.cross_entropy(out.reshape(-1, out.shape[-1]), torch.from_numpy(y).reshape(-1))
            ref_opt.zero_grad()
            ref_loss.backward()
            ref_opt.step()
            ref_sched.step()
            ref_took += time.perf_counter() - t0
            curves["PyTorch train"].append((step, ref_loss.item()))
        last = step + 1 == args.steps
        if (step + 1) % args.eval_every == 0 or last:
            curves["mirel held-out"].append((step + 1, held_out_loss(model, held, args)))
            if reference:
                ref.eval()
                with torch.no_grad():
                    losses = []
                    for _, (hx, hy) in zip(range(args.eval_batches), batches(held, args.context, args.batch, 10_000)):
                        out = ref(torch.from_numpy(hx))
                        losses.append(torch.nn.functional.cross_entropy(out.reshape(-1, out.shape[-1]),
                                                                        torch.from_numpy(hy).reshape(-1)).item())
                ref.train()
                curves["PyTorch held-out"].append((step + 1, float(np.mean(losses))))
        if not args.quiet and (step % 10 == 0 or last):
            rate = tokens / took if took else 0.0
            held_text = f" held-out {curves['mirel held-out'][-1][1]:.4f}" if curves["mirel held-out"] else ""
            bar = "#" * int(30 * (step + 1) / args.steps)
            print(f"\r[{bar:30}] step {step + 1}/{args.steps} loss {loss.item():.4f}{held_text} "
                  f"{rate:,.0f} tokens/s", end="", flush=True)
    if not args.quiet:
        print()
    result: dict[str, Any] = {"held_out": curves["mirel held-out"][-1][1], "tokens_per_second": tokens / took,
              "seconds": time.perf_counter() - start}
    if reference:
        result["torch_held_out"] = curves["PyTorch held-out"][-1][1]
        result["torch_tokens_per_second"] = tokens / ref_took
        print(f"held-out loss: mirel {result['held_out']:.4f}, PyTorch {result['torch_held_out']:.4f}; training "
              f"tokens/s: mirel {result['tokens_per_second']:,.0f}, PyTorch {result['torch_tokens_per_second']:,.0f}")
    print(f"held-out loss {result['held_out']:.4f} after {args.steps} steps; {result['tokens_per_second']:,.0f} "
          f"training tokens/s ({args.dtype})")
    mirel.save_checkpoint(f"{args.out}.safetensors", model, opt)
    title = f"char_lm {args.dtype}, {args.steps} steps: held-out {result['held_out']:.3f}"
    if plot(Path(f"{args.out}.png"), curves, title):
        print(f"wrote {args.out}.png and {args.out}.safetensors")
    if args.sample:
        prompt = data[split:split + 16]
        sample = generate(model, prompt, args.sample, args.context, args.seed)
        result["sample"] = "".join(chars[i] for i in sample)
        print(result["sample"])
    return result


if __name__ == "__main__":
    main()
