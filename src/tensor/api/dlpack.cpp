#include "tensor/api/dlpack.hpp"

#include <cstring>
#include <memory>
#include <vector>

#include "engine/cpu/iter/walk.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "tensor/api/interchange.hpp"
#include "tensor/api/py_tensor.hpp"
#include "util/format.hpp"

namespace mirel {
namespace {

dlpack::DataType dl_type(DType d) {
  switch (d) {
    case DType::F32: return {2, 32, 1};
    case DType::F16: return {2, 16, 1};
    case DType::BF16: return {4, 16, 1};
    case DType::Bool: break;
  }
  return {6, 8, 1};
}

// What an exported tensor keeps alive: a copy of the storage's buffer
// (Note [exports are copies]), and the shape and strides the DLPack struct
// points into.
struct Export {
  std::unique_ptr<unsigned char[]> copy;
  std::vector<std::int64_t> shape, strides;
};

template <class Managed>
void fill(Managed& m, Export& e, const CpuStorage& s) {
  const std::size_t rank = s.ndim();
  e.shape.assign(s.shape().begin(), s.shape().end());
  e.strides.assign(s.strides().begin(), s.strides().end());
  const void* data = std::visit([](const auto& a) { return static_cast<const void*>(a.data()); }, s.data());
  const std::size_t bytes = std::visit([](const auto& a) { return a.size() * sizeof(*a.data()); }, s.data());
  e.copy.reset(new unsigned char[bytes ? bytes : 1]);
  if (bytes) std::memcpy(e.copy.get(), data, bytes);  // the same layout: strides stay valid
  m.dl_tensor = dlpack::Tensor{e.copy.get(), {1, 0}, std::int32_t(rank), dl_type(s.dtype()), e.shape.data(),
                               e.strides.data(), 0};
  m.manager_ctx = &e;
}

void delete_legacy(dlpack::ManagedTensor* m) {
  delete static_cast<Export*>(m->manager_ctx);
  delete m;
}
void delete_versioned(dlpack::ManagedTensorVersioned* m) {
  delete static_cast<Export*>(m->manager_ctx);
  delete m;
}

// A capsule nobody consumed frees what it holds.
void legacy_capsule_destructor(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, "dltensor")) return;
  auto* m = static_cast<dlpack::ManagedTensor*>(PyCapsule_GetPointer(capsule, "dltensor"));
  if (m && m->deleter) m->deleter(m);
}
void versioned_capsule_destructor(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, "dltensor_versioned")) return;
  auto* m = static_cast<dlpack::ManagedTensorVersioned*>(PyCapsule_GetPointer(capsule, "dltensor_versioned"));
  if (m && m->deleter) m->deleter(m);
}

const char* const kArrayParams[] = {"dtype", "copy"};
const Signature kArray{"__array__()", kArrayParams, 2, 0};
const char* const kDlpackParams[] = {"stream", "max_version", "dl_device", "copy"};
const Signature kDlpack{"__dlpack__()", kDlpackParams, 4, 0};

PyObject* buffer_error(const char* message) {
  PyErr_SetString(PyExc_BufferError, message);
  return nullptr;
}

template <class T>
Result<CpuStorage> import_as(const dlpack::Tensor& t) {
  if (t.ndim < 0 || std::size_t(t.ndim) > kMaxAxes) {
    return fail(ExcKind::Value, concat("from_dlpack(): a tensor has at most ", kMaxAxes, " axes, not ", t.ndim));
  }
  Shape shape;
  for (std::int32_t d = 0; d < t.ndim; ++d) {
    if (t.shape[d] < 0) return fail(ExcKind::Value, "from_dlpack(): negative length in the exported shape");
    shape.push_back(std::size_t(t.shape[d]));
  }
  NdArray<T> out = NdArray<T>::uninit(shape);
  if (out.size() == 0) return CpuStorage(std::move(out));
  Strides strides = t.strides ? Strides(t.strides, t.strides + t.ndim) : dense_strides(shape, Order::RowMajor);
  const auto* src = reinterpret_cast<const T*>(static_cast<const char*>(t.data) + t.byte_offset);
  if constexpr (std::is_same_v<T, bool>) {
    // Any nonzero byte is true.
    const auto* bytes = reinterpret_cast<const unsigned char*>(src);
    copy_to_row_major(bytes, shape, strides, out.data(), [](const unsigned char* p) { return *p != 0; });
  } else {
    copy_to_row_major(src, shape, strides, out.data(), [](const T* p) { return *p; });
  }
  return CpuStorage(std::move(out));
}

