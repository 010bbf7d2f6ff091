"""What every bag container gives the bag layer, and what it takes.

A container (an MCAP file, a sqlite3 file, a ROS 1 bag) lists its connections
and yields the messages of some of them in log-time order, one stored chunk at
a time (`Raw`: their log times and payloads), forwards or from the end back.
When its layout does not let it do that by chunk (no index, chunks that
overlap in time, compressed messages), `ordered` is false and the bag layer
reads the topic with rosbags instead. A writer takes the payloads of one
topic by chunk.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Protocol

from ..align import Stamps
from .messages import Payloads


DEFINITION_FORMATS = {"ros2msg": "msg", "ros2idl": "idl"}
"""The encodings of message definitions that a ROS 2 container stores, as the
format of `Connection.definition`."""


@dataclass(frozen=True)
class Connection:
    """A topic's connection in a container (a bag may hold several per topic)."""

    id: int
    topic: str
    msgtype: str
    definition: tuple[str, str] | None = None
    """The message definition the container carries: (format, text), the
    format "msg" or "idl"; None when it carries none."""
    digest: str = ""


@dataclass
class Raw:
    """Messages as the container stores them: log times and payloads."""

    logtimes: Stamps
    payloads: Payloads

    def __len__(self) -> int:
        return len(self.logtimes)


class Damaged(Exception):
    """A container that cannot be read as its format says."""


class NotByChunk(Exception):
    """A bag whose layout does not let it be read a stored chunk at a time
    (rosbags reads it message by message)."""


class Container(Protocol):
    """An open bag container."""

    ros1: bool
    connections: list[Connection]

    def ordered(self, ids: set[int]) -> bool:
        """Whether `messages` gives the messages of the connections `ids` in the
        order rosbags gives them (log time, then place in the file)."""
        ...

    def count(self, ids: set[int]) -> int:
        """How many messages the connections `ids` hold."""
        ...

    def messages(self, ids: set[int]) -> Iterator[Raw]: ...

    def messages_from_end(self, ids: set[int]) -> Iterator[Raw]:
        """The stored chunks from the last one back, each in log-time order."""
        ...

    def close(self) -> None: ...


class ContainerWriter(Protocol):
    """A new container with one topic."""

    def write(self, logtimes: Stamps, payloads: Payloads) -> None: ...

    def close(self) -> None: ...

    def abort(self) -> None: ...
