"""Message payloads decoded and encoded a chunk at a time.

The messages the tool reads and writes (WrenchStamped, TwistStamped,
AccelStamped, Imu, PoseStamped, TransformStamped, and TFMessage with one
transform) have one payload length for as long as their frame names do not
change, and every field at a fixed offset. `Layout` finds those offsets from
one payload and the message definition (the typestore of rosbags), for both
serialisations: CDR of ROS 2 (a 4-byte encapsulation header, then every
primitive aligned to its size, strings with their NUL) and that of ROS 1
(little-endian, no alignment, strings without NUL). All payloads of a chunk
that have the length and the constant bytes (encapsulation, string lengths and
characters, sequence counts) of the layout are then read through one NumPy
structured dtype; any other payload goes through the general deserialiser of
rosbags, one by one, so that any valid bag gives the same values.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from operator import attrgetter
from typing import Any

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import as_strided
from rosbags.interfaces import Nodetype

from ..align import NS_PER_S, Floats, Stamps
from . import frame

Bytes = npt.NDArray[np.uint8]
Index = npt.NDArray[np.int64]

SIZES = {"bool": 1, "byte": 1, "char": 1, "int8": 1, "uint8": 1, "int16": 2, "uint16": 2,
         "int32": 4, "uint32": 4, "int64": 8, "uint64": 8, "float32": 4, "float64": 8}
DTYPES = {"bool": "u1", "byte": "u1", "char": "u1", "int8": "i1", "uint8": "u1",
          "int16": "<i2", "uint16": "<u2", "int32": "<i4", "uint32": "<u4", "int64": "<i8",
          "uint64": "<u8", "float32": "<f4", "float64": "<f8"}
CDR_LE = b"\x00\x01\x00\x00"
"""The encapsulation header of little-endian CDR."""


def _xyz(prefix: str) -> tuple[str, ...]:
    return tuple(f"{prefix}.{axis}" for axis in "xyz")


def _wxyz(prefix: str) -> tuple[str, ...]:
    return tuple(f"{prefix}.{axis}" for axis in "wxyz")


GEOMETRY = "geometry_msgs/msg/"
SIGNAL_FIELDS: dict[str, tuple[str, ...]] = {
    f"{GEOMETRY}WrenchStamped": _xyz("wrench.force") + _xyz("wrench.torque"),
    f"{GEOMETRY}TwistStamped": _xyz("twist.linear") + _xyz("twist.angular"),
    f"{GEOMETRY}AccelStamped": _xyz("accel.linear") + _xyz("accel.angular"),
    "sensor_msgs/msg/Imu": _xyz("linear_acceleration") + _xyz("angular_velocity"),
    f"{GEOMETRY}PoseStamped": _xyz("pose.position") + _wxyz("pose.orientation"),
}
"""Where each message type that carries a signal keeps it, in the order of the
components of the kind that lists the type among its ROS_MESSAGE_TYPES."""
TF_FIELDS: dict[str, tuple[str, ...]] = {
    f"{GEOMETRY}PoseStamped": _xyz("pose.position") + _wxyz("pose.orientation"),
    f"{GEOMETRY}TransformStamped": _xyz("transform.translation") + _wxyz("transform.rotation"),
}
"""Where a transform topic's message type keeps [tx, ty, tz, qw, qx, qy, qz]."""
OUTPUT_CONSTANTS: dict[str, dict[str, Any]] = {
    # No orientation estimate in the new axes: -1 says so, by convention.
    "sensor_msgs/msg/Imu": {"orientation_covariance": np.array([-1.0] + [0.0] * 8)},
}
"""Fields that an output message of a type holds besides the signal and header."""
TF_MESSAGE = "tf2_msgs/msg/TFMessage"
EDGE = "transforms.0."
"""The one transform of a TFMessage that the fast path reads."""


