"""The run layer: what to measure (plan), how one piece is measured (tasks), where and in which
order the pieces run (execute). Front doors build a plan and hand it to execute; nothing here
imports them, and only execute knows Dask."""
