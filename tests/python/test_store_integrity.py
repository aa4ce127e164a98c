"""A results store never serves damaged numbers: checksummed chunks, a chunk missing from a
complete frame, a creation cut short, a full disk. Each test is named after the fault."""

import errno
import json
import shutil
import uuid

import numpy as np
import pytest
import xarray as xr
import zarr

import morvex
from conftest import PACKAGE_SETTINGS
from morvex.store import Store

SETTINGS_FLAGS = ("--subset", 21, "--step", 8)


@pytest.fixture(scope="module")
def measured(tmp_path_factory, synthetic_frames):
    """Frame files and a complete store of them, made once; tests damage copies."""
    import tifffile

    root = tmp_path_factory.mktemp("measured")
    folder = root / "frames"
    folder.mkdir()
    for k, frame in enumerate(synthetic_frames.frames):
        tifffile.imwrite(folder / f"f{k}.tif", frame.astype(np.float32))
    store = root / "run.zarr"
    whole = morvex.correlate_sequence(str(folder), reference=folder / "f0.tif", store=store,
                                      progress=False, **PACKAGE_SETTINGS)
    return folder, store, whole


@pytest.fixture
def copied(measured, tmp_path):
    folder, store, whole = measured
    copy = tmp_path / "run.zarr"
    shutil.copytree(store, copy)
    return folder, copy, whole


def _flip_byte(path):
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x10
    path.write_bytes(bytes(data))


def _garble(path):
    path.write_text('{"zarr_format": 3,')


# What is done to the store: (variable, frame) and the problem the message names.
DAMAGE = {
    "flipped byte in u": (lambda s: _flip_byte(s / "u/c/2/0/0"), "u", 2,
                          "the chunk of u for frame 2 (f2.tif) fails its checksum"),
    "flipped byte in valid": (lambda s: _flip_byte(s / "valid/c/1/0/0"), "valid", 1,
                              "the chunk of valid for frame 1 (f1.tif) fails its checksum"),
    "flipped byte in the marker": (lambda s: _flip_byte(s / "complete/c/3"), "complete", 3,
                                   "the chunk of complete for frame 3 (f3.tif) fails its "
                                   "checksum"),
    "flipped byte in the reference image": (
        lambda s: _flip_byte(s / "reference_image/c/0/0"), "reference_image", None,
        "a chunk of reference_image fails its checksum"),
    "deleted chunk of u": (lambda s: (s / "u/c/2/0/0").unlink(), "u", 2,
                           "the chunk of u for frame 2 (f2.tif) is missing, though the frame "
                           "is marked complete"),
    "deleted chunk of status": (lambda s: (s / "status/c/0/0/0").unlink(), "status", 0,
                                "the chunk of status for frame 0 (f0.tif) is missing"),
    "damaged metadata of v": (lambda s: _garble(s / "v/zarr.json"), "v", None,
                              "the metadata of v (v/zarr.json) cannot be read"),
    "damaged metadata of the group": (lambda s: _garble(s / "zarr.json"), None, None,
                                      "its metadata (zarr.json) cannot be read"),
}


@pytest.mark.parametrize("damage", DAMAGE.values(), ids=DAMAGE.keys())
def test_a_damaged_or_missing_chunk_is_named_by_open_store(copied, run_cli, damage):
    folder, store, whole = copied
    harm, variable, frame, problem = damage
    harm(store)
    with pytest.raises(morvex.StoreDamageError) as raised:
        morvex.open_store(store)
    assert (raised.value.variable, raised.value.frame) == (variable, frame)
    assert str(raised.value).startswith(f"store {store} is damaged: {problem}")
    # What the message suggests mends it.
    code, _, err = run_cli("run", folder / "f0.tif", folder, "-o", store, *SETTINGS_FLAGS, "-q",
                           "--overwrite")
    assert code == 0, err
    xr.testing.assert_identical(morvex.open_store(store), whole)


