"""Writes every study stream as packed 9-byte records for bench_context.

    python3 bench/context_study/dump_streams.py [--data DIR] [--out /tmp]

Prints the bench_context arguments (file, width, height) for the files.
"""
from __future__ import annotations

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from streams import streams  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", default="/work/shared/data")
    ap.add_argument("--out", default="/tmp")
    args = ap.parse_args()
    arguments = []
    for name, events, width, height in streams(args.data):
        path = pathlib.Path(args.out) / ("ctx_" + name.replace(" ", "_") + ".rec")
        events.tofile(path)
        arguments += [str(path), str(width), str(height)]
    print(" ".join(arguments))


if __name__ == "__main__":
    main()
