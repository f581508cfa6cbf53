import pytest

from zel import Event

OVERFLOW = "out of range integral type conversion attempted"


@pytest.mark.parametrize("fields", [(0, 0, 0, 0), (65535, 65535, 4294967295, 255), (3, 4, 1000, 1)])
def test_fields_read_back_unchanged(fields):
    event = Event(*fields)
    assert (event.x, event.y, event.t, event.p) == fields
    assert all(type(getattr(event, name)) is int for name in "xytp")


def test_keywords_and_mixed_binding_match_positional():
    by_position = Event(1, 2, 3, 4)
    for event in (Event(p=4, t=3, y=2, x=1), Event(1, 2, t=3, p=4)):
        assert (event.x, event.y, event.t, event.p) == (by_position.x, by_position.y, by_position.t, by_position.p)


def test_bools_and_index_objects_are_integers():
    class Index:
        def __index__(self):
            return 7

    event = Event(True, Index(), Index(), False)
    assert (event.x, event.y, event.t, event.p) == (1, 7, 7, 0)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((65536, 0, 0, 0), OVERFLOW),
        ((-1, 0, 0, 0), OVERFLOW),
        ((0, 70000, 0, 0), OVERFLOW),
        ((0, 0, 0, 256), OVERFLOW),
        ((0, 0, 4294967296, 0), OVERFLOW),
        ((0, 0, 2**64 - 1, 0), OVERFLOW),
        ((0, 0, -1, 0), "can't convert negative int to unsigned"),
        ((0, 0, 2**64, 0), "int too big to convert"),
        ((2**64, 0, 0, 0), "Python int too large to convert to C long"),
    ],
)
def test_out_of_range_values(args, message):
    with pytest.raises(OverflowError) as info:
        Event(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((1.0, 0, 0, 0), "argument 'x': 'float' object cannot be interpreted as an integer"),
        ((0, "2", 0, 0), "argument 'y': 'str' object cannot be interpreted as an integer"),
        ((0, 0, 1.5, 0), "argument 't': 'float' object cannot be interpreted as an integer"),
        ((0, 0, 0, None), "argument 'p': 'NoneType' object cannot be interpreted as an integer"),
        # The first bad argument in parameter order wins.
        (("a", 0, 0, 2**80), "argument 'x': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_wrong_types_carry_the_argument_prefix(args, message):
    with pytest.raises(TypeError) as info:
        Event(*args)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1, 2, 3), {}, "Event.__new__() missing 1 required positional argument: 'p'"),
        ((1, 2), {}, "Event.__new__() missing 2 required positional arguments: 't' and 'p'"),
        ((), {}, "Event.__new__() missing 4 required positional arguments: 'x', 'y', 't', and 'p'"),
        ((1, 2, 3, 4, 5), {}, "Event.__new__() takes 4 positional arguments but 5 were given"),
        ((1, 2, 3, 4), {"x": 1}, "Event.__new__() got multiple values for argument 'x'"),
        ((1, 2, 3, 4), {"q": 1}, "Event.__new__() got an unexpected keyword argument 'q'"),
        # Too many positionals is reported before any keyword is looked at.
        ((1, 2, 3, 4, 5), {"q": 1}, "Event.__new__() takes 4 positional arguments but 5 were given"),
    ],
)
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Event(*args, **kwargs)
    assert str(info.value) == message


def test_repr_and_str():
    event = Event(1, 2, 3, 1)
    assert repr(event) == "Event(x=1, y=2, t=3, p=1)"
    assert str(event) == repr(event)
    assert repr(Event(65535, 65535, 4294967295, 255)) == "Event(x=65535, y=65535, t=4294967295, p=255)"


def test_identity_semantics():
    a, b = Event(1, 2, 3, 4), Event(1, 2, 3, 4)
    assert a != b
    assert a == a
    assert len({a: 1, b: 2}) == 2


@pytest.mark.parametrize(("field", "value"), [("x", 65535), ("y", 40000), ("t", 4294967295), ("p", 255)])
def test_setter_replaces_only_its_own_field(field, value):
    event = Event(1, 2, 3, 4)
    setattr(event, field, value)
    expected = {**dict(x=1, y=2, t=3, p=4), field: value}
    assert (event.x, event.y, event.t, event.p) == tuple(expected[name] for name in "xytp")


@pytest.mark.parametrize(
    ("field", "value", "error", "message"),
    [
        ("x", 70000, OverflowError, OVERFLOW),
        ("p", -1, OverflowError, OVERFLOW),
        ("t", -1, OverflowError, "can't convert negative int to unsigned"),
        ("x", "s", TypeError, "argument 'x': 'str' object cannot be interpreted as an integer"),
        ("t", 2.0, TypeError, "argument 't': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_failed_assignment_leaves_event_unchanged(field, value, error, message):
    event = Event(1, 2, 3, 4)
    with pytest.raises(error) as info:
        setattr(event, field, value)
    assert str(info.value) == message
    assert (event.x, event.y, event.t, event.p) == (1, 2, 3, 4)


@pytest.mark.parametrize("field", "xytp")
def test_fields_cannot_be_deleted(field):
    event = Event(1, 2, 3, 4)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(event, field)


def test_no_other_attributes_or_weakrefs():
    import weakref

    event = Event(1, 2, 3, 4)
    with pytest.raises(AttributeError):
        event.q = 1
    with pytest.raises(TypeError):
        weakref.ref(event)
    assert Event.x.__doc__ == ""


def test_index_that_raises_passes_through():
    class Bad:
        def __index__(self):
            raise ValueError("boom")

    with pytest.raises(ValueError, match="^boom$"):
        Event(Bad(), 0, 0, 0)
    event = Event(1, 2, 3, 4)
    with pytest.raises(ValueError, match="^boom$"):
        event.t = Bad()
    assert event.t == 3
