"""``python -m plovera``: the command line, where the console script is not on PATH."""

import sys

from .cli import main

sys.exit(main())
