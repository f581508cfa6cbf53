import pytest

from zel import Event, event_stats


def events(*fields):
    return [Event(*f) for f in fields]


def test_no_events_gives_none():
    assert event_stats([]) is None
    assert event_stats(()) is None


@pytest.mark.parametrize(
    ("given", "expected"),
    [
        (
            events((3, 4, 100, 1)),
            {"count": 1, "x_range": (3, 3), "y_range": (4, 4), "t_range": (100, 100), "duration_us": 0},
        ),
        (
            # Out of time order: ranges are true extrema, not first and last.
            events((5, 1, 500, 0), (2, 9, 100, 1), (7, 3, 300, 0)),
            {"count": 3, "x_range": (2, 7), "y_range": (1, 9), "t_range": (100, 500), "duration_us": 400},
        ),
        (
            events((65535, 0, 4294967295, 0), (0, 65535, 0, 255)),
            {"count": 2, "x_range": (0, 65535), "y_range": (0, 65535), "t_range": (0, 4294967295), "duration_us": 4294967295},
        ),
    ],
)
def test_summaries(given, expected):
    result = event_stats(given)
    assert result == expected
    assert list(result) == ["count", "x_range", "y_range", "t_range", "duration_us"]
    assert all(type(v) is int for v in (result["count"], result["duration_us"], *result["t_range"]))


def test_polarity_has_no_effect():
    assert event_stats(events((1, 2, 3, 0), (4, 5, 6, 0))) == event_stats(events((1, 2, 3, 255), (4, 5, 6, 1)))


def test_events_are_copied_not_referenced():
    given = events((1, 1, 10, 0))
    result = event_stats(given)
    given[0].t = 99
    assert result["t_range"] == (10, 10)
