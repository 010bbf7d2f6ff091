"""MCAP storage files of ROS 2 bags, read and written a chunk at a time.

The `mcap` package reads the summary (channels, schemas, the index of chunks)
and the chunk records, and writes every record but the messages. The messages
of a chunk are found through its message index, checked (opcode, channel,
length) and gathered with NumPy, their payloads handed over without one
Python object per message; the records of the output's messages, which all
have one layout, are built the same way. A file without an index, or whose
chunks overlap in time, is left to rosbags (`NotByChunk`, `ordered`).
"""

from __future__ import annotations

import io
from collections.abc import Iterator
from contextlib import suppress
from importlib.metadata import version
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from mcap.data_stream import ReadDataStream, RecordBuilder
from mcap.reader import SeekingReader
from mcap.records import (Channel, Chunk, ChunkIndex, DataEnd, Footer, Header, Metadata,
                          MetadataIndex, Schema, Statistics, SummaryOffset)
from mcap.stream_reader import get_chunk_data_stream

from ..align import Stamps
from .messages import Payloads, numbers
from .storage import DEFINITION_FORMATS, Connection, Damaged, NotByChunk, Raw

MESSAGE, MESSAGE_INDEX = 0x05, 0x07
"""Opcodes of the records this module reads and writes by hand."""
RECORD = 1 + 8
"""Opcode and length before every record's content."""
MESSAGE_HEAD = 2 + 4 + 8 + 8
"""A message record's fields before its payload: channel, sequence, log and publish time."""
CHUNK_BYTES = 1 << 20
"""About how many bytes of messages go into one chunk of an output."""
NO_TIME = 2**63 - 1


class McapFile:
    """An MCAP file with the ros2 profile, read through its summary."""

    ros1 = False

    def __init__(self, path: Path) -> None:
        self.path = path
        self.file = path.open("rb")
        try:
            reader = SeekingReader(self.file)
            header = reader.get_header()
            summary = reader.get_summary()
        except Exception as e:
            self.file.close()
            raise Damaged(str(e) or type(e).__name__) from None
        if header.profile != "ros2" or summary is None or not summary.chunk_indexes:
            self.file.close()
            raise NotByChunk(path)
        self.chunks: list[ChunkIndex] = sorted(summary.chunk_indexes,
                                               key=lambda c: c.chunk_start_offset)
        self.channels: dict[int, Channel] = dict(summary.channels)
        self.counts: dict[int, int] = {}
        if summary.statistics is not None:
            self.counts = dict(summary.statistics.channel_message_counts)
        else:  # counted from the sizes of the message indexes
            for chunk in self.chunks:
                for cid, count in _counts(chunk).items():
                    self.counts[cid] = self.counts.get(cid, 0) + count
        schemas = summary.schemas
        self.connections = []
        for cid, channel in self.channels.items():
            schema = schemas.get(channel.schema_id)
            definition = (DEFINITION_FORMATS[schema.encoding], schema.data.decode()) \
                if schema is not None and schema.encoding in DEFINITION_FORMATS else None
            self.connections.append(Connection(
                cid, channel.topic, schema.name if schema else "__schemaless__", definition))

    def count(self, ids: set[int]) -> int:
        return sum(self.counts.get(i, 0) for i in ids)

    def ordered(self, ids: set[int]) -> bool:
        if any(self.channels[i].message_encoding != "cdr" for i in ids):
            return False
        held = self._holding(ids)
        spans = [(c.message_start_time, c.message_end_time) for c in held]
        if _consecutive(spans):
            return True
        # The chunks overlap in time, perhaps through other topics: those of
        # `ids` alone, from their message indexes.
        spans = []
        for chunk in held:
            self.file.seek(chunk.chunk_start_offset + chunk.chunk_length)
            data = self.file.read(chunk.message_index_length)
            times = np.concatenate([self._index(data, chunk, cid, chunk.chunk_start_offset
                                                + chunk.chunk_length)[:, 0]
                                    for cid in ids if cid in chunk.message_index_offsets])
            spans.append((int(times.min()), int(times.max())))
        return _consecutive(spans)

    def _holding(self, ids: set[int]) -> list[ChunkIndex]:
        return [c for c in self.chunks if any(_counts(c).get(i, 0) for i in ids)]

    def messages(self, ids: set[int]) -> Iterator[Raw]:
        for chunk in self._holding(ids):
            yield self._read(chunk, ids)

    def messages_from_end(self, ids: set[int]) -> Iterator[Raw]:
        for chunk in reversed(self._holding(ids)):
            yield self._read(chunk, ids)

    def _read(self, index: ChunkIndex, ids: set[int]) -> Raw:
        """The messages of the channels `ids` in one chunk, in log-time order."""
        self.file.seek(index.chunk_start_offset)
        data = self.file.read(index.chunk_length + index.message_index_length)
        try:
            chunk = Chunk.read(ReadDataStream(io.BytesIO(data[RECORD:index.chunk_length])))
            stream, size = get_chunk_data_stream(chunk)
            records = np.frombuffer(stream.read(size), np.uint8)
        except Exception as e:
            raise Damaged(f"chunk at byte {index.chunk_start_offset}: {e}") from None
        offsets = [self._index(data, index, cid, index.chunk_start_offset)[:, 1]
                   for cid in sorted(ids) if cid in index.message_index_offsets]
        found = np.concatenate(offsets) if offsets else np.empty(0, np.int64)
        raw = _located(records, found, ids) if len(found) else None
        return raw if raw is not None else _scan(records, ids)

    @staticmethod
    def _index(data: bytes, index: ChunkIndex, cid: int, start: int) -> npt.NDArray[np.int64]:
        """The (log time, offset in the chunk) pairs of the channel's message
        index, from `data`, the bytes of the file from `start` on."""
        at = index.message_index_offsets[cid] - start
        head = np.frombuffer(data, np.uint8, RECORD + 6, at)
        if head[0] != MESSAGE_INDEX:
            raise Damaged(f"no message index at byte {index.message_index_offsets[cid]}")
        count = int(head[RECORD + 2:RECORD + 6].view("<u4")[0]) // 16
        entries = np.frombuffer(data, "<u8", 2 * count, at + RECORD + 6).reshape(count, 2)
        return entries.astype(np.int64)

    def close(self) -> None:
        self.file.close()


