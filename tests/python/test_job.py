"""morvex.Job: a sequence measured in the background, followed, cancelled, reopened, watched."""

import threading
import time

import numpy as np
import pytest
import tifffile
import xarray as xr

import morvex
from conftest import PACKAGE_SETTINGS

FRAMES = 10
# Long enough per frame (a dense grid) that a cancel lands mid-run, short enough for CI.
JOB_SETTINGS = {"subset": 21, "step": 4}


@pytest.fixture(scope="module")
def long_folder(tmp_path_factory):
    sequence = morvex.synthetic_sequence(frames=FRAMES, shape=(160, 160), u_step=0.3,
                                         v_step=-0.2, exx_final=0.004, seed=9)
    folder = tmp_path_factory.mktemp("long") / "frames"
    folder.mkdir()
    for k, frame in enumerate(sequence.frames):
        tifffile.imwrite(folder / f"f{k:02d}.tif", frame.astype(np.float32))
    return folder


@pytest.fixture(scope="module")
def uninterrupted(tmp_path_factory, long_folder):
    path = tmp_path_factory.mktemp("whole") / "whole.zarr"
    job = morvex.start(long_folder, store=path, **JOB_SETTINGS)
    assert job.wait() is morvex.JobState.DONE, job.error
    return job.dataset()


def _wait_until(condition, seconds=120):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "the job did not get there"
        time.sleep(0.02)


def test_progress_and_summaries_while_running_then_cancel_and_reopen_resumes(
        tmp_path, long_folder, uninterrupted):
    path = tmp_path / "run.zarr"
    job = morvex.Job(long_folder, store=path, **JOB_SETTINGS)
    assert job.state is morvex.JobState.QUEUED and job.summaries() == []
    job.start()
    _wait_until(lambda: len(job.summaries()) >= 2)
    progress = job.progress
    assert progress.frames_total == FRAMES and 2 <= progress.frames_done < FRAMES
    assert progress.points_total == FRAMES * uninterrupted.sizes["y"] * uninterrupted.sizes["x"]
    assert progress.points_done >= progress.frames_done * uninterrupted.sizes["y"] * \
        uninterrupted.sizes["x"]
    first = job.summaries()[0]
    assert (first.frame, first.name) == (0, "f00.tif") and 0.9 < first.valid_share <= 1.0
    assert np.isfinite(first.median_zncc) and first.median_sigma > 0 and first.seconds > 0
    job.cancel()
    assert job.wait(30) is morvex.JobState.CANCELLED and job.error is None
    kept = job.progress.frames_done
    assert kept < FRAMES and morvex.open_store(path).sizes["frame"] == kept

    again = morvex.Job.reopen(path)
    assert again.start().wait() is morvex.JobState.DONE, again.error
    assert again.resumed_after == kept - 1
    assert [s.frame for s in again.summaries()] == list(range(kept, FRAMES))
    xr.testing.assert_identical(again.dataset(), uninterrupted)


def test_a_second_job_on_a_running_store_is_refused(tmp_path, long_folder):
    path = tmp_path / "busy.zarr"
    first = morvex.start(long_folder, store=path, **JOB_SETTINGS)
    _wait_until(lambda: first.summaries())
    try:
        with pytest.raises(morvex.MorvexError, match="is being written by another run"):
            morvex.Job(long_folder, store=path, **JOB_SETTINGS).start()
    finally:
        first.cancel()
        first.wait()
    # The lock goes with the run: the store can be resumed afterwards.
    assert morvex.Job.reopen(path).start().wait() is morvex.JobState.DONE


