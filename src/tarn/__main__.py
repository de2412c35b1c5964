"""``python -m tarn``: the same as the ``tarn`` command."""

import sys

from tarn.cli import main

sys.exit(main())
