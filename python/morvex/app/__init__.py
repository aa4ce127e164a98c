"""``morvex app``: the whole measurement in a browser, as a view over the package's Job.

Nothing here measures: the page starts, watches and cancels a Job, reads results from its
store and writes files through the package's exporters. Files: server (token, binding),
paths (confinement to the root), project (state saved in the store, runs of the server),
mask (drawn shapes), probes (what they read), render (pictures), results (the store read
as it grows), page (the layout) over state (what a tab looks at) and cards (one module per
card), job_adapter (where the Job comes from).
"""

from .server import serve

__all__ = ["serve"]
