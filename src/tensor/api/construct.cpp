// Tensor(data, dtype=None, device="cpu", requires_grad=False): everything goes
// through numpy.array with the requested element type, and the resulting
// array is copied into a new storage.
#include "python/numpy_api.hpp"

#include <iterator>
#include <optional>
#include <string_view>

#include "tensor/api/interchange.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/once.hpp"
#include "tensor/api/dlpack.hpp"
#include "tensor/api/entry_points.hpp"
#include "tensor/api/py_tensor.hpp"
#include "util/format.hpp"

namespace mirel::api {

namespace {

const char* const kParams[] = {"data", "dtype", "device", "requires_grad"};
const Signature kSignature{"Tensor.__new__()", kParams, 4, 1};

// Interned once; the constructor is a hot path.
struct Names {
  PyObject* array;
  PyObject* dtype_kwnames;       // ("dtype",)
  PyObject* dtype_copy_kwnames;  // ("dtype", "copy")
  PyObject* copy;
  PyObject* dunder_name;
  PyObject* name;
  PyObject* dtype;
  PyObject* float32;
  PyObject* bfloat16;
};
PyOnce names_once;
Names names;

bool init_names() {
  Names n{};
  PyObject** all[] = {&n.array, &n.dunder_name, &n.name, &n.dtype, &n.float32, &n.bfloat16, &n.copy};
  const char* texts[] = {"array", "__name__", "name", "dtype", "float32", "bfloat16", "copy"};
  for (std::size_t i = 0; i < std::size(all); ++i) {
    *all[i] = PyUnicode_InternFromString(texts[i]);
    if (!*all[i]) return false;  // a few interned strings leak on this path only
  }
  n.dtype_kwnames = PyTuple_Pack(1, n.dtype);
  if (!n.dtype_kwnames) return false;
  n.dtype_copy_kwnames = PyTuple_Pack(2, n.dtype, n.copy);
  if (!n.dtype_copy_kwnames) return false;
  names = n;
  return true;
}

// What numpy.array gets as its dtype: the descriptor NumPy would look up for
// the type name (same array, without parsing the name on every call), or the
// name itself when bfloat16 has no provider, so that NumPy reports it.
// Returns a new reference, or nullptr with an exception set.
PyRef numpy_dtype_for(DType d) {
  if (!numpy_api::ensure_loaded()) return {};
  if (PyObject* descr = numpy_descr(d)) return PyRef::steal(descr);  // may import ml_dtypes first
  if (PyErr_Occurred()) return {};
  return PyRef::borrow(names.bfloat16);
}

// Compared after full Unicode lower-casing: "CPU" and "Cpu" pass, " cpu" does not.
std::optional<bool> device_is_cpu(PyObject* device) {
  if (PyUnicode_IS_ASCII(device)) {
    if (PyUnicode_GET_LENGTH(device) != 3) return false;
    const auto* c = static_cast<const unsigned char*>(PyUnicode_DATA(device));
    return (c[0] | 0x20) == 'c' && (c[1] | 0x20) == 'p' && (c[2] | 0x20) == 'u';
  }
  // str.lower itself, not an override on a subclass.
  auto lowered = PyRef::steal(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", device));
  if (!lowered) return std::nullopt;
  return str_equals(lowered.get(), "cpu");
}

// The element-type name as a str: "float32" for None, the text of a str,
// else dtype.__name__, else numpy.dtype(dtype).name.
PyRef requested_dtype_name(PyObject* dtype) {
  if (!dtype || dtype == Py_None) return PyRef::borrow(names.float32);
  if (PyUnicode_Check(dtype)) return PyRef::borrow(dtype);
  auto name = PyRef::steal(PyObject_GetAttr(dtype, names.dunder_name));
  if (!name) {
    PyErr_Clear();  // numpy.dtype instances have no __name__; NumPy names them
    PyObject* numpy = numpy_api::numpy_module();
    if (!numpy) return {};
    auto descr = PyRef::steal(PyObject_CallMethodObjArgs(numpy, names.dtype, dtype, nullptr));
    if (!descr) return {};
    name = PyRef::steal(PyObject_GetAttr(descr.get(), names.name));
    if (!name) return {};
  }
  if (!PyUnicode_Check(name.get())) {
    raise(type_check_error(name.get(), "str"));
    add_argument_note("dtype");
    return {};
  }
  return name;
}

PyObject* new_tensor(PyTypeObject* type, CpuStorage storage, bool requires_grad) {
  auto tensor = Tensor::from_storage(std::move(storage), requires_grad, face_of_type(type));
  if (!tensor) return raise(tensor.error());
  return wrap(std::move(*tensor), type);
}

PyObject* construct(PyTypeObject* type, PyObject* const* bound) {
  PyObject* const data = bound[0];
  PyObject* const dtype = bound[1];
  PyObject* const device = bound[2];
  PyObject* const requires_grad_obj = bound[3];

  bool requires_grad = false;
  if (device && !to_str(device, "device")) return nullptr;
  if (requires_grad_obj) {
    auto rg = to_bool(requires_grad_obj, "requires_grad");
    if (!rg) return nullptr;
    requires_grad = *rg;
  }
  if (device) {
    auto cpu = device_is_cpu(device);
    if (!cpu) return nullptr;
    if (!*cpu) return raise(Error{ExcKind::Value, "The device string is invalid or not supported."});
  }

  auto element = dtype_argument(dtype);
  if (!element) return nullptr;

  PyObject* numpy = numpy_api::numpy_module();
  if (!numpy) return nullptr;
  PyRef numpy_dtype = numpy_dtype_for(*element);
  if (!numpy_dtype) return nullptr;
  // float32 arrays asked for as bfloat16 are rounded here, bit for bit as
  // numpy.array would round them (NaNs excepted, which go the long way).
  if (*element == DType::BF16 && numpy_dtype.get() != names.bfloat16) {
    if (auto rounded = bf16_from_f32_array(data)) return new_tensor(type, std::move(*rounded), requires_grad);
  }
  auto array_fn = PyRef::steal(PyObject_GetAttr(numpy, names.array));
  if (!array_fn) return nullptr;
  // The storage copies the array's elements anyway, so an aligned ndarray is
  // not copied first (copy=None: NumPy copies only to convert). Unaligned ones
  // keep the copy, which the storage needs for a contiguous block.
  const bool read_in_place = PyArray_Check(data) && PyArray_ISALIGNED(reinterpret_cast<PyArrayObject*>(data));
  PyObject* call_args[] = {data, numpy_dtype.get(), Py_None};
  // Note [tensors are not data]; the package's class copies a tensor's values
  // instead, as torch.tensor(t) does.
  std::optional<DataConversion> conversion;
  if (face_of_type(type) == Face::Core) conversion.emplace();
  auto array = PyRef::steal(PyObject_Vectorcall(array_fn.get(), call_args, 1,
                                                read_in_place ? names.dtype_copy_kwnames : names.dtype_kwnames));
  if (!array) {
    // The bare name means no package provides bfloat16: NumPy's own error
    // stands, with a note on what to install.
    if (numpy_dtype.get() == names.bfloat16) {
      add_note("bfloat16 tensors need the ml_dtypes package, which gives NumPy its bfloat16 type: "
               "pip install ml_dtypes");
    }
    return nullptr;
  }

  auto storage = from_numpy(array.get(), *element);
  if (!storage) return raise(storage.error());
  return new_tensor(type, std::move(*storage), requires_grad);
}

}  // namespace

std::optional<DType> dtype_argument(PyObject* dtype) {
  if (!names_once.call(init_names)) return std::nullopt;
  PyRef name = requested_dtype_name(dtype);
  if (!name) return std::nullopt;
  auto text = to_str(name.get(), "dtype");
  if (!text) return std::nullopt;
  auto element = dtype_from_text(*text);
  if (!element) raise(Error{ExcKind::Value, concat("Unsupported or invalid data type: '", *text, "'")});
  return element;
}

PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    PyObject* bound[4];
    if (!bind(kSignature, args, kwargs, bound)) return nullptr;
    return construct(type, bound);
  });
}

PyObject* tensor_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[4];
    if (!bind(kSignature, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), bound);
  });
}

}  // namespace mirel::api
