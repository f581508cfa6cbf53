"""The zel command: inspect, convert, compress, decompress, evaluate and view event files.

Exit status: 0 when everything worked, 1 when some input could not be
processed, 2 for a usage error. Errors are one line on stderr; --debug
shows the traceback instead.
"""

from __future__ import annotations

import argparse
import importlib
import signal
import sys
import warnings
from collections.abc import Sequence
from types import FrameType
from typing import Any, TextIO

from .common import CommandFailed, Terminated, UsageError, describe, report

PROG = "zel"

#: Subcommand -> (module under zelkit._cli, one-line help). A command's module
#: is imported only when that command runs (or shows its help), so `zel info`
#: never loads the evaluation, tqdm or zstandard.
COMMANDS: dict[str, tuple[str, str]] = {
    "info": ("info", "describe event files"),
    "convert": ("convert", "convert an event file to another format"),
    "compress": ("compress", "write .zel containers"),
    "decompress": ("decompress", "decode a .zel container to events or a grid"),
    "bench": ("bench", "evaluate compression over files and folders"),
    "view": ("view", "picture events beside their decoded occupancy"),
}


class _Parser(argparse.ArgumentParser):
    """Reports usage errors as one line and exit status 2."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _chosen_command(argv: Sequence[str]) -> str | None:
    """The subcommand argv names: the first word that is not an option."""
    for word in argv:
        if not word.startswith("-"):
            return word if word in COMMANDS else None
    return None


def build_parser(argv: Sequence[str]) -> argparse.ArgumentParser:
    # --debug is accepted before or after the subcommand; SUPPRESS keeps the
    # subcommand's copy from resetting a value given before it.
    debug = _Parser(add_help=False)
    debug.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                       help="show the full traceback of an error")
    parser = _Parser(prog=PROG, description=__doc__.split("\n\n")[0])
    parser.add_argument("--debug", action="store_true", default=False,
                        help="show the full traceback of an error")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)
    chosen = _chosen_command(argv)
    for name, (module_name, help_text) in COMMANDS.items():
        if name != chosen:
            # Listed in `zel --help`; never parsed, so it needs no arguments.
            subparsers.add_parser(name, help=help_text)
            continue
        command = importlib.import_module(f".{module_name}", __name__)
        sub = subparsers.add_parser(
            name, help=help_text, description=command.__doc__, parents=[debug],
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        command.add_arguments(sub)
        sub.set_defaults(run=command.run, parser=sub)
    return parser


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise Terminated()


class _WarningLines:
    """Shows each warning as the command's own one line, once: a command may
    read a file twice (once to describe it), and each reading warns."""

    def __init__(self) -> None:
        self.shown: set[str] = set()

    def __call__(self, message: Warning | str, category: type[Warning], filename: str, lineno: int,
                 file: TextIO | None = None, line: str | None = None) -> None:
        # News about the user's file, not about zelkit's source line.
        if str(message) not in self.shown:
            self.shown.add(str(message))
            report(str(message))


def _run(args: Any) -> int:
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        with warnings.catch_warnings():
            from .._camera_formats import SkippedDataWarning

            # What was skipped is part of the command's report, whatever
            # PYTHONWARNINGS says.
            warnings.simplefilter("default", SkippedDataWarning)
            warnings.showwarning = _WarningLines()
            return int(args.run(args))
    finally:
        signal.signal(signal.SIGTERM, previous)


def main(argv: Sequence[str] | None = None) -> int:
    words = list(sys.argv[1:] if argv is None else argv)
    args = build_parser(words).parse_args(words)
    try:
        return _run(args)
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
    except Terminated:
        if args.debug:
            raise
        print(f"{PROG}: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    except KeyboardInterrupt:
        if args.debug:
            raise
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except Exception as error:  # noqa: BLE001  (every fault becomes one line unless --debug)
        if args.debug:
            raise
        print(f"{PROG}: {describe(error)}", file=sys.stderr)
        return 1
