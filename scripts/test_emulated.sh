#!/usr/bin/env bash
# Usage: scripts/test_emulated.sh [version]     (default: 3.13)
#
# The engine and both modules built once more with MIREL_EMULATE_AVX512 (Note
# [emulated instruction sets] in src/engine/cpu/exec/registry.hpp): the
# AVX-512 and AVX-512 BF16 variants compiled against SIMDe and a shim, the AMX
# kernel against a software tile unit, all as AVX2 code, so that every
# variant runs on any AVX2 machine. Checks that nothing built holds an
# AVX-512 instruction (EVEX-encoded: first byte 0x62) or an AMX one; then,
# with the tile unit summing in the order measured on the hardware (design
# choice 9, so that the load-time probe accepts it), runs the engine's C++
# tests, and the suites that compare bits against the emulated module:
# as chosen (AVX-512 BF16 loops, AMX products), under MIREL_ISA=avx512_bf16
# (no AMX: AMD's CPUs then multiply bf16 on the AVX-512 BF16 unit) and under
# MIREL_ISA=avx512. Uses the venv of scripts/setup.sh for CMake, Ninja and
# SIMDe (cmeel-simde, pip-installed there when missing); builds in
# build/emulated-pyX.Y and installs into its stage/. Exits non-zero on any
# failure.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
version="${1:-3.13}"
venv="$root/.venv/py$version" build="$root/build/emulated-py$version"
log="$build.log"
mkdir -p "$root/build"
: >"$log"

fail() {
  echo "test_emulated.sh: $1; the end of $log:" >&2
  tail -n 60 "$log" >&2
  exit 1
}

[[ -x "$venv/bin/python" ]] || { echo "test_emulated.sh: no $venv (run scripts/setup.sh $version)" >&2; exit 1; }
if ! "$venv/bin/python" -m pip show -q cmeel-simde >/dev/null 2>&1 ||
   [[ ! -x "$venv/bin/cmake" || ! -x "$venv/bin/ninja" ]]; then
  "$venv/bin/python" -m pip install -q cmeel-simde==0.8.2 cmake ninja >>"$log" 2>&1 || fail "installing SIMDe failed"
fi
PATH="$venv/bin:$PATH" cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$venv/bin/python" -DMIREL_ENGINE_TESTS=ON -DMIREL_EMULATE_AVX512=ON >>"$log" 2>&1 ||
  fail "configuring the emulated build failed"
{ PATH="$venv/bin:$PATH" cmake --build "$build" -j 2 && rm -rf "$build/stage" &&
  cmake --install "$build" --prefix "$build/stage"; } >>"$log" 2>&1 || fail "building the emulated build failed"

# objdump prints address, bytes and instruction separated by tabs.
for binary in "$build/engine_tests" "$build"/stage/mirel_core*.so "$build"/stage/mirel/_native*.so \
              "$build"/stage/mirel_core.libs/*.so; do
  found="$(objdump -d "$binary" |
           awk -F'\t' 'NF >= 3 && ($2 ~ /^62 / || $3 ~ /^(tile|tdp|ldtilecfg|sttilecfg)/) { print; if (++n == 5) exit }')"
  if [[ -n "$found" ]]; then
    echo "test_emulated.sh: $binary holds AVX-512 or AMX instructions, first ones:" >&2
    echo "$found" >&2
    exit 1
  fi
done
echo "test_emulated.sh: no AVX-512 or AMX instruction in the emulated build"

export MIREL_EMU_AMX_ORDER=chains
"$build/engine_tests" || exit 1
# The suites that compare bits: elementwise, layouts, reductions and math,
# products, gradients' sums, the training step against its f32 reference.
suites=(tests/test_elementwise.py tests/test_layout.py tests/test_mirel_functions.py tests/test_matmul.py
        tests/test_matmul_order.py tests/test_bf16_units.py tests/test_mirel_gradient_sums.py
        tests/test_mirel_training.py)
cd "$root"
for cap in "" avx512_bf16 avx512; do
  echo "=== bit-comparing suites on the emulated build, MIREL_ISA=${cap:-(unset)}"
  PYTHONPATH="$build/stage" MIREL_ISA="$cap" "$venv/bin/python" -P -c '
import sys, mirel
c = mirel.config()
print("chosen:", c["chosen"])
sys.exit(not (c["emulated"] and c["chosen"]["loops"].startswith("avx512")))' || exit 1
  PYTHONPATH="$build/stage" MIREL_ISA="$cap" "$venv/bin/python" -P -m pytest -q -p no:cacheprovider "${suites[@]}" ||
    exit 1
done
