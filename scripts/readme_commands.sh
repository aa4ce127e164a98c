# Sourced by the installation checks (scripts/user_install_check.sh, scripts/wheel_check.sh):
# run_readme_commands BIN WORK SRC runs every command the README shows, on small synthetic
# data, with the morvex installed in the virtual environment whose bin folder is BIN; each
# command must exit 0 and print no traceback. WORK holds the data and logs, SRC is a copy of
# the source tree (for examples/). Prints one line per command; returns 1 if any failed.

# A subshell: the folder it changes to and the servers it starts stay inside.
run_readme_commands() (
  local bin=$1 work=$2 src=$3
  local data="$work/readme" morvex="$bin/morvex" port scheduler worker app
  mkdir -p "$data/frames" "$data/results"
  cd "$data"
  "$bin/python" - <<'PY'
import numpy as np, tifffile
import morvex
# 256 px: large enough for the README's tiled examples to split a frame into 2 x 2 tiles.
sequence = morvex.synthetic_sequence(frames=4, shape=(256, 256), u_step=0.5, v_step=-0.3,
                                     exx_final=0.006, eyy_final=-0.002, seed=7)
for k, frame in enumerate(sequence.frames):
    # Stamped one second apart, as a camera stamps its frames.
    tifffile.imwrite(f"frames/img_{k:03d}.tif", frame.astype(np.float32),
                     datetime=f"2026:01:01 10:00:0{k}")
# A testing machine's log at 50 Hz on the frames' clock.
t = np.arange(0, 4, 0.02)
np.savetxt("machine.csv", np.column_stack([t, 2.5 * t]), delimiter=",",
           header="time_s,Load (kN)", comments="")
mask = np.zeros((256, 256), np.uint8)
mask[10:246, 10:246] = 255
from PIL import Image  # installed with matplotlib
Image.fromarray(mask).save("mask.png")
pair = morvex.synthetic_pair((256, 256), seed=3)
tifffile.imwrite("before.tif", pair.reference.astype(np.float32))
tifffile.imwrite("after.tif", pair.deformed.astype(np.float32))
PY

  local failed=0
  check() {  # run one command; it must exit 0 and print no traceback
    local log="$work/command.log"
    if "$@" >"$log" 2>&1 && ! grep -q "Traceback" "$log"; then
      echo "  ok    $*"
    else
      echo "  FAIL  $*"; sed 's/^/        /' "$log" | tail -20; failed=1
    fi
  }
  check "$morvex" speckle frames/img_000.tif
  check "$morvex" run frames/img_000.tif 'frames/*.tif' -o test.zarr --mask mask.png --subset 29 --step 5
  check "$morvex" run frames/img_000.tif 'frames/*.tif' -o test.zarr --mask mask.png --subset 29 --step 5
  check "$morvex" plot test.zarr --field eyy -o eyy.png
  check "$morvex" probe test.zarr --extensometer top=128,40,128,216 --extensometer 60,128,196,128 \
      --gauge 100,100,156,156 --section mid=30,128,226,128 --point 128,128 \
      --test-data machine.csv --frame-times tiff --area 12.5 --load-channel "Load (kN)" \
      -o probes.csv --plot stress_strain.png --x "top strain [%]"
  check "$morvex" report test.zarr -o report.html --pdf report.pdf --series probes.csv --series-x "top strain [%]"
  check "$morvex" crack test.zarr --line 0,128,128,128 --young 70000 --poisson 0.33 --plane-stress \
      --pixel-size 0.05 -o crack.csv --profiles opening.csv --plot crack.png
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
  # Millimetres on the specimen: chessboard views, the target on the specimen and a stretched
  # speckle plane, all rendered through a camera with a known lens at the README's file names.
  mkdir -p views cal_frames
  check "$bin/python" - <<'PY'
import math
import numpy as np, tifffile
from morvex.camera import Camera
from morvex.synthetic_camera import (chessboard_texture, look_at, render_plane,
                                     rotation_matrix, speckle_texture, target_poses)
camera = Camera(np.array([[800.0, 0, 322.5], [0, 801.0, 238.0], [0, 0, 1]]),
                np.array([-0.04, 0.0, 0.0, 0.0, 0.0]), (640, 480))
board = chessboard_texture((9, 6), 3.0)
for k, (r, t) in enumerate(target_poses(camera, 12, (9, 6), 3.0, 84.0, seed=7)):
    tifffile.imwrite(f"views/view_{k:02d}.tif", render_plane(camera, r, t, board, noise=1.0, seed=k).astype(np.uint8))
tilt = rotation_matrix(0.0, math.radians(10.0), 0.0)
place = look_at(camera, tilt, 63.0, (320.0, 240.0), (0.0, 0.0))
speckle = speckle_texture(0.24, 0.07, seed=4)
stretched = lambda x, y: speckle(x / 1.005, y)
tifffile.imwrite("ref.tif", render_plane(camera, tilt, place, speckle, noise=1.0, seed=20).astype(np.uint8))
for k, paint in enumerate((speckle, stretched)):
    tifffile.imwrite(f"cal_frames/f_{k}.tif", render_plane(camera, tilt, place, paint, noise=1.0, seed=21 + k).astype(np.uint8))
offset = tilt @ np.array([12.0, 7.5, 0.0])
tifffile.imwrite("target_on_specimen.tif", render_plane(camera, tilt, place - offset, board, noise=1.0, seed=30).astype(np.uint8))
PY
  check "$morvex" calibrate views/*.tif --chessboard 9x6 --square 3 -o camera.json
  check "$morvex" run ref.tif 'cal_frames/*.tif' -o metric.zarr --camera camera.json --plane target_on_specimen.tif --subset 31 --step 16 -q
  check "$morvex" run ref.tif 'cal_frames/*.tif' -o scaled.zarr --scale 20 --between 100,400,540,400 \
      --origin 100,400 --axis 540,400 --remove-rigid-motion --strain-measures --subset 31 --step 16 -q
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
# The address's secret is exchanged for a cookie on a redirect, as a browser would keep it.
opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor())
with opener.open(found.group(1), timeout=30) as page:
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
  # The _morvex_dic example: that module is built for CPython 3.12 only.
  if "$bin/python" -c 'import _morvex_dic' 2>/dev/null; then
    check "$bin/python" "$src/examples/quickstart.py"
  else
    echo "  skip  examples/quickstart.py: _morvex_dic is built for CPython 3.12 only"
  fi
  return "$failed"
)
