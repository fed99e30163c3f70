"""Module initialisation: what importing creates, the Tensor type's shape, and lazy NumPy."""
import inspect
import sys

import pytest

import mirel_core
from mirel_core import Tensor, nn

from conftest import assert_runs

METHOD_SIGNATURES = [
    ("grad", "($self)"),
    ("__req__", "($self, other)"),
    ("__rlt__", "($self, other)"),
    ("__rgt__", "($self, other)"),
    ("to_numpy", "($self)"),
    ("zeros_like", "($self)"),
    ("ones_like", "($self)"),
    ("reshape", "($self, shape)"),
    ("transpose", "($self, dim0, dim1)"),
    ("backward", "($self)"),
    ("clear_graph", "()"),
]
PROPERTIES = ["shape", "ndim", "strides", "dtype", "device", "requires_grad"]


def test_module_registers_exactly_tensor_and_nn():
    assert mirel_core.__all__ == ["Tensor", "nn"]
    assert nn.__all__ == ["functional"]
    assert nn.functional.__all__ == ["relu"]
    assert {"Tensor", "nn"} <= set(dir(mirel_core))
    assert mirel_core.__doc__ == ""


def test_submodules_are_attributes_not_importable_modules():
    assert nn.__name__ == "nn"
    assert nn.functional.__name__ == "functional"
    assert "nn" not in sys.modules and "mirel_core.nn" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        __import__("mirel_core.nn")


def test_relu_is_a_builtin_of_functional():
    relu = nn.functional.relu
    assert relu.__module__ == "functional"
    assert relu.__name__ == "relu"
    assert relu.__text_signature__ == "(py_tensor)"
    assert relu.__self__ is nn.functional


def test_tensor_type_identity():
    assert Tensor.__module__ == "mirel"
    assert Tensor.__qualname__ == "Tensor"
    assert Tensor.__name__ == "Tensor"
    assert str(inspect.signature(Tensor)) == "(data, dtype=None, device='cpu', requires_grad=False)"


def test_tensor_is_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (Tensor,), {})


def test_tensor_is_unhashable_and_always_true():
    t = Tensor([0.0])
    with pytest.raises(TypeError, match="unhashable"):
        hash(t)
    assert bool(t) and bool(Tensor([])) and bool(Tensor(False, dtype="bool"))
    assert repr(t).startswith("<mirel.Tensor object at 0x")


@pytest.mark.parametrize("name,signature", METHOD_SIGNATURES)
def test_method_text_signatures(name, signature):
    method = getattr(Tensor, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None  # the whole docstring is the signature


def test_methods_and_properties_are_declared_in_order():
    names = list(vars(Tensor))
    assert [k for k in names if k in PROPERTIES] == PROPERTIES
    assert [k for k in names if k in dict(METHOD_SIGNATURES)] == [name for name, _ in METHOD_SIGNATURES]


def test_clear_graph_is_static():
    assert Tensor.clear_graph() is None
    assert Tensor([1.0]).clear_graph() is None


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only(name):
    t = Tensor([1.0])
    assert getattr(Tensor, name).__doc__ is None
    with pytest.raises(AttributeError):
        setattr(t, name, getattr(t, name))


@pytest.mark.parametrize(
    "op",
    [lambda t: -t, lambda t: +t, lambda t: abs(t), lambda t: t**2, lambda t: t // 2, lambda t: len(t), lambda t: t[0]],
    ids=["neg", "pos", "abs", "pow", "floordiv", "len", "getitem"],
)
def test_protocols_the_type_does_not_define(op):
    with pytest.raises(TypeError):
        op(Tensor([1.0]))


def test_panic_exception_derives_directly_from_base_exception(panic_exception):
    assert panic_exception.__bases__ == (BaseException,)
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__module__ == "mirel_core"
    assert not hasattr(mirel_core, "PanicException")
    with pytest.raises(panic_exception):
        try:
            Tensor([[1.0]]).transpose(2, 0)
        except Exception:  # must not catch it
            pytest.fail("except Exception caught a PanicException")


def test_import_does_not_import_numpy():
    assert_runs(
        """
        import sys
        import mirel_core
        assert "numpy" not in sys.modules, "importing mirel_core imported numpy"
        """
    )


def test_import_without_numpy_then_construction_fails():
    assert_runs(
        """
        import sys
        sys.modules["numpy"] = None  # makes `import numpy` raise ModuleNotFoundError
        import mirel_core
        try:
            mirel_core.Tensor([1.0])
        except ModuleNotFoundError:
            pass
        else:
            raise AssertionError("construction without NumPy succeeded")
        """
    )


def test_first_use_from_many_threads_loads_numpy_once():
    # The NumPy table and cached names are created by whichever thread comes
    # first; the others must wait for it without deadlocking the interpreter.
    out = assert_runs(
        """
        import sys, threading
        sys.setswitchinterval(1e-6)
        from mirel_core import Tensor
        results, barrier = [], threading.Barrier(8)
        def work(i):
            barrier.wait()
            results.append(float(Tensor([float(i)], dtype="bf16" if i % 2 else "f32").to_numpy()[0]))
        threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(sorted(results))
        """,
        timeout=60,
    )
    assert out.strip() == str([float(i) for i in range(8)])


def test_reimport_after_removal_reuses_the_type():
    assert_runs(
        """
        import sys
        import mirel_core
        first = mirel_core.Tensor
        del sys.modules["mirel_core"]
        import mirel_core as again
        assert again.Tensor is first
        assert again.__all__ == ["Tensor", "nn"]
        assert (again.Tensor([1.0]) + first([2.0])).to_numpy().tolist() == [3.0]
        """
    )


def test_failed_numpy_api_load_is_a_panic_and_is_retried():
    assert_runs(
        """
        import numpy
        from mirel_core import Tensor
        real = numpy.lib.NumpyVersion
        def broken(version):
            raise RuntimeError("no version for you")
        numpy.lib.NumpyVersion = broken
        try:
            Tensor([1.0])
        except Exception:
            raise AssertionError("the failure was an ordinary exception")
        except BaseException as e:
            assert type(e).__name__ == "PanicException", type(e)
            assert str(e).startswith("Failed to access NumPy array API capsule"), str(e)
            assert "no version for you" in str(e)
        else:
            raise AssertionError("construction succeeded without the NumPy API")
        numpy.lib.NumpyVersion = real  # a failed load caches nothing
        assert Tensor([1.0]).to_numpy().tolist() == [1.0]
        """
    )
