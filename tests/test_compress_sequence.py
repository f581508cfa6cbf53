import random
import re

import pytest

import zel
import zelkit
from helpers import rans_decode, rle_decode, run_python, xor
from zel import Event

GRID = (2, 2, 1, 8)  # width, height, time_bins, max_depth
EMPTY_REPR = "CompressionResult(n_events=0, ratio=0.00x, bpe=0.00)"


def test_three_frames_one_event_each():
    events = [Event(0, 0, 0, 1), Event(1, 1, 10, 1), Event(1, 0, 20, 1)]
    payloads, result = zel.compress_sequence(events, *GRID, 3)
    assert payloads == [bytes.fromhex("9a09fc3a770e"), bytes.fromhex("0148"), bytes.fromhex("0118")]
    assert (result.n_events, result.raw_bytes, result.bitstream_bytes, result.n_bits) == (3, 27, 10, 15)
    assert result.sparsity == 0.75


def test_an_empty_frame_still_gets_a_payload():
    events = [Event(0, 0, 5, 0), Event(1, 1, 5, 1)]
    payloads, result = zel.compress_sequence(events, *GRID, 2)
    assert payloads == [bytes.fromhex("6606 96bb 770e"), bytes.fromhex("01c8")]
    assert result.n_bits == 6
    assert result.sparsity == 0.75


@pytest.mark.parametrize(("events", "n_frames"), [([Event(1, 1, 1, 1)], 0), ([], 3), ([], 0)])
def test_nothing_to_code(events, n_frames):
    payloads, result = zel.compress_sequence(events, 8, 8, 8, 8, n_frames)
    assert payloads == []
    assert repr(result) == EMPTY_REPR
    assert (result.n_events, result.n_bits, result.encode_us, result.decode_us) == (0, 0, 0, 0)
    assert result.sparsity == 1.0


def random_events(rng, n, size=64, t_max=10_000):
    return [Event(rng.randrange(size), rng.randrange(size), rng.randrange(t_max), rng.randrange(2)) for _ in range(n)]


def test_one_frame_equals_compress():
    events = random_events(random.Random(7), 300)
    payloads, seq = zel.compress_sequence(events, 64, 64, 8, 6, 1)
    data, single = zel.compress(events, 64, 64, 8, 6)
    assert payloads == [data]
    for name in ("n_events", "raw_bytes", "bitstream_bytes", "n_bits", "sparsity"):
        assert getattr(seq, name) == getattr(single, name)


def frame_bitstream(events, grid):
    data, result = zel.compress(events, *grid)
    return rans_decode(data, result.n_bits), result.n_bits, result.sparsity


@pytest.mark.parametrize("seed", range(4))
def test_payload_chain_rebuilds_every_frame(seed):
    rng = random.Random(seed)
    events = random_events(rng, rng.randrange(1, 400))
    grid = (64, 64, rng.choice([1, 3, 8]), rng.randrange(0, 9))
    n_frames = rng.randrange(1, 12)
    payloads, result = zel.compress_sequence(events, *grid, n_frames)
    assert len(payloads) == n_frames

    t_min = min(e.t for e in events)
    span = (max(e.t for e in events) - t_min) or 1
    frames = [[] for _ in range(n_frames)]
    for e in events:
        frames[min(int((e.t - t_min) / span * (n_frames - 1.0)), n_frames - 1)].append(e)

    decoded = b""
    total_bits, sparsities = 0, []
    for k, (frame, payload) in enumerate(zip(frames, payloads)):
        expected, n_bits, sparsity = frame_bitstream(frame, grid)
        if k == 0:
            decoded = rans_decode(payload, n_bits)
        else:
            assert len(payload) % 2 == 0 and len(payload) >= 2
            decoded = xor(decoded, rle_decode(payload))
        assert decoded[: len(expected)] == expected
        assert set(decoded[len(expected):]) <= {0}
        total_bits += n_bits
        sparsities.append(sparsity)
    assert result.n_bits == total_bits
    assert result.bitstream_bytes == sum(map(len, payloads))
    assert result.sparsity == pytest.approx(sum(sparsities) / n_frames)


