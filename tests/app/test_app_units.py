"""The application's own rules without a browser: path confinement, mask shapes, probes."""

from __future__ import annotations

import os
import pathlib

import numpy as np
import pytest
import xarray as xr

from morvex import MorvexError
from morvex.app import probes
from morvex.app.mask import Shape, header_shape, rasterise, read_mask
from morvex.app.paths import Root
from morvex.app.project import Project
from morvex.app.server import Access, TokenGate, redact


@pytest.fixture
def tree(tmp_path: pathlib.Path) -> Root:
    inside = tmp_path / "root"
    (inside / "frames").mkdir(parents=True)
    for k in range(3):
        (inside / "frames" / f"f{k}.tif").write_bytes(b"x")
    (tmp_path / "outside.tif").write_bytes(b"x")
    (tmp_path / "away").mkdir()
    os.symlink(tmp_path / "outside.tif", inside / "link_out.tif")
    os.symlink(tmp_path / "away", inside / "dir_out")
    os.symlink(inside / "frames" / "f0.tif", inside / "link_in.tif")
    return Root(inside)


@pytest.mark.parametrize("text, message", [
    ("../outside.tif", "climbs out with '..'"),
    ("frames/../../outside.tif", "climbs out with '..'"),
    ("/etc/hostname", "is absolute"),
    ("~/x.tif", "is absolute"),
    ("link_out.tif", "leads outside"),
    ("dir_out/anything.tif", "leads outside"),
    ("", "give a path relative"),
    ("a\x00b", "NUL"),
    ("frames/none.tif", "does not exist"),
])
def test_paths_leaving_the_root_are_refused(tree: Root, text: str, message: str) -> None:
    with pytest.raises(MorvexError, match=message):
        tree.resolve(text)


def test_paths_inside_the_root_resolve(tree: Root) -> None:
    assert tree.resolve("frames/f1.tif") == tree.path / "frames" / "f1.tif"
    assert tree.resolve("link_in.tif").resolve() == tree.path / "frames" / "f0.tif"
    assert tree.frames("frames/*.tif") == [str(tree.path / "frames" / f"f{k}.tif")
                                            for k in range(3)]
    with pytest.raises(MorvexError, match="climbs out"):
        tree.frames("../*.tif")
    folder, entries = tree.listing(".")
    assert folder == "."
    names = [path for path, _ in entries]
    assert "frames" in names and "link_in.tif" in names
    assert "link_out.tif" not in names and "dir_out" not in names


def _slow_inside(shape: Shape, rows: int, cols: int) -> np.ndarray:
    from matplotlib.path import Path

    ys, xs = np.mgrid[0:rows, 0:cols]
    points = np.column_stack([xs.ravel(), ys.ravel()]).astype(float)
    if shape.kind == "polygon":
        return Path(shape.points).contains_points(points).reshape(rows, cols)
    out = np.zeros((rows, cols), bool)
    for y in range(rows):
        for x in range(cols):
            if shape.kind == "rectangle":
                (xa, ya), (xb, yb) = shape.points
                out[y, x] = min(xa, xb) <= x <= max(xa, xb) and min(ya, yb) <= y <= max(ya, yb)
            else:
                (xc, yc), (xr, yr) = shape.points
                out[y, x] = (x - xc) ** 2 + (y - yc) ** 2 <= (xr - xc) ** 2 + (yr - yc) ** 2
    return out


@pytest.mark.parametrize("shape", [
    Shape("rectangle", ((3.5, 2.0), (20.2, 11.0))),
    Shape("rectangle", ((20.0, 11.0), (3.0, 2.0))),
    Shape("circle", ((12.3, 8.7), (17.0, 9.0))),
    Shape("polygon", ((2.3, 1.7), (25.6, 4.1), (11.2, 15.3))),
    Shape("polygon", ((1.5, 1.5), (20.5, 1.5), (20.5, 14.5), (10.5, 6.5), (1.5, 14.5))),
])
def test_shapes_cover_the_pixels_a_slow_test_finds(shape: Shape) -> None:
    np.testing.assert_array_equal(shape.covers((18, 28)), _slow_inside(shape, 18, 28))


