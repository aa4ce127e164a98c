"""The extension's tables are the one list of settings, result fields and statuses: the
library's check holds each row's bounds, and every surface built from them (Settings, the
command-line flags, the application's choices and legend, datasets and exports) lists exactly
what the tables list, in their order."""

import dataclasses
import re

import numpy as np
import pytest
from click.testing import CliRunner

import morvex
from conftest import PACKAGE_SETTINGS
from morvex import _dataset, _guided
from morvex.cli import cli, setting_flags
from morvex.settings import Settings

ROWS = {row["name"]: row for row in _guided.SETTINGS}
SCALARS = [row for row in _guided.SETTINGS if row["kind"] in ("int", "real")]


def _keywords(function):
    """Keyword names of a binding, read from the signature pybind11 writes in its docstring."""
    first = function.__doc__.splitlines()[0]
    return set(re.findall(r"(\w+): ", first.split("(", 1)[1]))


# --- settings: the table is the library's check ----------------------------------------------

def test_every_keyword_of_the_bindings_has_one_row_in_its_record():
    reference = _keywords(_guided.ReferenceImage.__init__) - {"self", "reference"}
    solve = _keywords(_guided.correlate) - {"reference", "deformed", "control", "previous"}
    sequence = _keywords(_guided.Sequence.__init__) - {"self", "reference", "control",
                                                       "incremental"}
    by_record = {record: {n for n, r in ROWS.items() if r["record"] == record}
                 for record in ("reference", "solve")}
    assert by_record["reference"] == reference
    assert by_record["solve"] == solve | {"threads"}
    assert sequence == reference | solve
    for name, row in ROWS.items():
        if name in _guided.DEFAULTS:
            assert row["default"] == _guided.DEFAULTS[name], name
        assert row["help"].endswith("."), name


def _outside(row):
    """Values just outside a row's bounds (below low, or at it when open; above high)."""
    step = 1 if row["kind"] == "int" else 1e-6
    below = row["low"] if row["low_open"] else row["low"] - step
    values = [below] if below not in row["special"] else [below - step]
    if row["high"] is not None:
        values.append(row["high"] + step if row["kind"] == "real" else None)
    return [v for v in values if v is not None]


@pytest.mark.parametrize("row", SCALARS, ids=[r["name"] for r in SCALARS])
def test_the_library_accepts_each_bound_and_refuses_beyond_it(row):
    name = row["name"]
    context = {"subset_size": 101} if name == "prefilter_sigma" else {}
    inside = [row["default"], *row["special"]]
    if not row["low_open"]:
        inside.append(row["low"])
    if row["high"] is not None and row["kind"] == "real":
        inside.append(row["high"])
    for value in inside:
        _guided.check_settings(**context, **{name: value})
    for value in _outside(row):
        with pytest.raises(ValueError, match=name):
            _guided.check_settings(**context, **{name: value})
    if row["odd"]:
        with pytest.raises(ValueError, match=f"{name} must be odd"):
            _guided.check_settings(**{name: row["low"] + 1})


def test_choices_unknown_names_and_cross_rules():
    for row in _guided.SETTINGS:
        for choice in row["choices"]:
            _guided.check_settings(**{row["name"]: choice})
        if row["choices"]:
            with pytest.raises(ValueError, match=f"{row['name']} 'bogus' is not one of"):
                _guided.check_settings(**{row["name"]: "bogus"})
    with pytest.raises(ValueError, match="unknown setting 'subset'; known settings: "
                                         "subset_size, step"):
        _guided.check_settings(subset=29)
    with pytest.raises(TypeError, match="step has the wrong type"):
        _guided.check_settings(step="seven")
    with pytest.raises(ValueError, match="prefilter_sigma must be at most 2.5 px"):
        _guided.check_settings(subset_size=21, prefilter_sigma=2.6)
    with pytest.raises(ValueError, match="seed 0 must be"):
        _guided.check_settings(seeds=[[1.0, 2.0, 3.0]])
    _guided.check_settings(roi=(0, 0, 50, 50), mask=np.ones((4, 4)), seeds=[[3, 4]])


def test_settings_take_default_bounds_choices_and_record_from_the_table():
    keyword_fields = [f for f in dataclasses.fields(Settings) if "keyword" in f.metadata]
    assert {f.metadata["keyword"] for f in keyword_fields} == set(ROWS) - {
        "mask", "reference_noise", "compute_strain", "threads"}
    for field in keyword_fields:
        row = ROWS[field.metadata["keyword"]]
        if row["kind"] not in ("region", "seeds", "polylines"):
            assert field.default == row["default"], field.name
        assert field.metadata["choices"] == tuple(row["choices"]), field.name
        assert (field.metadata["low"], field.metadata["high"]) == (row["low"], row["high"])
    reference, solve = Settings(seeds=((3.0, 4.0),)).to_kwargs()
    assert {k for k in reference} == {f.metadata["keyword"] for f in keyword_fields
                                      if f.metadata["record"] == "reference"}
    assert solve["seeds"] == [[3.0, 4.0]] and "subset_size" in reference


