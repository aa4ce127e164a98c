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

step "the README's commands on synthetic data"
data="$work/readme"
mkdir -p "$data/frames" "$data/results"
cd "$data"
"$bin/python" - <<'PY'
import numpy as np, tifffile
import morvex
# 256 px: large enough for the README's tiled examples to split a frame into 2 x 2 tiles.
sequence = morvex.synthetic_sequence(frames=4, shape=(256, 256), u_step=0.5, v_step=-0.3,
                                     exx_final=0.006, eyy_final=-0.002, seed=7)
for k, frame in enumerate(sequence.frames):
    tifffile.imwrite(f"frames/img_{k:03d}.tif", frame.astype(np.float32))
mask = np.zeros((256, 256), np.uint8)
mask[10:246, 10:246] = 255
from PIL import Image  # installed with matplotlib
Image.fromarray(mask).save("mask.png")
pair = morvex.synthetic_pair((256, 256), seed=3)
tifffile.imwrite("before.tif", pair.reference.astype(np.float32))
tifffile.imwrite("after.tif", pair.deformed.astype(np.float32))
PY

failed=$tests_failed
check() {  # run one command; it must exit 0 and print no traceback
  local log="$work/command.log"
  if "$@" >"$log" 2>&1 && ! grep -q "Traceback" "$log"; then
    echo "  ok    $*"
  else
    echo "  FAIL  $*"; sed 's/^/        /' "$log" | tail -20; failed=1
  fi
}
morvex="$bin/morvex"
check "$morvex" speckle frames/img_000.tif
check "$morvex" run frames/img_000.tif 'frames/*.tif' -o test.zarr --mask mask.png --subset 29 --step 5
check "$morvex" run frames/img_000.tif 'frames/*.tif' -o test.zarr --mask mask.png --subset 29 --step 5
check "$morvex" plot test.zarr --field eyy -o eyy.png
check "$morvex" plot test.zarr --field u --frames all -o u.gif
check "$morvex" plot test.zarr --field u --on deformed --images frames --vmin 0 --vmax 2 --cmap viridis -o u_deformed.png
for kind in csv vtk netcdf; do
  check "$morvex" export test.zarr --format "$kind" -o results/
done
check "$morvex" demo -o demo
check "$morvex" run frames/img_000.tif 'frames/*.tif' -o local.zarr --workers 2 -q
# The README's existing-cluster example, against a scheduler and worker started here.
port=$("$bin/python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$bin/dask" scheduler --host 127.0.0.1 --port "$port" --no-dashboard >"$work/scheduler.log" 2>&1 &
scheduler=$!
"$bin/dask" worker "tcp://127.0.0.1:$port" --nworkers 1 --nthreads 1 --no-dashboard >"$work/worker.log" 2>&1 &
worker=$!
check "$morvex" run frames/img_000.tif 'frames/*.tif' -o big.zarr --tile 224 --scheduler "tcp://127.0.0.1:$port" -q
kill "$worker" "$scheduler" 2>/dev/null || true
wait "$worker" "$scheduler" 2>/dev/null || true
check "$morvex" certify frames/img_000.tif -o cert/ --subset 29 --step 7 --static frames/img_001.tif
check "$morvex" run frames/img_000.tif 'frames/*.tif' -o certified.zarr --certify -q
check "$morvex" run frames/img_000.tif 'frames/*.tif' -o auto.zarr --subset auto --noise-target 0.01 -q
# The browser application: it must come up and answer its own address (token included).
"$morvex" app --root "$data" --port 0 --no-browser >"$work/app.log" 2>&1 &
app=$!
check "$bin/python" - "$work/app.log" <<'PY'
import re, sys, time, urllib.request
deadline = time.monotonic() + 90
while time.monotonic() < deadline:
    found = re.search(r"morvex app: (http://\S+)", open(sys.argv[1]).read())
    if found:
        break
    time.sleep(0.5)
else:
    sys.exit("morvex app printed no address within 90 s")
with urllib.request.urlopen(found.group(1), timeout=30) as page:
    assert page.status == 200, page.status
PY
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
if grep -q "Traceback" "$work/app.log"; then
  echo "  FAIL  morvex app printed a traceback"; sed 's/^/        /' "$work/app.log" | tail -20
  failed=1
fi
# The README's Python lines, with its file names, as a script file (local cluster workers
# import the main script again, which a script read from stdin cannot offer).
cat > readme_example.py <<'PY'
import morvex

if __name__ == "__main__":  # local cluster workers import this script again
    ds = morvex.correlate("before.tif", "after.tif", mask="mask.png", subset=29, step=5)
    ds.u.sel(x=128, y=128, method="nearest")
    seq = morvex.correlate_sequence("frames/*.tif", mask="mask.png", store="py.zarr")
    morvex.plot(seq, "eyy", frame=-1).figure.savefig("py_eyy.png")
    morvex.animate(seq, "py_eyy.gif", "eyy", vmin=-0.5, vmax=1.5)
    morvex.to_csv(seq, "py.csv"); morvex.to_vtk(seq, "py_vtk/"); morvex.to_netcdf(seq, "py.nc")
    ds = morvex.correlate("before.tif", "after.tif", tile=224, workers=2)
    seq = morvex.correlate_sequence("frames/*.tif", store="py_cluster.zarr", workers=2)
    cert = morvex.certify("before.tif", subset=29, shape="affine")
    ds = morvex.correlate("before.tif", "after.tif", subset="auto", noise_target=0.01)
    print(ds.attrs["subset_choice"])
PY
check "$bin/python" readme_example.py
check "$bin/python" "$src/examples/quickstart.py"

seconds=$(( $(date +%s) - began ))
if [ "$failed" -ne 0 ]; then
  echo "user-install-check: FAILED after ${seconds} s" >&2
  exit 1
fi
step "passed in ${seconds} s"
