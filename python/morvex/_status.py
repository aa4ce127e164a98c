"""Why a grid point holds its value: the library's status codes as one enumeration.

Built from the list the extension exposes, so a code added in C++ appears here without an edit.
``NOT_MEASURED`` (255) is the package's own: a frame of a store that was never measured, or
one skipped because its file could not be read.
"""

from __future__ import annotations

import enum
from typing import TYPE_CHECKING

from . import _guided

LIBRARY_STATUSES: tuple[tuple[int, str], ...] = tuple(
    (int(code), str(name)) for code, name in _guided.STATUSES)

if TYPE_CHECKING:
    class Status(enum.IntEnum):
        """What a type checker sees: the members the package names in code. The enumeration
        itself is built from the extension's list below."""

        CONVERGED: int
        OUTSIDE_MASK: int
        FLAT_SUBSET: int
        CANCELLED: int
        NOT_MEASURED: int
else:
    Status = enum.IntEnum(
        "Status",
        [(name.upper(), code) for code, name in LIBRARY_STATUSES] + [("NOT_MEASURED", 255)])

# Space-separated names in code order, as CF's ``flag_meanings`` wants them.
STATUS_MEANINGS = " ".join(name for _, name in LIBRARY_STATUSES)
STATUS_CODES = tuple(code for code, _ in LIBRARY_STATUSES)

__all__ = ["Status", "STATUS_MEANINGS", "STATUS_CODES", "LIBRARY_STATUSES"]
