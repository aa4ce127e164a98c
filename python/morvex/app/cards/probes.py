"""Card 6, the probes: a list of points, extensometers, gauges and sections, and load curves.

The list lives in the project (saved with the store); every value shown comes from
:func:`morvex.probe.probe` on the store's dataset, the numbers ``morvex probe`` prints. The
point and extensometer boxes edit the newest probe of their kind, so a position can be typed.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from ..._errors import MorvexError
from ...probe import probe
from ..probe_list import ProbeEntry
from ..probe_samples import sample_fields, section_quantity
from ..probe_sigma import field_sigma, probe_sigmas, table_scale
from ..render import data_url, field_rgba, limits, png, unit_of
from ..rounding import to_uncertainty, with_uncertainty
from ..shape_list import ShapeEdits
from ..state import FIELD_LABELS, PageState

if TYPE_CHECKING:
    import pandas as pd
    from nicegui import ui

# (name, x values, y values, colour or "")
Lines = list[tuple[str, list[float], np.ndarray, str]]
_ENDS = ("x0", "y0", "x1", "y1")
PROBE_TOOLS = ("probe", "extensometer", "gauge", "gauge_polygon", "section")
# Tools whose probe is clicked vertex by vertex and ended by a double click or Finish:
# (kind, fewest vertices).
DRAWN_PROBES = {"section": ("section", 2), "gauge_polygon": ("gauge", 3)}
FRAME_TIMES = {"none": "one row per frame", "rate": "frame rate and start",
               "tiff": "TIFF time stamps", "files": "file times"}
# s: how long after the last frame or field change the probes' curves are drawn (the picture
# and the values go at once): long enough for the next change of a hand stepping through
# frames, short enough to read as following it.
_CURVES_AFTER_S = 0.12
# A double click lands two presses on the same spot: vertices closer than this are one.
_SAME_VERTEX_PX = 2.0


class ProbeCard:
    probe_x: ui.number
    probe_y: ui.number
    probe_value: ui.label
    probe_unit: ui.label
    gauge_strain: ui.label
    probe_rows: ui.column
    load_input: ui.input
    area_input: ui.number
    series_chart: ui.echart
    profile_chart: ui.echart
    strain_chart: ui.echart
    curve_chart: ui.echart
    section_image: ui.html

    def __init__(self, page: PageState) -> None:
        self.page = page
        self.gauge_inputs: dict[str, ui.number] = {}
        self.tables: dict[str, pd.DataFrame] = {}
        # What update_probes computed through every frame, for the dataset, probes and field it
        # was computed for: a frame change only picks another row of it.
        self._memo: dict[str, Any] = {}
        self._row_layout: Any = None  # what the probe rows were built for (see refresh_rows)
        self._value_labels: list[Any] = []
        self.edits = ShapeEdits(lambda: page.project.probes, lambda: page.look.redraw(),
                               lambda: self._changed())
        self._changes = 0  # frame and field changes so far (see update_after_picture)
        self._computing = False  # a worker thread is computing through frames (update_soon)
        self._wanted_again = False
        # Where a double click ended a drawn probe: its second press may reach the server
        # after the double click itself, and must not start the next probe there.
        self._ended_at: tuple[float, float] | None = None

    def build(self) -> None:
        from nicegui import ui

        guarded = self.page.guarded
        with ui.card().classes("mv-card"):
            ui.label("6. Probes").classes("font-bold")
            ui.label("Pick Point, Extensometer, Strain gauge or Section above the image: each "
                     "click or drag adds a probe; a section or a polygon gauge takes clicked "
                     "vertices, ended by a double click or Finish.").classes(
                         "text-xs opacity-70")
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
            with ui.row().classes("items-center gap-2"):
                ui.button("Finish section / polygon gauge",
                          on_click=guarded(self.finish_drawing)).props(
                    "dense flat data-testid=section-finish")
            self.probe_rows = ui.column().classes("w-full gap-0").props(
                "data-testid=probe-table")
            with ui.row().classes("w-full items-center no-wrap gap-2"):
                self.load_input = ui.input(
                    "Test data (CSV: a time column, or one row per frame)").props(
                    "dense data-testid=load-path").classes("grow")
                self.time_input = ui.input("time column (blank: by name)").props(
                    "dense data-testid=time-column").classes("w-44")
            with ui.row().classes("w-full items-center gap-2"):
                self.times_select = ui.select(FRAME_TIMES, value="none", label="frame times").props(
                    "dense data-testid=frame-times").classes("w-48")
                self.rate_input = ui.number("rate Hz", format="%.6g").props(
                    "dense data-testid=frame-rate").classes("w-24")
                self.start_input = ui.number("first frame at s", value=0.0, format="%.6g").props(
                    "dense data-testid=frame-start").classes("w-28")
                self.area_input = ui.number("area mm² (stress)", format="%.6g").props(
                    "dense data-testid=area").classes("w-32")
                ui.button("Load test data", on_click=guarded(self.load_curve)).props(
                    "dense data-testid=load-load")
            with ui.row().classes("w-full items-center gap-2"):
                self.channel_select = ui.select([], label="channel").props(
                    "dense data-testid=curve-channel").classes("w-48")
                self.against_select = ui.select([], label="against").props(
                    "dense data-testid=curve-probe").classes("w-56")
                for select in (self.channel_select, self.against_select):
                    select.on_value_change(guarded(lambda _e: self.curve_choice()))
                self.data_label = ui.label("").classes("text-xs").props(
                    "data-testid=test-data-status")
            with ui.grid(columns=2).classes("w-full gap-2"):
                self.series_chart = _chart("points: field against frame", "frame")
                self.profile_chart = _chart("sections along their length (shown frame)",
                                            "position")
                self.strain_chart = _chart("extensometers, gauges, sections", "frame")
                self.curve_chart = _chart("test data against a probe", "")
            self.section_image = ui.html("").classes("w-full").props(
                "data-testid=section-map")

    # --- the list -------------------------------------------------------------------------

    def show_project(self) -> None:
        """The newest point and extensometer back in their boxes, the list in its table."""
        self._fill_boxes()
        self.show_test_data()
        self.refresh_rows()

    def _fill_boxes(self) -> None:
        probes = self.page.project.probes
        point = probes.last("point")
        if point is not None:
            x, y = probes.entries[point].points[0]
            self.probe_x.set_value(round(x, 1))
            self.probe_y.set_value(round(y, 1))
        extensometer = probes.last("extensometer")
        if extensometer is not None:
            (x0, y0), (x1, y1) = probes.entries[extensometer].points
            for name, value in zip(_ENDS, (x0, y0, x1, y1), strict=True):
                self.gauge_inputs[name].set_value(round(value, 1))

    def _changed(self) -> None:
        self.page.project.save()
        self._fill_boxes()
        self.update_probes()
        self.page.look.redraw()

    def add(self, kind: str, points: list[tuple[float, float]]) -> None:
        self.page.project.probes.add(kind, [(round(x, 1), round(y, 1)) for x, y in points])
        self._changed()

    def place_point(self, x: float, y: float) -> None:
        self.add("point", [(x, y)])

    def place_extensometer(self, start: tuple[float, float], end: tuple[float, float]) -> None:
        self.add("extensometer", [start, end])

    def place_gauge(self, start: tuple[float, float], end: tuple[float, float]) -> None:
        (x0, y0), (x1, y1) = start, end
        self.add("gauge", [(x0, y0), (x1, y0), (x1, y1), (x0, y1)])

    def stray_press(self, x: float, y: float) -> bool:
        """Whether a press is the late second press of the double click that just ended a
        drawn probe (then it adds no vertex)."""
        ended, self._ended_at = self._ended_at, None
        return (ended is not None and not self.page.draft
                and math.dist(ended, (x, y)) < _SAME_VERTEX_PX)

    def finish_drawing(self, ended_at: tuple[float, float] | None = None) -> None:
        """The section or polygon gauge being clicked becomes a probe (`ended_at`: where the
        double click that ended it was)."""
        page = self.page
        self._ended_at = ended_at
        vertices: list[tuple[float, float]] = []
        for vertex in page.draft:
            if not vertices or math.dist(vertices[-1], vertex) >= _SAME_VERTEX_PX:
                vertices.append(vertex)
        # A polygon closed by clicking its first corner again holds that corner once.
        if (page.tool == "gauge_polygon" and len(vertices) > 3
                and math.dist(vertices[0], vertices[-1]) < _SAME_VERTEX_PX):
            vertices.pop()
        kind, least = DRAWN_PROBES.get(page.tool, ("section", 2))
        if page.tool not in DRAWN_PROBES or len(vertices) < least:
            what = ("a polygon gauge needs at least three corners: pick the Strain gauge "
                    "(polygon) tool" if page.tool == "gauge_polygon" else
                    "a section needs at least two vertices: pick the Section tool")
            raise MorvexError(f"{what} and click them on the image")
        page.draft = []
        try:
            self.add(kind, vertices)
        except MorvexError:
            page.look.redraw()  # the refused draft off the picture; the message says why
            raise

    # --- dragging a vertex -----------------------------------------------------------------

    def grab(self, x: float, y: float) -> bool:
        """A press on a probe's vertex (with a probe tool, no section being drawn) starts
        moving it; whether it did."""
        page = self.page
        if page.tool not in PROBE_TOOLS or page.draft or page.project.reference is None:
            return False
        return self.edits.grab(x, y, page.project.reference.shape)

    def drag_to(self, x: float, y: float) -> None:
        """The grabbed vertex follows the pointer on the image; values wait for the release."""
        self.edits.drag_to(x, y)

    def release(self, x: float, y: float) -> bool:
        """The end of a drag: the vertex kept where it was let go (or back where it was if
        the probe would not be valid there); whether a drag ended."""
        return self.edits.release(x, y)

    def delete(self, index: int) -> None:
        self.edits.delete(index)

    def rename(self, index: int, name: str) -> None:
        self.edits.rename(index, name, self.refresh_rows)

    def probe_typed(self, _event: Any = None) -> None:
        x, y = self.probe_x.value, self.probe_y.value
        if x is None or y is None:
            return
        probes = self.page.project.probes
        index = probes.last("point")
        if index is None:
            probes.add("point", [(float(x), float(y))])
        else:
            probes.set_points(index, [(float(x), float(y))])
        self._changed()

    def extensometer_typed(self, _event: Any = None) -> None:
        values = [self.gauge_inputs[n].value for n in _ENDS]
        if any(v is None for v in values):
            return
        x0, y0, x1, y1 = (float(v) for v in values)
        probes = self.page.project.probes
        index = probes.last("extensometer")
        if index is None:
            probes.add("extensometer", [(x0, y0), (x1, y1)])
        else:
            probes.set_points(index, [(x0, y0), (x1, y1)])
        self._changed()

    # --- values ---------------------------------------------------------------------------

    def _tables(self, dataset: Any) -> dict[str, pd.DataFrame | str]:
        """Each probe's columns from morvex.probe, or why it gives none (outside the grid)."""
        out: dict[str, pd.DataFrame | str] = {}
        for entry in self.page.project.probes.entries:
            try:
                out[entry.name] = probe(dataset, [entry.to_probe()])
            except MorvexError as error:
                out[entry.name] = str(error)
        return out

    def _sigmas(self, dataset: Any) -> dict[str, dict[str, np.ndarray]]:
        """Each probe's σ columns (see probe_sigma), none for a probe off the grid."""
        out: dict[str, dict[str, np.ndarray]] = {}
        for entry in self.page.project.probes.entries:
            try:
                out[entry.name] = probe_sigmas(dataset, entry.to_probe())
            except MorvexError:
                out[entry.name] = {}
        return out

    def refresh_rows(self, tables: dict[str, Any] | None = None,
                     position: int | None = None, dataset: Any = None,
                     sigmas: dict[str, dict[str, np.ndarray]] | None = None) -> None:
        from nicegui import ui

        page = self.page
        layout = (id(dataset), [(e.name, e.kind, e.points) for e in page.project.probes.entries])
        texts = self._texts(tables, position, sigmas)
        if tables is not None and layout == self._row_layout:
            # The same probes on the same data at another frame: only the values change, and
            # rebuilding 80 rows of controls cost a frame change most of its time. A label
            # whose text stays (a probe off the grid) sends nothing.
            for label, text in zip(self._value_labels, texts, strict=True):
                if label.text != text:
                    label.set_text(text)
            return
        self._row_layout = layout if tables is not None else None
        self._value_labels = []
        self.probe_rows.clear()
        with self.probe_rows:
            for index, entry in enumerate(page.project.probes.entries):
                where = _where(entry, dataset)
                with ui.row().classes("items-center gap-2 no-wrap").props(
                        f"data-testid=probe-row-{index}"):
                    ui.html(f"<span style='display:inline-block;width:12px;height:12px;"
                            f"background:{entry.colour}'></span>")
                    name = ui.input(value=entry.name).props(
                        f"dense data-testid=probe-name-{index}").classes("w-16")
                    name.on("change", page.guarded(
                        lambda e, i=index: self.rename(i, str(e.sender.value))))
                    ui.label(entry.kind).classes("text-xs w-20")
                    ui.label(where).classes("text-xs font-mono").props(
                        f"data-testid=probe-where-{index}")
                    self._value_labels.append(ui.label(texts[index]).classes(
                        "text-xs font-mono").props(
                        f"data-testid=probe-values-{index}"))
                    ui.button(icon="delete", on_click=page.guarded(
                        lambda i=index: self.delete(i))).props(
                        f"flat dense size=sm data-testid=probe-delete-{index}")

    def _texts(self, tables: dict[str, Any] | None, position: int | None,
               sigmas: dict[str, dict[str, np.ndarray]] | None) -> list[str]:
        """Each probe's values at the frame as its row shows them. For the tables of the last
        look they are kept per frame, from the tables' columns taken out of pandas once:
        formatting 80 rows through pandas cost a frame change a tenth of its time."""
        entries = self.page.project.probes.entries
        memo = self._memo
        if tables is None or position is None or tables is not memo.get("tables"):
            return [_values_text(None if tables is None else tables.get(e.name), position,
                                 e.name, (sigmas or {}).get(e.name, {})) for e in entries]
        texts: dict[int, list[str]] = memo.setdefault("texts", {})
        if position not in texts:
            columns = memo.setdefault("columns", {})
            row = []
            for entry in entries:
                table = memo["tables"].get(entry.name)
                if table is None or isinstance(table, str):
                    row.append(_values_text(table, position, entry.name, {}))
                    continue
                if entry.name not in columns:
                    columns[entry.name] = _columns(table, entry.name)
                row.append(_row_text(columns[entry.name], position,
                                     (sigmas or {}).get(entry.name, {})))
            texts[position] = row
        return texts[position]

    def _through_frames(self, dataset: Any) -> dict[str, Any]:
        """The probes' tables, σ, and every field at the points and along the sections
        through every frame: computed once per look at the store and probe list, on the
        variables they read taken into memory for that while. Computed from the store's
        reader frame by frame, 80 probes on 30 frames took 12 s a frame change, and reading
        the new field through every frame made most of a field change; picking from these
        takes nothing."""
        import json

        page = self.page
        probes = json.dumps(page.project.probes.to_json())
        key = (probes, page.field, page.strain_unit)
        memo = self._memo
        if memo.get("dataset") is dataset and memo.get("key") == key:
            return memo
        # Neither the tables nor the sampled fields depend on the field shown: another
        # field keeps them and reads nothing.
        same = memo.get("dataset") is dataset and memo.get("probes") == probes
        kept: dict[str, Any]
        if same:
            kept = {k: memo[k] for k in ("tables", "sigmas", "scale", "sampled", "texts",
                                         "columns") if k in memo}
        else:
            held = self.held(dataset, ("u", "v", "exx", "eyy", "exy", "valid", "sigma_u",
                                       "sigma_v", *FIELD_LABELS))
            kept = {"tables": self._tables(held), "sigmas": self._sigmas(held),
                    "scale": table_scale(held),
                    "sampled": sample_fields(held, page.project.probes.entries)}
        # The strain curves come from the tables alone: drawn again only for other tables or
        # another strain unit, not for another field.
        strains = same and memo.get("strain_unit") == page.strain_unit and memo.get("strains")
        self._memo = {"dataset": dataset, "key": key, "probes": probes, **kept, "maps": {},
                      "strain_unit": page.strain_unit, "strains": strains}
        return self._memo

    def held(self, dataset: Any, fields: tuple[str, ...] | None = None) -> Any:
        """The variables the probes read (or just `fields`), through every frame, in memory
        (the store's reader gives them frame by frame; morvex.probe reads each many times);
        the millimetre fields with them, which make the probes' units."""
        wanted = fields or ("u", "v", "exx", "eyy", "exy", "valid", "sigma_u", "sigma_v",
                            self.page.field)
        needed = [name for name in wanted if name in dataset]
        needed += [str(name) for name in dataset.data_vars if str(name).endswith("_mm")]
        return dataset[list(dict.fromkeys(needed))].compute()

    async def update_soon(self) -> None:
        """The probes after the store changed (a new frame of a run, a store opened): what they
        read through every frame is computed in a worker thread, then shown. On the event
        loop, 80 probes through 30 frames of 1024^2 px held every tab for a second or more at
        each frame a run wrote, and longer with every frame. Changes that come while a
        computation runs are folded into one more; until it lands the probes show the
        frames they had."""
        from nicegui import run

        if self._computing:
            self._wanted_again = True
            return
        self._computing = True
        try:
            while True:
                self._wanted_again = False
                dataset, _ = self.page.frame_data()
                if (dataset is not None and self.page.project.probes.entries
                        and await run.io_bound(self._through_frames, dataset) is None):
                    return  # the server is stopping
                current = self.page.frame_data()[0]
                if current is dataset:
                    self.update_probes()  # picks from what the thread computed
                if not self._wanted_again and current is dataset:
                    break
        finally:
            self._computing = False

    def update_after_picture(self) -> None:
        """The probes' values with the picture just drawn, in the same update, and their
        curves once the changes pause: a frame or field change shows its picture and values
        without waiting for four charts and the section maps to be drawn in the browser, and
        a hand stepping through frames is not kept waiting behind the curves of every frame
        it passes."""
        from nicegui import background_tasks

        self.page.guarded(self.update_probes)(values_only=True)
        self._changes += 1
        change = self._changes

        async def later() -> None:
            import asyncio

            await asyncio.sleep(_CURVES_AFTER_S)
            if change == self._changes:  # else a later change draws the curves
                self.page.guarded(self.update_probes)()

        background_tasks.create(later(), name="morvex-probes-update")

    def update_probes(self, *, redraw: bool = False, values_only: bool = False) -> None:
        """The probes' rows, values and plots at the shown frame; `redraw` draws the curves
        through every frame again though the probes and data did not change (test data);
        `values_only` leaves the curves, the section maps and the cracks as they are."""
        page = self.page
        dataset, position = page.frame_data()
        entries = page.project.probes.entries
        memo = (self._through_frames(dataset) if dataset is not None and entries
                else {"tables": {}, "sigmas": {}, "maps": {}})
        tables = memo.get("tables", {})
        self.tables = {k: v for k, v in tables.items() if not isinstance(v, str)}
        sigmas = memo.get("sigmas", {})
        self.refresh_rows(tables, position, dataset, sigmas)
        factor, unit = page.unit(page.field)
        strain_factor, strain_unit = unit_of("exx", page.strain_unit, None)
        frames = dataset["frame"].values.tolist() if dataset is not None else []
        label = FIELD_LABELS[page.field]
        points: Lines = []
        strains: Lines = []
        profiles: Lines = []
        # σ of a curve's values (display units, per frame) by the curve's name.
        line_sigmas: dict[str, np.ndarray] = {}
        self.probe_value.set_text("—")
        self.gauge_strain.set_text("—")
        newest_point = page.project.probes.last("point")
        newest_extensometer = page.project.probes.last("extensometer")
        maps: list[str] = []
        for index, entry in enumerate(entries):
            table = self.tables.get(entry.name)
            if dataset is None or table is None:
                continue
            if entry.kind == "point":
                # The shown field (any of them, nearest grid point) as the image shows it.
                sampled = memo["sampled"]["points"].get(page.field)
                if sampled is None:
                    continue  # a field this store does not hold
                series = sampled[entry.name] * factor
                points.append((f"{entry.name} {label} {unit}", frames, series, entry.colour))
                sigma = field_sigma(sigmas.get(entry.name, {}), page.field, *memo["scale"])
                if sigma is not None:
                    line_sigmas[points[-1][0]] = sigma * factor
                if index == newest_point:
                    value = series[position] if position is not None else math.nan
                    self.probe_value.set_text(with_uncertainty(
                        float(value), _at(sigma, position, factor)))
                    self.probe_unit.set_text(unit)
            elif entry.kind == "extensometer":
                strain = table[f"{entry.name} strain [%]"].to_numpy() / 100.0 * strain_factor
                strains.append((f"{entry.name} strain {strain_unit}", frames, strain,
                                entry.colour))
                if "strain [%]" in sigmas.get(entry.name, {}):
                    line_sigmas[strains[-1][0]] = (sigmas[entry.name]["strain [%]"] / 100.0
                                                   * strain_factor)
                if index == newest_extensometer:
                    value = strain[position] if position is not None else math.nan
                    sigma = sigmas.get(entry.name, {}).get("strain [%]")
                    self.gauge_strain.set_text(with_uncertainty(
                        float(value), _at(sigma, position, strain_factor / 100.0))
                                               + (f" {strain_unit}" if strain_unit else ""))
            else:
                for name in ("exx", "eyy"):
                    values = table[f"{entry.name} {name} [%]"].to_numpy() / 100.0
                    strains.append((f"{entry.name} mean {FIELD_LABELS[name]} {strain_unit}",
                                    frames, values * strain_factor, entry.colour))
                    if f"{name} [%]" in sigmas.get(entry.name, {}):
                        line_sigmas[strains[-1][0]] = (sigmas[entry.name][f"{name} [%]"]
                                                       / 100.0 * strain_factor)
                if entry.kind == "section" and not values_only:
                    maps.append(self._section(memo, entry, position, profiles))
        if values_only:
            return
        _plot(self.profile_chart, profiles, "", "")
        if redraw or not memo.get("drawn"):
            # Curves through every frame and the section maps do not change with the frame:
            # drawn once per look at the store, not at every frame change.
            _plot(self.series_chart, points, "frame", f"{label} [{unit}]" if unit else label,
                  line_sigmas)
            if redraw or not memo.get("strains"):
                _plot(self.strain_chart, strains, "frame",
                      f"strain [{strain_unit}]" if strain_unit else "strain", line_sigmas)
                memo["strains"] = bool(entries)
            self.section_image.set_content("".join(maps))
            self._update_curve(dataset)
            memo["drawn"] = bool(entries)
        page.cracks.update()  # the cracks follow the same frame and the same look at the store

    def _section(self, memo: dict[str, Any], entry: ProbeEntry, position: int | None,
                 profiles: Lines) -> str:
        """The section's profile in the shown frame (into `profiles`) and its position x frame
        map as an image."""
        page = self.page
        if entry.name not in memo["maps"]:
            quantity = section_quantity(page.field, memo["sampled"])
            memo["maps"][entry.name] = (quantity, memo["sampled"]["sections"].get(
                quantity, {}).get(entry.name, f"this store holds no {quantity}"))
        quantity, data = memo["maps"][entry.name][:2]
        factor, unit = page.unit(quantity)
        if isinstance(data, str):
            return f"<div class='text-xs'>{entry.name}: {data}</div>"
        along = data["position"].values
        length_unit = str(data["position"].attrs.get("units", "px"))
        values = np.asarray(data.values, dtype=float) * factor
        if position is not None:
            profiles.append((f"{entry.name} {FIELD_LABELS[quantity]} {unit} "
                             f"(position {length_unit})", along.tolist(), values[:, position],
                             entry.colour))
        if len(memo["maps"][entry.name]) == 3:
            return str(memo["maps"][entry.name][2])  # the map does not change with the frame
        low, high = limits(values)
        # Frames run left to right, position down the section: one pixel per sample.
        picture = data_url(png(field_rgba(values, low, high)))
        html = (f"<div class='text-xs' data-testid='section-map-{entry.name}'>{entry.name}: "
                f"{FIELD_LABELS[quantity]} {low:.4g} … {high:.4g} {unit}, position "
                f"0 … {along[-1]:.4g} {length_unit} (down) x frame (across)<br>"
                f"<img src='{picture}' style='width:100%;height:160px;"
                "image-rendering:pixelated'></div>")
        memo["maps"][entry.name] += (html,)
        return html

    # --- test data ------------------------------------------------------------------------

    def show_test_data(self) -> None:
        """The test-data boxes as the project kept them."""
        kept = self.page.project.test_data
        self.time_input.set_value(str(kept.get("time_column") or ""))
        self.times_select.set_value(kept.get("source") or "none")
        self.rate_input.set_value(kept.get("rate_hz"))
        self.start_input.set_value(kept.get("start_s", 0.0))
        self.area_input.set_value(kept.get("area_mm2"))

    def test_data_options(self) -> dict[str, Any]:
        """The probe table's test-data arguments (see morvex.probe_export.probe_table)."""
        from ...probe_export import FrameTimes

        project = self.page.project
        kept = project.test_data
        source = kept.get("source") or None
        options: dict[str, Any] = {"frame_times": FrameTimes(
            source, kept.get("rate_hz") if source == "rate" else None,
            float(kept.get("start_s") or 0.0))}
        if project.load_text:
            options["test_data"] = str(self.page.root.resolve(project.load_text,
                                                              "test-data file"))
            options["time_column"] = kept.get("time_column") or None
            if kept.get("area_mm2"):
                options["area_mm2"] = float(kept["area_mm2"])
                options["load_channel"] = kept.get("channel") or self.channel_select.value
        return options

    def load_curve(self) -> None:
        """Take the boxes, check they give channels at the frames, keep them."""
        page = self.page
        project = page.project
        source = self.times_select.value if self.times_select.value != "none" else None
        if source == "rate" and not self.rate_input.value:
            raise MorvexError("frame times from a frame rate need the rate in Hz")
        project.load_text = (self.load_input.value or "").strip()
        project.test_data = {
            "time_column": (self.time_input.value or "").strip() or None, "source": source,
            "rate_hz": float(self.rate_input.value) if source == "rate" else None,
            "start_s": float(self.start_input.value or 0.0),
            "area_mm2": float(self.area_input.value) if self.area_input.value else None,
            "channel": project.test_data.get("channel"),
            "against": project.test_data.get("against")}
        self.test_data_options()  # the path inside the project folder, the times' settings
        dataset, _ = page.frame_data()
        if dataset is not None and project.load_text:
            self._channels(dataset)
        project.save()
        page.clear_error()
        self.update_probes(redraw=True)

    def curve_choice(self) -> None:
        kept = self.page.project.test_data
        if (kept.get("channel"), kept.get("against")) == (self.channel_select.value,
                                                          self.against_select.value):
            return
        kept["channel"] = self.channel_select.value
        kept["against"] = self.against_select.value
        self.page.project.save()
        self.update_probes(redraw=True)

    def _channels(self, dataset: Any) -> tuple[dict[str, np.ndarray], np.ndarray | None]:
        """(each channel at each frame of `dataset`, the frame times or None)."""
        from ...testdata import read_test_data, synchronise

        options = self.test_data_options()
        times = options["frame_times"].times(dataset, self.page.project.store)
        if "test_data" not in options:
            return {}, times
        data = read_test_data(options["test_data"], options["time_column"])
        if data.time is None:
            return synchronise(data, frames=np.asarray(dataset["frame"].values)), times
        if times is None:
            raise MorvexError(f"{self.page.project.load_text} has a time column "
                              f"({data.time_column!r}): choose where the frame times come "
                              "from (a frame rate, the TIFF time stamps or the file times)")
        return synchronise(data, times), times

    def _update_curve(self, dataset: Any) -> None:
        from ...testdata import stress

        project = self.page.project
        kept = project.test_data
        if not project.load_text or dataset is None:
            self.data_label.set_text("")
            return
        import warnings

        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            channels, times = self._channels(dataset)
        names = list(channels)
        self.channel_select.set_options(names, value=kept.get("channel")
                                        if kept.get("channel") in names else names[0])
        columns = [(entry, column) for entry in project.probes.entries
                   if entry.name in self.tables
                   for column in self.tables[entry.name].columns
                   if column.startswith(f"{entry.name} ") and not column.endswith(
                       (" points", " samples"))]
        against = [column for _, column in columns]
        if "time [s]" not in against and times is not None:
            against.insert(0, "time [s]")
        wanted = kept.get("against")
        default = next((c for c in against if c.endswith("strain [%]")),
                       against[0] if against else None)
        self.against_select.set_options(against, value=wanted if wanted in against
                                        else default)
        channel = self.channel_select.value
        text = f"channels {', '.join(names)}"
        if times is not None:
            text += f"; frame times {times[0]:.6g} … {times[-1]:.6g} s"
        text += "".join(f"; {w.message}" for w in caught)
        self.data_label.set_text(text)
        column = self.against_select.value
        if channel is None or column is None:
            return
        y = channels[channel]
        y_name = channel
        if kept.get("area_mm2"):
            y = stress(y, float(kept["area_mm2"]), channel)
            y_name = "stress [MPa]"
        colour = ""
        if column == "time [s]":
            assert times is not None
            x = times
        else:
            entry = next(e for e, c in columns if c == column)
            x = self.tables[entry.name][column].to_numpy()
            colour = entry.colour
        _plot(self.curve_chart, [(f"{y_name} against {column}", list(x), y, colour)],
              column, y_name)


