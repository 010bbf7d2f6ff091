"""ROS 1 and ROS 2 bags, read and written with rosbags (no ROS installation).

A signal topic is read in chunks of messages; its samples take their stamps
from the message headers. The fixed-to-moving transform comes from a topic of
poses or transforms, from /tf (or /tf_static) for one parent and child frame,
or from a table. The transformed samples go to a bag, as messages of the
input's type on a topic of their own, or to a table.
"""

from __future__ import annotations

import os
import time
from collections.abc import Iterator, Mapping
from contextlib import ExitStack
from dataclasses import dataclass
from operator import attrgetter
from pathlib import Path
from typing import Any

import numpy as np

from .align import (NS_PER_S, ConstantTransform, Difference, Floats, Mask, Outside, Stamps,
                    TransformTrack)
from .errors import OskaToolError, require
from .kinds import Kind
from .progress import Progress
from .tables import TableFormat, TableWriter, signal_table_schema, table_format
from .transform import (AtomicOutput, ChunkTransformer, SampleChunk, TransformResult, Track,
                        gap_ns, prepare_block, refuse_overwriting_inputs, run,
                        transform_track_from_table)

BAG_SUFFIXES = (".mcap", ".db3", ".bag")
TF_TOPIC, TF_STATIC_TOPIC, TF_MESSAGE = "/tf", "/tf_static", "tf2_msgs/msg/TFMessage"


def _xyz(prefix: str) -> tuple[str, ...]:
    return tuple(f"{prefix}.{axis}" for axis in "xyz")


def _wxyz(prefix: str) -> tuple[str, ...]:
    return tuple(f"{prefix}.{axis}" for axis in "wxyz")


@dataclass(frozen=True)
class Layout:
    """Where a message type keeps a block's signal: the kind it feeds and the
    message field of each component, in the kind's component order."""

    signal: str
    fields: tuple[str, ...]


# AccelStamped is a screw like a twist (linear part at a point, angular part
# free), so the twist block carries it to another point: a' = a + α × r.
GEOMETRY = "geometry_msgs/msg/"
SIGNAL_LAYOUTS: dict[str, Layout] = {
    f"{GEOMETRY}WrenchStamped": Layout("wrench", _xyz("wrench.force") + _xyz("wrench.torque")),
    f"{GEOMETRY}TwistStamped": Layout("twist", _xyz("twist.linear") + _xyz("twist.angular")),
    f"{GEOMETRY}AccelStamped": Layout("twist", _xyz("accel.linear") + _xyz("accel.angular")),
    "sensor_msgs/msg/Imu": Layout("imu", _xyz("linear_acceleration") + _xyz("angular_velocity")),
    f"{GEOMETRY}PoseStamped": Layout("pose", _xyz("pose.position") + _wxyz("pose.orientation")),
}
TF_LAYOUTS: dict[str, tuple[str, ...]] = {
    "geometry_msgs/msg/PoseStamped": _xyz("pose.position") + _wxyz("pose.orientation"),
    "geometry_msgs/msg/TransformStamped":
        _xyz("transform.translation") + _wxyz("transform.rotation"),
}


def is_bag(path: str | os.PathLike[str]) -> bool:
    """Whether `path` names a bag: by extension, or a rosbag2 folder."""
    p = Path(path)
    return p.suffix.lower() in BAG_SUFFIXES or p.joinpath("metadata.yaml").is_file()


def _rosbags() -> None:
    require("rosbags", "Reading and writing ROS bags")


def _frame(name: str) -> str:
    return name[1:] if name.startswith("/") else name


def _stamp(message: Any) -> int:
    stamp = message.header.stamp
    return int(stamp.sec) * NS_PER_S + int(stamp.nanosec)