def test_cuts_apply_in_drawing_order_over_a_loaded_mask() -> None:
    add = Shape("rectangle", ((0, 0), (9, 9)))
    cut = Shape("circle", ((5, 5), (7, 5)), cut=True)
    mask = rasterise([add, cut], (12, 12))
    assert mask.sum() == 100 - cut.covers((12, 12))[:10, :10].sum()
    assert rasterise([cut], (12, 12)).sum() == 144 - cut.covers((12, 12)).sum()
    base = np.zeros((12, 12), bool)
    assert rasterise([], (12, 12), base) is not base
    assert rasterise([], (12, 12)) is None


@pytest.mark.parametrize("data, message", [
    ({"kind": "triangle", "points": [[0, 0], [1, 1]]}, "kind must be one of"),
    ({"kind": "polygon", "points": [[0, 0], [1, 1]]}, "at least 3 points"),
    ({"kind": "circle", "points": [[0, 0], ["a", 1]]}, "pairs of numbers"),
    ({"kind": "rectangle", "points": [[0, 0], [float("nan"), 1]]}, "finite"),
    ("rectangle", "must be an object"),
])
def test_malformed_shapes_are_refused(data: object, message: str) -> None:
    with pytest.raises(MorvexError, match=message):
        Shape.from_json(data)


def _affine(du_dx: float, dv_dy: float, frames: int = 3) -> xr.Dataset:
    xs, ys = np.arange(10.0, 200.0, 7.0), np.arange(5.0, 120.0, 7.0)
    gx, gy = np.meshgrid(xs, ys)
    scale = np.arange(frames)[:, None, None]
    u = scale * (0.3 + du_dx * (gx - 100.0))
    v = scale * (-0.2 + dv_dy * (gy - 60.0))
    data = {"u": u, "v": v, "exx": scale * du_dx + 0 * gx, "eyy": scale * dv_dy + 0 * gx,
            "exy": 0 * u}
    return xr.Dataset({k: (("frame", "y", "x"), val) for k, val in data.items()},
                      coords={"frame": np.arange(frames), "y": ys, "x": xs})


@pytest.mark.parametrize("start, end, expected", [
    ((30.0, 40.0), (170.0, 40.0), lambda k: 0.004 * k),             # along x
    ((50.0, 20.0), (50.0, 100.0), lambda k: -0.002 * k),            # along y
])
def test_extensometer_reads_the_affine_stretch(start, end, expected) -> None:
    strain = probes.extensometer(_affine(0.004, -0.002), start, end)
    np.testing.assert_allclose(strain, [expected(k) for k in range(3)], atol=1e-12)


def test_point_line_gauge_and_refusals() -> None:
    ds = _affine(0.004, -0.002)
    ds["exx"][1, 2, 3] = np.nan
    assert probes.nearest(ds, 33.0, 20.0) == (2, 3)
    series = probes.point_series(ds, "u", 33.0, 20.0)
    np.testing.assert_allclose(series, [0.0, 0.3 + 0.004 * (31.0 - 100.0),
                                        2 * (0.3 + 0.004 * (31.0 - 100.0))])
    distance, values = probes.line_profile(ds, "u", 2, (10.0, 5.0), (178.0, 5.0))
    assert distance[0] == 0 and distance[-1] == pytest.approx(168.0)
    np.testing.assert_allclose(values, 2 * (0.3 + 0.004 * (np.arange(10.0, 179.0, 7.0) - 100)))
    means = probes.gauge(ds, (0.0, 0.0), (50.0, 50.0))
    np.testing.assert_allclose(means["exx"], [0.0, 0.004, 0.008])  # the NaN point left out
    with pytest.raises(MorvexError, match="holds no grid point"):
        probes.gauge(ds, (0.0, 0.0), (2.0, 2.0))
    with pytest.raises(MorvexError, match="apart"):
        probes.extensometer(ds, (10.0, 10.0), (10.5, 10.0))
    with pytest.raises(MorvexError, match="finite number"):
        probes.nearest(ds, float("inf"), 0.0)
    with pytest.raises(MorvexError, match="unknown field"):
        probes.field(ds, "temperature")


