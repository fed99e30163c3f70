"""Tensor(data, dtype, device, requires_grad): dtype spellings, device, flags and NumPy's conversion."""
import ml_dtypes
import numpy as np
import pytest

from mirel_core import Tensor

from conftest import assert_runs


def test_nested_list_defaults_to_row_major_f32():
    t = Tensor([[1, 2], [3, 4]])
    assert (t.dtype, t.shape, t.strides, t.ndim) == ("f32", [2, 2], [2, 1], 2)
    out = t.to_numpy()
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out, [[1, 2], [3, 4]])


@pytest.mark.parametrize(
    "data,shape,strides",
    [(5.0, [], []), ([], [0], [0]), (np.zeros((0, 3)), [0, 3], [0, 0]), (np.zeros((2, 1, 3)), [2, 1, 3], [3, 3, 1])],
    ids=["scalar", "empty", "zero-axis", "unit-axis"],
)
def test_shapes_and_strides(data, shape, strides):
    t = Tensor(data)
    assert (t.shape, t.strides, t.ndim) == (shape, strides, len(shape))
    assert t.to_numpy().shape == tuple(shape)


DTYPE_SPELLINGS = [
    (None, "f32"),
    ("f32", "f32"),
    ("float32", "f32"),
    (np.float32, "f32"),
    (np.dtype("float32"), "f32"),
    ("f16", "f16"),
    ("float16", "f16"),
    (np.float16, "f16"),
    (np.dtype("float16"), "f16"),
    ("bf16", "bf16"),
    ("bfloat16", "bf16"),
    (ml_dtypes.bfloat16, "bf16"),
    (np.dtype(ml_dtypes.bfloat16), "bf16"),
    ("bool", "bool"),
    (bool, "bool"),
    (np.bool_, "bool"),  # __name__ is "bool" from NumPy 2 on
    (np.dtype("bool"), "bool"),
]


@pytest.mark.parametrize("dtype,expected", DTYPE_SPELLINGS, ids=[repr(d) for d, _ in DTYPE_SPELLINGS])
def test_dtype_spellings(dtype, expected):
    t = Tensor([0.0, 1.0, 2.5], dtype=dtype)
    assert t.dtype == expected
    assert Tensor(t.to_numpy(), dtype=t.dtype).dtype == expected  # the reported name is accepted back


@pytest.mark.parametrize(
    "dtype,name",
    [("Float32", "Float32"), ("F32", "F32"), ("float64", "float64"), ("", ""), ("f32 ", "f32 "), (float, "float"),
     (int, "int"), (np.float64, "float64"), (np.dtype("int8"), "int8"), ("é", "é")],
)
def test_unsupported_dtype_names(dtype, name):
    with pytest.raises(ValueError) as e:
        Tensor([1.0], dtype=dtype)
    assert str(e.value) == f"Unsupported or invalid data type: '{name}'"


def test_dtype_name_that_is_not_a_str():
    class Odd:
        __name__ = 32

    with pytest.raises(TypeError):
        Tensor([1.0], dtype=Odd())


def test_dtype_that_numpy_cannot_interpret_raises_numpys_error():
    with pytest.raises(TypeError) as e:
        Tensor([1.0], dtype=object())
    assert "Unsupported" not in str(e.value)


@pytest.mark.parametrize("device", ["cpu", "CPU", "Cpu", "cPU"])
def test_device_any_case(device):
    assert Tensor([1.0], device=device).device == "cpu"


@pytest.mark.parametrize("device", [" cpu", "cpu ", "cuda", "gpu", "", "cpu\0", "ｃｐｕ", "cpu0"])
def test_device_rejected(device):
    with pytest.raises(ValueError, match=r"^The device string is invalid or not supported\.$"):
        Tensor([1.0], device=device)


def test_device_is_checked_before_dtype():
    with pytest.raises(ValueError, match="device string"):
        Tensor([1.0], device="gpu", dtype="f64")


def test_device_and_flag_types_are_checked_before_values():
    # device type first, then requires_grad type, then the device text.
    with pytest.raises(TypeError) as e:
        Tensor([1.0], device=1, requires_grad=1)
    assert e.value.__notes__ == ["while processing 'device'"]
    with pytest.raises(TypeError) as e:
        Tensor([1.0], device="gpu", requires_grad=1)
    assert e.value.__notes__ == ["while processing 'requires_grad'"]


@pytest.mark.parametrize("flag,expected", [(True, True), (False, False), (np.bool_(True), True), (np.bool_(False), False)])
def test_requires_grad_accepts_bools(flag, expected):
    t = Tensor([1.0], requires_grad=flag)
    assert t.requires_grad is expected


