"""``python -m korvith``: the command line (see korvith.cli)."""

import sys

from korvith.cli import main

sys.exit(main())
