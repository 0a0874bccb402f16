"""``python -m tarvane``: the tarvane command line."""

from .cli import main

raise SystemExit(main())
