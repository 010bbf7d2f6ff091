"""The one transform pipeline: read → align → kernel → write.

A reader of `oska_tf_utils.formats` yields the log's `SampleChunk`s; the
`ChunkTransformer` aligns the transform stream with them (interpolation, the
angular acceleration) and runs the block's `update_batch`; a writer takes each
chunk's output. `run` is that loop, and every way of transforming a log goes
through it: the command line and `transform_log` / `transform_table` by the two
jobs below, the Dask entry points with the same jobs or with their in-memory
chunks. Errors that the whole log decides (samples after the transform's end)
are raised from the log's end before the first chunk is transformed.
`AlignedLog` is the read → align half on its own: the calibration of a payload
reads the samples with their transforms through it.
"""

from __future__ import annotations

import json
import os
import time
from collections.abc import Callable, Iterator
from contextlib import ExitStack
from dataclasses import dataclass
from itertools import chain
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

from .align import (ConstantTransform, Floats, Mask, QuaternionCheck, StampOrder, Stamps,
                    TransformTrack)
from .chunks import ChunkTransformer, SampleChunk, TransformResult, Track, prepare_block
from .errors import OskaToolError
from .formats import frame as frame_name
from .formats import folder_without_metadata, is_bag
from .formats.output import AtomicOutput, check_stopped, refuse_overwriting_inputs
from .formats.tables import (TABLE_TRANSFORM_COLUMNS, Columns, SignalTableSink, TableReader,
                             TableSignal, TableSink, TransformTable, resolve_columns,
                             table_format)
from .kinds import Kind
from .options import Options
from .progress import Progress

if TYPE_CHECKING:  # the bag modules load the bag libraries: only when a bag is read
    from .formats import bags


class Sink(Protocol):
    """Where a pipeline writes: each chunk's output, then close (or abort)."""

    def write(self, chunk: SampleChunk, out: Floats, keep: Mask | None) -> None: ...

    def close(self) -> None: ...

    def abort(self) -> None: ...


class Kept:
    """A sink that keeps the output in memory (of the one chunk that in-memory
    callers hand over) and which samples stay."""

    def __init__(self) -> None:
        self.out: Floats | None = None
        self.keep: Mask | None = None

    def write(self, chunk: SampleChunk, out: Floats, keep: Mask | None) -> None:
        self.out, self.keep = out, keep

    def close(self) -> None:
        pass

    def abort(self) -> None:
        pass


def run(chunks: Iterator[SampleChunk], transformer: ChunkTransformer, sink: Sink,
        progress: Callable[[], None] = lambda: None, after: SampleChunk | None = None
        ) -> tuple[int, int]:
    """Feeds every chunk through `transformer` into `sink`, one chunk ahead.
    `after` is the sample that follows the last chunk when the chunks are one
    part of a longer log (None at the log's end). Returns the numbers of
    samples read and written. Raises Interrupted between chunks once a signal
    stopped the output."""
    read = written = 0
    current = next(chunks, None)
    while current is not None:
        check_stopped()  # a signal stops the run between chunks, in any thread
        following = next(chunks, None)
        out, keep = transformer.transform(current, following if following is not None
                                          else after)
        sink.write(current, out, keep)
        read += len(out)
        written += len(out) if keep is None else int(keep.sum())
        progress()
        current = following
    return read, written


def _fail_fast(chunks: Iterator[SampleChunk], track: Track | None, last: Callable[[], int | None],
               samples_from_end: Callable[[], Iterator[Stamps]]) -> Iterator[SampleChunk]:
    """The chunks, after checking from the log's end that no sample lies after
    the transform stream's last stamp (the first chunk is read for it)."""
    first = next(chunks, None)
    if first is None:
        return chunks
    if isinstance(track, TransformTrack) and first.stamps is not None and len(first.stamps):
        track.check_end(int(first.stamps[0]), last(), samples_from_end())
    return chain([first], chunks)


@dataclass(frozen=True)
class TablePart:
    """The row groups `first` to `stop` (excluded) of a Parquet log."""

    first: int
    stop: int


