"""morvex report: one self-contained HTML file (and its PDF) that says what the store holds."""

import html.parser
import re
import shutil

import numpy as np
import pandas as pd
import pytest

import morvex
from conftest import PACKAGE_SETTINGS
from morvex import _guided
from morvex.report import read_series, reproducing_command, write_report
from morvex.settings import Settings
from morvex.store import write_store_attrs

HOSTILE = '<script>alert("x")</script> & <img src=http://evil/>'


@pytest.fixture(scope="module")
def measured(tmp_path_factory, synthetic_frames):
    """Frame files and a complete store of them, made once; tests that harm it use copies."""
    import tifffile

    root = tmp_path_factory.mktemp("report")
    folder = root / "frames"
    folder.mkdir()
    for k, frame in enumerate(synthetic_frames.frames):
        tifffile.imwrite(folder / f"f{k}.tif", frame.astype(np.float32))
    store = root / "run.zarr"
    morvex.correlate_sequence(str(folder), reference=folder / "f0.tif", store=store,
                              progress=False, **PACKAGE_SETTINGS)
    return store


class _Page(html.parser.HTMLParser):
    """Every tag with its attributes, the tables as rows of cell texts, the whole text."""

    def __init__(self, text):
        super().__init__()
        self.tags, self.tables, self.text, self._cell = [], [], [], None
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))
        if tag == "table":
            self.tables.append([])
        elif tag == "tr":
            self.tables[-1].append([])
        elif tag in ("td", "th"):
            self._cell = []

    def handle_endtag(self, tag):
        if tag in ("td", "th"):
            self.tables[-1][-1].append("".join(self._cell))
            self._cell = None

    def handle_data(self, data):
        self.text.append(data)
        if self._cell is not None:
            self._cell.append(data)

    def table(self, first_header):
        return next(t for t in self.tables if t and t[0] and t[0][0] == first_header)


def _report(store, tmp_path, **kwargs):
    out = tmp_path / "report.html"
    write_report(store, out, **kwargs)
    return out.read_text(encoding="utf-8")


def _pages(path):
    # PdfPages writes one page object per page ("/Type /Pages" is their parent).
    return len(re.findall(rb"/Type\s*/Page\b(?!s)", path.read_bytes()))


def test_the_html_is_self_contained_and_holds_settings_summary_figures_and_version(
        measured, tmp_path):
    text = _report(measured, tmp_path, frames=[1, -1], fields=["u", "exx"])
    page = _Page(text)
    referenced = [(tag, name, value) for tag, attrs in page.tags for name, value in attrs.items()
                  if name in ("src", "href", "data", "action", "srcset")]
    assert referenced and all(value.startswith("data:image/png;base64,")
                              for _, _, value in referenced)
    assert not {tag for tag, _ in page.tags} & {"script", "link", "iframe", "object"}
    captions = [tag_attrs["alt"] for tag, tag_attrs in page.tags if tag == "img"]
    assert captions == [f"{field}, frame {k} (f{k}.tif)" for k in (1, 3)
                        for field in ("u", "exx", "status")]
    words = "".join(page.text)
    assert f"Morvex{morvex.__version__}" in words.replace(" ", "")

    settings = {row[0]: row[1:] for row in page.table("setting")[1:]}
    assert list(settings) == list(Settings.names())
    assert settings["subset"] == ["21", "px", ""] and settings["step"] == ["8", "px", ""]
    assert settings["interpolation"] == ["quintic", "", "default"]
    assert settings["min_zncc"] == [f"{Settings().min_zncc:g}", "", "default"]


