#pragma once
// PyTensor: the Python object of class Tensor. It owns exactly one Tensor value;
// operations never change it, every result is a new object made by wrap().
#include "python/pyref.hpp"

#include <atomic>
#include <cstdint>

#include "python/errors.hpp"
#include "tensor/core/tensor.hpp"

namespace mirel {

struct PyTensor {
  PyObject_HEAD
  Tensor value;
  // Shared borrows in progress. Nothing takes an exclusive borrow, which would
  // be marked by a negative count; a shared borrow is refused only then.
  std::atomic<std::int64_t> borrows;
};

// The Tensor type, created once per process (first module execution). On
// failure raises PanicException "failed to create type object for `Tensor`".
PyTypeObject* ensure_tensor_type();

namespace detail {
// Defined once, in the shared library (Note [one engine per process]).
extern std::atomic<PyTypeObject*> tensor_type_ptr;
extern std::atomic<PyTypeObject*> package_type_ptr;
}

// The type made by ensure_tensor_type(); every entry point runs after it.
inline PyTypeObject* tensor_type() noexcept { return detail::tensor_type_ptr.load(std::memory_order_acquire); }

// The package's subclass (mirel.Tensor), made once from its name and class
// namespace (Note [two faces]); package tensors are wrapped in it.
PyObject* make_package_type(PyObject* name, PyObject* namespace_dict);
inline PyTypeObject* type_of(Face face) noexcept {
  PyTypeObject* package = face == Face::Package ? detail::package_type_ptr.load(std::memory_order_acquire) : nullptr;
  return package ? package : tensor_type();
}
// The face of an instance of `type`: Core for mirel_core.Tensor itself.
inline Face face_of_type(PyTypeObject* type) noexcept { return type == tensor_type() ? Face::Core : Face::Package; }

// Exactly one of the two classes first: numbers and other operands fall to the subclass check.
inline bool is_tensor(PyObject* o) noexcept {
  PyTypeObject* t = Py_TYPE(o);
  return t == tensor_type() || t == detail::package_type_ptr.load(std::memory_order_relaxed) ||
         PyType_IsSubtype(t, tensor_type());
}
inline PyTensor* as_py_tensor(PyObject* o) noexcept { return reinterpret_cast<PyTensor*>(o); }

// A new object holding the value, of class `type`, or by default of its
// face's class; nullptr on failure.
PyObject* wrap(Tensor t, PyTypeObject* type = nullptr);
// Raises the error or wraps the value.
PyObject* wrap(Result<Tensor> r);

// Shared borrow of one object for the duration of a call.
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* o) noexcept : t_(as_py_tensor(o)) {
    if (t_->borrows.fetch_add(1, std::memory_order_acquire) < 0) {
      t_->borrows.fetch_sub(1, std::memory_order_release);
      t_ = nullptr;
    }
  }
  ~SharedBorrow() {
    if (t_) t_->borrows.fetch_sub(1, std::memory_order_release);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

  explicit operator bool() const noexcept { return t_ != nullptr; }
  const Tensor& operator*() const noexcept { return t_->value; }
  const Tensor* operator->() const noexcept { return &t_->value; }

 private:
  PyTensor* t_;
};

// Runs op on the borrowed tensor inside guard(): the shape of every
// single-tensor entry point (properties, methods, unary operators).
template <class Op>
PyObject* with_tensor(PyObject* self, Op op) {
  return guard([&]() -> PyObject* {
    SharedBorrow t(self);
    if (!t) return raise_borrow_error();
    return op(*t);
  });
}

}  // namespace mirel