@dataclass
class Payloads:
    """The payloads of consecutive messages: `lengths[i]` bytes of `buffer`
    from `starts[i]`."""

    buffer: Bytes
    starts: Index
    lengths: Index

    def __len__(self) -> int:
        return len(self.starts)

    @classmethod
    def of(cls, raw: Sequence[bytes]) -> Payloads:
        lengths = np.fromiter(map(len, raw), np.int64, len(raw))
        starts = np.zeros(len(raw), np.int64)
        np.cumsum(lengths[:-1], out=starts[1:])
        return cls(np.frombuffer(b"".join(raw), np.uint8), starts, lengths)

    @classmethod
    def of_rows(cls, rows: Bytes) -> Payloads:
        """Payloads of one length, a (n, length) array."""
        n, length = rows.shape
        return cls(rows.reshape(-1), np.arange(n, dtype=np.int64) * length,
                   np.full(n, length, np.int64))

    def rows(self, which: Index, length: int) -> Bytes:
        """The payloads `which` (all of `length` bytes) as a (k, length) array."""
        if not len(which) or len(self.buffer) < length:
            return np.empty((0, length), np.uint8)
        gathered: Bytes = windows(self.buffer, length)[self.starts[which]]
        return gathered

    def raw(self, i: int) -> bytes:
        start = int(self.starts[i])
        return self.buffer[start:start + int(self.lengths[i])].tobytes()

    def uniform(self) -> int | None:
        """The payloads' common length, None when they differ."""
        if not len(self) or not np.all(self.lengths == self.lengths[0]):
            return None
        return int(self.lengths[0])

    def take(self, which: Index) -> Payloads:
        return Payloads(self.buffer, self.starts[which], self.lengths[which])


def windows(buffer: Bytes, size: int) -> Bytes:
    """Every `size` bytes of `buffer`, from each byte on, as the rows of a view
    (no copy): what starts at byte i is row i, so that a gather of rows by their
    starts copies each only once."""
    step = buffer.strides[0]
    view: Bytes = as_strided(buffer, (len(buffer) - size + 1, size), (step, step),
                             writeable=False)
    return view


def numbers(buffer: Bytes, at: Index, dtype: str) -> Index:
    """The little-endian integers of type `dtype` ("<u2", "<u4", "<u8") at the
    byte offsets `at` of `buffer`, wherever they start, as int64."""
    rows = windows(buffer, np.dtype(dtype).itemsize)[at]
    found: Index = rows.view(dtype)[:, 0].astype(np.int64)
    return found


class Unlaid(Exception):
    """A payload, or a message type, that has no fixed layout to read it by."""


@dataclass
class Layout:
    """Where each field of a payload is, for every payload shaped like it: the
    same length, the same strings and the same sequence lengths."""

    template: Bytes
    offsets: dict[str, tuple[int, str]] = field(default_factory=dict)
    """Numeric fields by dotted path: (offset, NumPy type)."""
    strings: dict[str, str] = field(default_factory=dict)
    constant: list[int] = field(default_factory=list)
    """Offsets of the bytes that every payload of this shape has in common."""

    @property
    def length(self) -> int:
        return len(self.template)

    def dtype(self, paths: Sequence[str]) -> np.dtype[Any]:
        """A structured dtype that reads the fields `paths` of a payload row."""
        return np.dtype({"names": list(paths), "formats": [self.offsets[p][1] for p in paths],
                         "offsets": [self.offsets[p][0] for p in paths],
                         "itemsize": self.length})

    def match(self, payloads: Payloads) -> tuple[Index, Bytes]:
        """The payloads that have this layout: their indices and their bytes,
        one row each."""
        which = np.flatnonzero(payloads.lengths == self.length)
        rows = payloads.rows(which, self.length)
        if len(which):
            columns = np.array(self.constant, np.int64)
            fit = np.all(rows[:, columns] == self.template[columns], axis=1)
            if not fit.all():
                which, rows = which[fit], rows[fit]
        return which, rows

    def fits(self, payload: bytes) -> bool:
        columns = np.array(self.constant, np.int64)
        return len(payload) == self.length and bool(np.all(
            np.frombuffer(payload, np.uint8)[columns] == self.template[columns]))


def layout(store: Any, msgtype: str, payload: bytes, ros1: bool) -> Layout:
    """The layout of `payload`, a serialised `msgtype`; Unlaid when the payload
    is not one the fast path reads (big-endian CDR, a field type without a
    fixed size, a length that does not add up)."""
    payload = bytes(payload)
    found = Layout(np.frombuffer(payload, np.uint8).copy())
    base = 0 if ros1 else 4
    if not ros1:
        if payload[:4] != CDR_LE:
            raise Unlaid("not little-endian CDR")
        found.constant.extend(range(4))
    end = _walk(store, msgtype, payload, base, base, ros1, "", found)
    if end != len(payload):
        raise Unlaid(f"{len(payload) - end} bytes after the fields")
    return found


