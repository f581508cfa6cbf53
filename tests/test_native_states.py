"""zelkit._native objects out of their working state (closed, out of order,
in use by another thread) and the index arguments at their last valid value
and one past it: the exact exception type and message each time."""

import numpy as np
import pytest

import zelkit
from helpers import run_python
from zelkit import _native

EVENTS = np.array([(1, 2, 30, 1), (3, 4, 10, 0), (5, 0, 20, 1)], dtype=zelkit.EVENT_DTYPE)
RAW = b"% evt 3.0\n% end\n" + np.array([0x8001, 0x0005, 0x2007], "<u2").tobytes()


def refused(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    assert str(info.value) == message


def two_frames():
    return _native.ContainerReader(bytes(_native.encode(EVENTS, 8, 8, 2, 2, 2, 0)))


def two_blocks():
    # Blocks of 2 events: [0, 2) and [2, 3).
    return _native.EventStoreReader(bytes(_native.encode_event_store(EVENTS, 0, 0, 2)))


@pytest.mark.parametrize("k, message", [
    (1, None),
    (2, "frame 2 is beyond the container's 2 frames"),
    (2**64 - 1, f"frame {2**64 - 1} is beyond the container's 2 frames"),
])
def test_a_container_decodes_its_last_frame_and_refuses_the_next(k, message):
    reader = two_frames()
    if message is None:
        assert reader.decode(k).t_last == 30  # the latest event ends the last frame
    else:
        refused(lambda: reader.decode(k), ValueError, message)


@pytest.mark.parametrize("first, count, events", [
    (0, 2, 3), (1, 1, 1), (2, 0, 0), (0, 0, 0),
    (2, 1, None), (0, 3, None), (3, 0, None), (1, 2**64 - 1, None), (2**64 - 1, 2, None),
])
@pytest.mark.parametrize("method", ["read", "extent"])
def test_a_store_reads_blocks_up_to_its_last_and_refuses_past_it(first, count, events, method):
    reader = two_blocks()
    if events is None:
        refused(lambda: getattr(reader, method)(first, count), ValueError,
                f"blocks {first} + {count} lie past the 2 of the file")
        return
    records = np.frombuffer(bytes(reader.read(first, count)), dtype=zelkit.EVENT_DTYPE)
    assert len(records) == events
    if method == "extent":
        # What the headers say is what decoding those blocks shows.
        expected = (int(records["x"].max()), int(records["y"].max()), int(records["t"][0])) if events else (0, 0, 0)
        assert reader.extent(first, count) == expected


@pytest.mark.parametrize("call, name", [
    (lambda threads: two_blocks().read(0, 2, 0, threads), "EventStoreReader.read()"),
    (lambda threads: _native.EventStoreWriter(0, 0, 10, threads), "EventStoreWriter.__new__()"),
    (lambda threads: _native.encode_event_store(EVENTS, 0, 0, 10, threads), "encode_event_store()"),
])
def test_thread_counts_reach_256_and_no_further(call, name):
    call(256)
    refused(lambda: call(257), ValueError, f"{name} argument 'threads' is 257, outside the range 1..256")


@pytest.mark.parametrize("block_events, accepted", [(1, True), (2**22, True), (0, False), (2**22 + 1, False)])
def test_block_sizes_from_one_to_the_largest_block(block_events, accepted):
    encode = lambda: _native.encode_event_store(EVENTS, 0, 0, block_events)  # noqa: E731
    begin = lambda: _native.EventStoreWriter(0, 0, block_events).begin()  # noqa: E731
    if accepted:
        store = _native.EventStoreReader(bytes(encode()))
        assert (store.block_events, store.n_events) == (block_events, 3)
        assert len(begin()) == 36
    else:
        for call in (encode, begin):
            refused(call, ValueError, "block_events must lie in 1 .. 4194304")


def closed(make):
    obj = make()
    obj.close()
    obj.close()  # closing twice is harmless
    return obj


@pytest.mark.parametrize("make, use, message", [
    (two_frames, lambda r: r.decode(0), "I/O operation on a closed container reader"),
    (two_frames, lambda r: r.index(), "I/O operation on a closed container reader"),
    (two_blocks, lambda r: r.read(0, 1), "I/O operation on a closed event store reader"),
    (two_blocks, lambda r: r.blocks(), "I/O operation on a closed event store reader"),
])
def test_closed_readers_refuse_to_read(make, use, message):
    obj = closed(make)
    refused(lambda: use(obj), ValueError, message)


@pytest.mark.parametrize("use", [
    lambda r: r.read(1), lambda r: r.start_batch(), lambda r: r.bad_words, lambda r: r.sensor,
    lambda r: r.batch_origin, lambda r: r.batch_full,
], ids=["read", "start_batch", "bad_words", "sensor", "batch_origin", "batch_full"])
def test_a_closed_camera_reader_refuses_everything_but_close(use, tmp_path):
    path = tmp_path / "one.raw"
    path.write_bytes(RAW)
    reader = closed(lambda: _native.CameraReader(path, "raw"))
    refused(lambda: use(reader), ValueError, "CameraReader is closed")


def test_a_closed_record_stream_reads_nothing(tmp_path):
    path = tmp_path / "s.evb"
    path.write_bytes(EVENTS.tobytes())
    stream = closed(lambda: _native.RecordStream(path, "evb"))
    assert len(stream.read(5)) == 0


def container_writer():
    return _native.ContainerWriter(8, 8, 2, 2, 0)


def store_writer():
    return _native.EventStoreWriter(0, 0, 10)


@pytest.mark.parametrize("make, steps, message", [
    (container_writer, ["add"], "add_frame() cannot be called before begin()"),
    (container_writer, ["finish"], "finish() cannot be called before begin()"),
    (container_writer, ["begin", "begin"], "begin() cannot be called after begin()"),
    (container_writer, ["begin", "add", "finish", "add"], "add_frame() cannot be called after finish()"),
    (container_writer, ["begin", "finish", "finish"], "finish() cannot be called after finish()"),
    (container_writer, ["begin", "finish", "begin"], "begin() cannot be called after finish()"),
    (store_writer, ["add"], "event store writer: add called out of order"),
    (store_writer, ["finish"], "event store writer: finish called out of order"),
    (store_writer, ["begin", "begin"], "event store writer: begin called out of order"),
    (store_writer, ["begin", "add", "finish", "add"], "event store writer: add called out of order"),
    (store_writer, ["begin", "finish", "finish"], "event store writer: finish called out of order"),
])
def test_writers_refuse_calls_out_of_order_and_stay_usable(make, steps, message):
    writer = make()
    add = writer.add_frame if hasattr(writer, "add_frame") else writer.add
    calls = {"begin": writer.begin, "add": lambda: add(EVENTS), "finish": writer.finish}
    for step in steps[:-1]:
        calls[step]()
    refused(calls[steps[-1]], ValueError, message)
    # The refusal changed nothing: a writer refused before begin() still begins.
    if steps[-1] != "begin" and "begin" not in steps:
        assert len(writer.begin()) == 36


@pytest.mark.parametrize("probe", ["stream.read(1)", "stream.close()"])
def test_a_record_stream_refuses_other_threads_while_a_read_runs(probe, tmp_path):
    fifo = tmp_path / "live.evb"
    import os
    os.mkfifo(fifo)
    done = run_python(
        f"""
        import os, threading, time
        from zelkit import _native
        PATH = {str(fifo)!r}
        keep = os.open(PATH, os.O_RDWR)  # a writer that holds the FIFO open
        stream = _native.RecordStream(PATH, "evb")
        got = []
        reading = threading.Thread(target=lambda: got.append(bytes(stream.read(2))))
        reading.start()
        # Whatever happens, the read ends: records arrive after 20 s.
        threading.Timer(20, lambda: os.write(keep, bytes(18))).start()
        time.sleep(1)  # the read is then waiting on the FIFO, without the lock
        # Twice: a refused call must leave the stream as busy as it found it.
        for attempt in range(2):
            try:
                {probe}
                print("accepted")
            except RuntimeError as error:
                print(type(error).__name__, error)
        os.write(keep, bytes(range(18)))
        reading.join()
        print(len(got[0]), got[0] == bytes(range(18)))
        stream.close()
        os._exit(0)
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["RuntimeError RecordStream is in use by another thread"] * 2 + ["18 True"]


READERS = {"ContainerReader": lambda: bytes(_native.encode(EVENTS, 8, 8, 2, 2, 2, 0)),
           "EventStoreReader": lambda: bytes(_native.encode_event_store(EVENTS, 0, 0, 2))}


@pytest.mark.parametrize("name", READERS)
@pytest.mark.parametrize("source, error, message", [
    (-1, ValueError, "argument 'source' is -1, outside the range 0..2147483647"),
    (2**31, ValueError, "argument 'source' is 2147483648, outside the range 0..2147483647"),
    (True, TypeError, "argument 'source' must be a C-contiguous bytes-like object, not bool"),
    (memoryview(b"abcdefgh")[::2], TypeError, "argument 'source' must be a C-contiguous bytes-like object, not memoryview"),
    ("x.zel", TypeError, "argument 'source' must be a C-contiguous bytes-like object, not str"),
], ids=["fd -1", "fd 2**31", "bool", "strided", "str"])
def test_a_reader_source_is_a_descriptor_or_a_contiguous_buffer(name, source, error, message):
    refused(lambda: getattr(_native, name)(source), error, f"{name}.__new__() {message}")


@pytest.mark.parametrize("name", READERS)
def test_a_reader_over_a_descriptor_reads_by_position_through_its_own_copy(name, tmp_path):
    path = tmp_path / "f.zel"
    path.write_bytes(READERS[name]())
    import os
    fd = os.open(path, os.O_RDONLY)
    os.lseek(fd, 7, os.SEEK_SET)  # where the caller left it does not matter
    reader = getattr(_native, name)(fd)
    os.close(fd)  # the reader holds a duplicate
    whole = getattr(_native, name)(READERS[name]())
    if name == "ContainerReader":
        assert [reader.decode(k).t_last for k in range(2)] == [whole.decode(k).t_last for k in range(2)]
    else:
        assert bytes(reader.read(0, 2)) == bytes(whole.read(0, 2)) == EVENTS.tobytes()
    # The largest descriptor number is taken; one that is not open is the system's refusal.
    with pytest.raises(OSError) as info:
        getattr(_native, name)(2**31 - 1)
    assert info.value.errno == 9


@pytest.mark.parametrize("past", [0, 1])
def test_a_store_writer_takes_camera_times_up_to_the_last_64_bit_microsecond(past):
    # EVENTS' latest t is 30: a base of 2**64 - 31 puts it on 2**64 - 1.
    writer = _native.EventStoreWriter(0, 0, 10)
    data = bytes(writer.begin()) + bytes(writer.add(EVENTS[:2], 0))
    base = 2**64 - 31 + past
    if past:
        refused(lambda: writer.add(EVENTS, base), ValueError,
                f"event 2 has a camera time past 64 bits (t_base {base} plus t)")
    else:
        data += bytes(writer.add(EVENTS, base))
    # A refused chunk adds nothing: the writer goes on from where it was.
    tail, header = writer.finish()
    data = header + (data + bytes(tail))[len(header):]
    store = zelkit.decode_events(data)
    assert store.n_events == 2 + 3 * (1 - past)
    np.testing.assert_array_equal(store.read(0, 1), EVENTS[:2])
    if not past:
        assert store.time_range() == (10, 2**64 - 1)
        np.testing.assert_array_equal(store.read(1, 1, t_offset=base), EVENTS)
