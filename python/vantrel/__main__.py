"""``python -m vantrel``: the command line of :mod:`vantrel.cli`."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
