#!/usr/bin/env bash
# Usage: scripts/sanitize.sh [version]     (default: 3.13)
#
# Builds mirel_core with AddressSanitizer and UndefinedBehaviorSanitizer into
# .venv/asan-py<version> and runs the whole test suite against it. Exits
# non-zero when a test fails or a sanitizer reports anything, in the test
# process or in any interpreter the tests start.
set -uo pipefail

version="${1:-3.13}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# The plain set-up finds the interpreter and proves the tree builds.
bash "$root/scripts/setup.sh" "$version" || exit 1
base="$(.venv/py$version/bin/python -c 'import sys; print(sys._base_executable)')"
venv="$root/.venv/asan-py$version"
log="$root/.venv/install-asan-py$version.log"
reports="$root/.venv/asan-reports"

if [[ ! -x "$venv/bin/python" ]]; then
  "$base" -m venv "$venv" || exit 1
fi
echo "sanitize.sh: building the sanitized module into $venv (log: $log)"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
if ! { "$venv/bin/python" -m pip install --upgrade pip &&
       "$venv/bin/python" -m pip install -v -C cmake.define.MIREL_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
         -C build-dir="$root/.venv/build/asan-py$version" \
         '.[test]'; } >"$log" 2>&1; then
  echo "sanitize.sh: the sanitized build failed; the end of $log:" >&2
  tail -n 100 "$log" >&2
  exit 1
fi

rm -rf "$reports" && mkdir -p "$reports"
# A daemon thread ended by the interpreter at exit unwinds through frames the
# runtime never unpoisoned (pthread_exit, not a C++ throw); the runtime's own
# sigaltstack call then reads that stale poison. Only that interceptor is hushed.
suppressions="$reports/../asan.supp"
echo "interceptor_name:sigaltstack" >"$suppressions"
# The interpreter itself is not instrumented, so the runtime must come first.
# Python's own allocator is bypassed so that freed objects are seen too. Leak
# checking is off: the interpreter keeps much of its memory to the end.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:suppressions=$suppressions:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
"$venv/bin/python" -P -m pytest -q -p no:cacheprovider tests
rc=$?
unset LD_PRELOAD

if compgen -G "$reports/*" >/dev/null; then
  echo "sanitize.sh: sanitizer reports:" >&2
  for f in "$reports"/*; do echo "== $f" >&2; head -n 60 "$f" >&2; done
  exit 1
fi
case $rc in
  0) echo "sanitize.sh: all good" ;;
  5) echo "sanitize.sh: no tests collected" >&2; exit 1 ;;
  *) echo "sanitize.sh: pytest exit $rc" >&2; exit 1 ;;
esac
