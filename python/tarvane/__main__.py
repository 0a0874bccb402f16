"""``python -m tarvane``: the tarvane command line."""

from ._command import main

raise SystemExit(main())
