"""Transforms a recorded log with a block, chunk by chunk.

A log is read as a sequence of `SampleChunk`s. `ChunkTransformer` turns one
chunk into its output with `update_batch` and carries over to the next chunk
what crosses the edge between them: the transform stream's position and the
last sample's stamp and angular rate. The result for a sample is therefore the
same whatever the chunk size, and memory holds two chunks of the log (the one
being transformed and the next, whose first sample the angular acceleration
needs), one chunk of the transform stream and the writer's buffers, whatever
the log's length.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import time
from contextlib import ExitStack
from collections.abc import Callable, Iterator, Mapping
from dataclasses import asdict, dataclass, field
from pathlib import Path
from types import TracebackType
from typing import Any

import numpy as np
import oska_control

from .align import (ConstantTransform, Difference, Floats, Mask, Outside, StampOrder, Stamps,
                    TransformTrack, angular_acceleration, NS_PER_S)
from .config_check import check_config
from .errors import OskaToolError
from .kinds import TRANSFORM_COLUMNS, Block, Kind, kind as find_kind
from .progress import Progress
from .tables import (DEFAULT_CHUNK_ROWS, TableReader, TableWriter, matrix, column_stamps,
                     open_transform_table, output_schema, replace_signal, resolve_columns,
                     table_format)

IDENTITY = np.array([0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0])
TABLE_TRANSFORM_COLUMNS = tuple(f"tf_{c}" for c in TRANSFORM_COLUMNS)
"""The transform's columns inside a signal table."""

Track = TransformTrack | ConstantTransform


@dataclass
class SampleChunk:
    """Consecutive samples of a log."""

    signal: Floats
    """(n, size) float64, C-contiguous: the block's input."""
    stamps: Stamps | None = None
    """int64 nanoseconds, or None for a log without time."""
    tf: Floats | None = None
    """(n, 7) transform rows that came with the samples, if any."""
    payload: Any = None
    """What the writer needs besides the output values (the table rows to pass
    through, the bag messages' log times)."""
    angular_acceleration: Floats | None = None
    """(n, 3) angular accelerations that came with the samples, for a block
    that takes them; used as they are instead of being derived."""


@dataclass
class TransformResult:
    """What a transform did, for the command's report."""

    input: str
    output: str
    block: str
    samples_in: int = 0
    samples_out: int = 0
    seconds: float = 0.0
    transform: str = "none"
    details: dict[str, str] = field(default_factory=dict)

    def to_dict(self) -> dict[str, Any]:
        """The result as a JSON-ready dictionary."""
        return asdict(self)


def prepare_block(config: str | os.PathLike[str] | Any, kind: Kind) -> tuple[Block, bool]:
    """The block of `kind` configured from `config` (a JSON file path or an
    OskaTfConfig), and whether it needs a fixed-to-moving transform per sample.

    A block that the configuration does not make ready (an entry left out, pose
    input axes on the moving frame) is refused with the reason."""
    source = os.fspath(config) if isinstance(config, (str, os.PathLike)) else config
    try:
        block, probe = kind.build(source), kind.build(source)
    except (RuntimeError, ValueError) as e:
        raise OskaToolError(f"the {kind.signal} block cannot be built: {e}. Run `oska-tf check` "
                            "on the configuration for details.") from None
    if probe.is_ready():
        return block, False
    if kind.has_transform:
        probe_tf: Any = probe
        probe_tf.set_fixed_to_moving_frame_tf(IDENTITY.copy())
        if probe.is_ready():
            return block, True
    reasons = "some of its entries are not set"
    if isinstance(source, str):
        found = [f for f in check_config(source) if f.path.startswith(kind.section)
                 and f.code in ("missing-entry", "pose-input-axes")]
        if found:
            reasons = "; ".join(f"{f.path}: {f.message}" for f in found)
    raise OskaToolError(f"the {kind.signal} block from this configuration never produces "
                        f"output: {reasons}. The tool uses the configuration as it is; "
                        "complete the section.")


