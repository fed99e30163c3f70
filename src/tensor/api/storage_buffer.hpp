#pragma once
// A read-only Python buffer over the elements of a storage. The object holds
// the storage, so the memory stays valid for as long as anyone (a memoryview,
// a PickleBuffer, a transport writing it out) holds the object: pickling with
// protocol 5 hands tensors out this way, without copying them first.
#include "python/pyref.hpp"

#include <cstddef>

#include "engine/cpu/storage/storage.hpp"

namespace mirel {

// A new object exporting `bytes` bytes at `data`, memory that `owner` keeps
// alive; nullptr with an exception set on failure.
PyObject* make_storage_buffer(StoragePtr owner, const void* data, std::size_t bytes);

}  // namespace mirel
