"""One module per subcommand of the ``zel`` command: its arguments and its run."""