@pytest.mark.parametrize("text, message", [
    ("frame,load\n", "no numeric column"),
    ("a,b\nx,y\n", "no numeric column"),
])
def test_bad_load_files_are_refused(tmp_path: pathlib.Path, text: str, message: str) -> None:
    path = tmp_path / "load.csv"
    path.write_text(text)
    with pytest.raises(MorvexError, match=message):
        probes.load_table(str(path))


# --- links in every position --------------------------------------------------------------

@pytest.fixture
def project_root(tmp_path: pathlib.Path) -> pathlib.Path:
    """A root with three 48 x 64 frames, a file and a folder outside it."""
    import tifffile

    inside = tmp_path / "root"
    (inside / "frames").mkdir(parents=True)
    rng = np.random.default_rng(3)
    for k in range(3):
        tifffile.imwrite(inside / "frames" / f"f{k}.tif",
                         rng.integers(0, 255, (48, 64), dtype=np.uint8))
    tifffile.imwrite(tmp_path / "outside.tif", np.zeros((48, 64), np.uint8))
    (tmp_path / "away").mkdir()
    return inside


@pytest.mark.parametrize("link, target, frames", [
    ("frames/a_out.tif", "outside.tif", "frames"),        # a file link in the frames folder
    ("frames/a_out.tif", "outside.tif", "frames/*.tif"),  # ... matched by a pattern
    ("shots", "away", "shots"),                           # a folder link
    ("shots", "away", "frames,shots/x.tif"),              # ... in a list of items
])
def test_a_link_inside_the_frames_folder_is_refused(project_root: pathlib.Path, link: str,
                                                     target: str, frames: str) -> None:
    os.symlink(project_root.parent / target, project_root / link)
    project = Project(Root(project_root))
    with pytest.raises(MorvexError, match="leads outside the project folder"):
        project.open("frames/f0.tif", frames, "results.zarr")


@pytest.mark.parametrize("link, target", [
    ("results.zarr", "away"),                  # the store itself
    ("results.zarr/u", "away"),                # a folder inside the store
    ("results.zarr/morvex_app.json", "outside.tif"),
])
def test_a_store_leading_outside_is_refused(project_root: pathlib.Path, link: str,
                                            target: str) -> None:
    (project_root / "results.zarr").mkdir(exist_ok=link != "results.zarr")
    if link == "results.zarr":
        (project_root / "results.zarr").rmdir()
    os.symlink(project_root.parent / target, project_root / link)
    project = Project(Root(project_root))
    with pytest.raises(MorvexError, match="leads outside the project folder"):
        project.open("frames/f0.tif", "frames", "results.zarr")


def test_a_mask_link_leading_outside_is_refused(project_root: pathlib.Path) -> None:
    os.symlink(project_root.parent / "outside.tif", project_root / "mask.tif")
    project = Project(Root(project_root))
    project.open("frames/f0.tif", "frames", "results.zarr")
    with pytest.raises(MorvexError, match="mask 'mask.tif' leads outside"):
        project.load_mask("mask.tif")


def test_a_link_in_a_watched_folder_ends_the_run(project_root: pathlib.Path) -> None:
    project = Project(Root(project_root))
    project.open("frames/f0.tif", "frames", "results.zarr")
    project.settings.update(subset=15, step=8)
    os.symlink(project_root.parent / "outside.tif", project_root / "frames" / "a_out.tif")
    job = project.start(watch=True)
    assert job.wait(60).value == "failed"
    assert "frame 'frames/a_out.tif' leads outside the project folder" in str(job.error)


@pytest.mark.parametrize("link, target", [
    ("results_export", "away"),                    # the export folder
    ("results_export/results.nc", "outside.tif"),  # a file an export would write through
])
def test_an_export_link_leading_outside_is_refused(project_root: pathlib.Path, link: str,
                                                   target: str) -> None:
    root = Root(project_root)
    if link != "results_export":
        (project_root / "results_export").mkdir()
    os.symlink(project_root.parent / target, project_root / link)
    with pytest.raises(MorvexError, match="export folder.* leads outside the project folder"):
        root.export_folder(root.resolve("results.zarr", must_exist=False))
    assert not any((project_root.parent / "away").iterdir())