Result<CpuStorage> import_tensor(const dlpack::Tensor& t) {
  if (t.device.device_type != 1 && t.device.device_type != 3) {
    return fail(ExcKind::Value, concat("from_dlpack(): only CPU data can be imported (device type ",
                                       t.device.device_type, ")"));
  }
  const auto c = t.dtype.code, bits = t.dtype.bits;
  if (t.dtype.lanes == 1) {
    if (c == 2 && bits == 32) return import_as<float>(t);
    if (c == 2 && bits == 16) return import_as<F16>(t);
    if (c == 4 && bits == 16) return import_as<BF16>(t);
    if (c == 6 && bits == 8) return import_as<bool>(t);
  }
  return fail(ExcKind::Type, concat("from_dlpack(): element type code ", int(c), " of ", int(bits),
                                    " bits is not one of float32, float16, bfloat16 and bool"));
}

}  // namespace

namespace api {

namespace {
thread_local bool hidden_array = false;  // Note [tensors are not data]
}  // namespace

DataConversion::DataConversion() noexcept : saved_(hidden_array) { hidden_array = true; }
DataConversion::~DataConversion() { hidden_array = saved_; }

namespace {

PyObject* array_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tensor(self, [&](const Tensor& t) -> PyObject* {
    PyObject* bound[2];
    if (!bind(kArray, args, nargs, kwnames, bound)) return nullptr;
    if (bound[1] && bound[1] != Py_None && !PyObject_IsTrue(bound[1])) {
      return raise(Error{ExcKind::Value, "a Tensor's values are always copied into a new NumPy array: copy=False "
                                         "cannot be honoured"});
    }
    auto array = storage_to_numpy(t.cpu());
    if (!array) return raise(array.error());
    auto owned = PyRef::steal(*array);
    if (!bound[0] || bound[0] == Py_None) return owned.release();
    return PyObject_CallMethod(owned.get(), "astype", "O", bound[0]);
  });
}

PyMethodDef array_def = {
    "__array__", as_method(array_method), METH_FASTCALL | METH_KEYWORDS,
    "__array__($self, dtype=None, copy=None)\n--\n\nThe values as a new NumPy array (bf16 as ml_dtypes.bfloat16).",
};

PyObject* get_array(PyObject* self, void*) {
  if (hidden_array) {
    PyErr_SetString(PyExc_AttributeError, "__array__");
    return nullptr;
  }
  return PyCFunction_NewEx(&array_def, self, nullptr);
}

PyGetSetDef array_getset = {"__array__", get_array, nullptr, nullptr, nullptr};

}  // namespace

bool add_array_protocol(PyTypeObject* type) {
  auto descr = PyRef::steal(PyDescr_NewGetSet(type, &array_getset));
  if (!descr || PyDict_SetItemString(type->tp_dict, "__array__", descr.get()) < 0) return false;
  PyType_Modified(type);
  return true;
}

