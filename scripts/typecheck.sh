#!/usr/bin/env bash
# Usage: scripts/typecheck.sh [PYTHON]     (default: .venv/py3.13/bin/python)
#
# Checks the installed type stubs with that interpreter's mypy (the test
# extra installs it): stubtest compares them with the installed module, and
# mypy --strict checks the examples and the test that exercises the whole API
# against them.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
py="${1:-$root/.venv/py3.13/bin/python}"

echo "== stubtest mirel_core mirel"
"$py" -m mypy.stubtest --allowlist "$root/scripts/stubtest-allowlist.txt" mirel_core mirel
echo "== mypy --strict examples/ tests/test_api_types.py tests/test_mirel_types.py"
"$py" -m mypy --strict --cache-dir "$root/.venv/mypy-cache" examples/ tests/test_api_types.py tests/test_mirel_types.py