COMMANDS = {
    "plot": lambda folder, store, out: ("plot", store, "--field", "u", "-o", out / "u.png"),
    "export": lambda folder, store, out: ("export", store, "--format", "csv", "-o", out),
    "resume": lambda folder, store, out: ("run", folder / "f0.tif", folder, "-o", store,
                                          *SETTINGS_FLAGS, "-q"),
}


@pytest.mark.parametrize("command", COMMANDS.values(), ids=COMMANDS.keys())
@pytest.mark.parametrize("damage", [DAMAGE["flipped byte in u"], DAMAGE["deleted chunk of u"]],
                         ids=["flipped byte", "deleted chunk"])
def test_a_damaged_chunk_stops_plot_export_and_resume_in_one_line(copied, tmp_path, run_cli,
                                                                  command, damage):
    folder, store, _ = copied
    damage[0](store)
    code, out, err = run_cli(*command(folder, store, tmp_path / "out"))
    assert code == 2
    assert err.count("\n") == 1 and "Traceback" not in err
    assert err.startswith(f"morvex: error: store {store} is damaged: the chunk of u for "
                          "frame 2 (f2.tif) ")
    assert not (tmp_path / "out" / "run.csv").exists()  # no damaged number reaches a file


def _cut_creation_short(monkeypatch):
    """Stop a store's creation after its arrays are laid out, before its identity, as a kill
    there would."""
    def killed(self, n_frames):
        raise KeyboardInterrupt

    monkeypatch.setattr(Store, "resize", killed)


@pytest.mark.parametrize("front_door", ["cli", "job"])
def test_a_creation_cut_short_leaves_a_folder_the_same_command_takes_over(
        measured, tmp_path, run_cli, monkeypatch, front_door):
    folder, _, whole = measured
    store = tmp_path / "run.zarr"
    with monkeypatch.context() as patched:
        _cut_creation_short(patched)
        with pytest.raises(KeyboardInterrupt):
            morvex.correlate_sequence(str(folder), reference=folder / "f0.tif", store=store,
                                      progress=False, **PACKAGE_SETTINGS)
    assert (store / "zarr.json").is_file() and (store / "u").is_dir()  # the creation began
    assert not Store(store).exists() and Store(store).is_vacant()
    if front_door == "cli":
        code, _, err = run_cli("run", folder / "f0.tif", folder, "-o", store, *SETTINGS_FLAGS,
                               "-q")
        assert code == 0, err
    else:  # as the application runs it
        job = morvex.Job(str(folder), reference=str(folder / "f0.tif"), store=store,
                         **PACKAGE_SETTINGS).start()
        assert job.wait(120) is morvex.JobState.DONE, job.error
    xr.testing.assert_identical(morvex.open_store(store), whole)
    assert not (store / "morvex_lock" / "creating").exists()


def test_a_folder_that_is_not_a_store_is_still_refused(measured, tmp_path, run_cli):
    folder, _, _ = measured
    other = tmp_path / "other.zarr"
    zarr.open_group(other, mode="w").create_array("data", shape=(3,), dtype="f8")
    code, _, err = run_cli("run", folder / "f0.tif", folder, "-o", other, *SETTINGS_FLAGS)
    assert code == 2
    assert f"{other} exists and is not a Morvex results store" in err
    assert (other / "data" / "zarr.json").is_file()


def _disk_full_at(monkeypatch, store, prefix):
    """Every write of a file of `store` whose path starts with `prefix` fails as on a full
    disk."""
    original = zarr.storage.LocalStore.set

    async def full(self, key, value):
        path = self.root / key
        if str(path.relative_to(store)).startswith(prefix):
            # Zarr writes a temporary file beside the key, then renames it.
            temporary = path.with_suffix(f".{uuid.uuid4().hex}.partial")
            raise OSError(errno.ENOSPC, "No space left on device", str(temporary))
        await original(self, key, value)

    monkeypatch.setattr(zarr.storage.LocalStore, "set", full)


