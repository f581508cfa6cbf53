"""``python -m zelkit`` runs the ``zel`` command."""

from .cli import main

raise SystemExit(main())
