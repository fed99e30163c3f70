#include "tensor/api/storage_buffer.hpp"

#include <new>
#include <utility>

#include "python/errors.hpp"
#include "python/once.hpp"

namespace mirel {

namespace {

struct StorageBuffer {
  PyObject_HEAD
  StoragePtr owner;
  void* data;
  Py_ssize_t bytes;
};

PyOnce type_once;
PyTypeObject* buffer_type = nullptr;

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  auto* b = reinterpret_cast<StorageBuffer*>(self);
  return PyBuffer_FillInfo(view, self, b->data, b->bytes, /*readonly=*/1, flags);  // refuses PyBUF_WRITABLE
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<StorageBuffer*>(self)->owner.~StoragePtr();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

// Made only here, never from Python.
PyType_Spec buffer_type_def = {
    "mirel.StorageBuffer",
    sizeof(StorageBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyObject* make_storage_buffer(StoragePtr owner, const void* data, std::size_t bytes) {
  bool ok = type_once.call([] {
    buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&buffer_type_def));
    return buffer_type != nullptr;
  });
  if (!ok) return nullptr;
  PyObject* o = buffer_type->tp_alloc(buffer_type, 0);
  if (!o) return nullptr;
  auto* b = reinterpret_cast<StorageBuffer*>(o);
  new (&b->owner) StoragePtr(std::move(owner));
  b->data = const_cast<void*>(data);  // exported read-only
  b->bytes = Py_ssize_t(bytes);  // the size of an allocated buffer: it fits
  return o;
}

}  // namespace mirel
