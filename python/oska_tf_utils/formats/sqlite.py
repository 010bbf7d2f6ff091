"""sqlite3 storage files of ROS 2 bags, read and written with apsw.

The messages of some topics come out of one query in log-time order (the
`timestamp_idx` index, as rosbags reads them), fetched a few thousand rows at
a time; the output's are inserted in one transaction, with the schema rosbags
writes (version 4), so that rosbags and the ros2 tools read them.
"""

from __future__ import annotations

import errno
import os
from collections.abc import Iterator
from contextlib import contextmanager
from itertools import islice, repeat
from pathlib import Path
from typing import Any

import apsw
import numpy as np

from ..align import Stamps
from .messages import Payloads
from .storage import DEFINITION_FORMATS, Connection, Damaged, Raw

ROWS = 8192
"""Rows fetched at a time."""
TABLES = """
CREATE TABLE schema(
  schema_version INTEGER PRIMARY KEY,
  ros_distro TEXT NOT NULL
);
CREATE TABLE metadata(
  id INTEGER PRIMARY KEY,
  metadata_version INTEGER NOT NULL,
  metadata TEXT NOT NULL
);
CREATE TABLE topics(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  serialization_format TEXT NOT NULL,
  offered_qos_profiles TEXT NOT NULL,
  type_description_hash TEXT NOT NULL
);
CREATE TABLE message_definitions(
  id INTEGER PRIMARY KEY,
  topic_type TEXT NOT NULL,
  encoding TEXT NOT NULL,
  encoded_message_definition TEXT NOT NULL,
  type_description_hash TEXT NOT NULL
);
CREATE TABLE messages(
  id INTEGER PRIMARY KEY,
  topic_id INTEGER NOT NULL,
  timestamp INTEGER NOT NULL,
  data BLOB NOT NULL
);
INSERT INTO schema(schema_version, ros_distro) VALUES (4, 'rosbags');
"""
INDEX = "CREATE INDEX timestamp_idx ON messages (timestamp ASC)"
ERRNO = {apsw.FullError: errno.ENOSPC, apsw.ReadOnlyError: errno.EROFS,
         apsw.PermissionsError: errno.EACCES}
"""The OSError that an SQLite error while writing stands for."""


class Sqlite3File:
    """A rosbag2 sqlite3 storage file."""

    ros1 = False

    def __init__(self, path: Path) -> None:
        try:
            self.db = apsw.Connection(f"file:{path}?immutable=1",
                                      flags=apsw.SQLITE_OPEN_READONLY | apsw.SQLITE_OPEN_URI)
            tables = {row[0] for row in self.db.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table'")}
            if not {"messages", "topics"} <= tables:
                raise Damaged("the database has no messages or topics table")
            definitions: dict[str, tuple[str, str]] = {}
            if "message_definitions" in tables:
                for name, encoding, text in self.db.execute(
                        "SELECT topic_type, encoding, encoded_message_definition "
                        "FROM message_definitions ORDER BY id"):
                    if encoding in DEFINITION_FORMATS:
                        definitions.setdefault(name, (DEFINITION_FORMATS[encoding], text))
            self.formats: dict[int, str] = {}
            self.connections = []
            for cid, topic, msgtype, fmt in self.db.execute(
                    "SELECT id, name, type, serialization_format FROM topics ORDER BY id"):
                self.formats[cid] = fmt
                self.connections.append(Connection(cid, topic, msgtype, definitions.get(msgtype)))
        except apsw.Error as e:
            raise Damaged(str(e)) from None

    def ordered(self, ids: set[int]) -> bool:
        return all(self.formats.get(i) == "cdr" for i in ids)

    def _query(self, ids: set[int], order: str) -> Any:
        marks = ",".join("?" * len(ids))
        return self.db.execute(f"SELECT timestamp, data FROM messages WHERE topic_id IN ({marks}) "
                               f"ORDER BY timestamp {order}", tuple(sorted(ids)))

    def count(self, ids: set[int]) -> int:
        marks = ",".join("?" * len(ids))
        row = self.db.execute(f"SELECT count(*) FROM messages WHERE topic_id IN ({marks})",
                              tuple(sorted(ids))).fetchone()
        return int(row[0]) if row else 0

    def messages(self, ids: set[int]) -> Iterator[Raw]:
        rows = self._query(ids, "ASC")
        while batch := list(islice(rows, ROWS)):
            yield _raw(batch)

    def messages_from_end(self, ids: set[int]) -> Iterator[Raw]:
        rows = self._query(ids, "DESC")
        while batch := list(islice(rows, ROWS)):
            yield _raw(batch[::-1])

    def close(self) -> None:
        self.db.close()


def _raw(rows: list[tuple[int, bytes]]) -> Raw:
    stamps, data = zip(*rows)
    return Raw(np.array(stamps, np.int64), Payloads.of(data))


@contextmanager
def _os_errors() -> Iterator[None]:
    """An SQLite error while writing, raised as the OSError it stands for."""
    try:
        yield
    except apsw.Error as e:
        code = ERRNO.get(type(e))
        raise (OSError(code, os.strerror(code)) if code else OSError(str(e))) from None


class Sqlite3Writer:
    """A new rosbag2 sqlite3 storage file of one topic."""

    def __init__(self, path: Path, topic: str, msgtype: str, definition: str, digest: str,
                 qos: str) -> None:
        with _os_errors():
            self.db = apsw.Connection(str(path))
            # The file is a temporary one until it is complete: no journal needed.
            self.db.execute("PRAGMA journal_mode = OFF")
            self.db.execute("PRAGMA synchronous = OFF")
            self.db.execute(TABLES)
            self.db.execute("INSERT INTO message_definitions (topic_type, encoding, "
                            "encoded_message_definition, type_description_hash) "
                            "VALUES(?, ?, ?, ?)", (msgtype, "ros2msg", definition, digest))
            self.db.execute("INSERT INTO topics VALUES(?, ?, ?, ?, ?, ?)",
                            (1, topic, msgtype, "cdr", qos, digest))
            self.db.execute("BEGIN")

    def write(self, logtimes: Stamps, payloads: Payloads) -> None:
        length = payloads.uniform()
        if length is None:
            return  # no message
        data = payloads.rows(np.arange(len(payloads)), length).tobytes()
        with _os_errors():
            self.db.executemany(
                "INSERT INTO messages (topic_id, timestamp, data) VALUES(?, ?, ?)",
                zip(repeat(1), logtimes.tolist(),
                    (data[i:i + length] for i in range(0, len(data), length))))

    def close(self, metadata: str) -> None:
        with _os_errors():
            self.db.execute("INSERT INTO metadata(metadata_version, metadata) VALUES(?, ?)",
                            (9, metadata))
            self.db.execute(INDEX)
            self.db.execute("COMMIT")
            self.db.close()

    def abort(self) -> None:
        try:
            self.db.close()
        except apsw.Error:
            pass  # the file is removed whatever its state
