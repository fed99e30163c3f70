// Pickling and copying a Tensor by value.
//
// Note: pickled form. A tensor reduces to a call of Tensor._rebuild with five
// plain values:
//
//   Tensor._rebuild(data, dtype, shape, order, requires_grad)
//     data           bytes-like: every element, in `order`
//     dtype          str: what the dtype property gives ("f32", "f16", "bf16", "bool")
//     shape          tuple of int
//     order          "C" or "F": the memory order to_numpy() exports
//     requires_grad  bool
//
// No NumPy is involved on either side, so a bf16 tensor pickles and unpickles
// without a package that gives NumPy a bfloat16 type. With protocol 5 the
// elements go out as a PickleBuffer, so that a transport with out-of-band
// buffers (Ray's) moves them without extra copies. _rebuild checks every
// value before it allocates anything, and a tensor that requires a gradient
// arrives as a new leaf on the calling thread's tape: gradients and recorded
// history stay behind. copy.copy and copy.deepcopy take the same path.
//
// Tensor.__module__ is "mirel", which cannot be imported, so pickle cannot find
// the class by name. _rebuild is therefore a function of its own whose
// __module__ is "mirel_core" and whose name is the path "Tensor._rebuild":
// protocol 4 and later (the default) resolve such a dotted path from the
// importable module; older protocols would have to pickle the class, and are refused.
#include "python/pyref.hpp"

#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "engine/cpu/iter/walk.hpp"
#include "tensor/api/interchange.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "tensor/api/entry_points.hpp"
#include "tensor/api/py_tensor.hpp"
#include "tensor/api/storage_buffer.hpp"
#include "util/format.hpp"

namespace mirel::api {

namespace {

constexpr int kMinProtocol = 4;

const char* const kRebuildParams[] = {"data", "dtype", "shape", "order", "requires_grad"};
const Signature kRebuild{"Tensor._rebuild()", kRebuildParams, 5, 5};

std::unexpected<Error> invalid(std::string detail) {
  return fail(ExcKind::Value, "invalid Tensor pickle: " + detail);
}

// A storage holding the elements in the order to_numpy() exports, and that
// order: row-major and column-major storages go over as they are; any other
// axis order is copied out in row-major order first.
std::pair<StoragePtr, const char*> in_export_order(const StoragePtr& s) {
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> std::pair<StoragePtr, const char*> {
        if (a.is_standard_layout()) return {s, "C"};
        if (a.ndim() > 1 && is_col_major(a.shape(), a.strides())) return {s, "F"};
        NdArray<T> copy = NdArray<T>::uninit(a.shape());
        copy_to_row_major(a.data(), a.shape(), a.strides(), copy.data(), [](const T* p) { return *p; });
        return {make_storage(CpuStorage(std::move(copy))), "C"};
      },
      s->cpu.data());
}

// The elements for the pickle: with protocol 5, a PickleBuffer over the storage
// itself, which the pickler writes out (or hands to a transport) without a copy
// of ours; with protocol 4 (and for copy.copy), a bytes copy.
PyRef element_data(StoragePtr s, bool pickle_buffer) {
  auto [data, bytes] = std::visit(
      [](const auto& a) { return std::pair{static_cast<const void*>(a.data()), a.size() * sizeof(*a.data())}; },
      s->cpu.data());
  if (!pickle_buffer || bytes == 0) {
    return PyRef::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), Py_ssize_t(bytes)));
  }
  auto exporter = PyRef::steal(make_storage_buffer(std::move(s), data, bytes));
  if (!exporter) return {};
  return PyRef::steal(PyPickleBuffer_FromObject(exporter.get()));
}

