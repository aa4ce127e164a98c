"""Millimetres on the specimen: calibrate the camera from target views in the project folder,
then the plane (a target image, or a known length), the axes, and rigid-motion removal."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ..._errors import MorvexError
from ..project import PLANE_SETTINGS, setting_help
from ..state import PageState

if TYPE_CHECKING:
    from nicegui import ui

# The boxes: setting, label, widget ("text", "number" or "check").
_BOXES = (("camera", "Camera file", "text"), ("plane", "Target on the specimen (image)", "text"),
          ("scale", "Known length (mm)", "number"), ("between", "between X0,Y0,X1,Y1 px", "text"),
          ("origin", "Origin X,Y px", "text"), ("axis", "+x axis point X,Y px", "text"),
          ("y_up", "y up", "check"), ("remove_rigid_motion", "remove rigid motion", "check"),
          ("strain_measures", "principal, shear, von Mises, log strain", "check"))
_TARGETS = ("chessboard", "circles", "asymmetric_circles", "charuco")
CAMERA_FILE = "camera.json"


def calibrate_in_folder(page: PageState, views: str, target: str, pattern: str,
                        spacing: float | None, marker: float | None = None,
                        dictionary: str = "") -> tuple[str, list[str]]:
    """Calibrate from the views `views` lists (a pattern or folder in the project folder) and
    write the camera file and its coverage plot beside them: (camera file as typed, summary).
    A ChArUco board's pattern counts squares; `marker` and `dictionary` (blank: the
    default) are its markers'.

    Raises:
        MorvexError: for views outside the folder or none, a bad pattern or spacing, or a
            calibration that fails (the target found in fewer than 3 views...).
    """
    from ...camera import (
        DEFAULT_DICTIONARY,
        calibrate,
        coverage_plot,
        parse_pattern,
        write_camera,
    )

    root = page.root
    if target not in _TARGETS:
        raise MorvexError(f"target must be one of {', '.join(_TARGETS)}, got {target!r}")
    if spacing is None or not spacing > 0:
        raise MorvexError(f"spacing must be a positive length in mm, got {spacing!r}")
    files = root.files(views.strip(), "calibration view")
    result = calibrate([str(f) for f in files], target=target,
                       pattern=parse_pattern(pattern), spacing=float(spacing),
                       marker=marker if target == "charuco" else None,
                       dictionary=dictionary.strip() or DEFAULT_DICTIONARY)
    output = root.resolve(CAMERA_FILE, "camera file", must_exist=False)
    write_camera(output, result.camera, dict(result.report))
    coverage_plot(result, output.with_suffix(".png"))
    report = result.report
    lines = [f"{CAMERA_FILE}: reprojection RMS {report['rms_px']:.3f} px over "
             f"{len(result.points)} of {len(files)} views"]
    lines += [f"left out {item['image']}: {item['reason']}" for item in report["left_out"]]
    lines += [f"warning: {text}" for text in report["warnings"]]
    return CAMERA_FILE, lines


class PlaneCard:
    boxes: dict[str, Any]
    calibration_label: ui.label

    def __init__(self, page: PageState) -> None:
        self.page = page
        self.boxes = {}

    def build(self) -> None:
        from nicegui import ui

        page = self.page
        changed = page.guarded(self.changed)
        with ui.expansion("Millimetres on the specimen").props(
                "dense data-testid=plane-card").classes("mv-card w-full"):
            with ui.row().classes("w-full items-end gap-1 no-wrap"):
                self.views_box = ui.input("Target views", placeholder="views/*.tif").props(
                    "dense data-testid=calibrate-views").classes("grow")
                self.target_box = ui.select(list(_TARGETS), value="chessboard").props(
                    "dense data-testid=calibrate-target")
                self.pattern_box = ui.input("cols x rows", value="9x6").props(
                    "dense data-testid=calibrate-pattern").classes("w-20")
                self.spacing_box = ui.number("mm", value=None, format="%.4g").props(
                    "dense data-testid=calibrate-spacing").classes("w-16")
                # A ChArUco board's markers: shown only when that target is chosen.
                self.marker_box = ui.number("marker mm", value=None, format="%.4g").props(
                    "dense data-testid=calibrate-marker").classes("w-20")
                self.dictionary_box = ui.input("dictionary", placeholder="DICT_5X5_100").props(
                    "dense data-testid=calibrate-dictionary").classes("w-32")
                for charuco_box in (self.marker_box, self.dictionary_box):
                    charuco_box.bind_visibility_from(self.target_box, "value",
                                             backward=lambda value: value == "charuco")
                ui.button("Calibrate", on_click=page.guarded(self.calibrate)).props(
                    "dense data-testid=calibrate")
            self.calibration_label = ui.label("").props(
                "data-testid=calibration-report").classes("mv-mono text-xs")
            with ui.grid(columns=2).classes("w-full gap-1"):
                for name, label, widget in _BOXES:
                    testid = f"dense data-testid=plane-{name.replace('_', '-')}"
                    if widget == "check":
                        box: Any = ui.checkbox(label).props(testid)
                    elif widget == "number":
                        box = ui.number(label, format="%.6g").props(testid)
                    else:
                        box = ui.input(label).props(testid)
                    box.tooltip(setting_help(name))
                    box.on_value_change(changed)
                    self.boxes[name] = box

    def show_project(self) -> None:
        """The boxes set from the project just opened."""
        wanted = dict(self.page.project.plane)
        for name, box in self.boxes.items():
            value = wanted.get(name)
            if isinstance(value, (tuple, list)):
                value = ",".join(f"{v:g}" for v in value)
            box.set_value(bool(value) if name in ("y_up", "remove_rigid_motion",
                                                   "strain_measures") else value or None)
        # Each box's handler reads every box: one set early would carry the old value of
        # one set later back into the project, so the project gets the copy back whole.
        self.page.project.plane.update(wanted)

    def set_between(self, start: tuple[float, float], end: tuple[float, float]) -> None:
        """The known length's ends, drawn on the picture with the Scale line tool."""
        self.boxes["between"].set_value(",".join(f"{v:.1f}" for v in (*start, *end)))
        self.changed()

    def values(self) -> dict[str, Any]:
        values: dict[str, Any] = {}
        for name in PLANE_SETTINGS:
            value = self.boxes[name].value
            values[name] = None if value in ("", None) else value
        return values

    def changed(self, _event: Any = None) -> None:
        """Keep what is typed (a length before its ends, a plane image before the camera)
        and say what the settings still lack; a run starts only once they go together."""
        from ...settings import Settings

        page, project = self.page, self.page.project
        project.plane.update(self.values())
        project.save()
        try:
            Settings.build(**{k: v for k, v in project.plane.items()
                              if v not in (None, "", False)})
        except MorvexError as error:
            page.error(f"millimetres on the specimen: {error}")
            return
        page.clear_error()

    async def calibrate(self) -> None:
        from nicegui import run

        page = self.page
        self.calibration_label.set_text("calibrating…")
        try:
            done = await run.io_bound(
                calibrate_in_folder, page, str(self.views_box.value or ""),
                str(self.target_box.value), str(self.pattern_box.value or ""),
                self.spacing_box.value, self.marker_box.value,
                str(self.dictionary_box.value or ""))
        except MorvexError:
            self.calibration_label.set_text("")
            raise
        if done is None:
            return  # the server is stopping
        camera, lines = done
        self.calibration_label.set_text("\n".join(lines))
        self.boxes["camera"].set_value(camera)
