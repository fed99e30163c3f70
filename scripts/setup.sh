#!/usr/bin/env bash
# Usage: scripts/setup.sh [3.13|3.12|3.11]
#
# Creates (or reuses) .venv/py<version> with that Python, then builds mirel_core
# and installs it into that venv with its test extras. pip's output goes to
# .venv/install-py<version>.log (with the compiler's output) and is shown
# only when something fails.
set -euo pipefail

version="${1:-3.13}"
if [[ ! "$version" =~ ^3\.[0-9]+$ ]]; then
  echo "setup.sh: expected a Python version like 3.13, got '$version'" >&2
  exit 2
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv/py$version"
log="$root/.venv/install-py$version.log"

# Prints X.Y of the given interpreter if it runs and can create a venv.
py_version() {
  "$1" -c 'import sys, venv, ensurepip; print("%d.%d" % sys.version_info[:2])' 2>/dev/null
}

usable() {
  [[ "$(py_version "$1")" == "$version" ]]
}

find_python() {
  local cand
  # 1. pythonX.Y on PATH (a pyenv shim for a version that is not active fails
  #    to run, so try every match).
  while IFS= read -r cand; do
    if usable "$cand"; then echo "$cand"; return 0; fi
  done < <(type -ap "python$version" 2>/dev/null || true)

  # 2. The highest X.Y.* installed through pyenv.
  local pyenv_root=""
  if command -v pyenv >/dev/null 2>&1; then
    pyenv_root="$(pyenv root 2>/dev/null || true)"
  fi
  [[ -z "$pyenv_root" ]] && pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  if [[ -d "$pyenv_root/versions" ]]; then
    while IFS= read -r cand; do
      cand="$cand/bin/python3"
      if usable "$cand"; then echo "$cand"; return 0; fi
    done < <(ls -d "$pyenv_root/versions/$version".* 2>/dev/null |
             grep -E "/$version\.[0-9]+$" | sort -Vr)
  fi

  # 3. python3 itself, if it is that version.
  if usable python3; then command -v python3; return 0; fi
  return 1
}

mkdir -p "$root/.venv"

if [[ -x "$venv/bin/python" && "$(py_version "$venv/bin/python")" == "$version" ]]; then
  :  # reuse
else
  if ! base="$(find_python)"; then
    echo "setup.sh: no Python $version found (tried python$version on PATH," \
         "\$(pyenv root)/versions/$version.*/bin/python3 and python3)" >&2
    exit 1
  fi
  rm -rf "$venv"
  if ! "$base" -m venv "$venv" >"$log" 2>&1; then
    echo "setup.sh: creating the venv with $base failed:" >&2
    cat "$log" >&2
    exit 1
  fi
fi

# Two compile jobs at most: the machines have two cores.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

cd "$root"
# The Ray tests (extra "distributed") run on 3.13 only; elsewhere they skip.
extras="test"
[[ "$version" == "3.13" ]] && extras="test,distributed"
pip_install() {
  echo "== pip install --upgrade pip"
  "$venv/bin/python" -m pip install --upgrade pip || return
  echo "== pip install '.[$extras]'"
  "$venv/bin/python" -m pip install -v ".[$extras]"
}
echo "setup.sh: building and installing mirel_core into .venv/py$version"
if ! pip_install >"$log" 2>&1; then
  echo "setup.sh: installing mirel_core into $venv failed; the end of $log:" >&2
  tail -n 150 "$log" >&2
  exit 1
fi
