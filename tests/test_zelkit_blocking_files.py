"""zelkit's loaders on FIFOs and endless sources: no deadlock, Ctrl-C works.

zelkit reads without the interpreter lock, so a writer thread can always
run; what these cases catch is a read that cannot be stopped. Each runs in
a child process, so a regression shows up as a timeout, not a hung session."""
import os

import pytest

from helpers import interrupted_call, load_from_fifo_written_by_thread


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