def test_files_are_read_through_their_real_path(project_root: pathlib.Path) -> None:
    # Resolved once: what is read is the target the check saw, not the link's name.
    os.symlink(project_root / "frames" / "f1.tif", project_root / "frames" / "f9.tif")
    root = Root(project_root)
    assert root.frames("frames") == [str(project_root / "frames" / f"f{k}.tif")
                                     for k in (0, 1, 2, 1)]
    assert root.export_folder(project_root / "r.zarr") == project_root / "r_export"


# --- the mask's size from its header -------------------------------------------------------

def _png_header(rows: int, cols: int) -> bytes:
    import zlib

    ihdr = b"IHDR" + cols.to_bytes(4, "big") + rows.to_bytes(4, "big") + bytes([8, 0, 0, 0, 0])
    iend = b"IEND"
    return (b"\x89PNG\r\n\x1a\n" + (13).to_bytes(4, "big") + ihdr
            + zlib.crc32(ihdr).to_bytes(4, "big") + (0).to_bytes(4, "big") + iend
            + zlib.crc32(iend).to_bytes(4, "big"))


@pytest.mark.parametrize("suffix, options", [
    (".png", {}), (".bmp", {}), (".jpg", {}), (".jpg", {"progressive": True}),
    (".pgm", {}), (".tif", {}),
])
@pytest.mark.parametrize("rows, cols", [(37, 53), (1, 300)])
def test_header_shape_reads_what_the_decoder_reads(tmp_path: pathlib.Path, suffix: str,
                                                   options: dict, rows: int, cols: int) -> None:
    import tifffile
    from PIL import Image

    from morvex import load_image

    path = tmp_path / f"mask{suffix}"
    pixels = (np.arange(rows * cols).reshape(rows, cols) % 251).astype(np.uint8)
    if suffix == ".tif":
        tifffile.imwrite(path, np.stack([pixels] * 3, axis=-1))  # colour: (rows, cols, 3)
    else:
        Image.fromarray(pixels).save(path, **options)
    assert header_shape(path) == load_image(path).shape[:2] == (rows, cols)


def test_a_huge_mask_is_refused_by_its_header(tmp_path: pathlib.Path, monkeypatch) -> None:
    import morvex.io

    path = tmp_path / "mask.png"
    path.write_bytes(_png_header(16000, 16000))

    def decoded(*args: object) -> None:
        raise AssertionError("the mask was decoded")

    monkeypatch.setattr(morvex.io, "load_image", decoded)
    with pytest.raises(MorvexError, match=r"mask image mask.png is 16000 x 16000 px \(rows x "
                       r"cols\); a mask must be the reference image's size, 200 x 240 px"):
        read_mask(path, (200, 240), "mask.png")
    path.write_bytes(b"GIF89a" + bytes(40))
    with pytest.raises(MorvexError, match="not a TIFF, PNG, BMP, JPEG or PNM file"):
        read_mask(path, (200, 240), "mask.png")


@pytest.mark.parametrize("rows, cols, refused", [
    (8192, 8192, False), (8192, 8193, True), (16000, 16000, True), (1, 70_000_000, True),
])
def test_an_image_is_refused_by_the_size_its_header_declares(
        tmp_path: pathlib.Path, rows: int, cols: int, refused: bool) -> None:
    from morvex.app.mask import check_image_size

    path = tmp_path / "big.png"
    path.write_bytes(_png_header(rows, cols))
    if not refused:
        check_image_size(path, "reference", "big.png")
        return
    with pytest.raises(MorvexError, match=rf"^reference image big.png is {rows} x {cols} px "
                       r"\(rows x cols\), more than the 67108864 px the app opens"):
        check_image_size(path, "reference", "big.png")


