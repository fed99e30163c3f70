"""Gradients whose cost follows the number of elements, not the number of axes.

Division's gradients broadcast their operands over a planned walk that drops
length-1 axes, as every other kernel does. A walk that carried through every
axis at every element would need elements x axes steps here (about 2 * 10**9),
minutes rather than the fraction of a second this takes.
"""
import numpy as np
import pytest

from mirel_core import Tensor

UNIT_AXES = 1_000_000


@pytest.fixture(autouse=True)
def fresh_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
def test_division_gradients_over_a_million_trailing_unit_axes(dtype):
    values = np.arange(1, 2001, dtype=np.float32)
    x = Tensor(values, dtype=dtype, requires_grad=True)
    y = Tensor(np.full(1, 4, np.float32), dtype=dtype, requires_grad=True)
    tall = x.reshape([2000] + [1] * UNIT_AXES)
    (tall / y).backward()
    # d(x/y)/dx = 1/y, exactly 0.25 in every element type.
    np.testing.assert_array_equal(x.grad().astype(np.float32), np.full(2000, 0.25, np.float32))


def test_division_gradients_broadcast_like_multiplication():
    # Both gradients keep the broadcast shape, here with unit axes on both sides.
    a = Tensor(np.arange(1, 7, dtype=np.float32).reshape(2, 1, 3), requires_grad=True)
    b = Tensor(np.array([[[2.0]], [[4.0]]], np.float32).reshape(2, 1, 1), requires_grad=True)
    (a / b).backward()
    np.testing.assert_array_equal(a.grad(), np.broadcast_to(1 / b.to_numpy(), (2, 1, 3)))
    expected_b = -a.to_numpy() / (b.to_numpy() * b.to_numpy())
    np.testing.assert_array_equal(b.grad(), expected_b)
