#pragma once
#include <string_view>

namespace mirel {

// Order matches the CpuStorage variant.
enum class DType { F16 = 0, BF16 = 1, F32 = 2, Bool = 3 };

// Text form used in messages ("F16", "BF16", "F32", "Bool").
constexpr std::string_view dtype_name(DType d) noexcept {
  switch (d) {
    case DType::F16: return "F16";
    case DType::BF16: return "BF16";
    case DType::F32: return "F32";
    case DType::Bool: return "Bool";
  }
  return "?";
}

// Lower-case form reported by the Python `dtype` property.
constexpr std::string_view dtype_py_name(DType d) noexcept {
  switch (d) {
    case DType::F16: return "f16";
    case DType::BF16: return "bf16";
    case DType::F32: return "f32";
    case DType::Bool: return "bool";
  }
  return "?";
}

}  // namespace mirel
