"""The run layer: what to measure (plan), how one piece is measured on the worker side (the
frame pipeline, the start rule, chunk and chain tasks, tiles, the reference cache), and where
and in which order the pieces run (execute; watch for a growing folder). Front doors build a
plan and hand it to execute or watch; nothing here imports them, and only execute knows
Dask."""
