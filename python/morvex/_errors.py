"""The one exception type for input the package cannot work with."""


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
