// The matrix-product kernels by name, for the benchmarks and tests that time
// or check each one the CPU runs, not only the one products use: _kernels(),
// _matmul_on(kernel, a, b), _fma_peak(kernel, iters), and _bf16_unit(), the
// unit bf16 products use in this process; _config(), what every kernel
// family runs and why the rest is refused (mirel.config()). Private (underscored).
#include <chrono>
#include <cstring>
#include <optional>

#include "engine/cpu/exec/registry.hpp"
#include "engine/cpu/gemm/bf16_gemm.hpp"
#include "engine/cpu/gemm/sgemm.hpp"
#include "engine/cpu/gemm/sgemm_tiles.hpp"
#include "engine/cpu/loops/dispatch.hpp"
#include "mirel_native/arguments.hpp"
#include "mirel_native/functions.hpp"

namespace mirel::native {
namespace {

struct Named {
  const char* name;
  Isa isa;
  const sgemm_tiles::Kernels* kernels;
};

const Named kNamed[] = {{"portable", Isa::Portable, &sgemm_tiles::kPortable},
                        {"avx2", Isa::Avx2, &sgemm_tiles::kAvx2},
                        {"avx512", Isa::Avx512, &sgemm_tiles::kAvx512}};

const char* name_of(Isa isa) {
  for (const Named& k : kNamed) {
    if (k.isa == isa) return k.name;
  }
  return "avx512";  // the AVX-512 BF16 set multiplies f32 on the AVX-512 kernels
}

// The kernel named by o, when this CPU runs it; otherwise a ValueError.
const Named* kernel_arg(PyObject* o, const char* fn) {
  const char* s = PyUnicode_Check(o) ? PyUnicode_AsUTF8(o) : nullptr;
  if (s) {
    for (const Named& k : kNamed) {
      if (std::strcmp(k.name, s) == 0 && isa_supported(k.isa)) return &k;
    }
  }
  if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "%s: %R is not a kernel this CPU runs", fn, o);
  return nullptr;
}

// _kernels(): the kernels this CPU runs, the one products use first.
PyObject* py_kernels(PyObject*, PyObject*) {
  PyRef out = PyRef::steal(PyList_New(0));
  if (!out) return nullptr;
  const char* chosen = name_of(sgemm_isa());
  const auto append = [&](const char* name) {
    PyRef s = PyRef::steal(PyUnicode_FromString(name));
    return s && PyList_Append(out.get(), s.get()) == 0;
  };
  if (!append(chosen)) return nullptr;
  for (const Named& k : kNamed) {
    if (isa_supported(k.isa) && std::strcmp(k.name, chosen) != 0 && !append(k.name)) return nullptr;
  }
  return PyList_AsTuple(out.get());
}

// _matmul_on(kernel, a, b): the product of two 2-D f32 tensors (any layout)
// on the named kernel, as an untracked row-major f32 tensor.
PyObject* py_matmul_on(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (nargs != 3) return PyErr_Format(PyExc_TypeError, "_matmul_on() takes 3 arguments (%zd given)", nargs);
    const Named* k = kernel_arg(args[0], "_matmul_on()");
    if (!k || !check_tensor(args[1], "_matmul_on()", "a") || !check_tensor(args[2], "_matmul_on()", "b")) {
      return nullptr;
    }
    return with_tensors(
        [&](const Tensor& ta, const Tensor& tb) -> PyObject* {
          const NdArray<float>* a = ta.cpu().get_if<float>();
          const NdArray<float>* b = tb.cpu().get_if<float>();
          if (!a || !b || a->shape().size() != 2 || b->shape().size() != 2 || a->shape()[1] != b->shape()[0]) {
            return PyErr_Format(PyExc_ValueError, "_matmul_on(): two f32 matrices [m, k] and [k, n]");
          }
          const std::size_t m = a->shape()[0], kk = a->shape()[1], n = b->shape()[1];
          NdArray<float> c = NdArray<float>::uninit(Shape{m, n});
          sgemm_on(k->isa, m, n, kk, a->data(), a->strides()[0], a->strides()[1], b->data(), b->strides()[0],
                   b->strides()[1], c.data(), std::ptrdiff_t(n));
          return wrap(Tensor{std::nullopt, make_storage(CpuStorage(std::move(c))), false, 0});
        },
        args[1], args[2]);
  });
}

