"""Card 7, the cracks: lines drawn on the image, the opening along each, its tip over frames.

The list lives in the project (saved with the store). Every number shown comes from
:func:`morvex.crack.measure_cracks` on the store's dataset with its defaults, the numbers
``morvex crack`` prints; each crack is measured through every frame once per look at the store
(and again only when it is moved or the material changes), in a thread of its own so the page
keeps answering, and a frame change only picks a column.
"""

from __future__ import annotations

import contextlib
import math
import threading
from html import escape
from typing import TYPE_CHECKING, Any

import numpy as np

from ..._errors import MorvexError
from ..crack_list import clean_draft
from ..shape_list import ShapeEdits
from ..state import PageState

if TYPE_CHECKING:
    import xarray as xr
    from nicegui import ui

# A double click lands two presses on the same spot: vertices closer than this are one.
_SAME_VERTEX_PX = 2.0
PLANES = {"strain": "plane strain", "stress": "plane stress"}
# What a crack's entry holds while its measurement runs apart; shown as its message.
MEASURING = "measuring through every frame…"


class CrackCard:
    crack_rows: ui.column
    crack_select: ui.select
    young_input: ui.number
    poisson_input: ui.number
    plane_select: ui.select
    summary: ui.label
    timer: ui.timer
    profile_chart: ui.echart
    tip_chart: ui.echart
    k_chart: ui.echart
    table: ui.html

    def __init__(self, page: PageState) -> None:
        self.page = page
        # {(dataset id, crack's points, material): measure_cracks' result or its refusal}:
        # through every frame, so a frame change only reads another column.
        self._memo: dict[Any, Any] = {}
        self._memo_dataset: Any = None
        self._arrived = False  # a crack measured apart waits to be shown
        # The result the curves over frames were drawn from: a frame change leaves them.
        self._charted: Any = None
        self.edits = ShapeEdits(lambda: page.project.cracks, lambda: page.look.redraw(),
                               lambda: self._changed())

    def build(self) -> None:
        from nicegui import ui

        guarded = self.page.guarded
        with ui.card().classes("mv-card"):
            ui.label("7. Cracks").classes("font-bold")
            ui.label("Pick Crack above the image and click its vertices from the mouth to "
                     "the tip; a double click or Finish crack ends it. Drag a vertex to move "
                     "it. Find crack adds the cracks the shown frame's field shows."
                     ).classes("text-xs opacity-70")
            ui.button("Find crack", on_click=guarded(self.find)).props(
                "dense flat data-testid=crack-find")
            self.crack_rows = ui.column().classes("w-full gap-0").props(
                "data-testid=crack-list")
            with ui.row().classes("w-full items-center gap-2"):
                self.crack_select = ui.select([], label="crack").props(
                    "dense data-testid=crack-select").classes("w-36")
                self.crack_select.on_value_change(guarded(lambda _e: self.update()))
                self.young_input = ui.number("E MPa (for K)", format="%.6g").props(
                    "dense data-testid=crack-young").classes("w-28")
                self.poisson_input = ui.number("ν", format="%.4g").props(
                    "dense data-testid=crack-poisson").classes("w-20")
                self.plane_select = ui.select(PLANES, value="strain").props(
                    "dense data-testid=crack-plane").classes("w-32")
                for box in (self.young_input, self.poisson_input):
                    box.on("change", guarded(lambda _e: self.material_changed()))
                self.plane_select.on_value_change(guarded(lambda _e: self.material_changed()))
            self.summary = ui.label("").classes("text-xs font-mono").props(
                "data-testid=crack-summary")
            with ui.grid(columns=2).classes("w-full gap-2"):
                self.profile_chart = _chart("opening and sliding along the crack (shown frame)",
                                            "position")
                self.tip_chart = _chart("tip: length along the line over frames", "frame")
                self.k_chart = _chart("stress intensity over frames (with E and ν)", "frame")
            self.table = ui.html("").classes("w-full").props("data-testid=crack-table")
        self.timer = ui.timer(0.3, guarded(self._arrivals))

    def build_tools(self) -> None:
        """Finish crack: beside the image's tool chooser, where the vertices are clicked."""
        from nicegui import ui

        ui.button("Finish crack", on_click=self.page.guarded(self.finish)).props(
            "dense flat data-testid=crack-finish")

    # --- the list -------------------------------------------------------------------------

    def show_project(self) -> None:
        kept = self.page.project.crack_material
        self.young_input.set_value(kept.get("young"))
        self.poisson_input.set_value(kept.get("poisson"))
        self.plane_select.set_value(kept.get("plane") or "strain")
        self.refresh_rows()
        self.update()

    def _changed(self) -> None:
        self.page.project.save()
        self.refresh_rows()
        self.update()
        self.page.look.redraw()

    def finish(self) -> None:
        """The vertices clicked so far made a crack (checked by morvex.crack.crack_line)."""
        page = self.page
        if page.tool != "crack":
            raise MorvexError("a crack is drawn with the Crack tool: pick it above the image "
                              "and click the vertices from the mouth to the tip")
        vertices = clean_draft(page.draft, _SAME_VERTEX_PX)
        page.draft = []
        try:
            self.page.project.cracks.add([(round(x, 1), round(y, 1)) for x, y in vertices])
        finally:
            page.look.redraw()  # the refused line goes too: the hand starts again
        self._changed()

    async def find(self) -> None:
        """The cracks morvex.crack_find.find_cracks finds in the shown frame (placed by its
        images when the project has them), added as if drawn (named, coloured, kept with the
        store)."""
        from nicegui import run

        dataset, position = self.page.frame_data()
        if dataset is None or position is None:
            raise MorvexError("no results to find a crack in: start a run" if dataset is None
                              else f"frame {self.page.frame} is not measured yet")
        # Tracing the ridge takes seconds on a large grid: every tab stays live meanwhile.
        found = await run.io_bound(_find_with_images, self.page.project, self.page.frame,
                                   dataset, position)
        if found is None:
            return  # the server is stopping
        if not found:
            raise MorvexError(f"no crack found in frame {self.page.frame}: no band of "
                              "points whose subsets cross a discontinuity")
        try:
            for line in found:
                self.page.project.cracks.add([(round(x, 1), round(y, 1)) for x, y in line])
        finally:
            self._changed()

    def delete(self, index: int) -> None:
        self.edits.delete(index)

    def rename(self, index: int, name: str) -> None:
        self.edits.rename(index, name, self.refresh_rows)

    def grab(self, x: float, y: float) -> bool:
        """A press on a crack's vertex (with the Crack tool, no crack being drawn) starts
        moving it; whether it did."""
        page = self.page
        if page.tool != "crack" or page.draft or page.project.reference is None:
            return False
        return self.edits.grab(x, y, page.project.reference.shape)

    def drag_to(self, x: float, y: float) -> None:
        self.edits.drag_to(x, y)

    def release(self, x: float, y: float) -> bool:
        """The vertex kept where it was let go, or back where it was when the line would not
        be one crack_line takes there; whether a drag ended."""
        return self.edits.release(x, y)

    def refresh_rows(self) -> None:
        from nicegui import ui

        page = self.page
        cracks = page.project.cracks.entries
        self.crack_rows.clear()
        with self.crack_rows:
            for index, entry in enumerate(cracks):
                with ui.row().classes("items-center gap-2 no-wrap").props(
                        f"data-testid=crack-row-{index}"):
                    ui.html(f"<span style='display:inline-block;width:12px;height:12px;"
                            f"background:{escape(entry.colour, quote=True)}'></span>")
                    name = ui.input(value=entry.name).props(
                        f"dense data-testid=crack-name-{index}").classes("w-24")
                    name.on("change", page.guarded(
                        lambda e, i=index: self.rename(i, str(e.sender.value))))
                    ui.label("px " + " ".join(f"({x:.1f}, {y:.1f})" for x, y in entry.points)
                             ).classes("text-xs font-mono")
                    ui.button(icon="delete", on_click=page.guarded(
                        lambda i=index: self.delete(i))).props(
                        f"flat dense size=sm data-testid=crack-delete-{index}")
        names = [e.name for e in cracks]
        chosen = self.crack_select.value if self.crack_select.value in names else (
            names[-1] if names else None)
        self.crack_select.set_options(names, value=chosen)

    # --- measurements ---------------------------------------------------------------------

    def material_changed(self) -> None:
        young, poisson = self.young_input.value, self.poisson_input.value
        material = {"young": None if young is None else float(young),
                    "poisson": None if poisson is None else float(poisson),
                    "plane": self.plane_select.value}
        self._material(material)  # refused here, by name, before it is kept
        self.page.project.crack_material = material
        self.page.project.save()
        self.update()

    @staticmethod
    def _material(kept: dict[str, Any]) -> Any:
        from ...crack import Material

        young, poisson = kept.get("young"), kept.get("poisson")
        if young is None or poisson is None:
            return None
        return Material(float(young), float(poisson), str(kept.get("plane") or "strain"))

    def measured(self, name: str) -> xr.Dataset | str | None:
        """What measure_cracks gives crack `name` on the store through every frame (or why it
        gives nothing, or MEASURING while that runs); None without results or while the crack
        is being moved."""
        page = self.page
        dataset = page.project.dataset()
        entry = next((e for e in page.project.cracks.entries if e.name == name), None)
        if dataset is None or entry is None or self.edits.dragging is not None:
            return None
        if dataset is not self._memo_dataset:
            self._memo, self._memo_dataset = {}, dataset  # a new look at the store
        kept = page.project.crack_material
        key = (tuple(entry.points), kept.get("young"), kept.get("poisson"), kept.get("plane"))
        if key not in self._memo:
            # Off the event loop: one crack through 30 frames of a 1024 px store takes
            # seconds, and the page must keep answering meanwhile (see _arrivals).
            self._memo[key] = MEASURING
            threading.Thread(target=self._measure_apart, name="morvex-app-crack", daemon=True,
                             args=(dataset, key, list(entry.points), self._material(kept),
                                   page.project.settings.get("scale_mm_per_px"))).start()
        return self._memo[key]  # type: ignore[no-any-return]

    def _measure_apart(self, dataset: Any, key: Any, points: list[tuple[float, float]],
                       material: Any, scale_mm_per_px: float | None) -> None:
        result = _measure(dataset, points, material, scale_mm_per_px)
        if self._memo_dataset is dataset:  # else the store moved on: a newer look measures
            self._memo[key] = result
            self._arrived = True

    def _arrivals(self) -> None:
        """A crack measured apart is shown (its profile, and its tip on the image)."""
        if self._arrived:
            self._arrived = False
            self.update()
            self.page.look.redraw()

    def tips(self) -> dict[str, tuple[float, float]]:
        """Each crack's tip (x, y px) in the shown frame, where it is measured."""
        _, position = self.page.frame_data()
        out: dict[str, tuple[float, float]] = {}
        if position is None:
            return out
        for entry in self.page.project.cracks.entries:
            result = self.measured(entry.name)
            if result is not None and not isinstance(result, str):
                out[entry.name] = (float(result["tip_x"].values[0, position]),
                                   float(result["tip_y"].values[0, position]))
        return out

    def update(self) -> None:
        """The chosen crack's profile at the shown frame, its tip and K over frames."""
        page = self.page
        name = self.crack_select.value
        dataset, position = page.frame_data()
        result = self.measured(name) if name else None
        if result is None or position is None:
            self.summary.set_text("" if name is None else
                                  "no results yet: start a run" if dataset is None else
                                  f"frame {page.frame} is not measured yet")
            self._clear()
            return
        if isinstance(result, str):
            self.summary.set_text(f"{name}: {result}")
            self._clear()
            return
        factor, unit = page.unit("u")
        colour = next(e.colour for e in page.project.cracks.entries if e.name == name)
        s = result["s"].values[0]
        along = np.isfinite(s)
        s = s[along]
        opening = result["opening"].values[0, position][along]
        sliding = result["sliding"].values[0, position][along]
        length = float(result["length"].values[0, position])
        found = bool(result["tip_found"].values[0, position])
        frames = result["frame"].values.tolist()
        lengths = result["length"].values[0] * factor
        # Not found: open to the line's end (the crack runs on), or closed at the mouth.
        state = ("" if found else " (the crack runs past its line)" if math.isfinite(length)
                 else " (no open crack: closed from the mouth on)")
        text = (f"{name}, frame {page.frame}: tip x {_number(result['tip_x'].values[0, position])}"
                f" y {_number(result['tip_y'].values[0, position])} px{state}; length "
                f"{_number(length * factor)} {unit}, growth "
                f"{_number(float(result['growth'].values[0, position]) * factor)} {unit}; "
                f"lips read {result.attrs['distance_px']:g} px either side")
        if "K_I" in result:
            text += (f"; K_I {_number(result['K_I'].values[0, position])}, K_II "
                     f"{_number(result['K_II'].values[0, position])} MPa√m, T "
                     f"{_number(result['T'].values[0, position])} MPa, residual "
                     f"{_number(result['residual'].values[0, position])} mm")
        if result.attrs.get("k_note"):
            text += f"; {result.attrs['k_note']}"
        self.summary.set_text(text)
        _plot(self.profile_chart, [(f"opening [{unit}]", s * factor, opening * factor, colour),
                                   (f"sliding [{unit}]", s * factor, sliding * factor, "#888888")],
              f"position from the mouth [{unit}]", unit,
              mark=length * factor if math.isfinite(length) else None)
        if result is not self._charted:
            self._charted = result
            _plot(self.tip_chart, [(f"{name} length [{unit}]", frames, lengths, colour)],
                  "frame", f"length [{unit}]")
            k_lines = [] if "K_I" not in result else [
                ("K_I [MPa√m]", frames, result["K_I"].values[0], colour),
                ("K_II [MPa√m]", frames, result["K_II"].values[0], "#888888"),
                ("T [MPa]", frames, result["T"].values[0], "#40c4ff"),
                ("residual [mm]", frames, result["residual"].values[0], "#ffab40")]
            _plot(self.k_chart, k_lines, "frame", "")
        rows = "".join(f"<tr><td>{a * factor:.6g}</td><td>{o * factor:.6g}</td>"
                       f"<td>{g * factor:.6g}</td></tr>"
                       for a, o, g in zip(s, opening, sliding, strict=True))
        self.table.set_content(
            f"<details><summary class='text-xs'>{escape(name)}: the profile's numbers</summary>"
            f"<table class='text-xs font-mono' data-crack='{escape(name, quote=True)}'>"
            f"<tr><th>position [{unit}]</th><th>opening [{unit}]</th><th>sliding [{unit}]</th>"
            f"</tr>{rows}</table></details>")

    def _clear(self) -> None:
        self._charted = None
        for chart in (self.profile_chart, self.tip_chart, self.k_chart):
            _plot(chart, [], "", "")
        self.table.set_content("")


