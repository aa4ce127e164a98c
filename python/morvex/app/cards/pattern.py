"""Card 2, pattern and settings: the speckle report and the correlation's settings."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from ..._errors import MorvexError
from ..project import check_settings, defaults, setting_choices, setting_help
from ..runs import trim_heap
from ..state import PageState

if TYPE_CHECKING:
    from nicegui import ui

_NUMBERS = (("subset", "Subset (px, odd)", 2), ("step", "Step (px)", 1),
            ("min_zncc", "Min ZNCC", 0.05), ("strain_window", "Strain window (px)", 1),
            ("prefilter", "Prefilter σ (px)", 0.5),
            ("scale_mm_per_px", "mm per px (blank: px)", 0.001))
# The choices each list offers, from the settings' own rows.
_CHOICES = tuple((name, list(setting_choices(name)))
                 for name in ("interpolation", "strain_measure", "shape", "strain_source",
                              "feature_seeds"))
_WHOLE = ("subset", "step", "strain_window")


class PatternCard:
    report_label: ui.label
    incremental_box: ui.checkbox
    grid_label: ui.label

    def __init__(self, page: PageState) -> None:
        self.page = page
        self.report: dict[str, Any] | None = None
        # What the report shown (or being made) was made of: (subset, shapes, mask file).
        self.report_of: tuple[int, str, str] | None = None
        self._reports_asked = 0
        self.setting_inputs: dict[str, Any] = {}

    def build(self) -> None:
        from nicegui import ui

        page = self.page
        changed = page.guarded(self.settings_changed)
        values = defaults()
        with ui.card().classes("mv-card"):
            ui.label("2. Pattern and settings").classes("font-bold")
            self.report_label = ui.label("Open a project to see its speckle report.").props(
                "data-testid=speckle-report").classes("mv-mono text-xs")
            with ui.grid(columns=2).classes("w-full gap-1"):
                for name, label, step in _NUMBERS:
                    box = ui.number(label, value=values[name], step=step).props(
                        f"dense data-testid=setting-{name.replace('_', '-')}")
                    if name != "scale_mm_per_px":
                        box.tooltip(setting_help(name))
                    box.on_value_change(changed)
                    self.setting_inputs[name] = box
                for name, options in _CHOICES:
                    testid = f"dense data-testid=setting-{name.replace('_', '-')}"
                    choice = ui.select(options, value=values[name],
                                       label=name.replace("_", " ")).props(testid)
                    choice.tooltip(setting_help(name))
                    choice.on_value_change(changed)
                    self.setting_inputs[name] = choice
            self.seeds_box = ui.input(
                "Seeds: X,Y or X,Y,U,V px, separated by ; (or the Seed tool on the image)"
            ).props("dense data-testid=setting-seeds").classes("w-full")
            self.seeds_box.tooltip(setting_help("seeds"))
            self.seeds_box.on("change", changed)
            with ui.row().classes("gap-3"):
                self.incremental_box = ui.checkbox(
                    "incremental (large deformation)").on_value_change(changed)
                ui.checkbox("subset", value=True).on_value_change(page.guarded(
                    lambda e: page.set("show_subset", e.value)))
                ui.checkbox("grid preview").props("data-testid=show-grid").on_value_change(
                    page.guarded(lambda e: page.set("show_grid", e.value)))
            self.grid_label = ui.label("").classes("text-xs")

    def show_project(self) -> None:
        """The boxes set from the project just opened, and its speckle report."""
        project = self.page.project
        # Each box's change handler reads every box into the project: from a copy, a box set
        # early cannot carry the old value of one set later back into the settings.
        wanted, incremental = dict(project.settings), project.incremental
        for name, box in self.setting_inputs.items():
            box.set_value(wanted[name])
        self.seeds_box.set_value(seeds_text(wanted["seeds"]))
        self.incremental_box.set_value(incremental)
        if project.settings != wanted or project.incremental != incremental:
            project.settings.update(wanted)
            project.incremental = incremental
            project.save()
        image = project.reference
        assert image is not None
        self.speckle(image)

    def _report_key(self) -> tuple[int, str, str]:
        import json

        project = self.page.project
        return (max(int(project.settings["subset"]), 2),
                json.dumps([shape.to_json() for shape in project.shapes]), project.mask_text)

    def speckle(self, image: np.ndarray) -> None:
        """Make the speckle report of `image` in a worker thread; the label shows it when it
        is done. A second of work on a large image: on the event loop it would hold every tab
        of the server, and a report asked for later replaces one still being made."""
        from nicegui import background_tasks, run

        from ...speckle import report_lines, speckle_report

        page, project = self.page, self.page.project
        key = self.report_of = self._report_key()
        subset = key[0]
        self._reports_asked += 1
        asked = self._reports_asked

        def make() -> dict[str, Any]:
            # Only the specimen counts: the mask as drawn when the report is asked for.
            report = speckle_report(image, subset=subset, mask=project.mask())
            # Its temporaries (a few image-sized arrays) were freed into this worker's own
            # malloc arena, which glibc would otherwise keep for good.
            trim_heap()
            return report

        async def show() -> None:
            report = await run.io_bound(make)
            if report is None or asked != self._reports_asked:
                return  # the server is stopping, or a newer report is on its way
            self.report = report
            rows, cols = report["shape"]
            self.report_label.set_text("\n".join(
                [f"{cols} x {rows} px, {len(project.frame_names)} frames",
                 *(line.strip() for line in report_lines(report, subset, width=None))]))

        background_tasks.create(page.guarded(show)(), name="morvex-speckle-report")

    def add_seed(self, x: float, y: float) -> None:
        """A seed where the image was clicked (the Seed tool): the correlation starts there."""
        text = str(self.seeds_box.value or "").strip().rstrip(";")
        self.seeds_box.set_value(f"{text}; {x:.0f},{y:.0f}" if text else f"{x:.0f},{y:.0f}")
        self.settings_changed()

    def settings_changed(self, _event: Any = None) -> None:
        page, project = self.page, self.page.project
        values = {}
        for name, box in self.setting_inputs.items():
            value = box.value
            if isinstance(value, float) and value.is_integer() and name in _WHOLE:
                value = int(value)
            if name == "scale_mm_per_px" and value in (None, "", 0):
                value = None
            values[name] = value
        try:
            values["seeds"] = parse_seeds(str(self.seeds_box.value or ""))
        except MorvexError as error:
            values["seeds"] = ()
            self.seeds_box._props["error"] = True
            self.seeds_box._props["error-message"] = str(error)
            self.seeds_box.update()
            page.error(str(error))
            return
        self.seeds_box._props.pop("error", None)
        self.seeds_box.update()
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
            page.error("; ".join(errors.values()))
            return
        project.settings.update(values)
        project.incremental = bool(self.incremental_box.value)
        project.save()
        if project.reference is not None:
            try:
                project.grid()
            except MorvexError as error:
                page.error(str(error))
                page.look.redraw()
                return
            if self.report_of is not None and self.report_of != self._report_key():
                self.speckle(project.reference)
        page.clear_error()
        page.look.redraw()


def parse_seeds(text: str) -> list[list[float]]:
    """Seeds typed as "X,Y; X,Y,U,V" (px), each checked by the settings' own rule.

    Raises:
        MorvexError: naming the seed that is not two or four finite numbers.
    """
    from ...settings import Settings

    seeds = []
    for part in (p.strip() for p in text.split(";")):
        if not part:
            continue
        try:
            seeds.append([float(v) for v in part.split(",")])
        except ValueError:
            raise MorvexError(f"seed {part!r}: give X,Y or X,Y,U,V in px") from None
    Settings.build(seeds=seeds)
    return seeds


def seeds_text(seeds: Any) -> str:
    """Seeds as the box shows them."""
    return "; ".join(",".join(f"{v:g}" for v in seed) for seed in seeds or ())