@pytest.mark.parametrize("prefix", ["reference_image/", "u/c/2/", "complete/c/1"],
                         ids=["creating the store", "a frame's chunk", "a frame's marker"])
def test_a_full_disk_ends_the_run_in_one_line_and_the_store_resumes(measured, tmp_path,
                                                                    run_cli, monkeypatch,
                                                                    prefix):
    folder, _, whole = measured
    store = tmp_path / "run.zarr"
    command = ("run", folder / "f0.tif", folder, "-o", store, *SETTINGS_FLAGS, "-q")
    with monkeypatch.context() as patched:
        _disk_full_at(patched, store, prefix)
        code, _, err = run_cli(*command)
    assert code == 2
    assert err.count("\n") == 1 and "Traceback" not in err
    file = {"reference_image/": "reference_image/zarr.json"}.get(prefix, prefix)
    assert err.startswith(f"morvex: error: cannot write the store {store}: No space left on "
                          f"device ({file}")
    code, _, err = run_cli(*command)
    assert code == 0, err
    xr.testing.assert_identical(morvex.open_store(store), whole)


def test_an_unreadable_store_names_the_path_and_the_reason(copied, tmp_path, run_cli,
                                                           monkeypatch):
    _, store, _ = copied

    async def failing(self, key, *args, **kwargs):
        raise OSError(errno.EIO, "Input/output error", str(self.root / key))

    monkeypatch.setattr(zarr.storage.LocalStore, "get", failing)
    code, _, err = run_cli("export", store, "--format", "csv", "-o", tmp_path / "out")
    assert code == 2
    assert err.startswith(f"morvex: error: cannot read the store {store}: Input/output error ")


def test_store_errors_cross_from_a_worker_whole():
    import pickle

    for error in (morvex.StoreDamageError("s.zarr", "the chunk of u for frame 2 is missing",
                                          "u", 2),
                  morvex.StoreIOError("s.zarr", "write", "No space left on device",
                                      "u/c/2/0/0", errno.ENOSPC)):
        copy = pickle.loads(pickle.dumps(error))
        assert type(copy) is type(error) and str(copy) == str(error)
        assert copy.__dict__ == error.__dict__


def test_a_new_store_checksums_every_chunk_and_writes_chunks_of_fill_values(measured):
    _, store, _ = measured
    for name in ("u", "valid", "status", "complete", "reference_image", "x", "frame"):
        codecs = json.loads((store / name / "zarr.json").read_text())["codecs"]
        assert codecs[-1] == {"name": "crc32c"}, name
    # Frame 0 is the reference itself: its strains' chunks may hold fill values only, and
    # are written all the same.
    assert sorted(p.name for p in (store / "u" / "c").iterdir()) == ["0", "1", "2", "3"]


@pytest.mark.parametrize("damage", [DAMAGE["flipped byte in u"], DAMAGE["deleted chunk of u"]],
                         ids=["flipped byte", "deleted chunk"])
def test_a_store_read_frame_by_frame_names_damage_as_open_store_does(copied, damage):
    _, store, whole = copied
    harm, variable, frame, problem = damage
    reader = Store(store)
    arrays = {name: array for name, array in reader.arrays().items()
              if name in ("u", "exx", "valid")}
    reader.check_frames(arrays, range(whole.sizes["frame"]))
    for index in range(whole.sizes["frame"]):
        values = reader.read_frame(arrays, index)
        for name in arrays:
            np.testing.assert_array_equal(values[name], whole[name].values[index])
    harm(store)
    with pytest.raises(morvex.StoreDamageError) as raised:
        reader.check_frames(arrays, [frame])
        reader.read_frame(arrays, frame)
    assert (raised.value.variable, raised.value.frame) == (variable, frame)
    assert str(raised.value).startswith(f"store {store} is damaged: {problem}")
    # The other frames still read as they were written.
    other = (frame + 1) % whole.sizes["frame"]
    np.testing.assert_array_equal(reader.read_frame(arrays, other)["u"], whole.u.values[other])
