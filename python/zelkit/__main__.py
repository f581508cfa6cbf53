"""``python -m zelkit`` runs the ``zel`` command."""

from ._cli import main

raise SystemExit(main())
