"""Loaders on FIFOs and endless sources: no deadlock, Ctrl-C works, one open.

Every case runs in a child process so that a regression shows up as a
timeout instead of hanging the test session."""
import os

import pytest

import zel
from helpers import interrupted_call, load_from_fifo_written_by_thread, run_python

AEDAT_RECORD = b"#!AER-DAT2.0\r\n" + bytes.fromhex("000012350001e240")


@pytest.mark.parametrize(
    ("loader", "name", "content", "expected"),
    [
        ("load_csv", "a.csv", b"x,y,t,p\n1,2,3,1\n", [(1, 2, 3, 1)]),
        ("load_nmnist", "a.bin", bytes.fromhex("0a1481e240"), [(10, 20, 123456, 1)]),
        ("load_aedat2", "a.aedat", AEDAT_RECORD, [(26, 18, 123456, 1)]),
        # The size rule picks compact for 18 bytes; a second open would wait
        # for a writer that never comes back.
        ("load_events", "a.bin", bytes(range(18)), [(256, 770, 117835012, 8), (2569, 3083, 269422093, 17)]),
        # Bigger than the first read of an unknown-size file: the buffer grows.
        ("load_events", "a.evb", bytes(18_000), [(0, 0, 0, 0)] * 2000),
    ],
)
def test_fifo_written_by_a_thread_of_the_same_process_loads(loader, name, content, expected, tmp_path):
    fifo = tmp_path / name
    os.mkfifo(fifo)
    done = load_from_fifo_written_by_thread(
        fifo, content, "zel", f"zel.{loader}(PATH)", "[(e.x, e.y, e.t, e.p) for e in events]"
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
@pytest.mark.parametrize("loader", ["load_csv", "load_events", "load_nmnist", "load_aedat2"])
def test_ctrl_c_stops_a_loader_blocked_on_a_fifo(loader, setup, tmp_path):
    fifo = tmp_path / "blocked.bin"
    os.mkfifo(fifo)
    out = interrupted_call("zel", f"zel.{loader}(PATH)", tmp_path, path=fifo, setup=setup)
    assert out == "interrupted\n"


@pytest.mark.parametrize(("loader", "path"), [("load_nmnist", "/dev/zero"), ("load_csv", "/dev/zero")])
def test_ctrl_c_stops_a_loader_reading_an_endless_source(loader, path, tmp_path):
    out = interrupted_call("zel", f"zel.{loader}(PATH)", tmp_path, path=path)
    assert out == "interrupted\n"


@pytest.mark.address_space_limit
def test_endless_source_still_ends_in_memory_error():
    done = run_python(
        """
        import resource, zel
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            zel.load_nmnist("/dev/zero")
        except MemoryError:
            print("MemoryError")
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "MemoryError\n"


@pytest.fixture
def huge_sparse_file(tmp_path):
    """A sparse file of 2**63 - 1 bytes, where some file system allows one
    (tmpfs does; ext4 does not)."""
    for directory in (tmp_path, "/dev/shm"):
        path = os.path.join(directory, f"zel-huge-{os.getpid()}.evb")
        try:
            with open(path, "wb") as f:
                f.truncate(2**63 - 1)
        except OSError:
            continue
        yield path
        os.unlink(path)
        return
    pytest.skip("no file system here allows a 2**63 - 1 byte file")


def test_file_larger_than_memory_can_hold_is_a_memory_error(huge_sparse_file):
    with pytest.raises(MemoryError):
        zel.load_events(huge_sparse_file)
