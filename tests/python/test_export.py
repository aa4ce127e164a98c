"""Result dictionaries into the exporters: accepted forms, refused ones, and files read back."""

import re

import meshio
import numpy as np
import pytest

try:
    import _morvex_dic as dic
except ModuleNotFoundError:  # a CPython 3.12 module: its tests skip, the package's run
    dic = None

# The specified module's exporters: the tests down to the package's section carry this mark.
needs_dic = pytest.mark.skipif(dic is None, reason="_morvex_dic is built for CPython 3.12 only")
EXPORTERS = [getattr(dic, name, None) for name in ("export_csv", "export_vtk")]
FLOAT_KEYS = ["u", "v", "exx", "eyy", "exy", "confidence"]


def exported_bytes(exporter, result, path, step=10):
    exporter(result, str(path), step)
    return path.read_bytes()


@needs_dic
@pytest.mark.parametrize("exporter", EXPORTERS)
def test_lists_arrays_and_2d_arrays_write_the_same_file(exporter, tmp_path, hand_result):
    from_lists = exported_bytes(exporter, hand_result, tmp_path / "lists")
    as_arrays = {key: np.asarray(value) if isinstance(value, list) else value
                 for key, value in hand_result.items()}
    as_arrays["valid"] = as_arrays["valid"].astype(np.uint8)
    assert exported_bytes(exporter, as_arrays, tmp_path / "arrays") == from_lists
    as_grids = dict(as_arrays, **{key: as_arrays[key].reshape(2, 3) for key in FLOAT_KEYS})
    assert exported_bytes(exporter, as_grids, tmp_path / "grids") == from_lists


@needs_dic
def test_csv_lines_of_a_hand_made_result(tmp_path, hand_result):
    lines = exported_bytes(dic.export_csv, hand_result, tmp_path / "r.csv").decode().splitlines()
    assert lines[0] == "grid_row,grid_col,x_pixel,y_pixel,u,v,exx,eyy,exy,confidence,valid"
    assert lines[1] == "0,0,0,0,0,-0,0,0,-0,0.9,1"
    assert lines[6] == "1,2,20,10,2.5,-1.25,0.005,0.01,-0.015,0.95,1"
    assert [line.rsplit(",", 1)[1] for line in lines[1:]] == ["1", "0", "1", "1", "0", "1"]


@needs_dic
def test_boolean_valid_and_numpy_integer_rows(tmp_path, hand_result):
    reference = exported_bytes(dic.export_csv, hand_result, tmp_path / "a.csv")
    converted = dict(hand_result, rows=np.int64(2), cols=np.int32(3),
                     valid=np.array(hand_result["valid"], dtype=bool))
    assert exported_bytes(dic.export_csv, converted, tmp_path / "b.csv") == reference


@needs_dic
def test_shorter_valid_counts_as_valid(tmp_path, hand_result):
    hand_result["valid"] = [0]
    lines = exported_bytes(dic.export_csv, hand_result, tmp_path / "r.csv").decode().splitlines()
    assert [line[-1] for line in lines[1:]] == ["0", "1", "1", "1", "1", "1"]


@needs_dic
@pytest.mark.parametrize("exporter", EXPORTERS)
@pytest.mark.parametrize("key", ["rows", "cols"])
def test_float_grid_size_is_refused_with_the_cast_error(exporter, key, tmp_path, hand_result):
    hand_result[key] = float(hand_result[key])
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type"):
        exporter(hand_result, str(tmp_path / "r"), 10)
    assert not (tmp_path / "r").exists()


@needs_dic
@pytest.mark.parametrize("exporter", EXPORTERS)
@pytest.mark.parametrize("key", ["rows", "cols", *FLOAT_KEYS, "valid"])
def test_missing_key_raises_key_error(exporter, key, tmp_path, hand_result):
    del hand_result[key]
    with pytest.raises(KeyError, match=key):
        exporter(hand_result, str(tmp_path / "r"), 10)
    assert not (tmp_path / "r").exists()


