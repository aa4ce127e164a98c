"""Card 7, export: the results as CSV, VTK or NetCDF, and the probes' series as CSV."""

from __future__ import annotations

import functools
import pathlib
from typing import TYPE_CHECKING

from ..._errors import MorvexError
from ..state import PageState

if TYPE_CHECKING:
    from nicegui import ui


class ExportCard:
    export_label: ui.label

    def __init__(self, page: PageState) -> None:
        self.page = page

    def build(self) -> None:
        from nicegui import ui

        guarded = self.page.guarded
        with ui.card().classes("mv-card"):
            ui.label("7. Export").classes("font-bold")
            with ui.row().classes("gap-1"):
                for kind, label in (("csv", "Results CSV"), ("vtk", "VTK"),
                                    ("netcdf", "NetCDF")):
                    ui.button(label, on_click=guarded(functools.partial(self.export, kind))).props(
                        f"dense data-testid=export-{kind}")
                ui.button("Probes CSV", on_click=guarded(self.export_probes)).props(
                    "dense data-testid=export-probes")
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

    def export_probes(self) -> None:
        """The probes CSV as ``morvex probe`` writes it: the definitions and units in ``#``
        lines, the frame times and test-data channels the probe card is set to."""
        from nicegui import ui

        from ...probe_export import probe_table, write_csv

        page = self.page
        project = page.project
        dataset = project.dataset() if project.reference is not None else None
        if dataset is None or not project.probes:
            raise MorvexError("nothing to export yet: run, then place a probe or a gauge")
        table, comments = probe_table(dataset, project.probes.probes(), store=project.store,
                                      **page.probes.test_data_options())
        target = write_csv(table, comments, self._folder() / "probes.csv")
        ui.download.file(target)
        self.export_label.set_text(f"wrote {self.page.root.relative(target)}")


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
