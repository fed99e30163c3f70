#!/usr/bin/env bash
# Usage: scripts/setup.sh [3.13|3.12|3.11]
#
# Creates (or reuses) .venv/py<version> with that Python, then builds mirel_core
# and installs it into that venv with its test extras.
#
# The first run installs the build and test dependencies into the venv; later
# runs build without isolation in a persistent tree, build/py<version>, so a
# run with nothing changed compiles nothing and a touched source file is the
# only one recompiled; pip reinstalls only when the build's products or the
# files installed with them changed. The dependencies are installed again when
# pyproject.toml changes. pip's output (with the compiler's) goes to
# .venv/install-py<version>.log and is shown only when something fails.
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
py="$venv/bin/python"
# Tools the build requires (CMake or Ninja when the machine has none) are
# installed into the venv: the build finds them on PATH, as it would in an
# isolated build environment.
export PATH="$venv/bin:$PATH"
build_dir="build/py$version"
# The dependencies installed into the venv follow pyproject.toml.
stamp="$venv/.mirel-deps"
# What the installed mirel_core was built from (see install_key).
installed_stamp="$venv/.mirel-installed"
# The demo's interpreter, 3.13, can run every example (extras "distributed":
# Ray, "examples": matplotlib); the comparisons with PyTorch (extra "torch",
# whose CPU build exists for 3.11) run on 3.11 only; elsewhere they skip.
extras="test"
[[ "$version" == "3.13" ]] && extras="test,distributed,examples"
[[ "$version" == "3.11" ]] && extras="test,torch"
deps_key="$(sha256sum pyproject.toml | cut -d' ' -f1)"

# Build requirements: build-system.requires, then whatever the backend asks
# for on top (CMake or Ninja when the machine has none recent enough).
build_requires() {
  "$py" - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))
PY
}
backend_requires() {
  "$py" -c 'from scikit_build_core.build import get_requires_for_build_wheel as g; print("\n".join(g()))'
}

install_deps() {
  echo "== pip install --upgrade pip"
  "$py" -m pip install --upgrade pip || return
  local reqs
  mapfile -t reqs < <(build_requires) || return
  echo "== pip install ${reqs[*]}"
  "$py" -m pip install "${reqs[@]}" || return
  mapfile -t reqs < <(backend_requires) || return
  if [[ ${#reqs[@]} -gt 0 ]]; then
    echo "== pip install ${reqs[*]}"
    "$py" -m pip install "${reqs[@]}" || return
  fi
}

# $1: what to install ('.[extras]' with its dependencies, '.' alone).
build_install() {
  local deps=()
  [[ "$1" == "." ]] && deps=(--no-deps)
  echo "== pip install --no-build-isolation ${deps[*]} '$1' (build tree $build_dir)"
  "$py" -m pip install -v --no-build-isolation "${deps[@]}" \
    -C build-dir="$build_dir" "$1"
}

fail() {
  echo "setup.sh: $1 failed; the end of $log:" >&2
  tail -n 150 "$log" >&2
  exit 1
}

: >"$log"
if [[ "$(cat "$stamp" 2>/dev/null)" != "$deps_key" ]]; then
  echo "setup.sh: installing the build and test dependencies into .venv/py$version (log: $log)"
  install_deps >>"$log" 2>&1 || fail "installing the dependencies"
  what=".[$extras]"
  rm -f "$installed_stamp"
else
  what='.'
fi

# What the install was made from: the build tree's products, the files
# installed beside them, the project files, and the installed module itself
# (so that an install by other means is replaced).
install_key() {
  {
    stat -c '%n %s %Y' "$build_dir"/mirel_core*.so "$build_dir"/mirel_core.libs/* "$build_dir"/mirel/*.so \
      "$venv"/lib/python*/site-packages/mirel_core*.so 2>&1
    sha256sum pyproject.toml CMakeLists.txt README.md docs/pypi.md LICENSE NOTICE src/mirel_core.pyi
    find src/mirel -type f | sort | xargs sha256sum
  } | sha256sum | cut -d' ' -f1
}

# A tree that was built before: let its own CMake bring it up to date (only
# what changed is compiled) and reinstall only when that changed something.
if [[ "$what" == "." && -f "$installed_stamp" && -f "$build_dir/CMakeCache.txt" ]]; then
  cmake_cmd="$(sed -n 's/^CMAKE_COMMAND:INTERNAL=//p' "$build_dir/CMakeCache.txt")"
  echo "setup.sh: bringing the build of mirel_core in $build_dir up to date (log: $log)"
  { echo "== cmake --build $build_dir"; "$cmake_cmd" --build "$build_dir"; } >>"$log" 2>&1 ||
    fail "building mirel_core"
  if [[ "$(install_key)" == "$(cat "$installed_stamp")" ]]; then
    echo "setup.sh: the mirel_core in .venv/py$version is up to date"
    exit 0
  fi
fi

echo "setup.sh: building mirel_core in $build_dir and installing it into .venv/py$version (log: $log)"
build_install "$what" >>"$log" 2>&1 || fail "building mirel_core"
echo "$deps_key" >"$stamp"
install_key >"$installed_stamp"
