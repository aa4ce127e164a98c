"""Card 3, the mask: shapes drawn on the image or a mask image; and what a click draws."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

from ..._errors import MorvexError
from ..mask import Shape
from ..state import PageState
from ..view import tool_call
from .probes import DRAWN_PROBES

if TYPE_CHECKING:
    from nicegui import ui


_MASK_TOOLS = ("rectangle", "circle", "polygon")


class MaskCard:
    cut_toggle: ui.toggle
    shape_list: ui.column
    mask_input: ui.input

    def __init__(self, page: PageState) -> None:
        self.page = page

    def build(self) -> None:
        from nicegui import ui

        page = self.page
        with ui.card().classes("mv-card"):
            ui.label("3. Mask").classes("font-bold")
            ui.label("Draw with the mask tools above the image: drag (rectangle, circle) or "
                     "click the corners (polygon, then Close); drag a corner to move it."
                     ).classes("text-xs opacity-70")
            self.shape_list = ui.column().classes("w-full gap-0")
            with ui.row().classes("w-full items-center no-wrap gap-1"):
                self.mask_input = ui.input("Mask image (non-zero = specimen)").props(
                    "dense data-testid=mask-path").classes("grow")
                ui.button("Load", on_click=page.guarded(self.load_mask)).props(
                    "dense data-testid=mask-load")

    def build_tools(self) -> None:
        """Add or cut, Close polygon and Clear: placed beside the image's tool chooser."""
        from nicegui import ui

        page = self.page
        self.cut_toggle = ui.toggle({False: "add specimen", True: "cut hole"},
                                    value=False).props("dense data-testid=mask-cut")
        self.cut_toggle.on_value_change(page.guarded(self.cut_changed))
        ui.button("Close polygon", on_click=page.guarded(self.close_polygon)).props(
            "dense flat data-testid=mask-close")
        ui.button("Clear", on_click=page.guarded(self.clear_mask)).props(
            "dense flat data-testid=mask-clear")

    def cut_changed(self, event: Any) -> None:
        self.page.cut = bool(event.value)
        self._tell_browser()

    def _tell_browser(self) -> None:
        """The tool and its colour, for the shape the browser shows while the hand draws."""
        from nicegui import ui

        page = self.page
        if page.project.reference is None:
            return
        colour = (("#ff5252" if page.cut else "#00e676") if page.tool in _MASK_TOOLS
                  else "#40c4ff")
        ui.run_javascript(tool_call(page.look.view_box.id, page.tool, colour))

    def _changed(self) -> None:
        self.page.project.save()
        self.refresh_shapes()
        self.page.look.redraw()

    def close_polygon(self) -> None:
        page = self.page
        if page.tool != "polygon" or len(page.draft) < 3:
            raise MorvexError("a polygon needs at least three corners: pick the Mask polygon "
                              "tool and click them on the image")
        self.add_shape(Shape("polygon", tuple(page.draft), page.cut))
        page.draft = []
        self._tell_browser()  # its corners so far are drawn by the picture now

    def add_shape(self, shape: Shape) -> None:
        self.page.project.shapes.append(shape)
        self._changed()

    def delete_shape(self, index: int) -> None:
        del self.page.project.shapes[index]
        self._changed()

    def flip_shape(self, index: int) -> None:
        shapes = self.page.project.shapes
        shape = shapes[index]
        shapes[index] = Shape(shape.kind, shape.points, not shape.cut)
        self._changed()

    def clear_mask(self) -> None:
        project = self.page.project
        project.shapes.clear()
        project.mask_image = None
        project.mask_text = ""
        self.mask_input.set_value("")
        self._changed()

    def load_mask(self) -> None:
        self.page.project.load_mask(self.mask_input.value or "")
        self.page.project.save()
        self.page.clear_error()
        self.refresh_shapes()
        self.page.look.redraw()

    def refresh_shapes(self) -> None:
        from nicegui import ui

        page, project = self.page, self.page.project
        self.shape_list.clear()
        with self.shape_list:
            if project.mask_image is not None:
                ui.label(f"mask image {project.mask_text or '(recorded in the store)'}: "
                         f"{project.mask_image.mean():.0%} specimen").classes("text-xs")
            for index, shape in enumerate(project.shapes):
                with ui.row().classes("items-center gap-1"):
                    ui.label(f"{'cut' if shape.cut else 'add'} {shape.kind} "
                             f"({len(shape.points)} points)").classes("text-xs font-mono")
                    ui.button("cut" if not shape.cut else "add", on_click=page.guarded(
                        lambda i=index: self.flip_shape(i))).props("flat dense size=sm")
                    ui.button(icon="delete", on_click=page.guarded(
                        lambda i=index: self.delete_shape(i))).props("flat dense size=sm")

    def tool_changed(self, event: Any) -> None:
        """A tool chosen (`event` None: the one held, told again to a picture just opened)."""
        if event is not None:
            self.page.tool = event.value
        self.page.draft, self.page.pressed = [], None
        self._tell_browser()
        self.page.look.redraw()

    def corner_moved(self, event: Any) -> None:
        """A polygon's corner dragged to a new place in the browser."""
        args = event.args if isinstance(event.args, dict) else {}
        shapes = self.page.project.shapes
        try:
            index, corner = int(args["shape"]), int(args["corner"])
            x, y = float(args["x"]), float(args["y"])
        except (KeyError, TypeError, ValueError):
            raise MorvexError(f"a corner's move {event.args!r} names no shape, corner and "
                              "place") from None
        if not (0 <= index < len(shapes) and shapes[index].kind == "polygon"
                and 0 <= corner < len(shapes[index].points)
                and math.isfinite(x) and math.isfinite(y)):
            raise MorvexError(f"no polygon corner {corner} of shape {index} to move")
        shape = shapes[index]
        points = list(shape.points)
        points[corner] = (x, y)
        shapes[index] = Shape(shape.kind, tuple(points), shape.cut)
        self._changed()

    def mouse(self, event: Any) -> None:
        """A press, release or move on the image: the chosen tool draws or reads there."""
        page = self.page
        x, y = float(event.image_x), float(event.image_y)
        image = page.project.reference
        if image is None:
            return
        if event.type == "mousemove":
            col, row = int(round(x)), int(round(y))
            if 0 <= row < image.shape[0] and 0 <= col < image.shape[1]:
                grey = page.background_image()[row, col]
                page.look.pointer_label.set_text(f"x {x:7.1f}, y {y:7.1f}, grey {grey:6.1f}")
            page.probes.drag_to(x, y)
            page.cracks.drag_to(x, y)
            return
        if event.type == "mousedown" and (page.probes.grab(x, y) or page.cracks.grab(x, y)):
            return
        if event.type == "mouseup" and (page.probes.release(x, y)
                                        or page.cracks.release(x, y)):
            return
        if event.shift or event.button == 1:
            return  # the view pans (app/view.py)
        if event.type == "mousedown":
            page.pressed = (x, y)
            if page.tool in DRAWN_PROBES and page.probes.stray_press(x, y):
                return
            if page.tool in ("polygon", "crack", *DRAWN_PROBES):
                page.draft.append((x, y))
                page.look.redraw()
            return
        if event.type == "dblclick" and page.tool in DRAWN_PROBES:
            page.probes.finish_drawing(ended_at=(x, y))
            return
        if event.type == "dblclick" and page.tool == "crack":
            page.cracks.finish()
            return
        if event.type != "mouseup" or page.pressed is None:
            return
        start, page.pressed = page.pressed, None
        end = (x, y)
        dragged = math.dist(start, end) >= 2.0
        tool = page.tool
        if tool == "probe":
            page.probes.place_point(x, y)
        elif tool == "seed":
            page.pattern.add_seed(x, y)
        elif tool == "scale" and dragged:
            page.plane.set_between(start, end)
        elif tool in ("rectangle", "circle") and dragged:
            self.add_shape(Shape(tool, (start, end), page.cut))
        elif tool == "gauge" and dragged:
            page.probes.place_gauge(start, end)
        elif tool == "extensometer" and dragged:
            page.probes.place_extensometer(start, end)
