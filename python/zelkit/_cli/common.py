"""What the subcommands share: error kinds, messages, argument types and reading options."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import TypeVar

from .._error_text import describe
from .._read_options import AUTO, ReadPlan, check_t_offset, plan_read

T = TypeVar("T")

__all__ = ["CommandFailed", "Terminated", "UsageError", "describe", "report"]


class UsageError(Exception):
    """The command line asks for something impossible (exit status 2)."""


class CommandFailed(Exception):
    """Some inputs could not be processed; the message is the line to print (exit status 1)."""


class Terminated(KeyboardInterrupt):
    """SIGTERM arrived: stop as for Ctrl-C, cleaning up on the way out."""


def report(message: str) -> None:
    """One line on stderr; through tqdm while a progress bar may be showing."""
    tqdm = sys.modules.get("tqdm")
    if tqdm is not None:
        tqdm.tqdm.write(f"zel: {message}", file=sys.stderr)
    else:
        print(f"zel: {message}", file=sys.stderr)


@contextlib.contextmanager
def naming(path: str) -> Iterator[None]:
    """Any failure inside becomes the one line that names ``path``."""
    try:
        yield
    except (UsageError, CommandFailed):
        raise
    except Exception as error:  # noqa: BLE001  (every fault of the file is reported as that file's)
        raise CommandFailed(describe(error, path)) from error


def install_hint(extra: str) -> str:
    """How to get an optional part, as the README says it."""
    return f"pip install 'zel[{extra}]' (from a checkout of zel: pip install '.[{extra}]')"


def require(module: str, what: str, extra: str) -> None:
    """Fail before any work, with the install hint, when an optional part is missing."""
    try:
        importlib.import_module(module)
    except ImportError:
        raise CommandFailed(f"{what} needs {module}: {install_hint(extra)}") from None


# The extension of zel's own containers. Those of occupancy frames are read
# as frames; an event store (events kept without loss) is an event file.
CONTAINER_EXTENSION = ".zel"


def is_container(path: str) -> bool:
    """True for a .zel file of occupancy frames (a lossy code)."""
    if not path.lower().endswith(CONTAINER_EXTENSION):
        return False
    from .._event_store import HEAD_BYTES, is_event_store
    from .._paths import head_of

    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | getattr(os, "O_NONBLOCK", 0))
    except OSError:
        return True  # the container reader reports what is wrong
    try:
        return not is_event_store(head_of(fd, HEAD_BYTES))
    finally:
        os.close(fd)


# ---------------------------------------------------------------- argument types


def _int(text: str) -> int:
    try:
        return int(text.strip())
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None


def positive_int(text: str) -> int:
    value = _int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def non_negative_int(text: str) -> int:
    value = _int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}")
    return value


def bounded_int(bounds: tuple[int, int]) -> Callable[[str], int]:
    """An integer within ``bounds`` (inclusive)."""
    low, high = bounds

    def parse(text: str) -> int:
        value = _int(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"expected an integer from {low} to {high}, got {text!r}")
        return value

    return parse


def int_list(text: str) -> list[int]:
    """A comma-separated list such as ``16,64,256``."""
    values = [_int(part) for part in text.split(",")]
    if any(value < 0 for value in values):
        raise argparse.ArgumentTypeError(f"expected non-negative integers, got {text!r}")
    return values


def check_bounds(option: str, values: Sequence[int], bounds: tuple[int, int]) -> None:
    low, high = bounds
    bad = [value for value in values if not low <= value <= high]
    if bad:
        raise UsageError(f"{option} values must be {low}..{high}, not {bad[0]}")


def format_name(*, writing: bool) -> Callable[[str], str]:
    """A format zelkit reads (or, ``writing``, writes), checked when the line is parsed."""
    from .._registry import get_format, format_names

    def parse(text: str) -> str:
        try:
            spec = get_format(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        if writing and spec.write is None:
            writable = ", ".join(repr(n) for n in format_names() if get_format(n).write is not None)
            raise argparse.ArgumentTypeError(f"format {text!r} cannot be written; written formats: {writable}")
        return text

    return parse


# ---------------------------------------------------------------- reading options


def _t_offset(text: str) -> int | str | None:
    if text in (AUTO, "first"):
        return text
    if text == "none":
        return None
    value = _int(text)
    try:
        check_t_offset(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected auto, first, none or an integer from 0 to 2**64-1, got {text!r}") from None
    return value


def add_read_arguments(parser: argparse.ArgumentParser, *, times: bool = True) -> None:
    parser.add_argument("--errors", choices=("strict", "skip"), default="strict",
                        help="skip: drop bad words, records or packets of camera files, counted on stderr, "
                             "instead of failing (default strict)")
    if times:
        parser.add_argument("--t-offset", type=_t_offset, default=AUTO, metavar="auto|first|N|none",
                            help="microseconds subtracted from 64-bit camera times: the first event's, N, or "
                                 "none; auto, the default, subtracts the first event's only when the times do "
                                 "not fit 32 bits")


def read_plan(path: str, args: argparse.Namespace, *, output: str | None = None,
              clock: tuple[int, int | None] | None = None, sized: bool = True) -> ReadPlan:
    """How to read ``path`` under the command's --errors and --t-offset, saying
    on stderr when its times had to be rebased. ``clock``: the camera times
    ``output`` holds, when it records a camera clock, and ``sized`` whether
    the caller needs the file's size (see plan_read)."""
    plan = plan_read(path, format=getattr(args, "source_format", None), errors=args.errors,
                     t_offset=getattr(args, "t_offset", AUTO), clock=clock, sized=sized)
    if plan.rebased_to_fit and plan.t_base is not None:
        report(rebase_note(path, plan.t_base, output if clock is not None else None))
    return plan


def rebase_note(path: str, t_base: int, output: str | None = None) -> str:
    """The one line that says a file's times were rebased to fit 32 bits, or
    the camera clock ``output`` can hold."""
    why = "they do not fit 32 bits" if output is None else f"{output} cannot hold its camera clock"
    return f"{path}: times rebased by {t_base:,} us, the first event's, as {why} (--t-offset chooses)"


def reading(path: str, chunks: Iterable[T]) -> Iterator[T]:
    """``chunks`` as they come, a failure to read one reported as ``path``'s."""
    iterator = iter(chunks)
    while True:
        with naming(path):
            try:
                chunk = next(iterator)
            except StopIteration:
                return
        yield chunk


def gather_inputs(paths: Sequence[str], debug: bool) -> tuple[list[str], int]:
    """The event files the named paths hold, and how many paths failed.

    A path that does not exist, or a folder with no readable file, is
    reported as one line and counted; the others go on.
    """
    from .._discover import find_inputs

    files: dict[str, str] = {}  # real path -> the path as found, so each file is read once
    failed = 0
    for given in paths:
        try:
            found = find_inputs([given])
        except OSError as error:
            if debug:
                raise
            report(describe(error, given))
            failed += 1
            continue
        if not found and os.path.isdir(given):
            report(f"no event files in {given}")
            failed += 1
        for path in found:
            files.setdefault(os.path.realpath(path), path)
    return list(files.values()), failed