def _consecutive(spans: list[tuple[int, int]]) -> bool:
    """Whether each (first, last) time span ends where or before the next begins."""
    return all(end <= start for (_, end), (start, _) in zip(spans, spans[1:]))


def _counts(chunk: ChunkIndex) -> dict[int, int]:
    """Messages per channel in a chunk, from the sizes of its message index
    records (as rosbags finds them)."""
    ordered = sorted((offset, cid) for cid, offset in chunk.message_index_offsets.items())
    ends = [offset for offset, _ in ordered[1:]] + [
        chunk.chunk_start_offset + chunk.chunk_length + chunk.message_index_length]
    return {cid: (end - offset - RECORD - 6) // 16 for (offset, cid), end in zip(ordered, ends)}


def _located(records: npt.NDArray[np.uint8], offsets: npt.NDArray[np.int64],
             ids: set[int]) -> Raw | None:
    """The messages at `offsets` of a decompressed chunk, sorted by log time
    (then by place); None when the index does not point at messages of `ids`."""
    if offsets.max() + RECORD + MESSAGE_HEAD > len(records) or offsets.min() < 0:
        return None
    lengths = numbers(records, offsets + 1, "<u8") - MESSAGE_HEAD
    channels = numbers(records, offsets + RECORD, "<u2")
    if (records[offsets] != MESSAGE).any() or (lengths < 0).any() \
            or not np.isin(channels, list(ids)).all() \
            or (offsets + RECORD + MESSAGE_HEAD + lengths > len(records)).any():
        return None
    logtimes = numbers(records, offsets + RECORD + 6, "<u8")
    order = np.lexsort((offsets, logtimes))
    starts = offsets[order] + RECORD + MESSAGE_HEAD
    return Raw(logtimes[order], Payloads(records, starts, lengths[order]))


def _scan(records: npt.NDArray[np.uint8], ids: set[int]) -> Raw:
    """The messages of `ids` in a chunk without a usable index, record by record."""
    data = records.tobytes()
    found: list[tuple[int, int, int, int]] = []  # (log time, offset, start, length)
    at = 0
    while at + RECORD <= len(data):
        length = int.from_bytes(data[at + 1:at + RECORD], "little")
        if data[at] == MESSAGE and length >= MESSAGE_HEAD:
            channel = int.from_bytes(data[at + RECORD:at + RECORD + 2], "little")
            if channel in ids:
                logtime = int.from_bytes(data[at + RECORD + 6:at + RECORD + 14], "little")
                found.append((logtime, at, at + RECORD + MESSAGE_HEAD, length - MESSAGE_HEAD))
        at += RECORD + length
    found.sort(key=lambda m: (m[0], m[1]))
    table = np.array(found, np.int64).reshape(len(found), 4)
    return Raw(table[:, 0].copy(), Payloads(records, table[:, 2].copy(), table[:, 3].copy()))


class McapWriter:
    """A new MCAP file of one topic, as the ros2 tools and rosbags read it:
    uncompressed chunks of about a megabyte with their message indexes, the
    rosbag2 metadata record and a summary."""

    def __init__(self, path: Path, topic: str, msgtype: str, definition: str,
                 qos: str) -> None:
        self.file = path.open("xb")
        self.file.write(b"\x89MCAP0\r\n")
        self._write(Header("ros2", f"oska-tf-utils-{version('oska-tf-utils')}"))
        self.schema = Schema(id=1, data=definition.encode(), encoding="ros2msg", name=msgtype)
        self.channel = Channel(id=1, topic=topic, message_encoding="cdr",
                               metadata={"offered_qos_profiles": qos}, schema_id=1)
        self.head = _records(self.schema, self.channel)  # in the first chunk
        self.indexes: list[ChunkIndex] = []
        self.count = 0
        self.start, self.end = NO_TIME, 0

    def _write(self, *records: Any) -> None:
        self.file.write(_records(*records))

    def write(self, logtimes: Stamps, payloads: Payloads) -> None:
        length = payloads.uniform()
        if length is None:
            return  # no message
        per_chunk = max(1, CHUNK_BYTES // (RECORD + MESSAGE_HEAD + length))
        for first in range(0, len(logtimes), per_chunk):
            which = np.arange(first, min(first + per_chunk, len(logtimes)))
            self._chunk(logtimes[which], payloads.rows(which, length))

    def _chunk(self, logtimes: Stamps, rows: npt.NDArray[np.uint8]) -> None:
        n, length = rows.shape
        record = np.dtype([("op", "u1"), ("length", "<u8"), ("channel", "<u2"),
                           ("sequence", "<u4"), ("log", "<u8"), ("publish", "<u8"),
                           ("data", "u1", (length,))])
        messages = np.zeros(n, record)
        messages["op"] = MESSAGE
        messages["length"] = MESSAGE_HEAD + length
        messages["channel"] = self.channel.id
        messages["log"] = messages["publish"] = logtimes
        messages["data"] = rows
        head, self.head = self.head, b""
        content = head + messages.tobytes()
        start = int(logtimes.min()) if n else NO_TIME
        end = int(logtimes.max()) if n else 0
        chunk_start = self.file.tell()
        self._write(Chunk(compression="", data=content, message_end_time=end,
                          message_start_time=start, uncompressed_crc=0,
                          uncompressed_size=len(content)))
        chunk_end = self.file.tell()
        index = np.empty((n, 2), "<u8")
        index[:, 0] = logtimes
        index[:, 1] = len(head) + np.arange(n) * record.itemsize
        entries = index.tobytes()
        self.file.write(np.array([MESSAGE_INDEX], "u1").tobytes()
                        + (6 + len(entries)).to_bytes(8, "little")
                        + self.channel.id.to_bytes(2, "little")
                        + len(entries).to_bytes(4, "little") + entries)
        self.indexes.append(ChunkIndex(
            chunk_length=chunk_end - chunk_start, chunk_start_offset=chunk_start,
            compression="", compressed_size=len(content), message_end_time=end,
            message_index_length=self.file.tell() - chunk_end,
            message_index_offsets={self.channel.id: chunk_end} if n else {},
            message_start_time=start, uncompressed_size=len(content)))
        self.count += n
        self.start, self.end = min(self.start, start), max(self.end, end)

    def close(self, metadata: str) -> None:
        """Finishes the file with the rosbag2 metadata (YAML) and the summary."""
        if self.head:  # no message: the schema and channel still need a chunk
            self._chunk(np.empty(0, np.int64), np.empty((0, 0), np.uint8))
        metadata_start = self.file.tell()
        self._write(Metadata("rosbag2", {"serialized_metadata": metadata}))
        metadata_end = self.file.tell()
        self._write(DataEnd(0))
        groups: list[tuple[int, list[Any]]] = [
            (0x03, [self.schema]), (0x04, [self.channel]), (0x08, self.indexes),
            (0x0D, [MetadataIndex(metadata_start, metadata_end - metadata_start, "rosbag2")]),
            (0x0B, [Statistics(attachment_count=0, channel_count=1,
                               channel_message_counts={self.channel.id: self.count},
                               chunk_count=len(self.indexes), message_count=self.count,
                               message_end_time=self.end, message_start_time=self.start,
                               metadata_count=1, schema_count=1)])]
        summary_start = self.file.tell()
        offsets = []
        for opcode, records in groups:
            start = self.file.tell()
            self._write(*records)
            offsets.append(SummaryOffset(opcode, start, self.file.tell() - start))
        offset_start = self.file.tell()
        self._write(*offsets, Footer(summary_start, offset_start, 0))
        self.file.write(b"\x89MCAP0\r\n")
        self.file.close()

    def abort(self) -> None:
        with suppress(OSError):  # closed even when the last bytes cannot be written
            self.file.close()


def _records(*records: Any) -> bytes:
    builder = RecordBuilder()
    for record in records:
        record.write(builder)
    data: bytes = builder.end()
    return data
