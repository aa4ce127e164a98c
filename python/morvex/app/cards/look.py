"""Card 5, the look: the frame with its field over it, the legend, and playback."""

from __future__ import annotations

import math
from collections import OrderedDict
from typing import TYPE_CHECKING, Any

import numpy as np

from ..._errors import MorvexError
from ..crack_overlay import crack_svg
from ..probe_overlay import probe_svg
from ..probes import field
from ..render import (
    colour_bar_html,
    data_url,
    field_limits,
    field_rgba,
    grey_png,
    png,
    svg_overlay,
    vector_arrows,
)
from ..state import FIELD_LABELS, PageState
from ..view import attach_call, view_from_browser

if TYPE_CHECKING:
    from nicegui import ui

TOOLS = {"probe": "Point", "section": "Section", "extensometer": "Extensometer",
         "gauge": "Strain gauge", "gauge_polygon": "Strain gauge (polygon)", "crack": "Crack",
         "rectangle": "Mask rectangle", "polygon": "Mask polygon",
         "circle": "Mask circle", "seed": "Seed (where to start)",
         "scale": "Scale line (known length)", "pan": "Pan (or Shift + drag)"}
# Frame pictures are served by URL (the browser caches them); the newest few stay in memory.
IMAGES: OrderedDict[str, bytes] = OrderedDict()
_IMAGE_CACHE = 48


# Half the colour span of a uniform field with no known uncertainty, in stored units, by the
# field's first letter: 0.01 % for a strain, 0.01 px for a displacement.
_DEFAULT_HALF = {"e": 1e-4, "u": 1e-2, "v": 1e-2, "m": 1e-2}


def _uncertainty(shown: Any, name: str) -> float | None:
    """The median σ of field `name` on the frame `shown` (stored units) when the store has
    it."""
    sigmas = {"u": ("sigma_u",), "v": ("sigma_v",), "magnitude": ("sigma_u", "sigma_v")}
    wanted = sigmas.get(name)
    if wanted is None or not all(k in shown for k in wanted):
        return None
    parts = [float(np.nanmedian(shown[k].values)) if np.isfinite(shown[k].values).any()
             else np.nan for k in wanted]
    sigma = float(math.hypot(*parts))
    return sigma if math.isfinite(sigma) and sigma > 0 else None


def _keep_image(key: str, data: bytes) -> None:
    IMAGES[key] = data
    IMAGES.move_to_end(key)
    while len(IMAGES) > _IMAGE_CACHE:
        IMAGES.popitem(last=False)


