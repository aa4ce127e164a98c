"""Result dictionaries into the exporters: accepted forms, refused ones, and files read back."""

import re

import meshio
import numpy as np
import pytest

import _morvex_dic as dic

EXPORTERS = [dic.export_csv, dic.export_vtk]
FLOAT_KEYS = ["u", "v", "exx", "eyy", "exy", "confidence"]


def exported_bytes(exporter, result, path, step=10):
    exporter(result, str(path), step)
    return path.read_bytes()


@pytest.mark.parametrize("exporter", EXPORTERS)
def test_lists_arrays_and_2d_arrays_write_the_same_file(exporter, tmp_path, hand_result):
    from_lists = exported_bytes(exporter, hand_result, tmp_path / "lists")
    as_arrays = {key: np.asarray(value) if isinstance(value, list) else value
                 for key, value in hand_result.items()}
    as_arrays["valid"] = as_arrays["valid"].astype(np.uint8)
    assert exported_bytes(exporter, as_arrays, tmp_path / "arrays") == from_lists
    as_grids = dict(as_arrays, **{key: as_arrays[key].reshape(2, 3) for key in FLOAT_KEYS})
    assert exported_bytes(exporter, as_grids, tmp_path / "grids") == from_lists


def test_csv_lines_of_a_hand_made_result(tmp_path, hand_result):
    lines = exported_bytes(dic.export_csv, hand_result, tmp_path / "r.csv").decode().splitlines()
    assert lines[0] == "grid_row,grid_col,x_pixel,y_pixel,u,v,exx,eyy,exy,confidence,valid"
    assert lines[1] == "0,0,0,0,0,-0,0,0,-0,0.9,1"
    assert lines[6] == "1,2,20,10,2.5,-1.25,0.005,0.01,-0.015,0.95,1"
    assert [line.rsplit(",", 1)[1] for line in lines[1:]] == ["1", "0", "1", "1", "0", "1"]


def test_boolean_valid_and_numpy_integer_rows(tmp_path, hand_result):
    reference = exported_bytes(dic.export_csv, hand_result, tmp_path / "a.csv")
    converted = dict(hand_result, rows=np.int64(2), cols=np.int32(3),
                     valid=np.array(hand_result["valid"], dtype=bool))
    assert exported_bytes(dic.export_csv, converted, tmp_path / "b.csv") == reference


def test_shorter_valid_counts_as_valid(tmp_path, hand_result):
    hand_result["valid"] = [0]
    lines = exported_bytes(dic.export_csv, hand_result, tmp_path / "r.csv").decode().splitlines()
    assert [line[-1] for line in lines[1:]] == ["0", "1", "1", "1", "1", "1"]


@pytest.mark.parametrize("exporter", EXPORTERS)
@pytest.mark.parametrize("key", ["rows", "cols"])
def test_float_grid_size_is_refused_with_the_cast_error(exporter, key, tmp_path, hand_result):
    hand_result[key] = float(hand_result[key])
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type"):
        exporter(hand_result, str(tmp_path / "r"), 10)
    assert not (tmp_path / "r").exists()


@pytest.mark.parametrize("exporter", EXPORTERS)
@pytest.mark.parametrize("key", ["rows", "cols", *FLOAT_KEYS, "valid"])
def test_missing_key_raises_key_error(exporter, key, tmp_path, hand_result):
    del hand_result[key]
    with pytest.raises(KeyError, match=key):
        exporter(hand_result, str(tmp_path / "r"), 10)
    assert not (tmp_path / "r").exists()


def test_unconvertible_array_passes_numpy_error(tmp_path, hand_result):
    hand_result["u"] = ["a"] * 6
    with pytest.raises(ValueError, match="could not convert"):
        dic.export_csv(hand_result, str(tmp_path / "r"), 10)
    assert not (tmp_path / "r").exists()


# Fault: the exporters read rows * cols values from each array without comparing lengths.
@pytest.mark.parametrize("exporter", EXPORTERS)
@pytest.mark.parametrize("key", FLOAT_KEYS)
def test_short_array_is_refused_before_writing(exporter, key, tmp_path, hand_result):
    hand_result[key] = hand_result[key][:5]
    path = tmp_path / "r"
    with pytest.raises(ValueError, match=f"'{key}' holds 5 values, fewer than rows \\* cols = 6"):
        exporter(hand_result, str(path), 10)
    assert not path.exists()


@pytest.mark.parametrize("exporter", EXPORTERS)
@pytest.mark.parametrize("rows, cols", [(-1, 3), (2, -3), (-2, -3)])
def test_negative_grid_size_is_refused(exporter, rows, cols, tmp_path, hand_result):
    hand_result.update(rows=rows, cols=cols)
    with pytest.raises(ValueError, match="must not be negative"):
        exporter(hand_result, str(tmp_path / "r"), 10)
    assert not (tmp_path / "r").exists()


# Fault: an export that cannot be written used to return None as if it had succeeded.
@pytest.mark.parametrize("exporter", EXPORTERS)
def test_unwritable_path_raises_runtime_error(exporter, tmp_path, hand_result):
    path = tmp_path / "missing" / "r.out"
    with pytest.raises(RuntimeError, match=re.escape(str(path))):
        exporter(hand_result, str(path), 10)
    assert not path.parent.exists()


@pytest.mark.parametrize("path_type", [str, lambda p: str(p).encode(), lambda p: bytearray(
    str(p).encode())], ids=["str", "bytes", "bytearray"])
def test_path_may_be_text_or_bytes(path_type, tmp_path, hand_result):
    dic.export_csv(hand_result, path_type(tmp_path / "r.csv"), 10)
    assert (tmp_path / "r.csv").read_text().count("\n") == 7


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
@pytest.mark.parametrize("path_type", [str, str.encode], ids=["str", "bytes"])
def test_path_with_embedded_nul_is_refused(path_type, tmp_path, hand_result):
    path = path_type(str(tmp_path / "r.csv\0.txt"))
    for exporter in EXPORTERS:
        with pytest.raises(ValueError, match="embedded null character"):
            exporter(hand_result, path, 10)
    with pytest.raises(ValueError, match="embedded null character"):
        dic.load_image(path)
    assert list(tmp_path.iterdir()) == []
