import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zel
from helpers import bits, rans_decode
from zel import Event


def ev(x, y, t, p=1):
    return Event(x, y, t, p)


def test_empty_list():
    data, result = zel.compress([], 640, 480, 16, 8)
    assert data == bytes.fromhex("ff0f00088000")
    assert (result.n_events, result.raw_bytes, result.bitstream_bytes, result.n_bits) == (0, 0, 6, 1)
    assert result.sparsity == 1.0
    assert result.bits_per_event == 48.0
    assert result.compression_ratio == 0.0
    assert repr(result) == "CompressionResult(n_events=0, ratio=0.00x, bpe=48.00)"


def test_depth_zero_codes_a_single_full_root():
    data, result = zel.compress([ev(5, 5, 1), ev(9, 1, 7)], 16, 16, 4, 0)
    assert data == bytes.fromhex("010001088000")
    assert result.n_bits == 1
    assert result.n_events == 2 and result.raw_bytes == 18


@pytest.mark.parametrize("size", [0, 1])
def test_one_voxel_grid(size):
    data, result = zel.compress([ev(3, 9, 10), ev(0, 0, 99)], size, size, size, 8)
    assert result.sparsity == 0.0
    assert result.n_bits == 1
    assert data == bytes.fromhex("010001088000")


# (events, width, height, time_bins, max_depth, expected bitstream, sparsity)
BITSTREAM_CASES = [
    ([ev(1, 0, 5)], 2, 2, 2, 1, "100001000", 7 / 8),
    ([ev(0, 0, 7), ev(3, 1, 7)], 4, 2, 1, 8, "110011001", 6 / 8),
    ([ev(0, 0, 0), ev(1, 1, 50), ev(1, 1, 100)], 2, 2, 3, 8, "110000011100110", 13 / 16),
    ([ev(5, 5, 1)], 8, 8, 1, 2, "100011000", 63 / 64),
    ([ev(5, 5, 1)], 8, 8, 1, 200, "1000110000001", 63 / 64),
    # Seven events at one pixel fill the four time bins of a 1 x 1 x 4 grid.
    ([ev(0, 0, t) for t in (0, 33, 34, 66, 67, 99, 100)], 1, 1, 4, 8, "1" + "11" + "1111", 0.0),
]


@pytest.mark.parametrize(("events", "width", "height", "time_bins", "max_depth", "expected", "sparsity"), BITSTREAM_CASES)
def test_bitstreams_of_known_grids(events, width, height, time_bins, max_depth, expected, sparsity):
    data, result = zel.compress(events, width, height, time_bins, max_depth)
    assert result.n_bits == len(expected)
    assert bits(rans_decode(data, result.n_bits), result.n_bits) == expected
    assert result.sparsity == sparsity
    assert result.bitstream_bytes == len(data)


def test_coordinates_are_clamped_to_the_rounded_grid():
    # width 34 rounds to 64 columns: x 70 lands on column 63, x 40 stays put.
    beyond = zel.compress([ev(70, 3, 0), ev(1, 1, 9)], 34, 8, 2, 10)[0]
    last_column = zel.compress([ev(63, 3, 0), ev(1, 1, 9)], 34, 8, 2, 10)[0]
    inside = zel.compress([ev(40, 3, 0), ev(1, 1, 9)], 34, 8, 2, 10)[0]
    assert beyond == last_column
    assert inside != last_column
    # width 8 is already a power of two: x 9 becomes 7.
    assert zel.compress([ev(9, 0, 0)], 8, 8, 1, 8)[0] == zel.compress([ev(7, 0, 0)], 8, 8, 1, 8)[0]


def test_polarity_and_duplicates_do_not_matter():
    a = zel.compress([ev(1, 2, 3, 0), ev(4, 5, 6, 1)], 8, 8, 4, 8)
    b = zel.compress([ev(1, 2, 3, 255), ev(4, 5, 6, 0), ev(4, 5, 6, 1)], 8, 8, 4, 8)
    assert a[0] == b[0]
    assert a[1].n_bits == b[1].n_bits and a[1].sparsity == b[1].sparsity
    assert b[1].n_events == 3