@needs_dic
def test_unconvertible_array_passes_numpy_error(tmp_path, hand_result):
    hand_result["u"] = ["a"] * 6
    with pytest.raises(ValueError, match="could not convert"):
        dic.export_csv(hand_result, str(tmp_path / "r"), 10)
    assert not (tmp_path / "r").exists()


# Fault: the exporters read rows * cols values from each array without comparing lengths.
@needs_dic
@pytest.mark.parametrize("exporter", EXPORTERS)
@pytest.mark.parametrize("key", FLOAT_KEYS)
def test_short_array_is_refused_before_writing(exporter, key, tmp_path, hand_result):
    hand_result[key] = hand_result[key][:5]
    path = tmp_path / "r"
    with pytest.raises(ValueError, match=f"'{key}' holds 5 values, fewer than rows \\* cols = 6"):
        exporter(hand_result, str(path), 10)
    assert not path.exists()


@needs_dic
@pytest.mark.parametrize("exporter", EXPORTERS)
@pytest.mark.parametrize("rows, cols", [(-1, 3), (2, -3), (-2, -3)])
def test_negative_grid_size_is_refused(exporter, rows, cols, tmp_path, hand_result):
    hand_result.update(rows=rows, cols=cols)
    with pytest.raises(ValueError, match="must not be negative"):
        exporter(hand_result, str(tmp_path / "r"), 10)
    assert not (tmp_path / "r").exists()


# Fault: an export that cannot be written used to return None as if it had succeeded.
@needs_dic
@pytest.mark.parametrize("exporter", EXPORTERS)
def test_unwritable_path_raises_runtime_error(exporter, tmp_path, hand_result):
    path = tmp_path / "missing" / "r.out"
    with pytest.raises(RuntimeError, match=re.escape(str(path))):
        exporter(hand_result, str(path), 10)
    assert not path.parent.exists()


@needs_dic
@pytest.mark.parametrize("path_type", [str, lambda p: str(p).encode(), lambda p: bytearray(
    str(p).encode())], ids=["str", "bytes", "bytearray"])
def test_path_may_be_text_or_bytes(path_type, tmp_path, hand_result):
    dic.export_csv(hand_result, path_type(tmp_path / "r.csv"), 10)
    assert (tmp_path / "r.csv").read_text().count("\n") == 7


@needs_dic
def test_vtk_reads_back_with_meshio(tmp_path, hand_result):
    path = tmp_path / "r.vtk"
    dic.export_vtk(hand_result, str(path), 10)
    mesh = meshio.read(str(path), file_format="vtk")
    expected_points = [[c * 10, r * 10, 0] for r in range(2) for c in range(3)]
    np.testing.assert_array_equal(mesh.points, expected_points)
    assert [block.type for block in mesh.cells] == ["quad"] and len(mesh.cells[0].data) == 2
    names = {"U": "u", "V": "v", "Exx": "exx", "Eyy": "eyy", "Exy": "exy",
             "Confidence": "confidence"}
    assert set(mesh.point_data) == set(names)
    for vtk_name, key in names.items():
        np.testing.assert_allclose(mesh.point_data[vtk_name].ravel(), hand_result[key],
                                   rtol=1e-7, atol=1e-12)


# Fault: a path with an embedded NUL was cut short by the C file APIs, so the export wrote a
# different file (and load_image would read one) while reporting success.
@needs_dic
@pytest.mark.parametrize("path_type", [str, str.encode], ids=["str", "bytes"])
def test_path_with_embedded_nul_is_refused(path_type, tmp_path, hand_result):
    path = path_type(str(tmp_path / "r.csv\0.txt"))
    for exporter in EXPORTERS:
        with pytest.raises(ValueError, match="embedded null character"):
            exporter(hand_result, path, 10)
    with pytest.raises(ValueError, match="embedded null character"):
        dic.load_image(path)
    assert list(tmp_path.iterdir()) == []


