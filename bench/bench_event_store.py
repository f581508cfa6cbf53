"""The .zel event store end to end from Python, beside the general compressors.

    python3 bench/bench_event_store.py [--repeats N] [--rounds R] [--big-events N] [--convert-gib G] [--write]

For every real recording in ../shared/data and the synthetic davis-like
streams (as bench_lossless.py picks them), prints the stored file's
bits/event (blocks, index and header included) and, in M events/s:
zelkit.save to .zel, zelkit.load of it on one thread and on every core,
zelkit.load of the recording's own camera file (the speed to match), and
xz -9, brotli -11 (pip install .[bench]) and zstd -19 decompressing the
9-byte records. Every load is checked to give back the same array. zel's
figures and the peers' are the best of R rounds in which they take turns on
each stream, as in bench_lossless.py.

Then, on a davis-like stream of --big-events events (12M: a dozen blocks),
coding and decoding in memory on one thread and on every core (the blocks
shared out), the two taking turns for R rounds. --convert-gib G writes a G GiB EVT 2.0 recording and converts
it with `zel convert` to .zel and back, each in a child process, reporting
its peak resident memory (the whole process, interpreter included) and
checking that the recording comes back byte for byte after its header
(whose date line differs). --write replaces this
script's section of bench/RESULTS.md.
"""
import argparse
import datetime
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

import numpy as np

import zelkit

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_lossless import DATA, REAL, best, peers, repeats_for, synthetic_streams, write_section  # noqa: E402
from synthetic import davis_like  # noqa: E402
from zelkit import _native  # noqa: E402
from zelkit._chunked_save import save_chunks  # noqa: E402

BEGIN = "<!-- bench_event_store.py: begin -->"
END = "<!-- bench_event_store.py: end -->"


def streams():
    """(label, events, camera file or None, its load options)."""
    for label, name, options in REAL:
        path = DATA / name
        if path.exists():
            yield label, zelkit.load(path, **options), path, options
    for label, events, _ in synthetic_streams():
        yield label, events, None, {}


def as_events(records):
    events = np.empty(len(records), dtype=zelkit.EVENT_DTYPE)
    for name in zelkit.EVENT_DTYPE.names:
        events[name] = records[name]
    return events


def threads_table(n, repeats, cores, rounds):
    """Coding and decoding a many-block stream on 1 thread and on every core,
    the two taking turns for `rounds` rounds (best of each): the host's speed
    drifts over seconds, and one thread count timed after the other measured
    that drift in the ratio (1.55x to 2.00x over five alternating rounds of
    one store, 2026-12-10)."""
    events = as_events(davis_like(n, duration_us=n))
    block = _native.DEFAULT_BLOCK_EVENTS
    versions = {"modelled": _native.BLOCK_VERSION, "fast": _native.FAST_BLOCK_VERSION}
    code_s, decode_s = {}, {}
    for _ in range(rounds):
        for kind, version in versions.items():
            for threads in (1, cores):
                seconds, data = best(repeats, lambda: _native.encode_event_store(events, 346, 260, block, threads,
                                                                                 version))
                code_s[kind, threads] = min(code_s.get((kind, threads), seconds), seconds)
                store = zelkit.decode_events(data)
                seconds, back = best(repeats, lambda: store.to_events(threads=threads))
                decode_s[kind, threads] = min(decode_s.get((kind, threads), seconds), seconds)
                assert np.array_equal(back, events)
    lines = [f"Davis-like stream of {n:,} events ({-(-n // block)} blocks), in memory, M events/s:", "",
             "| blocks | threads | code | decode |", "|---|---|---|---|"]
    for kind in versions:
        lines += [f"| {kind} | {t} | {n / code_s[kind, t] / 1e6:.1f} | {n / decode_s[kind, t] / 1e6:.1f} |"
                  for t in (1, cores)]
    lines.append("")
    lines += [f"{kind} blocks, {cores} threads against 1: code {code_s[kind, 1] / code_s[kind, cores]:.2f}x, "
              f"decode {decode_s[kind, 1] / decode_s[kind, cores]:.2f}x." for kind in versions]
    return lines


# Runs the zel command and prints its peak resident memory on exit. The
# kernel's high-water mark of the process (VmHWM) is read in the process
# itself: a parent's rusage would count the pages the child had between
# fork and exec, which are the parent's.
PEAK_OF_COMMAND = """
import runpy, sys
sys.argv = ["zel", *sys.argv[1:]]
try:
    runpy.run_module("zelkit", run_name="__main__")
finally:
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    print(peak / 1024, file=sys.stderr)
"""


