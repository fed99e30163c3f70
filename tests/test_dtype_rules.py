"""Element-type rules of the operators, their exact messages, and what Python sees
when an operand is neither a tensor nor a number."""

import operator

import numpy as np
import pytest

from mirel_core import Tensor
from mirel_core import nn

relu = nn.functional.relu  # the submodules are attributes, not importable packages

ARITH = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}
COMPARE = {"<": operator.lt, "<=": operator.le, "==": operator.eq, "!=": operator.ne, ">": operator.gt, ">=": operator.ge}
LOGICAL = {"&": operator.and_, "|": operator.or_, "^": operator.xor}
NAME = {"f32": "F32", "f16": "F16", "bf16": "BF16", "bool": "Bool"}
SWAPPED = {"<": ">", "<=": ">=", "==": "==", "!=": "!=", ">": "<", ">=": "<="}


def ones(dtype, shape=(2,)):
    return Tensor(np.ones(shape), dtype=dtype)


def check_raises(exc, message, fn, *args):
    with pytest.raises(exc) as err:
        fn(*args)
    assert type(err.value) is exc and str(err.value) == message


@pytest.mark.parametrize("op", ARITH)
@pytest.mark.parametrize("lhs,rhs", [("bool", "f32"), ("f32", "bool"), ("f16", "bf16"), ("bf16", "f32"), ("f32", "f16")])
def test_arithmetic_between_element_types(op, lhs, rhs):
    message = f"Tensor DType mismatch during binary execution. Cannot operate between {NAME[lhs]} and {NAME[rhs]}."
    check_raises(ValueError, message, ARITH[op], ones(lhs), ones(rhs))


@pytest.mark.parametrize("op", ARITH)
def test_arithmetic_on_bool(op):
    message = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."
    check_raises(TypeError, message, ARITH[op], ones("bool"), ones("bool"))


@pytest.mark.parametrize("op", COMPARE)
@pytest.mark.parametrize("lhs,rhs", [("f32", "bool"), ("f16", "f32"), ("bool", "bf16")])
def test_comparison_between_element_types(op, lhs, rhs):
    message = f"Tensor device or dtype mismatch for element-wise {op} operation."
    check_raises(RuntimeError, message, COMPARE[op], ones(lhs), ones(rhs))


@pytest.mark.parametrize("op", LOGICAL)
@pytest.mark.parametrize("lhs,rhs", [("bool", "f32"), ("f32", "bool"), ("f32", "f32"), ("bf16", "bf16")])
def test_logical_needs_two_bool_tensors(op, lhs, rhs):
    check_raises(RuntimeError, "Logical operations are only supported for Bool data types.", LOGICAL[op], ones(lhs), ones(rhs))


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
def test_logical_not_needs_bool(dtype):
    check_raises(RuntimeError, "Logical NOT is only supported for Bool data type.", operator.invert, ones(dtype))


@pytest.mark.parametrize("fn,exc,message", [
    (lambda t: t + 1.0, ValueError, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
    (lambda t: 1 + t, ValueError, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
    (lambda t: t - 1.0, ValueError, "Tensor DType invalid during scalar sub. Cannot operate between Bool and scalar."),
    (lambda t: t * 2.0, ValueError, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    (lambda t: 2.0 * t, ValueError, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    (lambda t: t / 2.0, ValueError, "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    # x / t divides a tensor filled with x, of t's type, by t
    (lambda t: 2.0 / t, TypeError, "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."),
])
def test_arithmetic_with_a_number_on_bool(fn, exc, message):
    check_raises(exc, message, fn, ones("bool"))


@pytest.mark.parametrize("op", COMPARE)
def test_comparison_with_a_number_on_bool(op):
    check_raises(RuntimeError, f"Tensor device or dtype mismatch for scalar {op} operation.", COMPARE[op], ones("bool"), 1.0)
    # the number on the left reaches the tensor's reflected comparison
    check_raises(RuntimeError, f"Tensor device or dtype mismatch for scalar {SWAPPED[op]} operation.",
                 COMPARE[op], 1.0, ones("bool"))


@pytest.mark.parametrize("op,dtype,lhs,rhs", [
    (operator.add, "f32", [2, 3], [2]),
    (operator.lt, "f16", [0], [3]),
    (operator.ne, "bf16", [2, 3], [3, 2]),
    (operator.truediv, "f32", [4, 1, 3], [2, 2]),
    (operator.xor, "bool", [2], [3]),
])
def test_broadcasting_failure_names_both_shapes(op, dtype, lhs, rhs):
    message = f"Shape mismatch: cannot broadcast {lhs} and {rhs}"
    check_raises(RuntimeError, message, op, ones(dtype, lhs), ones(dtype, rhs))


def test_relu_on_bool():
    check_raises(TypeError, "Tensor Dtype not supported for this operation: relu", relu, ones("bool"))


@pytest.mark.parametrize("fn", [lambda t: -t, lambda t: t - [1], lambda t: 1.0 ^ t, lambda t: [2] / t])
def test_other_operands_get_the_interpreters_type_error(fn):
    with pytest.raises(TypeError, match="Tensor"):
        fn(ones("f32"))


def test_comparison_and_logical_results_never_require_grad():
    x = Tensor([1.0, 2.0], requires_grad=True)
    b = Tensor([True, False], dtype="bool", requires_grad=True)
    results = [x < x, x == 1.0, x != x, 1.0 >= x, x.__rgt__(1.0), b & b, b ^ b, b | b, ~b, b == b]
    assert not any(r.requires_grad for r in results)
    assert {r.dtype for r in results} == {"bool"}
    check_raises(ValueError, "backward() called on tensor that does not require grad", results[0].backward)
    Tensor.clear_graph()


@pytest.mark.parametrize("op", LOGICAL)
@pytest.mark.parametrize("lhs,rhs", [((2, 1), (1, 3)), ((4,), (1,)), ((), (2, 2)), ((0, 3), (3,)), ((3, 4), (3, 4))])
def test_logical_operations_broadcast(op, lhs, rhs):
    rng = np.random.default_rng(len(lhs) * 7 + len(rhs))
    a, b = rng.random(lhs) < 0.5, rng.random(rhs) < 0.5
    out = LOGICAL[op](Tensor(a, dtype="bool"), Tensor(b, dtype="bool")).to_numpy()
    np.testing.assert_array_equal(out, LOGICAL[op](a, b))
    assert out.view(np.uint8).max(initial=0) <= 1  # stored bytes stay 0 or 1


@pytest.mark.parametrize("shape", [(), (0, 2), (5,), (2, 3)])
def test_logical_not(shape):
    a = np.random.default_rng(1).random(shape) < 0.5
    out = (~Tensor(a, dtype="bool")).to_numpy()
    assert out.shape == shape and out.view(np.uint8).max(initial=0) <= 1
    np.testing.assert_array_equal(out, ~a)
