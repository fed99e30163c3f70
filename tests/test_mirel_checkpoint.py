"""mirel.checkpoint: bit-exact round trips, atomic writes, damaged files, files of other frameworks."""
import json
import os
import struct

import ml_dtypes
import numpy as np
import pytest
import safetensors

from mirel import checkpoint
from mirel_core import Tensor

BITS = {"f32": np.uint32, "f16": np.uint16, "bf16": np.uint16, "bool": np.uint8}
VIEWS = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16, "bool": np.bool_}
# Signalling and quiet NaNs with payloads, signed zero, subnormals, infinity, one.
F32_EDGES = [0x7F800001, 0xFF812345, 0x7FC00001, 0x80000000, 0x00000001, 0x807FFFFF, 0x7F800000, 0x3F800000]
ALL_HALVES = np.arange(1 << 16)


def of_bits(dtype, bits):
    return Tensor(np.asarray(bits, BITS[dtype]).view(VIEWS[dtype]), dtype=dtype)


def bits_of(t):
    return t.to_numpy().view(BITS[t.dtype])


def made(header, data=b""):
    h = json.dumps(header).encode()
    return struct.pack("<Q", len(h)) + h + data


@pytest.mark.parametrize("dtype", list(BITS))
def test_every_bit_pattern_and_layout_survives(tmp_path, dtype):
    bits = {"f32": F32_EDGES, "f16": ALL_HALVES, "bf16": ALL_HALVES, "bool": [1, 0, 1, 1, 0, 0]}[dtype]
    flat = of_bits(dtype, bits)
    cases = {"flat": flat, "col_major": flat.reshape([2, len(bits) // 2]).transpose(0, 1),
             "scalar": of_bits(dtype, bits[:1]).reshape([]), "empty": of_bits(dtype, []).reshape([0, 4])}
    assert cases["col_major"].__reduce_ex__(5)[1][3] == "F"  # the storage goes out transposed
    checkpoint.save_file(cases, tmp_path / "t.safetensors")
    back = checkpoint.load_file(tmp_path / "t.safetensors")
    for name, t in cases.items():
        assert isinstance(back[name], Tensor) and back[name].dtype == dtype and back[name].shape == t.shape
        np.testing.assert_array_equal(bits_of(back[name]), bits_of(t), err_msg=name)


def test_numpy_arrays_keep_their_dtype_and_file_order(tmp_path):
    arrays = {"i64": np.arange(-3, 3).reshape(2, 3), "big_endian": np.arange(4, dtype=">i4"),
              "u8": np.arange(250, 256, dtype=np.uint8)[::2], "f64": np.array([np.nan, -0.0]),
              "f32": np.array([1.5], np.float32)}
    path = tmp_path / "a.safetensors"
    checkpoint.save_file(arrays, path, metadata={"step": "7"})
    back = checkpoint.load_file(path)
    with safetensors.safe_open(path, framework="numpy") as f:
        assert list(back) == f.offset_keys()
    for name in ("i64", "big_endian", "u8", "f64"):
        assert back[name].dtype == arrays[name].dtype.newbyteorder("=")
        np.testing.assert_array_equal(back[name], arrays[name])
    assert back["f32"].dtype == "f32" and checkpoint.load_metadata(path) == {"step": "7"}
    checkpoint.save_file({}, path)
    assert checkpoint.load_file(path) == {} and checkpoint.load_metadata(path) == {}


def test_failed_writes_leave_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    path = tmp_path / "c.safetensors"
    checkpoint.save_file({"old": np.ones(3)}, path)
    os.chmod(path, 0o640)
    before = path.read_bytes()
    bad_inputs = [({1: np.zeros(2)}, None, TypeError, "1"), ({"w": [1.0]}, None, TypeError, "'w'"),
                  ({"w": np.zeros(2, complex)}, None, ValueError, "complex128"),
                  ({"__metadata__": np.zeros(2)}, None, ValueError, "reserved"),
                  ({"w": np.zeros(2)}, {"step": 7}, TypeError, "'step'"), ([np.zeros(2)], None, TypeError, "list")]
    for tensors, metadata, error, culprit in bad_inputs:
        with pytest.raises(error, match=culprit):
            checkpoint.save_file(tensors, path, metadata)

    def dies_half_way(specs, filename, metadata=None):
        open(filename, "wb").write(b"partial")
        raise OSError("disk full")

    with monkeypatch.context() as m:
        m.setattr(safetensors, "serialize_file", dies_half_way)
        with pytest.raises(OSError, match="disk full"):
            checkpoint.save_file({"w": np.zeros(2)}, path)
    (tmp_path / "dir").mkdir()
    with pytest.raises(IsADirectoryError):
        checkpoint.save_file({"w": np.zeros(2)}, tmp_path / "dir")
    assert path.read_bytes() == before and sorted(os.listdir(tmp_path)) == ["c.safetensors", "dir"]
    checkpoint.save_file({"new": np.zeros(1)}, path)
    assert os.stat(path).st_mode & 0o777 == 0o640 and list(checkpoint.load_file(path)) == ["new"]


W = {"dtype": "F32", "shape": [2], "data_offsets": [0, 8]}


@pytest.mark.parametrize("content, reason", [
    (made({"w": W}, bytes(8))[:7], "header too small"),
    (made({"w": W}, bytes(8))[:40], "header length"),
    (made({"w": W}, bytes(7)), "not fully covered"),
    (b"\xff" * 8 + made({"w": W}, bytes(8))[8:], "header too large"),
    (made({"w": W})[:-3] + b"\0" * 8, "invalid JSON"),
    (made({"w": {**W, "dtype": "F99"}}, bytes(8)), "unknown variant"),
    (made({"w": {**W, "shape": [3]}}, bytes(8)), "invalid shape"),
    (made({"w": {**W, "data_offsets": [8, 16]}}, bytes(8)), "invalid offset"),
    (made({"w": {"dtype": "BOOL", "shape": [2], "data_offsets": [0, 2]}}, b"\1\2"), "other than 0 and 1"),
    (made({"w": {"dtype": "F8_E4M3", "shape": [2], "data_offsets": [0, 2]}}, b"\0\0"), "F8_E4M3"),
])
def test_damaged_files_raise_value_error_naming_the_file(tmp_path, content, reason):
    path = tmp_path / "made.safetensors"
    path.write_bytes(content)
    loads = [checkpoint.load_file] + ([] if reason in ("other than 0 and 1", "F8_E4M3") else [checkpoint.load_metadata])
    for load in loads:
        with pytest.raises(ValueError, match=f"'.*made.safetensors'.*{reason}"):
            load(path)
        with pytest.raises(FileNotFoundError):
            load(tmp_path / "missing.safetensors")


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
def test_files_interoperate_with_torch(tmp_path, dtype):
    torch = pytest.importorskip("torch")
    from safetensors import torch as st_torch

    torch_dtype = {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}[dtype]
    bits = F32_EDGES if dtype == "f32" else ALL_HALVES
    ours = of_bits(dtype, bits)
    checkpoint.save_file({"x": ours}, tmp_path / "ours.safetensors")
    theirs = st_torch.load_file(tmp_path / "ours.safetensors")["x"]
    int_dtype = torch.int32 if dtype == "f32" else torch.int16
    assert theirs.dtype == torch_dtype
    np.testing.assert_array_equal(theirs.view(int_dtype).numpy().view(BITS[dtype]), bits_of(ours))
    st_torch.save_file({"y": theirs.reshape(-1, 2)}, tmp_path / "theirs.safetensors")
    back = checkpoint.load_file(tmp_path / "theirs.safetensors")["y"]
    assert back.dtype == dtype and back.shape == [len(bits) // 2, 2]
    np.testing.assert_array_equal(bits_of(back).ravel(), bits_of(ours))
