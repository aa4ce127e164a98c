"""The page: its route, the frame-picture route, and the layout that assembles the cards.

Every control talks to a Project (paths, settings, shapes, probes) and to the package (image
loading, speckle report, Job, store, exporters) through one card each (app/cards); this file
only places them: the inputs on the left, the picture, the probes and the exports on the
right.
"""

from __future__ import annotations

import threading

from .cards.cracks import CrackCard
from .cards.export import ExportCard
from .cards.look import IMAGES, LookCard
from .cards.mask import MaskCard
from .cards.pattern import PatternCard
from .cards.plane import PlaneCard
from .cards.probes import ProbeCard
from .cards.project import ProjectCard
from .cards.run import RunCard
from .paths import Root
from .results import warm_up
from .runs import trim_heap
from .state import PageState
from .view import SCRIPT as VIEW_SCRIPT

# A page asked for without a browser to show it (a script, a prefetch) never connects; NiceGUI
# keeps those for a minute. A browser connects within a few seconds even on a busy machine.
_UNCONNECTED_PAGE_SECONDS = 20.0
_CSS = (".mv-card{width:100%} .mv-mono{font-family:monospace;white-space:pre-wrap}"
        " .mv-view{overflow:auto;height:72vh;background:#222;position:relative}"
        " .mv-picture{margin:0 auto;width:100%}"
        " select.mv-select{border:1px solid #bbb;border-radius:4px;padding:4px}")


def register(root: Root) -> None:
    """Add the page and the frame-picture route to the NiceGUI application."""
    from fastapi import Response
    from nicegui import Client, app, ui

    @app.get("/morvex/image/{key}.png")
    def image(key: str) -> Response:
        data = IMAGES.get(key)
        if data is None:
            return Response(b"not found", status_code=404, media_type="text/plain")
        return Response(data, media_type="image/png",
                        headers={"cache-control": "private, max-age=3600"})

    def prune() -> None:
        before = len(Client.instances)
        Client.prune_instances(client_age_threshold=_UNCONNECTED_PAGE_SECONDS)
        if len(Client.instances) < before:
            # Off the event loop: the trim walks the heap, and releases the GIL meanwhile.
            threading.Thread(target=trim_heap, name="morvex-app-trim", daemon=True).start()

    @app.on_startup
    def prune_sooner() -> None:
        app.timer(5.0, prune)

    @app.on_startup
    def read_stores_sooner() -> None:
        threading.Thread(target=warm_up, name="morvex-app-warm-up", daemon=True).start()

    @ui.page("/")
    async def index() -> None:
        await Page(root).build()


class Page(PageState):
    """One browser tab's view: the shared state and its cards."""

    def __init__(self, root: Root) -> None:
        super().__init__(root)
        self.projects = ProjectCard(self)
        self.pattern = PatternCard(self)
        self.plane = PlaneCard(self)
        self.mask = MaskCard(self)
        self.run = RunCard(self)
        self.look = LookCard(self)
        self.probes = ProbeCard(self)
        self.cracks = CrackCard(self)
        self.export = ExportCard(self)

    async def build(self) -> None:
        """The header at once; the cards once the browser is connected.

        A page request answers with the header and the empty columns, and the cards follow
        over the page's connection: the request costs a fifth of the whole page, and a page
        asked for without a browser (a script, a prefetch) never builds its cards at all.
        """
        from nicegui import ui

        ui.add_css(_CSS)
        ui.add_body_html(VIEW_SCRIPT)
        with ui.header().classes("items-center bg-slate-800 py-1"):
            ui.label("Morvex").classes("text-lg font-bold")
            ui.label("digital image correlation").classes("text-sm opacity-70")
            ui.space()
            self.run.build_status()
        self.error_label = ui.label("").props("data-testid=error-message").classes(
            "w-full bg-red-100 text-red-900 p-2 rounded")
        self.error_label.set_visibility(False)
        with ui.row().classes("w-full no-wrap items-start gap-3"):
            inputs = ui.column().classes("w-[470px] shrink-0 gap-2")
            pictures = ui.column().classes("grow gap-2 min-w-0")
        client = ui.context.client
        try:
            await client.connected(timeout=_UNCONNECTED_PAGE_SECONDS)
        except TimeoutError:
            return  # nobody to show the page to; NiceGUI drops it
        if client.is_deleted:
            return  # pruned while it waited: its cards would be built for nobody
        # One reading order: down the inputs (1 to 4), then down the pictures (5 on).
        with inputs:
            for card in (self.projects, self.pattern, self.plane, self.mask, self.run):
                card.build()
        with pictures:
            for picture in (self.look, self.probes, self.cracks, self.export):
                picture.build()
        self.timer = ui.timer(0.5, self.guarded(self.run.poll))
        self.guarded(self.projects.browse)(".")
        self.guarded(self.projects.open_running)()
