#include "python/numpy_api.hpp"

#include "tensor/api/interchange.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <variant>

#include "engine/cpu/iter/walk.hpp"
#include "python/errors.hpp"
#include "util/format.hpp"

namespace mirel {

namespace {

// NPY_MAXDIMS is not a constant for headers that target NumPy 1.x; kMaxAxes is
// the most any NumPy allows.
constexpr int kMaxDims = int(kMaxAxes);

// A C++ bool must hold 0 or 1; NumPy views can hand over any byte.
template <class T>
inline T load_element(const char* src) noexcept {
  if constexpr (std::is_same_v<T, bool>) {
    return *reinterpret_cast<const unsigned char*>(src) != 0;
  } else {
    T v;
    std::memcpy(&v, src, sizeof(T));  // the source may be misaligned
    return v;
  }
}

template <class T>
Result<CpuStorage> copy_from(PyArrayObject* arr, Shape shape) {
  auto n = checked_numel(shape);
  std::size_t bytes = 0;
  if (!n) return fail(ExcKind::Value, "Shape mismatch: ShapeError/IncompatibleShape: incompatible shapes");
  if (__builtin_mul_overflow(*n, sizeof(T), &bytes)) return fail(ExcKind::Memory, "array too large");
  const int flags = PyArray_FLAGS(arr);
  const char* src = static_cast<const char*>(PyArray_DATA(arr));
  if ((flags & NPY_ARRAY_C_CONTIGUOUS) && !(flags & NPY_ARRAY_ALIGNED)) {
    return fail(ExcKind::Type, "The given array is not contiguous or is misaligned.");
  }
  auto out = NdArray<T>::uninit(std::move(shape));
  if (*n == 0) return CpuStorage(std::move(out));
  if (flags & NPY_ARRAY_C_CONTIGUOUS) {
    if constexpr (std::is_same_v<T, bool>) {
      const auto* bytes_in = reinterpret_cast<const unsigned char*>(src);
      bool* dst = out.data();
      for (std::size_t i = 0; i < *n; ++i) dst[i] = bytes_in[i] != 0;
    } else {
      std::memcpy(out.data(), src, bytes);
    }
  } else {
    const npy_intp* st = PyArray_STRIDES(arr);
    const Strides byte_strides(st, st + PyArray_NDIM(arr));
    copy_to_row_major(src, out.shape(), byte_strides, out.data(), [](const char* p) { return load_element<T>(p); });
  }
  return CpuStorage(std::move(out));
}

template <class T>
Result<PyObject*> export_array(const NdArray<T>& a, PyArray_Descr* descr) {
  auto descr_ref = PyRef::steal(reinterpret_cast<PyObject*>(descr));
  const Shape& shape = a.shape();
  const int nd = int(shape.size());
  // reshape allows any rank; NumPy does not, so this is the caller's error, not ours.
  if (shape.size() > std::size_t(kMaxDims)) {
    return fail(ExcKind::Value,
                concat("NumPy arrays have at most ", kMaxDims, " dimensions; this tensor has ", shape.size()));
  }
  npy_intp dims[kMaxDims];
  npy_intp strides[kMaxDims];
  for (int i = 0; i < nd; ++i) {
    if (shape[i] > std::size_t(NPY_MAX_INTP)) return panic("dimension too large for a NumPy array");
    dims[i] = npy_intp(shape[i]);
    if (__builtin_mul_overflow(a.strides()[i], npy_intp(sizeof(T)), &strides[i])) {
      return panic("stride too large for a NumPy array");
    }
  }
  // Row-major and column-major storages keep their layout and go over as one
  // block; any other axis order is written out in row-major order.
  const bool row_major = a.is_standard_layout();
  const bool col_major = !row_major && nd > 1 && is_col_major(shape, a.strides());
  const bool keep_layout = row_major || col_major;
  (void)descr_ref.release();  // PyArray_NewFromDescr steals the descriptor, even on failure
  auto out = PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, keep_layout ? strides : nullptr,
                                               nullptr, col_major ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr));
  if (!out) return fail(ExcKind::AlreadySet, "");
  T* dst = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
  if (a.size() == 0) return out.release();
  if (keep_layout) {
    std::memcpy(dst, a.data(), a.size() * sizeof(T));  // fits: the storage holds that many bytes
  } else {
    copy_to_row_major(a.data(), shape, a.strides(), dst, [](const T* p) { return *p; });
  }
  return out.release();
}

}  // namespace

// New reference to the NumPy descriptor of a DType; nullptr (no exception set)
// when bfloat16 is asked for and no package provides it.
PyObject* numpy_descr(DType d) {
  switch (d) {
    case DType::F32: return reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT));
    case DType::F16: return reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_HALF));
    case DType::Bool: return reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_BOOL));
    case DType::BF16: {
      auto* bf16 = reinterpret_cast<PyObject*>(numpy_api::bfloat16_descr());
      Py_XINCREF(bf16);
      return bf16;
    }
  }
  return nullptr;
}

