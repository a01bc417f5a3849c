# pyright: strict
"""The ``galtro`` command's entry point.

``galtro hook`` runs at every tool call of a coding agent, so it is answered here
without importing the full command line (``argparse`` and every command's modules);
every other command, and ``galtro hook --help``, goes to ``galtro.cli``.
"""

from __future__ import annotations

import sys
from typing import Optional, Sequence

__all__ = ["main"]


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line ``argv`` (default ``sys.argv[1:]``); returns the exit status."""
    args = list(sys.argv[1:] if argv is None else argv)
    from_hook = args[:1] == ["hook"]
    if from_hook:
        from galtro import _hook

        status = _hook.main(args[1:])
        if status is not None:
            return status
    from galtro.cli import main as cli_main

    status = cli_main(args)
    # A hook that exits with 2 blocks the agent's tool call, or drops its prompt: a
    # mistake in the hook's own command line is reported with 1, which blocks nothing.
    return 1 if from_hook and status == 2 else status
