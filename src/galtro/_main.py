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
    if args[:1] == ["hook"]:
        from galtro import _hook

        status = _hook.main(args[1:])
        if status is not None:
            return status
    from galtro.cli import main as cli_main

    return cli_main(args)