def test_the_run_summary_equals_the_stores_own_numbers(measured, tmp_path):
    page = _Page(_report(measured, tmp_path, fields=["u"]))
    summary = page.table("frame")
    labels = {int(row["code"]): str(row["label"]) for row in _guided.STATUS_TABLE}
    header, rows = summary[0], summary[1:]
    ds = morvex.open_store(measured)
    assert len(rows) == ds.sizes["frame"]
    for k, row in enumerate(rows):
        cells = dict(zip(header, row, strict=True))
        status = ds["status"].values[k]
        assert (cells["frame"], cells["name"]) == (str(k), f"f{k}.tif")
        for code, label in labels.items():
            if label in cells:
                assert cells[label] == str(int((status == code).sum()))
        assert sum(int(cells[label]) for label in labels.values() if label in cells) == (
            status.size)
        # The slow obvious version: valid points over those not outside the mask.
        valid = ds["valid"].values[k]
        assert cells["converged share"] == f"{valid.sum() / (status != 1).sum():.1%}"
        sigma = np.maximum(ds["sigma_u"].values[k], ds["sigma_v"].values[k])[valid]
        assert cells["median sigma [px]"] == f"{np.median(sigma):.4f}"


@pytest.mark.parametrize("frames, fields, with_series, pages", [
    (None, ["u"], False, 1 + 1 + 2),             # title and settings, summary, u and status
    ([0, 2, 3], ["u", "v", "exy"], False, 2 + 3 * 4),
    ([-1], ["exx"], True, 2 + 2 + 2),             # against the frame and against time
])
def test_the_pdf_has_a_page_per_table_and_figure(measured, tmp_path, frames, fields,
                                                 with_series, pages):
    series = pd.DataFrame({"frame": [0, 1, 2, 3], "load [N]": [0.0, 5.0, 9.0, 12.0],
                           "time [s]": [0.0, 0.5, 1.0, 1.5]}) if with_series else None
    pdf = tmp_path / "report.pdf"
    written = write_report(measured, tmp_path / "r.html", frames=frames, fields=fields,
                           series=series, series_x="time [s]" if with_series else None, pdf=pdf)
    assert written == [tmp_path / "r.html", pdf]
    assert pdf.read_bytes().startswith(b"%PDF") and _pages(pdf) == pages


def test_a_certificate_kept_in_the_store_is_reported_and_escaped(measured, tmp_path):
    store = tmp_path / "run.zarr"
    shutil.copytree(measured, store)
    write_store_attrs(store, {"certificate_noise_floor_px": 0.0123,
                              "certificate_noise_floor_se_px": 0.0004,
                              "certificate_predicted_sigma_px": 0.011,
                              "certificate_strain_noise": 0.00021,
                              "certificate_l10_displacement_px": 41.25,
                              "certificate_flags": HOSTILE})
    text = _report(store, tmp_path, fields=["u"])
    rows = {row[0]: row[1:] for row in _Page(text).table("figure")[1:]}
    assert rows["noise floor of displacement"] == ["0.0123 ± 0.0004", "px"]
    assert rows["strain noise"] == ["0.00021", "1 (fraction)"]
    assert rows["spatial resolution l10% of displacement"] == ["41.2", "px"]
    assert HOSTILE not in text and "<script" not in text
    assert HOSTILE in "".join(_Page(text).text)  # shown as text, not markup


def test_a_measured_certificate_brings_its_tables_and_plots(measured, tmp_path):
    from morvex.certificate_files import summary
    from morvex.certify import certify

    store = tmp_path / "run.zarr"
    shutil.copytree(measured, store)
    reference = morvex.open_store(store)["reference_image"].values
    attrs = summary(certify(reference, **PACKAGE_SETTINGS))
    write_store_attrs(store, attrs)
    pdf = tmp_path / "r.pdf"
    write_report(store, tmp_path / "r.html", fields=["u"], pdf=pdf)
    page = _Page((tmp_path / "r.html").read_text(encoding="utf-8"))
    assert [a["alt"] for t, a in page.tags if t == "img"][:2] == [
        "certificate: spatial resolution", "certificate: bias over a sub-pixel shift"]
    rows = {row[0]: row[1] for row in page.table("figure")[1:]}
    assert rows["predicted sigma"] == f"{attrs['certificate_predicted_sigma_px']:.4g}"
    assert page.table("parameter")[2][0] == "Image size"
    # Title and settings, the two certificate tables, its two plots, summary, u, status.
    assert _pages(pdf) == 1 + 1 + 2 + 1 + 2


