"""Parameters' gradients: several backward passes add up until the next step, half
gradients are summed in float32 and handed over unrounded, and linear rounds once."""
import ml_dtypes
import numpy as np
import pytest

import mirel
from mirel_core import Tensor

F = mirel.nn.functional
HALVES = {"f16": np.float16, "bf16": ml_dtypes.bfloat16}


def data(seed=0, n=32):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((n, 8)).astype(np.float32), rng.integers(0, 4, n),
            {"w": rng.standard_normal((4, 8)).astype(np.float32), "b": rng.standard_normal(4).astype(np.float32)})


def backward(params, x, y):
    p = params.leaves()
    F.cross_entropy(F.linear(Tensor(x, dtype=params.dtype), p["w"], p["b"]), y, reduction="sum").backward()


@pytest.mark.parametrize("pieces", [2, 4])
def test_micro_batches_add_up_to_the_full_batch(pieces):
    x, y, init = data()
    params = mirel.Parameters(init)
    for xs, ys in zip(np.array_split(x, pieces), np.array_split(y, pieces)):
        backward(params, xs, ys)
    accumulated = params.grads()
    Tensor.clear_graph()
    backward(params, x, y)
    full = params.grads()
    for name in init:
        np.testing.assert_allclose(accumulated[name].to_numpy(), full[name].to_numpy(), rtol=1e-5, atol=1e-5)
    Tensor.clear_graph()


def test_a_step_starts_the_next_sum_afresh():
    x, y, init = data()
    params = mirel.Parameters(init)
    opt = mirel.optim.SGD(params, lr=0.0)
    backward(params, x, y)
    first = params.grads()["b"].to_numpy()
    opt.step()
    backward(params, x, y)
    np.testing.assert_array_equal(params.grads()["b"].to_numpy(), first)
    Tensor.clear_graph()


@pytest.mark.parametrize("dtype", HALVES)
def test_half_gradients_are_summed_in_float32_and_not_rounded(dtype):
    rng = np.random.default_rng(1)
    params = mirel.Parameters({"b": np.zeros(5, np.float32)}, dtype=dtype)
    g = rng.standard_normal((300, 5)).astype(HALVES[dtype])
    mirel.sum(Tensor(g, dtype=dtype) * params.leaf("b")).backward()  # b's gradient: g, at [300, 5]
    got = params.grads()["b"].to_numpy()
    assert np.array_equal(got, g.astype(np.float32).sum(axis=0, dtype=np.float64).astype(np.float32)) or \
        np.allclose(got, g.astype(np.float64).sum(axis=0), rtol=1e-6)
    assert not np.array_equal(got, got.astype(HALVES[dtype]).astype(np.float32))  # more bits than a half has
    Tensor.clear_graph()


@pytest.mark.parametrize("dtype", HALVES)
def test_linear_with_a_bias_rounds_once(dtype):
    rng = np.random.default_rng(2)
    half = HALVES[dtype]
    x = rng.standard_normal((64, 32)).astype(half)
    w = rng.standard_normal((16, 32)).astype(half)
    b = (rng.standard_normal(16) * 3).astype(half)
    product = (Tensor(x.astype(np.float32)) @ Tensor(w.astype(np.float32)).transpose(0, 1)).to_numpy()
    once = (product + b.astype(np.float32)).astype(half)
    twice = (product.astype(half).astype(np.float32) + b.astype(np.float32)).astype(half)
    got = F.linear(Tensor(x, dtype=dtype), Tensor(w, dtype=dtype), Tensor(b, dtype=dtype)).to_numpy()
    assert np.array_equal(got.view(np.uint16), once.view(np.uint16))
    assert not np.array_equal(once.view(np.uint16), twice.view(np.uint16))  # the case tells the two apart
