"""``python -m quorvane_host``: see :mod:`quorvane_host.host`."""

import sys

from .host import main

sys.exit(main())
