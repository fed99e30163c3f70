#define MIREL_NUMPY_API_OWNER
#include "python/numpy_api.hpp"

#include <atomic>
#include <string>

#include "python/errors.hpp"
#include "python/once.hpp"
#include "util/format.hpp"

namespace mirel::numpy_api {

namespace {

PyOnce api_once;
std::atomic<PyObject*> numpy_cache{nullptr};
std::atomic<PyArray_Descr*> bf16_cache{nullptr};
PyOnce ml_dtypes_once;

bool runtime_error(const std::string& message) {
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
  return false;
}

// "numpy._core" from NumPy 2 on, "numpy.core" before.
const char* core_module_name(PyObject* numpy) {
  auto version = PyRef::steal(PyObject_GetAttrString(numpy, "__version__"));
  if (!version) return nullptr;
  auto lib = PyRef::steal(PyObject_GetAttrString(numpy, "lib"));
  if (!lib) return nullptr;
  auto parsed = PyRef::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) return nullptr;
  auto major = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) return nullptr;
  long m = PyLong_AsLong(major.get());
  if (m == -1 && PyErr_Occurred()) return nullptr;
  return m >= 2 ? "numpy._core" : "numpy.core";
}

// import_array's work, with our own version requirements and messages.
bool load_table() {
  PyObject* numpy = numpy_module();
  if (!numpy) return false;
  const char* core = core_module_name(numpy);
  if (!core) return false;
  auto name = PyRef::steal(PyUnicode_FromFormat("%s.multiarray", core));
  if (!name) return false;
  auto multiarray = PyRef::steal(PyImport_Import(name.get()));
  if (!multiarray) return false;
  auto capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) return runtime_error("_ARRAY_API is not PyCapsule object");
  auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (!table) return PyErr_Occurred() ? false : runtime_error("_ARRAY_API is NULL pointer");

  // The checks call through the table, so it is published first and taken back on failure.
  PyArray_API = table;
  const unsigned abi = PyArray_GetNDArrayCVersion();
  const unsigned feature = PyArray_GetNDArrayCFeatureVersion();
  const int endian = PyArray_GetEndianness();
  PyArray_API = nullptr;
  if (abi > NPY_VERSION) {
    return runtime_error(concat("module compiled against ABI version 0x", hex_str(NPY_VERSION),
                                " but this version of numpy is 0x", hex_str(abi)));
  }
  if (feature < NPY_FEATURE_VERSION) {
    return runtime_error(concat("module was compiled against NumPy C-API version 0x", hex_str(NPY_FEATURE_VERSION),
                                " (NumPy 1.15) but the running NumPy has C-API version 0x", hex_str(feature)));
  }
  if (endian != NPY_CPU_LITTLE) {
    return runtime_error("module compiled as little endian, but detected different endianness at runtime");
  }
  // What import_array sets: the header's 1.x/2.x layout switches read it.
  PyArray_RUNTIME_VERSION = int(feature);
  PyArray_API = table;
  return true;
}

// "TypeName: message" of the pending exception, which is cleared.
std::string describe_pending_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  auto type_ref = PyRef::steal(type), value_ref = PyRef::steal(value), tb_ref = PyRef::steal(tb);
  std::string out = type ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "unknown error";
  if (auto text = PyRef::steal(value ? PyObject_Str(value) : nullptr)) {
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), nullptr)) out = concat(out, ": ", utf8);
  }
  PyErr_Clear();
  return out;
}

PyObject* lookup_bfloat16(PyObject* numpy) {
  return PyObject_CallMethod(numpy, "dtype", "s", "bfloat16");
}

}  // namespace

bool ensure_loaded() {
  return api_once.call([] {
    if (load_table()) return true;
    raise_panic(concat("Failed to access NumPy array API capsule: ", describe_pending_exception()));
    return false;
  });
}

PyObject* numpy_module() {
  if (PyObject* m = numpy_cache.load(std::memory_order_acquire)) return m;
  auto name = PyRef::steal(PyUnicode_FromString("numpy"));
  if (!name) return nullptr;
  auto module = PyRef::steal(PyImport_Import(name.get()));
  if (!module) return nullptr;
  PyObject* expected = nullptr;
  if (numpy_cache.compare_exchange_strong(expected, module.get(), std::memory_order_acq_rel)) {
    return module.release();  // the cache keeps this reference for good
  }
  return expected;  // another thread cached it first
}

bool is_array_with_axes(PyObject* o) {
  if (!api_once.done()) {
    auto name = PyRef::steal(PyUnicode_FromString("numpy"));
    auto numpy = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
    if (!numpy) {
      PyErr_Clear();
      return false;
    }
    if (!ensure_loaded()) {
      PyErr_Clear();
      return false;
    }
  }
  return PyArray_Check(o) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) > 0;
}

PyArray_Descr* bfloat16_descr() {
  if (PyArray_Descr* d = bf16_cache.load(std::memory_order_acquire)) return d;
  PyObject* numpy = numpy_module();
  if (!numpy) {
    PyErr_Clear();
    return nullptr;
  }
  auto descr = PyRef::steal(lookup_bfloat16(numpy));
  if (!descr) {
    PyErr_Clear();
    // NumPy itself has no bfloat16; ml_dtypes registers one when imported.
    // Tried once (a provider the caller imports later is still found by the
    // lookup above); threads arriving meanwhile wait for the attempt to end.
    ml_dtypes_once.call([] {
      auto ml_dtypes = PyRef::steal(PyImport_ImportModule("ml_dtypes"));
      if (!ml_dtypes) PyErr_Clear();  // not installed: bfloat16 stays unavailable
      return true;
    });
    descr = PyRef::steal(lookup_bfloat16(numpy));
    if (!descr) {
      PyErr_Clear();
      return nullptr;
    }
  }
  auto* d = reinterpret_cast<PyArray_Descr*>(descr.get());
  PyArray_Descr* expected = nullptr;
  if (bf16_cache.compare_exchange_strong(expected, d, std::memory_order_acq_rel)) {
    (void)descr.release();  // kept by the cache
    return d;
  }
  return expected;
}

}  // namespace mirel::numpy_api
