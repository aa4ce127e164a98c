"""Runs outlive the page: cancel, reload, a second tab, a server restart."""

from __future__ import annotations

import math
import pathlib
import re
import signal
import time

import numpy as np
import pytest
from playwright.sync_api import expect

import morvex
from morvex._errors import MorvexError
from morvex.app import results as reader_module
from morvex.app.job_process import ChildJob
from morvex.app.results import SHOWN, StoreResults, results_of
from morvex.store import Store

from .conftest import Server, write_sequence
from .helpers import number, open_project, run_to, set_number, settled_number

LONG = 12


@pytest.fixture
def long_root(root: pathlib.Path) -> pathlib.Path:
    write_sequence(root / "long", LONG, (320, 320))
    return root


def slow_settings(page) -> None:
    # Small enough steps that a run outlasts the page actions the tests take during it.
    set_number(page, "setting-step", 2)


def test_cancel_keeps_complete_frames(long_root, browser) -> None:
    open_project(browser, "long/img_000.tif", "long", "long.zarr")
    slow_settings(browser)
    browser.get_by_test_id("run-start").click()
    expect(browser.get_by_test_id("run-status")).to_have_text("running")
    expect(browser.get_by_test_id("run-progress")).not_to_have_text(f"0 / {LONG} frames",
                                                                    timeout=90_000)
    browser.get_by_test_id("run-cancel").click()
    expect(browser.get_by_test_id("run-status")).to_have_text("cancelled", timeout=10_000)
    stored = morvex.open_store(long_root / "long.zarr").sizes["frame"]
    assert 1 <= stored < LONG


def test_reload_and_second_tab_see_the_run(long_root, browser) -> None:
    page = browser
    open_project(page, "long/img_000.tif", "long", "long.zarr")
    slow_settings(page)
    page.get_by_test_id("run-start").click()
    expect(page.get_by_test_id("run-status")).to_have_text("running")
    page.reload()
    open_project(page, "", "", "long.zarr")
    expect(page.get_by_test_id("run-status")).to_have_text("running")
    second = page.context.new_page()
    second.goto(page.url)
    # The tab has opened the store once it shows the run. A click may reach the server ahead
    # of the store field just filled in (a person types long before clicking): open again then.
    for attempt in range(3):
        open_project(second, "", "", "long.zarr")
        try:
            expect(second.get_by_test_id("run-status")).to_have_text(
                re.compile("running|done"), timeout=10_000)
            break
        except AssertionError:
            if attempt == 2:
                raise
    second.get_by_test_id("run-start").click()
    # The second start is refused while the first run writes the store; only a run that
    # finished before the click reached the server may let it through.
    error = second.get_by_test_id("error-message")
    deadline = time.monotonic() + 20
    while "being written by" not in error.inner_text():
        assert time.monotonic() < deadline, "the second tab's start was neither refused nor late"
        if page.get_by_test_id("run-status").inner_text() == "done":
            assert error.inner_text() == ""
            break
        time.sleep(0.1)
    expect(page.get_by_test_id("run-status")).to_have_text("done", timeout=180_000)
    expect(page.get_by_test_id("run-progress")).to_have_text(f"{LONG} / {LONG} frames")


def _children(pid: int) -> set[int]:
    found: set[int] = set()
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        found |= {int(c) for c in (task / "children").read_text().split()}
    return found


def _alive(pid: int) -> bool:
    try:
        state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return state != "Z"


# The server ended as a service manager does (terminate), as Ctrl-C does (interrupt), or
# killed outright: the run's process ends with it, and the store resumes in the next server.
@pytest.mark.parametrize("ending", [signal.SIGTERM, signal.SIGINT, signal.SIGKILL],
                         ids=["terminate", "interrupt", "kill"])
def test_a_server_restart_resumes_the_store(long_root, chromium, ending) -> None:
    first = Server(long_root).start()
    context = chromium.new_context()
    page = context.new_page()
    try:
        page.goto(first.url)
        open_project(page, "long/img_000.tif", "long", "long.zarr")
        slow_settings(page)
        page.get_by_test_id("run-start").click()
        store = Store(long_root / "long.zarr")
        deadline = time.monotonic() + 120
        while not (store.exists() and store.complete().any()) and time.monotonic() < deadline:
            time.sleep(0.2)
        assert first.process is not None
        runs = _children(first.process.pid)
        assert runs, "the run goes on in a process of its own"
        first.process.send_signal(ending)
        first.process.wait(30)
        deadline = time.monotonic() + 30
        while any(_alive(pid) for pid in runs):
            assert time.monotonic() < deadline, "the run's process outlived the server"
            time.sleep(0.2)
        done_before = morvex.open_store(long_root / "long.zarr").sizes["frame"]
        assert done_before < LONG
        second = Server(long_root).start()
        try:
            page.goto(second.url)
            open_project(page, "", "", "long.zarr")
            expect(page.get_by_test_id("run-status")).to_have_text("idle")
            expect(page.get_by_test_id("run-progress")).to_have_text(
                f"{done_before} / {LONG} frames")
            run_to(page, "done", timeout=180_000)
        finally:
            second.stop()
    finally:
        context.close()
        first.stop()


