#pragma once
#include <optional>
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

// The element type named by one of the accepted texts ("f32"/"float32",
// "f16"/"float16", "bf16"/"bfloat16", "bool"; exact and case-sensitive).
constexpr std::optional<DType> dtype_from_text(std::string_view t) noexcept {
  if (t == "f32" || t == "float32") return DType::F32;
  if (t == "f16" || t == "float16") return DType::F16;
  if (t == "bf16" || t == "bfloat16") return DType::BF16;
  if (t == "bool") return DType::Bool;
  return std::nullopt;
}

}  // namespace mirel