def test_a_watched_folder_filled_frame_by_frame_gives_the_finished_folder_store(
        tmp_path, synthetic_frames):
    finished = tmp_path / "finished"
    finished.mkdir()
    for k, frame in enumerate(synthetic_frames.frames):
        tifffile.imwrite(finished / f"f{k}.tif", frame.astype(np.float32))
    expected = morvex.start(finished, store=tmp_path / "finished.zarr", **PACKAGE_SETTINGS)
    assert expected.wait() is morvex.JobState.DONE

    watched = tmp_path / "camera"
    watched.mkdir()
    job = morvex.start(watched, store=tmp_path / "watched.zarr", watch=True, settle=0.3,
                       **PACKAGE_SETTINGS)

    def camera():
        for k, frame in enumerate(synthetic_frames.frames):
            tifffile.imwrite(watched / f"f{k}.part", frame.astype(np.float32))
            # A file still being written: half of it first, the rest a moment later.
            raw = (watched / f"f{k}.part").read_bytes()
            (watched / f"f{k}.part").unlink()
            target = watched / f"f{k}.tif"
            target.write_bytes(raw[:len(raw) // 2])
            time.sleep(0.15)
            with open(target, "ab") as handle:
                handle.write(raw[len(raw) // 2:])
            time.sleep(0.4)

    writer = threading.Thread(target=camera)
    writer.start()
    writer.join()
    _wait_until(lambda: job.progress.frames_done == len(synthetic_frames.frames))
    assert job.state is morvex.JobState.RUNNING  # watching goes on until stopped
    job.stop()
    assert job.wait(30) is morvex.JobState.DONE, job.error
    xr.testing.assert_identical(job.dataset(), expected.dataset())
    assert [s.name for s in job.summaries()] == [f"f{k}.tif" for k in range(4)]


def test_reopen_restores_mask_reference_and_settings(tmp_path, frame_files):
    mask = np.ones((96, 96), dtype=bool)
    mask[40:56, 40:56] = False
    path = tmp_path / "masked.zarr"
    job = morvex.start(frame_files, store=path, reference=frame_files / "f0.tif", mask=mask,
                       min_zncc=0.7, **PACKAGE_SETTINGS)
    assert job.wait() is morvex.JobState.DONE, job.error
    stored = morvex.open_store(path)
    np.testing.assert_array_equal(stored["mask"].values, mask.astype(np.uint8))
    again = morvex.Job.reopen(path)
    assert again.start().wait() is morvex.JobState.DONE, again.error
    assert again.summaries() == []  # nothing left to measure: same identity, same store
    assert again.dataset().attrs["min_zncc"] == 0.7


@pytest.mark.parametrize("kwargs, message", [
    ({"store": None}, "a job writes into a store"),
    ({"subset": 4}, "subset must be an odd number of pixels >= 5, got 4"),
    ({"watch": True, "workers": 2}, "watch measures frames here as they arrive"),
    ({"settle": -1}, "settle must be >= 0 s, got -1"),
], ids=["no store", "bad setting", "watch on a cluster", "negative settle"])
def test_bad_job_arguments_are_refused_before_anything_runs(tmp_path, frame_files, kwargs,
                                                            message):
    arguments = {"store": tmp_path / "x.zarr", **kwargs}
    with pytest.raises(morvex.MorvexError, match=message):
        morvex.Job(frame_files, **arguments)
    assert not (tmp_path / "x.zarr").exists()


def test_reopening_a_store_of_arrays_asks_for_the_frames(tmp_path, synthetic_frames):
    path = tmp_path / "arrays.zarr"
    morvex.correlate_sequence(synthetic_frames.frames, store=path, progress=False,
                              **PACKAGE_SETTINGS)
    with pytest.raises(morvex.MorvexError, match="give frames= to reopen it"):
        morvex.Job.reopen(path)
    job = morvex.Job.reopen(path, frames=synthetic_frames.frames).start()
    assert job.wait() is morvex.JobState.DONE and job.summaries() == []


def test_morvex_run_watch_measures_new_files_and_ctrl_c_finishes_them(tmp_path, frame_files):
    import os
    import shutil
    import signal
    import subprocess
    import sys

    camera = tmp_path / "camera"
    camera.mkdir()
    script = os.path.join(os.path.dirname(sys.executable), "morvex")
    child = subprocess.Popen([script, "run", str(frame_files / "f0.tif"), str(camera), "-o",
                              str(tmp_path / "w.zarr"), "--watch", "--settle", "0.2",
                              "--subset", "21", "--step", "8"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for k in range(4):
            shutil.copy(frame_files / f"f{k}.tif", camera / f"f{k}.tif")
            time.sleep(0.3)
        _wait_until(lambda: (tmp_path / "w.zarr" / "zarr.json").exists())
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)
    finally:
        child.kill()
    assert child.returncode == 0, out
    assert "4 frames in" in out and out.count("of specimen points valid") == 4
    expected = morvex.correlate_sequence(frame_files, reference=frame_files / "f0.tif",
                                         progress=False, **PACKAGE_SETTINGS)
    stored = morvex.open_store(tmp_path / "w.zarr")
    np.testing.assert_array_equal(stored["u"].values, expected["u"].values)