def test_watch_folder_measures_frames_as_they_arrive(root: pathlib.Path, browser) -> None:
    import shutil

    if not hasattr(morvex, "Job"):
        # Until the package's Job is installed, the page says why watching is not there.
        (root / "live").mkdir()
        shutil.copy(root / "frames" / "img_000.tif", root / "live")
        open_project(browser, "live/img_000.tif", "live", "live.zarr")
        browser.get_by_test_id("run-watch").click()
        browser.get_by_test_id("run-start").click()
        expect(browser.get_by_test_id("error-message")).to_contain_text("watching a folder")
        return
    (root / "live").mkdir()
    for k in range(2):
        shutil.copy(root / "frames" / f"img_{k:03d}.tif", root / "live")
    open_project(browser, "live/img_000.tif", "live", "live.zarr")
    browser.get_by_test_id("run-watch").click()
    browser.get_by_test_id("run-start").click()
    expect(browser.get_by_test_id("run-progress")).to_have_text("2 / 2 frames", timeout=60_000)
    for k in range(2, 4):
        shutil.copy(root / "frames" / f"img_{k:03d}.tif", root / "live")
    expect(browser.get_by_test_id("run-progress")).to_have_text("4 / 4 frames", timeout=60_000)
    browser.get_by_text("Stop watching").click()
    expect(browser.get_by_test_id("run-status")).to_have_text("done", timeout=60_000)


def test_tabs_share_one_reader_that_reads_each_frame_once(root: pathlib.Path, monkeypatch
                                                           ) -> None:
    read: list[int] = []
    original = StoreResults._read

    def counting(self: StoreResults, frames, total: int) -> None:
        read.extend(frames.tolist())
        original(self, frames, total)

    monkeypatch.setattr(StoreResults, "_read", counting)
    monkeypatch.setattr(reader_module, "_KEPT_BYTES", 1)
    store = root / "shared.zarr"
    first, second = results_of(store), results_of(root / "." / "shared.zarr")
    assert first is second
    assert first.refresh(force=True).dataset is None
    job = morvex.Job(str(root / "frames"), store=store, subset=31, step=9).start()
    looks = []
    while job.state in (morvex.JobState.QUEUED, morvex.JobState.RUNNING):
        looks.append(first.refresh(force=True))
        time.sleep(0.02)
    assert job.wait(120) == morvex.JobState.DONE
    final = second.refresh(force=True)
    assert final.done == final.total == 4
    # The page's count never goes back during a run, and frames read stay as they were read.
    assert [s.done for s in looks] == sorted(s.done for s in looks)
    assert {s.epoch for s in looks if s.done} <= {final.epoch}
    assert sorted(read) == [0, 1, 2, 3]  # each frame read once, whatever the number of looks
    same_as_the_store(final.dataset, store)
    # What a run writes after its last frame (the reference's read noise) reaches the tabs.
    import zarr

    zarr.open_group(store, mode="r+").attrs["written_late"] = "after the frames"
    late = first.refresh(force=True)
    assert (late.dataset.attrs["written_late"], late.epoch) == ("after the frames", final.epoch)
    # The reader keeps what it read last up to its budget, not the run (here a budget below
    # one frame: it keeps the frame it read last); the rest is read on demand.
    assert len({frame for _, frame in first._kept}) == 1
    series = final.dataset.u.isel(y=2, x=3).values
    np.testing.assert_array_equal(series, morvex.open_store(store).u.isel(y=2, x=3).values)
    # Another run's store in the same place is read from scratch, not mixed with the last.
    job = morvex.Job(str(root / "frames"), store=root / "other.zarr", subset=33, step=9)
    assert job.start().wait(120) == morvex.JobState.DONE
    import shutil

    shutil.rmtree(store)
    shutil.copytree(root / "other.zarr", store)
    again = first.refresh(force=True)
    assert (again.version > final.version, again.epoch > final.epoch) == (True, True)
    same_as_the_store(again.dataset, store)
    # A tab still drawing from the replaced store's dataset is told, never given the new
    # store's numbers under the old one's frames.
    with pytest.raises(MorvexError, match="replaced by another run"):
        final.dataset.u.isel(frame=0).load()