def test_series_columns_are_plotted_with_their_names_escaped(measured, tmp_path):
    series = pd.DataFrame({f"{HOSTILE} [N]": [0.0, 1.0, 2.0, 3.0]})
    text = _report(measured, tmp_path, fields=["u"], series=series)
    assert "<script" not in text
    assert [a["alt"] for t, a in _Page(text).tags if t == "img"][-1] == "series against frame"


@pytest.mark.parametrize("harm", ["flipped byte", "deleted chunk"])
def test_a_damaged_store_is_refused_with_its_own_error_and_nothing_is_written(
        measured, tmp_path, harm):
    store = tmp_path / "run.zarr"
    shutil.copytree(measured, store)
    chunk = store / "u" / "c" / "2" / "0" / "0"
    if harm == "deleted chunk":
        chunk.unlink()
    else:
        data = bytearray(chunk.read_bytes())
        data[len(data) // 2] ^= 0x10
        chunk.write_bytes(bytes(data))
    with pytest.raises(morvex.StoreDamageError, match="the chunk of u for frame 2"):
        write_report(store, tmp_path / "r.html", pdf=tmp_path / "r.pdf")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.zarr"]


@pytest.mark.parametrize("kwargs, message", [
    ({"frames": [7]}, "frame 7 is not a complete frame of the store (complete: 0 ... 3"),
    ({"frames": [-5]}, "frame -5 is not a complete frame"),
    ({"frames": "last"}, "frames must be a list of frame indices, got 'last'"),
    ({"fields": ["u", "nope"]}, "unknown field 'nope'; the store holds u, v,"),
    ({"fields": "u"}, "fields must be a list of field names, got 'u'"),
    ({"series": [1, 2]}, "series must be a pandas DataFrame, got list"),
    ({"series": pd.DataFrame({"load [N]": np.arange(5.0)})},
     "series rows must be frames 0 ... 3 of the store (5 rows)"),
    ({"series": pd.DataFrame({"name": ["a", "b"]})}, "series holds no numeric column"),
    ({"series": pd.DataFrame({"load [N]": [1.0]}), "series_x": "time [s]"},
     "series_x 'time [s]' is not a numeric column"),
])
def test_bad_arguments_are_refused_naming_the_value(measured, tmp_path, kwargs, message):
    with pytest.raises(morvex.MorvexError) as raised:
        write_report(measured, tmp_path / "r.html", **kwargs)
    assert message in str(raised.value)
    assert not (tmp_path / "r.html").exists()


RUN = {"frames": 3, "frame_names": ["a.tif", "b.tif", "c.tif"], "incremental": False}
CASES = {
    "defaults, a folder": (
        {"reference": 0, "frames": ["imgs"]}, {}, False,
        "morvex run imgs/a.tif imgs -o t.zarr"),
    "a pattern, the reference by index": (
        {"reference": 1, "frames": ["imgs/*.tif"]}, {"subset": 31}, False,
        "morvex run imgs/b.tif 'imgs/*.tif' -o t.zarr --subset 31"),
    "files, every kind of setting": (
        {"reference": "ref.tif", "frames": ["a.tif", "b b.tif"], "tile": 512},
        {"roi": [0, 0, 99, 80], "seeds": [[10.0, 12.5]], "strain_measures": True,
         "between": [1.0, 2.0, 3.0, 4.5], "scale": 10.0, "min_zncc": 0.9}, True,
        "morvex run ref.tif a.tif 'b b.tif' -o t.zarr --mask MASK --roi 0 0 99 80 "
        "--min-zncc 0.9 --seed 10,12.5 --scale 10 --between 1,2,3,4.5 --strain-measures "
        "--tile 512"),
    "an older store": (None, {"step": 4}, False, "morvex run REFERENCE FRAMES -o t.zarr --step 4"),
}


@pytest.mark.parametrize("sources, settings, masked, command", CASES.values(), ids=CASES.keys())
def test_the_command_is_rebuilt_from_what_the_store_keeps(tmp_path, sources, settings, masked,
                                                          command):
    identity = {**RUN, **settings}
    if sources is not None:
        sources = {**sources, "settings": Settings.build(**settings).to_json()}
    rebuilt, note = reproducing_command(tmp_path / "t.zarr", identity, sources, masked)
    assert rebuilt == command
    assert note.startswith("rebuilt from the settings and sources the store keeps")
    assert ("MASK" in note) == masked


def test_the_cli_writes_the_report_from_a_series_file(measured, tmp_path, run_cli):
    probes = tmp_path / "probes.csv"
    probes.write_text("# morvex probe\n# extensometer E1: 10,10,80,10 px\n"
                      "frame,E1 strain [%],time [s]\n0,0,0\n1,0.1,0.5\n2,0.2,1\n3,0.3,1.5\n")
    assert list(read_series(probes).columns) == ["frame", "E1 strain [%]", "time [s]"]
    code, out, err = run_cli("report", measured, "-o", tmp_path / "r.html", "--pdf",
                             tmp_path / "r.pdf", "--frames", "2", "--fields", "v",
                             "--series", probes, "--series-x", "time [s]")
    assert code == 0, err
    assert out == f"wrote {tmp_path / 'r.html'}, {tmp_path / 'r.pdf'}\n"
    captions = [a["alt"] for t, a in _Page((tmp_path / "r.html").read_text()).tags if t == "img"]
    assert captions == ["v, frame 2 (f2.tif)", "status, frame 2 (f2.tif)",
                        "series against frame", "series against time [s]"]


def test_cracks_measured_on_the_store_are_reported_as_morvex_crack_gives_them(
        measured, tmp_path, run_cli):
    from morvex.crack import Material, measure_cracks

    line = "5,40,60,40"
    code, _, err = run_cli("report", measured, "-o", tmp_path / "r.html", "--crack-line", line,
                           "--young", "70000", "--poisson", "0.3", "--pixel-size", "0.1")
    assert code == 0, err
    page = _Page((tmp_path / "r.html").read_text())
    rows = page.table("crack")
    expected = measure_cracks(morvex.open_store(measured), [[(5, 40), (60, 40)]],
                              material=Material(70000.0, 0.3, "strain"), pixel_size_mm=0.1)
    assert len(rows) == 1 + expected.sizes["frame"]
    assert rows[0][:3] == ["crack", "frame", "tip x (px)"] and "K_I (MPa m^0.5)" in rows[0]
    found = expected["tip_found"].values[0]
    assert [row[2] != "not measured" for row in rows[1:]] == [bool(f) for f in found]
    assert "cracks: opening along each crack, length over frames" in [
        a["alt"] for t, a in page.tags if t == "img"]
    code, _, err = run_cli("report", measured, "-o", tmp_path / "r.html", "--crack-line",
                           "5,40,5,40")
    assert code == 2 and "crack" in err and err.count("\n") == 1


@pytest.mark.parametrize("args, message", [
    (["--frames", "2,x"], "--frames must be 'last' or frame indices K,K,..., got '2,x'"),
    (["--frames", "9"], "frame 9 is not a complete frame of the store"),
    (["--series-x", "t"], "--series-x needs --series"),
    (["--series", "missing.csv"], "cannot read the series"),
    (["--fields", "u,zz"], "unknown field 'zz'"),
])
def test_the_cli_turns_bad_input_into_one_line_and_exit_2(measured, tmp_path, run_cli, args,
                                                          message):
    code, _, err = run_cli("report", measured, "-o", tmp_path / "r.html", *args)
    assert code == 2 and err.count("\n") == 1 and "Traceback" not in err
    assert err.startswith("morvex: error: ") and message in err


def test_a_folder_that_is_no_store_is_refused(tmp_path, run_cli):
    code, _, err = run_cli("report", tmp_path, "-o", tmp_path / "r.html")
    assert (code, err) == (2, f"morvex: error: {tmp_path} is not a Morvex results store "
                              "(made by morvex run)\n")
