"""``python -m morvex``: the same command line as the ``morvex`` script."""

from .cli import main

main()
