"""Card 7, export: the results as CSV, VTK or NetCDF, the probes' series as CSV, and the
test report (HTML) with the probes' curves."""

from __future__ import annotations

import functools
import pathlib
import threading
from typing import TYPE_CHECKING, Any

from ..._errors import MorvexError
from ..state import PageState

if TYPE_CHECKING:
    from nicegui import ui

# Matplotlib's figure manager is one per process: two tabs' reports drawn at once would share it.
_DRAWING = threading.Lock()


class ExportCard:
    export_label: ui.label

    def __init__(self, page: PageState) -> None:
        self.page = page

    def build(self) -> None:
        from nicegui import ui

        guarded = self.page.guarded
        with ui.card().classes("mv-card"):
            ui.label("8. Export").classes("font-bold")
            with ui.row().classes("gap-1"):
                for kind, label in (("csv", "Results CSV"), ("vtk", "VTK"),
                                    ("netcdf", "NetCDF")):
                    ui.button(label, on_click=guarded(functools.partial(self.export, kind))).props(
                        f"dense data-testid=export-{kind}")
                ui.button("Probes CSV", on_click=guarded(self.export_probes)).props(
                    "dense data-testid=export-probes")
                ui.button("Report", on_click=guarded(self.export_report)).props(
                    "dense data-testid=export-report")
            self.export_label = ui.label("").classes("text-xs break-all")
            ui.label("Plots: the camera icon on each plot saves it as PNG.").classes(
                "text-xs opacity-70")

    def _folder(self) -> pathlib.Path:
        return self.page.root.export_folder(self.page.project.store)

    async def export(self, kind: str) -> None:
        from nicegui import run, ui

        page, project = self.page, self.page.project
        if project.reference is None:
            raise MorvexError("nothing to export yet: run the measurement first")
        folder = self._folder()
        stem = project.store.name.removesuffix(".zarr")
        # Off the event loop: the whole store is read (every variable, which the tabs' shared
        # reader does not keep) and written out, seconds for a long run.
        written = await run.io_bound(_export, project.store, kind, folder, stem)
        if written is None:
            return  # the server is stopping
        if kind == "csv":
            ui.download.file(written[0])
        self.export_label.set_text(f"wrote {len(written)} file(s): "
                                   f"{page.root.relative(written[0])}"
                                   + (" ..." if len(written) > 1 else ""))
        page.clear_error()

    async def export_report(self) -> None:
        from nicegui import run, ui

        page, project = self.page, self.page.project
        if project.reference is None:
            raise MorvexError("nothing to report yet: run the measurement first")
        dataset = project.dataset()
        series = (self._probe_table(dataset)[0] if dataset is not None and project.probes
                  else None)
        target = self._folder() / "report.html"
        # Off the event loop: every figure is drawn and encoded, seconds for a large image.
        written = await run.io_bound(_report, project.store, target, series)
        if written is None:
            return  # the server is stopping
        ui.download.file(written)
        self.export_label.set_text(f"wrote {page.root.relative(written)}")
        page.clear_error()

    def export_probes(self) -> None:
        """The probes CSV as ``morvex probe`` writes it: the definitions and units in ``#``
        lines, the frame times and test-data channels the probe card is set to."""
        from nicegui import ui

        from ...probe_export import write_csv

        page = self.page
        project = page.project
        dataset = project.dataset() if project.reference is not None else None
        if dataset is None or not project.probes:
            raise MorvexError("nothing to export yet: run, then place a probe or a gauge")
        table, comments = self._probe_table(dataset)
        target = write_csv(table, comments, self._folder() / "probes.csv")
        ui.download.file(target)
        self.export_label.set_text(f"wrote {self.page.root.relative(target)}")

    def _probe_table(self, dataset: Any) -> Any:
        """The placed probes' values and test data, one row per complete frame, and the
        definition lines of the CSV: what the probes CSV and the report's curves hold."""
        from ...probe_export import probe_table

        page = self.page
        return probe_table(page.probes.held(dataset), page.project.probes.probes(),
                           store=page.project.store, **page.probes.test_data_options())


def _report(store: pathlib.Path, target: pathlib.Path, series: Any) -> pathlib.Path:
    """The store's test report written to `target`, with `series` (the probes) if any."""
    from ...report import write_report

    with _DRAWING:
        return write_report(store, target, series=series)[0]


def _export(store: pathlib.Path, kind: str, folder: pathlib.Path,
            stem: str) -> list[pathlib.Path]:
    """The store's complete frames written as `kind` into `folder`; the files written."""
    from ...export import to_csv, to_netcdf, to_vtk
    from ...store import Store

    handle = Store(store)
    if not handle.exists() or not handle.complete().any():
        raise MorvexError("nothing to export yet: run the measurement first")
    dataset = handle.read()
    if kind == "csv":
        return [to_csv(dataset, folder / f"{stem}.csv")]
    if kind == "netcdf":
        return [to_netcdf(dataset, folder / f"{stem}.nc")]
    return list(to_vtk(dataset, folder / stem))
