// The thread count of the pool (engine/cpu/exec/parallel.hpp):
// mirel.set_num_threads / get_num_threads, and for the tests whether the pool
// has started and how many CPUs this process may use.
#include "engine/cpu/exec/parallel.hpp"
#include "mirel_native/arguments.hpp"
#include "mirel_native/functions.hpp"

namespace mirel::native {
namespace {

// set_num_threads(n): n an int (not a bool) from 1 to kMaxThreads.
PyObject* py_set_num_threads(PyObject*, PyObject* arg) {
  if (PyBool_Check(arg) || !PyIndex_Check(arg)) {
    return PyErr_Format(PyExc_TypeError, "set_num_threads(): n must be an int, not %.100s", Py_TYPE(arg)->tp_name);
  }
  PyRef index = PyRef::steal(PyNumber_Index(arg));
  if (!index) return nullptr;
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (overflow != 0 || n < 1 || n > static_cast<long long>(exec::kMaxThreads)) {
    return PyErr_Format(PyExc_ValueError, "set_num_threads(): n must be from 1 to %zu, got %S", exec::kMaxThreads,
                        index.get());
  }
  exec::set_num_threads(std::size_t(n));
  Py_RETURN_NONE;
}

PyObject* py_get_num_threads(PyObject*, PyObject*) { return PyLong_FromSize_t(exec::num_threads()); }
PyObject* py_available_cpus(PyObject*, PyObject*) { return PyLong_FromSize_t(exec::available_cpus()); }
PyObject* py_pool_started(PyObject*, PyObject*) { return PyBool_FromLong(exec::pool_started()); }

}  // namespace

PyMethodDef thread_functions[] = {
    {"set_num_threads", py_set_num_threads, METH_O, "Sets the number of threads operations use."},
    {"get_num_threads", py_get_num_threads, METH_NOARGS, "The number of threads operations use."},
    {"_available_cpus", py_available_cpus, METH_NOARGS, "The CPUs this process may use (affinity and cgroup quota)."},
    {"_pool_started", py_pool_started, METH_NOARGS, "Whether this process has started its worker threads."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace mirel::native
