"""Card 6, the probes: a point, a line profile, an extensometer, a strain gauge, load curves."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from ..._errors import MorvexError
from ..probes import extensometer, gauge, line_profile, load_table, point_series
from ..render import unit_of
from ..state import FIELD_LABELS, PageState

if TYPE_CHECKING:
    from nicegui import ui

Lines = list[tuple[str, list[float], np.ndarray]]
_ENDS = ("x0", "y0", "x1", "y1")


class ProbeCard:
    probe_x: ui.number
    probe_y: ui.number
    probe_value: ui.label
    probe_unit: ui.label
    gauge_strain: ui.label
    rect_label: ui.label
    load_input: ui.input
    area_input: ui.number
    series_chart: ui.echart
    profile_chart: ui.echart
    strain_chart: ui.echart
    curve_chart: ui.echart

    def __init__(self, page: PageState) -> None:
        self.page = page
        self.gauge_inputs: dict[str, ui.number] = {}

    def build(self) -> None:
        from nicegui import ui

        guarded = self.page.guarded
        with ui.card().classes("mv-card"):
            ui.label("6. Probe").classes("font-bold")
            with ui.row().classes("w-full items-center gap-2"):
                ui.label("Point")
                self.probe_x = ui.number("x px", format="%.1f").props(
                    "dense data-testid=probe-x").classes("w-24")
                self.probe_y = ui.number("y px", format="%.1f").props(
                    "dense data-testid=probe-y").classes("w-24")
                for box in (self.probe_x, self.probe_y):
                    box.on("change", guarded(self.probe_typed))
                ui.label("value:")
                self.probe_value = ui.label("—").props("data-testid=probe-value").classes(
                    "font-mono")
                self.probe_unit = ui.label("").classes("text-sm")
            with ui.row().classes("w-full items-center gap-2"):
                ui.label("Extensometer")
                for name in _ENDS:
                    box = ui.number(f"{name} px", format="%.1f").props(
                        f"dense data-testid=gauge-{name}").classes("w-20")
                    box.on("change", guarded(self.extensometer_typed))
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
                ui.button("Load curve", on_click=guarded(self.load_curve)).props(
                    "dense data-testid=load-load")
            with ui.grid(columns=2).classes("w-full gap-2"):
                self.series_chart = _chart("point: field against frame", "frame")
                self.profile_chart = _chart("line profile (current frame)", "distance px")
                self.strain_chart = _chart("extensometer and gauge strain", "frame")
                self.curve_chart = _chart("load against strain", "strain")

    def show_project(self) -> None:
        """The point and the extensometer the project kept, back in their boxes."""
        restored = self.page.project.probes
        if "point" in restored:
            self.probe_x.set_value(restored["point"][0])
            self.probe_y.set_value(restored["point"][1])
        if "extensometer" in restored:
            (x0, y0), (x1, y1) = restored["extensometer"]
            for name, value in zip(_ENDS, (x0, y0, x1, y1), strict=True):
                self.gauge_inputs[name].set_value(value)

    def place_point(self, x: float, y: float) -> None:
        self.probe_x.set_value(round(x, 1))
        self.probe_y.set_value(round(y, 1))
        self.probe_typed()

    def place_extensometer(self, start: tuple[float, float], end: tuple[float, float]) -> None:
        for name, value in zip(_ENDS, (*start, *end), strict=True):
            self.gauge_inputs[name].set_value(round(value, 1))
        self.extensometer_typed()

    def probe_typed(self, _event: Any = None) -> None:
        x, y = self.probe_x.value, self.probe_y.value
        if x is None or y is None:
            return
        self.page.project.probes["point"] = [float(x), float(y)]
        self.page.project.save()
        self.update_probes()
        self.page.look.redraw()

    def extensometer_typed(self, _event: Any = None) -> None:
        values = [self.gauge_inputs[n].value for n in _ENDS]
        if any(v is None for v in values):
            return
        x0, y0, x1, y1 = (float(v) for v in values)
        if math.dist((x0, y0), (x1, y1)) < 1.0:
            raise MorvexError("the extensometer's ends must be at least 1 px apart")
        self.page.project.probes["extensometer"] = [[x0, y0], [x1, y1]]
        self.page.project.save()
        self.update_probes()
        self.page.look.redraw()

    def update_probes(self) -> None:
        page = self.page
        dataset, position = page.frame_data()
        probes = page.project.probes
        factor, unit = page.unit(page.field)
        frames = dataset["frame"].values.tolist() if dataset is not None else []
        label = FIELD_LABELS[page.field]
        if "point" in probes and dataset is not None:
            x, y = probes["point"]
            series = point_series(dataset, page.field, x, y) * factor
            value = series[position] if position is not None else math.nan
            self.probe_value.set_text("nan" if not math.isfinite(value) else f"{value:.9g}")
            self.probe_unit.set_text(unit)
            _plot(self.series_chart, [(f"{label} at ({x:.0f}, {y:.0f}) {unit}", frames,
                                       series)])
        else:
            self.probe_value.set_text("—")
        if "line" in probes and dataset is not None and position is not None:
            (xa, ya), (xb, yb) = probes["line"]
            distance, values = line_profile(dataset, page.field, position, (xa, ya), (xb, yb))
            _plot(self.profile_chart, [(f"{label} {unit}", distance.tolist(), values * factor)])
        strain_factor, strain_unit = unit_of("exx", page.strain_unit, None)
        lines: Lines = []
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
        _plot(self.strain_chart, lines)
        self._update_curve(dataset, lines)

    def load_curve(self) -> None:
        page = self.page
        path = page.root.resolve(self.load_input.value or "", "load file")
        load_table(str(path))
        page.project.load_text = (self.load_input.value or "").strip()
        page.project.save()
        page.clear_error()
        self.update_probes()

    def _update_curve(self, dataset: Any, lines: Lines) -> None:
        project = self.page.project
        if not project.load_text or dataset is None or not lines:
            return
        load = load_table(str(self.page.root.resolve(project.load_text, "load file")))
        area = self.area_input.value
        frames = dataset["frame"].values
        usable = frames < load.size
        stress = load[frames[usable]] / area if area else load[frames[usable]]
        name = "stress (load / area)" if area else "load"
        curves = [(f"{name} vs {line_name}", list(np.asarray(values)[usable]), stress)
                  for line_name, _, values in lines]
        _plot(self.curve_chart, curves)


def _chart(title: str, x_name: str) -> Any:
    from nicegui import ui

    return ui.echart({
        "title": {"text": title, "top": 0, "textStyle": {"fontSize": 12}},
        "tooltip": {"trigger": "axis"}, "legend": {"top": 22, "type": "scroll"},
        "toolbox": {"feature": {"saveAsImage": {"title": "PNG"}}},
        "grid": {"top": 62, "left": 60, "right": 20, "bottom": 40},
        "xAxis": {"type": "value", "name": x_name, "nameLocation": "middle",
                  "nameGap": 25, "scale": True},
        "yAxis": {"type": "value", "scale": True}, "series": []}).classes("h-56 w-full")


def _plot(chart: Any, lines: Lines) -> None:
    chart.options["series"] = [
        {"name": name, "type": "line", "showSymbol": len(xs) < 60,
         "data": [[float(x), (float(y) if math.isfinite(y) else None)]
                  for x, y in zip(xs, np.asarray(ys, dtype=float), strict=True)]}
        for name, xs, ys in lines]
    chart.update()