PyObject* dlpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tensor(self, [&](const Tensor& t) -> PyObject* {
    if (nargs > 0) {
      return raise(Error{ExcKind::Type, "__dlpack__() takes keyword arguments only"});
    }
    PyObject* bound[4];
    if (!bind(kDlpack, args, 0, kwnames, bound)) return nullptr;
    if (bound[2] && bound[2] != Py_None) {
      auto device = PyRef::steal(PySequence_Tuple(bound[2]));
      if (!device) return nullptr;
      long type = -1, id = -1;
      if (PyTuple_GET_SIZE(device.get()) == 2) {
        type = PyLong_AsLong(PyTuple_GET_ITEM(device.get(), 0));
        id = PyLong_AsLong(PyTuple_GET_ITEM(device.get(), 1));
        if (PyErr_Occurred()) return nullptr;
      }
      if (type != 1 || id != 0) return buffer_error("a Tensor lives on the CPU, device (1, 0)");
    }
    const int copy = bound[3] && bound[3] != Py_None ? PyObject_IsTrue(bound[3]) : -1;  // -1: either
    if (copy < -1) return nullptr;
    long major = 0;
    if (bound[1] && bound[1] != Py_None) {
      auto version = PyRef::steal(PySequence_Tuple(bound[1]));
      if (!version) return nullptr;
      if (PyTuple_GET_SIZE(version.get()) >= 1) major = PyLong_AsLong(PyTuple_GET_ITEM(version.get(), 0));
      if (major == -1 && PyErr_Occurred()) return nullptr;
    }
    // Note [exports are copies]
    // Storages are immutable and shared between tensors, but a consumer may
    // ignore DLPack's read-only flag (PyTorch does, and writes in place with
    // add_()), and nothing tells us which consumer is asking. So every export
    // is a copy of its own, flagged as one, and a request to share is refused.
    if (copy == 0) {
      return buffer_error("a Tensor's storage is never shared through DLPack (a consumer could write into it); "
                          "leave copy unset to receive a copy");
    }
    auto e = std::make_unique<Export>();
    if (major >= 1) {
      auto m = std::make_unique<dlpack::ManagedTensorVersioned>();
      fill(*m, *e, t.cpu());
      m->version = {1, 0};
      m->flags = dlpack::kIsCopied;
      m->deleter = delete_versioned;
      PyObject* capsule = PyCapsule_New(m.get(), "dltensor_versioned", versioned_capsule_destructor);
      if (!capsule) return nullptr;
      (void)e.release();
      (void)m.release();
      return capsule;
    }
    auto m = std::make_unique<dlpack::ManagedTensor>();
    fill(*m, *e, t.cpu());
    m->deleter = delete_legacy;
    PyObject* capsule = PyCapsule_New(m.get(), "dltensor", legacy_capsule_destructor);
    if (!capsule) return nullptr;
    (void)e.release();
    (void)m.release();
    return capsule;
  });
}

PyObject* dlpack_device(PyObject*, PyObject*) { return Py_BuildValue("(ii)", 1, 0); }

}  // namespace api

PyObject* tensor_from_dlpack(PyObject* producer) {
  return guard([&]() -> PyObject* {
    if (is_tensor(producer)) {
      SharedBorrow t(producer);
      if (!t) return raise_borrow_error();
      return wrap(Tensor::with_face(Tensor::detach(*t), Face::Package));
    }
    auto method = PyRef::steal(PyObject_GetAttrString(producer, "__dlpack__"));
    if (!method) {
      PyErr_Clear();
      return raise(Error{ExcKind::Type, concat("from_dlpack(): '", Py_TYPE(producer)->tp_name,
                                               "' object does not support the DLPack protocol (no __dlpack__)")});
    }
    auto kwargs = PyRef::steal(Py_BuildValue("{s(ii)}", "max_version", 1, 0));
    if (!kwargs) return nullptr;
    auto empty = PyRef::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    auto capsule = PyRef::steal(PyObject_Call(method.get(), empty.get(), kwargs.get()));
    if (!capsule && PyErr_ExceptionMatches(PyExc_TypeError)) {  // a producer older than max_version
      PyErr_Clear();
      capsule = PyRef::steal(PyObject_CallNoArgs(method.get()));
    }
    if (!capsule) return nullptr;
    Result<CpuStorage> storage = fail(ExcKind::Type, "from_dlpack(): __dlpack__ did not return a DLPack capsule");
    if (PyCapsule_IsValid(capsule.get(), "dltensor_versioned")) {
      auto* m = static_cast<dlpack::ManagedTensorVersioned*>(PyCapsule_GetPointer(capsule.get(), "dltensor_versioned"));
      if (m->version.major > 1) {
        storage = fail(ExcKind::Value, concat("from_dlpack(): DLPack version ", m->version.major, " is newer than 1"));
      } else {
        storage = import_tensor(m->dl_tensor);
      }
      if (PyCapsule_SetName(capsule.get(), "used_dltensor_versioned") < 0) return nullptr;
      if (m->deleter) m->deleter(m);
    } else if (PyCapsule_IsValid(capsule.get(), "dltensor")) {
      auto* m = static_cast<dlpack::ManagedTensor*>(PyCapsule_GetPointer(capsule.get(), "dltensor"));
      storage = import_tensor(m->dl_tensor);
      if (PyCapsule_SetName(capsule.get(), "used_dltensor") < 0) return nullptr;
      if (m->deleter) m->deleter(m);
    }
    if (!storage) return raise(storage.error());
    return wrap(Tensor::from_storage(std::move(*storage), false, Face::Package));
  });
}

}  // namespace mirel
