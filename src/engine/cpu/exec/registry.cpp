#include "engine/cpu/exec/registry.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace mirel::exec {
namespace {

#if defined(MIREL_EMULATE_AVX512)
constexpr bool kEmulated = true;
#else
constexpr bool kEmulated = false;
#endif

// Note [emulated instruction sets]: AVX-512, its BF16 set and AMX wherever AVX2 is.
Offer as_built(Offer o) noexcept {
  if (kEmulated && o.has(Feature::Avx2)) {
    for (auto f : {Feature::Avx512, Feature::Avx512Bf16, Feature::Amx}) o.missing[std::size_t(f)] = nullptr;
  }
  return o;
}

const char* capped(std::size_t rung) noexcept {
  static constexpr const char* kWhy[] = {"MIREL_ISA=portable caps it", "MIREL_ISA=avx2 caps it",
                                         "MIREL_ISA=avx512 caps it", "MIREL_ISA=avx512_bf16 caps it"};
  return kWhy[rung];
}

}  // namespace

Cap parse_cap(const char* value) noexcept {
  if (!value || !*value) return {};
  for (std::size_t i = 0; i < kIsaCount; ++i) {
    if (std::strcmp(value, kIsas[i].key) == 0) return {i, false};
  }
  if (std::strcmp(value, kAmxKey) == 0) return {};
  return {kIsaCount, true};
}

const char* Choice::refusal(Isa isa) const noexcept {
  if (isa == Isa::Portable) return nullptr;
  if (const char* why = offer.missing[std::size_t(kIsas[std::size_t(isa)].needs)]) return why;
  return std::size_t(isa) > cap.rung ? capped(cap.rung) : nullptr;
}

const char* Choice::amx_refusal() const noexcept {
  if (const char* why = offer.missing[std::size_t(Feature::Amx)]) return why;
  return cap.rung < kIsaCount ? capped(cap.rung) : nullptr;
}

Isa Choice::best(Family f) const noexcept {
  for (std::size_t i = std::size_t(kFamilies[std::size_t(f)].widest); i > 0; --i) {
    if (!refusal(Isa(i))) return Isa(i);
  }
  return Isa::Portable;
}

Choice choose(const Offer& offer, const Cap& cap) noexcept { return Choice{offer, cap}; }

const char* cap_value() noexcept {
  static const char* const value = [] {
    const char* v = std::getenv("MIREL_ISA");
    return v && *v ? v : nullptr;
  }();
  return value;
}

bool emulated() noexcept { return kEmulated; }

const Choice& choice() noexcept {
  // Without asking for tile data: the AMX answer is amx_refusal()'s.
  static const Choice c = choose(as_built(offer(read_cpuid(), nullptr)), parse_cap(cap_value()));
  return c;
}

const char* amx_refusal() noexcept {
  static const char* const why = [] {
    const Cap cap = parse_cap(cap_value());
    // A capped process does not ask (its answer is the cap); an emulated one has its own tile unit.
    const bool ask = cap.rung == kIsaCount && !kEmulated;
    bool (*grant)() = ask ? request_tile_data : +[] { return true; };
    return choose(as_built(offer(read_cpuid(), grant)), cap).amx_refusal();
  }();
  return why;
}

}  // namespace mirel::exec

namespace mirel {

const char* isa_name(Isa isa) noexcept {
  static constexpr const char* kEmulatedNames[] = {"portable", "AVX2+FMA+F16C", "AVX-512 F/BW/VL/DQ (emulated)",
                                                   "AVX-512 with BF16 (emulated)"};
  return exec::emulated() ? kEmulatedNames[std::size_t(isa)] : exec::kIsas[std::size_t(isa)].name;
}

const char* isa_key(Isa isa) noexcept { return exec::kIsas[std::size_t(isa)].key; }

bool isa_supported(Isa isa) noexcept { return exec::choice().refusal(isa) == nullptr; }

Isa best_isa(exec::Family f) noexcept { return exec::choice().best(f); }

}  // namespace mirel