def test_the_reader_keeps_the_newest_frame_and_the_shown_ones_not_every_newest(
        root: pathlib.Path) -> None:
    store = root / "kept.zarr"
    job = morvex.Job(str(root / "frames"), store=store, subset=31, step=9)
    assert job.start().wait(120) == morvex.JobState.DONE
    reader = StoreResults(store.resolve())
    # Frames completing one look at a time, as a run gives them; a tab shows frame 1.
    for index in range(4):
        reader._read(np.array([index]), 4)
        if index == 1:
            shown = reader._frame(reader._epoch, 1, "u", keep=True)
    assert sorted({frame for _, frame in reader._kept}) == [1, 3]
    assert reader._kept_bytes == sum(values.nbytes for values in reader._kept.values())
    np.testing.assert_array_equal(shown, morvex.open_store(store).u.isel(frame=1).values)


def same_as_the_store(dataset, store: pathlib.Path) -> None:
    import xarray as xr

    read = morvex.open_store(store)
    # What the tabs draw and probe, as the store holds it (the exports read the rest).
    xr.testing.assert_equal(dataset, read[list(SHOWN)])
    assert set(dataset.data_vars) == set(SHOWN) < set(read.data_vars)
    assert dataset.attrs == read.attrs


def test_every_tab_follows_the_run_to_its_end(long_root, browser) -> None:
    tabs = [browser, browser.context.new_page()]
    tabs[1].goto(browser.url)
    for tab in tabs:
        open_project(tab, "long/img_000.tif", "long", "long.zarr")
        expect(tab.get_by_test_id("run-status")).to_have_text("idle")
    slow_settings(browser)
    browser.get_by_test_id("run-start").click()
    for tab in tabs:
        expect(tab.get_by_test_id("run-status")).to_have_text("done", timeout=180_000)
        expect(tab.get_by_test_id("run-progress")).to_have_text(f"{LONG} / {LONG} frames")


def test_a_probe_set_before_a_run_follows_it_to_its_last_frame(long_root, browser) -> None:
    # The probes are computed off the event loop as frames arrive, changes folded together:
    # the last frame's values must still land once the run is done, with no frame change.
    page = browser
    open_project(page, "long/img_000.tif", "long", "long.zarr")
    slow_settings(page)
    page.get_by_test_id("field-select").select_option("u")
    page.get_by_test_id("run-start").click()
    expect(page.get_by_test_id("run-progress")).not_to_have_text(f"0 / {LONG} frames",
                                                                 timeout=90_000)
    measured = morvex.open_store(long_root / "long.zarr")
    row, col = 20, 30
    set_number(page, "probe-x", float(measured.x[col]))
    set_number(page, "probe-y", float(measured.y[row]))
    expect(page.get_by_test_id("run-status")).to_have_text("done", timeout=180_000)
    measured = morvex.open_store(long_root / "long.zarr")
    expect(page.get_by_test_id("frame-index")).to_have_value(str(LONG - 1))
    expected = float(measured.u.values[LONG - 1, row, col])
    shown = settled_number(page, "probe-value", expected, 0.006)
    assert abs(shown - expected) <= 0.006, (shown, expected)


def test_a_tab_opened_after_a_run_shows_every_frame_as_the_store_holds_it(
        root: pathlib.Path, browser) -> None:
    from .conftest import FRAMES

    open_project(browser)
    run_to(browser, "done")
    # The server's reader keeps only the frames tabs showed; a new tab's other frames come
    # from the store on demand, each one the store's own numbers.
    tab = browser.context.new_page()
    tab.goto(browser.url)
    open_project(tab, "", "", "results.zarr")
    expect(tab.get_by_test_id("run-status")).to_have_text("done")
    measured = morvex.open_store(root / "results.zarr")
    row, col = 9, 12
    set_number(tab, "probe-x", float(measured.x[col]))
    set_number(tab, "probe-y", float(measured.y[row]))
    tab.get_by_test_id("field-select").select_option("u")
    for frame in [*range(FRAMES), 0]:
        set_number(tab, "frame-index", frame)
        expected = float(measured.u.values[frame, row, col])
        shown = settled_number(tab, "probe-value", expected, 0.006)
        assert abs(shown - expected) <= 0.006, (frame, shown, expected)
        expect(tab.get_by_test_id("image-view").locator("svg image")).to_have_count(1)
    expect(tab.get_by_text("is not measured yet")).to_have_count(0)
    expect(tab.get_by_test_id("error-message")).to_be_hidden()


def test_a_run_in_a_child_process_reports_as_the_job_does(root: pathlib.Path) -> None:
    job = ChildJob(str(root / "frames"), store=root / "child.zarr", subset=31, step=9).start()
    assert (job.wait(120), job.error) == (morvex.JobState.DONE, None)
    assert sorted(s.frame for s in job.summaries_since(0)) == [0, 1, 2, 3]
    assert job.summaries_since(4) == []
    progress = job.progress
    assert (progress.frames_done, progress.frames_total) == (4, 4)
    assert progress.points_done == progress.points_total > 0
    assert morvex.open_store(root / "child.zarr").sizes["frame"] == 4
    with pytest.raises(morvex.MorvexError, match="count must be a whole number >= 0"):
        job.summaries_since(-1)


