"""The hub's command line: python3 -m hub COMMAND (see --help)."""

import sys

from .cli import main

sys.exit(main())
