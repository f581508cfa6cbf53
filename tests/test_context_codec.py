"""codec="context": the same boxes as codec="zel" for every shape, grid, depth and
frame layout; keyframes of kind 2 between the same deltas; streaming, seeking,
damaged payloads refused at their offset, and the command's --codec."""

import struct
import typing

import numpy as np
import pytest

import zelkit
from container_layout import FRAME, assemble, parse, records, with_crc
from zel_command import tables, zel

TIME_MAX = 2**32 - 1


def shaped_events(shape, n, width, height, rng):
    """Events shaped to reach every path of the coders; coordinates reach a little
    past the sensor, where the grid's clamping applies."""
    w, h = max(width, 1), max(height, 1)
    ev = np.zeros(n, dtype=zelkit.EVENT_DTYPE)
    x = rng.integers(0, w + 3, n)
    y = rng.integers(0, h + 3, n)
    t = rng.integers(1000, 51_000, n)
    if shape == "clustered":
        cx, cy = rng.integers(0, w), rng.integers(0, h)
        x, y = cx + rng.integers(0, 5, n), cy + rng.integers(0, 5, n)
    elif shape == "hot pixels":
        pixels = rng.integers(0, 4, n)
        x, y = pixels * (w // 4), rng.integers(0, 4, n) * (h // 4)
    elif shape == "extreme coordinates":
        x = rng.choice([0, w - 1, w, 65535], n)
        y = rng.choice([0, h - 1, h, 65535], n)
    elif shape == "extreme timestamps":
        t = rng.choice([0, 1, TIME_MAX - 1, TIME_MAX], n)
    elif shape == "one timestamp":
        t = np.full(n, rng.integers(0, TIME_MAX))
    ev["x"] = np.minimum(x, 65535)
    ev["y"] = np.minimum(y, 65535)
    ev["t"] = np.sort(t)
    ev["p"] = rng.integers(0, 2, n)
    return ev


def box_set(frame):
    b = frame.boxes
    return set(zip(*(b[f].tolist() for f in ("x", "y", "bin", "dx", "dy", "dbin"))))


def frame_facts(reader):
    return [(box_set(f), f.n_bits, f.n_events, f.time_range) for f in reader]


def encode_both(ev, **params):
    return {codec: zelkit.encode(ev, codec=codec, **params) for codec in zelkit.CODECS}


SHAPES = ["uniform", "clustered", "hot pixels", "extreme coordinates", "extreme timestamps",
          "one timestamp", "no events"]
GRIDS = [(34, 34, 16), (346, 260, 64), (65535, 65535, 65535), (1, 1, 1), (0, 0, 0), (5, 3, 2),
         (65535, 2, 300), (640, 480, 256), (1280, 720, 65535)]
DEPTHS = [0, 1, 2, 3, 5, 8, 12, 16, 17, 255]
# (frames, keyframe_interval): one frame; a sequence with each codec's default; every
# frame a keyframe; keyframes every 4; an interval beyond the sequence (one keyframe,
# deltas after it).
SEQUENCES = [(1, None), (6, None), (6, 1), (6, 4), (6, 7)]


@pytest.mark.parametrize("frames, interval", SEQUENCES, ids=lambda v: str(v))
@pytest.mark.parametrize("shape", SHAPES)
def test_both_codecs_decode_to_the_same_frames(shape, frames, interval):
    rng = np.random.default_rng([SHAPES.index(shape), frames, interval or 0])
    for width, height, time_bins in GRIDS:
        n = 0 if shape == "no events" else int(rng.integers(1, 400))
        ev = shaped_events(shape, n, width, height, rng)
        params = dict(width=width, height=height, time_bins=time_bins,
                      max_depth=int(rng.choice(DEPTHS)), n_frames=frames, keyframe_interval=interval)
        files = encode_both(ev, **params)
        with zelkit.decode(files["zel"]) as a, zelkit.decode(files["context"]) as b:
            assert frame_facts(b) == frame_facts(a), params


@pytest.mark.parametrize("grid", [(65535, 65535, 65535), (346, 260, 64), (7, 1, 1000)],
                         ids=lambda g: "x".join(map(str, g)))
def test_every_depth_gives_the_same_frames(grid):
    width, height, time_bins = grid
    rng = np.random.default_rng(sum(grid))
    ev = np.concatenate([shaped_events("uniform", 500, width, height, rng),
                         shaped_events("clustered", 500, width, height, rng)])
    ev.sort(order="t")
    for depth in range(18):
        files = encode_both(ev, width=width, height=height, time_bins=time_bins, max_depth=depth,
                            n_frames=3, keyframe_interval=2)
        with zelkit.decode(files["zel"]) as a, zelkit.decode(files["context"]) as b:
            assert frame_facts(b) == frame_facts(a), depth


@pytest.mark.parametrize("interval, kinds", [(None, [2] * 5), (1, [2] * 5), (2, [2, 1, 2, 1, 2]),
                                             (9, [2, 1, 1, 1, 1])])
def test_context_keyframes_lie_between_the_deltas_of_zel(interval, kinds):
    ev = shaped_events("uniform", 3000, 64, 48, np.random.default_rng(5))
    params = dict(width=64, height=48, time_bins=16, max_depth=8, n_frames=5, keyframe_interval=interval)
    zel_file = parse(zelkit.encode(ev, **params))
    context_file = parse(zelkit.encode(ev, codec="context", **params))
    assert [f["kind"] for f in context_file["frames"]] == kinds
    # The header is the zel file's but for the interval the context codec defaults to.
    assert context_file["keyframe_interval"] == (interval or 1)
    assert zel_file["keyframe_interval"] == (interval or 0)
    for z, c in zip(zel_file["frames"], context_file["frames"]):
        assert c["n_bits"] == z["n_bits"]
        if c["kind"] == 1:
            assert c["payload"] == z["payload"]
    keyframe_bytes = [(len(c["payload"]), len(z["payload"]))
                      for z, c in zip(zel_file["frames"], context_file["frames"]) if c["kind"] == 2]
    assert all(c < z for c, z in keyframe_bytes)


def test_codec_zel_is_the_default_and_writes_the_same_bytes():
    ev = shaped_events("clustered", 500, 40, 30, np.random.default_rng(9))
    params = dict(width=40, height=30, time_bins=8, max_depth=6, n_frames=4, keyframe_interval=3)
    assert zelkit.encode(ev, codec="zel", **params) == zelkit.encode(ev, **params)
    assert [f["kind"] for f in parse(zelkit.encode(ev, **params))["frames"]] == [0, 1, 1, 0]


def test_codec_names_are_the_native_table():
    assert typing.get_args(zelkit.Codec) == zelkit.CODECS == ("zel", "context")


@pytest.mark.parametrize("call", ["encode", "write", "encode_stream"])
def test_an_unknown_codec_is_refused_naming_the_choices(call, tmp_path):
    ev = shaped_events("uniform", 10, 8, 8, np.random.default_rng(1))
    grid = dict(width=8, height=8, time_bins=2, max_depth=3, codec="lossy")
    # encode and write also store events without loss; a stream of frames does not.
    choices = "must be 'zel' or 'context'" if call == "encode_stream" else "must be one of 'zel', 'context', 'lossless'"
    with pytest.raises(ValueError, match=f"codec.*{choices}, not 'lossy'"):
        if call == "encode":
            zelkit.encode(ev, **grid)
        elif call == "write":
            zelkit.write(tmp_path / "x.zel", ev, **grid)
        else:
            zelkit.encode_stream(tmp_path / "x.zel", [ev], window_us=100, **grid)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("interval", [None, 3])
def test_the_stream_writer_codes_context_keyframes(interval, tmp_path):
    ev = shaped_events("uniform", 4000, 50, 40, np.random.default_rng(6))
    params = dict(width=50, height=40, time_bins=8, max_depth=6, window_us=5_000,
                  keyframe_interval=interval)
    paths = {codec: tmp_path / f"{codec}.zel" for codec in zelkit.CODECS}
    counts = {codec: zelkit.encode_stream(path, np.array_split(ev, 7), codec=codec, **params)
              for codec, path in paths.items()}
    assert counts["zel"] == counts["context"] == 10
    with zelkit.open(paths["zel"]) as a, zelkit.open(paths["context"]) as b:
        assert b.keyframe_interval == (interval or 1)
        assert frame_facts(b) == frame_facts(a)
        assert [f.keyframe for f in b] == [interval is None or k % interval == 0 for k in range(10)]
    kinds = [f["kind"] for f in parse(paths["context"].read_bytes())["frames"]]
    assert kinds == [2 if interval is None or k % interval == 0 else 1 for k in range(10)]


@pytest.mark.parametrize("interval", [1, 3, 4])
def test_seeking_a_context_file_gives_the_sequential_frames(interval):
    ev = shaped_events("clustered", 3000, 40, 30, np.random.default_rng(interval))
    params = dict(width=40, height=30, time_bins=8, max_depth=6, n_frames=11)
    sequential = [box_set(f) for f in zelkit.decode(zelkit.encode(ev, **params))]
    reader = zelkit.decode(zelkit.encode(ev, codec="context", keyframe_interval=interval, **params))
    order = [7, 3, 10, 0, 9, 9, 1, 5, -1, 6]
    assert [box_set(reader[k]) for k in order] == [sequential[k] for k in order]
    assert [f.keyframe for f in reader] == [k % interval == 0 for k in range(11)]
    window = reader.window(*reader.frame_time_ranges()[4])
    assert box_set(window[0]) == sequential[window[0].index]


# ------------------------------------------------------------------ damaged payloads


def context_sample():
    """Five frames of a 16 x 16 grid, keyframes 0 and 3 of kind 2, keyframe 3 without
    events: frame k holds the times [100k * k, 100k * (k + 1)), the last frame 400k alone."""
    ev = shaped_events("uniform", 600, 16, 16, np.random.default_rng(8))
    ev["t"] = np.sort(np.random.default_rng(9).integers(0, 300_000, ev.size))
    ev["t"][-1] = 400_000
    data = zelkit.encode(ev, width=16, height=16, time_bins=4, max_depth=4, n_frames=5,
                         keyframe_interval=3, codec="context")
    return bytearray(data), parse(data)


def reseal(record):
    record = bytearray(record)
    length = struct.unpack_from("<Q", record, 40)[0]
    return bytes(with_crc(record, 0, FRAME.size + length))


def edit_record(k, edit):
    """The file re-assembled with record k's (header fields, payload) through ``edit``."""
    def craft(data, layout):
        parts = records(bytes(data), layout)
        head = bytearray(parts[k][: FRAME.size])
        payload = bytearray(parts[k][FRAME.size:-4])
        head, payload = edit(head, payload)
        struct.pack_into("<Q", head, 40, len(payload))
        parts[k] = reseal(bytes(head) + bytes(payload) + bytes(4))
        return assemble(bytes(data), parts)
    return craft


def payload_byte(index, value):
    def edit(head, payload):
        payload[index] = value(payload[index])
        return head, payload
    return edit


def field(at, fmt, value):
    def edit(head, payload):
        struct.pack_into(fmt, head, at, value(struct.unpack_from(fmt, head, at)[0]))
        return head, payload
    return edit


def cut(keep):
    def edit(head, payload):
        return head, payload[:keep]
    return edit


def at_payload(k, delta=0):
    return lambda layout: (layout["frames"][k]["offset"] + FRAME.size + delta,) * 2


def in_payload(k):
    def where(layout):
        start = layout["frames"][k]["offset"] + FRAME.size
        return start, start + len(layout["frames"][k]["payload"])
    return where


def at_field(k, at):
    return lambda layout: (layout["frames"][k]["offset"] + at,) * 2


CONTEXT_REFUSALS = {
    "unknown version": (edit_record(0, payload_byte(0, lambda b: (b & 0xF0) | 2)),
                        "frame 0 context payload: unknown version 2", at_payload(0)),
    "reserved header bits": (edit_record(0, payload_byte(0, lambda b: b | 0x40)),
                             "reserved header bits", at_payload(0)),
    "three-lane code": (edit_record(0, payload_byte(0, lambda b: b | 0x30)), "reserved header bits",
                        at_payload(0)),
    "states cut short": (edit_record(0, cut(3)), "cut short", at_payload(0, 3)),
    "stream cut short": (edit_record(0, cut(-3)), "frame 0 context payload", in_payload(0)),
    "bytes flipped": (edit_record(0, payload_byte(7, lambda b: b ^ 0xA5)), "frame 0 context payload",
                      in_payload(0)),
    "bit count off by one": (edit_record(0, field(32, "<Q", lambda n: n + 1)),
                             "its frame declares", at_payload(0)),
    "bit count beyond the payload": (edit_record(0, field(32, "<Q", lambda n: 2**50)),
                                     "more than its .*-byte payload can hold", at_field(0, 32)),
    "fewer events than nodes": (edit_record(0, field(24, "<Q", lambda n: 1)),
                                "more occupied nodes than the frame has events", at_payload(0, 1)),
    "context kind at a delta's place": (edit_record(1, field(4, "<B", lambda k: 2)),
                                        "frame 1 is stored as a keyframe", at_field(1, 4)),
    "bytes after an empty tree": (edit_record(3, lambda h, p: (h, p + b"\0")),
                                  "bytes after a tree without decisions", at_payload(3, 1)),
}


@pytest.mark.parametrize("name", CONTEXT_REFUSALS)
def test_damaged_context_payloads_are_refused_with_offset(name):
    craft, message, where = CONTEXT_REFUSALS[name]
    data, layout = context_sample()
    assert [f["kind"] for f in layout["frames"]] == [2, 1, 1, 2, 1]
    assert layout["frames"][3]["n_events"] == 0 and len(layout["frames"][0]["payload"]) > 8
    damaged = bytes(craft(data, layout))
    reader = zelkit.decode(damaged)
    with pytest.raises(zelkit.FormatError, match=message) as info:
        list(reader)
    low, high = where(parse(damaged))
    assert low <= info.value.offset <= high
    assert f"offset {info.value.offset}" in str(info.value)


def test_a_rans_keyframe_relabelled_as_context_is_refused():
    ev = shaped_events("uniform", 600, 16, 16, np.random.default_rng(8))
    data = zelkit.encode(ev, width=16, height=16, time_bins=4, max_depth=4, n_frames=2)
    craft = edit_record(0, field(4, "<B", lambda k: 2))
    damaged = bytes(craft(bytearray(data), parse(data)))
    with pytest.raises(zelkit.FormatError, match="frame 0 context payload") as info:
        zelkit.decode(damaged)[0]
    start = parse(damaged)["frames"][0]["offset"] + FRAME.size
    assert start <= info.value.offset <= start + len(parse(damaged)["frames"][0]["payload"])


# ------------------------------------------------------------------ the command


def test_compress_with_codec_context_writes_kind_2_keyframes_with_zel_boxes(tmp_path):
    ev = shaped_events("clustered", 2000, 64, 48, np.random.default_rng(3))
    source = tmp_path / "in.evb"
    zelkit.save(source, ev)
    outputs = {}
    for codec in zelkit.CODECS:
        outputs[codec] = tmp_path / f"{codec}.zel"
        result = zel("compress", source, "-o", outputs[codec], "--time-bins", "16", "--max-depth", "8",
                     "--frames", "4", "--width", "64", "--height", "48", "--codec", codec)
        assert result.returncode == 0, result.stderr
    assert [f["kind"] for f in parse(outputs["context"].read_bytes())["frames"]] == [2, 2, 2, 2]
    assert [f["kind"] for f in parse(outputs["zel"].read_bytes())["frames"]] == [0, 1, 1, 1]
    with zelkit.open(outputs["zel"]) as a, zelkit.open(outputs["context"]) as b:
        assert frame_facts(b) == frame_facts(a)
    refused = zel("compress", source, "--time-bins", "16", "--max-depth", "8", "--codec", "lossy")
    assert refused.returncode == 2 and "invalid choice: 'lossy'" in refused.stderr


def test_bench_shows_both_codecs_side_by_side(tmp_path):
    ev = shaped_events("clustered", 3000, 64, 48, np.random.default_rng(4))
    zelkit.save(tmp_path / "in.evb", ev)
    result = zel("bench", tmp_path / "in.evb", "--time-bins", "16", "--max-depth", "8",
                 "--codec", "zel,context", "--baselines", "none", "--jobs", "1", "--no-progress",
                 "--out", tmp_path / "rows.csv")
    assert result.returncode == 0, result.stderr
    like, lossy = tables(result.stdout)
    assert sorted(row["codec"] for row in like) == ["context", "zel"]
    bits = {row["codec"]: float(row["bits/event mean"]) for row in like}
    sensor = zelkit.info(tmp_path / "in.evb")
    container = {codec: zelkit.encode(ev, width=sensor.width, height=sensor.height, time_bins=16,
                                      max_depth=8, codec=codec)
                 for codec in zelkit.CODECS}
    payload = {codec: sum(f.payload_bytes for f in zelkit.decode(data)) for codec, data in container.items()}
    assert bits == pytest.approx({codec: 8 * payload[codec] / ev.size for codec in payload}, abs=5e-4)
    refused = zel("bench", tmp_path / "in.evb", "--codec", "zel,lossy")
    assert refused.returncode == 2 and "unknown codec 'lossy'" in refused.stderr
