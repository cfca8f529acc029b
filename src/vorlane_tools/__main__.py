"""``python -m vorlane_tools``: the ``vorlane`` command."""

import sys

from vorlane_tools.cli import main

sys.exit(main())