def _measure(dataset: Any, points: list[tuple[float, float]], material: Any,
             scale_mm_per_px: float | None) -> Any:
    """measure_cracks of one crack, or its message: a crack off the measured grid is said on
    the card and does not stop the others. A K that cannot be had (no scale, a fit refused)
    leaves the opening and the tip, with the reason in the result's ``k_note``."""
    from ...crack import measure_cracks

    note = ""
    # As measure_cracks reads a calibrated store: mm positions and mm displacements (the
    # page's look at a store may carry the positions alone; the scale stands in then).
    calibrated = "x_mm" in dataset.coords and "u_mm" in dataset
    if material is not None and not calibrated and not scale_mm_per_px:
        note = ("K needs lengths in mm: give the scale (mm per px) in the settings, or "
                "measure on the specimen plane")
        material = None
    try:
        result = measure_cracks(dataset, [points], material=material,
                                pixel_size_mm=None if calibrated or material is None
                                else scale_mm_per_px)
    except MorvexError as error:
        if material is None:
            return str(error)
        try:
            result = measure_cracks(dataset, [points])
        except MorvexError as again:
            return str(again)
        note = f"no K: {error}"
    if note:
        result.attrs["k_note"] = note
    return result


def _number(value: Any) -> str:
    value = float(value)
    return "—" if not math.isfinite(value) else f"{value:.4g}"


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


