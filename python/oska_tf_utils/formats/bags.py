"""ROS 1 and ROS 2 bags, read and written with rosbags (no ROS installation).

A signal topic is read in chunks of messages; its samples take their stamps
from the message headers. The fixed-to-moving transform comes from a topic of
poses or transforms, or from /tf (or /tf_static) for one parent and child
frame. The transformed samples go to a bag, as messages of the input's type on
a topic of their own.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from operator import attrgetter
from pathlib import Path
from typing import Any

import numpy as np

from ..align import NS_PER_S, ConstantTransform, Floats, Mask, Stamps
from ..chunks import SampleChunk
from ..errors import OskaToolError, require
from ..kinds import Kind, kinds
from .output import AtomicOutput

TF_TOPIC, TF_STATIC_TOPIC, TF_MESSAGE = "/tf", "/tf_static", "tf2_msgs/msg/TFMessage"


def _xyz(prefix: str) -> tuple[str, ...]:
    return tuple(f"{prefix}.{axis}" for axis in "xyz")


def _wxyz(prefix: str) -> tuple[str, ...]:
    return tuple(f"{prefix}.{axis}" for axis in "wxyz")


# Where each message type the tool reads keeps the signal, in the order of the
# components of the kind that carries it (its ROS_MESSAGE_TYPES). AccelStamped
# is a screw like a twist (linear part at a point, angular part free), so the
# twist block carries it to another point: a' = a + α × r.
GEOMETRY = "geometry_msgs/msg/"
SIGNAL_FIELDS: dict[str, tuple[str, ...]] = {
    f"{GEOMETRY}WrenchStamped": _xyz("wrench.force") + _xyz("wrench.torque"),
    f"{GEOMETRY}TwistStamped": _xyz("twist.linear") + _xyz("twist.angular"),
    f"{GEOMETRY}AccelStamped": _xyz("accel.linear") + _xyz("accel.angular"),
    "sensor_msgs/msg/Imu": _xyz("linear_acceleration") + _xyz("angular_velocity"),
    f"{GEOMETRY}PoseStamped": _xyz("pose.position") + _wxyz("pose.orientation"),
}
TF_FIELDS: dict[str, tuple[str, ...]] = {
    f"{GEOMETRY}PoseStamped": _xyz("pose.position") + _wxyz("pose.orientation"),
    f"{GEOMETRY}TransformStamped": _xyz("transform.translation") + _wxyz("transform.rotation"),
}


def signal_kinds() -> dict[str, Kind]:
    """The kind that transforms each message type, from the kinds' ROS_MESSAGE_TYPES."""
    return {msgtype: k for k in kinds().values() for msgtype in k.ros_message_types}


def frame(name: str) -> str:
    """A frame name as the tool compares it: without a leading slash."""
    return name[1:] if name.startswith("/") else name


def _stamp(message: Any) -> int:
    stamp = message.header.stamp
    return int(stamp.sec) * NS_PER_S + int(stamp.nanosec)


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


class _Reader:
    """One rosbags reader of the bag, with the errors of a damaged file made clear."""

    def __init__(self, path: str) -> None:
        from rosbags.highlevel import AnyReader
        from rosbags.typesys import Stores, get_typestore

        self.path = path
        try:
            self.reader = AnyReader([Path(path)], default_typestore=get_typestore(Stores.LATEST))
            self.reader.open()
        except Exception as e:  # rosbags reports a damaged file with many types
            raise damaged(path, e) from None

    def messages(self, connections: list[Any]) -> Iterator[tuple[int, Any]]:
        """(log time, message) in log time order."""
        ids = {c.id for c in connections}
        mine = [c for c in self.reader.connections if c.id in ids]
        try:
            for connection, logtime, raw in self.reader.messages(connections=mine):
                yield logtime, self.reader.deserialize(raw, connection.msgtype)
        except OskaToolError:
            raise
        except Exception as e:
            raise damaged(self.path, e) from None

    def close(self) -> None:
        if self.reader.stack is not None:
            self.reader.close()