# --- the package's exporters: one order and a unit for every column ----------------------

# The documented order: positions, u and v, strains, quality, uncertainty, gradients, status.
SEQUENCE_CSV_HEADER = (
    "frame,frame_name,x [px],y [px],u [px],v [px],exx [fraction],eyy [fraction],"
    "exy [fraction],zncc [1],sigma_u [px],sigma_v [px],du_dx [fraction],du_dy [fraction],"
    "dv_dx [fraction],dv_dy [fraction],valid,status,iterations")
CALIBRATED_PAIR_CSV_HEADER = (
    "x [px],y [px],x_mm [mm],y_mm [mm],u [px],v [px],u_mm [mm],v_mm [mm],exx [fraction],"
    "eyy [fraction],exy [fraction],zncc [1],sigma_u [px],sigma_v [px],du_dx [fraction],"
    "du_dy [fraction],dv_dx [fraction],dv_dy [fraction],valid,status,iterations")
VARIABLE_ORDER = ["u", "v", "exx", "eyy", "exy", "zncc", "sigma_u", "sigma_v", "du_dx",
                  "du_dy", "dv_dx", "dv_dy", "valid", "status", "iterations",
                  "reference_image"]
# NetCDF and Zarr `units`: CF writes a dimensionless ratio (a strain's fraction) as "1".
ATTRIBUTE_UNITS = {"x": "px", "y": "px", "x_mm": "mm", "y_mm": "mm", "u": "px", "v": "px",
                   "u_mm": "mm", "v_mm": "mm", "exx": "1", "eyy": "1", "exy": "1",
                   "zncc": "1", "sigma_u": "px", "sigma_v": "px", "du_dx": "1", "du_dy": "1",
                   "dv_dx": "1", "dv_dy": "1"}

EXPORT_SCRIPT = """
import sys, morvex._guided, xarray  # the core library first, as a test process holds it
ds = morvex.open_store(sys.argv[1])
morvex.to_csv(ds, sys.argv[2] + ".csv")
morvex.to_netcdf(ds, sys.argv[2] + ".nc")
with xarray.open_dataset(sys.argv[2] + ".nc", engine="h5netcdf") as back:
    print(",".join(map(str, back.data_vars)))
print(",".join(map(str, ds.data_vars)))
"""


def hand_dataset(rows=3, cols=4, scale=None, step=5.0):
    """A measured frame through the package's own path, from known arrays (no correlation)."""
    from morvex._dataset import FLOAT_VARIABLES, dataset_from_result
    from morvex.settings import Settings

    ys, xs = np.meshgrid(10.0 + step * np.arange(rows), 20.0 + step * np.arange(cols),
                         indexing="ij")
    result = {"rows": rows, "cols": cols, "x": xs, "y": ys, "valid": np.ones((rows, cols), bool),
              "status": np.zeros((rows, cols), np.uint8),
              "iterations": np.full((rows, cols), 3, np.int32)}
    for k, name in enumerate(FLOAT_VARIABLES):  # distinct values: a swapped array shows
        result[name] = (k + 1) * 100.0 + np.arange(rows * cols, dtype=float).reshape(rows, cols)
    return dataset_from_result(result, Settings.build(subset=21, step=int(step),
                                                      scale_mm_per_px=scale))


@pytest.fixture(scope="module")
def sequence_store(tmp_path_factory, synthetic_frames):
    import morvex
    from conftest import PACKAGE_SETTINGS

    path = tmp_path_factory.mktemp("store") / "s.zarr"
    morvex.correlate_sequence(synthetic_frames.frames[:3], store=path, progress=False,
                              **PACKAGE_SETTINGS)
    return path