def _aligned(position: int, base: int, size: int, ros1: bool) -> int:
    if ros1:
        return position
    return base + (position - base + size - 1) // size * size


def _walk(store: Any, msgtype: str, payload: bytes, position: int, base: int, ros1: bool,
          prefix: str, found: Layout) -> int:
    """Lays out the fields of `msgtype` from `position`; returns where they end."""
    for name, (node, field_type) in store.fielddefs[msgtype][1]:
        path = prefix + name
        if node == Nodetype.NAME:
            position = _walk(store, field_type, payload, position, base, ros1, path + ".", found)
        elif node == Nodetype.BASE:
            position = _primitive(field_type[0], payload, position, base, ros1, path, found)
        elif node in (Nodetype.ARRAY, Nodetype.SEQUENCE):
            (inner, inner_type), count = field_type
            if node == Nodetype.SEQUENCE:
                position = _aligned(position, base, 4, ros1)
                count = _count(payload, position)
                found.constant.extend(range(position, position + 4))
                position += 4
            if inner == Nodetype.BASE and inner_type[0] in SIZES:
                size = SIZES[inner_type[0]]
                position = _aligned(position, base, size, ros1) if count else position
                found.offsets[path] = (position, f"({count},){DTYPES[inner_type[0]]}")
                position += size * count
                continue
            for i in range(count):
                if inner == Nodetype.NAME:
                    position = _walk(store, inner_type, payload, position, base, ros1,
                                     f"{path}.{i}.", found)
                else:
                    position = _primitive(inner_type[0], payload, position, base, ros1,
                                          f"{path}.{i}", found)
        else:
            raise Unlaid(f"field {path} has no fixed layout")
    return position


def _count(payload: bytes, position: int) -> int:
    if position + 4 > len(payload):
        raise Unlaid("payload too short")
    return int.from_bytes(payload[position:position + 4], "little")


def _primitive(typename: str, payload: bytes, position: int, base: int, ros1: bool, path: str,
               found: Layout) -> int:
    if typename == "string":
        position = _aligned(position, base, 4, ros1)
        length = _count(payload, position)
        text = payload[position + 4:position + 4 + length]
        if len(text) != length or (not ros1 and (not length or text[-1] != 0)):
            raise Unlaid(f"string {path} does not fit")
        try:
            found.strings[path] = (text if ros1 else text[:-1]).decode()
        except UnicodeDecodeError:
            raise Unlaid(f"string {path} is not UTF-8") from None
        found.constant.extend(range(position, position + 4 + length))
        return position + 4 + length
    if typename not in SIZES:
        raise Unlaid(f"field {path} of type {typename}")
    size = SIZES[typename]
    position = _aligned(position, base, size, ros1)
    found.offsets[path] = (position, DTYPES[typename])
    return position + size


def stamps_of(fields: np.ndarray[Any, Any], prefix: str) -> Stamps:
    """The header stamps of structured rows, as int64 nanoseconds."""
    sec = fields[f"{prefix}header.stamp.sec"].astype(np.int64)
    stamps: Stamps = sec * NS_PER_S + fields[f"{prefix}header.stamp.nanosec"].astype(np.int64)
    return stamps


def header_stamp(message: Any) -> int:
    stamp = message.header.stamp
    return int(stamp.sec) * NS_PER_S + int(stamp.nanosec)


@dataclass
class Decoded:
    """What a chunk of messages holds: stamps, values and the strings of the
    first message (its frame names); and their log times, which the bag gives."""

    stamps: Stamps
    values: Floats
    first: dict[str, str]
    logtimes: Stamps | None = None

    def __getitem__(self, rows: slice) -> Decoded:
        return Decoded(self.stamps[rows], self.values[rows], self.first,
                       None if self.logtimes is None else self.logtimes[rows])