def _transform_table(tf: str | os.PathLike[str], options: Options) -> tuple[TransformTrack,
                                                                          TransformTable]:
    gap = options.max_gap_ns
    table = TransformTable(tf, options.tf_columns, options.chunk_rows)
    return TransformTrack(table.chunks(), f"the transform table {os.fspath(tf)}",
                          options.outside, gap, options.normalize_tf, by_row=True), table


def _table_transform(kind: Kind, path: str, names: Columns, options: Options
                     ) -> tuple[TransformTrack | None, TransformTable | None, str]:
    """Where a table log's transform comes from, and its description: a
    transform table (--tf), interpolated, or the log's own tf_ columns, row by
    row (no track); refused when the log has neither."""
    if options.tf is not None:
        track, table = _transform_table(options.tf, options)
        return track, table, f"interpolated from {os.fspath(options.tf)}"
    if names.transform is None:
        raise OskaToolError(f"{kind.transform_needed}: add the columns "
                            f"{', '.join(TABLE_TRANSFORM_COLUMNS)} to {path} or give a "
                            "transform table with --tf FILE.")
    return None, None, "the tf_ columns of the input"


def _no_time_column(path: str, needs: str) -> OskaToolError:
    return OskaToolError(f"{path} has no time column (t in seconds or t_ns in nanoseconds), "
                         f"which {needs} needs.")


def _signal_topic(path: str, options: Options) -> str:
    """The signal topic of a bag log, refused when not named."""
    if not options.topic:
        raise OskaToolError(f"{path} is a bag: name the signal topic with --topic.")
    return options.topic


def table_job(config: Any, kind: Kind, input: str | os.PathLike[str],
              output: str | os.PathLike[str], part: TablePart | None,
              options: Options) -> TransformResult:
    """Transforms a CSV or Parquet table, or some row groups of a Parquet table
    written on their own (the rows just outside the part carry what crosses its
    edges, so that its rows come out as in a run over the whole table)."""
    started = time.monotonic()
    rows = options.chunk_rows
    refuse_overwriting_inputs(output, [input, options.tf])
    out_format = table_format(output)
    if out_format is None:
        raise OskaToolError(f"{os.fspath(output)}: the output of a table is a table; name it "
                            ".csv or .parquet.")
    the_block, needs_tf = prepare_block(config, kind)
    reader = TableReader(input, rows, range(part.first, part.stop) if part else None)
    names = resolve_columns(reader.names, reader.path, kind.components, options.columns,
                            TABLE_TRANSFORM_COLUMNS if kind.has_transform else None)
    track, table, described = _table_transform(kind, reader.path, names, options) if needs_tf \
        else (None, None, "none")
    transformer = ChunkTransformer(the_block, kind, needs_tf, track, options.angular_acceleration,
                                   QuaternionCheck(f"the tf_ columns of {reader.path}",
                                                   options.normalize_tf))
    if transformer.needs_time and names.time is None:
        raise _no_time_column(reader.path, "interpolating the transform" if track is not None
                              else "the angular acceleration")
    source = TableSignal(reader, names, needs_tf and track is None)
    after = None
    if part is not None:
        before = source.neighbour(part.first - 1, -1)
        if before is not None:
            transformer.carry(before, reader.rows_before(part.first))
            first = source.neighbour(0, 1)  # the log's first sample, for messages
            transformer.start_at(int(first.stamps[0]) if first and first.stamps is not None
                                 else None)
        after = source.neighbour(part.stop, 1)
    result = TransformResult(os.fspath(input), os.fspath(output), kind.signal,
                             transform=described)
    with AtomicOutput(output) as target, \
            Progress(f"transform {Path(input).name}", reader.total, reader.unit,
                     options.progress) as bar, ExitStack() as stack:
        sink = TableSink(str(target.path), out_format, reader.schema, names.signal)
        stack.callback(sink.abort)  # closes the file if anything below fails
        chunks = source.chunks()
        if part is None and table is not None:
            chunks = _fail_fast(chunks, track, table.last_stamp, source.stamps_from_end)
        result.samples_in, result.samples_out = run(
            chunks, transformer, sink, lambda: bar.update(source.position), after)
        sink.close()
    result.quaternions = transformer.quaternions
    result.seconds = time.monotonic() - started
    return result


@dataclass
class _Transform:
    """Where a bag's transform comes from."""

    track: Track
    description: str
    parent: str | None = None
    child: str | None = None
    last: Callable[[], int | None] = lambda: None