Result<CpuStorage> from_numpy(PyObject* array, DType dtype) {
  if (!PyArray_Check(array)) return std::unexpected(type_check_error(array, "ndarray"));
  auto* arr = reinterpret_cast<PyArrayObject*>(array);
  const npy_intp* dims = PyArray_DIMS(arr);
  Shape shape(dims, dims + PyArray_NDIM(arr));
  auto want = PyRef::steal(numpy_descr(dtype));
  if (!want && PyErr_Occurred()) return fail(ExcKind::AlreadySet, "");
  if (!want || !PyArray_EquivTypes(PyArray_DESCR(arr), reinterpret_cast<PyArray_Descr*>(want.get()))) {
    return std::unexpected(type_check_error(array, "ndarray"));
  }
  switch (dtype) {
    case DType::F32: return copy_from<float>(arr, std::move(shape));
    case DType::F16: return copy_from<F16>(arr, std::move(shape));
    case DType::BF16: return copy_from<BF16>(arr, std::move(shape));
    case DType::Bool: return copy_from<bool>(arr, std::move(shape));
  }
  return panic("unknown element type");
}

std::optional<CpuStorage> bf16_from_f32_array(PyObject* array) {
  if (!PyArray_CheckExact(array)) return std::nullopt;
  auto* arr = reinterpret_cast<PyArrayObject*>(array);
  if (PyArray_TYPE(arr) != NPY_FLOAT || !PyArray_ISNOTSWAPPED(arr) || !PyArray_IS_C_CONTIGUOUS(arr) ||
      !PyArray_ISALIGNED(arr)) {
    return std::nullopt;
  }
  const npy_intp* dims = PyArray_DIMS(arr);
  auto out = NdArray<BF16>::uninit(Shape(dims, dims + PyArray_NDIM(arr)));
  narrow_n(static_cast<const float*>(PyArray_DATA(arr)), out.data(), out.size());
  // Rounding keeps NaN and non-NaN apart, so the result shows whether the input
  // held one: the largest magnitude is above infinity's. (A max over 16-bit lanes
  // is one the compiler vectorises.)
  std::int16_t top = 0;
  const BF16* r = out.data();
  for (std::size_t i = 0; i < out.size(); ++i) top = std::max(top, std::int16_t(r[i].bits & 0x7fff));
  if (top > 0x7f80) return std::nullopt;
  return CpuStorage(std::move(out));
}

Result<PyObject*> storage_to_numpy(const CpuStorage& storage) {
  auto* descr = reinterpret_cast<PyArray_Descr*>(numpy_descr(storage.dtype()));
  if (!descr) {
    if (PyErr_Occurred()) return fail(ExcKind::AlreadySet, "");
    return panic(
        "A package which provides a `bfloat16` data type for NumPy is required to use the `half::bf16` element "
        "type.");
  }
  return std::visit([&](const auto& a) { return export_array(a, descr); }, storage.data());
}

PyObject* index_array_to_numpy(const NdArray<std::int64_t>& indices) {
  if (!numpy_api::ensure_loaded()) return nullptr;
  auto* descr = PyArray_DescrFromType(NPY_INT64);
  auto r = export_array(indices, descr);
  if (!r) return raise(r.error());
  // A full reduction gives a NumPy scalar, as NumPy's argmax does.
  return indices.ndim() == 0 ? PyArray_Return(reinterpret_cast<PyArrayObject*>(*r)) : *r;
}

Result<NdArray<std::int64_t>> indices_from_python(PyObject* o) {
  if (!numpy_api::ensure_loaded()) return fail(ExcKind::AlreadySet, "");
  // The values' own type first: asked for int64 directly, NumPy would truncate
  // a list of floats, and a Tensor's __array__ would cast its floats itself.
  auto found = PyRef::steal(PyArray_FromAny(o, nullptr, 0, 0, 0, nullptr));
  if (!found) return fail(ExcKind::AlreadySet, "");
  auto* values = reinterpret_cast<PyArrayObject*>(found.get());
  const PyArray_Descr* type = PyArray_DESCR(values);
  const bool empty = PyArray_SIZE(values) == 0;  // [] is float64 to NumPy: no values, nothing truncated
  if (type->kind != 'i' && type->kind != 'u' && !empty) {
    return fail(ExcKind::Type, concat("indices must be integers, not ",
                                      type->kind == 'b' ? std::string("booleans") : type->typeobj->tp_name));
  }
  // Integer types cast safely to int64 (uint64 is refused by the cast rule).
  auto array = PyRef::steal(PyArray_FromAny(found.get(), PyArray_DescrFromType(NPY_INT64), 0, 0,
                                            NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | (empty ? NPY_ARRAY_FORCECAST : 0),
                                            nullptr));
  if (!array) return fail(ExcKind::AlreadySet, "");
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  const npy_intp* dims = PyArray_DIMS(a);
  auto out = NdArray<std::int64_t>::uninit(Shape(dims, dims + PyArray_NDIM(a)));
  if (out.size()) std::memcpy(out.data(), PyArray_DATA(a), out.size() * sizeof(std::int64_t));
  return out;
}

}  // namespace mirel