@pytest.mark.parametrize("frames, settings", [("frames", {"subset": 30}),
                                               ("nowhere", {"subset": 31})],
                         ids=["even-subset", "missing-frames"])
def test_a_run_in_a_child_process_is_refused_as_the_job_is(root: pathlib.Path, frames,
                                                            settings) -> None:
    arguments = dict(store=root / "refused.zarr", step=9, **settings)
    with pytest.raises(morvex.MorvexError) as expected:
        morvex.Job(str(root / frames), **arguments)
    with pytest.raises(morvex.MorvexError) as refused:
        ChildJob(str(root / frames), **arguments)
    assert str(refused.value) == str(expected.value)


def test_a_cancelled_run_in_a_child_process_frees_its_store(long_root: pathlib.Path) -> None:
    store = long_root / "long.zarr"
    job = ChildJob(str(long_root / "long"), store=store, subset=31, step=2).start()
    deadline = time.monotonic() + 120
    while job.progress.frames_done < 1:
        assert time.monotonic() < deadline, "the run in the child process never advanced"
        time.sleep(0.1)
    job.cancel()
    assert job.wait(60) == morvex.JobState.CANCELLED
    kept = morvex.open_store(store).sizes["frame"]
    assert 1 <= kept < LONG
    # The lock went with the child: the next run resumes the store.
    resumed = morvex.Job(str(long_root / "long"), store=store, subset=31, step=2).start()
    assert resumed.wait(300) == morvex.JobState.DONE
    assert resumed.resumed_frames == kept


# --- a damaged store -------------------------------------------------------------------------

def _flip_byte(path: pathlib.Path) -> bytes:
    """Flip one bit in the middle of a chunk; the chunk as it was."""
    data = path.read_bytes()
    hurt = bytearray(data)
    hurt[len(hurt) // 2] ^= 0x10
    path.write_bytes(bytes(hurt))
    return data


@pytest.fixture
def hurt_store(root: pathlib.Path) -> pathlib.Path:
    """A complete store of the four frames whose chunk of u for frame 2 has a flipped bit."""
    store = root / "hurt.zarr"
    job = morvex.Job(str(root / "frames"), store=store, subset=31, step=9)
    assert job.start().wait(120) == morvex.JobState.DONE
    return store


def test_a_damaged_chunk_leaves_nothing_of_the_store_in_the_reader(hurt_store) -> None:
    from morvex import StoreDamageError

    reader = results_of(hurt_store)
    assert reader.refresh(force=True).done == 4
    reader = StoreResults(hurt_store)  # a fresh look, as a server started now has
    chunk = hurt_store / "u" / "c" / "2" / "0" / "0"
    sound = _flip_byte(chunk)
    for _ in range(2):  # the second question is answered without reading again
        with pytest.raises(StoreDamageError, match=r"the chunk of u for frame 2 "
                           r"\(img_002.tif\) fails its checksum") as caught:
            reader.refresh()
        assert (caught.value.variable, caught.value.frame) == ("u", 2)
        damaged = reader.snapshot()
        assert (damaged.done, damaged.dataset) == (0, None)
    chunk.write_bytes(sound)
    repaired = reader.refresh(force=True)
    assert repaired.done == 4 and repaired.epoch > damaged.epoch
    same_as_the_store(repaired.dataset, hurt_store)


def test_a_damaged_store_opened_in_the_page_names_the_chunk(browser, root, hurt_store) -> None:
    page = browser
    _flip_byte(hurt_store / "u" / "c" / "2" / "0" / "0")
    open_project(page, store="hurt.zarr")
    error = page.get_by_test_id("error-message")
    expect(error).to_contain_text("is damaged: the chunk of u for frame 2 (img_002.tif) fails "
                                  "its checksum")
    assert "\n" not in error.inner_text().strip() and "Traceback" not in error.inner_text()
    # Nothing read from the store is shown: no frame count, no picture, no probe value.
    expect(page.get_by_test_id("run-progress")).to_have_text("0 / 4 frames")
    expect(page.get_by_test_id("run-status")).to_have_text("idle")
    set_number(page, "probe-x", 120)
    set_number(page, "probe-y", 100)
    expect(page.get_by_test_id("probe-value")).to_have_text("—")
    assert "<image" not in page.get_by_test_id("image-view").inner_html()
    # The page goes on working: the same frames measured into another store.
    open_project(page, store="fresh.zarr")
    run_to(page)
    expect(error).to_be_hidden()
    expect(page.get_by_test_id("run-progress")).to_have_text("4 / 4 frames")
    expect(page.get_by_test_id("probe-value")).not_to_have_text("—")
    assert math.isfinite(number(page, "probe-value"))
