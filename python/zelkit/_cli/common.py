"""What the subcommands share: error kinds, messages and argument types."""

from __future__ import annotations

import argparse
import sys


class UsageError(Exception):
    """The command line asks for something impossible (exit status 2)."""


class CommandFailed(Exception):
    """Some inputs could not be processed; already reported (exit status 1)."""


def describe(error: BaseException, path: str | None = None) -> str:
    """One readable line for an error, naming the file when known."""
    if isinstance(error, OSError):
        name = error.filename if error.filename is not None else path
        text = error.strerror if error.strerror and error.filename is not None else str(error)
        return f"{name}: {text}" if name is not None else text
    if isinstance(error, MemoryError):
        text = "not enough memory"
    else:
        text = " ".join(str(error).split()) or type(error).__name__
        if not isinstance(error, ValueError):
            text = f"{type(error).__name__}: {text}"
    return f"{path}: {text}" if path is not None else text


def report(message: str) -> None:
    print(f"zel: {message}", file=sys.stderr)


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


def int_list(text: str) -> list[int]:
    """A comma-separated list such as ``16,64,256``."""
    values = [_int(part) for part in text.split(",")]
    if any(value < 0 for value in values):
        raise argparse.ArgumentTypeError(f"expected non-negative integers, got {text!r}")
    return values


def _int(text: str) -> int:
    try:
        return int(text.strip())
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