def test_frame_assignment_over_a_hundred_microseconds():
    # One event per timestamp, each on its own pixel of a 16 x 16 grid.
    events = [Event(t % 16, t // 16, t, 1) for t in range(101)]
    payloads, _ = zel.compress_sequence(events, 16, 16, 1, 8, 4)
    expected_frames = [range(0, 34), range(34, 67), range(67, 100), range(100, 101)]
    decoded = b""
    for k, times in enumerate(expected_frames):
        expected, n_bits, _ = frame_bitstream([events[t] for t in times], (16, 16, 1, 8))
        decoded = rans_decode(payloads[0], n_bits) if k == 0 else xor(decoded, rle_decode(payloads[k]))
        assert decoded[: len(expected)] == expected


def test_many_frames_with_few_events():
    events = [Event(1, 1, 0, 1), Event(2, 2, 1_000_000, 0)]
    payloads, result = zel.compress_sequence(events, 128, 128, 16, 8, 200_000)
    assert len(payloads) == 200_000
    assert result.n_events == 2
    assert all(len(p) >= 2 and len(p) % 2 == 0 for p in payloads[1:])


@pytest.mark.parametrize("n_frames", [2**63, 2**64 - 1])
def test_impossible_frame_counts_raise_memory_error(n_frames):
    with pytest.raises(MemoryError):
        zel.compress_sequence([Event(1, 1, 1, 1)], 8, 8, 8, 8, n_frames)


def test_keywords_in_any_order():
    events = [Event(0, 0, 0, 1), Event(1, 1, 10, 1)]
    by_keyword = zel.compress_sequence(n_frames=2, max_depth=8, time_bins=1, height=2, width=2, events=events)
    assert by_keyword[0] == zel.compress_sequence(events, 2, 2, 1, 8, 2)[0]


@pytest.mark.address_space_limit
def test_frame_count_beyond_physical_memory_is_refused_up_front():
    # Each frame costs at least ~76 bytes once its bytes object and list slot
    # are counted; 26 bytes per frame would pass the check for this count
    # and then climb for half a minute. The limit only bounds a regression.
    done = run_python(
        """
        import os, resource, zel
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        n_frames = max(10**9, memory // 30)
        try:
            zel.compress_sequence([zel.Event(0, 0, 0, 0)], 1, 1, 1, 1, n_frames)
        except MemoryError as error:
            print(error)
        """
    )
    assert done.returncode == 0, done.stderr
    assert "n_frames" in done.stdout and "memory" in done.stdout


@pytest.mark.parametrize(("events", "n_frames"), [([], 2**64 - 1), ([Event(0, 0, 0, 0)], 0)])
def test_nothing_to_code_needs_no_memory_whatever_the_frame_count(events, n_frames):
    payloads, result = zel.compress_sequence(events, 1, 1, 1, 1, n_frames)
    assert payloads == [] and result.n_events == 0


# zelkit's compress_sequence, over arrays, shares zel's refusal of frame
# counts that cannot fit: one check in the core, the same message.
SEQUENCE_CALLS = {
    "zel": "zel.compress_sequence([zel.Event(0, 0, 0, 0)] * 3, 1, 1, 1, 1, {n_frames})",
    "zelkit": "zelkit.compress_sequence(zelkit.as_events([zel.Event(0, 0, 0, 0)] * 3), 1, 1, 1, 1, {n_frames})",
    "zelkit._native": "zelkit._native.compress_sequence(bytes(27), 1, 1, 1, 1, {n_frames})",
}


@pytest.mark.address_space_limit
def test_both_modules_refuse_a_frame_count_beyond_memory_alike():
    # Under the limit the drivers' own allocations fail too, but with a bare
    # MemoryError: only the up-front check names the figures.
    done = run_python(
        f"""
        import os, resource, zel, zelkit, zelkit._native
        memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        n_frames = max(10**9, memory // 30)
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        print(n_frames, memory)
        for name, call in {SEQUENCE_CALLS!r}.items():
            try:
                eval(call.format(n_frames=n_frames))
            except MemoryError as error:
                print(name, error)
        """
    )
    assert done.returncode == 0, done.stderr
    header, *lines = done.stdout.splitlines()
    n_frames, memory = header.split()
    expected = re.compile(rf"n_frames {n_frames} needs at least \d+ bytes per frame, more than "
                          rf"the {memory} bytes of memory this machine has")
    assert [line.split(" ", 1)[0] for line in lines] == list(SEQUENCE_CALLS)
    messages = {line.split(" ", 1)[1] for line in lines}
    assert len(messages) == 1 and expected.fullmatch(messages.pop())


@pytest.mark.parametrize("n_frames", [2**63, 2**64 - 1])
def test_zelkit_refuses_impossible_frame_counts(n_frames):
    with pytest.raises(MemoryError, match="needs at least"):
        zelkit.compress_sequence(zelkit.as_events([Event(1, 1, 1, 1)]), 8, 8, 8, 8, n_frames)


@pytest.mark.parametrize(("n_events", "n_frames"), [(0, 2**64 - 1), (1, 0)])
def test_zelkit_needs_no_memory_when_nothing_is_coded(n_events, n_frames):
    events = zelkit.as_events([Event(0, 0, 0, 0)] * n_events)
    payloads, stats = zelkit.compress_sequence(events, 1, 1, 1, 1, n_frames)
    assert payloads == [] and stats.n_events == 0
