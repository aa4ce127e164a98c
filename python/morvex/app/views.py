"""The page: project, pattern and settings, mask, run, look, probe, export.

Every control talks to a Project (paths, settings, shapes, probes) and to the package (image
loading, speckle report, Job, store, exporters); this file only lays them out and keeps them
in step. Every handler runs through `guarded`, so a refused path, setting or input shows its
message in the error line instead of breaking the page.
"""

from __future__ import annotations

import functools
import html
import inspect
import logging
import math
import pathlib
import time
from collections import OrderedDict
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np

from .._errors import MorvexError
from .job_adapter import JobState
from .mask import Shape
from .paths import Root
from .probes import FIELDS as PROBE_FIELDS
from .probes import extensometer, field, gauge, line_profile, load_table, point_series
from .project import DEFAULT_STORE, Project, check_settings, defaults
from .results import Snapshot

if TYPE_CHECKING:
    from nicegui import ui

from .render import (
    colour_bar_css,
    data_url,
    field_rgba,
    grey_png,
    limits,
    png,
    status_legend,
    svg_overlay,
    unit_of,
)

log = logging.getLogger("morvex.app")
FIELD_LABELS = {"u": "u", "v": "v", "magnitude": "|displacement|", "exx": "εxx", "eyy": "εyy",
                "exy": "εxy", "zncc": "ZNCC", "sigma_u": "σu", "sigma_v": "σv",
                "status": "status"}
TOOLS = {"probe": "Point", "line": "Line profile", "extensometer": "Extensometer",
         "gauge": "Strain gauge", "rectangle": "Mask rectangle", "polygon": "Mask polygon",
         "circle": "Mask circle"}
# Frame pictures are served by URL (the browser caches them); the newest few stay in memory.
_IMAGES: OrderedDict[str, bytes] = OrderedDict()
_IMAGE_CACHE = 48


def register(root: Root) -> None:
    """Add the page and the frame-picture route to the NiceGUI application."""
    from fastapi import Response
    from nicegui import app, ui

    @app.get("/morvex/image/{key}.png")
    def image(key: str) -> Response:
        data = _IMAGES.get(key)
        if data is None:
            return Response(b"not found", status_code=404, media_type="text/plain")
        return Response(data, media_type="image/png",
                        headers={"cache-control": "private, max-age=3600"})

    @ui.page("/")
    def index() -> None:
        Page(root).build()


def _keep_image(key: str, data: bytes) -> None:
    _IMAGES[key] = data
    _IMAGES.move_to_end(key)
    while len(_IMAGES) > _IMAGE_CACHE:
        _IMAGES.popitem(last=False)


