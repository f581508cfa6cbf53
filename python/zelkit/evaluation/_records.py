"""What a dataset evaluation produces: one row per file and setting, or a failure."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

#: The general-purpose compressors measured beside zel, by --baselines choice.
BASELINES = {"none": (), "fast": ("zstd3",), "all": ("zstd3", "zstd19", "xz")}


@dataclass(frozen=True, order=True)
class Setting:
    """One point of the sweep: the grid, how the recording is cut into frames,
    and the codec that codes the occupancy."""

    time_bins: int
    max_depth: int
    frames: int = 1
    codec: str = "zel"

    def label(self) -> str:
        return f"bins {self.time_bins} depth {self.max_depth} frames {self.frames} codec {self.codec}"


@dataclass(frozen=True)
class Record:
    """Measurements of one file at one setting.

    Sizes are in bytes. ``ratio`` is the 9-byte raw record size over zel's
    bytes; ``*_raw`` are general compressors on the raw records, ``*_grid``
    the same compressors on the packed occupancy grid (frames x time_bins
    bins over the recording, height, width); a compressor that was not asked
    for (or a grid too large to hand it) leaves None. ``duration_us`` is the
    recording's largest minus smallest time, ``t_base`` the microseconds
    subtracted from its camera times to fit the 32-bit field (None: none).
    ``container_bytes`` is the
    whole .zel file. The distortion columns are zelkit.distortion's figures
    for the decoded container: ``coverage`` (fraction of events whose voxel
    is decoded), ``over_coverage`` (fraction of decoded voxels that held no
    event), ``duplicates`` (events merged into a voxel already holding one)
    and the reconstructed times' absolute error. Rates are millions of
    events per second; they and nothing else vary between runs.
    """

    path: str
    format: str
    width: int
    height: int
    time_bins: int
    max_depth: int
    frames: int
    codec: str
    n_events: int
    t_base: int | None
    duration_us: int
    zel_bytes: int
    bits_per_event: float | None
    ratio: float | None
    encode_mev_s: float | None
    decode_mev_s: float | None
    raw_bytes: int
    zstd3_raw: int | None
    zstd19_raw: int | None
    xz_raw: int | None
    grid_bytes: int
    zstd3_grid: int | None
    zstd19_grid: int | None
    xz_grid: int | None
    container_bytes: int
    coverage: float
    over_coverage: float
    duplicates: int
    mean_time_error_us: float
    max_time_error_us: int

    @property
    def setting(self) -> Setting:
        return Setting(self.time_bins, self.max_depth, self.frames, self.codec)

    @property
    def key(self) -> tuple[str, Setting]:
        return (self.path, self.setting)

    def has_baselines(self, names: tuple[str, ...]) -> bool:
        """True when every compressor in ``names`` was measured on the raw
        records (grid figures may be missing for a grid too large to hand over)."""
        return all(getattr(self, f"{name}_raw") is not None for name in names)


#: Columns that depend on timing, so they differ between otherwise equal runs.
TIMING_COLUMNS = frozenset({"encode_mev_s", "decode_mev_s"})

COLUMNS: tuple[str, ...] = tuple(field.name for field in dataclasses.fields(Record))
_TYPES = {field.name: field.type for field in dataclasses.fields(Record)}


def record_to_row(record: Record) -> dict[str, object]:
    return dataclasses.asdict(record)


def record_from_row(row: dict[str, object]) -> Record:
    """Rebuild a record from a row read back from CSV (strings) or JSON (values).

    Raises ValueError for a row that is missing a column or holds a value of
    the wrong kind, so a damaged results file is refused rather than misread.
    """
    values: dict[str, object] = {}
    for name in COLUMNS:
        if name not in row:
            raise ValueError(f"missing column {name!r}")
        values[name] = _parse(name, row[name])
    return Record(**values)  # type: ignore[arg-type]


def _parse(name: str, value: object) -> object:
    kind = _TYPES[name]
    if value is None or value == "":
        if "None" in kind:
            return None
        raise ValueError(f"column {name!r} is empty")
    if kind == "str":
        return str(value)
    if kind.startswith("int"):
        if isinstance(value, bool) or not isinstance(value, (int, str)):
            raise ValueError(f"column {name!r} holds {value!r}, not an integer")
        return int(value)
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise ValueError(f"column {name!r} holds {value!r}, not a number")
    return float(value)


@dataclass(frozen=True)
class Failure:
    """A file that could not be measured (its path as it was found), with the
    reason as one line."""

    path: str
    message: str


class Results(list[Record]):
    """The records of an evaluation, with the files that failed beside them."""

    def __init__(self, records: list[Record] = (), failures: list[Failure] = ()) -> None:  # type: ignore[assignment]
        super().__init__(records)
        self.failures: list[Failure] = list(failures)
