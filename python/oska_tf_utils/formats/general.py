"""Any bag that rosbags reads, message by message: the general path.

The containers of this package read a bag a stored chunk at a time where its
layout allows; a bag they do not read that way (no index, chunks that overlap
in time, compressed files or messages, several storage files) is read here
through rosbags' AnyReader, in its order, at the speed of one Python object
per message. It also gives the types of a bag as AnyReader finds them.
"""

from __future__ import annotations

import functools
from collections.abc import Iterator
from itertools import islice
from pathlib import Path
from typing import Any

import numpy as np
from rosbags.highlevel import AnyReader
from rosbags.typesys import Stores, get_types_from_idl, get_types_from_msg, get_typestore

from .messages import Payloads
from .storage import Connection, Damaged, Raw

ROWS = 4096
"""Messages gathered into one Raw."""
IDL_SEPARATOR = "=" * 80 + "\n"


def _open(path: Path) -> AnyReader:
    try:
        reader = AnyReader([path], default_typestore=stock(ros1=False))
        reader.open()
    except Exception as e:  # rosbags reports a damaged file with many types
        raise Damaged(str(e) or type(e).__name__) from None
    return reader


class General:
    """A bag read by rosbags. Each stream read from it opens a reader of its
    own, so that streams may be read side by side."""

    def __init__(self, path: Path) -> None:
        self.path = path
        reader = _open(path)
        self.ros1 = not reader.is2
        self.typestore = reader.typestore
        self.connections = [Connection(c.id, c.topic, c.msgtype) for c in reader.connections]
        self.counts = {c.id: int(c.msgcount) for c in reader.connections}
        reader.close()

    def count(self, ids: set[int]) -> int:
        return sum(self.counts.get(i, 0) for i in ids)

    def ordered(self, ids: set[int]) -> bool:
        return True

    def messages(self, ids: set[int]) -> Iterator[Raw]:
        reader = _open(self.path)
        try:
            wanted = [c for c in reader.connections if c.id in ids]
            found = ((logtime, raw) for _, logtime, raw in reader.messages(connections=wanted))
            while batch := list(islice(found, ROWS)):
                logtimes, data = zip(*batch)
                yield Raw(np.array(logtimes, np.int64), Payloads.of([bytes(d) for d in data]))
        except Damaged:
            raise
        except Exception as e:
            raise Damaged(str(e) or type(e).__name__) from None
        finally:
            reader.close()

    def messages_from_end(self, ids: set[int]) -> Iterator[Raw]:
        return iter(())  # read from the start only

    def close(self) -> None:
        pass


def typestore(connections: list[Connection]) -> Any:
    """The message types of a bag as AnyReader finds them: from the definitions
    the bag carries, or the latest ROS 2 types when it carries none."""
    return _typestore(tuple(sorted({(c.msgtype, c.definition) for c in connections
                                    if c.definition is not None})))


@functools.lru_cache(maxsize=16)
def _typestore(definitions: tuple[tuple[str, tuple[str, str]], ...]) -> Any:
    """A typestore of these definitions, kept: making one compiles the code of
    its types, which the next bag of the same types need not do again."""
    types: dict[str, Any] = {}
    for msgtype, (form, text) in definitions:
        if form == "msg":
            types.update(get_types_from_msg(text, msgtype))
        elif text.startswith(f"{IDL_SEPARATOR}IDL: "):
            for part in text.split(IDL_SEPARATOR)[1:]:
                types.update(get_types_from_idl(part.split("\n", 1)[1]))
        else:
            types.update(get_types_from_idl(text))
    if not definitions:
        return stock(ros1=False)
    store = get_typestore(Stores.EMPTY)
    store.register(types)
    return store


@functools.lru_cache(maxsize=2)
def stock(ros1: bool) -> Any:
    """The types of ROS 1 Noetic or of the latest ROS 2, kept."""
    return get_typestore(Stores.ROS1_NOETIC if ros1 else Stores.LATEST)
