"""Train a two-layer perceptron on two interleaved spirals with mirel_core.

Every forward and backward computation runs in mirel_core: the matrix products,
the bias additions, the rectifier, the squared error and all their gradients.
NumPy only makes the data set, adds things up (the loss, the bias gradients,
the accuracy) and applies the plain gradient-descent update.

    python examples/demo.py [--dtype f32|bf16|f16]

With --dtype bf16 or f16 every tensor computation runs in that type; the
parameters themselves are kept and updated in float32 (a step's update is often
smaller than half a unit in the last place of a 16-bit weight, and would be lost),
and rounded to the type at the start of each step.
"""

import argparse
import time

import ml_dtypes
import numpy as np
import numpy.typing as npt

from mirel_core import Tensor, nn

relu = nn.functional.relu  # the submodules are attributes, not importable by dotted name

HIDDEN = 64
LEARNING_RATE = 0.015
STEPS = 8000
REPORT_EVERY = 400
NUMPY_TYPES = {"f32": np.float32, "bf16": ml_dtypes.bfloat16, "f16": np.float16}

Array = npt.NDArray[np.float32]


def make_spirals(
    points_per_class: int, turns: float = 1.5, noise: float = 0.05, seed: int = 0
) -> tuple[Array, npt.NDArray[np.int64]]:
    """Two spirals winding around each other; class c is rotated by c half-turns."""
    rng = np.random.default_rng(seed)
    # sqrt spreads the points evenly along the arms instead of crowding the centre
    angle = np.sqrt(rng.uniform(0, 1, points_per_class)) * turns * 2 * np.pi
    radius = 2 * angle / (turns * 2 * np.pi)
    points, labels = [], []
    for c in range(2):
        turned = angle + c * np.pi
        arm = np.stack([radius * np.cos(turned), radius * np.sin(turned)], axis=1)
        points.append(arm + rng.normal(0, noise, arm.shape))
        labels.append(np.full(points_per_class, c))
    return np.concatenate(points).astype(np.float32), np.concatenate(labels)


def init_params(seed: int = 1, hidden: int = HIDDEN) -> dict[str, Array]:
    rng = np.random.default_rng(seed)
    params = {
        "w1": rng.normal(0, 1, (2, hidden)),
        # Random first-layer biases spread the rectifiers' kinks over the plane
        # rather than passing them all through the origin.
        "b1": rng.uniform(-1, 1, hidden),
        "w2": rng.normal(0, 1 / np.sqrt(hidden), (hidden, 2)),
        "b2": np.zeros(2),
    }
    return {name: value.astype(np.float32) for name, value in params.items()}


def forward(x: Tensor, p: dict[str, Tensor]) -> Tensor:
    hidden = relu(x @ p["w1"] + p["b1"])
    return hidden @ p["w2"] + p["b2"]


def as_tensors(params: dict[str, Array], dtype: str, requires_grad: bool = False) -> dict[str, Tensor]:
    return {name: Tensor(value.astype(NUMPY_TYPES[dtype], copy=False), dtype=dtype, requires_grad=requires_grad)
            for name, value in params.items()}


def gradients(
    x: Tensor, targets: Tensor, params: dict[str, Array], scale: float | None = None, dtype: str = "f32"
) -> tuple[float, Array, dict[str, Array]]:
    """Loss, outputs and parameter gradients of one batch; params are not changed.

    Each sample's squared error is multiplied by scale, 1 / (batch size) by default,
    which makes the loss the mean squared error over the batch. A shard of a larger
    batch passes 1 / (whole batch size), so that the shards' results add up to the
    whole batch's. Gradients, loss and outputs come back in float32 whatever dtype
    the tensors compute in.
    """
    p = as_tensors(params, dtype, requires_grad=True)
    out = forward(x, p)
    err = out - targets
    # backward() seeds every element with 1, so it yields the gradient of the sum of
    # this tensor, which is the mean squared error over the batch.
    per_sample = err * err * (1.0 / x.shape[0] if scale is None else scale)
    per_sample.backward()

    grads: dict[str, Array] = {}
    for name, t in p.items():
        raw = t.grad()
        assert raw is not None  # backward() reached every parameter
        grad = raw.astype(np.float32, copy=False)
        # Gradients keep the shape they were computed at: a bias broadcast over the
        # batch gets one row per sample, which we add up here.
        if grad.ndim > params[name].ndim:
            grad = grad.sum(axis=0)
        grads[name] = grad
    loss = float(per_sample.to_numpy().astype(np.float32, copy=False).sum())
    outputs = out.to_numpy().astype(np.float32, copy=False)
    Tensor.clear_graph()  # the tape would otherwise keep every step's nodes
    return loss, outputs, grads


def apply_update(params: dict[str, Array], grads: dict[str, Array]) -> None:
    """Plain gradient descent, in place."""
    for name, grad in grads.items():
        params[name] -= LEARNING_RATE * grad


def train_step(x: Tensor, targets: Tensor, params: dict[str, Array], dtype: str = "f32") -> tuple[float, Array]:
    """One gradient-descent step; returns the loss and the outputs before the update."""
    loss, outputs, grads = gradients(x, targets, params, dtype=dtype)
    apply_update(params, grads)
    return loss, outputs


def accuracy(outputs: Array, labels: npt.NDArray[np.int64]) -> float:
    return float((outputs.argmax(axis=1) == labels).mean())


def progress_bar(done: int, total: int, width: int = 20) -> str:
    filled = width * done // total
    return "[" + "#" * filled + "." * (width - filled) + "]"


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--dtype", choices=sorted(NUMPY_TYPES), default="f32",
                        help="element type of every tensor computation (default: f32)")
    dtype: str = parser.parse_args().dtype

    points, labels = make_spirals(200)
    x = Tensor(points.astype(NUMPY_TYPES[dtype]), dtype=dtype)
    targets = Tensor(np.eye(2, dtype=NUMPY_TYPES[dtype])[labels], dtype=dtype)
    params = init_params()
    print(f"two spirals: {len(points)} points; perceptron 2 -> {HIDDEN} (relu) -> 2 in {dtype}; "
          f"{STEPS} full-batch steps, learning rate {LEARNING_RATE}")

    start = time.perf_counter()
    for step in range(1, STEPS + 1):
        loss, outputs = train_step(x, targets, params, dtype)
        if step % REPORT_EVERY == 0 or step == 1:
            print(f"step {step:5d}/{STEPS} {progress_bar(step, STEPS)} "
                  f"loss {loss:.4f}  accuracy {accuracy(outputs, labels):6.1%}", flush=True)
    elapsed = time.perf_counter() - start

    final = forward(x, as_tensors(params, dtype)).to_numpy().astype(np.float32)
    print(f"final training accuracy: {accuracy(final, labels):.1%} "
          f"({elapsed:.1f} s, {1e3 * elapsed / STEPS:.2f} ms per step)")


if __name__ == "__main__":
    main()
