"""The package's exceptions: input it cannot work with, and stores it cannot trust."""


class MorvexError(ValueError):
    """Input that cannot be measured: a missing file, mismatched sizes, a bad setting.

    The message is one line that names the offending value and, where there is one, the fix.
    The command line prints it without a traceback and exits with code 2.
    """


class StoreMismatchError(MorvexError):
    """A results store that was written with other settings than the run asks for.

    ``differences`` maps each differing setting to ``(stored, requested)``.
    """

    def __init__(self, path: str, differences: dict[str, tuple[object, object]]) -> None:
        self.path = path
        self.differences = differences
        listed = "; ".join(f"{name}: {old!r} in the store, {new!r} now"
                           for name, (old, new) in differences.items())
        super().__init__(f"store {path} was written with other settings ({listed}); "
                         "use --overwrite (overwrite=True) to replace it, or another store")


class StoreDamageError(MorvexError):
    """A results store that does not hold what was written: a chunk that fails its checksum
    or cannot be decoded, a chunk missing from a frame marked complete, unreadable metadata.

    Its numbers are never served: every read of the store raises this instead. ``variable``
    and ``frame`` say where the damage is (None when it is not in one variable or frame).
    """

    def __init__(self, path: str, problem: str, variable: str | None = None,
                 frame: int | None = None) -> None:
        self.path, self.problem, self.variable, self.frame = path, problem, variable, frame
        super().__init__(f"store {path} is damaged: {problem}; measure the run again into "
                         "another store (or with --overwrite)")

    def __reduce__(self) -> tuple[type, tuple[str, str, str | None, int | None]]:
        # Raised on a cluster's worker, it crosses to the client whole.
        return type(self), (self.path, self.problem, self.variable, self.frame)


class StoreIOError(MorvexError):
    """A results store the operating system would not read or write: a full disk, a missing
    permission, a failing drive. ``errno`` is the system's code (``errno.ENOSPC``, ...).

    A failed write leaves the store as it was before the frame being written, so the same
    run resumes once the cause is gone.
    """

    def __init__(self, path: str, doing: str, reason: str, filename: str | None = None,
                 errno: int | None = None) -> None:
        self.path, self.doing, self.reason, self.filename = path, doing, reason, filename
        self.errno = errno
        where = f" ({filename})" if filename else ""
        resume = ("; the complete frames are kept, and the same command resumes after them"
                  if doing == "write" else "")
        super().__init__(f"cannot {doing} the store {path}: {reason}{where}{resume}")

    def __reduce__(self) -> tuple[type, tuple[str, str, str, str | None, int | None]]:
        return type(self), (self.path, self.doing, self.reason, self.filename, self.errno)
