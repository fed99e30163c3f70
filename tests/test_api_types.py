"""The public API as the type stubs describe it.

Runs twice: pytest checks each value at run time, and `mypy --strict` checks
this file against the installed stubs, so assert_type pins the static result
types and every `type: ignore` marks a use the stubs must reject (strict mode
reports an ignore that is not needed).
"""
import copy
import pickle
from typing import Any, Literal, assert_type

import numpy as np
import numpy.typing as npt
import pytest

import mirel_core
from mirel_core import Tensor, nn


def test_construction_accepts_every_documented_form() -> None:
    data = np.arange(6, dtype=np.float32).reshape(2, 3)
    forms = [
        Tensor(data),
        Tensor([[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]], "f32"),
        Tensor(data, dtype="float16", device="CPU"),
        Tensor(data, dtype=np.float32, requires_grad=np.bool(True)),
        Tensor(data, dtype=np.dtype("float32"), requires_grad=False),
        Tensor(data=data, dtype=bool),
    ]
    for t in forms:
        assert_type(t, Tensor)
        assert t.shape == [2, 3]


def test_properties_have_the_stubs_types() -> None:
    t = Tensor([[1.0, 2.0, 3.0]], requires_grad=True)
    assert_type(t.shape, list[int])
    assert_type(t.strides, list[int])
    assert_type(t.ndim, int)
    assert_type(t.dtype, Literal["f32", "f16", "bf16", "bool"])
    assert_type(t.device, Literal["cpu"])
    assert_type(t.requires_grad, bool)
    assert (type(t.shape), type(t.strides), type(t.ndim)) == (list, list, int)
    assert (t.dtype, t.device, t.requires_grad) == ("f32", "cpu", True)
    assert Tensor(t.to_numpy(), dtype=t.dtype).dtype == "f32"  # dtype round-trips


def test_methods_return_what_the_stubs_say() -> None:
    t = Tensor([[1.0, 2.0], [3.0, 4.0]], requires_grad=True)
    assert_type(t.reshape([4]), Tensor)
    assert_type(t.reshape(shape=(1, 4)), Tensor)
    assert_type(t.transpose(0, 1), Tensor)
    assert_type(t.transpose(dim0=np.int64(1), dim1=0), Tensor)
    assert_type(t.zeros_like(), Tensor)
    assert_type(t.ones_like(), Tensor)
    out = assert_type(t.to_numpy(), npt.NDArray[Any])
    assert isinstance(out, np.ndarray)

    grad = assert_type(t.grad(), npt.NDArray[Any] | None)
    assert grad is None
    y = nn.functional.relu(t * 2.0)
    assert_type(y, Tensor)
    assert_type(y.backward(), None)
    grad = t.grad()
    assert grad is not None
    np.testing.assert_array_equal(grad, np.full((2, 2), 2.0, np.float32))
    assert_type(Tensor.clear_graph(), None)
    assert_type(t.clear_graph(), None)
    assert t.grad() is None


def test_operators_with_tensors_and_numbers() -> None:
    a = Tensor([1.0, 2.0])
    b = Tensor([4.0, 8.0])
    one = np.float32(1.0)
    results = [
        a + b, a + 1, 1 + a, a + one, a + np.array(1.0),
        a - b, a - 1.0,
        a * b, a * 2, 2 * a,
        a / b, a / 4.0, 8.0 / a,
        a.reshape([1, 2]) @ b.reshape([2, 1]),
    ]
    for r in results:
        assert_type(r, Tensor)
    np.testing.assert_array_equal((8.0 / a).to_numpy(), [8.0, 4.0])


def test_comparisons_return_bool_tensors() -> None:
    a = Tensor([1.0, float("nan")])
    for r in [a < 1.0, a <= a, a > 0, a >= a, a == a, a == 1.0, a != a, 2.0 < a, a.__rgt__(1.0)]:
        assert_type(r, Tensor)
        assert r.dtype == "bool"
    np.testing.assert_array_equal((a != a).to_numpy(), [False, True])
    assert_type(a.__req__(other=1.0), Tensor)
    assert_type(a.__rlt__(1.0), Tensor)
    # Anything else falls back to identity, as for any object.
    assert_type(a == "x", bool)
    assert_type(a != None, bool)  # noqa: E711
    assert (a == "x", a != None) == (False, True)  # noqa: E711


def test_logical_operators_on_bool_tensors() -> None:
    p = Tensor([True, False], dtype="bool")
    q = Tensor([True, True], dtype="bool")
    for r in [p & q, p | q, p ^ q, ~p]:
        assert_type(r, Tensor)
    np.testing.assert_array_equal((p ^ q).to_numpy(), [False, True])


def test_uses_the_stubs_reject_fail_at_run_time() -> None:
    t = Tensor([1.0, 2.0])
    with pytest.raises(TypeError):
        1.0 - t  # type: ignore[operator]
    with pytest.raises(TypeError):
        t @ 2.0  # type: ignore[operator]
    with pytest.raises(TypeError):
        True & t  # type: ignore[operator]
    with pytest.raises(TypeError):
        -t  # type: ignore[operator]
    with pytest.raises(TypeError):
        t + "a"  # type: ignore[operator]
    with pytest.raises(TypeError):
        t.reshape("12")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        hash(t)
    with pytest.raises(AttributeError):
        t.requires_grad = True  # type: ignore[misc]
    with pytest.raises(TypeError):
        nn.functional.relu(np.ones(2))  # type: ignore[arg-type]


def test_module_layout() -> None:
    assert_type(mirel_core.__all__, list[str])
    assert mirel_core.__all__ == ["Tensor", "nn"]
    relu = mirel_core.nn.functional.relu
    assert_type(relu(py_tensor=Tensor([-1.0, 1.0])), Tensor)
    np.testing.assert_array_equal(relu(Tensor([-1.0, 1.0])).to_numpy(), [0.0, 1.0])


def test_pickling_and_copying_keep_the_type() -> None:
    t = Tensor([[1.0, 2.0]], dtype="f16", requires_grad=True)
    rebuild, args = t.__reduce_ex__(4)
    assert_type(rebuild(*args), Tensor)
    for u in [pickle.loads(pickle.dumps(t)), copy.copy(t), copy.deepcopy(t)]:
        assert isinstance(u, Tensor)
        assert (u.shape, u.dtype, u.requires_grad) == ([1, 2], "f16", True)