def _bag_transform(bag: bags.Bag, kind: Kind, options: Options) -> _Transform:
    rows, tf = options.chunk_rows, options.tf
    if options.tf_topic:
        stream = bag.transform_topic(options.tf_topic, rows)
        track = TransformTrack(stream.chunks(), f"the topic {options.tf_topic}", options.outside,
                               options.max_gap_ns, options.normalize_tf)
        return _Transform(track, f"interpolated from {options.tf_topic}", stream.parent,
                          stream.child, stream.last_stamp)
    if options.tf_frames:
        parent, child = (frame_name(name) for name in options.tf_frames)
        edge = bag.transform_edge(parent, child, rows)
        if edge.static is not None:
            check = QuaternionCheck(f"/tf_static from {parent} to {child}", options.normalize_tf)
            return _Transform(ConstantTransform(*edge.static).checked(check),
                              f"constant, from /tf_static {parent} -> {child}",
                              parent, child)
        track = TransformTrack(edge.chunks(), f"/tf from {parent} to {child}", options.outside,
                               options.max_gap_ns, options.normalize_tf)
        return _Transform(track, f"interpolated from /tf {parent} -> {child}", parent, child,
                          edge.last_stamp)
    if tf is not None:
        track, table = _transform_table(tf, options)
        return _Transform(track, f"interpolated from {os.fspath(tf)}", last=table.last_stamp)
    raise OskaToolError(f"{kind.transform_needed}: give --tf-topic TOPIC, --tf-frames PARENT "
                        "CHILD (from /tf) or --tf FILE.")


def bag_job(config: Any, kind: Kind, input: str | os.PathLike[str],
            output: str | os.PathLike[str], options: Options) -> TransformResult:
    """Transforms the signal topic of a ROS bag into a bag or a table."""
    from .formats import bags

    started = time.monotonic()
    path = os.fspath(input)
    rows = options.chunk_rows
    refuse_overwriting_inputs(output, [input, options.tf])
    topic = _signal_topic(path, options)
    options.check_one_transform()
    with ExitStack() as stack:
        bag = stack.enter_context(bags.Bag(path))
        signal = bag.signal(topic, kind, rows)
        block, needs_tf = prepare_block(config, kind)
        source = _bag_transform(bag, kind, options) if needs_tf else None
        transformer = ChunkTransformer(block, kind, needs_tf, source.track if source else None,
                                       options.angular_acceleration)
        result = TransformResult(path, os.fspath(output), kind.signal,
                                 transform=source.description if source else "none")
        out_table = table_format(output)
        target = stack.enter_context(AtomicOutput(output))
        bar = stack.enter_context(Progress(f"transform {topic}", signal.total, signal.unit,
                                           options.progress))
        # The first chunk is read before the writer opens: the frame of the
        # first message names the output frame of a pose.
        chunks = _fail_fast(signal.chunks(), source.track if source else None,
                            source.last if source else lambda: None, signal.stamps_from_end)
        sink: Sink
        if out_table is not None:
            sink = SignalTableSink(str(target.path), out_table, kind)
        else:
            frame = _output_frame(config, kind, options, source, signal.first_frame, result)
            name = options.output_topic or f"{topic}_transformed"
            result.details.update(topic=name, frame=frame)
            sink = bags.BagSink(target, signal.msgtype, name, frame)
        stack.callback(sink.abort)  # a no-op once closed
        result.samples_in, result.samples_out = run(chunks, transformer, sink,
                                                    lambda: bar.update(signal.position))
        sink.close()
    result.quaternions = transformer.quaternions
    result.seconds = time.monotonic() - started
    return result


def _output_axes_origin(config: Any, kind: Kind) -> str | None:
    if isinstance(config, (str, os.PathLike)):
        try:
            with open(config, "rb") as file:
                section = json.loads(file.read().decode("utf-8", "replace"))[kind.section]
            return str(section["set_output_expression_axes"]["origin"])
        except (ValueError, KeyError, TypeError, OSError):
            return None
    return str(getattr(getattr(config, "output_expr_axes", None), "origin", "")) or None