def _where(entry: ProbeEntry, dataset: Any) -> str:
    """The vertices in px, and in mm when the store is metric."""
    text = "px " + " ".join(f"({x:.1f}, {y:.1f})" for x, y in entry.points)
    if dataset is None:
        return text
    from ...probe import coordinates

    try:
        mm = coordinates(dataset, entry.to_probe())["mm"]
    except MorvexError:
        return text
    if mm is not None:
        text += "  mm " + " ".join(f"({x:.3f}, {y:.3f})" for x, y in mm)
    return text


def _values_text(table: Any, position: int | None, name: str,
                 sigmas: dict[str, np.ndarray]) -> str:
    """A probe's values at the frame, each rounded to its σ and followed by it."""
    if isinstance(table, str):
        return table
    if table is None or position is None:
        return ""
    return _row_text(_columns(table, name), position, sigmas)


def _columns(table: pd.DataFrame, name: str) -> list[tuple[str, np.ndarray]]:
    """A probe's columns (without its name) and their values through every frame."""
    return [(column[len(name) + 1:], table[column].to_numpy()) for column in table.columns
            if column.startswith(f"{name} ")]


def _row_text(columns: list[tuple[str, np.ndarray]], position: int,
              sigmas: dict[str, np.ndarray]) -> str:
    parts = []
    for label, values in columns:
        value = values[position]
        if label in ("points", "samples"):
            parts.append(f"{label} {int(value)}")
        else:
            sigma = _at(sigmas.get(label), position)
            parts.append(f"{label} {with_uncertainty(float(value), sigma)}")
    return "  ".join(parts)


