"""The ``zel`` command: inspect, convert, compress, decompress, evaluate and view.

Exit status: 0 when everything worked, 1 when some input could not be
processed, 2 for a usage error. Errors are one line on stderr; ``--debug``
shows the traceback instead.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from .commands import bench, compress, convert, decompress, info, view
from .commands.common import CommandFailed, UsageError, describe

PROG = "zel"
COMMANDS = (info, convert, compress, decompress, bench, view)


class _Parser(argparse.ArgumentParser):
    """Reports usage errors as one line and exit status 2."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    # --debug is accepted before or after the subcommand; SUPPRESS keeps the
    # subcommand's copy from resetting a value given before it.
    debug = _Parser(add_help=False)
    debug.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                       help="show the full traceback of an error")
    parser = _Parser(prog=PROG, description=__doc__.split("\n\n")[0])
    parser.add_argument("--debug", action="store_true", default=False,
                        help="show the full traceback of an error")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)
    for command in COMMANDS:
        sub = subparsers.add_parser(
            command.NAME, help=command.HELP, description=command.__doc__, parents=[debug],
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        command.add_arguments(sub)
        sub.set_defaults(run=command.run, parser=sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except UsageError as error:
        if args.debug:
            raise
        print(f"{args.parser.prog}: error: {error} (see '{args.parser.prog} --help')", file=sys.stderr)
        return 2
    except CommandFailed as error:
        if args.debug:
            raise
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        if args.debug:
            raise
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # noqa: BLE001  (every fault becomes one line unless --debug)
        if args.debug:
            raise
        print(f"{PROG}: {describe(error)}", file=sys.stderr)
        return 1

