"""Card 1, the project: a file browser under the root, and the reference, frames and store."""

from __future__ import annotations

import contextlib
import pathlib
from typing import TYPE_CHECKING

from ..._errors import MorvexError
from ..runs import running_store
from ..state import PageState

if TYPE_CHECKING:
    from nicegui import ui

_ICONS = {"folder": "folder", "store": "inventory_2", "image": "image", "csv": "table_chart"}


class ProjectCard:
    folder_label: ui.label
    browser: ui.column
    reference_input: ui.input
    frames_input: ui.input
    store_input: ui.input

    def __init__(self, page: PageState) -> None:
        self.page = page
        self.folder = "."

    def build(self) -> None:
        from nicegui import ui

        guarded = self.page.guarded
        with ui.card().classes("mv-card"):
            ui.label("1. Project").classes("font-bold")
            ui.label(f"Folder: {self.page.root.path}").classes("text-xs opacity-70 break-all")
            with ui.row().classes("w-full items-center gap-1"):
                self.folder_label = ui.label(".").classes("font-mono text-sm grow")
                ui.button(icon="arrow_upward", on_click=guarded(self.browse_up)).props(
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
            ui.button("Open", on_click=guarded(self.open_project)).props(
                "data-testid=open-project")

    def browse(self, folder: str) -> None:
        from nicegui import ui

        page = self.page
        shown, entries = page.root.listing(folder)
        self.folder = shown
        self.folder_label.set_text(f"{shown}/")
        self.browser.clear()
        with self.browser:
            if not entries:
                ui.label("(no images, folders or stores here)").classes("text-xs p-1")
            for path, kind in entries:
                name = pathlib.PurePosixPath(path).name
                with ui.row().classes("w-full items-center gap-1 px-1 hover:bg-slate-100"):
                    ui.icon(_ICONS[kind]).classes("text-slate-500")
                    ui.label(name).classes("grow text-sm font-mono")
                    if kind == "folder":
                        ui.button("open", on_click=page.guarded(
                            lambda p=path: self.browse(p))).props("flat dense size=sm")
                        ui.button("frames", on_click=lambda p=path: self.frames_input.set_value(
                            p)).props("flat dense size=sm")
                    elif kind == "store":
                        ui.button("store", on_click=lambda p=path: self.store_input.set_value(
                            p)).props("flat dense size=sm")
                    elif kind == "image":
                        for label, box in (("ref", self.reference_input),
                                           ("frames", self.frames_input),
                                           ("mask", page.mask.mask_input)):
                            ui.button(label, on_click=lambda p=path, b=box: b.set_value(p)
                                      ).props("flat dense size=sm")
                    else:
                        ui.button("load", on_click=lambda p=path: page.probes.load_input
                                  .set_value(p)).props("flat dense size=sm")

    def browse_up(self) -> None:
        parent = pathlib.PurePosixPath(self.folder).parent.as_posix()
        self.browse("." if self.folder in (".", "") else parent)

    def open_project(self) -> None:
        from nicegui import background_tasks

        page = self.page
        project = page.project
        # On the event loop, as a click is: what the page does next (a setting typed, Start)
        # finds the project open. The store's frames are read by the poll, off the loop.
        try:
            project.open(self.reference_input.value or "", self.frames_input.value or "",
                         self.store_input.value or "")
        except Exception:
            # The open's own message is the one to show: one from emptying the page is not.
            with contextlib.suppress(MorvexError):
                self.show_closed()
            raise
        page.clear_error()
        self.reference_input.set_value(project.reference_text)
        self.frames_input.set_value(project.frames_text)
        self.store_input.set_value(project.store_text)
        page.mask.mask_input.set_value(project.mask_text)
        page.probes.load_input.set_value(project.load_text)
        page.pattern.show_project()
        page.plane.show_project()
        page.look.show_project()
        page.probes.show_project()
        page.cracks.show_project()
        page.run.forget_run_view()
        page.look.set_frame(0, force=True)
        page.mask.refresh_shapes()
        background_tasks.create(page.guarded(page.run.poll)(), name="morvex-poll")

    def show_closed(self) -> None:
        """The page emptied of the project that was open (an open failed): no image, mask,
        probes or run of another project left on screen."""
        page = self.page
        page.mask.mask_input.set_value("")
        page.mask.refresh_shapes()
        page.run.forget_run_view()
        page.run.status_label.set_text("idle")
        page.run.progress_label.set_text("0 / 0 frames")
        page.look.show_closed()
        page.cracks.refresh_rows()
        page.probes.update_probes()

    def open_running(self) -> None:
        """Open the store a run of this server is writing, if any: a tab reloaded during a
        run comes back to it, its progress and its frames."""
        store = running_store()
        if store is None or self.page.project.reference is not None:
            return
        self.reference_input.set_value("")
        self.frames_input.set_value("")
        self.store_input.set_value(self.page.root.relative(store))
        self.open_project()
