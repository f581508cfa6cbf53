"""A process forked while zelkit's threads work (a data loader's workers,
a multiprocessing pool made in the middle of a read) goes on with what it
inherited: it never waits on a thread or a lock it does not have."""

import os
import threading
import time

import numpy as np
import pytest

import zelkit

pytestmark = [pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork"), pytest.mark.forks_with_threads]

CHILD_SECONDS = 60


def _camera(n, seed=3):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, dtype=zelkit.EVENT_DTYPE)
    ev["x"], ev["y"] = rng.integers(0, 640, n), rng.integers(0, 480, n)
    ev["t"], ev["p"] = np.sort(rng.integers(0, 10**7, n)), rng.integers(0, 2, n)
    return ev


def _in_child(work):
    """Forks; the child runs ``work()`` and exits 0 when it returns, 1 when
    it raises. Returns the child's wait status, or fails the test when the
    child has not exited in CHILD_SECONDS (it hung)."""
    pid = os.fork()
    if pid == 0:
        try:
            work()
            code = 0
        except BaseException:  # noqa: BLE001 - any failure is the child's answer
            code = 1
        os._exit(code)
    deadline = time.monotonic() + CHILD_SECONDS
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail(f"the forked process was still running after {CHILD_SECONDS} s")


@pytest.mark.parametrize("mode", ["chunk", "first"])
def test_an_iteration_forked_in_the_middle_goes_on_in_both_processes(tmp_path, mode):
    # With read-ahead the next batch decodes on a pool thread, which the
    # child does not have: it decodes the batch in flight itself.
    events = _camera(20_000)
    path = tmp_path / "s.zel"
    path.write_bytes(zelkit._event_store.encode_events(events, block_events=500))
    chunks = zelkit.iter_load(path, chunk_events=1000, t_offset=mode, threads=2)
    head = [next(chunks) for _ in range(3)]

    def finish_in_child():
        got = np.concatenate([*head, *chunks])
        assert np.array_equal(got[["x", "y", "p"]], events[["x", "y", "p"]])
        assert len(got) == len(events)

    status = _in_child(finish_in_child)
    rest = list(chunks)
    assert os.waitstatus_to_exitcode(status) == 0
    got = np.concatenate([*head, *rest])
    assert np.array_equal(got[["x", "y", "p"]], events[["x", "y", "p"]])


def _fork_during(call):
    """Runs ``call`` on a thread and forks while it runs (it holds its
    object's lock, the interpreter lock given up); the child runs the work
    given to the returned function. Returns (child wait status, whether the
    thread was still running after the fork)."""
    started = threading.Event()

    def run():
        started.set()
        call()

    thread = threading.Thread(target=run)
    thread.start()
    started.wait()
    time.sleep(0.05)

    def fork_and(work):
        status = _in_child(work)
        running = thread.is_alive()
        thread.join()
        return status, running

    return fork_and


def test_a_reader_read_by_another_thread_at_the_fork_reads_in_the_child(tmp_path):
    events = _camera(6_000_000)
    path = tmp_path / "s.zel"
    path.write_bytes(zelkit._event_store.encode_events(events))
    with zelkit.open_events(path) as store:
        fork_and = _fork_during(lambda: store.to_events(threads=1))
        first = int(store.blocks["n_events"][0])
        status, running = fork_and(lambda: np.testing.assert_array_equal(store.read(0, 1), events[:first]))
    if not running:
        pytest.skip("the read ended before the fork")
    assert os.waitstatus_to_exitcode(status) == 0


def test_a_writer_in_use_by_another_thread_at_the_fork_is_refused_in_the_child():
    # Its state may be half changed there: it must not write on.
    events = _camera(6_000_000)
    writer = zelkit._native.EventStoreWriter(640, 480, 1 << 16)
    writer.begin()
    fork_and = _fork_during(lambda: writer.add(events, 0))

    def refused():
        with pytest.raises(RuntimeError, match="in use by another thread when this process was forked"):
            writer.add(events[:10], 0)

    status, running = fork_and(refused)
    if not running:
        pytest.skip("the write ended before the fork")
    assert os.waitstatus_to_exitcode(status) == 0
    writer.add(events[:10], 0)  # the parent's writer is whole


def test_a_file_stream_reading_on_another_thread_at_the_fork_is_refused_in_the_child(tmp_path):
    # The read waits on a pipe with no data until the child is done, so the
    # fork lands in the middle of it: the child's copy of the stream holds a
    # read that no thread of its own will finish.
    fifo = tmp_path / "events.evb"
    os.mkfifo(fifo)
    opened = {}
    reading = threading.Event()

    def read():
        opened["stream"] = stream = zelkit._native.RecordStream(bytes(fifo), "evb")
        reading.set()
        try:
            stream.read(100)
        except (OSError, ValueError):
            pass  # the pipe closes without a whole file

    thread = threading.Thread(target=read)
    thread.start()
    writer = os.open(fifo, os.O_WRONLY)  # meets the thread's open
    try:
        reading.wait()
        time.sleep(0.05)
        stream = opened["stream"]

        def refused():
            with pytest.raises(RuntimeError, match="was in use by another thread when this process was forked"):
                stream.read(1)

        status = _in_child(refused)
    finally:
        os.close(writer)
        thread.join()
    assert os.waitstatus_to_exitcode(status) == 0
    assert len(stream.read(1)) == 0  # in the parent the read ended, and the stream is idle again
