"""ROS 1 bags (format 2.0), read and written a chunk at a time.

The index at the end of the bag (connections, chunk infos) is read when the
bag is opened; the index records after each chunk give the offsets of its
messages, whose records are checked and gathered with NumPy. Record headers
are read and written with the helpers of rosbags. Memory holds one chunk and
its index, whatever the bag's length (the index is never read whole).
"""

from __future__ import annotations

import io
import os
from collections.abc import Iterator
from contextlib import suppress
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt
from rosbags.rosbag1.reader import Header, RecordType, decompressors, normalize
from rosbags.rosbag1.writer import Header as WriteHeader
from rosbags.typesys.msg import denormalize_msgtype, normalize_msgtype

from ..align import NS_PER_S, Stamps
from .messages import Payloads, numbers
from .storage import Connection, Damaged, Raw

INDEX_ENTRY = np.dtype([("sec", "<u4"), ("nsec", "<u4"), ("offset", "<u4")])
CHUNK_BYTES = 1 << 20
"""About how many bytes of messages go into one chunk of an output."""
MAGIC = b"#ROSBAG V2.0\n"
BAG_HEADER_BYTES = 4096


class Rosbag1File:
    """A ROS 1 bag with its index."""

    ros1 = True

    def __init__(self, path: Path) -> None:
        self.file = path.open("rb")
        try:
            if self.file.readline() != MAGIC:
                raise Damaged("not a ROS 1 bag of version 2.0")
            header = Header.read(self.file, RecordType.BAGHEADER)
            index_pos = header.get_uint64("index_pos")
            if index_pos == 0:
                raise Damaged("the bag is not indexed")
            self.file.seek(index_pos)
            self.connections = [self._connection()
                                for _ in range(header.get_uint32("conn_count"))]
            self.chunks = [self._chunk_info() for _ in range(header.get_uint32("chunk_count"))]
        except Damaged:
            self.file.close()
            raise
        except Exception as e:  # rosbags reports a damaged record with several types
            self.file.close()
            raise Damaged(str(e) or type(e).__name__) from None
        self.chunks.sort(key=lambda c: c[0])

    def _connection(self) -> Connection:
        header = Header.read(self.file, RecordType.CONNECTION)
        cid, topic = header.get_uint32("conn"), normalize(header.get_string("topic"))
        data = Header.read(self.file)
        return Connection(cid, topic, normalize_msgtype(data.get_string("type")),
                          ("msg", data.get_string("message_definition")),
                          data.get_string("md5sum"))

    def _chunk_info(self) -> tuple[int, int, int, dict[int, int]]:
        """(position, first and last log time, messages per connection) of a chunk."""
        header = Header.read(self.file, RecordType.CHUNK_INFO)
        count = header.get_uint32("count")
        size = int.from_bytes(self.file.read(4), "little")
        pairs = np.frombuffer(self.file.read(size), "<u4").reshape(-1, 2)
        return (header.get_uint64("chunk_pos"), header.get_time("start_time"),
                header.get_time("end_time"), {int(c): int(n) for c, n in pairs[:count]})

    def count(self, ids: set[int]) -> int:
        return sum(counts.get(i, 0) for _, _, _, counts in self.chunks for i in ids)

    def _holding(self, ids: set[int]) -> list[tuple[int, int, int, dict[int, int]]]:
        return [c for c in self.chunks if any(c[3].get(i, 0) for i in ids)]

    def ordered(self, ids: set[int]) -> bool:
        held = self._holding(ids)
        if all(a[2] <= b[1] for a, b in zip(held, held[1:])):
            return True
        # The chunks overlap in time, perhaps through other topics: those of
        # `ids` alone, from the index records after each chunk.
        spans = [self._entries(chunk[0], ids, len(chunk[3]))[1]["time"] for chunk in held]
        return all(a.max() <= b.min() for a, b in zip(spans, spans[1:]))

    def messages(self, ids: set[int]) -> Iterator[Raw]:
        for chunk in self._holding(ids):
            yield self._read(chunk[0], ids, len(chunk[3]))

    def messages_from_end(self, ids: set[int]) -> Iterator[Raw]:
        for chunk in reversed(self._holding(ids)):
            yield self._read(chunk[0], ids, len(chunk[3]))

    def _read(self, position: int, ids: set[int], connections: int) -> Raw:
        """The messages of the connections `ids` in the chunk at `position`,
        by log time and then by place, as rosbags orders them."""
        data, found = self._entries(position, ids, connections, read=True)
        logtimes, offsets = found["time"], found["offset"]
        order = np.lexsort((offsets, logtimes))
        records = np.frombuffer(data, np.uint8)
        located = _located(records, offsets[order])
        return Raw(logtimes[order], located if located is not None
                   else _record_by_record(data, offsets[order]))

    def _entries(self, position: int, ids: set[int], connections: int, read: bool = False
                 ) -> tuple[bytes, npt.NDArray[Any]]:
        """The chunk at `position` (its data, decompressed, when `read`) and the
        index entries of the connections `ids` after it: log time and offset."""
        try:
            self.file.seek(position)
            header = Header.read(self.file, RecordType.CHUNK)
            size = int.from_bytes(self.file.read(4), "little")
            if read:
                data = decompressors[header.get_string("compression")](self.file.read(size))
            else:
                data, _ = b"", self.file.seek(size, os.SEEK_CUR)
            entries = []
            for _ in range(connections):
                index = Header.read(self.file, RecordType.IDXDATA)
                length = int.from_bytes(self.file.read(4), "little")
                table = np.frombuffer(self.file.read(length), INDEX_ENTRY)
                if index.get_uint32("conn") in ids:
                    entries.append(table)
        except Exception as e:
            raise Damaged(f"chunk at byte {position}: {e}") from None
        found = np.concatenate(entries) if entries else np.empty(0, INDEX_ENTRY)
        times = np.empty(len(found), [("time", np.int64), ("offset", np.int64)])
        times["time"] = found["sec"].astype(np.int64) * NS_PER_S + found["nsec"]
        times["offset"] = found["offset"]
        return data, times

    def close(self) -> None:
        self.file.close()