class ChunkTransformer:
    """Transforms a log's chunks in order, carrying state across their edges.

    `track` gives the transform at the samples' stamps (interpolated); without
    it, a block that needs a transform takes the rows that come with each chunk.
    `difference` derives the angular acceleration for a block that takes one.
    """

    def __init__(self, block: Block, kind: Kind, needs_tf: bool, track: Track | None = None,
                 difference: Difference = "none") -> None:
        self.block = block
        self.kind = kind
        self.needs_tf = needs_tf
        self.track = track
        self.difference = difference
        self._order = StampOrder("the log")
        self._previous: tuple[int, Floats] | None = None

    def carry(self, last: SampleChunk, rows: int) -> None:
        """Takes up a log in its middle: the state carried over as if the log's
        first `rows` samples had been transformed, ending with `last` (at least
        its last sample), so that the next chunk gets what it would get in a
        run over the whole log (time order, the angular acceleration's
        previous sample)."""
        if last.stamps is not None and len(last.stamps):
            self._order.last = int(last.stamps[-1])
            self._previous = (int(last.stamps[-1]),
                              np.asarray(last.signal[-1, -3:], np.float64).copy())
        self._order.rows = rows

    @property
    def needs_time(self) -> bool:
        return (self.track is not None and not isinstance(self.track, ConstantTransform)) \
            or self.difference != "none"

    def transform(self, chunk: SampleChunk, following: SampleChunk | None = None
                  ) -> tuple[Floats, Mask | None]:
        """The block's output for every sample of `chunk`, and which samples to
        keep (None: all). `following` is the next chunk, if any (its first sample
        serves the angular acceleration)."""
        signal = np.ascontiguousarray(chunk.signal, np.float64)
        stamps = chunk.stamps
        if stamps is not None:
            self._order.check(stamps)
        elif self.needs_time:
            raise OskaToolError("the log has no time column, which interpolating the transform "
                                "and deriving the angular acceleration need.")
        kwargs: dict[str, Floats] = {}
        keep: Mask | None = None
        if self.needs_tf:
            if self.track is not None:
                assert stamps is not None or isinstance(self.track, ConstantTransform)
                tf, keep = self.track.sample(stamps if stamps is not None
                                             else np.zeros(len(signal), np.int64))
            elif chunk.tf is not None:
                tf = chunk.tf
            else:
                raise OskaToolError("the configuration puts an entry on the moving frame, and "
                                    "the log brings no transform.")
            kwargs[self.kind.cls.TRANSFORM_INPUT] = np.ascontiguousarray(tf, np.float64)
        if chunk.angular_acceleration is not None and self.kind.takes_angular_acceleration:
            kwargs["angular_acceleration"] = np.ascontiguousarray(chunk.angular_acceleration,
                                                                  np.float64)
        elif self.difference != "none" and self.kind.takes_angular_acceleration and len(signal):
            assert stamps is not None
            after = None
            if following is not None and len(following.signal):
                assert following.stamps is not None
                after = (int(following.stamps[0]), following.signal[0, -3:].astype(np.float64))
            kwargs["angular_acceleration"] = angular_acceleration(
                self.difference, stamps, signal[:, -3:], self._previous, after)
            self._previous = (int(stamps[-1]), signal[-1, -3:].copy())
        out = np.empty_like(signal)
        code = self.block.update_batch(signal, out, **kwargs)
        if code != oska_control.OskaControlReturnCode.Ok:
            raise OskaToolError(f"the {self.kind.signal} block returned {code.name} on this log; "
                                "its diagnostic lines are above.")
        return out, keep


def run(chunks: Iterator[SampleChunk], transformer: ChunkTransformer,
        write: Callable[[SampleChunk, Floats, Mask | None], None],
        progress: Callable[[], None] = lambda: None, after: SampleChunk | None = None
        ) -> tuple[int, int]:
    """Feeds every chunk through `transformer` into `write`, one chunk ahead.
    `after` is the sample that follows the last chunk when the chunks are one
    part of a longer log (None at the log's end). Returns the numbers of
    samples read and written."""
    read = written = 0
    current = next(chunks, None)
    while current is not None:
        following = next(chunks, None)
        out, keep = transformer.transform(current, following if following is not None
                                          else after)
        write(current, out, keep)
        read += len(out)
        written += len(out) if keep is None else int(keep.sum())
        progress()
        current = following
    return read, written


# ------------------------------------------------------------------ files ---

