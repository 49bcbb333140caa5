"""`python -m dithering_tools`: the `dither` command."""

import sys

from .cli import main

sys.exit(main())