def _located(records: npt.NDArray[np.uint8], offsets: npt.NDArray[np.int64]) -> Payloads | None:
    """The payloads of the message records at `offsets`, when every record has
    the first one's header but for the connection and the time."""
    if not len(offsets) or offsets.max() + 4 > len(records):
        return None
    header_length = numbers(records, offsets, "<u4")
    length = int(header_length[0])
    if (header_length != length).any() or offsets.max() + 8 + length > len(records):
        return None
    first = int(offsets[0])
    header = Header.read(io.BytesIO(records[first:first + 4 + length].tobytes()))
    if header.get_uint8("op") != RecordType.MSGDATA:
        return None
    varying = _values(records[first:first + 4 + length].tobytes(), ("conn", "time"))
    fixed = np.setdiff1d(np.arange(4, 4 + length), varying)
    heads = records[offsets[:, None] + fixed]
    if (heads != heads[0]).any():
        return None
    sizes = numbers(records, offsets + 4 + length, "<u4")
    starts = offsets + 8 + length
    if (starts + sizes > len(records)).any():
        return None
    return Payloads(records, starts, sizes)


def _values(record: bytes, names: tuple[str, ...]) -> npt.NDArray[np.int64]:
    """Offsets in a record (header length first) of the values of fields `names`."""
    found: list[int] = []
    at = 4
    while at + 4 <= len(record):
        size = int.from_bytes(record[at:at + 4], "little")
        name, _, _ = record[at + 4:at + 4 + size].partition(b"=")
        if name.decode(errors="replace") in names:
            start = at + 4 + len(name) + 1
            found.extend(range(start, at + 4 + size))
        at += 4 + size
    return np.array(found, np.int64)


def _record_by_record(data: bytes, offsets: npt.NDArray[np.int64]) -> Payloads:
    """The payloads of the messages at `offsets`, each record read on its own
    (connection records before a message are skipped, as rosbags does)."""
    found: list[bytes] = []
    stream = io.BytesIO(data)
    for offset in offsets.tolist():
        stream.seek(offset)
        while True:
            header = Header.read(stream)
            if header.get_uint8("op") != RecordType.CONNECTION:
                break
            stream.seek(int.from_bytes(stream.read(4), "little"), os.SEEK_CUR)
        if header.get_uint8("op") != RecordType.MSGDATA:
            raise Damaged(f"no message at byte {offset} of a chunk")
        found.append(stream.read(int.from_bytes(stream.read(4), "little")))
    return Payloads.of(found)


