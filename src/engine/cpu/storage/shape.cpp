#include "engine/cpu/numeric/ops/expand.hpp"
#include "engine/cpu/numeric/ops/join.hpp"
#include "engine/cpu/numeric/ops/shape.hpp"
#include "engine/cpu/numeric/ops/take.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "util/format.hpp"

namespace mirel {

Result<CpuStorage> CpuStorage::reshape(const Shape& shape) const {
  return std::visit(
      [&](const auto& a) -> Result<CpuStorage> {
        auto r = mirel::reshape(a, shape);
        if (!r) return fail(ExcKind::Value, "Error while reshape: " + r.error());
        return CpuStorage(std::move(*r));
      },
      data_);
}

Result<CpuStorage> CpuStorage::transpose(std::size_t dim0, std::size_t dim1) const {
  return std::visit(
      [&](const auto& a) -> Result<CpuStorage> {
        auto r = mirel::transpose(a, dim0, dim1);
        if (!r) return panic(std::move(r.error()));
        return CpuStorage(std::move(*r));
      },
      data_);
}

CpuStorage CpuStorage::zeros_like() const {
  return std::visit(
      []<class T>(const NdArray<T>& a) { return CpuStorage(NdArray<T>::filled(a.shape(), zero_of<T>())); }, data_);
}

CpuStorage CpuStorage::ones_like() const {
  return std::visit(
      []<class T>(const NdArray<T>& a) { return CpuStorage(NdArray<T>::filled(a.shape(), one_of<T>())); }, data_);
}

Result<CpuStorage> CpuStorage::broadcast_to(const Shape& shape) const {
  return std::visit(
      [&](const auto& a) -> Result<CpuStorage> {
        auto r = mirel::broadcast_to(a, shape);
        if (!r) return fail(ExcKind::Value, std::move(r.error()));
        return CpuStorage(std::move(*r));
      },
      data_);
}

Result<CpuStorage> CpuStorage::permute(const Axes& perm) const {
  if (perm.size() != ndim()) return panic(concat("permute: ", perm.size(), " axes for a tensor of ", ndim()));
  return std::visit([&](const auto& a) -> Result<CpuStorage> { return CpuStorage(mirel::permute(a, perm)); }, data_);
}

CpuStorage CpuStorage::row_major() const {
  return std::visit([](const auto& a) { return CpuStorage(mirel::row_major(a)); }, data_);
}

namespace {

template <class To, class From>
To convert(From v) noexcept {
  if constexpr (std::is_same_v<To, bool>) {
    if constexpr (std::is_same_v<From, bool>) return v;
    else return widen(v) != 0.0f;
  } else if constexpr (std::is_same_v<From, bool>) {
    return narrow<To>(v ? 1.0f : 0.0f);
  } else {
    return narrow<To>(widen(v));  // widening is exact: one rounding
  }
}

template <class To>
NdArray<To> converted(const CpuStorage& s) {
  NdArray<To> out = NdArray<To>::uninit(s.shape());
  if (out.size() == 0) return out;
  std::visit(
      [&]<class From>(const NdArray<From>& a) {
        copy_to_row_major(a.data(), a.shape(), a.strides(), out.data(), [](const From* p) { return convert<To>(*p); });
      },
      s.data());
  return out;
}

}  // namespace

CpuStorage CpuStorage::astype(DType dtype) const {
  switch (dtype) {
    case DType::F16: return CpuStorage(converted<F16>(*this));
    case DType::BF16: return CpuStorage(converted<BF16>(*this));
    case DType::F32: return CpuStorage(converted<float>(*this));
    case DType::Bool: break;
  }
  return CpuStorage(converted<bool>(*this));
}

Result<CpuStorage> CpuStorage::concatenate(const std::vector<const CpuStorage*>& parts, std::size_t axis) {
  return std::visit(
      [&]<class T>(const NdArray<T>&) -> Result<CpuStorage> {
        std::vector<const NdArray<T>*> arrays;
        for (const CpuStorage* p : parts) {
          const NdArray<T>* a = p->get_if<T>();
          if (!a) {
            return fail(ExcKind::Type, concat("concatenate: every tensor must have one element type; got ",
                                              dtype_name(parts.front()->dtype()), " and ", dtype_name(p->dtype())));
          }
          arrays.push_back(a);
        }
        return CpuStorage(mirel::concatenate(arrays, axis));
      },
      parts.front()->data());
}

Result<CpuStorage> CpuStorage::slice(std::size_t axis, std::size_t start, std::size_t length) const {
  if (axis >= ndim() || start > shape()[axis] || length > shape()[axis] - start) {
    return panic(concat("slice: [", start, ", ", start, " + ", length, ") along axis ", axis, " of ", shape_str(shape())));
  }
  return std::visit(
      [&](const auto& a) -> Result<CpuStorage> { return CpuStorage(mirel::slice(a, axis, start, length)); }, data_);
}

Result<CpuStorage> CpuStorage::take(std::size_t axis, const NdArray<std::int64_t>& indices) const {
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if (a.is_standard_layout()) return CpuStorage(mirel::take(a, axis, indices));
        return CpuStorage(mirel::take(mirel::row_major(a), axis, indices));
      },
      data_);
}

Result<CpuStorage> CpuStorage::backward_take(const CpuStorage& grad, const Shape& shape, std::size_t axis,
                                             const NdArray<std::int64_t>& indices) {
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) {
          return fail(ExcKind::Type, "DType mismatch between gradient and input during unary backward pass.");
        } else {
          if (g.is_standard_layout()) return CpuStorage(mirel::backward_take(g, shape, axis, indices));
          return CpuStorage(mirel::backward_take(mirel::row_major(g), shape, axis, indices));
        }
      },
      grad.data());
}

Result<CpuStorage> CpuStorage::widened_sum_to(const Shape& target) const {
  if (dtype() == DType::F32) return sum_to(target);
  if (dtype() == DType::Bool) return fail(ExcKind::Type, "a Bool tensor has no gradient");
  return astype(DType::F32).sum_to(target);
}

Result<CpuStorage> CpuStorage::sum_to(const Shape& target) const {
  const Shape& from = shape();
  if (!broadcast_view(static_cast<const float*>(nullptr), target, dense_strides(target, Order::RowMajor), from)) {
    return fail(ExcKind::Value, concat("cannot sum ", shape_str(from), " to ", shape_str(target),
                                       ": that shape does not broadcast to this one"));
  }
  // The leading axes broadcasting added, and the axes it stretched from 1.
  const std::size_t lead = from.size() - target.size();
  Axes axes;
  for (std::size_t d = 0; d < from.size(); ++d) {
    if (d < lead || (target[d - lead] == 1 && from[d] != 1)) axes.push_back(d);
  }
  auto s = sum(axes, true);
  if (!s) return s;
  return s->reshape(target);
}

}  // namespace mirel