def same_file(a: str | os.PathLike[str], b: str | os.PathLike[str]) -> bool:
    """Whether two paths name the same file or folder, however spelled."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def refuse_overwriting_inputs(output: str | os.PathLike[str],
                              inputs: list[str | os.PathLike[str] | None]) -> None:
    for given in inputs:
        if given is None:
            continue
        inside = Path(given).is_dir() and Path(output).resolve().is_relative_to(
            Path(given).resolve())
        if inside or same_file(given, output):
            raise OskaToolError(f"the output {os.fspath(output)} is the same file as the input "
                                f"{os.fspath(given)}" + (" or inside it" if inside else "")
                                + "; the tool never writes over its input. Choose another "
                                "output path.")


class AtomicOutput:
    """A temporary path beside `output`, moved onto it only on success.

    On failure the temporary file or folder is removed and an existing output
    is left as it was. `inner` names the file that becomes `output` when the
    writer makes a folder around it (a single-file bag)."""

    def __init__(self, output: str | os.PathLike[str]) -> None:
        self.output = Path(output)
        directory = self.output.parent
        if not directory.is_dir():
            raise OskaToolError(f"cannot write {self.output}: the folder {directory} does not "
                                "exist.")
        if self.output.is_dir() and not self.output.joinpath("metadata.yaml").exists():
            raise OskaToolError(f"cannot write {self.output}: it is a folder, not a log.")
        handle, name = tempfile.mkstemp(prefix=f".{self.output.name}.", suffix=".oska-tf",
                                        dir=directory)
        os.close(handle)
        os.unlink(name)  # writers create it themselves; the name stays ours
        self.path = Path(name)
        self.inner: Path | None = None

    def __enter__(self) -> AtomicOutput:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 tb: TracebackType | None) -> None:
        try:
            if error is None:
                self._commit()
        finally:
            self._remove(self.path)

    def _commit(self) -> None:
        made = self.inner if self.inner is not None else self.path
        if made.is_dir() and self.output.is_dir():
            old = self.output.with_name(self.path.name + ".old")
            os.replace(self.output, old)
            os.replace(made, self.output)
            shutil.rmtree(old)
        else:
            os.replace(made, self.output)

    @staticmethod
    def _remove(path: Path) -> None:
        if path.is_dir():
            shutil.rmtree(path, ignore_errors=True)
        elif path.exists():
            path.unlink()


# ------------------------------------------------------------------ tables ---

def _chunk_rows(chunk_size: int) -> int:
    if chunk_size < 1:
        raise OskaToolError(f"the chunk size must be at least 1 row, not {chunk_size}.")
    return chunk_size


def transform_track_from_table(tf: str | os.PathLike[str] | None,
                               tf_columns: Mapping[str, str] | None, outside: Outside,
                               max_gap: float | None, chunk_rows: int) -> Track | None:
    """The transform stream of a table (t or t_ns, tx ty tz qw qx qy qz), None
    without one."""
    if tf is None:
        return None
    return TransformTrack(open_transform_table(tf, tf_columns, chunk_rows),
                          f"the transform table {os.fspath(tf)}", outside, gap_ns(max_gap))


def gap_ns(max_gap: float | None) -> int | None:
    """--max-gap in seconds as nanoseconds, refusing a gap that is not positive."""
    if max_gap is None:
        return None
    if not max_gap > 0:
        raise OskaToolError(f"--max-gap must be a positive number of seconds, not {max_gap}.")
    return int(round(max_gap * NS_PER_S))


def transform_table(config: str | os.PathLike[str] | Any, block: str,
                    input: str | os.PathLike[str], output: str | os.PathLike[str], *,
                    tf: str | os.PathLike[str] | None = None,
                    columns: Mapping[str, str] | None = None,
                    tf_columns: Mapping[str, str] | None = None,
                    outside: Outside = "error", max_gap: float | None = None,
                    angular_acceleration: Difference = "none",
                    chunk_size: int = DEFAULT_CHUNK_ROWS, progress: bool = False
                    ) -> TransformResult:
    """Transforms every sample of a CSV or Parquet table and writes the result.

    Args:
        config: a JSON configuration file (its section for `block`) or an
            OskaTfConfig.
        block: the block kind: "wrench", "twist", "imu", "pose" (every kind of
            the extension).
        input, output: table paths; the format follows the extension (.csv,
            .parquet). The output has the input's columns in the input's order,
            the signal columns replaced (as float64), the others unchanged.
        tf: a table of the fixed-to-moving transform (a time column t or t_ns,
            and tx ty tz qw qx qy qz), interpolated at the samples' stamps.
            Without it, a block that needs a transform takes the columns tf_tx
            ... tf_qz of the input table, row by row.
        columns, tf_columns: {name the tool uses: column name in the file} for
            the input table and the transform table.
        outside: samples before the first or after the last transform stamp:
            "error" (the default), "drop" them, or "hold" the first or last
            transform.
        max_gap: refuse to interpolate across a gap in the transform stream
            longer than this (seconds).
        angular_acceleration: "none", "central" or "backward": derive the
            angular acceleration from the angular rate for a block that takes it.
        chunk_size: rows per chunk; the result does not depend on it.
        progress: show a progress bar on a terminal.

    Raises:
        OskaToolError: the configuration or the log cannot be used; no output
            is written then.
    """
    return transform_table_part(config, block, input, output, None, tf=tf, columns=columns,
                                tf_columns=tf_columns, outside=outside, max_gap=max_gap,
                                angular_acceleration=angular_acceleration,
                                chunk_size=chunk_size, progress=progress)


@dataclass(frozen=True)
class TablePart:
    """The row groups `first` to `stop` (excluded) of a Parquet log."""

    first: int
    stop: int


def transform_table_part(config: str | os.PathLike[str] | Any, block: str,
                         input: str | os.PathLike[str], output: str | os.PathLike[str],
                         part: TablePart | None, *, tf: str | os.PathLike[str] | None = None,
                         columns: Mapping[str, str] | None = None,
                         tf_columns: Mapping[str, str] | None = None,
                         outside: Outside = "error", max_gap: float | None = None,
                         angular_acceleration: Difference = "none",
                         chunk_size: int = DEFAULT_CHUNK_ROWS, progress: bool = False
                         ) -> TransformResult:
    """`transform_table` over the whole table (`part` None) or over some row
    groups of a Parquet table, written to `output` on their own: the rows just
    before and after the part carry what crosses its edges (time order and
    the angular acceleration), so that its rows come out as in a run over the
    whole table. Each part of a table can thus be transformed by another
    process at the same time."""
    started = time.monotonic()
    kind = find_kind(block)
    rows = _chunk_rows(chunk_size)
    refuse_overwriting_inputs(output, [input, tf])
    out_format = table_format(output)
    if out_format is None:
        raise OskaToolError(f"{os.fspath(output)}: the output of a table is a table; name it "
                            ".csv or .parquet.")
    the_block, needs_tf = prepare_block(config, kind)
    reader = TableReader(input, rows, range(part.first, part.stop) if part else None)
    names = resolve_columns(reader.names, reader.path, kind.components, columns,
                            TABLE_TRANSFORM_COLUMNS if kind.has_transform else None)
    track = (transform_track_from_table(tf, tf_columns, outside, max_gap, rows) if needs_tf
             else None)
    if needs_tf and track is None and names.transform is None:
        raise OskaToolError(f"the {kind.section} section puts an entry on the moving frame, so "
                            "every sample needs the fixed-to-moving transform: add the columns "
                            f"{', '.join(TABLE_TRANSFORM_COLUMNS)} to {reader.path} or give a "
                            "transform table with --tf FILE.")
    transformer = ChunkTransformer(the_block, kind, needs_tf, track, angular_acceleration)
    if transformer.needs_time and names.time is None:
        raise OskaToolError(f"{reader.path} has no time column (t in seconds or t_ns in "
                            "nanoseconds), which " + ("interpolating the transform"
                                                      if track is not None else
                                                      "the angular acceleration") + " needs.")
    schema = output_schema(reader.schema, names.signal)

    def chunk(batch: Any) -> SampleChunk:
        return SampleChunk(
            signal=matrix(batch, names.signal, reader.path),
            stamps=column_stamps(batch, names, reader.path) if names.time else None,
            tf=matrix(batch, names.transform, reader.path)
            if needs_tf and track is None and names.transform else None,
            payload=batch)

    def chunks() -> Iterator[SampleChunk]:
        for batch in reader.batches():
            yield chunk(batch)

    after = None
    if part is not None:
        needed = [*names.signal, *([names.time] if names.time else []), *(names.transform or ())]
        before = reader.neighbour(part.first - 1, -1, needed)
        if before is not None:
            transformer.carry(chunk(before), reader.rows_before(part.first))
        following = reader.neighbour(part.stop, 1, needed)
        after = chunk(following) if following is not None else None

    result = TransformResult(os.fspath(input), os.fspath(output), kind.signal,
                             transform="none" if not needs_tf else
                             (f"interpolated from {os.fspath(tf)}" if tf is not None
                              else "the tf_ columns of the input"))
    with AtomicOutput(output) as target, \
            Progress(f"transform {Path(input).name}", reader.total, reader.unit, progress) as bar, \
            ExitStack() as stack:
        writer = TableWriter(str(target.path), out_format, schema)
        stack.callback(writer.abort)  # closes the file if anything below fails

        def write(chunk: SampleChunk, out: Floats, keep: Mask | None) -> None:
            writer.write(replace_signal(chunk.payload, schema, names.signal, out, keep))

        result.samples_in, result.samples_out = run(
            chunks(), transformer, write, lambda: bar.update(reader.position), after)
        writer.close()
    result.seconds = time.monotonic() - started
    return result


def transform_log(config: str | os.PathLike[str] | Any, block: str,
                  input: str | os.PathLike[str], output: str | os.PathLike[str], *,
                  topic: str | None = None, output_topic: str | None = None,
                  output_frame: str | None = None, tf: str | os.PathLike[str] | None = None,
                  tf_topic: str | None = None, tf_frames: tuple[str, str] | None = None,
                  columns: Mapping[str, str] | None = None,
                  tf_columns: Mapping[str, str] | None = None,
                  outside: Outside = "error", max_gap: float | None = None,
                  angular_acceleration: Difference = "none",
                  chunk_size: int = DEFAULT_CHUNK_ROWS, progress: bool = False
                  ) -> TransformResult:
    """Transforms a recorded log: a table (as `transform_table`) or a ROS bag.

    A bag (.mcap, .db3, a rosbag2 folder, a ROS 1 .bag) is read from `topic`,
    whose message type says what it carries (geometry_msgs WrenchStamped,
    TwistStamped, AccelStamped, PoseStamped, sensor_msgs Imu); stamps come from
    the message headers. The transform comes from `tf_topic` (PoseStamped or
    TransformStamped), from /tf (and /tf_static) for `tf_frames` = (parent,
    child), or from a table `tf`. The output is a bag of the same kind as its
    extension says (.mcap, .db3, .bag, or a rosbag2 folder for a path without
    one) holding `output_topic` (default: the input topic + "_transformed")
    with the same message type and header stamps and `output_frame` in the
    header; or a table (.parquet, .csv) with t_ns and the signal columns.

    The other arguments are those of `transform_table`. Raises OskaToolError
    when the configuration or the log cannot be used; no output is written then.
    """
    if table_format(input) is not None:
        if topic or tf_topic or tf_frames or output_topic or output_frame:
            raise OskaToolError(f"{os.fspath(input)} is a table: --topic, --tf-topic, "
                                "--tf-frames, --output-topic and --output-frame are for bags.")
        return transform_table(config, block, input, output, tf=tf, columns=columns,
                               tf_columns=tf_columns, outside=outside, max_gap=max_gap,
                               angular_acceleration=angular_acceleration,
                               chunk_size=chunk_size, progress=progress)
    from . import bags

    if not bags.is_bag(input):
        raise OskaToolError(f"{os.fspath(input)}: not a log the tool reads: a table (.csv, "
                            ".parquet) or a bag (.mcap, .db3, a rosbag2 folder, .bag).")
    return bags.transform_bag(
        config, find_kind(block), input, output, topic=topic, output_topic=output_topic,
        output_frame=output_frame, tf=tf, tf_topic=tf_topic, tf_frames=tf_frames,
        tf_columns=tf_columns, outside=outside, max_gap=max_gap,
        difference=angular_acceleration, chunk_rows=_chunk_rows(chunk_size), progress=progress)
