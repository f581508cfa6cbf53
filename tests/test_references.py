"""Reference counts and memory stay flat across calls, raising ones included."""
import gc
import os
import sys

import pytest

import zel
from helpers import run_python
from zel import Event


def test_events_conversion_keeps_no_reference_to_the_items():
    event = Event(1, 2, 3, 4)
    events = [event]
    before = sys.getrefcount(event), sys.getrefcount(events)
    for _ in range(100):
        zel.event_stats(events)
        zel.compress(events, 4, 4, 4, 4)
    assert (sys.getrefcount(event), sys.getrefcount(events)) == before


def test_instances_hold_and_release_their_type(tmp_path):
    path = tmp_path / "e.evb"
    path.write_bytes(bytes(9 * 1000))
    before = sys.getrefcount(Event)
    events = [Event(1, 2, 3, 4) for _ in range(1000)] + zel.load_events(str(path))
    assert sys.getrefcount(Event) == before + 2000
    del events
    gc.collect()
    assert sys.getrefcount(Event) == before


def test_results_come_back_with_no_stray_reference():
    data, result = zel.compress([Event(1, 1, 1, 1)], 4, 4, 4, 4)
    payloads, _ = zel.compress_sequence([Event(1, 1, 1, 1), Event(2, 2, 9, 0)], 4, 4, 4, 4, 3)
    # The local name and getrefcount's own argument.
    assert sys.getrefcount(data) == 2
    assert sys.getrefcount(payloads) == 2
    # Each payload: the list, the loop variable and the argument.
    assert [sys.getrefcount(p) for p in payloads] == [3] * len(payloads)
    assert sys.getrefcount(result) == 2


def test_module_keeps_working_after_its_classes_are_deleted():
    # The types must own themselves: deleting the module's names and
    # collecting must not free what later calls create instances of.
    done = run_python(
        f"""
        import gc, zel
        load_events, compress, Event = zel.load_events, zel.compress, zel.Event
        del zel.Event, zel.CompressionResult, Event
        gc.collect()
        events = load_events({os.path.join(os.path.dirname(__file__), "..", "samples", "bar_sweep.evb")!r})
        gc.collect()
        print(len(events), repr(events[0]), type(compress(events, 128, 128, 16, 7)[1]).__name__)
        """
    )
    assert done.returncode == 0, done.stderr
    count, first, name = done.stdout.split(" ", 1)[0], done.stdout.split(" ")[1], done.stdout.split()[-1]
    assert int(count) > 0 and first.startswith("Event(x=") and name == "CompressionResult"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


EVENTS = [Event(i % 640, (i * 7) % 480, i * 10, i % 2) for i in range(2000)]


class FailingSequence:
    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index == 2:
            raise ValueError("third item")
        return EVENTS[index]


def expect(error, call, *args):
    try:
        call(*args)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error}")


def set_field(event, name, value):
    setattr(event, name, value)


def calls(tmp_path):
    files = {}
    for name, content in [
        ("ok.evb", bytes(9 * 2000)),
        ("ok.bin", bytes(5 * 2000)),
        ("ok.aedat", b"#!AER-DAT2.0\r\n" + bytes(8 * 2000)),
        ("ok.csv", b"x,y,t,p\n" + b"1,2,3,1\n" * 2000),
        ("bad.csv", b"1,2,3,1\n" * 2000 + b"1,2,3,x\n"),
        ("bad.bin", bytes(5 * 2000 + 1)),
    ]:
        (tmp_path / name).write_bytes(content)
        files[name] = str(tmp_path / name)
    missing = str(tmp_path / "missing.evb")
    event = Event(1, 2, 3, 4)
    return {
        "compress": lambda: zel.compress(EVENTS, 640, 480, 16, 8),
        "compress bad width": lambda: expect(OverflowError, zel.compress, EVENTS, 70000, 1, 1, 1),
        "compress bad item": lambda: expect(TypeError, zel.compress, EVENTS + [1], 1, 1, 1, 1),
        "compress_sequence": lambda: zel.compress_sequence(EVENTS, 640, 480, 16, 8, 20),
        "compress_sequence bad n_frames": lambda: expect(
            OverflowError, zel.compress_sequence, EVENTS, 1, 1, 1, 1, -1),
        "event_stats": lambda: zel.event_stats(EVENTS),
        "event_stats failing iteration": lambda: expect(ValueError, zel.event_stats, FailingSequence()),
        "load_events evb": lambda: zel.load_events(files["ok.evb"]),
        "load_events bin": lambda: zel.load_events(files["ok.bin"]),
        "load_nmnist": lambda: zel.load_nmnist(files["ok.bin"]),
        "load_aedat2": lambda: zel.load_aedat2(files["ok.aedat"]),
        "load_csv": lambda: zel.load_csv(files["ok.csv"]),
        "load_csv bad line": lambda: expect(OSError, zel.load_csv, files["bad.csv"]),
        "load_events bad size": lambda: expect(OSError, zel.load_events, files["bad.bin"]),
        "load_events missing": lambda: expect(OSError, zel.load_events, missing),
        "load_events bad extension": lambda: expect(OSError, zel.load_events, "x.dat"),
        "Event": lambda: [Event(1, 2, 3, 4) for _ in range(100)],
        "Event bad argument": lambda: expect(TypeError, Event, 1, 2, 3, "p"),
        "Event setter bad value": lambda: expect(OverflowError, set_field, event, "x", -1),
        "Event repr": lambda: repr(event),
    }


CALL_NAMES = [
    "compress", "compress bad width", "compress bad item", "compress_sequence",
    "compress_sequence bad n_frames", "event_stats", "event_stats failing iteration",
    "load_events evb", "load_events bin", "load_nmnist", "load_aedat2", "load_csv",
    "load_csv bad line", "load_events bad size", "load_events missing",
    "load_events bad extension", "Event", "Event bad argument", "Event setter bad value",
    "Event repr",
]


@pytest.mark.parametrize("name", CALL_NAMES)
def test_repeated_calls_keep_memory_and_references_flat(name, tmp_path):
    call = calls(tmp_path)[name]
    watched = [Event, zel.CompressionResult, EVENTS, EVENTS[0], EVENTS[-1], OSError, MemoryError]
    # The warm-up fills caches, free lists and (under AddressSanitizer) the
    # quarantine of freed blocks, so what follows should hold steady.
    for _ in range(300):
        call()
    gc.collect()
    references = [sys.getrefcount(o) for o in watched]
    rss = rss_bytes()
    for _ in range(300):
        call()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == references
    # A leaked result of 2,000 events is ~100 KB, so 300 calls would add 30 MB.
    assert rss_bytes() - rss < 8 << 20
