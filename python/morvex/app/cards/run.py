"""Card 4, the run: start, cancel or stop the project's Job, and what it has measured."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ..._errors import MorvexError, StoreDamageError
from ..job_adapter import JobState
from ..project import DEFAULT_STORE
from ..results import Snapshot
from ..state import PageState

if TYPE_CHECKING:
    from nicegui import ui

_COLUMNS = [{"name": name, "label": label, "field": name, "align": "right"} for name, label in
            (("frame", "frame"), ("name", "name"), ("valid", "valid"),
             ("zncc", "median ZNCC"), ("sigma", "median σ px"), ("seconds", "s"))]


class RunCard:
    status_label: ui.label
    progress_label: ui.label
    watch_box: ui.checkbox
    points_bar: ui.linear_progress
    summary_table: ui.table

    def __init__(self, page: PageState) -> None:
        self.page = page
        self.last_done = -1
        self.last_state: Any = None
        self.last_version = -1
        self.landing = False  # to show the last frame measured once the run is not going on
        self.summary_job: Any = None  # the job whose summaries the table shows
        self.summary_rows: list[dict[str, Any]] = []
        self.summary_seen = 0  # of the job's summaries, those in the table

    def build_status(self) -> None:
        """The run's state and frame count, for the page's header."""
        from nicegui import ui

        ui.label("run:").classes("text-sm")
        self.status_label = ui.label("idle").props("data-testid=run-status").classes(
            "font-mono")
        self.progress_label = ui.label("0 / 0 frames").props(
            "data-testid=run-progress").classes("font-mono text-sm")

    def build(self) -> None:
        from nicegui import ui

        guarded = self.page.guarded
        with ui.card().classes("mv-card"):
            ui.label("4. Run").classes("font-bold")
            with ui.row().classes("items-center gap-1"):
                ui.button("Start", on_click=guarded(self.start_run)).props(
                    "data-testid=run-start color=positive")
                ui.button("Cancel", on_click=guarded(self.cancel_run)).props(
                    "data-testid=run-cancel color=negative")
                self.watch_box = ui.checkbox("watch folder").props("data-testid=run-watch")
                ui.button("Stop watching", on_click=guarded(self.stop_run)).props(
                    "flat dense")
            self.points_bar = ui.linear_progress(value=0, show_value=False).props(
                "instant-feedback")
            self.summary_table = ui.table(columns=_COLUMNS, rows=[], row_key="frame").props(
                "dense flat virtual-scroll data-testid=run-summary").classes(
                "w-full max-h-56 text-xs")

    async def start_run(self) -> None:
        from nicegui import run

        page = self.page
        project = page.project
        boxes = page.projects
        if project.reference is None:
            raise MorvexError("open a project first: reference and frames, or a store")
        # The run uses what the boxes show. The reference and frames make a project (its
        # size, grid and mask): they need Open. The store is only where results go: a name
        # typed there is where this run writes.
        for box, opened, what in ((boxes.reference_input, project.reference_text, "reference"),
                                  (boxes.frames_input, project.frames_text, "frames")):
            shown = (box.value or "").strip()
            if shown != opened:
                raise MorvexError(f"the {what} box shows {shown!r}, but the project open is "
                                  f"{opened!r}: press Open to use it, or put it back")
        typed = (boxes.store_input.value or "").strip() or DEFAULT_STORE
        if typed != project.store_text:
            project.use_store(typed)
            boxes.store_input.set_value(project.store_text)
            self.forget_run_view()
        page.pattern.settings_changed()
        if page.error_label.visible:
            return
        await run.io_bound(project.start, watch=bool(self.watch_box.value))
        page.clear_error()
        await self.poll()

    def _job(self) -> Any:
        project = self.page.project
        return project.job() if project.reference is not None else None

    def cancel_run(self) -> None:
        job = self._job()
        if job is None or job.state not in (JobState.QUEUED, JobState.RUNNING):
            raise MorvexError("no run is going on to cancel")
        job.cancel()

    def stop_run(self) -> None:
        job = self._job()
        if job is None:
            raise MorvexError("no run is going on")
        job.stop()

    def forget_run_view(self) -> None:
        """What the page showed of a run, forgotten: another store is shown from scratch."""
        self.last_done, self.last_state, self.last_version = -1, None, -1
        self.summary_job, self.summary_rows, self.summary_seen = None, [], 0
        self.summary_table.rows = []
        self.summary_table.update()

    async def poll(self) -> None:
        from nicegui import run

        project = self.page.project
        if project.reference is None:
            return
        # Off the event loop and shared with the other tabs on this store: the look reads
        # only frames completed since the last one.
        results = project.results()
        try:
            snapshot = await run.io_bound(results.refresh)
        except StoreDamageError:
            if results is project.results():
                # The reader kept nothing of the store: the picture and the probes go empty
                # with it, and the error line names the variable and the frame.
                self.show_run(results.snapshot())
            raise
        if snapshot is None or results is not project.results():
            return  # the server is stopping, or the page moved to another store meanwhile
        self.show_run(snapshot)

    def show_run(self, snapshot: Snapshot) -> None:
        from nicegui import background_tasks

        page = self.page
        job = page.project.job()
        stored_done, total = snapshot.done, len(page.project.frame_names)
        if job is None:
            state = "done" if total and stored_done == total else "idle"
            done, points = stored_done, None
        else:
            state = {JobState.QUEUED: "running"}.get(job.state, job.state.value)
            progress = job.progress
            done = max(progress.frames_done, stored_done)
            total = max(progress.frames_total, total)
            points = (progress.points_done / progress.points_total
                      if progress.points_total else None)
            if state == "failed" and job.error is not None and state != self.last_state:
                page.error(f"the run failed: {job.error}")
            self._show_summaries(job)
        self.status_label.set_text(state)
        self.progress_label.set_text(f"{done} / {total} frames")
        self.points_bar.set_value(points if points is not None else (done / total if total
                                                                    else 0))
        if (done, state, snapshot.version) != (self.last_done, self.last_state,
                                               self.last_version):
            if done >= 1 and self.last_done < 1:
                page.project.save()  # the store exists now: keep the project in it
            # The page lands where the measurement ends: on the last frame when a store is
            # opened (first look at it) and when a run of it finishes.
            if self.last_done < 0 or (state == "done" and self.last_state not in (None, "done")):
                self.landing = True
            if self.landing and state != "running":
                page.look.last_frame(snapshot)
                # A finished run's last frame may reach the store after its state: land again.
                self.landing = state == "done" and stored_done < total
            self.last_done, self.last_state, self.last_version = done, state, snapshot.version
            if page.look.stale():
                page.look.redraw()
            background_tasks.create(page.guarded(page.probes.update_soon)(),
                                    name="morvex-probes-after-store")

    def _show_summaries(self, job: Any) -> None:
        """Add the frames the job measured since the last poll to the table."""
        if job is not self.summary_job:
            self.summary_job, self.summary_rows, self.summary_seen = job, [], 0
        new = job.summaries_since(self.summary_seen)
        if not new and self.summary_table.rows is self.summary_rows:
            return
        self.summary_seen += len(new)
        self.summary_rows = sorted(self.summary_rows + [
            {"frame": s.frame, "name": s.name, "valid": f"{s.valid_share:.1%}",
             "zncc": f"{s.median_zncc:.4f}", "sigma": f"{s.median_sigma:.4f}",
             "seconds": f"{s.seconds:.2f}"} for s in new], key=lambda row: row["frame"])
        self.summary_table.rows = self.summary_rows
        self.summary_table.update()
