#!/usr/bin/env bash
# Usage: scripts/test.sh [version...]     (default: 3.13)
#
# For each Python version: set up .venv/py<version> (scripts/setup.sh), then
# run the test suite against the installed module. Then, once, build and run
# the engine's C++ tests (tests/cpp) in build/engine-tests-pyX.Y, and again,
# with the bit-comparing suites, on a build whose AVX-512 and AMX variants are
# emulated (scripts/test_emulated.sh), so that every variant runs whatever
# this CPU has. Exits non-zero if any version
# fails to build or its tests fail or none are collected, or if the C++ tests
# fail to build or fail.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

versions=("$@")
[[ ${#versions[@]} -eq 0 ]] && versions=(3.13)

results=()
failed=0
for v in "${versions[@]}"; do
  echo "=== Python $v"
  if ! bash "$root/scripts/setup.sh" "$v"; then
    results+=("$v: setup failed")
    failed=1
    continue
  fi
  # -P keeps the working directory off sys.path, so the tests import the
  # installed module rather than anything in the tree.
  "$root/.venv/py$v/bin/python" -P -m pytest -q tests
  rc=$?
  case $rc in
    0) results+=("$v: ok") ;;
    5) results+=("$v: no tests collected"); failed=1 ;;
    *) results+=("$v: pytest exit $rc"); failed=1 ;;
  esac
done

# The C++ tests link the engine directly, built by CMake with the first
# version's venv providing the build tools (pip-installed there when missing).
engine_tests() {
  # One build tree per interpreter: a tree configured by another venv's CMake
  # and Python does not reconfigure cleanly.
  local venv="$root/.venv/py$1" build="$root/build/engine-tests-py$1"
  local log="$build.log"
  mkdir -p "$root/build"
  : >"$log"
  if [[ ! -x "$venv/bin/cmake" || ! -x "$venv/bin/ninja" ]]; then
    "$venv/bin/python" -m pip install -q cmake ninja >>"$log" 2>&1
  fi
  if ! PATH="$venv/bin:$PATH" cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
         -DPython_EXECUTABLE="$venv/bin/python" -DMIREL_ENGINE_TESTS=ON >>"$log" 2>&1 ||
     ! PATH="$venv/bin:$PATH" cmake --build "$build" --target engine_tests -j 2 >>"$log" 2>&1; then
    echo "test.sh: building the C++ tests failed; the end of $log:" >&2
    tail -n 60 "$log" >&2
    return 1
  fi
  "$build/engine_tests"
}

if [[ -x "$root/.venv/py${versions[0]}/bin/python" ]]; then
  echo "=== C++ engine tests"
  if engine_tests "${versions[0]}"; then
    results+=("C++: ok")
  else
    results+=("C++: failed")
    failed=1
  fi
  echo "=== AVX-512 and AMX emulated: C++ engine tests and bit-comparing suites"
  if bash "$root/scripts/test_emulated.sh" "${versions[0]}"; then
    results+=("emulated: ok")
  else
    results+=("emulated: failed")
    failed=1
  fi
fi

summary="$(IFS=';'; echo "${results[*]}")"
summary="${summary//;/, }"
if [[ $failed -eq 0 ]]; then
  echo "test.sh: all good (${summary})"
else
  echo "test.sh: FAILED (${summary})"
fi
exit $failed