class Bag:
    """An open bag for reading, with the errors of a damaged file made clear."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        _rosbags()
        from rosbags.highlevel import AnyReader
        from rosbags.typesys import Stores, get_typestore

        self.path = os.fspath(path)
        try:
            self.reader = AnyReader([Path(path)], default_typestore=get_typestore(Stores.LATEST))
            self.reader.open()
        except Exception as e:  # rosbags reports a damaged file with many types
            raise self.damaged(e) from None

    def damaged(self, error: BaseException) -> OskaToolError:
        return OskaToolError(f"cannot read the bag {self.path}: {error or type(error).__name__}. "
                             "Is the file complete (a recording cut short has no index)?")

    def topics(self) -> str:
        listed = sorted({f"{c.topic} ({c.msgtype})" for c in self.reader.connections})
        return ", ".join(listed) or "no topic at all"

    def connections(self, topic: str, what: str) -> tuple[list[Any], str]:
        found = [c for c in self.reader.connections if c.topic == topic]
        if not found:
            raise OskaToolError(f"the bag {self.path} has no topic {topic} for {what}; it has: "
                                f"{self.topics()}.")
        types = {c.msgtype for c in found}
        if len(types) > 1:
            raise OskaToolError(f"the topic {topic} of {self.path} carries several message types "
                                f"({', '.join(sorted(types))}); the tool needs one.")
        return found, types.pop()

    def messages(self, connections: list[Any]) -> Iterator[tuple[int, Any]]:
        """(log time, message) in log time order."""
        try:
            for connection, logtime, raw in self.reader.messages(connections=connections):
                yield logtime, self.reader.deserialize(raw, connection.msgtype)
        except OskaToolError:
            raise
        except Exception as e:
            raise self.damaged(e) from None

    def count(self, connections: list[Any]) -> int:
        return sum(int(c.msgcount) for c in connections)

    def close(self) -> None:
        if self.reader.stack is not None:
            self.reader.close()

    def __enter__(self) -> Bag:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def signal_chunks(bag: Bag, connections: list[Any], layout: Layout, chunk_rows: int,
                   first_frame: list[str]) -> Iterator[SampleChunk]:
    get = attrgetter(*layout.fields)
    stamps: list[int] = []
    values: list[tuple[float, ...]] = []
    logtimes: list[int] = []

    def chunk() -> SampleChunk:
        rows = np.array(values, np.float64).reshape(len(values), len(layout.fields))
        made = SampleChunk(signal=rows,
                           stamps=np.array(stamps, np.int64),
                           payload=np.array(logtimes, np.int64))
        stamps.clear()
        values.clear()
        logtimes.clear()
        return made

    for logtime, message in bag.messages(connections):
        if not first_frame:
            first_frame.append(message.header.frame_id)
        stamps.append(_stamp(message))
        values.append(get(message))
        logtimes.append(logtime)
        if len(values) == chunk_rows:
            yield chunk()
    if values:
        yield chunk()


def _rows(pairs: Iterator[tuple[int, tuple[float, ...]]], chunk_rows: int
          ) -> Iterator[tuple[Stamps, Floats]]:
    stamps: list[int] = []
    rows: list[tuple[float, ...]] = []
    for stamp, row in pairs:
        stamps.append(stamp)
        rows.append(row)
        if len(rows) == chunk_rows:
            yield np.array(stamps, np.int64), np.array(rows, np.float64)
            stamps, rows = [], []
    if rows:
        yield np.array(stamps, np.int64), np.array(rows, np.float64)


@dataclass
class TransformSource:
    track: Track
    description: str
    parent: str | None
    child: str | None


def _tf_topic_source(bag: Bag, topic: str, chunk_rows: int, outside: Outside,
                     max_gap: float | None) -> TransformSource:
    connections, msgtype = bag.connections(topic, "the transform")
    if msgtype not in TF_LAYOUTS:
        raise OskaToolError(f"the topic {topic} carries {msgtype}; a transform topic carries "
                            f"{' or '.join(TF_LAYOUTS)}. For /tf use --tf-frames PARENT CHILD.")
    get = attrgetter(*TF_LAYOUTS[msgtype])
    first = next(bag.messages(connections), None)
    parent = _frame(first[1].header.frame_id) if first else None
    child = _frame(getattr(first[1], "child_frame_id", "")) if first else None

    def pairs() -> Iterator[tuple[int, tuple[float, ...]]]:
        for _, message in bag.messages(connections):
            yield _stamp(message), get(message)

    track = TransformTrack(_rows(pairs(), chunk_rows), f"the topic {topic}", outside,
                           gap_ns(max_gap))
    return TransformSource(track, f"interpolated from {topic}", parent, child or None)


def _tf_frames_source(bag: Bag, parent: str, child: str, chunk_rows: int, outside: Outside,
                      max_gap: float | None) -> TransformSource:
    parent, child = _frame(parent), _frame(child)
    get = attrgetter(*TF_LAYOUTS["geometry_msgs/msg/TransformStamped"])
    seen: set[tuple[str, str]] = set()

    def edges(topic: str) -> Iterator[tuple[int, tuple[float, ...]]]:
        found = [c for c in bag.reader.connections if c.topic == topic and c.msgtype == TF_MESSAGE]
        if not found:
            return
        for _, message in bag.messages(found):
            for transform in message.transforms:
                pair = (_frame(transform.header.frame_id), _frame(transform.child_frame_id))
                if pair == (parent, child):
                    yield _stamp(transform), get(transform)
                elif len(seen) < 50:
                    seen.add(pair)

    dynamic = _rows(edges(TF_TOPIC), chunk_rows)
    first = next(dynamic, None)
    if first is not None:
        def chunks() -> Iterator[tuple[Stamps, Floats]]:
            yield first
            yield from dynamic

        track = TransformTrack(chunks(), f"/tf from {parent} to {child}", outside, gap_ns(max_gap))
        return TransformSource(track, f"interpolated from /tf {parent} -> {child}", parent,
                               child)
    static = None
    for _, row in edges(TF_STATIC_TOPIC):
        static = row  # the latest one counts
    if static is not None:
        return TransformSource(ConstantTransform(np.array(static)),
                               f"constant, from /tf_static {parent} -> {child}", parent, child)
    pairs = ", ".join(f"{p} -> {c}" for p, c in sorted(seen)) or "none"
    raise OskaToolError(f"no transform from {parent} to {child} on /tf or /tf_static of "
                        f"{bag.path} (the tool takes one direct parent-child edge, not a chain); "
                        f"the edges there: {pairs}.")


def _build(store: Any, msgtype: str, values: Mapping[str, Any], prefix: str = "") -> Any:
    """A message of `msgtype` with the given field values (dotted paths) and
    zeros, empty strings and empty sequences everywhere else."""
    from rosbags.interfaces import Nodetype

    _, fields = store.fielddefs[msgtype]
    kwargs: dict[str, Any] = {}
    for name, (node, field_type) in fields:
        path = prefix + name
        if path in values:
            kwargs[name] = values[path]
        elif node == Nodetype.NAME:
            kwargs[name] = _build(store, field_type, values, path + ".")
        elif node == Nodetype.BASE:
            base = field_type[0]
            kwargs[name] = "" if base == "string" else (False if base == "bool" else 0)
        elif node == Nodetype.ARRAY:
            (inner, inner_type), length = field_type
            kwargs[name] = np.zeros(length, inner_type[0]) if inner == Nodetype.BASE else \
                [_build(store, inner_type, {}) for _ in range(length)]
        else:
            (inner, inner_type), _ = field_type
            kwargs[name] = np.zeros(0, inner_type[0]) if inner == Nodetype.BASE and \
                inner_type[0] != "string" else []
    return store.types[msgtype](**kwargs)


class BagWriter:
    """Writes the transformed samples to one topic of a new bag, whose kind the
    output's extension names: .bag (ROS 1), .mcap or .db3 (one ROS 2 storage
    file), anything else a rosbag2 folder (MCAP)."""

    def __init__(self, target: AtomicOutput, msgtype: str, topic: str, frame: str,
                 layout: Layout) -> None:
        from rosbags.typesys import Stores, get_typestore

        suffix = target.output.suffix.lower()
        self.msgtype, self.frame, self.layout = msgtype, frame, layout
        self.extra: dict[str, Any] = {}
        if msgtype == "sensor_msgs/msg/Imu":
            # No orientation estimate in the new axes: -1 says so, by convention.
            self.extra["orientation_covariance"] = np.array([-1.0] + [0.0] * 8)
        if suffix == ".bag":
            from rosbags.rosbag1 import Writer as Writer1

            self.store = get_typestore(Stores.ROS1_NOETIC)
            self.writer: Any = Writer1(target.path)
            self.serialize = self.store.serialize_ros1
        else:
            from rosbags.rosbag2 import StoragePlugin, Writer as Writer2

            self.store = get_typestore(Stores.LATEST)
            plugin = StoragePlugin.SQLITE3 if suffix == ".db3" else StoragePlugin.MCAP
            self.writer = Writer2(target.path, version=9, storage_plugin=plugin)
            self.serialize = self.store.serialize_cdr
            if suffix in (".mcap", ".db3"):
                target.inner = target.path / f"{target.path.name}{suffix}"
        self.writer.open()
        self._open = True
        self.connection = self.writer.add_connection(topic, msgtype, typestore=self.store)

    def write(self, stamps: Stamps, values: Floats, logtimes: Stamps) -> None:
        fields = self.layout.fields
        for stamp, row, logtime in zip(stamps.tolist(), values.tolist(), logtimes.tolist()):
            given = dict(zip(fields, row))
            given.update(self.extra)
            given["header.stamp.sec"], given["header.stamp.nanosec"] = divmod(stamp, NS_PER_S)
            given["header.frame_id"] = self.frame
            message = _build(self.store, self.msgtype, given)
            self.writer.write(self.connection, logtime, self.serialize(message, self.msgtype))

    def close(self) -> None:
        self.writer.close()
        self._open = False

    def abort(self) -> None:
        if self._open:
            self.writer.abort()
            self._open = False


def _output_axes_origin(config: Any, kind: Kind) -> str | None:
    if isinstance(config, (str, os.PathLike)):
        import json

        try:
            with open(config, "rb") as file:
                section = json.loads(file.read().decode("utf-8", "replace"))[kind.section]
            return str(section["set_output_expression_axes"]["origin"])
        except (ValueError, KeyError, TypeError, OSError):
            return None
    return str(getattr(getattr(config, "output_expr_axes", None), "origin", "")) or None


def transform_bag(config: Any, kind: Kind, input: str | os.PathLike[str],
                  output: str | os.PathLike[str], *, topic: str | None,
                  output_topic: str | None, output_frame: str | None,
                  tf: str | os.PathLike[str] | None, tf_topic: str | None,
                  tf_frames: tuple[str, str] | None, tf_columns: Mapping[str, str] | None,
                  outside: Outside, max_gap: float | None, difference: Difference,
                  chunk_rows: int, progress: bool) -> TransformResult:
    """The bag half of `transform_log`."""
    started = time.monotonic()
    path = os.fspath(input)
    refuse_overwriting_inputs(output, [input, tf])
    if not topic:
        raise OskaToolError(f"{path} is a bag: name the signal topic with --topic.")
    if sum(x is not None for x in (tf, tf_topic, tf_frames)) > 1:
        raise OskaToolError("give the transform one way: --tf FILE, --tf-topic TOPIC or "
                            "--tf-frames PARENT CHILD.")
    with ExitStack() as stack:
        bag = stack.enter_context(Bag(path))
        connections, msgtype = bag.connections(topic, "the signal")
        layout = SIGNAL_LAYOUTS.get(msgtype)
        if layout is None:
            raise OskaToolError(f"the topic {topic} carries {msgtype}, which the tool does not "
                                "transform; it reads " + ", ".join(
                                    f"{t} ({lay.signal})" for t, lay in SIGNAL_LAYOUTS.items())
                                + ".")
        if layout.signal != kind.signal:
            raise OskaToolError(f"the topic {topic} carries {msgtype}, which the {layout.signal} "
                                f"block transforms, not the {kind.signal} block: use --block "
                                f"{layout.signal}.")
        block, needs_tf = prepare_block(config, kind)
        source: TransformSource | None = None
        if needs_tf:
            if tf_topic:
                source = _tf_topic_source(stack.enter_context(Bag(path)), tf_topic, chunk_rows,
                                          outside, max_gap)
            elif tf_frames:
                source = _tf_frames_source(stack.enter_context(Bag(path)), *tf_frames,
                                           chunk_rows, outside, max_gap)
            elif tf is not None:
                track = transform_track_from_table(tf, tf_columns, outside, max_gap, chunk_rows)
                assert track is not None
                source = TransformSource(track, f"interpolated from {os.fspath(tf)}", None, None)
            else:
                raise OskaToolError(f"the {kind.section} section puts an entry on the moving "
                                    "frame, so every sample needs the fixed-to-moving transform: "
                                    "give --tf-topic TOPIC, --tf-frames PARENT CHILD (from /tf) "
                                    "or --tf FILE.")
        transformer = ChunkTransformer(block, kind, needs_tf, source.track if source else None,
                                       difference)
        first_frame: list[str] = []
        result = TransformResult(path, os.fspath(output), kind.signal,
                                 transform=source.description if source else "none")
        out_table = table_format(output)
        target = stack.enter_context(AtomicOutput(output))
        bar = stack.enter_context(Progress(f"transform {topic}", bag.count(connections),
                                           "messages", progress))
        sinks: list[Any] = []
        done = [0]

        def sink() -> Any:
            if not sinks:
                sinks.append(_open_sink(target, out_table, kind, msgtype, layout, topic,
                                        output_topic, output_frame, config, source, first_frame,
                                        result))
                stack.callback(sinks[0].abort)  # a no-op once closed
            return sinks[0]

        def write(chunk: SampleChunk, out: Floats, keep: Mask | None) -> None:
            stamps, logtimes = chunk.stamps, chunk.payload
            assert stamps is not None
            if keep is not None:
                out, stamps, logtimes = out[keep], stamps[keep], logtimes[keep]
            if out_table:
                import pyarrow as pa

                arrays = [pa.array(stamps)] + [pa.array(out[:, j]) for j in range(kind.size)]
                sink().write(pa.RecordBatch.from_arrays(arrays, schema=sink().schema))
            else:
                sink().write(stamps, out, logtimes)
            done[0] += len(chunk.signal)
            bar.update(done[0])

        chunks = signal_chunks(bag, connections, layout, chunk_rows, first_frame)
        result.samples_in, result.samples_out = run(chunks, transformer, write)
        sink().close()
    result.seconds = time.monotonic() - started
    return result


def _open_sink(target: AtomicOutput, out_table: TableFormat | None, kind: Kind, msgtype: str,
               layout: Layout, topic: str, output_topic: str | None, output_frame: str | None,
               config: Any, source: TransformSource | None, first_frame: list[str],
               result: TransformResult) -> Any:
    if out_table is not None:
        return TableWriter(str(target.path), out_table, signal_table_schema(kind))
    frame = output_frame
    if frame is None:
        origin = _output_axes_origin(config, kind)
        if source is not None:
            frame = source.child if origin == "moving_frame" else source.parent
        elif not kind.has_transform and first_frame and origin != "moving_frame":
            frame = _frame(first_frame[0])  # output axes on the frame the input pose is in
        if not frame:
            frame = "oska_" + kind.signal
            result.details["note"] = (f"the output frame is not known from the transform; the "
                                      f"header says {frame!r}: name it with --output-frame")
    name = output_topic or f"{topic}_transformed"
    result.details.update(topic=name, frame=frame)
    return BagWriter(target, msgtype, name, frame, layout)
