#!/usr/bin/env bash
# What a new user gets: a fresh CPython 3.12 virtual environment, `pip install .` of a clean
# copy of this checkout (build isolation on, dependencies resolved by pip from pyproject.toml's
# ranges, no pins), the test tools alone on top, then tests/python against that installation
# and every command the README shows, on small synthetic data, each checked for a traceback.
# The pinned development environment (.venv) is not used. Prints the versions pip resolved.
#
# Usage: scripts/user_install_check.sh [--oldest] [WORK_FOLDER]
#   --oldest       install the oldest supported versions (constraints-oldest.txt, pyproject's
#                  lower bounds) instead of the newest: the check behind those bounds
#   WORK_FOLDER    kept afterwards (default: a temporary folder under build-user-check/, removed)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
began=$(date +%s)
pins=()
if [ "${1:-}" = "--oldest" ]; then
  pins=(-c "$root/constraints-oldest.txt"); shift
fi
if [ $# -ge 1 ]; then
  work=$1; mkdir -p "$work"
else
  # Under build*/ (ignored by git): a clean copy's build tree at a fixed depth lets ccache,
  # when the caller exports it as the compiler launcher, reuse the objects of earlier checks.
  mkdir -p "$root/build-user-check"
  work=$(mktemp -d "$root/build-user-check/run.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi

python=""
for candidate in python3.12 "$(command -v pyenv >/dev/null 2>&1 && pyenv root)"/versions/3.12.*/bin/python3.12; do
  if command -v "$candidate" >/dev/null 2>&1 &&
     "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
    python=$(command -v "$candidate"); break
  fi
done
[ -n "$python" ] || { echo "user-install-check: CPython 3.12 not found" >&2; exit 1; }

step() { echo "user-install-check: [$(( $(date +%s) - began )) s] $*"; }

# A clean copy: the files git tracks, as they are in the working tree (no build folders, no
# .venv), so nothing from the development set-up can leak into the user's installation.
src="$work/src"
mkdir -p "$src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
   tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$src"

step "fresh virtual environment with $python"
"$python" -m venv "$work/venv"
bin="$work/venv/bin"
pip=("$bin/python" -m pip --disable-pip-version-check -q)
step "pip install . (build isolation on, ${pins:+oldest supported versions}${pins:-no pins})"
CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} "${pip[@]}" install "${pins[@]}" "$src" 2>&1 |
  grep -v "^WARNING: Location" || true
"$bin/python" -c 'import morvex' || { echo "user-install-check: morvex does not import" >&2; exit 1; }
step "resolved: $("$bin/python" -m pip freeze 2>/dev/null |
  grep -iE '^(numpy|xarray|pandas|zarr|tifffile|click|tqdm|matplotlib|h5netcdf|h5py|dask|distributed)==' |
  tr '\n' ' ')"
# Test tools only, at whatever pip resolves: the package's own dependencies stay as installed.
"${pip[@]}" install pytest hypothesis meshio 2>&1 | grep -v "^WARNING: Location" || true

step "tests/python against the installed package"
# From outside the source tree, so `python/morvex` can never shadow the installed package.
# A failing test does not stop the check: the README's commands below still tell their part.
tests_failed=0
(cd "$work" && "$bin/python" -m pytest "$src/tests/python" -q -p no:cacheprovider) || tests_failed=1

# shellcheck source=scripts/readme_commands.sh
source "$root/scripts/readme_commands.sh"
step "the README's commands on synthetic data"
failed=$tests_failed
run_readme_commands "$bin" "$work" "$src" || failed=1

seconds=$(( $(date +%s) - began ))
if [ "$failed" -ne 0 ]; then
  echo "user-install-check: FAILED after ${seconds} s" >&2
  exit 1
fi
step "passed in ${seconds} s"