@pytest.mark.parametrize("flag", [1, 0, 1.0, None, "True", np.int8(1), np.array(True)])
def test_requires_grad_rejects_everything_else(flag):
    with pytest.raises(TypeError) as e:
        Tensor([1.0], requires_grad=flag)
    assert e.value.__notes__ == ["while processing 'requires_grad'"]


@pytest.mark.parametrize("make", [Tensor, lambda *a, **k: Tensor.__new__(Tensor, *a, **k)], ids=["call", "__new__"])
def test_positional_and_keyword_arguments(make):
    t = make([1.0, 2.0], "f16", "CPU", True)
    assert (type(t), t.dtype, t.device, t.requires_grad) == (Tensor, "f16", "cpu", True)
    t = make(requires_grad=False, device="cpu", dtype="bool", data=[0, 2])
    assert t.to_numpy().tolist() == [False, True]


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")
@pytest.mark.parametrize(
    "data,dtype,expected",
    [([1.5, -2.0, 0.0], "bool", [True, True, False]), ([0, 1], bool, [False, True]),
     ([1e6, 70000.0], "f16", [np.inf, np.inf]), ([1, 2**24 + 1], "f32", [1.0, 16777216.0])],
)
def test_values_are_cast_by_numpy(data, dtype, expected):
    np.testing.assert_array_equal(Tensor(data, dtype=dtype).to_numpy(), expected)


@pytest.mark.parametrize(
    "data,error",
    [([[1.0], [1.0, 2.0]], ValueError), (object(), TypeError), ("abc", ValueError), ({"a": 1}, TypeError),
     (Tensor([1.0]), TypeError)],
    ids=["ragged", "object", "text", "dict", "tensor"],
)
def test_numpy_conversion_errors_pass_through(data, error):
    with pytest.raises(error):
        Tensor(data)


def test_zero_size_array_with_huge_axis():
    t = Tensor(np.empty((0, 2**40), dtype=np.float32))
    assert t.shape == [0, 2**40] and t.strides == [0, 0]
    assert t.to_numpy().shape == (0, 2**40)
    assert t.reshape([2**40, 0]).shape == [2**40, 0]


def source_layouts():
    base = np.arange(2 * 3 * 4, dtype=np.float32).reshape(2, 3, 4)
    raw = np.zeros(4 * 24 + 1, dtype=np.uint8)
    misaligned = np.frombuffer(raw.data, dtype=np.float32, count=24, offset=1).reshape(2, 3, 4)
    misaligned[...] = base
    return {
        "fortran": np.asfortranarray(base),
        "permuted": base.transpose(2, 0, 1),  # numpy.array keeps this axis order
        "strided": np.arange(48, dtype=np.float32)[::2].reshape(2, 3, 4),
        "reversed": base[::-1, :, ::-1],
        "byteswapped": base.astype(">f4"),
        "misaligned": misaligned,
        "broadcast": np.broadcast_to(base[:1], (3, 3, 4)),
        "float64": base.astype(np.float64),
    }


@pytest.mark.parametrize("name", list(source_layouts()))
def test_any_source_layout_is_read_in_logical_order(name):
    src = source_layouts()[name]
    t = Tensor(src)
    assert t.shape == list(src.shape)
    assert t.strides == [src.shape[1] * src.shape[2], src.shape[2], 1]  # always row-major
    np.testing.assert_array_equal(t.to_numpy(), src.astype(np.float32))


@pytest.mark.parametrize("dtype", ["f16", "bf16", "bool"])
def test_fortran_source_for_every_dtype(dtype):
    src = np.asfortranarray(np.arange(12).reshape(3, 4) % 3)
    t = Tensor(src, dtype=dtype)
    assert t.strides == [4, 1]
    np.testing.assert_array_equal(t.to_numpy().astype(np.float32), src.astype(bool if dtype == "bool" else np.float32))


@pytest.mark.parametrize("view", [lambda b: b, lambda b: b[::2], lambda b: b.reshape(2, 4).T], ids=["contiguous", "strided", "fortran"])
def test_bool_bytes_other_than_0_and_1_are_normalised(view):
    raw = np.array([0, 1, 2, 255, 0, 128, 3, 0], dtype=np.uint8)
    src = view(raw.view(np.bool_))
    t = Tensor(src, dtype="bool")
    out = t.to_numpy()
    assert set(np.unique(out.view(np.uint8)).tolist()) <= {0, 1}
    np.testing.assert_array_equal(out, view(raw != 0))
    np.testing.assert_array_equal((~t).to_numpy(), ~view(raw != 0))


