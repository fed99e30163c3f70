"""Checkpoints in the safetensors format, readable and writable by other frameworks.

``save_file`` writes a mapping of names to tensors (or NumPy arrays) atomically,
``load_file`` reads one back, ``load_metadata`` reads only its text annotations::

    import mirel
    from mirel import checkpoint
    checkpoint.save_file({"w": w, "b": b}, "model.safetensors", metadata={"step": "100"})
    state = checkpoint.load_file("model.safetensors")

Tensors keep their element type (f32, f16, bf16 and bool are stored as F32, F16,
BF16 and BOOL) and every bit of every element, NaN payloads included.
"""
from __future__ import annotations

import contextlib
import errno
import fcntl
import json
import os
import re
import secrets
import stat
import struct
from collections.abc import Callable, Iterator, Mapping
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt
import safetensors

import mirel_core
from mirel.tensor import Tensor

__all__ = ["save_file", "load_file", "load_metadata", "save_checkpoint", "load_checkpoint"]

_Path: TypeAlias = str | os.PathLike[str]
_Entry: TypeAlias = Tensor | npt.NDArray[Any]

# Note [raw element bytes]
# Tensors enter and leave a checkpoint as their raw element bytes, through the
# pickle contract of Tensor: __reduce_ex__(5) hands out the storage itself (a
# PickleBuffer) with its memory order, and Tensor._rebuild makes a tensor of
# bytes with one copy. No NumPy conversion sits in between, so a bf16 tensor
# needs no NumPy bfloat16 type, every bit pattern survives (a float32 detour
# would quiet signalling bf16 NaNs), and a row-major tensor is written straight
# from its storage. The pickle form is a lasting contract, since pickles
# outlive the code that wrote them.
_rebuild: Callable[..., Tensor] = getattr(Tensor, "_rebuild")

# File element type -> Tensor element type, for what loads as a Tensor.
_TENSOR_TYPES = {"F32": "f32", "F16": "f16", "BF16": "bf16", "BOOL": "bool"}
_TENSOR_CODES = {v: k for k, v in _TENSOR_TYPES.items()}
# File element type -> NumPy dtype name, which is also the name safetensors'
# TensorSpec takes. Types missing here (8-bit floats, complex) are refused.
_NUMPY_TYPES = {
    "F64": "float64", "F32": "float32", "F16": "float16", "BF16": "bfloat16", "BOOL": "bool",
    "I64": "int64", "I32": "int32", "I16": "int16", "I8": "int8",
    "U64": "uint64", "U32": "uint32", "U16": "uint16", "U8": "uint8",
}  # fmt: skip
_NUMPY_CODES = {v: k for k, v in _NUMPY_TYPES.items()}
# Unsigned integers as wide as each Tensor element: its bits, whatever the type.
_BITS: dict[str, np.dtype[Any]] = {
    "f32": np.dtype("<u4"), "f16": np.dtype("<u2"), "bf16": np.dtype("<u2"), "bool": np.dtype("u1"),
}  # fmt: skip
_METADATA_KEY = "__metadata__"  # the header's own entry; no tensor may take its name


def save_file(tensors: Mapping[str, _Entry], path: _Path, metadata: Mapping[str, str] | None = None) -> None:
    """Writes tensors to a safetensors file at path, replacing it atomically.

    tensors maps names to mirel Tensors (stored in their own element type:
    f32, f16, bf16, bool) or NumPy arrays (float64/32/16, ml_dtypes.bfloat16,
    bool, signed and unsigned 8 to 64-bit integers, stored in their dtype).
    Gradients and requires_grad are not stored. metadata is optional text
    (str to str) kept in the header. Every name, value and metadata item is
    checked before anything is written (TypeError or ValueError naming the
    culprit). The file is written to a temporary in the same directory, synced
    and renamed over path, so on any failure the old file is untouched; a
    replaced file keeps its permissions.
    """
    if not isinstance(tensors, Mapping):
        raise TypeError(f"save_file: tensors must be a mapping of names to tensors, not {type(tensors).__name__}")
    target = os.fspath(path)
    if not isinstance(target, str):
        raise TypeError(f"save_file: path must be a str or os.PathLike[str], not {type(target).__name__}")
    arrays = {name: _raw_array(name, value) for name, value in tensors.items()}
    header = _checked_metadata(metadata)
    specs = {
        name: safetensors.TensorSpec(
            dtype=_NUMPY_TYPES[code], shape=list(a.shape), data_ptr=a.ctypes.data, data_len=a.nbytes
        )
        for name, (code, a) in arrays.items()
    }
    # `arrays` keeps every buffer the specs point into alive until the file is written.
    def write(tmp: str) -> None:
        with _panics_as_memory_errors():
            safetensors.serialize_file(specs, tmp, metadata=header)

    _write_atomically(target, write)


