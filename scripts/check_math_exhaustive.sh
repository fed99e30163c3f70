#!/usr/bin/env bash
# Usage: scripts/check_math_exhaustive.sh [--variants] [function]
#
# Builds tests/cpp/exhaustive/math_exhaustive.cpp against the engine's loops
# and runs it: every one of the 2^32 f32 inputs of exp, log, tanh, sigmoid,
# gelu, sqrt and square against double-precision libm (gelu: erfc), printing the worst error in
# ulps per function. --variants also compares every variant this CPU runs with
# the portable one on every input. Takes minutes; CI does not run it.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${TMPDIR:-/tmp}/mirel_math_exhaustive"
"${CXX:-g++}" -std=c++23 -O3 -Wall -Wextra -Wno-psabi -ffp-contract=off -I"$root/src" \
  "$root/tests/cpp/exhaustive/math_exhaustive.cpp" "$root/src/engine/cpu/exec/registry.cpp" \
  "$root/src/engine/cpu/exec/cpu.cpp" -o "$out"
exec nice "$out" "$@"