class Reader:
    """Reads the header stamps and the float fields `paths` of messages of one
    type, by chunk where their layout allows and one by one otherwise."""

    def __init__(self, store: Any, msgtype: str, ros1: bool, paths: tuple[str, ...],
                 deserialize: Callable[[bytes], Any]) -> None:
        self.store, self.msgtype, self.ros1, self.paths = store, msgtype, ros1, paths
        self.deserialize = deserialize
        self.get = attrgetter(*paths)
        self._layout: Layout | None = None

    def _layout_of(self, payloads: Payloads) -> Layout | None:
        """The layout of the chunk's first payload (the last one used, if it fits)."""
        current = self._layout
        if current is not None and current.fits(payloads.raw(0)):
            return current
        try:
            self._layout = layout(self.store, self.msgtype, payloads.raw(0), self.ros1)
        except Unlaid:
            self._layout = None
        return self._layout

    def decode(self, payloads: Payloads) -> Decoded:
        n = len(payloads)
        stamps = np.empty(n, np.int64)
        values = np.empty((n, len(self.paths)))
        found = self._layout_of(payloads) if n else None
        fit = np.zeros(n, np.bool_)
        first: dict[str, str] = {}
        if found is not None:
            which, block = found.match(payloads)
            fit[which] = True
            rows = block.view(found.dtype((*self.paths, "header.stamp.sec",
                                           "header.stamp.nanosec")))[:, 0]
            stamps[which] = stamps_of(rows, "")
            for j, path in enumerate(self.paths):
                values[which, j] = rows[path]
            if fit[0]:
                first = dict(found.strings)
        for i in np.flatnonzero(~fit).tolist():
            message = self.deserialize(payloads.raw(i))
            stamps[i] = header_stamp(message)
            values[i] = self.get(message)
            if i == 0:
                first = _strings(message)
        return Decoded(stamps, values, first)


def _strings(message: Any) -> dict[str, str]:
    """The frame names of a message, under the paths a layout gives them."""
    found = {"header.frame_id": str(message.header.frame_id)}
    if hasattr(message, "child_frame_id"):
        found["child_frame_id"] = str(message.child_frame_id)
    return found


class EdgeReader:
    """Reads the transforms from `parent` to `child` out of TFMessages: by chunk
    where a message holds that one transform alone, and by the general
    deserialiser where it holds others (a message without the child frame's
    name anywhere in its bytes holds no such transform and is skipped)."""

    def __init__(self, store: Any, ros1: bool, parent: str, child: str,
                 deserialize: Callable[[bytes], Any]) -> None:
        self.store, self.ros1, self.parent, self.child = store, ros1, parent, child
        self.deserialize = deserialize
        self.paths = tuple(EDGE + p for p in TF_FIELDS[f"{GEOMETRY}TransformStamped"])
        self.get = attrgetter(*TF_FIELDS[f"{GEOMETRY}TransformStamped"])
        self.needle = child.encode()
        self._layout: Layout | None = None

    def decode(self, payloads: Payloads) -> tuple[Stamps, Floats]:
        """The stamps and rows of the edge's transforms, in message order."""
        found = self._layout
        fit = np.zeros(len(payloads), np.bool_)
        fast, block = found.match(payloads) if found is not None else (np.empty(0, np.int64),
                                                                         np.empty((0, 0), np.uint8))
        fit[fast] = True
        slow: list[tuple[int, int, Floats]] = []
        for i in np.flatnonzero(~fit).tolist():
            raw = payloads.raw(i)
            if self.needle not in raw:
                continue
            transforms = self.deserialize(raw).transforms
            for transform in transforms:
                if (frame(transform.header.frame_id), frame(transform.child_frame_id)) \
                        == (self.parent, self.child):
                    slow.append((i, header_stamp(transform), np.array(self.get(transform))))
            if found is None and len(transforms) == 1 and slow and slow[-1][0] == i:
                self._learn(raw)
                if self._layout is not None:  # learnt from this message: read all by it
                    return self.decode(payloads)
        order = np.concatenate([fast, np.array([s[0] for s in slow], np.int64)])
        stamps = np.empty(len(order), np.int64)
        rows = np.empty((len(order), 7))
        if len(fast):
            assert found is not None
            fields = block.view(
                found.dtype((*self.paths, EDGE + "header.stamp.sec",
                             EDGE + "header.stamp.nanosec")))[:, 0]
            stamps[:len(fast)] = stamps_of(fields, EDGE)
            for j, path in enumerate(self.paths):
                rows[:len(fast), j] = fields[path]
        for k, (_, stamp, row) in enumerate(slow, start=len(fast)):
            stamps[k], rows[k] = stamp, row
        sort = np.argsort(order, kind="stable")
        return stamps[sort], rows[sort]

    def _learn(self, raw: bytes) -> None:
        try:
            self._layout = layout(self.store, TF_MESSAGE, raw, self.ros1)
        except Unlaid:
            pass