def load_file(path: _Path) -> dict[str, _Entry]:
    """Reads every entry of the safetensors file at path, in the order of their data in the file.

    F32, F16, BF16 and BOOL entries come back as mirel Tensors of element type
    f32, f16, bf16 and bool, bit for bit; F64 and integer entries as NumPy
    arrays. A missing file raises FileNotFoundError; a truncated or corrupted
    one, or one holding an element type mirel cannot represent, raises
    ValueError naming path, and nothing is returned.
    """
    name = os.fspath(path)
    with open(name, "rb") as f:
        content = f.read()
    _check_entry_count(name, content)
    try:
        with _panics_as_memory_errors():
            entries = safetensors.deserialize(content)  # type: ignore[no-untyped-call]
    except safetensors.SafetensorError as e:
        raise _invalid(name, e) from None
    # The entries come in no particular order; the header, valid by now, has their places.
    (size,) = struct.unpack_from("<Q", content)
    header = json.loads(content[8 : 8 + size])
    del content
    # Last first, popped one at a time, so that each entry's bytes are freed once it is built.
    entries.sort(key=lambda e: (header[e[0]]["data_offsets"], e[0]), reverse=True)
    for key, info in entries:  # every shape checked before any entry is built
        _check_shape(name, key, info["dtype"], info["shape"])
    out: dict[str, _Entry] = {}
    while entries:
        key, info = entries.pop()
        out[key] = _entry(name, key, info["dtype"], tuple(info["shape"]), info["data"])
    return out


# The header's cost: safetensors builds a Python object or more per entry, and a
# header can list a million zero-size entries in a few tens of megabytes. The
# entries are counted on the raw header (each has one "data_offsets" key, which
# no JSON string can hold unescaped except as a whole string) before anything
# is parsed, and more than this many are refused: far more than any model's
# file holds (checkpoints of the largest models are sharded into files of a few
# thousand tensors); 100,000 empty entries load in about 1.3 s and 170 MB.
MAX_ENTRIES = 100_000
# NumPy's limit: an entry of more axes loads nowhere and could not be saved again.
MAX_AXES = 64


def _check_entry_count(path: str, content: bytes) -> None:
    if len(content) < 8:
        return  # safetensors refuses it with its own reason
    (size,) = struct.unpack_from("<Q", content)
    count = content.count(b'"data_offsets"', 8, 8 + min(size, len(content)))
    if count > MAX_ENTRIES:
        raise ValueError(f"checkpoint {path!r} lists {count} entries; mirel loads files of at most "
                         f"{MAX_ENTRIES} entries")


def _check_shape(path: str, name: str, code: str, shape: list[int]) -> None:
    """Refuses a shape no tensor or NumPy array can take, naming the file and the entry."""
    if len(shape) > MAX_AXES:
        raise ValueError(f"checkpoint {path!r}: entry {name!r} has {len(shape)} axes; at most {MAX_AXES} load")
    itemsize = 1 if code in ("BOOL", "I8", "U8") else 8 if code[-2:] == "64" else 2 if code[-2:] == "16" else 4
    size = itemsize
    for n in shape:
        size *= n if n else 1
    if size > 2**63 - 1:  # a zero-size entry too: its strides would overflow
        raise ValueError(f"checkpoint {path!r}: entry {name!r} has shape {list(shape)}, too large for a tensor "
                         f"(its axes span more than 2**63 - 1 bytes)")


@contextlib.contextmanager
def _panics_as_memory_errors() -> Iterator[None]:
    """safetensors (Rust, through PyO3) panics where an allocation fails, and PyO3 raises the panic as its
    PanicException, a BaseException that no `except Exception` catches: it is raised as MemoryError."""
    try:
        yield
    except BaseException as e:
        if type(e).__name__ != "PanicException" or type(e).__module__ != "pyo3_runtime":
            raise
        raise MemoryError(f"safetensors failed (out of memory?): {e}") from e