class Page:
    """One browser tab's view. State worth keeping lives in the project (saved in the store)."""

    image: ui.interactive_image  # built with the view, named earlier by the zoom slider

    def __init__(self, root: Root) -> None:
        self.root = root
        self.project = Project(root)
        self.key = f"{id(self):x}{time.monotonic_ns():x}"
        self.frame = 0
        self.field = "exx"
        self.strain_unit = "%"
        self.opacity = 0.7
        self.auto_limits = True
        self.low, self.high = 0.0, 1.0
        self.background = "reference"
        self.tool = "probe"
        self.cut = False
        self.draft: list[tuple[float, float]] = []
        self.pressed: tuple[float, float] | None = None
        self.show_grid = False
        self.show_subset = True
        self.vectors = False
        self.report: dict[str, Any] | None = None
        self.last_done = -1
        self.last_state: Any = None
        self.last_version = -1
        self.summary_job: Any = None  # the job whose summaries the table shows
        self.summary_rows: list[dict[str, Any]] = []
        self.summary_seen = 0  # of the job's summaries, those in the table
        self.folder = "."

    # --- plumbing -------------------------------------------------------------------------

    def guarded(self, action: Callable[..., Any]) -> Callable[..., Any]:
        if inspect.iscoroutinefunction(action):
            @functools.wraps(action)
            async def run_async(*args: Any, **kwargs: Any) -> Any:
                try:
                    return await action(*args, **kwargs)
                except Exception as error:
                    self._failed(error)
                    return None

            return run_async

        @functools.wraps(action)
        def run(*args: Any, **kwargs: Any) -> Any:
            try:
                return action(*args, **kwargs)
            except Exception as error:
                self._failed(error)
                return None

        return run

    def _failed(self, error: Exception) -> None:
        if isinstance(error, MorvexError):
            self.error(str(error))
            return
        log.exception("unexpected error in the page", exc_info=error)  # never a dead page
        self.error(f"unexpected error ({type(error).__name__}): {error}")

    def error(self, text: str) -> None:
        self.error_label.set_text(text)
        self.error_label.set_visibility(bool(text))

    def clear_error(self) -> None:
        self.error("")

    # --- layout ---------------------------------------------------------------------------

    def build(self) -> None:
        from nicegui import ui

        ui.add_css(".mv-card{width:100%} .mv-mono{font-family:monospace;white-space:pre-wrap}"
                   " .mv-view{overflow:auto;max-height:78vh;background:#222}"
                   " select.mv-select{border:1px solid #bbb;border-radius:4px;padding:4px}")
        with ui.header().classes("items-center bg-slate-800 py-1"):
            ui.label("Morvex").classes("text-lg font-bold")
            ui.label("digital image correlation").classes("text-sm opacity-70")
            ui.space()
            ui.label("run:").classes("text-sm")
            self.status_label = ui.label("idle").props("data-testid=run-status").classes(
                "font-mono")
            self.progress_label = ui.label("0 / 0 frames").props(
                "data-testid=run-progress").classes("font-mono text-sm")
        self.error_label = ui.label("").props("data-testid=error-message").classes(
            "w-full bg-red-100 text-red-900 p-2 rounded")
        self.error_label.set_visibility(False)
        with ui.row().classes("w-full no-wrap items-start gap-3"):
            with ui.column().classes("w-[470px] shrink-0 gap-2"):
                self._project_card()
                self._settings_card()
                self._mask_card()
                self._run_card()
                self._export_card()
            with ui.column().classes("grow gap-2 min-w-0"):
                self._view_card()
                self._probe_card()
        self.timer = ui.timer(0.5, self.guarded(self.poll))
        self.player = ui.timer(0.35, self.guarded(self.play_step), active=False)
        self.guarded(self.browse)(".")

    def _project_card(self) -> None:
        from nicegui import ui

        with ui.card().classes("mv-card"):
            ui.label("1. Project").classes("font-bold")
            ui.label(f"Folder: {self.root.path}").classes("text-xs opacity-70 break-all")
            with ui.row().classes("w-full items-center gap-1"):
                self.folder_label = ui.label(".").classes("font-mono text-sm grow")
                ui.button(icon="arrow_upward", on_click=self.guarded(self.browse_up)).props(
                    "flat dense").tooltip("parent folder")
            self.browser = ui.column().classes("w-full gap-0 max-h-40 overflow-auto border "
                                               "rounded")
            self.reference_input = ui.input("Reference image").props(
                "dense data-testid=reference-path").classes("w-full")
            self.frames_input = ui.input(
                "Frames: folder, pattern (frames/*.tif), files a,b or a multi-page TIFF").props(
                "dense data-testid=frames-path").classes("w-full")
            self.store_input = ui.input("Results store (.zarr)", value="results.zarr").props(
                "dense data-testid=store-path").classes("w-full")
            ui.button("Open", on_click=self.guarded(self.open_project)).props(
                "data-testid=open-project")

    def _settings_card(self) -> None:
        from nicegui import ui

        values = defaults()
        with ui.card().classes("mv-card"):
            ui.label("2. Pattern and settings").classes("font-bold")
            self.report_label = ui.label("Open a project to see its speckle report.").props(
                "data-testid=speckle-report").classes("mv-mono text-xs")
            self.setting_inputs: dict[str, Any] = {}
            with ui.grid(columns=2).classes("w-full gap-1"):
                for name, label, step in (("subset", "Subset (px, odd)", 2),
                                          ("step", "Step (px)", 1),
                                          ("min_zncc", "Min ZNCC", 0.05),
                                          ("strain_window", "Strain window (px)", 1),
                                          ("prefilter", "Prefilter σ (px)", 0.5),
                                          ("scale_mm_per_px", "mm per px (blank: px)", 0.001)):
                    box = ui.number(label, value=values[name], step=step).props(
                        f"dense data-testid=setting-{name.replace('_', '-')}")
                    box.on_value_change(self.guarded(self.settings_changed))
                    self.setting_inputs[name] = box
                for name, options in (("interpolation", ["quintic", "cubic", "keys"]),
                                      ("strain_measure", ["green-lagrange", "engineering"]),
                                      ("shape", ["affine", "quadratic"]),
                                      ("strain_source", ["displacement", "subset"])):
                    testid = f"dense data-testid=setting-{name.replace('_', '-')}"
                    choice = ui.select(options, value=values[name],
                                       label=name.replace("_", " ")).props(testid)
                    choice.on_value_change(self.guarded(self.settings_changed))
                    self.setting_inputs[name] = choice
            with ui.row().classes("gap-3"):
                self.incremental_box = ui.checkbox(
                    "incremental (large deformation)").on_value_change(
                    self.guarded(self.settings_changed))
                ui.checkbox("subset", value=True).on_value_change(
                    self.guarded(lambda e: self._set("show_subset", e.value)))
                ui.checkbox("grid preview").props("data-testid=show-grid").on_value_change(
                    self.guarded(lambda e: self._set("show_grid", e.value)))
            self.grid_label = ui.label("").classes("text-xs")

    def _mask_card(self) -> None:
        from nicegui import ui

        with ui.card().classes("mv-card"):
            ui.label("3. Mask").classes("font-bold")
            ui.label("Pick a mask tool above the image, then drag (rectangle, circle) or click "
                     "the corners (polygon, then Close).").classes("text-xs opacity-70")
            with ui.row().classes("items-center gap-1"):
                self.cut_toggle = ui.toggle({False: "add specimen", True: "cut hole"},
                                            value=False).props("dense")
                self.cut_toggle.on_value_change(lambda e: self._set("cut", bool(e.value), False))
                ui.button("Close polygon", on_click=self.guarded(self.close_polygon)).props(
                    "dense flat")
                ui.button("Clear", on_click=self.guarded(self.clear_mask)).props(
                    "dense flat data-testid=mask-clear")
            self.shape_list = ui.column().classes("w-full gap-0")
            with ui.row().classes("w-full items-center no-wrap gap-1"):
                self.mask_input = ui.input("Mask image (non-zero = specimen)").props(
                    "dense data-testid=mask-path").classes("grow")
                ui.button("Load", on_click=self.guarded(self.load_mask)).props(
                    "dense data-testid=mask-load")

    def _run_card(self) -> None:
        from nicegui import ui

        with ui.card().classes("mv-card"):
            ui.label("4. Run").classes("font-bold")
            with ui.row().classes("items-center gap-1"):
                ui.button("Start", on_click=self.guarded(self.start_run)).props(
                    "data-testid=run-start color=positive")
                ui.button("Cancel", on_click=self.guarded(self.cancel_run)).props(
                    "data-testid=run-cancel color=negative")
                self.watch_box = ui.checkbox("watch folder").props("data-testid=run-watch")
                ui.button("Stop watching", on_click=self.guarded(self.stop_run)).props(
                    "flat dense")
            self.points_bar = ui.linear_progress(value=0, show_value=False).props(
                "instant-feedback")
            columns = [{"name": n, "label": label, "field": n, "align": "right"} for n, label in
                       (("frame", "frame"), ("name", "name"), ("valid", "valid"),
                        ("zncc", "median ZNCC"), ("sigma", "median σ px"), ("seconds", "s"))]
            self.summary_table = ui.table(columns=columns, rows=[], row_key="frame").props(
                "dense flat virtual-scroll data-testid=run-summary").classes(
                "w-full max-h-56 text-xs")

    def _export_card(self) -> None:
        from nicegui import ui

        with ui.card().classes("mv-card"):
            ui.label("7. Export").classes("font-bold")
            with ui.row().classes("gap-1"):
                ui.button("Results CSV", on_click=self.guarded(lambda: self.export("csv"))
                          ).props("dense data-testid=export-csv")
                ui.button("VTK", on_click=self.guarded(lambda: self.export("vtk"))).props(
                    "dense data-testid=export-vtk")
                ui.button("NetCDF", on_click=self.guarded(lambda: self.export("netcdf"))
                          ).props("dense data-testid=export-netcdf")
                ui.button("Probes CSV", on_click=self.guarded(self.export_probes)).props(
                    "dense data-testid=export-probes")
            self.export_label = ui.label("").classes("text-xs break-all")
            ui.label("Plots: the camera icon on each plot saves it as PNG.").classes(
                "text-xs opacity-70")

    def _view_card(self) -> None:
        from nicegui import ui

        with ui.card().classes("mv-card"):
            with ui.row().classes("w-full items-center gap-2"):
                ui.label("5. Look").classes("font-bold")
                self.tool_select = ui.select(TOOLS, value="probe", label="click / drag draws"
                                             ).props("dense data-testid=tool").classes("w-44")
                self.tool_select.on_value_change(self.guarded(self.tool_changed))
                with ui.element("select").classes("mv-select").props(
                        "data-testid=field-select") as self.field_select:
                    for name, label in FIELD_LABELS.items():
                        option = ui.element("option").props(f"value={name}")
                        option._text = label
                        if name == self.field:
                            option.props("selected")
                self.field_select.on("change", self.guarded(self.field_changed),
                                     js_handler="(e) => emit(e.target.value)")
                self.unit_select = ui.select(["%", "µε", "1"], value="%", label="strain").props(
                    "dense").classes("w-20")
                self.unit_select.on_value_change(self.guarded(
                    lambda e: self._set("strain_unit", e.value)))
                self.background_select = ui.select({"reference": "over reference",
                                                    "current": "over current frame"},
                                                   value="reference").props("dense")
                self.background_select.on_value_change(self.guarded(
                    lambda e: self._set("background", e.value)))
                ui.checkbox("vectors").on_value_change(self.guarded(
                    lambda e: self._set("vectors", e.value)))
            with ui.row().classes("w-full items-center gap-2"):
                self.auto_box = ui.checkbox("auto limits", value=True)
                self.auto_box.on_value_change(self.guarded(
                    lambda e: self._set("auto_limits", e.value)))
                self.low_input = ui.number("min", value=0.0, format="%.4g").props(
                    "dense data-testid=limit-low").classes("w-24")
                self.high_input = ui.number("max", value=1.0, format="%.4g").props(
                    "dense data-testid=limit-high").classes("w-24")
                for box in (self.low_input, self.high_input):
                    box.on("change", self.guarded(self.limits_changed))
                ui.label("opacity")
                ui.slider(min=0, max=1, step=0.05, value=self.opacity).classes("w-28"
                                                                                ).on_value_change(
                    self.guarded(lambda e: self._set("opacity", float(e.value))))
                ui.label("zoom")
                ui.slider(min=0.25, max=4, step=0.25, value=1).classes("w-28").on_value_change(
                    lambda e: self.image.style(f"width:{100 * float(e.value)}%"))
            with ui.element("div").classes("mv-view w-full"):
                self.image = ui.interactive_image(
                    "", content="", events=["mousedown", "mouseup", "mousemove", "dblclick"],
                    cross="#00e5ff", sanitize=False).props("data-testid=image-view").style(
                    "width:100%")
                self.image.on_mouse(self.guarded(self.mouse))
            with ui.row().classes("w-full items-center gap-2"):
                self.colour_bar = ui.html("", sanitize=False).classes("grow")
                self.pointer_label = ui.label("x —, y —, grey —").classes(
                    "font-mono text-xs").props("data-testid=pointer")
            with ui.row().classes("w-full items-center no-wrap gap-2"):
                ui.button(icon="play_arrow", on_click=self.guarded(self.toggle_play)).props(
                    "dense flat data-testid=play")
                self.slider = ui.slider(min=0, max=1, value=0, step=1).props(
                    "label data-testid=frame-slider").classes("grow")
                # The change event carries the value: the element's own value arrives
                # throttled and may still be the one before (keys pressed quickly).
                self.slider.on("change", self.guarded(
                    lambda e: self.set_frame(int(e.args if isinstance(e.args, (int, float))
                                                 else self.slider.value))))
                self.frame_input = ui.number("frame", value=0, min=0, step=1, format="%d").props(
                    "dense data-testid=frame-index").classes("w-24")
                self.frame_input.on_value_change(self.guarded(self.frame_typed))
                self.frame_name = ui.label("").classes("text-xs font-mono")

    def _probe_card(self) -> None:
        from nicegui import ui

        with ui.card().classes("mv-card"):
            ui.label("6. Probe").classes("font-bold")
            with ui.row().classes("w-full items-center gap-2"):
                ui.label("Point")
                self.probe_x = ui.number("x px", format="%.1f").props(
                    "dense data-testid=probe-x").classes("w-24")
                self.probe_y = ui.number("y px", format="%.1f").props(
                    "dense data-testid=probe-y").classes("w-24")
                for box in (self.probe_x, self.probe_y):
                    box.on("change", self.guarded(self.probe_typed))
                ui.label("value:")
                self.probe_value = ui.label("—").props("data-testid=probe-value").classes(
                    "font-mono")
                self.probe_unit = ui.label("").classes("text-sm")
            with ui.row().classes("w-full items-center gap-2"):
                ui.label("Extensometer")
                self.gauge_inputs = {}
                for name in ("x0", "y0", "x1", "y1"):
                    box = ui.number(f"{name} px", format="%.1f").props(
                        f"dense data-testid=gauge-{name}").classes("w-20")
                    box.on("change", self.guarded(self.extensometer_typed))
                    self.gauge_inputs[name] = box
                ui.label("strain:")
                self.gauge_strain = ui.label("—").props("data-testid=gauge-strain").classes(
                    "font-mono")
            with ui.row().classes("w-full items-center gap-2"):
                ui.label("Strain gauge")
                self.rect_label = ui.label("draw a rectangle with the Strain gauge tool").classes(
                    "text-sm font-mono").props("data-testid=strain-gauge")
            with ui.row().classes("w-full items-center no-wrap gap-2"):
                self.load_input = ui.input("Load per frame (CSV, last column)").props(
                    "dense data-testid=load-path").classes("grow")
                self.area_input = ui.number("area mm² (blank: load)", format="%.4g").props(
                    "dense").classes("w-40")
                ui.button("Load curve", on_click=self.guarded(self.load_curve)).props(
                    "dense data-testid=load-load")
            with ui.grid(columns=2).classes("w-full gap-2"):
                self.series_chart = self._chart("point: field against frame", "frame")
                self.profile_chart = self._chart("line profile (current frame)", "distance px")
                self.strain_chart = self._chart("extensometer and gauge strain", "frame")
                self.curve_chart = self._chart("load against strain", "strain")

    def _chart(self, title: str, x_name: str) -> Any:
        from nicegui import ui

        return ui.echart({
            "title": {"text": title, "top": 0, "textStyle": {"fontSize": 12}},
            "tooltip": {"trigger": "axis"}, "legend": {"top": 22, "type": "scroll"},
            "toolbox": {"feature": {"saveAsImage": {"title": "PNG"}}},
            "grid": {"top": 62, "left": 60, "right": 20, "bottom": 40},
            "xAxis": {"type": "value", "name": x_name, "nameLocation": "middle",
                      "nameGap": 25, "scale": True},
            "yAxis": {"type": "value", "scale": True}, "series": []}).classes("h-56 w-full")

    # --- project --------------------------------------------------------------------------

    def browse(self, folder: str) -> None:
        from nicegui import ui

        shown, entries = self.root.listing(folder)
        self.folder = shown
        self.folder_label.set_text(f"{shown}/")
        self.browser.clear()
        with self.browser:
            if not entries:
                ui.label("(no images, folders or stores here)").classes("text-xs p-1")
            for path, kind in entries:
                name = pathlib.PurePosixPath(path).name
                icon = {"folder": "folder", "store": "inventory_2", "image": "image",
                        "csv": "table_chart"}[kind]
                with ui.row().classes("w-full items-center gap-1 px-1 hover:bg-slate-100"):
                    ui.icon(icon).classes("text-slate-500")
                    ui.label(name).classes("grow text-sm font-mono")
                    if kind == "folder":
                        ui.button("open", on_click=self.guarded(
                            lambda p=path: self.browse(p))).props("flat dense size=sm")
                        ui.button("frames", on_click=lambda p=path: self.frames_input.set_value(
                            p)).props("flat dense size=sm")
                    elif kind == "store":
                        ui.button("store", on_click=lambda p=path: self.store_input.set_value(
                            p)).props("flat dense size=sm")
                    elif kind == "image":
                        for label, box in (("ref", self.reference_input),
                                           ("frames", self.frames_input),
                                           ("mask", self.mask_input)):
                            ui.button(label, on_click=lambda p=path, b=box: b.set_value(p)
                                      ).props("flat dense size=sm")
                    else:
                        ui.button("load", on_click=lambda p=path: self.load_input.set_value(p)
                                  ).props("flat dense size=sm")

    def browse_up(self) -> None:
        parent = pathlib.PurePosixPath(self.folder).parent.as_posix()
        self.browse("." if self.folder in (".", "") else parent)

    def open_project(self) -> None:
        from nicegui import background_tasks

        project = self.project
        # On the event loop, as a click is: what the page does next (a setting typed, Start)
        # finds the project open. The store's frames are read by the poll, off the loop.
        project.open(self.reference_input.value or "", self.frames_input.value or "",
                     self.store_input.value or "")
        self.clear_error()
        self.reference_input.set_value(project.reference_text)
        self.frames_input.set_value(project.frames_text)
        self.store_input.set_value(project.store_text)
        self.mask_input.set_value(project.mask_text)
        self.load_input.set_value(project.load_text)
        # Each box's change handler reads every box into the project: from a copy, a box set
        # early cannot carry the old value of one set later back into the settings.
        wanted, incremental = dict(project.settings), project.incremental
        for name, box in self.setting_inputs.items():
            box.set_value(wanted[name])
        self.incremental_box.set_value(incremental)
        if project.settings != wanted or project.incremental != incremental:
            project.settings.update(wanted)
            project.incremental = incremental
            project.save()
        image = project.reference
        assert image is not None
        self.report = self._speckle(image)
        count = len(project.frame_names)
        self.slider._props["max"] = max(count - 1, 1)
        self.slider.update()
        self.frame_input._props["max"] = count - 1
        self.frame_input.update()
        self.image._props["size"] = (image.shape[1], image.shape[0])
        restored = project.probes
        if "point" in restored:
            self.probe_x.set_value(restored["point"][0])
            self.probe_y.set_value(restored["point"][1])
        if "extensometer" in restored:
            (x0, y0), (x1, y1) = restored["extensometer"]
            for name, value in zip(("x0", "y0", "x1", "y1"), (x0, y0, x1, y1), strict=True):
                self.gauge_inputs[name].set_value(value)
        self._forget_run_view()
        self.set_frame(0, force=True)
        self.refresh_shapes()
        background_tasks.create(self.guarded(self.poll)(), name="morvex-poll")

    def _speckle(self, image: np.ndarray) -> dict[str, Any]:
        from ..speckle import report_lines, speckle_report

        subset = max(int(self.project.settings["subset"]), 2)
        # Only the specimen counts: the mask as drawn when the report is made.
        report = speckle_report(image, subset=subset, mask=self.project.mask())
        rows, cols = report["shape"]
        self.report_label.set_text("\n".join(
            [f"{cols} x {rows} px, {len(self.project.frame_names)} frames",
             *(line.strip() for line in report_lines(report, subset, width=None))]))
        return report

    # --- settings and mask ----------------------------------------------------------------

    def settings_changed(self, _event: Any = None) -> None:
        values = {}
        for name, box in self.setting_inputs.items():
            value = box.value
            if isinstance(value, float) and value.is_integer() and name in (
                    "subset", "step", "strain_window"):
                value = int(value)
            if name == "scale_mm_per_px" and value in (None, "", 0):
                value = None
            values[name] = value
        errors = check_settings({k: v for k, v in values.items()
                                 if not (k == "scale_mm_per_px" and v is None)})
        for name, box in self.setting_inputs.items():
            if name in errors:
                box._props["error"] = True
                box._props["error-message"] = errors[name]
            else:
                box._props.pop("error", None)
                box._props.pop("error-message", None)
            box.update()
        if errors:
            self.error("; ".join(errors.values()))
            return
        self.project.settings.update(values)
        self.project.incremental = bool(self.incremental_box.value)
        self.project.save()
        if self.project.reference is not None:
            try:
                self.project.grid()
            except MorvexError as error:
                self.error(str(error))
                self.redraw()
                return
            if self.report is not None and "subset" in values:
                self._speckle(self.project.reference)
        self.clear_error()
        self.redraw()

    def tool_changed(self, event: Any) -> None:
        self.tool = event.value
        self.draft, self.pressed = [], None
        self.redraw()

    def close_polygon(self) -> None:
        if self.tool != "polygon" or len(self.draft) < 3:
            raise MorvexError("a polygon needs at least three corners: pick the Mask polygon "
                              "tool and click them on the image")
        self.add_shape(Shape("polygon", tuple(self.draft), self.cut))
        self.draft = []

    def add_shape(self, shape: Shape) -> None:
        self.project.shapes.append(shape)
        self.project.save()
        self.refresh_shapes()
        self.redraw()

    def delete_shape(self, index: int) -> None:
        del self.project.shapes[index]
        self.project.save()
        self.refresh_shapes()
        self.redraw()

    def clear_mask(self) -> None:
        self.project.shapes.clear()
        self.project.mask_image = None
        self.project.mask_text = ""
        self.mask_input.set_value("")
        self.project.save()
        self.refresh_shapes()
        self.redraw()

    def load_mask(self) -> None:
        self.project.load_mask(self.mask_input.value or "")
        self.project.save()
        self.clear_error()
        self.refresh_shapes()
        self.redraw()

    def refresh_shapes(self) -> None:
        from nicegui import ui

        self.shape_list.clear()
        with self.shape_list:
            if self.project.mask_image is not None:
                ui.label(f"mask image {self.project.mask_text or '(recorded in the store)'}: "
                         f"{self.project.mask_image.mean():.0%} specimen").classes("text-xs")
            for index, shape in enumerate(self.project.shapes):
                with ui.row().classes("items-center gap-1"):
                    ui.label(f"{'cut' if shape.cut else 'add'} {shape.kind} "
                             f"({len(shape.points)} points)").classes("text-xs font-mono")
                    ui.button("cut" if not shape.cut else "add", on_click=self.guarded(
                        lambda i=index: self.flip_shape(i))).props("flat dense size=sm")
                    ui.button(icon="delete", on_click=self.guarded(
                        lambda i=index: self.delete_shape(i))).props("flat dense size=sm")

    def flip_shape(self, index: int) -> None:
        shape = self.project.shapes[index]
        self.project.shapes[index] = Shape(shape.kind, shape.points, not shape.cut)
        self.project.save()
        self.refresh_shapes()
        self.redraw()

    # --- mouse ----------------------------------------------------------------------------

    def mouse(self, event: Any) -> None:
        x, y = float(event.image_x), float(event.image_y)
        image = self.project.reference
        if image is None:
            return
        if event.type == "mousemove":
            col, row = int(round(x)), int(round(y))
            if 0 <= row < image.shape[0] and 0 <= col < image.shape[1]:
                grey = self._background_image()[row, col]
                self.pointer_label.set_text(f"x {x:7.1f}, y {y:7.1f}, grey {grey:6.1f}")
            return
        if event.type == "mousedown":
            self.pressed = (x, y)
            if self.tool == "polygon":
                self.draft.append((x, y))
                self.redraw()
            return
        if event.type != "mouseup" or self.pressed is None:
            return
        start, self.pressed = self.pressed, None
        end = (x, y)
        dragged = math.dist(start, end) >= 2.0
        if self.tool == "probe":
            self.probe_x.set_value(round(x, 1))
            self.probe_y.set_value(round(y, 1))
            self.probe_typed()
        elif self.tool in ("rectangle", "circle") and dragged:
            self.add_shape(Shape(self.tool, (start, end), self.cut))
        elif self.tool == "line" and dragged:
            self.project.probes["line"] = [list(start), list(end)]
            self.project.save()
            self.update_probes()
        elif self.tool == "extensometer" and dragged:
            for name, value in zip(("x0", "y0", "x1", "y1"), (*start, *end), strict=True):
                self.gauge_inputs[name].set_value(round(value, 1))
            self.extensometer_typed()
        elif self.tool == "gauge" and dragged:
            self.project.probes["gauge"] = [list(start), list(end)]
            self.project.save()
            self.update_probes()

    # --- run ------------------------------------------------------------------------------

    async def start_run(self) -> None:
        from nicegui import run

        project = self.project
        if project.reference is None:
            raise MorvexError("open a project first: reference and frames, or a store")
        # The run uses what the boxes show. The reference and frames make a project (its
        # size, grid and mask): they need Open. The store is only where results go: a name
        # typed there is where this run writes.
        for box, opened, what in ((self.reference_input, project.reference_text, "reference"),
                                  (self.frames_input, project.frames_text, "frames")):
            shown = (box.value or "").strip()
            if shown != opened:
                raise MorvexError(f"the {what} box shows {shown!r}, but the project open is "
                                  f"{opened!r}: press Open to use it, or put it back")
        typed = (self.store_input.value or "").strip() or DEFAULT_STORE
        if typed != project.store_text:
            project.use_store(typed)
            self.store_input.set_value(project.store_text)
            self._forget_run_view()
        self.settings_changed()
        if self.error_label.visible:
            return
        await run.io_bound(project.start, watch=bool(self.watch_box.value))
        self.clear_error()
        await self.poll()

    def cancel_run(self) -> None:
        job = self.project.job() if self.project.reference is not None else None
        if job is None or job.state not in (JobState.QUEUED, JobState.RUNNING):
            raise MorvexError("no run is going on to cancel")
        job.cancel()

    def stop_run(self) -> None:
        job = self.project.job() if self.project.reference is not None else None
        if job is None:
            raise MorvexError("no run is going on")
        job.stop()

    def _forget_run_view(self) -> None:
        """What the page showed of a run, forgotten: another store is shown from scratch."""
        self.last_done, self.last_state, self.last_version = -1, None, -1
        self.summary_job, self.summary_rows, self.summary_seen = None, [], 0
        self.summary_table.rows = []
        self.summary_table.update()

    async def poll(self) -> None:
        from nicegui import run

        project = self.project
        if project.reference is None:
            return
        # Off the event loop and shared with the other tabs on this store: the look reads
        # only frames completed since the last one.
        results = project.results()
        snapshot = await run.io_bound(results.refresh)
        if snapshot is None or results is not project.results():
            return  # the server is stopping, or the page moved to another store meanwhile
        self.show_run(snapshot)

    def show_run(self, snapshot: Snapshot) -> None:
        job = self.project.job()
        stored_done, total = snapshot.done, len(self.project.frame_names)
        if job is None:
            state = "done" if total and stored_done == total else "idle"
            done, points = stored_done, None
        else:
            state = {JobState.QUEUED: "running"}.get(job.state, job.state.value)
            progress = job.progress
            done = max(progress.frames_done, stored_done)
            total = max(progress.frames_total, total)
            points = (progress.points_done / progress.points_total
                      if progress.points_total else None)
            if state == "failed" and job.error is not None and state != self.last_state:
                self.error(f"the run failed: {job.error}")
            self._show_summaries(job)
        self.status_label.set_text(state)
        self.progress_label.set_text(f"{done} / {total} frames")
        self.points_bar.set_value(points if points is not None else (done / total if total
                                                                    else 0))
        if (done, state, snapshot.version) != (self.last_done, self.last_state,
                                               self.last_version):
            if done >= 1 and self.last_done < 1:
                self.project.save()  # the store exists now: keep the project in it
            self.last_done, self.last_state, self.last_version = done, state, snapshot.version
            self.redraw()
            self.update_probes()

    def _show_summaries(self, job: Any) -> None:
        """Add the frames the job measured since the last poll to the table."""
        if job is not self.summary_job:
            self.summary_job, self.summary_rows, self.summary_seen = job, [], 0
        new = job.summaries_since(self.summary_seen)
        if not new and self.summary_table.rows is self.summary_rows:
            return
        self.summary_seen += len(new)
        self.summary_rows = sorted(self.summary_rows + [
            {"frame": s.frame, "name": s.name, "valid": f"{s.valid_share:.1%}",
             "zncc": f"{s.median_zncc:.4f}", "sigma": f"{s.median_sigma:.4f}",
             "seconds": f"{s.seconds:.2f}"} for s in new], key=lambda row: row["frame"])
        self.summary_table.rows = self.summary_rows
        self.summary_table.update()

    # --- look -----------------------------------------------------------------------------

    def _set(self, name: str, value: Any, redraw: bool = True) -> None:
        setattr(self, name, value)
        if redraw:
            self.redraw()

    def field_changed(self, event: Any) -> None:
        value = event.args
        if value not in FIELD_LABELS:
            raise MorvexError(f"unknown field {value!r}; choose one of "
                              + ", ".join(FIELD_LABELS))
        self.field = value
        self.auto_limits = True
        self.auto_box.set_value(True)
        self.redraw()
        self.update_probes()

    def limits_changed(self, _event: Any = None) -> None:
        low, high = self.low_input.value, self.high_input.value
        if low is None or high is None or not high > low:
            raise MorvexError(f"colour limits: max must be above min, got {low} and {high}")
        factor, _ = self._unit(self.field)
        self.low, self.high = low / factor, high / factor
        self.auto_limits = False
        self.auto_box.set_value(False)
        self.redraw()

    def frame_typed(self, event: Any) -> None:
        if event.value is None:
            return
        value = float(event.value)
        if not value.is_integer():
            raise MorvexError(f"frame index must be a whole number, got {value}")
        self.set_frame(int(value))

    def set_frame(self, index: int, force: bool = False) -> None:
        count = len(self.project.frame_names)
        if not 0 <= index < max(count, 1):
            raise MorvexError(f"frame {index} is outside the {count} frames (0 ... {count - 1})")
        if index == self.frame and not force:
            return
        self.frame = index
        if self.slider.value != index:
            self.slider.set_value(index)
        if self.frame_input.value != index:
            self.frame_input.set_value(index)
        self.frame_name.set_text(self.project.frame_names[index] if count else "")
        self.redraw()
        self.update_probes()

    def toggle_play(self) -> None:
        self.player.active = not self.player.active

    def play_step(self) -> None:
        count = len(self.project.frame_names)
        if count:
            self.set_frame((self.frame + 1) % count)

    def _unit(self, name: str) -> tuple[float, str]:
        scale = self.project.settings.get("scale_mm_per_px")
        return unit_of(name, self.strain_unit, scale)

    def _background_image(self) -> np.ndarray:
        if self.background == "current":
            return self.project.frame_image(self.frame)
        assert self.project.reference is not None
        return self.project.reference

    def _frame_data(self) -> tuple[Any, int | None]:
        """(dataset, position of the current frame in it) or (dataset or None, None)."""
        dataset = self.project.dataset()
        if dataset is None:
            return None, None
        positions = np.flatnonzero(dataset["frame"].values == self.frame)
        return dataset, (int(positions[0]) if positions.size else None)

    def redraw(self) -> None:
        project = self.project
        if project.reference is None:
            return
        key = f"{self.key}-{self.background}-{self.frame if self.background == 'current' else 'r'}"
        if key not in _IMAGES:
            _keep_image(key, grey_png(self._background_image()))
        source = f"/morvex/image/{key}.png"
        if self.image.source != source:
            self.image.set_source(source)
        field_url = field_box = None
        vectors: list[tuple[float, float, float, float]] = []
        dataset, position = self._frame_data()
        factor, unit = self._unit(self.field)
        bar = ""
        if dataset is not None and position is not None:
            values = field(dataset, self.field).values[position].astype(float)
            if self.field == "status":
                values = np.where(dataset["status"].values[position] == 255, np.nan, values)
            elif "valid" in dataset:
                values = np.where(dataset["valid"].values[position], values, np.nan)
            if self.auto_limits:
                self.low, self.high = limits(values)
                self.low_input.set_value(round(self.low * factor, 6))
                self.high_input.set_value(round(self.high * factor, 6))
            rgba = field_rgba(values, self.low, self.high,
                                     status=self.field == "status")
            field_url = data_url(png(rgba))
            xs, ys = dataset["x"].values, dataset["y"].values
            step_x = float(xs[1] - xs[0]) if xs.size > 1 else 1.0
            step_y = float(ys[1] - ys[0]) if ys.size > 1 else 1.0
            field_box = (xs[0] - step_x / 2, ys[0] - step_y / 2, step_x * xs.size,
                         step_y * ys.size)
            bar = self._colour_bar(factor, unit)
            if self.vectors:
                vectors = self._vectors(dataset, position)
        elif dataset is None:
            bar = "<span class='text-xs'>no results yet: start a run</span>"
        else:
            bar = f"<span class='text-xs'>frame {self.frame} is not measured yet</span>"
        self.colour_bar.set_content(bar)
        grid = None
        if self.show_grid:
            try:
                grid = project.grid()
                self.grid_label.set_text(f"{int(grid[2].sum())} of {grid[2].size} grid points "
                                         "on the mask")
            except MorvexError as error:
                self.grid_label.set_text(str(error))
        subset = None
        if self.show_subset:
            rows, cols = project.reference.shape
            subset = (cols / 2, rows / 2, int(project.settings["subset"]))
        probes = dict(project.probes)
        if self.probe_x.value is not None and self.probe_y.value is not None:
            probes["point"] = (self.probe_x.value, self.probe_y.value)
        self.image.set_content(svg_overlay(
            field_url=field_url, field_box=field_box, opacity=self.opacity, grid=grid,
            subset=subset, shapes=[s.to_json() for s in project.shapes], draft=self.draft,
            vectors=vectors, probes=probes, image_side=float(max(project.reference.shape))))

    def _colour_bar(self, factor: float, unit: str) -> str:
        label = html.escape(FIELD_LABELS[self.field])
        if self.field == "status":
            # From the library's status table, each with the colour the field is drawn in.
            items = "".join(
                f"<span data-testid='status-{code}' style='display:inline-flex;"
                f"align-items:center;gap:3px;margin-right:10px'><span class='mv-swatch' "
                f"style='width:12px;height:12px;border:1px solid #0004;background:{colour}'>"
                f"</span>{code} {html.escape(label)}</span>"
                for code, label, colour in status_legend())
            return (f"<div class='text-xs' data-testid='status-legend'>"
                    f"<b>status</b> {items}</div>")
        low, high = self.low * factor, self.high * factor
        middle = (low + high) / 2
        unit_text = f" [{html.escape(unit)}]" if unit else ""
        return (f"<div style='display:flex;align-items:center;gap:8px'>"
                f"<b>{label}{unit_text}</b>"
                f"<div style='flex:1'><div style='height:14px;border-radius:3px;"
                f"background:{colour_bar_css()}'></div>"
                f"<div style='display:flex;justify-content:space-between;font-size:11px;"
                f"font-family:monospace'><span>{low:.4g}</span><span>{middle:.4g}</span>"
                f"<span>{high:.4g}</span></div></div></div>")

    def _vectors(self, dataset: Any, position: int) -> list[tuple[float, float, float, float]]:
        u, v = dataset["u"].values[position], dataset["v"].values[position]
        xs, ys = dataset["x"].values, dataset["y"].values
        stride = max(1, int(math.ceil(max(xs.size, ys.size) / 30)))
        magnitude = np.nanmax(np.hypot(u, v)) if np.isfinite(u).any() else 0.0
        spacing = stride * (float(xs[1] - xs[0]) if xs.size > 1 else 1.0)
        scale = 0.9 * spacing / magnitude if magnitude > 0 else 1.0
        out = []
        for j in range(0, ys.size, stride):
            for i in range(0, xs.size, stride):
                if np.isfinite(u[j, i]) and np.isfinite(v[j, i]):
                    out.append((xs[i], ys[j], xs[i] + scale * u[j, i], ys[j] + scale * v[j, i]))
        return out

    # --- probes ---------------------------------------------------------------------------

    def probe_typed(self, _event: Any = None) -> None:
        x, y = self.probe_x.value, self.probe_y.value
        if x is None or y is None:
            return
        self.project.probes["point"] = [float(x), float(y)]
        self.project.save()
        self.update_probes()
        self.redraw()

    def extensometer_typed(self, _event: Any = None) -> None:
        values = [self.gauge_inputs[n].value for n in ("x0", "y0", "x1", "y1")]
        if any(v is None for v in values):
            return
        x0, y0, x1, y1 = (float(v) for v in values)
        if math.dist((x0, y0), (x1, y1)) < 1.0:
            raise MorvexError("the extensometer's ends must be at least 1 px apart")
        self.project.probes["extensometer"] = [[x0, y0], [x1, y1]]
        self.project.save()
        self.update_probes()
        self.redraw()

    def update_probes(self) -> None:
        dataset, position = self._frame_data()
        probes = self.project.probes
        factor, unit = self._unit(self.field)
        frames = dataset["frame"].values.tolist() if dataset is not None else []
        label = FIELD_LABELS[self.field]
        if "point" in probes and dataset is not None:
            x, y = probes["point"]
            series = point_series(dataset, self.field, x, y) * factor
            value = series[position] if position is not None else math.nan
            self.probe_value.set_text("nan" if not math.isfinite(value) else f"{value:.9g}")
            self.probe_unit.set_text(unit)
            self._plot(self.series_chart, [(f"{label} at ({x:.0f}, {y:.0f}) {unit}", frames,
                                            series)])
        else:
            self.probe_value.set_text("—")
        if "line" in probes and dataset is not None and position is not None:
            (xa, ya), (xb, yb) = probes["line"]
            distance, values = line_profile(dataset, self.field, position, (xa, ya),
                                                       (xb, yb))
            self._plot(self.profile_chart, [(f"{label} {unit}", distance.tolist(),
                                             values * factor)])
        strain_factor, strain_unit = unit_of("exx", self.strain_unit, None)
        lines = []
        if "extensometer" in probes and dataset is not None:
            (xa, ya), (xb, yb) = probes["extensometer"]
            strain = extensometer(dataset, (xa, ya), (xb, yb))
            value = strain[position] if position is not None else math.nan
            text = "nan" if not math.isfinite(value) else f"{value * strain_factor:.6g}"
            self.gauge_strain.set_text(text + (f" {strain_unit}" if strain_unit else ""))
            lines.append((f"extensometer {strain_unit}", frames, strain * strain_factor))
        else:
            self.gauge_strain.set_text("—")
        if "gauge" in probes and dataset is not None:
            (xa, ya), (xb, yb) = probes["gauge"]
            means = gauge(dataset, (xa, ya), (xb, yb))
            if position is not None:
                self.rect_label.set_text("  ".join(
                    f"{FIELD_LABELS[n]} {means[n][position] * strain_factor:.4g}"
                    for n in ("exx", "eyy", "exy")) + f" {strain_unit}")
            for name in ("exx", "eyy"):
                lines.append((f"gauge {FIELD_LABELS[name]} {strain_unit}", frames,
                              means[name] * strain_factor))
        self._plot(self.strain_chart, lines)
        self._update_curve(dataset, lines)

    def _plot(self, chart: Any, lines: list[tuple[str, list[float], np.ndarray]]) -> None:
        chart.options["series"] = [
            {"name": name, "type": "line", "showSymbol": len(xs) < 60,
             "data": [[float(x), (float(y) if math.isfinite(y) else None)]
                      for x, y in zip(xs, np.asarray(ys, dtype=float), strict=True)]}
            for name, xs, ys in lines]
        chart.update()

    def load_curve(self) -> None:
        path = self.root.resolve(self.load_input.value or "", "load file")
        load_table(str(path))
        self.project.load_text = (self.load_input.value or "").strip()
        self.project.save()
        self.clear_error()
        self.update_probes()

    def _update_curve(self, dataset: Any, lines: list[tuple[str, list[float], np.ndarray]]) -> None:
        if not self.project.load_text or dataset is None or not lines:
            return
        load = load_table(str(self.root.resolve(self.project.load_text, "load file")))
        area = self.area_input.value
        frames = dataset["frame"].values
        usable = frames < load.size
        stress = load[frames[usable]] / area if area else load[frames[usable]]
        name = "stress (load / area)" if area else "load"
        curves = [(f"{name} vs {line_name}", list(np.asarray(values)[usable]), stress)
                  for line_name, _, values in lines]
        self._plot(self.curve_chart, curves)

    # --- export ---------------------------------------------------------------------------

    def _export_folder(self) -> pathlib.Path:
        return self.root.export_folder(self.project.store)

    def export(self, kind: str) -> None:
        from nicegui import ui

        from ..export import to_csv, to_netcdf, to_vtk

        # The frames completed since the last poll too (read now: those only).
        dataset = (self.project.refresh(force=True).dataset
                   if self.project.reference is not None else None)
        if dataset is None:
            raise MorvexError("nothing to export yet: run the measurement first")
        folder = self._export_folder()
        stem = self.project.store.name.removesuffix(".zarr")
        if kind == "csv":
            written = [to_csv(dataset, folder / f"{stem}.csv")]
            ui.download.file(written[0])
        elif kind == "netcdf":
            written = [to_netcdf(dataset, folder / f"{stem}.nc")]
        else:
            written = to_vtk(dataset, folder / stem)
        self.export_label.set_text(f"wrote {len(written)} file(s): "
                                   f"{self.root.relative(written[0])}"
                                   + (" ..." if len(written) > 1 else ""))
        self.clear_error()

    def export_probes(self) -> None:
        import pandas as pd
        from nicegui import ui

        dataset = self.project.dataset() if self.project.reference is not None else None
        if dataset is None or not self.project.probes:
            raise MorvexError("nothing to export yet: run, then place a probe or a gauge")
        table = pd.DataFrame({"frame": dataset["frame"].values})
        probes = self.project.probes
        if "point" in probes:
            x, y = probes["point"]
            for name in PROBE_FIELDS:
                table[f"point_{name}"] = point_series(dataset, name, x, y)
        if "extensometer" in probes:
            start, end = probes["extensometer"]
            table["extensometer_strain"] = extensometer(dataset, start, end)
        if "gauge" in probes:
            start, end = probes["gauge"]
            for name, values in gauge(dataset, start, end).items():
                table[f"gauge_{name}"] = values
        target = self._export_folder() / "probes.csv"
        table.to_csv(target, index=False, float_format="%.9g")
        ui.download.file(target)
        self.export_label.set_text(f"wrote {self.root.relative(target)}")