// Holds a contiguous read-only view of a bytes-like object; released on every path.
class BytesView {
 public:
  BytesView() = default;
  BytesView(const BytesView&) = delete;
  BytesView& operator=(const BytesView&) = delete;
  ~BytesView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool acquire(PyObject* o) {
    held_ = PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) == 0;
    return held_;
  }
  std::string_view bytes() const noexcept {
    return {static_cast<const char*>(view_.buf), std::size_t(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

PyRef shape_tuple(const Shape& shape) {
  auto t = PyRef::steal(PyTuple_New(Py_ssize_t(shape.size())));
  if (!t) return {};
  for (std::size_t i = 0; i < shape.size(); ++i) {
    PyObject* d = PyLong_FromSize_t(shape[i]);
    if (!d) return {};
    PyTuple_SET_ITEM(t.get(), Py_ssize_t(i), d);  // steals d
  }
  return t;
}

// A new storage holding `bytes` as the elements of `shape` in the given order.
template <class T>
Result<CpuStorage> storage_from_bytes(Shape shape, Order order, std::string_view bytes) {
  for (std::size_t d : shape) {
    // Strides are signed: a larger length cannot be addressed, even in an empty tensor.
    if (d > std::size_t(std::numeric_limits<std::ptrdiff_t>::max())) {
      return invalid(concat("length ", d, " in shape ", shape_str(shape), " is too large"));
    }
  }
  const auto n = checked_numel(shape);
  std::size_t want = 0;
  if (!n || __builtin_mul_overflow(*n, sizeof(T), &want)) {
    return invalid(concat("shape ", shape_str(shape), " holds too many elements"));
  }
  if (bytes.size() != want) {
    return invalid(concat(bytes.size(), " bytes of data for shape ", shape_str(shape), " (", want, " expected)"));
  }
  if constexpr (std::is_same_v<T, bool>) {
    // A C++ bool must hold 0 or 1; any other byte means the data was damaged.
    for (unsigned char c : bytes) {
      if (c > 1) return invalid(concat("a Bool element holds the byte ", int(c), " (0 or 1 expected)"));
    }
  }
  auto out = NdArray<T>::uninit(std::move(shape), order);
  if (want) std::memcpy(out.data(), bytes.data(), want);
  return CpuStorage(std::move(out));
}

Result<CpuStorage> storage_from_bytes(DType dtype, Shape shape, Order order, std::string_view bytes) {
  switch (dtype) {
    case DType::F32: return storage_from_bytes<float>(std::move(shape), order, bytes);
    case DType::F16: return storage_from_bytes<F16>(std::move(shape), order, bytes);
    case DType::BF16: return storage_from_bytes<BF16>(std::move(shape), order, bytes);
    case DType::Bool: return storage_from_bytes<bool>(std::move(shape), order, bytes);
  }
  return panic("unknown element type");
}

// A rebuilt tensor is of the face whose class it was pickled from.
template <Face F>
PyObject* rebuild(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[5];
    if (!bind(kRebuild, args, nargs, kwnames, bound)) return nullptr;
    BytesView data;  // bytes from a pickle stream, or a buffer that came out of band
    if (!data.acquire(bound[0])) {
      add_argument_note("data");
      return nullptr;
    }
    auto dtype_text = to_str(bound[1], "dtype");
    if (!dtype_text) return nullptr;
    auto shape = to_shape(bound[2], "shape");
    if (!shape) return nullptr;
    auto order_text = to_str(bound[3], "order");
    if (!order_text) return nullptr;
    auto requires_grad = to_bool(bound[4], "requires_grad");
    if (!requires_grad) return nullptr;

    auto dtype = dtype_from_text(*dtype_text);
    if (!dtype) return raise(invalid(concat("unknown element type '", *dtype_text, "'")).error());
    if (*order_text != "C" && *order_text != "F") {
      return raise(invalid(concat("memory order '", *order_text, "' (\"C\" or \"F\" expected)")).error());
    }
    const Order order = *order_text == "C" ? Order::RowMajor : Order::ColMajor;
    auto storage = storage_from_bytes(*dtype, std::move(*shape), order, data.bytes());
    if (!storage) return raise(storage.error());
    return wrap(Tensor::from_storage(std::move(*storage), *requires_grad, F));
  });
}

PyMethodDef rebuild_defs[] = {
    {"Tensor._rebuild", as_method(rebuild<Face::Core>), METH_FASTCALL | METH_KEYWORDS,
     "_rebuild(data, dtype, shape, order, requires_grad)\n--\n\n"},
    {"Tensor._rebuild", as_method(rebuild<Face::Package>), METH_FASTCALL | METH_KEYWORDS,
     "_rebuild(data, dtype, shape, order, requires_grad)\n--\n\n"},
};

}  // namespace

PyObject* reduce_ex(PyObject* self, PyObject* protocol_obj) {
  return with_tensor(self, [&](const Tensor& t) -> PyObject* {
    const long protocol = PyLong_AsLong(protocol_obj);
    if (protocol == -1 && PyErr_Occurred()) return nullptr;
    if (protocol < kMinProtocol) {
      return raise(Error{ExcKind::Type, concat("cannot pickle 'mirel.Tensor' object with protocol ", protocol,
                                               " (protocol ", kMinProtocol, " or later is needed)")});
    }
    auto rebuild_fn = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_rebuild"));
    if (!rebuild_fn) return nullptr;
    const CpuStorage& s = t.cpu();
    auto [elements, order] = in_export_order(t.storage);
    auto data = element_data(std::move(elements), protocol >= 5);
    if (!data) return nullptr;
    const std::string_view dtype = dtype_py_name(s.dtype());
    auto dtype_str = PyRef::steal(PyUnicode_FromStringAndSize(dtype.data(), Py_ssize_t(dtype.size())));
    if (!dtype_str) return nullptr;
    auto shape = shape_tuple(s.shape());
    if (!shape) return nullptr;
    auto order_str = PyRef::steal(PyUnicode_FromString(order));
    if (!order_str) return nullptr;
    auto args = PyRef::steal(PyTuple_Pack(5, data.get(), dtype_str.get(), shape.get(), order_str.get(),
                                          t.requires_grad ? Py_True : Py_False));
    if (!args) return nullptr;
    return PyTuple_Pack(2, rebuild_fn.get(), args.get());
  });
}

bool add_rebuild(PyTypeObject* type, Face face) {
  // Pickle finds the function again by its module and qualified name: each
  // face's class has its own.
  auto module_name = PyRef::steal(PyUnicode_FromString(face == Face::Core ? "mirel_core" : "mirel"));
  if (!module_name) return false;
  auto fn = PyRef::steal(PyCFunction_NewEx(&rebuild_defs[face == Face::Core ? 0 : 1], nullptr, module_name.get()));
  if (!fn) return false;
  auto method = PyRef::steal(PyStaticMethod_New(fn.get()));
  if (!method) return false;
  // The type is immutable to Python code; its own set-up may still fill its dictionary.
  if (PyDict_SetItemString(type->tp_dict, "_rebuild", method.get()) < 0) return false;
  PyType_Modified(type);
  return true;
}

}  // namespace mirel::api