class Rosbag1Writer:
    """A new ROS 1 bag of one topic: uncompressed chunks of about a megabyte,
    each followed by its index, and the index of connections and chunks."""

    def __init__(self, path: Path, topic: str, msgtype: str, definition: str,
                 md5sum: str) -> None:
        self.file: BinaryIO = path.open("xb")
        self.file.write(MAGIC)
        self._bag_header(0, 0, 0)
        self.topic, self.msgtype, self.definition, self.md5sum = \
            topic, msgtype, definition, md5sum
        self.head = self._connection()  # in the first chunk
        self.chunks: list[tuple[int, int, int, int]] = []  # position, start, end, count

    def _bag_header(self, index: int, connections: int, chunks: int) -> None:
        header = WriteHeader()
        header.set_uint64("index_pos", index)
        header.set_uint32("conn_count", connections)
        header.set_uint32("chunk_count", chunks)
        size = header.write(self.file, RecordType.BAGHEADER)
        pad = BAG_HEADER_BYTES - 4 - size
        self.file.write(pad.to_bytes(4, "little") + b" " * pad)

    def _connection(self) -> bytes:
        out = io.BytesIO()
        header = WriteHeader()
        header.set_uint32("conn", 0)
        header.set_string("topic", self.topic)
        header.write(out, RecordType.CONNECTION)
        data = WriteHeader()
        data.set_string("topic", self.topic)
        data.set_string("type", denormalize_msgtype(self.msgtype))
        data.set_string("md5sum", self.md5sum)
        data.set_string("message_definition", self.definition)
        data.write(out)
        return out.getvalue()

    def write(self, logtimes: Stamps, payloads: Payloads) -> None:
        length = payloads.uniform()
        if length is None:
            return  # no message
        template = io.BytesIO()
        header = WriteHeader()
        header.set_uint32("conn", 0)
        header.set_time("time", 0)
        header.write(template, RecordType.MSGDATA)
        head = template.getvalue() + length.to_bytes(4, "little")
        at = head.index(b"time=") + 5
        record = np.dtype([("before", "u1", (at,)), ("sec", "<u4"), ("nsec", "<u4"),
                           ("after", "u1", (len(head) - at - 8,)), ("data", "u1", (length,))])
        per_chunk = max(1, CHUNK_BYTES // record.itemsize)
        template_row = np.frombuffer(head, np.uint8)
        for first in range(0, len(logtimes), per_chunk):
            which = np.arange(first, min(first + per_chunk, len(logtimes)))
            rows = np.empty(len(which), record)
            rows["before"] = template_row[:at]
            rows["after"] = template_row[at + 8:]
            rows["sec"], rows["nsec"] = np.divmod(logtimes[which], NS_PER_S)
            rows["data"] = payloads.rows(which, length)
            self._chunk(logtimes[which], rows.tobytes(), record.itemsize)

    def _chunk(self, logtimes: Stamps, messages: bytes, size: int) -> None:
        head, self.head = self.head, b""
        data = head + messages
        position = self.file.tell()
        header = WriteHeader()
        header.set_string("compression", "none")
        header.set_uint32("size", len(data))
        header.write(self.file, RecordType.CHUNK)
        self.file.write(len(data).to_bytes(4, "little") + data)
        n = len(logtimes)
        if n:
            entries = np.empty(n, INDEX_ENTRY)
            entries["sec"], entries["nsec"] = np.divmod(logtimes, NS_PER_S)
            entries["offset"] = len(head) + np.arange(n) * size
            index = WriteHeader()
            index.set_uint32("ver", 1)
            index.set_uint32("conn", 0)
            index.set_uint32("count", n)
            index.write(self.file, RecordType.IDXDATA)
            self.file.write((n * INDEX_ENTRY.itemsize).to_bytes(4, "little") + entries.tobytes())
        self.chunks.append((position, int(logtimes.min()) if n else 0,
                            int(logtimes.max()) if n else 0, n))

    def close(self) -> None:
        if self.head:  # no message: the connection still needs a chunk
            self._chunk(np.empty(0, np.int64), b"", 0)
        index = self.file.tell()
        self.file.write(self._connection())
        for position, start, end, count in self.chunks:
            header = WriteHeader()
            header.set_uint32("ver", 1)
            header.set_uint64("chunk_pos", position)
            header.set_time("start_time", start)
            header.set_time("end_time", end)
            header.set_uint32("count", 1 if count else 0)
            header.write(self.file, RecordType.CHUNK_INFO)
            pairs = (0).to_bytes(4, "little") + count.to_bytes(4, "little") if count else b""
            self.file.write(len(pairs).to_bytes(4, "little") + pairs)
        self.file.seek(len(MAGIC))
        self._bag_header(index, 1, len(self.chunks))
        self.file.close()

    def abort(self) -> None:
        with suppress(OSError):  # closed even when the last bytes cannot be written
            self.file.close()
