import pathlib

import pytest

import zel
from zel import Event

OVERFLOW = "out of range integral type conversion attempted"
EVENT = Event(1, 2, 3, 1)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: zel.compress([], 1, 1, 1), "compress() missing 1 required positional argument: 'max_depth'"),
        (lambda: zel.compress([], 1, 1), "compress() missing 2 required positional arguments: 'time_bins' and 'max_depth'"),
        (
            lambda: zel.compress_sequence(),
            "compress_sequence() missing 6 required positional arguments: "
            "'events', 'width', 'height', 'time_bins', 'max_depth', and 'n_frames'",
        ),
        (lambda: zel.load_csv("a", "b"), "load_csv() takes 1 positional arguments but 2 were given"),
        (lambda: zel.load_events(), "load_events() missing 1 required positional argument: 'path'"),
        (lambda: zel.load_csv("a", path="b"), "load_csv() got multiple values for argument 'path'"),
        (lambda: zel.load_nmnist(file="a"), "load_nmnist() got an unexpected keyword argument 'file'"),
        (lambda: zel.event_stats(), "event_stats() missing 1 required positional argument: 'events'"),
        (lambda: zel.event_stats([], []), "event_stats() takes 1 positional arguments but 2 were given"),
        # The first offending keyword is reported, in call order.
        (lambda: zel.load_aedat2(zz=1, path="a", aa=2), "load_aedat2() got an unexpected keyword argument 'zz'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


class Sequence:
    """A minimal sequence whose iteration can be made to fail."""

    def __init__(self, items, length=None, fail=None):
        self.items, self.length, self.fail = items, length, fail

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        if index == len(self.items) and self.fail is not None:
            raise self.fail
        return self.items[index]


@pytest.mark.parametrize(
    ("events", "message"),
    [
        ("abc", "argument 'events': Can't extract `str` to `Vec`"),
        (type("S", (str,), {})("x"), "argument 'events': Can't extract `str` to `Vec`"),
        (5, "argument 'events': 'int' object cannot be converted to 'Sequence'"),
        ({EVENT}, "argument 'events': 'set' object cannot be converted to 'Sequence'"),
        ({0: EVENT}, "argument 'events': 'dict' object cannot be converted to 'Sequence'"),
        (iter([EVENT]), "argument 'events': 'list_iterator' object cannot be converted to 'Sequence'"),
        ((e for e in [EVENT]), "argument 'events': 'generator' object cannot be converted to 'Sequence'"),
        ([EVENT, 5], "argument 'events': 'int' object cannot be converted to 'Event'"),
        ([(1, 2, 3, 4)], "argument 'events': 'tuple' object cannot be converted to 'Event'"),
        (Sequence([EVENT], fail=TypeError("bad item")), "argument 'events': bad item"),
    ],
)
def test_events_conversion_errors(events, message):
    with pytest.raises(TypeError) as info:
        zel.event_stats(events)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "events",
    [
        [EVENT],
        (EVENT,),
        Sequence([EVENT]),
        Sequence([EVENT], length=10**18),  # a lying size hint is only a hint
        Sequence([EVENT], length=0),
        Sequence([EVENT], length=ValueError("no length")),
    ],
)
def test_sequences_of_events_are_accepted(events):
    assert zel.event_stats(events)["count"] == 1


@pytest.mark.parametrize("error", [ValueError("bad"), OverflowError("huge"), TypeError("no len")])
def test_a_failing_len_is_only_a_missing_hint(error):
    assert zel.event_stats(Sequence([EVENT, EVENT], length=error))["count"] == 2


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_len_raising_a_non_exception_propagates(error):
    with pytest.raises(type(error)):
        zel.event_stats(Sequence([EVENT], length=error))


def test_iteration_errors_other_than_type_errors_pass_unchanged():
    with pytest.raises(RuntimeError, match="^broken$"):
        zel.event_stats(Sequence([EVENT, EVENT], fail=RuntimeError("broken")))