def command_peak_mib(args):
    """Wall seconds and peak resident MiB of the zel command run with args."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", PEAK_OF_COMMAND, *args], capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode:
        raise SystemExit(f"zel {' '.join(args)} failed: {done.stderr}")
    return seconds, float(done.stderr.split()[-1])


def convert_table(gib, folder):
    """A G GiB EVT 2.0 recording to .zel and back with `zel convert`."""
    raw, store, back = folder / "big.raw", folder / "big.zel", folder / "back.raw"
    chunk = 1_000_000

    def chunks():
        k = 0
        while k * chunk * 4 < gib * 2**30:  # EVT 2.0 takes about 4 bytes an event
            events = as_events(davis_like(chunk, 640, 480, duration_us=chunk))
            events["t"] += k * chunk  # one event a microsecond
            yield events
            k += 1

    save_chunks(raw, chunks(), width=640, height=480)
    n = zelkit.info(raw).n_events
    # The headers differ only in the date line the writer stamps.
    body = raw.read_bytes().split(b"% end\n", 1)[1]
    rows, same, bits = [], True, {}
    for fast in ([], ["--fast"]):
        there_s, there_mib = command_peak_mib(["convert", str(raw), str(store), *fast])
        bits[bool(fast)] = 8 * store.stat().st_size / n
        back_s, back_mib = command_peak_mib(["convert", str(store), str(back)])
        same = same and back.read_bytes().split(b"% end\n", 1)[1] == body
        name = ".zel, `--fast`" if fast else ".zel"
        rows += [f"| .raw to {name} | {there_s:.1f} | {n / there_s / 1e6:.1f} | {there_mib:.0f} MiB |",
                 f"| {name} to .raw | {back_s:.1f} | {n / back_s / 1e6:.1f} | {back_mib:.0f} MiB |"]
    lines = [f"`zel convert` of a {raw.stat().st_size / 2**30:.2f} GiB EVT 2.0 recording ({n:,} events, "
             f"640x480) to .zel ({bits[False]:.2f} bits/event; {bits[True]:.2f} with `--fast`) and back"
             f" ({'the same events, byte for byte after the header' if same else 'NOT the same events'}):", "",
             "| conversion | wall s | M events/s | peak resident memory |", "|---|---|---|---|", *rows]
    for path in (raw, store, back):
        path.unlink()
    assert same
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--big-events", type=int, default=12_000_000)
    parser.add_argument("--convert-gib", type=float, default=0)
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args()
    load_at_start = os.getloadavg()[0]
    cores = zelkit._event_store.default_threads()
    lines = [
        f"bits/event of the .zel file; M events/s of save, load (1 thread / {cores}), the camera file's "
        f"zelkit.load, and decompression by the peers (best of {args.rounds} rounds of {args.repeats} runs, up to "
        "50 on short streams, zel and the peers taking turns on each stream; peers compress once).",
        "",
        "| stream | events | .zel bits/event | vs xz -9 | save | load, 1 thread | load, "
        f"{cores} threads | camera file load | xz -9 | brotli -11 | zstd -19 |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    fast_lines = [
        "The same files saved with `fast=True` (fast blocks), in the same turns: bits/event, M events/s, and "
        "one thread's load against the peers' decompression and the camera file's load.",
        "",
        f"| stream | fast bits/event | vs xz -9 | save | load, 1 thread | load, {cores} threads | "
        "1 thread / zstd -19 | 1 thread / xz -9 | 1 thread / camera file |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for label, events, camera, options in streams():
            n = len(events)
            paths = {fast: pathlib.Path(tmp) / f"s{int(fast)}.zel" for fast in (False, True)}
            path = paths[False]
            repeats = repeats_for(n, args.repeats)
            seconds = {(fast, key): [] for fast in paths for key in ("save", "one", "all")}
            seconds["camera"] = []

            def zel_turn():
                for fast, stored in paths.items():
                    seconds[fast, "save"].append(best(repeats, lambda: zelkit.save(stored, events, fast=fast))[0])
                    for key, threads in (("one", 1), ("all", cores)):
                        spent, back = best(repeats, lambda: zelkit.load(stored, threads=threads))
                        assert np.array_equal(back, events)
                        seconds[fast, key].append(spent)
                if camera is not None:
                    seconds["camera"].append(best(repeats, lambda: zelkit.load(camera, **options))[0])

            others = peers(events.tobytes(), repeats, args.rounds, between=zel_turn)
            save_s, one_s, all_s = (min(seconds[False, key]) for key in ("save", "one", "all"))
            camera_cell = f"{n / min(seconds['camera']) / 1e6:.0f}" if seconds["camera"] else ""
            bits = 8 * path.stat().st_size / n
            xz_bits = 8 * others["xz -9"][0] / n

            def peer(name):
                if name not in others:
                    return "n/a"
                size, _, decode_s = others[name]
                return f"{8 * size / n:.2f} ({n / decode_s / 1e6:.0f})"

            row = [label, f"{n:,}", f"**{bits:.2f}**", f"{bits / xz_bits:.3f}x", f"{n / save_s / 1e6:.1f}",
                   f"{n / one_s / 1e6:.1f}", f"{n / all_s / 1e6:.1f}", camera_cell,
                   peer("xz -9"), peer("brotli -11"), peer("zstd -19")]
            lines.append("| " + " | ".join(row) + " |")
            print(lines[-1], flush=True)
            fast_save, fast_one, fast_all = (min(seconds[True, key]) for key in ("save", "one", "all"))
            fast_bits = 8 * paths[True].stat().st_size / n
            camera_ratio = f"{min(seconds['camera']) / fast_one:.2f}x" if seconds["camera"] else ""
            fast_lines.append(
                f"| {label} | **{fast_bits:.2f}** | {fast_bits / xz_bits:.3f}x | {n / fast_save / 1e6:.1f} | "
                f"{n / fast_one / 1e6:.1f} | {n / fast_all / 1e6:.1f} | {others['zstd -19'][2] / fast_one:.2f}x | "
                f"{others['xz -9'][2] / fast_one:.1f}x | {camera_ratio} |")
            print(fast_lines[-1], flush=True)
        lines += ["", "Peers: bits/event (decompression M events/s).", "", *fast_lines, ""]
        lines += threads_table(args.big_events, args.repeats, cores, args.rounds)
        if args.convert_gib:
            lines += [""] + convert_table(args.convert_gib, pathlib.Path(tmp))
    lines += [
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
        f"load average {load_at_start:.1f} at the start of the run and {os.getloadavg()[0]:.1f} at its end, "
        f"{datetime.date.today()}.",
    ]
    text = "\n".join(lines)
    print(text)
    if args.write:
        write_section(BEGIN, END, "`python3 bench/bench_event_store.py` (.zel event store end to end)", text)

if __name__ == "__main__":
    main()