def load_metadata(path: _Path) -> dict[str, str]:
    """The text metadata of the safetensors file at path ({} when it has none).

    Raises like load_file: FileNotFoundError, or ValueError for a file that is
    not a valid safetensors file.
    """
    name = os.fspath(path)
    if os.path.isdir(name):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
    try:
        with _panics_as_memory_errors(), safetensors.safe_open(name, framework="numpy") as f:
            found = f.metadata()
    except safetensors.SafetensorError as e:
        raise _invalid(name, e) from None
    return dict(found or {})


def _raw_array(name: object, value: object) -> tuple[str, npt.NDArray[Any]]:
    """The file element type of value and its elements as a C-contiguous little-endian array."""
    if not isinstance(name, str):
        raise TypeError(f"save_file: tensor names must be str, not {type(name).__name__} ({name!r})")
    if name == _METADATA_KEY:
        raise ValueError(f"save_file: the name {name!r} is reserved for the file's metadata")
    if isinstance(value, mirel_core.Tensor):
        # Note [raw element bytes]
        _, (data, dtype, shape, order, _) = value.__reduce_ex__(5)
        flat = np.frombuffer(data, _BITS[dtype])
        if order == "F":
            return _TENSOR_CODES[dtype], np.ascontiguousarray(flat.reshape(shape[::-1]).T)
        return _TENSOR_CODES[dtype], flat.reshape(shape)
    if not isinstance(value, np.ndarray):
        raise TypeError(
            f"save_file: entry {name!r} is a {type(value).__name__}; expected a mirel Tensor or a NumPy array"
        )
    code = _NUMPY_CODES.get(value.dtype.name)
    if code is None:
        raise ValueError(
            f"save_file: entry {name!r} has dtype {value.dtype}, which a checkpoint cannot hold "
            f"(supported: {', '.join(_NUMPY_CODES)})"
        )
    array = np.asarray(value, dtype=value.dtype.newbyteorder("<"), order="C")  # keeps 0-d
    if code == "BOOL" and array.size and array.view(np.uint8).max() > 1:
        array = array.view(np.uint8) != 0  # a bool viewed from other bytes; readers expect 0 or 1
    return code, array


def _checked_metadata(metadata: Mapping[str, str] | None) -> dict[str, str] | None:
    if metadata is None:
        return None
    if not isinstance(metadata, Mapping):
        raise TypeError(f"save_file: metadata must be a mapping of str to str, not {type(metadata).__name__}")
    for key, text in metadata.items():
        if not isinstance(key, str) or not isinstance(text, str):
            raise TypeError(
                f"save_file: metadata must map str to str; got {type(key).__name__} {key!r} -> "
                f"{type(text).__name__} {text!r}"
            )
    return dict(metadata)