# Fault: the column order followed a set's iteration, so each process (hash seed) wrote its
# own order and a template reading columns by position took the wrong one.
def test_export_order_is_the_same_under_every_hash_seed(sequence_store, tmp_path):
    import os
    import subprocess
    import sys

    seen = []
    for seed in ("1", "2"):
        out = tmp_path / f"seed{seed}"
        done = subprocess.run([sys.executable, "-c", EXPORT_SCRIPT, str(sequence_store),
                               str(out)], capture_output=True, text=True, timeout=300,
                              env={**os.environ, "PYTHONHASHSEED": seed})
        assert done.returncode == 0, done.stderr
        header = out.with_suffix(".csv").read_text().splitlines()[0]
        netcdf_order, dataset_order = done.stdout.split()
        seen.append((header, netcdf_order, dataset_order))
    assert seen[0] == seen[1]
    assert seen[0] == (SEQUENCE_CSV_HEADER, ",".join(VARIABLE_ORDER), ",".join(VARIABLE_ORDER))


def test_every_column_carries_its_unit_in_csv_netcdf_and_the_dataset(tmp_path):
    import pandas as pd
    import xarray as xr

    import morvex

    ds = hand_dataset(scale=0.05)
    table = pd.read_csv(morvex.to_csv(ds, tmp_path / "pair.csv"))
    assert ",".join(table.columns) == CALIBRATED_PAIR_CSV_HEADER
    # The units changed the names only: values and types are as before.
    np.testing.assert_allclose(table["v_mm [mm]"], ds["v_mm"].values.ravel())
    assert table["status"].dtype == np.int64 and table["valid"].dtype == bool
    morvex.to_netcdf(ds, tmp_path / "pair.nc")
    with xr.open_dataset(tmp_path / "pair.nc", engine="h5netcdf") as back:
        units = {str(n): back[n].attrs.get("units") for n in back.variables
                 if "units" in back[n].attrs and n != "reference_image"}
        assert units == ATTRIBUTE_UNITS
        assert "fraction: 0.01 is 1 %" in back["exx"].attrs["long_name"]
        assert list(back.data_vars)[:8] == ["u", "v", "u_mm", "v_mm", "exx", "eyy", "exy",
                                            "zncc"]


def test_stored_variables_carry_units_and_read_back_in_order(sequence_store):
    import zarr

    import morvex

    group = zarr.open_group(sequence_store, mode="r")
    for name, unit in ATTRIBUTE_UNITS.items():
        if name in group:
            assert group[name].attrs["units"] == unit, name
    assert list(morvex.open_store(sequence_store).data_vars) == VARIABLE_ORDER


# Fault: VTK files were in image pixels with y down, so ParaView showed the specimen upside
# down with v pointing the wrong way.
def test_vtk_has_y_up_with_the_signs_that_follow(tmp_path):
    import meshio

    import morvex

    ds = hand_dataset(rows=3, cols=4)
    (path,) = morvex.to_vtk(ds, tmp_path / "pair.vtk")
    assert b"y up: y = -(image row)" in path.read_bytes()[:300]
    mesh = meshio.read(path)
    top = mesh.points[:, 1] == mesh.points[:, 1].max()
    bottom = mesh.points[:, 1] == mesh.points[:, 1].min()
    # The image's first row (y = 10 px) is the top of the specimen: the largest y.
    np.testing.assert_allclose(mesh.points[top, 1], -10.0)
    np.testing.assert_allclose(mesh.points[bottom, 1], -20.0)
    np.testing.assert_allclose(mesh.points[top, 0], ds["x"].values)
    for name, sign in (("u", 1), ("v", -1), ("exx", 1), ("exy", -1), ("du_dy", -1),
                       ("dv_dx", -1), ("dv_dy", 1), ("sigma_v", 1)):
        np.testing.assert_allclose(mesh.point_data[name].ravel()[top], sign * ds[name].values[0])
        np.testing.assert_allclose(mesh.point_data[name].ravel()[bottom],
                                   sign * ds[name].values[-1])
    np.testing.assert_allclose(mesh.point_data["displacement"][top, 1], -ds["v"].values[0])
    assert list(mesh.point_data) == ["displacement", *VARIABLE_ORDER[:-1]]