def _plot(chart: Any, lines: list[tuple[str, Any, Any, str]], x_name: str, y_name: str,
          mark: float | None = None) -> None:
    """Lines on the chart; `mark`: a vertical line there (the tip on a profile)."""
    if x_name:
        chart.options["xAxis"]["name"] = x_name
    if y_name:
        chart.options["yAxis"]["name"] = y_name
    series = [
        {"name": name, "type": "line", "showSymbol": len(xs) < 60,
         "itemStyle": {"color": colour}, "lineStyle": {"color": colour},
         "data": [[float(x), (float(y) if math.isfinite(y) else None)]
                  for x, y in zip(xs, np.asarray(ys, dtype=float), strict=True)]}
        for name, xs, ys, colour in lines]
    if series and mark is not None:
        series[0]["markLine"] = {"symbol": "none", "label": {"formatter": "tip"},
                                 "data": [{"xAxis": float(mark)}]}
    chart.options["series"] = series
    chart.update()


def _find_with_images(project: Any, frame: int, dataset: Any, position: int
                      ) -> list[list[tuple[float, float]]]:
    """find_cracks on the frame, placed by the reference and the frame's image when the
    project can read them (a store opened alone cannot: placed by the grid then)."""
    from ...crack_find import find_cracks

    images = None
    if project.reference is not None:
        with contextlib.suppress(MorvexError, OSError):
            images = (project.reference, project.frame_image(frame))
    return find_cracks(dataset, position, images=images)
