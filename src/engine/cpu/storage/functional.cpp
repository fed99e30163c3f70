#include <algorithm>
#include <vector>

#include "engine/cpu/iter/walk.hpp"
#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/numeric/ops/relu.hpp"
#include "engine/cpu/numeric/ops/softmax.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "util/format.hpp"

namespace mirel {

Result<CpuStorage> CpuStorage::relu() const {
  return std::visit(
      []<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) {
          return fail(ExcKind::Type, "Tensor Dtype not supported for this operation: relu");
        } else {
          return CpuStorage(mirel::relu(a));
        }
      },
      data_);
}

namespace {

constexpr const char* kGradMismatch = "DType mismatch between gradient and operands during backward pass.";

// The float array of a storage, or the error naming the operation.
template <class T>
const NdArray<T>& same_type(const CpuStorage& s) {
  return *s.get_if<T>();
}

Error bool_unsupported(const char* name) {
  return Error{ExcKind::Type, concat("Tensor Dtype not supported for this operation: ", name)};
}

// f32 values rounded once to T.
template <class T>
NdArray<T> narrowed(NdArray<float> a) {
  if constexpr (std::is_same_v<T, float>) {
    return a;
  } else {
    NdArray<T> out = NdArray<T>::uninit_like_layout(a.shape(), a.strides());
    narrow_n(a.data(), out.data(), a.size());
    return out;
  }
}

// x as a matrix of rows over its last axis, [M, k], read in place when it is
// row-major or of rank 2, else from a row-major copy kept in `copy`.
template <class T>
View<T> as_rows(const NdArray<T>& x, NdArray<T>& copy) {
  const std::size_t r = x.ndim();
  if (r == 2) return view_of(x);
  const std::size_t k = r == 0 ? 1 : x.shape()[r - 1];
  const std::size_t m = k == 0 ? 0 : x.size() / k;
  const T* data = x.data();
  if (!x.is_standard_layout()) {
    copy = NdArray<T>::uninit(x.shape());
    if (copy.size()) copy_to_row_major(x.data(), x.shape(), x.strides(), copy.data(), [](const T* p) { return *p; });
    data = copy.data();
  }
  return View<T>{data, Shape{m, k}, Strides{std::ptrdiff_t(k), 1}};
}

template <class T>
View<T> transposed(View<T> v) {
  std::swap(v.shape[0], v.shape[1]);
  std::swap(v.strides[0], v.strides[1]);
  return v;
}

// A row-major [M, n] product given the shape `lead` + [n].
template <class T>
NdArray<T> with_leading(NdArray<T> rows, Shape shape) {
  rows.set_layout(shape, dense_strides(shape, Order::RowMajor));
  return rows;
}

}  // namespace

Result<CpuStorage> CpuStorage::softmax(std::size_t axis, bool log) const {
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) return std::unexpected(bool_unsupported(log ? "log_softmax" : "softmax"));
        else return CpuStorage(mirel::softmax(a, axis, log));
      },
      data_);
}

Result<CpuStorage> CpuStorage::backward_softmax(const CpuStorage& grad, const CpuStorage& result, std::size_t axis,
                                                bool log) {
  if (grad.dtype() != result.dtype() || !(grad.shape() == result.shape())) return fail(ExcKind::Type, kGradMismatch);
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) return fail(ExcKind::Type, kGradMismatch);
        else return CpuStorage(mirel::backward_softmax(g, same_type<T>(result), axis, log));
      },
      grad.data());
}

Result<CpuStorage::CrossEntropy> CpuStorage::cross_entropy(const NdArray<std::int64_t>& labels, Reduction reduction,
                                                           bool keep) const {
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CrossEntropy> {
        if constexpr (std::is_same_v<T, bool>) {
          return std::unexpected(bool_unsupported("cross_entropy"));
        } else {
          const std::size_t rows = a.shape()[0];
          NdArray<float> loss = NdArray<float>::uninit(Shape{rows});
          std::optional<SoftmaxRows> kept;
          if (keep) kept = SoftmaxRows{NdArray<float>::uninit(a.shape()), NdArray<float>::uninit(Shape{rows})};
          cross_entropy_rows(a, labels.data(), loss.data(), kept ? &*kept : nullptr);
          if (reduction == Reduction::None) return CrossEntropy{CpuStorage(narrowed<T>(std::move(loss))), std::move(kept)};
          const CpuStorage losses(std::move(loss));
          auto total = reduction == Reduction::Sum ? losses.sum(Axes{0}, false) : losses.mean(Axes{0}, false);
          if (!total) return std::unexpected(std::move(total.error()));
          NdArray<float> value(*total->get_if<float>());
          return CrossEntropy{CpuStorage(narrowed<T>(std::move(value))), std::move(kept)};
        }
      },
      data_);
}