def _write_atomically(target: str, write: Callable[[str], None]) -> None:
    """Runs write on a temporary beside target, then syncs it and renames it over target."""
    target = os.path.realpath(target)  # through a symlink, so that the link keeps pointing at the file
    directory, base = os.path.split(target)
    try:
        old_mode: int | None = os.stat(target).st_mode
    except FileNotFoundError:
        old_mode = None
    if old_mode is not None and stat.S_ISDIR(old_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
    if old_mode is not None and not stat.S_ISREG(old_mode):  # the rename would replace the device node itself
        raise ValueError(f"save_file: {target!r} exists and is not a regular file")
    # Note [temporaries]: the file is written in a fresh directory beside target,
    # ".<base>.<16 hex digits>.tmp", which this save keeps locked (flock) until
    # it is gone: safetensors writes through a temporary file of its own in the
    # same directory as the file it is given, so everything a save writes is in
    # a place named after the target and marked live. A writer killed mid-write
    # leaves that directory unlocked, and the next save of the same target
    # removes it (and the plain temporaries of earlier versions).
    _remove_stale_temporaries(directory, base)
    scratch, lock = _locked_scratch(directory, base)
    temporary = os.path.join(scratch, base)
    try:
        # Created here rather than by write so that its mode is what open() would
        # give a new file (0o666 less the umask); the writer leaves its file 0o600.
        # A replaced file keeps its own mode.
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        try:
            mode = stat.S_IMODE(os.fstat(fd).st_mode if old_mode is None else old_mode)
        finally:
            os.close(fd)
        write(temporary)
        os.chmod(temporary, mode)
        _fsync(temporary)
        os.replace(temporary, target)
    finally:
        _remove_tree(scratch, lock)
        os.close(lock)  # releases the lock
    with contextlib.suppress(OSError):  # the rename itself; not every file system syncs directories
        _fsync(directory)


def _locked_scratch(directory: str, base: str) -> tuple[str, int]:
    """A new directory beside the target for one save, created and locked: its path and open descriptor."""
    while True:
        scratch = os.path.join(directory, f".{base}.{secrets.token_hex(8)}.tmp")
        os.mkdir(scratch, 0o700)
        try:
            fd = os.open(scratch, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except FileNotFoundError:
            continue  # another save took it for stale and removed it at once: a new one
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            with contextlib.suppress(FileNotFoundError):
                if os.stat(scratch).st_ino == os.fstat(fd).st_ino:
                    return scratch, fd
            # Another save took it for stale and removed it before the lock: a new one.
        except BaseException:
            _remove_tree(scratch, fd)
            os.close(fd)
            raise
        os.close(fd)


def _remove_tree(path: str, fd: int) -> None:
    """Removes the files in the directory open as fd, then the directory at path; best effort."""
    with contextlib.suppress(OSError):
        for entry in os.scandir(fd):
            if not entry.is_dir(follow_symlinks=False):
                with contextlib.suppress(OSError):
                    os.unlink(entry.name, dir_fd=fd)
        os.rmdir(path)


def _remove_stale_temporaries(directory: str, base: str) -> None:
    """Removes what earlier saves of the same target left behind when their writer died (Note [temporaries]):
    the temporaries no process holds locked. Best effort: what cannot be opened or removed is left."""
    pattern = re.compile(rf"\.{re.escape(base)}\.[0-9a-f]{{16}}\.tmp")
    try:
        names = [n for n in os.listdir(directory) if pattern.fullmatch(n)]
    except OSError:
        return
    for n in names:
        path = os.path.join(directory, n)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW | os.O_NONBLOCK)
        except OSError:
            continue
        try:
            kind = os.fstat(fd).st_mode
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # OSError while a live writer holds it
            if stat.S_ISDIR(kind):
                _remove_tree(path, fd)
            elif stat.S_ISREG(kind):  # the plain temporary file of an earlier version
                os.unlink(path)
        except OSError:
            pass
        finally:
            os.close(fd)


def _fsync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _entry(path: str, name: str, code: str, shape: tuple[int, ...], data: bytearray) -> _Entry:
    """One loaded entry: a Tensor for the element types a Tensor has, else a NumPy array."""
    dtype = _TENSOR_TYPES.get(code)
    if dtype == "bool" and data and np.frombuffer(data, np.uint8).max() > 1:
        raise _invalid(path, f"BOOL entry {name!r} holds a byte other than 0 and 1")
    if dtype is not None:
        return _rebuild(data, dtype, shape, "C", False)  # Note [raw element bytes]
    if code not in _NUMPY_TYPES:
        raise ValueError(f"checkpoint {path!r}: entry {name!r} has element type {code}, which mirel cannot load")
    return np.frombuffer(data, np.dtype(_NUMPY_TYPES[code]).newbyteorder("<")).reshape(shape)


def _invalid(path: str, reason: object) -> ValueError:
    text = re.sub(r"^Error while deserializing( header)?: ", "", str(reason))
    return ValueError(f"checkpoint {path!r} is not a valid safetensors file: {text}")


# Checkpoints of a training run: the masters under their own names (so that a
# file without optimizer state is a plain state dict PyTorch loads as it is),
# the optimizer's buffers under "<prefix><parameter>.<buffer>", and its type,
# step count, hyperparameters and prefix as JSON in the metadata. The prefix is
# "optimizer." unless a weight's name starts with it (a child layer named
# "optimizer"); then "optimizer_1.", "optimizer_2.", ...: the first that no
# weight's name starts with, so that weights and buffers never share a name.
# Files of the first format have no "prefix" in their JSON: "optimizer."; there
# an entry under it is a buffer when what follows is "<parameter>.<buffer>" for
# one of the model's parameters and one of the optimizer's buffer names, and a
# weight otherwise.
_OPTIMIZER_PREFIX = "optimizer."
_OPTIMIZER_KEY = "mirel.optimizer"
_BUFFER_NAMES = frozenset({"momentum_buffer", "exp_avg", "exp_avg_sq"})


def _buffer_prefix(weight_names: list[str]) -> str:
    prefix, n = _OPTIMIZER_PREFIX, 0
    while any(w.startswith(prefix) for w in weight_names):
        n += 1
        prefix = f"optimizer_{n}."
    return prefix


def save_checkpoint(path: _Path, params: Any, optimizer: Any = None, metadata: Mapping[str, str] | None = None) -> None:
    """Saves a model's weights (a mirel.Parameters or a mirel.nn.Module) and, optionally, an optimizer's state
    to one safetensors file, atomically."""
    holder = params.parameters() if hasattr(params, "parameters") else params
    tensors: dict[str, _Entry] = dict(holder.items())
    meta = dict(metadata or {})
    if _OPTIMIZER_KEY in meta:
        raise ValueError(f"save_checkpoint: the metadata key {_OPTIMIZER_KEY!r} is reserved for the optimizer")
    if optimizer is not None:
        prefix = _buffer_prefix(list(tensors))
        for name, buffers in optimizer.state.items():
            for key, array in buffers.items():
                tensors[f"{prefix}{name}.{key}"] = array
        meta[_OPTIMIZER_KEY] = json.dumps({"type": type(optimizer).__name__, "steps": optimizer.steps,
                                           "hyper": optimizer._hyper(), "prefix": prefix})
    save_file(tensors, path, meta)


def load_checkpoint(path: _Path, params: Any, optimizer: Any = None) -> dict[str, str]:
    """Loads what save_checkpoint wrote (or a PyTorch state dict saved with safetensors) into a model and,
    optionally, an optimizer; returns the file's metadata. Everything is read and checked first: a damaged file
    or a mismatch raises and leaves the model and the optimizer as they were."""
    holder = params.parameters() if hasattr(params, "parameters") else params
    name = os.fspath(path)
    entries, meta = load_file(name), load_metadata(name)
    info = _optimizer_info(name, meta[_OPTIMIZER_KEY]) if _OPTIMIZER_KEY in meta else None
    weights: dict[str, Any] = {}
    buffers: dict[str, dict[str, Any]] = {}
    for key, value in entries.items():
        slot = _buffer_slot(key, info, holder)
        if slot is None:
            weights[key] = value
        else:
            data = value.to_numpy() if isinstance(value, mirel_core.Tensor) else value
            buffers.setdefault(slot[0], {})[slot[1]] = data
    checked: Any = None
    if optimizer is not None:
        if info is None:
            raise ValueError(f"checkpoint {name!r} holds no optimizer state")
        if info["type"] != type(optimizer).__name__:
            raise ValueError(f"checkpoint {name!r} holds {info['type']} state, not {type(optimizer).__name__}'s")
        try:
            checked = optimizer._checked_state({"steps": info["steps"], "hyper": info["hyper"], "state": buffers})
        except (TypeError, ValueError) as e:
            raise type(e)(f"checkpoint {name!r}: {e}") from None
    holder.load_state_dict(weights)  # checks every entry before taking any
    if checked is not None:
        optimizer._apply(checked)  # checked above: cannot fail
    return {k: v for k, v in meta.items() if k != _OPTIMIZER_KEY}


def _optimizer_info(path: str, text: str) -> dict[str, Any]:
    """The optimizer's JSON metadata, its form checked (its values are the optimizer's to check)."""
    try:
        info = json.loads(text)
    except ValueError as e:
        raise ValueError(f"checkpoint {path!r}: its optimizer metadata is not JSON ({e})") from None
    if not isinstance(info, dict) or not {"type", "steps", "hyper"} <= set(info) or not isinstance(info["type"], str):
        raise ValueError(f"checkpoint {path!r}: its optimizer metadata must be a JSON object with a string "
                         f"'type', 'steps' and 'hyper'")
    prefix = info.setdefault("prefix", None)
    if prefix is not None and not (isinstance(prefix, str) and prefix):
        raise ValueError(f"checkpoint {path!r}: the optimizer's 'prefix' must be a non-empty string, "
                         f"not {prefix!r}")
    return info


def _buffer_slot(key: str, info: dict[str, Any] | None, holder: Any) -> tuple[str, str] | None:
    """(parameter, buffer) when entry key holds an optimizer buffer, None when it is a weight."""
    if info is None:
        return None  # no optimizer state: every entry is a weight (a PyTorch state dict, say)
    prefix = info["prefix"]
    if prefix is not None:  # no weight's name starts with it
        if not key.startswith(prefix):
            return None
        name, _, buffer = key[len(prefix):].rpartition(".")
        return name, buffer
    if not key.startswith(_OPTIMIZER_PREFIX):  # the first format
        return None
    name, _, buffer = key[len(_OPTIMIZER_PREFIX):].rpartition(".")
    return (name, buffer) if buffer in _BUFFER_NAMES and name in holder else None