def test_prefix_keeps_the_cause_but_does_not_chain_the_original():
    cause = KeyError("root")

    class Index:
        def __index__(self):
            raise TypeError("inner") from cause

    with pytest.raises(TypeError) as info:
        zel.compress([], Index(), 1, 1, 1)
    assert str(info.value) == "argument 'width': inner"
    assert info.value.__cause__ is cause
    assert info.value.__context__ is None or info.value.__context__ is cause


def test_type_error_subclasses_are_not_prefixed():
    class MyTypeError(TypeError):
        pass

    class Index:
        def __index__(self):
            raise MyTypeError("mine")

    with pytest.raises(MyTypeError, match="^mine$"):
        zel.compress([], 1, Index(), 1, 1)


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (([], -1, 1, 1, 1), OverflowError, OVERFLOW),
        (([], 65536, 1, 1, 1), OverflowError, OVERFLOW),
        (([], 1, 1, 65536, 1), OverflowError, OVERFLOW),
        (([], 1, 1, 1, 256), OverflowError, OVERFLOW),
        (([], 1, -5, 1, 1), OverflowError, OVERFLOW),
        (([], 2**100, 1, 1, 1), OverflowError, "Python int too large to convert to C long"),
        (([], 2.5, 1, 1, 1), TypeError, "argument 'width': 'float' object cannot be interpreted as an integer"),
        (([], 1, "2", 1, 1), TypeError, "argument 'height': 'str' object cannot be interpreted as an integer"),
        (([], 1, 1, None, 1), TypeError, "argument 'time_bins': 'NoneType' object cannot be interpreted as an integer"),
        (([], 1, 1, 1, 1.0), TypeError, "argument 'max_depth': 'float' object cannot be interpreted as an integer"),
        # events is converted first, so its error wins over a bad width.
        ((5, "w", 1, 1, 1), TypeError, "argument 'events': 'int' object cannot be converted to 'Sequence'"),
    ],
)
def test_compress_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        zel.compress(*args)
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("n_frames", "error", "message"),
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (1.0, TypeError, "argument 'n_frames': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'n_frames': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_n_frames_errors(n_frames, error, message):
    with pytest.raises(error) as info:
        zel.compress_sequence([], 1, 1, 1, 1, n_frames)
    assert str(info.value) == message


@pytest.mark.parametrize("loader", [zel.load_events, zel.load_nmnist, zel.load_aedat2, zel.load_csv])
@pytest.mark.parametrize(
    ("path", "message"),
    [
        (b"run.csv", "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (pathlib.PurePosixPath("run.csv"), "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'"),
        (None, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_path_must_be_str(loader, path, message):
    with pytest.raises(TypeError) as info:
        loader(path)
    assert str(info.value) == message


def test_lone_surrogate_path_raises_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        zel.load_csv("\udc80.csv")


class ReversedList(list):
    """A list subclass whose iteration order differs from its item array."""

    def __iter__(self):
        return reversed(list(list.__iter__(self)))


def test_exact_lists_and_other_sequences_convert_alike():
    events = [Event(x % 7, x % 5, x * 13 % 101, x % 2) for x in range(300)]
    expected = zel.compress(tuple(events), 8, 8, 16, 6)
    assert zel.compress(events, 8, 8, 16, 6)[0] == expected[0]
    # A subclass is iterated, not read from its array: its own order counts.
    assert zel.compress(ReversedList(events), 8, 8, 16, 6)[0] == zel.compress(events[::-1], 8, 8, 16, 6)[0]


@pytest.mark.parametrize("position", [0, 1, 150, 298])
def test_exact_list_reports_its_first_non_event(position):
    events = [EVENT] * 300
    events[position] = 2.5
    events[-1] = "later"  # only the first offender is named
    with pytest.raises(TypeError, match="^argument 'events': 'float' object cannot be converted to 'Event'$"):
        zel.compress(events, 8, 8, 16, 6)
