# pyright: strict
"""``python -m galtro``: the ``galtro`` command."""

import sys

from galtro._main import main

if __name__ == "__main__":
    sys.exit(main())