def _at(sigma: np.ndarray | None, position: int | None, factor: float = 1.0) -> float | None:
    """A σ series' value at the frame, in display units (None when there is none)."""
    if sigma is None or position is None:
        return None
    value = abs(float(sigma[position]) * factor)
    return value if math.isfinite(value) and value > 0 else None


def _chart(title: str, x_name: str) -> Any:
    from nicegui import ui

    # No animation: each frame or field change would otherwise repaint every curve for a
    # third of a second, and a next change's picture would wait behind those repaints.
    return ui.echart({
        "animation": False,
        "title": {"text": title, "top": 0, "textStyle": {"fontSize": 12}},
        "tooltip": {"trigger": "axis"}, "legend": {"top": 22, "type": "scroll"},
        "toolbox": {"feature": {"saveAsImage": {"title": "PNG"}}},
        "grid": {"top": 62, "left": 60, "right": 20, "bottom": 40},
        "xAxis": {"type": "value", "name": x_name, "nameLocation": "middle",
                  "nameGap": 25, "scale": True},
        "yAxis": {"type": "value", "scale": True}, "series": []}).classes("h-56 w-full")


def _plot(chart: Any, lines: Lines, x_name: str, y_name: str,
          sigmas: dict[str, np.ndarray] | None = None) -> None:
    """The curves on `chart`; each value rounded to its σ (`sigmas` by curve name, per
    point) or to four significant digits, so the tooltip prints what is known."""
    if x_name:
        chart.options["xAxis"]["name"] = x_name
    if y_name:
        chart.options["yAxis"]["name"] = y_name
    sigmas = sigmas or {}
    chart.options["series"] = [
        {"name": name, "type": "line", "showSymbol": len(xs) < 60,
         **({"itemStyle": {"color": colour}, "lineStyle": {"color": colour}} if colour else {}),
         "data": _rounded(xs, np.asarray(ys, dtype=float), sigmas.get(name))}
        for name, xs, ys, colour in lines]
    chart.update()


def _rounded(xs: list[float], ys: np.ndarray, sigma: np.ndarray | None) -> np.ndarray:
    """[x, y] pairs for a chart: y rounded to its σ, x (when not a whole frame number) and
    a y without σ to four significant digits; NaN (a gap) goes as null. An array, not lists:
    the page observes every list put in a chart's options, 1,000 pairs cost it 20 ms."""
    out = np.empty((len(xs), 2))
    for k, (x, y) in enumerate(zip(xs, ys, strict=True)):
        x = float(x)
        out[k, 0] = x if x.is_integer() else float(to_uncertainty(x))
        out[k, 1] = (float(to_uncertainty(float(y), None if sigma is None else _at(sigma, k)))
                     if math.isfinite(y) else math.nan)
    return out
