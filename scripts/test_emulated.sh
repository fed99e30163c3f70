#!/usr/bin/env bash
# Usage: scripts/test_emulated.sh [version]     (default: 3.13)
#
# The engine's C++ tests once more, built with MIREL_EMULATE_AVX512 (Note
# [emulated instruction sets] in src/engine/cpu/exec/registry.hpp): the
# AVX-512 and AVX-512 BF16 variants compiled against SIMDe and a shim, the AMX
# kernel against a software tile unit, all as AVX2 code, so that every
# variant runs on any AVX2 machine. Checks that the binary holds no AVX-512
# instruction (EVEX-encoded: first byte 0x62) and no AMX one, then runs it
# with the tile unit summing in the order measured on the hardware (design
# choice 9). Uses the venv of scripts/setup.sh for CMake, Ninja and SIMDe
# (cmeel-simde, pip-installed there when missing); builds in
# build/engine-tests-emulated-pyX.Y. Exits non-zero on any failure.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
version="${1:-3.13}"
venv="$root/.venv/py$version" build="$root/build/engine-tests-emulated-py$version"
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
PATH="$venv/bin:$PATH" cmake --build "$build" --target engine_tests -j 2 >>"$log" 2>&1 ||
  fail "building the emulated C++ tests failed"

# objdump prints address, bytes and instruction separated by tabs.
found="$(objdump -d "$build/engine_tests" |
         awk -F'\t' 'NF >= 3 && ($2 ~ /^62 / || $3 ~ /^(tile|tdp|ldtilecfg|sttilecfg)/) { print; if (++n == 5) exit }')"
if [[ -n "$found" ]]; then
  echo "test_emulated.sh: the emulated build holds AVX-512 or AMX instructions, first ones:" >&2
  echo "$found" >&2
  exit 1
fi
echo "test_emulated.sh: no AVX-512 or AMX instruction in $build/engine_tests"
MIREL_EMU_AMX_ORDER=chains "$build/engine_tests"