class Writer:
    """Builds the payloads of messages of one type from stamps and the float
    fields `paths`, with the frame `frame` and the type's OUTPUT_CONSTANTS:
    every payload is a copy of one serialised by rosbags, with the stamp and
    the values written over it at their offsets, so all have one length."""

    def __init__(self, store: Any, msgtype: str, ros1: bool, paths: tuple[str, ...],
                 frame: str, serialize: Callable[[Any], bytes]) -> None:
        self.store, self.msgtype, self.paths = store, msgtype, paths
        self.serialize = serialize
        self.constants = {**OUTPUT_CONSTANTS.get(msgtype, {}), "header.frame_id": frame}
        template = serialize(self.message(0, np.zeros(len(paths))))
        self.layout = layout(store, msgtype, template, ros1)
        self.dtype = self.layout.dtype((*paths, "header.stamp.sec", "header.stamp.nanosec"))

    def message(self, stamp: int, values: Floats) -> Any:
        """The message of one sample, built by rosbags."""
        given: dict[str, Any] = dict(zip(self.paths, values.tolist()))
        given.update(self.constants)
        given["header.stamp.sec"], given["header.stamp.nanosec"] = divmod(stamp, NS_PER_S)
        return build(self.store, self.msgtype, given)

    def encode(self, stamps: Stamps, values: Floats) -> Payloads:
        sec, nanosec = np.divmod(stamps, NS_PER_S)
        outside = np.flatnonzero((sec < -2**31) | (sec >= 2**31))
        if len(outside):  # beyond the header's int32 seconds: as rosbags serialises it
            bad = int(outside[0])
            self.serialize(self.message(int(stamps[bad]), values[bad]))
            raise ValueError(f"stamp {int(stamps[bad])} ns does not fit a message header")
        rows = np.empty((len(stamps), self.layout.length), np.uint8)
        rows[:] = self.layout.template
        fields = rows.view(self.dtype)[:, 0]
        fields["header.stamp.sec"] = sec
        fields["header.stamp.nanosec"] = nanosec
        for j, path in enumerate(self.paths):
            fields[path] = values[:, j]
        return Payloads.of_rows(rows)


def build(store: Any, msgtype: str, values: dict[str, Any], prefix: str = "") -> Any:
    """A message of `msgtype` with the given field values (dotted paths) and
    zeros, empty strings and empty sequences everywhere else."""
    _, fields = store.fielddefs[msgtype]
    kwargs: dict[str, Any] = {}
    for name, (node, field_type) in fields:
        path = prefix + name
        if path in values:
            kwargs[name] = values[path]
        elif node == Nodetype.NAME:
            kwargs[name] = build(store, field_type, values, path + ".")
        elif node == Nodetype.BASE:
            base = field_type[0]
            kwargs[name] = "" if base == "string" else (False if base == "bool" else 0)
        elif node == Nodetype.ARRAY:
            (inner, inner_type), length = field_type
            kwargs[name] = np.zeros(length, inner_type[0]) if inner == Nodetype.BASE else \
                [build(store, inner_type, {}) for _ in range(length)]
        else:
            (inner, inner_type), _ = field_type
            kwargs[name] = np.zeros(0, inner_type[0]) if inner == Nodetype.BASE and \
                inner_type[0] != "string" else []
    return store.types[msgtype](**kwargs)


def chunks_of(decoded: Iterator[Decoded], rows: int) -> Iterator[Decoded]:
    """Decoded messages regrouped into chunks of exactly `rows` (the last one shorter)."""
    pending: list[Decoded] = []
    count = 0
    for part in decoded:
        if not len(part.stamps):
            continue
        pending.append(part)
        count += len(part.stamps)
        while count >= rows:
            joined = _join(pending)
            yield joined[:rows]
            rest = joined[rows:]
            rest.first = {}
            pending, count = ([rest] if len(rest.stamps) else []), count - rows
    if count:
        yield _join(pending)


def _join(parts: list[Decoded]) -> Decoded:
    if len(parts) == 1:
        return parts[0]
    logtimes = [p.logtimes for p in parts if p.logtimes is not None]
    return Decoded(np.concatenate([p.stamps for p in parts]),
                   np.concatenate([p.values for p in parts]), parts[0].first,
                   np.concatenate(logtimes) if len(logtimes) == len(parts) else None)