@pytest.mark.parametrize("reference, frames, shown, message", [
    ("huge.png", "frames", None, "reference image huge.png is 16000 x 16000 px"),
    ("frames/f0.tif", "huge.png,frames", None, "frame image huge.png is 16000 x 16000 px"),
    # A later frame is refused when it is shown, the project staying open.
    ("frames/f0.tif", "frames/f0.tif,huge.png", 1, "frame image huge.png is 16000 x 16000"),
])
def test_a_huge_reference_or_frame_is_never_decoded(project_root: pathlib.Path, monkeypatch,
                                                    reference: str, frames: str,
                                                    shown: int | None, message: str) -> None:
    import morvex.io

    (project_root / "huge.png").write_bytes(_png_header(16000, 16000))
    decode = morvex.io.Source.read

    def read(source: morvex.io.Source, what: str = "frame") -> np.ndarray:
        assert not str(source.path).endswith("huge.png"), "the huge image was decoded"
        return decode(source, what)

    monkeypatch.setattr(morvex.io.Source, "read", read)
    load = morvex.io.load_image

    def load_image(path: object, *args: object, **kwargs: object) -> np.ndarray:
        assert not str(path).endswith("huge.png"), "the huge image was decoded"
        return load(path, *args, **kwargs)  # type: ignore[arg-type]

    monkeypatch.setattr(morvex.io, "load_image", load_image)
    project = Project(Root(project_root))
    if shown is None:
        with pytest.raises(MorvexError, match=message):
            project.open(reference, frames, "results.zarr")
        assert project.reference is None
        return
    project.open(reference, frames, "results.zarr")
    assert project.frame_image(0).shape == (48, 64)
    with pytest.raises(MorvexError, match=message):
        project.frame_image(shown)


# --- the gate: token, cookie, origin --------------------------------------------------------

class _Clock:
    def __init__(self) -> None:
        self.now = 0.0

    def __call__(self) -> float:
        return self.now


def _ask(access: Access, query: bytes = b"", *, kind: str = "http",
         headers: dict[bytes, bytes] | None = None,
         answer: list[tuple[bytes, bytes]] | None = None) -> tuple[int, dict[bytes, bytes], bool]:
    """(status, response headers, reached the application) of one request through the gate."""
    import asyncio
    from concurrent.futures import ThreadPoolExecutor

    reached: list[dict] = []

    async def application(scope: dict, receive: object, send) -> None:
        reached.append(scope)
        if kind == "http":
            await send({"type": "http.response.start", "status": 200,
                        "headers": list(answer or [])})
            await send({"type": "http.response.body", "body": b"page"})
        else:
            await send({"type": "websocket.accept"})

    sent: list[dict] = []

    async def send(message: dict) -> None:
        sent.append(message)

    given = {b"host": f"127.0.0.1:{access.port}".encode(), **(headers or {})}
    scope = {"type": kind, "method": "GET", "path": "/", "query_string": query,
             "headers": list(given.items())}
    # A loop of its own in a thread of its own: the browser tests' driver keeps an event loop
    # running in this thread for the rest of the session.
    with ThreadPoolExecutor(1) as thread:
        thread.submit(asyncio.run, TokenGate(application, access)(scope, None, send)).result()
    if reached:
        assert b"token=" not in reached[0]["query_string"]  # never seen past the gate
    first = sent[0]
    status = first.get("status", 101 if first["type"] == "websocket.accept" else 403)
    return status, dict(first.get("headers", [])), bool(reached)


@pytest.fixture
def access() -> Access:
    return Access("127.0.0.1", 8765, token="s3cret-token", clock=_Clock())


@pytest.mark.parametrize("query, headers", [
    (b"token=%C3%A9", {}),
    (b"token=%FF%FE", {}),
    (b"token=s3cret-token%C3%A9", {}),
    (b"", {b"cookie": "morvex_token_8765=é".encode("latin-1")}),
    (b"", {b"cookie": b"morvex_token_8765=\xff\x00"}),
    (b"", {b"cookie": b"morvex_token=s3cret-token"}),  # another instance's cookie name
    (b"code=%C3%A9", {}),
])
def test_a_malformed_token_answers_403(access: Access, query: bytes,
                                       headers: dict[bytes, bytes]) -> None:
    for kind in ("http", "websocket"):
        status, _, reached = _ask(access, query, kind=kind, headers=headers)
        assert (status, reached) == (403, False)


