#!/usr/bin/env bash
# Sets up .venv/py3.13 (building and installing mirel_core) and runs the demo.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash "$root/scripts/setup.sh" 3.13
exec "$root/.venv/py3.13/bin/python" "$root/examples/demo.py" "$@"
