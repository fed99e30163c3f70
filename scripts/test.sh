#!/usr/bin/env bash
# Usage: scripts/test.sh [version...]     (default: 3.13)
#
# For each Python version: set up .venv/py<version> (scripts/setup.sh), then
# run the test suite against the installed module. Exits non-zero if any
# version fails to build or its tests fail or none are collected.
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

summary="$(IFS=';'; echo "${results[*]}")"
summary="${summary//;/, }"
if [[ $failed -eq 0 ]]; then
  echo "test.sh: all good (${summary})"
else
  echo "test.sh: FAILED (${summary})"
fi
exit $failed