def test_the_token_is_exchanged_for_a_cookie_named_after_the_port(access: Access) -> None:
    status, headers, reached = _ask(access, b"a=1&token=s3cret-token&b=%20")
    assert (status, reached) == (303, False)
    assert headers[b"location"] == b"/?a=1&b=%20"
    assert headers[b"set-cookie"].startswith(b"morvex_token_8765=s3cret-token; Path=/; HttpOnly")
    # Another server's cookie beside ours, unparseable to a strict parser, hides nothing.
    cookie = b'other="unterminated; morvex_token_8765=s3cret-token'
    assert _ask(access, headers={b"cookie": cookie})[::2] == (200, True)
    # The websocket cannot follow a redirect: it is let through, the token taken off.
    assert _ask(access, b"EIO=4&token=s3cret-token", kind="websocket")[::2] == (101, True)
    assert Access("127.0.0.1", 8766).cookie != access.cookie
    with pytest.raises(MorvexError, match="port must be 1 ... 65535, got 0"):
        Access("127.0.0.1", 0)


def test_a_one_time_code_opens_the_page_once(access: Access) -> None:
    clock = access._clock
    code = access.code()
    status, headers, _ = _ask(access, b"code=" + code.encode())
    assert status == 303 and headers[b"location"] == b"/" and b"set-cookie" in headers
    assert _ask(access, b"code=" + code.encode())[0] == 403                 # spent
    late = access.code()
    clock.now += 61.0  # type: ignore[attr-defined]
    assert _ask(access, b"code=" + late.encode())[0] == 403                 # expired
    assert _ask(access, b"code=" + access.code().encode(), kind="websocket")[0] == 403


_COOKIE = {b"cookie": b"morvex_token_8765=s3cret-token"}


@pytest.mark.parametrize("headers, admitted", [
    ({b"origin": b"http://127.0.0.1:8765"}, True),
    ({b"origin": b"http://127.0.0.1:9000"}, False),   # a page of another local server
    ({b"origin": b"http://localhost:8765"}, False),   # not the Host it was sent to
    ({b"origin": b"null"}, False),
    ({b"host": b"localhost:8765", b"origin": b"http://localhost:8765"}, True),
    ({b"host": b"attacker.example:8765"}, False),     # a rebound DNS name
    ({b"host": b"127.0.0.1:9000"}, False),
    ({b"sec-fetch-site": b"same-site", b"sec-fetch-mode": b"no-cors",
      b"sec-fetch-dest": b"script"}, False),           # a script tag on another port's page
    ({b"sec-fetch-site": b"same-site", b"sec-fetch-mode": b"navigate",
      b"sec-fetch-dest": b"iframe"}, False),
    ({b"sec-fetch-site": b"same-site", b"sec-fetch-mode": b"navigate",
      b"sec-fetch-dest": b"document"}, True),          # a link followed from there
])
def test_requests_not_from_this_server_are_refused(access: Access, headers: dict[bytes, bytes],
                                                   admitted: bool) -> None:
    for kind in ("http", "websocket"):
        status, _, reached = _ask(access, kind=kind, headers={**_COOKIE, **headers})
        assert reached == admitted and (status == 403) != admitted


def test_no_cross_origin_sharing_is_granted(access: Access) -> None:
    answer = [(b"access-control-allow-origin", b"http://127.0.0.1:9000"),
              (b"access-control-allow-credentials", b"true"), (b"x-kept", b"1")]
    _, headers, _ = _ask(access, headers=_COOKIE, answer=answer)
    assert not any(name.startswith(b"access-control-") for name in headers)
    assert headers[b"x-kept"] == b"1" and headers[b"x-frame-options"] == b"DENY"


def test_secrets_are_hidden_in_log_text() -> None:
    text = "GET http://127.0.0.1:8765/x?token=abc&y=1 not found; code%3Dxyz s3cret"
    assert redact(text, "s3cret") == ("GET http://127.0.0.1:8765/x?token=(hidden)&y=1 not "
                                      "found; code%3D(hidden) (hidden)")
