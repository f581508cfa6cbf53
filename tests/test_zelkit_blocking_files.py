"""zelkit's loaders on FIFOs and endless sources: no deadlock, Ctrl-C works.

zelkit reads without the interpreter lock, so a writer thread can always
run; what these cases catch is a read that cannot be stopped. Each runs in
a child process, so a regression shows up as a timeout, not a hung session."""
import os

import pytest

from helpers import interrupted_call, load_from_fifo_written_by_thread, run_python


@pytest.mark.parametrize(
    ("name", "format", "content", "expected"),
    [
        ("a.csv", None, b"x,y,t,p\n1,2,3,1\n", [(1, 2, 3, 1)]),
        ("a.bin", "nmnist", bytes.fromhex("0a1481e240"), [(10, 20, 123456, 1)]),
        # By extension, ".bin" is read once and picked by its size (18: compact).
        ("a.bin", None, bytes(range(18)), [(256, 770, 117835012, 8), (2569, 3083, 269422093, 17)]),
        # More than one read of a source of unknown size.
        ("a.evb", None, bytes(18_000), [(0, 0, 0, 0)] * 2000),
    ],
)
def test_fifo_written_by_a_thread_of_the_same_process_loads(name, format, content, expected, tmp_path):
    fifo = tmp_path / name
    os.mkfifo(fifo)
    done = load_from_fifo_written_by_thread(
        fifo, content, "zelkit", f"zelkit.load(PATH, format={format!r})",
        '[tuple(int(v) for v in e) for e in events[["x", "y", "t", "p"]]]',
    )
    assert done.returncode == 0, done.stderr
    assert eval(done.stdout) == expected


@pytest.mark.parametrize(
    "setup",
    [
        pytest.param("", id="open-without-writer"),
        # A writer that holds the FIFO open but sends nothing: read() blocks.
        pytest.param("import os; keep = os.open(PATH, os.O_RDWR)", id="read-without-data"),
    ],
)
@pytest.mark.parametrize(
    "call",
    [
        "zelkit.load(PATH)",
        "zelkit.load(PATH, format='nmnist')",
        "zelkit.load(PATH, format='csv')",
        "next(zelkit.iter_load(PATH, format='evb'))",
    ],
)
def test_ctrl_c_stops_a_zelkit_load_blocked_on_a_fifo(call, setup, tmp_path):
    fifo = tmp_path / "blocked.evb"
    os.mkfifo(fifo)
    out = interrupted_call("zelkit", call, tmp_path, path=fifo, setup=setup)
    assert out == "interrupted\n"


@pytest.mark.parametrize("format", ["nmnist", "csv", "evb"])
def test_ctrl_c_stops_a_zelkit_load_of_an_endless_source(format, tmp_path):
    out = interrupted_call("zelkit", f"zelkit.load(PATH, format={format!r})", tmp_path,
                           path="/dev/zero")
    assert out == "interrupted\n"


@pytest.mark.parametrize("probe", ["reader.bad_words", "reader.sensor", "reader.start_batch()",
                                   "reader.read(1)", "reader.close()"])
def test_a_camera_reader_refuses_other_threads_while_a_read_runs(probe, tmp_path):
    # The read gives the interpreter lock up while it waits on the FIFO; any
    # other call on the reader then would touch state the read is changing.
    fifo = tmp_path / "live.raw"
    os.mkfifo(fifo)
    done = run_python(
        f"""
        import os, threading, time
        import numpy as np
        import zelkit
        from zelkit import _native
        PATH = {str(fifo)!r}
        writer = _native.CameraWriter("evt2", width=8, height=8)
        first = np.zeros(20_000, dtype=zelkit.EVENT_DTYPE)
        first["x"], first["t"] = 1, np.arange(20_000)
        later = np.array([(3, 4, 30_000, 0)], dtype=zelkit.EVENT_DTYPE)
        keep = os.open(PATH, os.O_RDWR)  # a writer that holds the FIFO open
        # More than the FIFO holds, so that the open's first read is whole.
        head = bytes(writer.header("2024-01-01 00:00:00")) + bytes(writer.write(first))
        feeding = threading.Thread(target=os.write, args=(keep, head))
        feeding.start()
        reader = _native.CameraReader(PATH, "raw")
        feeding.join()
        got = []
        reading = threading.Thread(target=lambda: got.append(bytes(reader.read(10**6))))
        reading.start()
        # Until the read is under way the reader is idle and the property answers.
        refused = None
        deadline = time.monotonic() + 30
        while refused is None and time.monotonic() < deadline:
            try:
                reader.batch_full
                time.sleep(0.01)
            except RuntimeError as error:
                refused = str(error)
        print(refused)
        if refused is not None:
            try:
                {probe}
                print("accepted")
            except RuntimeError as error:
                print(error)
        os.write(keep, bytes(writer.write(later)))
        os.close(keep)
        reading.join()
        read = np.frombuffer(got[0], zelkit.EVENT_DTYPE)
        print(read.size, read[-1].tolist())
        # Once the read is done the reader is usable again.
        print(reader.bad_words, reader.read(1).__len__())
        reader.close()
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "CameraReader is in use by another thread",
        "CameraReader is in use by another thread",
        "20001 (3, 4, 30000, 0)",
        "0 0",
    ]
