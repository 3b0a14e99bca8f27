"""python -m py_narvo_pop: see py_narvo_pop.cli."""

import sys

from py_narvo_pop.cli import main

sys.exit(main())
