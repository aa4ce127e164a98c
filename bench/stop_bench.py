"""How quickly a run stops when told to, or fails when it cannot start, on a loaded machine.

    .venv/bin/python bench/stop_bench.py [--repeat 5]

Each case runs while two other processes spin (other work on a shared two-core machine) and
is timed from the signal (or the call) to the run's own word that it stopped:
  - an unreachable Dask scheduler: from the call to the error (limit 5 s);
  - Ctrl-C during morvex.correlate: from SIGINT to KeyboardInterrupt (limit 1 s);
  - Ctrl-C during `morvex run`: from SIGINT to "interrupted" on stderr (limit 1 s).
The tests check that each stops and says why; these limits are measured here, not there,
since a test cannot know how busy its machine is. Prints median and largest of the repeats.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))

from test_morvex_cli import CTRL_C_SCRIPT, read_line  # noqa: E402
from test_run_faults import (  # noqa: E402
    UNREACHABLE_SCRIPT,
    both_cores_busy,
    first_frame_done,
    morvex_run_command,
    stderr_says,
)


def unreachable_scheduler(folder: pathlib.Path) -> float:
    done = subprocess.run([sys.executable, "-c", UNREACHABLE_SCRIPT], capture_output=True,
                          text=True, timeout=300)
    return float(done.stdout.split(" ", 1)[0])


def ctrl_c_in_python(folder: pathlib.Path) -> float:
    script = folder / "long_run.py"
    script.write_text(CTRL_C_SCRIPT)
    with subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE) as child:
        try:
            fd = child.stdout.fileno()  # type: ignore[union-attr]
            assert read_line(fd, 300) == "running"
            began = time.monotonic()
            child.send_signal(signal.SIGINT)
            assert read_line(fd, 60) == "interrupted"
            return time.monotonic() - began
        finally:
            child.kill()


def ctrl_c_in_morvex_run(folder: pathlib.Path) -> float:
    command = morvex_run_command(folder)
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
        try:
            assert first_frame_done(child)
            began = time.monotonic()
            child.send_signal(signal.SIGINT)
            assert stderr_says(child, "interrupted", 60)
            return time.monotonic() - began
        finally:
            child.kill()


CASES = (("unreachable scheduler", unreachable_scheduler, 5.0),
         ("Ctrl-C, morvex.correlate", ctrl_c_in_python, 1.0),
         ("Ctrl-C, morvex run", ctrl_c_in_morvex_run, 1.0))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print(f"{'case':28s} {'median s':>9s} {'max s':>7s} {'limit s':>8s}  met")
    for name, case, limit in CASES:
        seconds = []
        for _ in range(args.repeat):
            with tempfile.TemporaryDirectory() as folder, both_cores_busy():
                seconds.append(case(pathlib.Path(folder)))
        worst = max(seconds)
        print(f"{name:28s} {statistics.median(seconds):9.3f} {worst:7.3f} {limit:8.1f}  "
              f"{'yes' if worst <= limit else 'NO'}")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    main()
