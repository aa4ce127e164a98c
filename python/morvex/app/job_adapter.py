"""The package's Job as the application uses it: the one place the page gets it from.

The application never measures anything itself: it starts, watches and cancels a Job and
reads what the Job wrote to its store.
"""

from __future__ import annotations

from ..job import FrameSummary, Job, JobProgress, JobState

__all__ = ["FrameSummary", "Job", "JobProgress", "JobState"]
