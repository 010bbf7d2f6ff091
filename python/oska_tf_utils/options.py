"""The options of a log transform, held and checked in one place.

`transform_table`, `transform_log`, the command line and the Dask entry points
all hand their options over as one `Options` record; every check of an option's
value is written here, once.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass, fields

from .align import NS_PER_S, Difference, Outside
from .errors import OskaToolError

DEFAULT_CHUNK_ROWS = 131_072
"""Samples per chunk unless the caller says otherwise."""

PathLike = str | os.PathLike[str]


@dataclass(frozen=True)
class Options:
    """What `transform_log` takes besides the configuration, the block and the paths."""

    topic: str | None = None
    output_topic: str | None = None
    output_frame: str | None = None
    tf: PathLike | None = None
    tf_topic: str | None = None
    tf_frames: tuple[str, str] | None = None
    columns: Mapping[str, str] | None = None
    tf_columns: Mapping[str, str] | None = None
    outside: Outside = "error"
    max_gap: float | None = None
    angular_acceleration: Difference = "none"
    chunk_size: int = DEFAULT_CHUNK_ROWS
    progress: bool = False

    @classmethod
    def names(cls) -> frozenset[str]:
        """Every option's keyword."""
        return frozenset(f.name for f in fields(cls))

    @property
    def chunk_rows(self) -> int:
        """The chunk size, refused when it is not at least one row."""
        if self.chunk_size < 1:
            raise OskaToolError(f"the chunk size must be at least 1 row, not {self.chunk_size}.")
        return self.chunk_size

    @property
    def max_gap_ns(self) -> int | None:
        """--max-gap in nanoseconds, refused when it is not a positive number of seconds."""
        if self.max_gap is None:
            return None
        if not self.max_gap > 0:
            raise OskaToolError(f"--max-gap must be a positive number of seconds, not "
                                f"{self.max_gap}.")
        return int(round(self.max_gap * NS_PER_S))

    @property
    def bag_options(self) -> bool:
        """Whether an option that only a bag takes is given."""
        return bool(self.topic or self.tf_topic or self.tf_frames or self.output_topic
                    or self.output_frame)


TABLE_OPTIONS = frozenset({"tf", "columns", "tf_columns", "outside", "max_gap",
                           "angular_acceleration", "chunk_size"})
"""The options that a table takes (a log given any other is never split)."""