@pytest.mark.parametrize("values, message", [
    ({"max_jump": 0.0}, "max_jump must be > 0 px, got 0"),
    ({"min_zncc": -1.5}, "min_zncc must be in [-1, 1], got -1.5"),
    ({"search_range": -2}, "search_range must be an integer from -1 to 2147483647 px, got -2"),
    ({"feature_seeds": "maybe"}, "feature_seeds must be one of auto, on, off, got 'maybe'"),
])
def test_settings_refuse_by_the_table_in_the_packages_words(values, message):
    with pytest.raises(morvex.MorvexError, match=re.escape(message)):
        Settings.build(**values)


# --- the surfaces built from the tables --------------------------------------------------------

@pytest.mark.parametrize("command", ["run", "certify"])
def test_the_commands_offer_one_flag_per_setting_with_the_tables_defaults(command):
    params = {p.name: p for p in cli.commands[command].params}
    for field in dataclasses.fields(Settings):
        param = params[field.name]
        assert param.default in (None, ()), field.name  # only typed flags override TOML
        row = ROWS.get(field.metadata.get("keyword", ""))
        if row is None:
            continue
        if row["choices"]:
            assert list(param.type.choices) == list(row["choices"]), field.name
        if row["kind"] in ("int", "real", "choice"):
            shown = str(param.show_default)
            assert shown.split(":")[0] == str(row["default"]), (field.name, shown)
    help_text = CliRunner().invoke(cli, [command, "--help"], terminal_width=100).output
    assert "--search-range" in help_text and "-1: the whole image" in help_text
    assert "--feature-seeds [auto|on|off]" in help_text


def test_a_flag_reaches_the_measurement_as_typed(tmp_path, frame_files):
    flags = dict(setting_flags())
    assert flags["--seed"]["multiple"] and flags["--roi"]["nargs"] == 4
    out = tmp_path / "r.zarr"
    frames = sorted(frame_files.glob("*.tif"))
    result = CliRunner().invoke(cli, ["run", str(frames[0]), *map(str, frames[1:2]),
                                      "-o", str(out), "--subset", "21", "--step", "8",
                                      "--max-jump", "1.5", "--feature-seeds", "off", "-q"])
    assert result.exit_code == 0, result.output
    ds = morvex.open_store(out)
    assert (ds.attrs["max_jump"], ds.attrs["feature_seeds"], ds.attrs["step"]) == (1.5, "off", 8)


def test_the_apps_legend_and_choices_are_the_tables():
    from morvex.app.cards.pattern import _CHOICES
    from morvex.app.render import _status_colours, status_legend

    assert [(code, label) for code, label, _ in status_legend()] == [
        (row["code"], row["label"]) for row in _guided.STATUS_TABLE]
    assert [(row["code"], row["name"]) for row in _guided.STATUS_TABLE] == list(
        _guided.STATUSES)
    colours = {row["colour"] for row in _guided.STATUS_TABLE}
    assert len(colours) == len(_guided.STATUS_TABLE)  # no two statuses drawn alike
    assert tuple(_status_colours()[4, :3]) == (0x94, 0x67, 0xBD)
    # A status added at the end keeps every stored code's meaning and reaches the legend.
    from morvex._status import Status
    assert Status["CROSSES_DISCONTINUITY"] == 10 and Status["LEFT_VIEW"] == 9
    assert status_legend()[10][1] == "crosses a discontinuity"
    assert tuple(_status_colours()[10, :3]) == (0x39, 0x3B, 0x79)
    for name, options in _CHOICES:
        assert options == list(ROWS[name]["choices"]), name


def test_datasets_and_exports_follow_the_fields_table(tmp_path):
    stored = [f for f in _guided.FIELDS if f["role"] in _dataset.STORED_ROLES]
    assert [f["order"] for f in _guided.FIELDS] == list(range(len(_guided.FIELDS)))
    case = morvex.synthetic_pair((96, 96), u=0.3, v=-0.2, seed=2)
    raw = _guided.correlate(_guided.ReferenceImage(case.reference, subset_size=21, step=8,
                                                   shape="quadratic"), case.deformed)
    assert {f["name"] for f in _guided.FIELDS} <= set(raw)
    for field in _guided.FIELDS:
        assert str(np.asarray(raw[field["name"]]).dtype) == field["dtype"], field["name"]
    ds = morvex.correlate(case.reference, case.deformed, scale_mm_per_px=0.01,
                          **PACKAGE_SETTINGS)
    on_grid = [str(n) for n in ds.data_vars if ds[n].dims == ("y", "x")]
    names = [q.name for q in _dataset.QUANTITIES]
    assert on_grid == [n for n in names if n in on_grid]
    assert set(on_grid) | {"x", "y"} == {f["name"] for f in stored} | {"u_mm", "v_mm"}
    for field in stored:
        unit = ds[field["name"]].attrs.get("units", "")
        assert unit == _dataset.attribute_units(field["unit"]), field["name"]
    morvex.to_csv(ds, tmp_path / "f.csv")
    header = (tmp_path / "f.csv").read_text().splitlines()[0].split(",")
    columns = [c.split(" [")[0] for c in header]
    assert columns == [n for n in names if n in columns]