class LookCard:
    image: ui.interactive_image
    view_box: ui.element
    auto_box: ui.checkbox
    low_input: ui.number
    high_input: ui.number
    colour_bar: ui.html
    pointer_label: ui.label
    slider: ui.slider
    frame_input: ui.number
    frame_name: ui.label
    player: ui.timer

    def __init__(self, page: PageState) -> None:
        self.page = page
        # (store, epoch, frame) of the field in the picture: a frame measured stays as it is
        # while later frames arrive, so their arrival need not draw it again.
        self.field_drawn: tuple[Any, int, int] | None = None

    def build(self) -> None:
        from nicegui import ui

        page = self.page
        guarded = page.guarded
        with ui.card().classes("mv-card"):
            with ui.row().classes("w-full items-center gap-2"):
                ui.label("5. Look").classes("font-bold")
                ui.select(TOOLS, value="probe", label="click / drag draws").props(
                    "dense data-testid=tool").classes("w-44").on_value_change(
                    guarded(page.mask.tool_changed))
                # Beside the chooser: a polygon is clicked and closed without leaving the image.
                page.mask.build_tools()
                page.cracks.build_tools()
                ui.space()
                ui.button("Fit", on_click=self.fit).props(
                    "dense outline data-testid=view-fit").tooltip(
                    "the whole image in view; the wheel zooms about the pointer")
            with ui.row().classes("w-full items-center gap-2"):
                with ui.element("select").classes("mv-select").props(
                        "data-testid=field-select") as field_select:
                    for name, label in FIELD_LABELS.items():
                        option = ui.element("option").props(f"value={name}")
                        option._text = label
                        if name == page.field:
                            option.props("selected")
                field_select.on("change", guarded(self.field_changed),
                                js_handler="(e) => emit(e.target.value)")
                ui.select(["%", "µε", "1"], value="%", label="strain").props("dense").classes(
                    "w-20").on_value_change(guarded(lambda e: page.set("strain_unit", e.value)))
                ui.select({"reference": "over reference", "current": "over current frame"},
                          value="reference").props("dense").on_value_change(guarded(
                    lambda e: page.set("background", e.value)))
                ui.checkbox("vectors").on_value_change(guarded(
                    lambda e: page.set("vectors", e.value)))
            with ui.row().classes("w-full items-center gap-2"):
                self.auto_box = ui.checkbox("auto limits", value=True)
                self.auto_box.on_value_change(guarded(
                    lambda e: page.set("auto_limits", e.value)))
                self.low_input = ui.number("min", value=0.0, format="%.4g").props(
                    "dense data-testid=limit-low").classes("w-24")
                self.high_input = ui.number("max", value=1.0, format="%.4g").props(
                    "dense data-testid=limit-high").classes("w-24")
                for box in (self.low_input, self.high_input):
                    box.on("change", guarded(self.limits_changed))
                ui.label("opacity")
                ui.slider(min=0, max=1, step=0.05, value=page.opacity).classes(
                    "w-28").on_value_change(guarded(
                        lambda e: page.set("opacity", float(e.value))))
            with ui.element("div").classes("mv-view w-full").props(
                    "data-testid=image-box") as self.view_box:
                # Sized by the browser (app/view.py): no width here that a redraw would reset.
                self.image = ui.interactive_image(
                    "", content="", events=["mousedown", "mouseup", "mousemove", "dblclick"],
                    cross="#00e5ff", sanitize=False).props("data-testid=image-view").classes(
                    "mv-picture")
                self.image.on_mouse(guarded(page.mask.mouse))
            self.view_box.on("mvview", guarded(self.view_changed),
                             js_handler="(e) => emit(e.detail)")
            self.view_box.on("mvcorner", guarded(page.mask.corner_moved),
                             js_handler="(e) => emit(e.detail)")
            with ui.row().classes("w-full items-center gap-2"):
                self.colour_bar = ui.html("", sanitize=False).classes("grow")
                self.pointer_label = ui.label("x —, y —, grey —").classes(
                    "font-mono text-xs").props("data-testid=pointer")
            self._build_playback()

    def _build_playback(self) -> None:
        from nicegui import ui

        guarded = self.page.guarded
        with ui.row().classes("w-full items-center no-wrap gap-2"):
            ui.button(icon="play_arrow", on_click=guarded(self.toggle_play)).props(
                "dense flat data-testid=play")
            self.slider = ui.slider(min=0, max=1, value=0, step=1).props(
                "label data-testid=frame-slider").classes("grow")
            # The change event carries the value: the element's own value arrives
            # throttled and may still be the one before (keys pressed quickly).
            self.slider.on("change", guarded(
                lambda e: self.set_frame(int(e.args if isinstance(e.args, (int, float))
                                             else self.slider.value))))
            self.frame_input = ui.number("frame", value=0, min=0, step=1, format="%d").props(
                "dense data-testid=frame-index").classes("w-24")
            self.frame_input.on_value_change(guarded(self.frame_typed))
            self.frame_name = ui.label("").classes("text-xs font-mono")
        self.player = ui.timer(0.35, guarded(self.play_step), active=False)

    def show_project(self) -> None:
        """The slider and the picture sized for the project just opened, at its kept view."""
        from nicegui import ui

        project = self.page.project
        assert project.reference is not None
        count = len(project.frame_names)
        self.slider._props["max"] = max(count - 1, 1)
        self.slider.update()
        self.frame_input._props["max"] = count - 1
        self.frame_input.update()
        size = (project.reference.shape[1], project.reference.shape[0])
        self.image._props["size"] = size
        self.image.update()
        ui.run_javascript(attach_call(self.view_box.id, self.image.id, size, project.view))
        self.page.mask.tool_changed(None)

    def show_closed(self) -> None:
        """No project: an empty picture and legend."""
        self.page.frame = 0
        self.field_drawn = None
        self.image.set_source("")
        self.image.set_content("")
        self.colour_bar.set_content("")
        self.frame_name.set_text("")

    def last_frame(self, snapshot: Any) -> None:
        """Show the last frame measured (after a run, on reopening): the field at its end."""
        dataset = snapshot.dataset
        if dataset is None or not dataset.sizes.get("frame", 0):
            return
        last = int(np.max(dataset["frame"].values))
        if 0 <= last < len(self.page.project.frame_names):
            self.set_frame(last)

    def fit(self) -> None:
        from nicegui import ui

        ui.run_javascript(f"mvView.fit('c{self.view_box.id}')")

    def view_changed(self, event: Any) -> None:
        """The browser's zoom and pan, kept with the project (saved once a store exists)."""
        project = self.page.project
        if project.reference is None:
            return
        view = view_from_browser(event.args)
        if view != project.view:
            project.view = view
            project.save()

    def field_changed(self, event: Any) -> None:
        value = event.args
        if value not in FIELD_LABELS:
            raise MorvexError(f"unknown field {value!r}; choose one of "
                              + ", ".join(FIELD_LABELS))
        self.page.field = value
        self.page.auto_limits = True
        self.auto_box.set_value(True)
        self.redraw()
        self.page.probes.update_after_picture()

    def limits_changed(self, _event: Any = None) -> None:
        page = self.page
        low, high = self.low_input.value, self.high_input.value
        if low is None or high is None or not high > low:
            raise MorvexError(f"colour limits: max must be above min, got {low} and {high}")
        factor, _ = page.unit(page.field)
        page.low, page.high = low / factor, high / factor
        page.auto_limits = False
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
        page = self.page
        count = len(page.project.frame_names)
        if not 0 <= index < max(count, 1):
            raise MorvexError(f"frame {index} is outside the {count} frames (0 ... {count - 1})")
        if index == page.frame and not force:
            return
        step = 1 if index >= page.frame else -1
        page.frame = index
        if self.slider.value != index:
            self.slider.set_value(index)
        if self.frame_input.value != index:
            self.frame_input.set_value(index)
        self.frame_name.set_text(page.project.frame_names[index] if count else "")
        self.redraw()
        page.probes.update_after_picture()
        self._prefetch(index + step)

    def _prefetch(self, index: int) -> None:
        """The frame the hand (or playback) shows next decoded meanwhile, off the event loop."""
        from nicegui import background_tasks, run

        results = self.page.project.results()
        snapshot = results.snapshot()
        if snapshot.dataset is not None and 0 <= index < len(self.page.project.frame_names):
            background_tasks.create(run.io_bound(results.prefetch, snapshot.epoch, index),
                                    name="morvex-prefetch")

    def toggle_play(self) -> None:
        self.player.active = not self.player.active

    def play_step(self) -> None:
        count = len(self.page.project.frame_names)
        if count:
            self.set_frame((self.page.frame + 1) % count)

    def stale(self) -> bool:
        """Whether the picture may differ from what the store holds now for its frame."""
        results = self.page.project.results()
        return self.field_drawn != (results.path, results.snapshot().epoch, self.page.frame)

    def redraw(self) -> None:
        page = self.page
        project = page.project
        if project.reference is None:
            return
        shown = page.frame if page.background == "current" else "r"
        key = f"{page.key}-{page.background}-{shown}"
        if key not in IMAGES:
            _keep_image(key, grey_png(page.background_image()))
        source = f"/morvex/image/{key}.png"
        if self.image.source != source:
            self.image.set_source(source)
        field_url, field_box, vectors = self._field()
        grid = None
        if page.show_grid:
            try:
                grid = project.grid()
                page.pattern.grid_label.set_text(
                    f"{int(grid[2].sum())} of {grid[2].size} grid points on the mask")
            except MorvexError as error:
                page.pattern.grid_label.set_text(str(error))
        subset = None
        if page.show_subset:
            rows, cols = project.reference.shape
            subset = (cols / 2, rows / 2, int(project.settings["subset"]))
        side = float(max(project.reference.shape))
        self.image.set_content(svg_overlay(
            field_url=field_url, field_box=field_box, opacity=page.opacity, grid=grid,
            subset=subset, shapes=[s.to_json() for s in project.shapes], draft=page.draft,
            vectors=vectors, probes={}, image_side=side) + probe_svg(project.probes, side)
            + crack_svg(project.cracks, side, page.cracks.tips()))

    def _field(self) -> tuple[str | None, tuple[float, float, float, float] | None,
                              list[tuple[float, float, float, float]]]:
        """The current frame's field as a picture, where it lies, its arrows; and the legend."""
        page = self.page
        snapshot = page.project.results().snapshot()
        dataset, position = page.frame_data()
        self.field_drawn = None
        if dataset is None or position is None:
            self.colour_bar.set_content(
                "<span class='text-xs'>no results yet: start a run</span>" if dataset is None
                else f"<span class='text-xs'>frame {page.frame} is not measured yet</span>")
            return None, None, []
        factor, unit = page.unit(page.field)
        # The shown frame alone: the store's reader decodes one frame (or has it kept), where
        # a variable's values through every frame would decode the whole run on each change.
        shown = dataset.isel(frame=position)
        values = field(shown, page.field).values.astype(float)
        if page.field == "status":
            values = np.where(shown["status"].values == 255, np.nan, values)
        elif "valid" in shown:
            values = np.where(shown["valid"].values, values, np.nan)
        sigma = _uncertainty(shown, page.field)
        uniform = False
        if page.auto_limits:
            page.low, page.high, uniform = field_limits(
                values, sigma or 0.0, _DEFAULT_HALF.get(page.field[:1], 1e-3))
            self.low_input.set_value(round(page.low * factor, 6))
            self.high_input.set_value(round(page.high * factor, 6))
        rgba = field_rgba(values, page.low, page.high, status=page.field == "status")
        xs, ys = dataset["x"].values, dataset["y"].values
        step_x = float(xs[1] - xs[0]) if xs.size > 1 else 1.0
        step_y = float(ys[1] - ys[0]) if ys.size > 1 else 1.0
        box = (xs[0] - step_x / 2, ys[0] - step_y / 2, step_x * xs.size, step_y * ys.size)
        self.colour_bar.set_content(colour_bar_html(
            FIELD_LABELS[page.field], page.low * factor, page.high * factor, unit,
            status=page.field == "status", sigma=None if sigma is None else sigma * factor,
            note="uniform" if uniform else ""))
        vectors = (vector_arrows(shown["u"].values, shown["v"].values, xs, ys)
                   if page.vectors else [])
        if dataset is snapshot.dataset:
            self.field_drawn = (page.project.results().path, snapshot.epoch, page.frame)
        return data_url(png(rgba)), box, vectors
