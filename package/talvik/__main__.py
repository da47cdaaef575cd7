"""``python -m talvik``: the ``talvik`` command."""

import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
