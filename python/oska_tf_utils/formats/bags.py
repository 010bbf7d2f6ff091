"""ROS 1 and ROS 2 bags as the pipeline sees them: a signal topic as
SampleChunks, the transform as (stamps, rows) chunks, and an output topic.

A bag is opened by its container (`rosbag2`: MCAP and sqlite3 files and
folders; `rosbag1`), which gives the messages of a topic a stored chunk at a
time; `messages` decodes each chunk's payloads into stamps (from the message
headers) and values. A topic that its container cannot give by chunk is read
by rosbags (`general`), and the same decoding applies. The transformed
samples go to a bag, as messages of the input's type on a topic of their own.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from itertools import chain
from pathlib import Path
from typing import Any

import numpy as np

from ..align import Floats, Mask, SampleChunk, Stamps
from ..errors import OskaToolError, os_cause, require
from ..kinds import Kind, kinds
from . import frame
from .messages import (SIGNAL_FIELDS, TF_FIELDS, TF_MESSAGE, Decoded, EdgeReader, Reader,
                       Writer, chunks_of)
from .output import AtomicOutput
from .storage import Container, ContainerWriter, Damaged, NotByChunk, Raw

TF_TOPIC, TF_STATIC_TOPIC = "/tf", "/tf_static"
SEEN_EDGES = 50
"""How many other edges an error about a missing /tf edge lists at most."""

__all__ = ["Bag", "BagSignal", "BagSink", "TransformStream", "frame", "signal_kinds"]


def signal_kinds() -> dict[str, list[Kind]]:
    """The kinds that transform each message type the tool reads (from their
    ROS_MESSAGE_TYPES), in the order of SIGNAL_FIELDS; for each type the kind
    named after its signal first."""
    found = {msgtype: sorted((k for k in kinds().values() if msgtype in k.ros_message_types),
                             key=lambda k: not k.names_its_signal)
             for msgtype in SIGNAL_FIELDS}
    return {msgtype: carriers for msgtype, carriers in found.items() if carriers}


def damaged(path: str, error: BaseException) -> OskaToolError:
    return OskaToolError(f"cannot read the bag {path}: {error or type(error).__name__}. "
                         "Is the file complete (a recording cut short has no index)?")


@dataclass
class BagSignal:
    """The samples of a signal topic as SampleChunks (stamps from the headers,
    the log times as the payload that the bag writer needs)."""

    msgtype: str
    total: Callable[[], int]
    """Counts the topic's messages (for a progress bar)."""
    raw: Callable[[], Iterator[Raw]]
    raw_from_end: Callable[[], Iterator[Raw]]
    reader: Callable[[], Reader]
    rows: int
    unit: str = "messages"
    position: int = 0
    first: str | None = None
    """The frame_id of the topic's first message, once it is read."""

    def first_frame(self) -> str | None:
        return self.first

    def _decoded(self) -> Iterator[Decoded]:
        reader = self.reader()
        for raw in self.raw():
            decoded = reader.decode(raw.payloads)
            decoded.logtimes = raw.logtimes
            if self.first is None and len(decoded.stamps):
                self.first = decoded.first.get("header.frame_id", "")
            yield decoded

    def chunks(self) -> Iterator[SampleChunk]:
        for decoded in chunks_of(self._decoded(), self.rows):
            self.position += len(decoded.stamps)
            yield SampleChunk(signal=decoded.values, stamps=decoded.stamps,
                              payload=decoded.logtimes)

    def stamps_from_end(self) -> Iterator[Stamps]:
        reader = self.reader()
        for raw in self.raw_from_end():
            yield reader.decode(raw.payloads).stamps


@dataclass
class TransformStream:
    """A transform stream of the bag: chunks of (stamps, rows), the frames, the
    last stamp (from the bag's end), or one constant transform (/tf_static):
    its row and stamp."""

    chunks: Callable[[], Iterator[tuple[Stamps, Floats]]]
    parent: str | None = None
    child: str | None = None
    static: tuple[Floats, int] | None = None
    last: Callable[[], Iterator[tuple[Stamps, Floats]]] = lambda: iter(())

    def last_stamp(self) -> int | None:
        for stamps, _ in self.last():
            return int(stamps[-1])
        return None


