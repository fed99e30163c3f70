#pragma once
// Interchange protocols of the Tensor type: NumPy's __array__ and DLPack's
// __dlpack__ / __dlpack_device__, and building a tensor from any DLPack
// producer (PyTorch, JAX, NumPy). The ABI structs are the DLPack standard's.
#include "python/pyref.hpp"

#include <cstdint>

namespace mirel {

namespace dlpack {

struct Device {
  std::int32_t device_type;  // 1: CPU
  std::int32_t device_id;
};
struct DataType {
  std::uint8_t code;  // 0 int, 1 uint, 2 float, 4 bfloat, 6 bool
  std::uint8_t bits;
  std::uint16_t lanes;
};
struct Tensor {
  void* data;
  Device device;
  std::int32_t ndim;
  DataType dtype;
  std::int64_t* shape;
  std::int64_t* strides;  // in elements; null means row-major
  std::uint64_t byte_offset;
};
struct ManagedTensor {
  Tensor dl_tensor;
  void* manager_ctx;
  void (*deleter)(ManagedTensor*);
};
struct Version {
  std::uint32_t major;
  std::uint32_t minor;
};
struct ManagedTensorVersioned {
  Version version;
  void* manager_ctx;
  void (*deleter)(ManagedTensorVersioned*);
  std::uint64_t flags;
  Tensor dl_tensor;
};
inline constexpr std::uint64_t kReadOnly = 1;
inline constexpr std::uint64_t kIsCopied = 2;

}  // namespace dlpack

namespace api {

// Note [tensors are not data]: the constructor copies what numpy.array makes
// of its data, and numpy.array has always treated a tensor as an opaque
// object (a float conversion fails, a bool one takes its truth value). Now
// that tensors offer __array__, the constructor keeps that behaviour: while
// it converts, the attribute __array__ is absent on this thread, so NumPy
// finds what it found before. __array__ is therefore a descriptor, added to
// the type by add_array_protocol.
class DataConversion {
 public:
  DataConversion() noexcept;
  ~DataConversion();
  DataConversion(const DataConversion&) = delete;
  DataConversion& operator=(const DataConversion&) = delete;

 private:
  bool saved_;
};

// Adds the descriptor __array__ to the type: it gives the method
// __array__(dtype=None, copy=None), the values as a new NumPy array.
bool add_array_protocol(PyTypeObject* type);
// __dlpack__($self, *, stream=None, max_version=None, dl_device=None, copy=None)
PyObject* dlpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// __dlpack_device__($self): (1, 0), the CPU.
PyObject* dlpack_device(PyObject* self, PyObject*);

}  // namespace api

// A new untracked Tensor object holding a copy of what a DLPack producer (an
// object with __dlpack__) exports; nullptr with the exception raised.
PyObject* tensor_from_dlpack(PyObject* producer);

}  // namespace mirel
