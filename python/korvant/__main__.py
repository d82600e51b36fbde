"""`python -m korvant`: the `korvant` command (see korvant.cli)."""

import sys

from korvant.cli import main

sys.exit(main())