class Bag:
    """An open bag for reading."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        require("rosbags", "Reading and writing ROS bags")
        require("mcap", "Reading and writing ROS bags")
        from .general import General, typestore
        from .rosbag1 import Rosbag1File
        from .rosbag2 import open_storage

        self.path = os.fspath(path)
        where = Path(path)
        self._general: General | None = None
        try:
            try:
                self.container: Container = Rosbag1File(where) if where.suffix == ".bag" \
                    else open_storage(where)
                self.store = typestore(self.container.connections)
            except (Damaged, NotByChunk):  # rosbags reads it, or says why it cannot
                self._general = self.container = General(where)
                self.store = self._general.typestore
        except Damaged as e:
            raise damaged(self.path, e) from None
        except OSError as e:
            raise OskaToolError(f"cannot read the bag {self.path}: {os_cause(e)}.") from None
        self.ros1 = self.container.ros1
        self.connections = self.container.connections

    def _source(self, ids: set[int]) -> tuple[Container, set[int]]:
        """The container that gives the connections `ids` by chunk, and their
        ids in it: the bag's own, or rosbags when the bag's layout does not
        allow it (which may number the connections otherwise)."""
        if self.container.ordered(ids):
            return self.container, ids
        if self._general is None:
            from .general import General

            try:
                self._general = General(Path(self.path))
            except Damaged as e:
                raise damaged(self.path, e) from None
        wanted = {(c.topic, c.msgtype) for c in self.connections if c.id in ids}
        return self._general, {c.id for c in self._general.connections
                               if (c.topic, c.msgtype) in wanted}

    def _raw(self, ids: set[int], backwards: bool = False) -> Iterator[Raw]:
        """The stored chunks of the connections `ids`, with the errors of a
        damaged file made clear."""
        if not ids:
            return
        source, ids = self._source(ids)
        try:
            yield from (source.messages_from_end(ids) if backwards else source.messages(ids))
        except (Damaged, OSError) as e:  # read errors: never taken for the output's
            raise damaged(self.path, e) from None

    def deserializer(self, msgtype: str) -> Callable[[bytes], Any]:
        """The general deserialiser of rosbags for `msgtype`."""
        store, ros1, path = self.store, self.ros1, self.path

        def deserialize(raw: bytes) -> Any:
            try:
                return store.deserialize_ros1(raw, msgtype) if ros1 \
                    else store.deserialize_cdr(raw, msgtype)
            except Exception as e:
                raise damaged(path, e) from None
        return deserialize

    def topics(self) -> str:
        listed = sorted({f"{c.topic} ({c.msgtype})" for c in self.connections})
        return ", ".join(listed) or "no topic at all"

    def topic(self, topic: str, what: str) -> tuple[set[int], str]:
        """The connections of `topic` and its message type."""
        found = [c for c in self.connections if c.topic == topic]
        if not found:
            raise OskaToolError(f"the bag {self.path} has no topic {topic} for {what}; it has: "
                                f"{self.topics()}.")
        types = {c.msgtype for c in found}
        if len(types) > 1:
            raise OskaToolError(f"the topic {topic} of {self.path} carries several message types "
                                f"({', '.join(sorted(types))}); the tool needs one.")
        return {c.id for c in found}, types.pop()

    def signal(self, topic: str, kind: Kind, chunk_rows: int) -> BagSignal:
        """The signal topic for `kind`; refused when its message type is not one the
        kind transforms."""
        ids, msgtype = self.topic(topic, "the signal")
        carriers = signal_kinds()
        if msgtype not in carriers:
            raise OskaToolError(f"the topic {topic} carries {msgtype}, which the tool does not "
                                "transform; it reads " + ", ".join(
                                    f"{t} ({'/'.join(k.signal for k in ks if k.names_its_signal)})"
                                    for t, ks in carriers.items()) + ".")
        if kind not in carriers[msgtype]:
            carrier = carriers[msgtype][0].signal
            raise OskaToolError(f"the topic {topic} carries {msgtype}, which the {carrier} "
                                f"block transforms, not the {kind.signal} block: use --block "
                                f"{carrier}.")
        source, in_source = self._source(ids)
        return BagSignal(msgtype, lambda: source.count(in_source), lambda: self._raw(ids),
                         lambda: self._raw(ids, backwards=True),
                         lambda: self._reader(msgtype, SIGNAL_FIELDS[msgtype]), chunk_rows)

    def _reader(self, msgtype: str, paths: tuple[str, ...]) -> Reader:
        return Reader(self.store, msgtype, self.ros1, paths, self.deserializer(msgtype))

    def transform_topic(self, topic: str, chunk_rows: int) -> TransformStream:
        """A topic of PoseStamped or TransformStamped messages as the transform."""
        ids, msgtype = self.topic(topic, "the transform")
        if msgtype not in TF_FIELDS:
            raise OskaToolError(f"the topic {topic} carries {msgtype}; a transform topic carries "
                                f"{' or '.join(TF_FIELDS)}. For /tf use --tf-frames PARENT CHILD.")
        def rows(backwards: bool = False) -> Iterator[tuple[Stamps, Floats]]:
            reader = self._reader(msgtype, TF_FIELDS[msgtype])
            for raw in self._raw(ids, backwards):
                decoded = reader.decode(raw.payloads)
                if len(decoded.stamps):
                    yield decoded.stamps, decoded.values

        first = self._reader(msgtype, TF_FIELDS[msgtype])
        names: dict[str, str] = {}
        for raw in self._raw(ids):
            if len(raw):
                names = first.decode(raw.payloads.take(np.zeros(1, np.int64))).first
                break
        parent = frame(names["header.frame_id"]) if names else None
        child = frame(names.get("child_frame_id", "")) if names else None
        return TransformStream(rows, parent, child or None, last=lambda: rows(backwards=True))

    def transform_edge(self, parent: str, child: str, chunk_rows: int) -> TransformStream:
        """The transform from `parent` to `child` on /tf, or a constant one from
        /tf_static when /tf has none; refused with the edges there otherwise."""
        dynamic, static = (self._tf_ids(TF_TOPIC), self._tf_ids(TF_STATIC_TOPIC))

        def edge(ids: set[int], backwards: bool = False) -> Iterator[tuple[Stamps, Floats]]:
            reader = EdgeReader(self.store, self.ros1, parent, child,
                                self.deserializer(TF_MESSAGE))
            for raw in self._raw(ids, backwards):
                stamps, rows = reader.decode(raw.payloads)
                if len(stamps):
                    yield stamps, rows

        found = edge(dynamic)
        head = next(found, None)
        if head is not None:
            return TransformStream(lambda: chain([head], found), parent, child,
                                   last=lambda: edge(dynamic, backwards=True))
        latest: tuple[Floats, int] | None = None
        for stamps, rows in edge(static):
            latest = rows[-1], int(stamps[-1])  # the latest one counts
        if latest is not None:
            return TransformStream(lambda: iter(()), parent, child, latest)
        pairs = ", ".join(f"{p} -> {c}" for p, c in sorted(self._edges(dynamic, static))) \
            or "none"
        raise OskaToolError(f"no transform from {parent} to {child} on /tf or /tf_static of "
                            f"{self.path} (the tool takes one direct parent-child edge, not a "
                            f"chain); the edges there: {pairs}.")

    def _tf_ids(self, topic: str) -> set[int]:
        return {c.id for c in self.connections if c.topic == topic and c.msgtype == TF_MESSAGE}

    def _edges(self, *topics: set[int]) -> set[tuple[str, str]]:
        """The first edges on the /tf topics, for the error that the one asked for is missing."""
        seen: set[tuple[str, str]] = set()
        deserialize = self.deserializer(TF_MESSAGE)
        for ids in topics:
            for raw in self._raw(ids):
                for i in range(len(raw)):
                    for transform in deserialize(raw.payloads.raw(i)).transforms:
                        if len(seen) < SEEN_EDGES:
                            seen.add((frame(transform.header.frame_id),
                                      frame(transform.child_frame_id)))
        return seen

    def close(self) -> None:
        self.container.close()

    def __enter__(self) -> Bag:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class BagSink:
    """Writes the transformed samples to one topic of a new bag, whose kind the
    output's extension names: .bag (ROS 1), .mcap or .db3 (one ROS 2 storage
    file), anything else a rosbag2 folder (MCAP)."""

    def __init__(self, target: AtomicOutput, msgtype: str, topic: str, frame: str) -> None:
        from .general import stock
        from .rosbag1 import Rosbag1Writer
        from .rosbag2 import Rosbag2Writer

        suffix = target.output.suffix.lower()
        ros1 = suffix == ".bag"
        store = stock(ros1)

        def serialize(message: Any) -> bytes:
            return bytes(store.serialize_ros1(message, msgtype) if ros1
                         else store.serialize_cdr(message, msgtype))

        self.encoder = Writer(store, msgtype, ros1, SIGNAL_FIELDS[msgtype], frame, serialize)
        self.writer: ContainerWriter
        if ros1:
            definition, md5sum = store.generate_msgdef(msgtype)
            self.writer = Rosbag1Writer(target.path, topic, msgtype, definition, md5sum)
        else:
            definition, _ = store.generate_msgdef(msgtype, ros_version=2)
            digest = store.hash_rihs01(msgtype)
            if suffix in (".mcap", ".db3"):  # one storage file
                storage, folder, path = ("sqlite3" if suffix == ".db3" else "mcap"), None, \
                    target.path
                name = target.output.name
            else:  # a folder, with the storage file named after it
                storage, folder, name = "mcap", target.path, f"{target.output.name}.mcap"
                path = folder / name
            self.writer = Rosbag2Writer(storage, path, name, folder, topic, msgtype, definition,
                                        digest)
        self._open = True

    def write(self, chunk: SampleChunk, out: Floats, keep: Mask | None) -> None:
        stamps, logtimes = chunk.stamps, chunk.payload
        assert stamps is not None
        if keep is not None:
            out, stamps, logtimes = out[keep], stamps[keep], logtimes[keep]
        self.writer.write(logtimes, self.encoder.encode(stamps, out))

    def close(self) -> None:
        self.writer.close()
        self._open = False

    def abort(self) -> None:
        if self._open:
            self.writer.abort()
            self._open = False