def test_repeated_calls_are_deterministic_and_keywords_bind():
    events = [ev((i * 37) % 128, (i * 11) % 128, i * 13, i % 2) for i in range(500)]
    first_data, first = zel.compress(events, 128, 128, 16, 7)
    second_data, second = zel.compress(time_bins=16, max_depth=7, events=events, height=128, width=128)
    assert first_data == second_data
    for name in ("n_events", "raw_bytes", "bitstream_bytes", "n_bits", "sparsity", "bits_per_event", "compression_ratio"):
        assert getattr(first, name) == getattr(second, name)
    assert first.raw_bytes == 9 * 500
    assert first.bits_per_event == first.bitstream_bytes * 8 / 500
    assert first.compression_ratio == 4500 / first.bitstream_bytes


def test_result_attributes_are_read_only():
    # Root, its 8 children, then the 8 voxels of the occupied child.
    result = zel.compress([ev(1, 1, 1)], 4, 4, 4, 4)[1]
    assert result.n_bits == 1 + 8 + 8
    assert type(result.encode_us) is int and type(result.decode_us) is int
    for name in ("n_events", "sparsity", "bits_per_event", "compression_ratio", "encode_us"):
        with pytest.raises(AttributeError):
            setattr(result, name, 1)
    with pytest.raises(TypeError, match="^No constructor defined for CompressionResult$"):
        zel.CompressionResult()
    assert str(result) == repr(result)


def test_repr_rounds_like_python_formatting():
    for n in range(1, 60):
        events = [ev(i % 16, (i * 5) % 16, i) for i in range(n)]
        result = zel.compress(events, 16, 16, 8, 8)[1]
        expected = f"CompressionResult(n_events={n}, ratio={result.compression_ratio:.2f}x, bpe={result.bits_per_event:.2f})"
        assert repr(result) == expected


def test_events_are_copied_on_entry():
    events = [ev(1, 1, 1)]
    data = zel.compress(events, 4, 4, 1, 4)[0]
    events[0].x = 3
    assert zel.compress([ev(1, 1, 1)], 4, 4, 1, 4)[0] == data


def test_largest_grid_is_coded_without_a_dense_bitmap():
    # 65536^3 voxels: two opposite corners give one subdivided root, eight
    # children, then a chain of 15 eight-way splits down to each voxel.
    events = [ev(65535, 65535, 4294967295), ev(0, 0, 0)]
    data, result = zel.compress(events, 65535, 65535, 65535, 255)
    assert result.n_bits == 1 + 8 + 2 * 15 * 8
    assert result.sparsity == 1.0 - 2 / 2**48
    decoded = bits(rans_decode(data, result.n_bits), result.n_bits)
    assert decoded[:9] == "1" + "10000001"


event_strategy = st.builds(
    Event,
    st.integers(0, 300),
    st.integers(0, 300),
    st.one_of(st.integers(0, 2000), st.integers(0, 2**32 - 1)),
    st.integers(0, 255),
)


@settings(max_examples=120, deadline=None)
@given(
    events=st.lists(event_strategy, max_size=40),
    dims=st.tuples(st.integers(0, 300), st.integers(0, 300), st.integers(0, 70)),
    max_depth=st.integers(0, 255),
)
def test_stream_decodes_exactly_to_its_bit_count(events, dims, max_depth):
    data, result = zel.compress(events, *dims, max_depth)
    # The independent decoder checks the final state and that every byte is used.
    packed = rans_decode(data, result.n_bits)
    assert len(packed) == (result.n_bits + 7) // 8
    assert bool(packed[0] & 0x80) == bool(events)  # the root is occupied iff there are events
    if max_depth == 0 or not events:
        assert result.n_bits == 1
    assert 0.0 <= result.sparsity <= 1.0
    assert result.bitstream_bytes == len(data)


def test_encode_and_decode_times_are_separate_figures():
    # Encoding sorts and codes, decoding only rebuilds the tree: over a few
    # calls the two timings cannot always coincide.
    events = [ev((i * 7919) % 640, (i * 104729) % 480, i * 50) for i in range(20_000)]
    results = [zel.compress(events, 640, 480, 64, 12)[1] for _ in range(5)]
    assert any(r.encode_us != r.decode_us for r in results)