Result<CpuStorage> CpuStorage::backward_cross_entropy(const CpuStorage& grad, const CpuStorage& logits,
                                                      const NdArray<std::int64_t>& labels, const SoftmaxRows& kept,
                                                      Reduction reduction) {
  if (grad.dtype() != logits.dtype()) return fail(ExcKind::Type, kGradMismatch);
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) {
          return fail(ExcKind::Type, kGradMismatch);
        } else {
          const std::size_t rows = kept.totals.size();
          std::vector<float> row_grad(rows);
          for (std::size_t i = 0; i < rows; ++i) {
            // g is one value for a reduced loss, one per row otherwise (any layout: read through its strides).
            const float gi = reduction == Reduction::None ? widen(g.data()[std::ptrdiff_t(i) * g.strides()[0]])
                                                          : widen(g.data()[0]);
            row_grad[i] = reduction == Reduction::Mean ? gi / float(rows) : gi;
          }
          return CpuStorage(mirel::backward_cross_entropy(same_type<T>(logits), labels.data(), kept,
                                                          row_grad.data()));
        }
      },
      grad.data());
}

// Note [linear rounds once]
// The bias is added to the float32 product before its one rounding to the
// element type, as Add adds (its NaN rule included): a half result is
// rounded once, not after the product and again after the bias. In f32 this
// is the product and then the addition, as before.
Result<CpuStorage> CpuStorage::linear(const CpuStorage& weight, const CpuStorage* bias) const {
  for (const CpuStorage* other : {&weight, bias}) {
    if (other && dtype() != other->dtype()) {
      return fail(ExcKind::Value, concat("Tensor DType mismatch during binary execution. Cannot operate between ",
                                         dtype_name(dtype()), " and ", dtype_name(other->dtype()), "."));
    }
  }
  return std::visit(
      [&]<class T>(const NdArray<T>& x) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) {
          return std::unexpected(bool_unsupported("linear"));
        } else {
          NdArray<T> copy;
          const View<T> rows = as_rows(x, copy), wt = transposed(view_of(same_type<T>(weight)));
          Expected<NdArray<float>> y;
          if constexpr (std::is_same_v<T, float>) y = mirel::matmul(rows, wt);
          else y = MatmulOps<T>::widened_product(rows, wt);
          if (!y) return fail(ExcKind::Runtime, std::move(y.error()));
          if (bias) {
            const NdArray<T>& b = same_type<T>(*bias);
            const std::size_t n = wt.shape[1];
            std::vector<float> bw(n);  // widened once: the rows' loop runs on contiguous f32
            for (std::size_t j = 0; j < n; ++j) bw[j] = widen(b.data()[std::ptrdiff_t(j) * b.strides()[0]]);
            float* p = y->data();
            const float* bp = bw.data();
            const std::size_t rows = n ? y->size() / n : 0;
            exec::parallel_for(rows, kElementGrain / std::max<std::size_t>(n, 1) + 1, [&](std::size_t r0, std::size_t r1) {
              for (std::size_t i = r0; i < r1; ++i) {
                float* row = p + i * n;
                for (std::size_t j = 0; j < n; ++j) row[j] = Add{}(row[j], bp[j]);
              }
            }, y->size() / kElementGrain);
          }
          Shape shape = x.shape();
          shape.back() = weight.shape()[0];
          if constexpr (std::is_same_v<T, float>) {
            return CpuStorage(with_leading(std::move(*y), std::move(shape)));
          } else {
            NdArray<T> out = NdArray<T>::uninit(y->shape());
            exec::parallel_for(out.size(), kElementGrain, [&](std::size_t begin, std::size_t end) {
              narrow_n(y->data() + begin, out.data() + begin, end - begin);
            });
            return CpuStorage(with_leading(std::move(out), std::move(shape)));
          }
        }
      },
      data_);
}

Result<CpuStorage::GradPair> CpuStorage::backward_linear(const CpuStorage& x, const CpuStorage& grad,
                                                         const CpuStorage& weight, GradWanted want) {
  if (x.dtype() != grad.dtype() || weight.dtype() != grad.dtype()) return fail(ExcKind::Type, kGradMismatch);
  Shape result = x.shape();
  if (!result.empty() && weight.ndim() == 2) result.back() = weight.shape()[0];
  if (grad.shape() != result) {
    return panic(concat("linear: a gradient of shape ", shape_str(grad.shape()), " for a result of shape ",
                        shape_str(result)));
  }
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<GradPair> {
        if constexpr (std::is_same_v<T, bool>) {
          return fail(ExcKind::Type, kGradMismatch);
        } else {
          NdArray<T> g_copy, x_copy;
          const View<T> g_rows = as_rows(g, g_copy);
          GradPair out;
          if (want.lhs) {
            auto gx = mirel::matmul(g_rows, view_of(same_type<T>(weight)));
            if (!gx) return fail(ExcKind::Runtime, std::move(gx.error()));
            out.first.emplace(with_leading(std::move(*gx), x.shape()));
          }
          if (want.rhs) {
            auto gw = mirel::matmul(transposed(g_rows), as_rows(same_type<T>(x), x_copy));
            if (!gw) return fail(ExcKind::Runtime, std::move(gw.error()));
            out.second.emplace(std::move(*gw));
          }
          return out;
        }
      },
      grad.data());
}

}  // namespace mirel