def _output_frame(config: Any, kind: Kind, options: Options, source: _Transform | None,
                  first_frame: Callable[[], str | None], result: TransformResult) -> str:
    """The frame_id of the output messages: --output-frame, or the frame of the
    output axes as the transform's frame names say: those of the transform
    read, or without one (no entry on the moving frame) the fixed frame that
    --tf-frames names; or else the input pose's frame. For a kind without
    entries (the payload), whose output is along its input's axes, the input
    message's frame."""
    frame = options.output_frame
    if frame is None:
        origin = _output_axes_origin(config, kind)
        if not kind.configured_by_entries:  # no output axes: the input message's frame
            first = first_frame()
            frame = frame_name(first) if first else None
        elif source is not None:
            frame = source.child if origin == "moving_frame" else source.parent
        elif options.tf_frames:
            frame = frame_name(options.tf_frames[0])
        elif not kind.has_transform and origin != "moving_frame":
            first = first_frame()
            frame = frame_name(first) if first else None  # the frame the input pose is in
        if not frame:
            frame = "oska_" + kind.signal
            result.details["note"] = (f"the output frame is not known from the transform; the "
                                      f"header says {frame!r}: name it with --output-frame")
    return frame


def is_table_log(input: str | os.PathLike[str], options: Options) -> bool:
    """Whether the log `input` is a table (by its extension) rather than a bag;
    refused when it is neither, or a table given options that only a bag takes."""
    if table_format(input) is not None:
        if options.bag_options:
            raise OskaToolError(f"{os.fspath(input)} is a table: --topic, --tf-topic, "
                                "--tf-frames, --output-topic and --output-frame are for bags.")
        return True
    if not is_bag(input):
        raise OskaToolError(folder_without_metadata(input) or
                            f"{os.fspath(input)}: not a log the tool reads: a table (.csv, "
                            ".parquet) or a bag (.mcap, .db3, a rosbag2 folder, .bag).")
    return False


class AlignedLog:
    """A log's samples with the fixed-to-moving transform at each, read and
    aligned as a transform reads them (the same readers, columns, transform
    sources, interpolation and time checks), for work that needs the
    orientation itself rather than a block's output: the calibration of a
    payload. `chunks` yields SampleChunks whose `tf` holds the transform of
    each sample; samples outside the transform stream are left out or held
    as `options.outside` says, and `outside` counts those left out."""

    def __init__(self, kind: Kind, input: str | os.PathLike[str], options: Options) -> None:
        self.path = os.fspath(input)
        self._stack = ExitStack()
        self.outside = 0
        rows = options.chunk_rows
        self._track: Track | None = None
        self._chunks: Iterator[SampleChunk]
        if is_table_log(input, options):
            reader = TableReader(input, rows)
            names = resolve_columns(reader.names, reader.path, kind.components, options.columns,
                                    TABLE_TRANSFORM_COLUMNS)
            self._track, _, self.transform = _table_transform(kind, reader.path, names, options)
            if names.time is None:
                raise _no_time_column(reader.path, "telling still samples from moving ones")
            source: TableSignal | bags.BagSignal = TableSignal(reader, names, self._track is None)
        else:
            from .formats import bags

            topic = _signal_topic(self.path, options)
            with ExitStack() as opened:  # closed again if the topics do not serve
                bag = opened.enter_context(bags.Bag(self.path))
                source = bag.signal(topic, kind, rows)
                found = _bag_transform(bag, kind, options)
                self._stack = opened.pop_all()
            self._track, self.transform = found.track, found.description
        self.source = source
        self._chunks = source.chunks()

    @property
    def position(self) -> int:
        """How far the reading got, in the source's unit (for a progress bar)."""
        return self.source.position

    def chunks(self) -> Iterator[SampleChunk]:
        order = StampOrder("the log")
        for chunk in self._chunks:
            assert chunk.stamps is not None
            order.check(chunk.stamps)
            if self._track is None:
                yield chunk
                continue
            tf, keep = self._track.sample(chunk.stamps)
            if keep is None:
                yield SampleChunk(chunk.signal, chunk.stamps, tf)
            else:
                self.outside += int(len(keep) - keep.sum())
                yield SampleChunk(chunk.signal[keep], chunk.stamps[keep], tf[keep])

    def close(self) -> None:
        self._stack.close()

    def __enter__(self) -> AlignedLog:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