def _float32_patterns():
    """Random bit patterns (NaNs left out) and the cases rounding turns on."""
    bits = np.random.default_rng(7).integers(0, 2**32, 200_000, dtype=np.uint64).astype(np.uint32)
    edges = np.array([0, 0x8000_0000, 0x7F80_0000, 0xFF80_0000, 1, 0x807F_FFFF, 0x0000_8000, 0x0001_8000,
                      0x3F80_8000, 0x3F81_8000, 0x3F80_FFFF, 0x007F_FFFF, 0x0080_0000, 0x7F7F_7FFF,
                      0x7F7F_8000, 0x7F7F_FFFF, 0xFF7F_FFFF], np.uint32)
    values = np.concatenate([edges, bits]).view(np.float32)
    return values[~np.isnan(values)]


@pytest.mark.parametrize("layout", ["row-major", "fortran", "strided", "0-d", "empty", "unaligned"])
def test_float32_data_as_bfloat16_has_numpys_bits(layout):
    values = _float32_patterns()
    data = {
        "row-major": values[:190_000].reshape(-1, 8, 5),
        "fortran": np.asfortranarray(values[:1000].reshape(40, 25)),
        "strided": values[::3],
        "0-d": values[5].reshape(()),
        "empty": values[:0].reshape(0, 3),
        "unaligned": np.frombuffer(b"\0" + values[:64].tobytes(), np.float32, offset=1),
    }[layout]
    got = Tensor(data, dtype="bf16", requires_grad=True).to_numpy()
    expected = np.array(data, dtype=ml_dtypes.bfloat16)
    assert got.shape == expected.shape
    np.testing.assert_array_equal(got.view(np.uint16), expected.view(np.uint16))


def test_float32_data_with_nans_as_bfloat16_warns_like_numpy():
    data = np.array([1.0, np.nan, -np.nan, 3.0], np.float32)
    data[2:3].view(np.uint32)[0] = 0x7F80_0001  # signalling
    with pytest.warns(RuntimeWarning) as ours:
        got = Tensor(data, dtype="bf16").to_numpy()
    with pytest.warns(RuntimeWarning) as numpys:
        expected = np.array(data, dtype=ml_dtypes.bfloat16)
    assert [str(w.message) for w in ours] == [str(w.message) for w in numpys]
    np.testing.assert_array_equal(got.view(np.uint16), expected.view(np.uint16))


def test_bfloat16_works_without_importing_ml_dtypes():
    assert_runs(
        """
        import sys
        from mirel_core import Tensor
        assert "ml_dtypes" not in sys.modules
        t = Tensor([1.5, -2.0], dtype="bf16")
        out = t.to_numpy()
        assert str(out.dtype) == "bfloat16", out.dtype
        assert out.astype("float32").tolist() == [1.5, -2.0]
        """
    )


def test_bfloat16_without_any_provider_fails_in_numpy():
    assert_runs(
        """
        import sys
        sys.modules["ml_dtypes"] = None  # not installed
        from mirel_core import Tensor
        for _ in range(2):  # the missing provider is not cached as a hard failure
            try:
                Tensor([1.0], dtype="bf16")
            except TypeError as e:
                assert "bfloat16" in str(e), e
            else:
                raise AssertionError("bf16 construction without a provider succeeded")
        assert Tensor([1.0], dtype="f16").dtype == "f16"
        """
    )


@pytest.mark.parametrize("name", ["bf16", "bfloat16"])
def test_missing_bfloat16_provider_keeps_numpys_error_and_adds_an_install_note(name):
    assert_runs(
        f"""
        import sys
        sys.modules["ml_dtypes"] = None  # hidden: importing it fails
        import numpy as np
        from mirel_core import Tensor
        try:
            np.array([1.0], dtype="bfloat16")
        except Exception as e:
            expected = (type(e), str(e))
        try:
            Tensor([1.0], dtype={name!r})
        except Exception as e:
            assert (type(e), str(e)) == expected, (type(e), str(e), expected)
            notes = getattr(e, "__notes__", [])
            assert len(notes) == 1 and "pip install ml_dtypes" in notes[0], notes
        else:
            raise AssertionError("bf16 construction without ml_dtypes succeeded")
        """
    )


@pytest.mark.parametrize(
    "data,dtype",
    [([[1.0], [1.0, 2.0]], "bf16"), ([[1.0], [1.0, 2.0]], "f32"), ("x", "f16")],
)
def test_numpy_errors_with_a_provider_get_no_install_note(data, dtype):
    with pytest.raises((ValueError, TypeError)) as info:
        Tensor(data, dtype=dtype)
    assert not getattr(info.value, "__notes__", [])