// _fma_peak(kernel, iters): GFLOP/s of iters rounds of independent
// multiply-adds on registers alone, on the kernel's instruction set.
PyObject* py_fma_peak(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) return PyErr_Format(PyExc_TypeError, "_fma_peak() takes 2 arguments (%zd given)", nargs);
  const Named* k = kernel_arg(args[0], "_fma_peak()");
  if (!k) return nullptr;
  const long long iters = PyLong_AsLongLong(args[1]);
  if (iters == -1 && PyErr_Occurred()) return nullptr;
  if (iters <= 0) return PyErr_Format(PyExc_ValueError, "_fma_peak(): iters must be positive");
  const auto start = std::chrono::steady_clock::now();
  k->kernels->spin(std::size_t(iters));
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return PyFloat_FromDouble(double(iters) * double(k->kernels->flops_per_iter) / took.count() / 1e9);
}

const char* unit_key(bf16_gemm::Unit u) {
  switch (u) {
    case bf16_gemm::Unit::Amx: return "amx";
    case bf16_gemm::Unit::Avx512: return "avx512_bf16";
    case bf16_gemm::Unit::None: break;
  }
  return "widened";
}

// _bf16_unit(): "amx", "avx512_bf16" or "widened" (the f32 kernels), as picked
// at the first bf16 product (asking for it picks it now).
PyObject* py_bf16_unit(PyObject*, PyObject*) {
  return PyUnicode_FromString(unit_key(bf16_gemm::unit()));
}

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}
PyRef text(const char* s) { return s ? PyRef::steal(PyUnicode_FromString(s)) : PyRef::borrow(Py_None); }

// _config(): {"MIREL_ISA": value or None, "emulated": bool, "chosen": {family:
// variant}, "refused": {variant: why}} (Note [MIREL_ISA]). Asking picks the
// bf16 unit now, as its first product would.
PyObject* py_config(PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    PyRef out = PyRef::steal(PyDict_New()), chosen = PyRef::steal(PyDict_New()), refused = PyRef::steal(PyDict_New());
    if (!out || !chosen || !refused) return nullptr;
    const char* cap = exec::cap_value();
    const bool ignored = exec::parse_cap(cap).ignored;
    PyRef cap_text = ignored ? PyRef::steal(PyUnicode_FromFormat("%s (not a level: ignored)", cap)) : text(cap);
    if (!set_item(out.get(), "MIREL_ISA", std::move(cap_text)) ||
        !set_item(out.get(), "emulated", PyRef::borrow(exec::emulated() ? Py_True : Py_False))) {
      return nullptr;
    }
    for (std::size_t f = 0; f < std::size(exec::kFamilies); ++f) {
      if (!set_item(chosen.get(), exec::kFamilies[f].key, text(isa_key(best_isa(exec::Family(f)))))) return nullptr;
    }
    if (!set_item(chosen.get(), "bf16_products", text(unit_key(bf16_gemm::unit())))) return nullptr;
    for (std::size_t i = 1; i < kIsaCount; ++i) {
      const char* why = exec::choice().refusal(Isa(i));
      if (why && !set_item(refused.get(), isa_key(Isa(i)), text(why))) return nullptr;
    }
    const std::pair<bf16_gemm::Unit, const char*> units[] = {{bf16_gemm::Unit::Amx, "amx"},
                                                             {bf16_gemm::Unit::Avx512, "avx512_bf16 unit"}};
    for (const auto& [u, key] : units) {
      const char* why = bf16_gemm::why_not_chosen(u);
      if (why && !set_item(refused.get(), key, text(why))) return nullptr;
    }
    if (!set_item(out.get(), "chosen", std::move(chosen)) || !set_item(out.get(), "refused", std::move(refused))) {
      return nullptr;
    }
    return out.release();
  });
}

}  // namespace

PyMethodDef kernel_functions[] = {
    {"_kernels", py_kernels, METH_NOARGS, "The matrix-product kernels this CPU runs, the one in use first."},
    {"_matmul_on", as_method(py_matmul_on), METH_FASTCALL,
     "_matmul_on(kernel, a, b): a @ b for 2-D f32 tensors, on the named kernel."},
    {"_fma_peak", as_method(py_fma_peak), METH_FASTCALL,
     "_fma_peak(kernel, iters): GFLOP/s of multiply-adds on registers alone."},
    {"_bf16_unit", py_bf16_unit, METH_NOARGS, "The unit bf16 products use: 'amx', 'avx512_bf16' or 'widened'."},
    {"_config", py_config, METH_NOARGS, "What each kernel family runs in this process, and why the rest is refused."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace mirel::native