def damaged(path: str, error: BaseException) -> OskaToolError:
    return OskaToolError(f"cannot read the bag {path}: {error or type(error).__name__}. "
                         "Is the file complete (a recording cut short has no index)?")


@dataclass
class BagSignal:
    """The samples of a signal topic as SampleChunks (stamps from the headers,
    the log times as the payload that the bag writer needs)."""

    msgtype: str
    total: int
    chunks_of: Callable[[], Iterator[SampleChunk]]
    unit: str = "messages"
    position: int = 0
    first: list[str] = field(default_factory=list)

    def first_frame(self) -> str | None:
        """The frame_id of the topic's first message, once it is read."""
        return self.first[0] if self.first else None

    def chunks(self) -> Iterator[SampleChunk]:
        for chunk in self.chunks_of():
            self.position += len(chunk.signal)
            yield chunk

    def stamps_from_end(self) -> Iterator[Stamps]:
        return iter(())


@dataclass
class TransformStream:
    """A transform stream of the bag: chunks of (stamps, rows), and the frames."""

    chunks: Callable[[], Iterator[tuple[Stamps, Floats]]]
    parent: str | None = None
    child: str | None = None
    static: ConstantTransform | None = None

    def last_stamp(self) -> int | None:
        return None


class Bag:
    """An open bag for reading."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        require("rosbags", "Reading and writing ROS bags")
        self.path = os.fspath(path)
        self._readers = [_Reader(self.path)]
        self.connections = self._readers[0].reader.connections

    def _reader(self) -> _Reader:
        """Another reader of the bag, for a stream read beside the others."""
        self._readers.append(_Reader(self.path))
        return self._readers[-1]

    def topics(self) -> str:
        listed = sorted({f"{c.topic} ({c.msgtype})" for c in self.connections})
        return ", ".join(listed) or "no topic at all"

    def topic(self, topic: str, what: str) -> tuple[list[Any], str]:
        found = [c for c in self.connections if c.topic == topic]
        if not found:
            raise OskaToolError(f"the bag {self.path} has no topic {topic} for {what}; it has: "
                                f"{self.topics()}.")
        types = {c.msgtype for c in found}
        if len(types) > 1:
            raise OskaToolError(f"the topic {topic} of {self.path} carries several message types "
                                f"({', '.join(sorted(types))}); the tool needs one.")
        return found, types.pop()

    def signal(self, topic: str, kind: Kind, chunk_rows: int) -> BagSignal:
        """The signal topic for `kind`; refused when its message type is not one the
        kind transforms."""
        connections, msgtype = self.topic(topic, "the signal")
        carriers = signal_kinds()
        carrier = carriers.get(msgtype)
        if carrier is None:
            raise OskaToolError(f"the topic {topic} carries {msgtype}, which the tool does not "
                                "transform; it reads " + ", ".join(
                                    f"{t} ({k.signal})" for t, k in carriers.items()) + ".")
        if carrier.signal != kind.signal:
            raise OskaToolError(f"the topic {topic} carries {msgtype}, which the {carrier.signal} "
                                f"block transforms, not the {kind.signal} block: use --block "
                                f"{carrier.signal}.")
        get = attrgetter(*SIGNAL_FIELDS[msgtype])
        signal = BagSignal(msgtype, sum(int(c.msgcount) for c in connections), lambda: iter(()))
        width = len(SIGNAL_FIELDS[msgtype])

        def chunks() -> Iterator[SampleChunk]:
            stamps: list[int] = []
            values: list[tuple[float, ...]] = []
            logtimes: list[int] = []

            def chunk() -> SampleChunk:
                made = SampleChunk(signal=np.array(values, np.float64).reshape(len(values), width),
                                   stamps=np.array(stamps, np.int64),
                                   payload=np.array(logtimes, np.int64))
                stamps.clear()
                values.clear()
                logtimes.clear()
                return made

            for logtime, message in self._readers[0].messages(connections):
                if not signal.first:
                    signal.first.append(message.header.frame_id)
                stamps.append(_stamp(message))
                values.append(get(message))
                logtimes.append(logtime)
                if len(values) == chunk_rows:
                    yield chunk()
            if values:
                yield chunk()

        signal.chunks_of = chunks
        return signal

    def transform_topic(self, topic: str, chunk_rows: int) -> TransformStream:
        """A topic of PoseStamped or TransformStamped messages as the transform."""
        connections, msgtype = self.topic(topic, "the transform")
        if msgtype not in TF_FIELDS:
            raise OskaToolError(f"the topic {topic} carries {msgtype}; a transform topic carries "
                                f"{' or '.join(TF_FIELDS)}. For /tf use --tf-frames PARENT CHILD.")
        get = attrgetter(*TF_FIELDS[msgtype])
        reader = self._reader()
        first = next(reader.messages(connections), None)
        parent = frame(first[1].header.frame_id) if first else None
        child = frame(getattr(first[1], "child_frame_id", "")) if first else None

        def pairs() -> Iterator[tuple[int, tuple[float, ...]]]:
            for _, message in reader.messages(connections):
                yield _stamp(message), get(message)

        return TransformStream(lambda: _rows(pairs(), chunk_rows), parent, child or None)

    def transform_edge(self, parent: str, child: str, chunk_rows: int) -> TransformStream:
        """The transform from `parent` to `child` on /tf, or a constant one from
        /tf_static when /tf has none; refused with the edges there otherwise."""
        get = attrgetter(*TF_FIELDS[f"{GEOMETRY}TransformStamped"])
        seen: set[tuple[str, str]] = set()
        reader = self._reader()

        def edges(topic: str) -> Iterator[tuple[int, tuple[float, ...]]]:
            found = [c for c in self.connections if c.topic == topic and c.msgtype == TF_MESSAGE]
            if not found:
                return
            for _, message in reader.messages(found):
                for transform in message.transforms:
                    pair = (frame(transform.header.frame_id), frame(transform.child_frame_id))
                    if pair == (parent, child):
                        yield _stamp(transform), get(transform)
                    elif len(seen) < 50:
                        seen.add(pair)

        dynamic = _rows(edges(TF_TOPIC), chunk_rows)
        head = next(dynamic, None)
        if head is not None:
            def chunks() -> Iterator[tuple[Stamps, Floats]]:
                assert head is not None
                yield head
                yield from dynamic

            return TransformStream(chunks, parent, child)
        static = None
        for _, row in edges(TF_STATIC_TOPIC):
            static = row  # the latest one counts
        if static is not None:
            return TransformStream(lambda: iter(()), parent, child,
                                   ConstantTransform(np.array(static)))
        pairs = ", ".join(f"{p} -> {c}" for p, c in sorted(seen)) or "none"
        raise OskaToolError(f"no transform from {parent} to {child} on /tf or /tf_static of "
                            f"{self.path} (the tool takes one direct parent-child edge, not a "
                            f"chain); the edges there: {pairs}.")

    def close(self) -> None:
        for reader in self._readers:
            reader.close()

    def __enter__(self) -> Bag:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


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


class BagSink:
    """Writes the transformed samples to one topic of a new bag, whose kind the
    output's extension names: .bag (ROS 1), .mcap or .db3 (one ROS 2 storage
    file), anything else a rosbag2 folder (MCAP)."""

    def __init__(self, target: AtomicOutput, msgtype: str, topic: str, frame: str) -> None:
        from rosbags.typesys import Stores, get_typestore

        suffix = target.output.suffix.lower()
        self.msgtype, self.frame, self.fields = msgtype, frame, SIGNAL_FIELDS[msgtype]
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

    def write(self, chunk: SampleChunk, out: Floats, keep: Mask | None) -> None:
        stamps, logtimes = chunk.stamps, chunk.payload
        assert stamps is not None
        if keep is not None:
            out, stamps, logtimes = out[keep], stamps[keep], logtimes[keep]
        for stamp, row, logtime in zip(stamps.tolist(), out.tolist(), logtimes.tolist()):
            given = dict(zip(self.fields, row))
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
