"""The options of a log transform, held and checked in one place.

`transform_table`, `transform_log`, the command line and the Dask entry points
all hand their options over as one `Options` record, which checks every value
when it is made: before anything is read or written, a value of the wrong
type raises `OptionTypeError` (a TypeError) and a value the option does not
take `OptionError` (a ValueError), each naming the option and what it
accepts. Both are OskaToolErrors too, so that the command line reports them
as one line.
"""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Mapping
from dataclasses import dataclass, fields
from typing import Any, get_args

import numpy as np

from .align import NS_PER_S, Difference, Outside
from .errors import OskaToolError

DEFAULT_CHUNK_ROWS = 131_072
"""Samples per chunk unless the caller says otherwise."""

PathLike = str | os.PathLike[str]

OUTSIDE: tuple[str, ...] = get_args(Outside)
DIFFERENCES: tuple[str, ...] = get_args(Difference)


class OptionError(OskaToolError, ValueError):
    """An option given a value it does not take."""


class OptionTypeError(OskaToolError, TypeError):
    """An option given a value of a type it does not take."""


def given(value: Any) -> str:
    """A value as an option's error shows it: its type and its repr."""
    return f"{type(value).__name__} {value!r}"


def check_text(name: str, value: Any) -> None:
    if value is not None and not isinstance(value, str):
        raise OptionTypeError(f"{name} must be a str or None, not {given(value)}.")


def check_path(name: str, value: Any, what: str = "a file path") -> None:
    if value is not None and not isinstance(value, (str, os.PathLike)):
        raise OptionTypeError(f"{name} must be {what} (a str or os.PathLike) or None, not "
                              f"{given(value)}.")


def check_flag(name: str, value: Any) -> None:
    if not isinstance(value, (bool, np.bool_)):
        raise OptionTypeError(f"{name} must be True or False, not {given(value)}.")


def check_count(name: str, value: Any, least: int, what: str, too_small: str = "") -> None:
    """An integer option (NumPy's integers too, never a bool) of at least
    `least`; `too_small` words the refusal of a smaller one."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise OptionTypeError(f"{name} must be an int ({what}), not {given(value)}.")
    if value < least:
        raise OptionError(too_small or f"{name} must be at least {least}, not {value}.")


def check_choice(name: str, value: Any, choices: tuple[str, ...]) -> None:
    accepted = ", ".join(repr(c) for c in choices)
    if not isinstance(value, str):
        raise OptionTypeError(f"{name} must be one of {accepted}, not {given(value)}.")
    if value not in choices:
        raise OptionError(f"{name} must be one of {accepted}, not {value!r}.")


def check_columns(name: str, value: Any) -> None:
    what = ("a mapping of the names the tool uses to the names in the file, e.g. "
            "{'fx': 'Fx', 't': 'time'}, or None")
    if value is None:
        return
    if not isinstance(value, Mapping):
        raise OptionTypeError(f"{name} must be {what}, not {given(value)}.")
    for key, column in value.items():
        if not isinstance(key, str) or not isinstance(column, str):
            raise OptionTypeError(f"{name} must be {what}; it maps {key!r} to {column!r}, "
                                  "and both must be str.")


def check_frames(value: Any) -> tuple[str, str] | None:
    """tf_frames as a (parent, child) tuple: any sequence of two names."""
    if value is None:
        return None
    if isinstance(value, (str, bytes, Mapping)) or not hasattr(value, "__len__"):
        raise OptionTypeError(f"tf_frames must be a (parent, child) pair of frame names, or "
                              f"None, not {given(value)}.")
    frames = tuple(value)
    if len(frames) != 2 or not all(isinstance(f, str) for f in frames):
        raise OptionError(f"tf_frames must be a (parent, child) pair of frame names, not "
                          f"{frames!r}.")
    return frames[0], frames[1]


def check_number(name: str, value: Any, what: str) -> None:
    """A real-number option (NumPy's too, never a bool); `what` says what it
    takes."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise OptionTypeError(f"{name} must be {what}, not {given(value)}.")


def check_max_gap(value: Any) -> None:
    if value is None:
        return
    check_number("max_gap", value, "a number of seconds (an int or a float) or None")
    if not float(value) > 0:  # NaN too
        raise OptionError(f"--max-gap must be a positive number of seconds, not {value}.")
    if float(value) == math.inf:
        raise OptionError("--max-gap must be a finite number of seconds, not inf: leave it "
                          "out to interpolate across any gap.")


def check_still(max_rate: Any, settle: Any) -> None:
    """The options that tell a calibration's still samples from its moving
    ones: a positive rate of turn (deg/s) and a finite settling time (s)."""
    check_number("max_rate", max_rate, "a number of deg/s (an int or a float)")
    if not max_rate > 0:  # NaN too
        raise OptionError(f"--max-rate must be a positive number of deg/s, not {max_rate}.")
    check_number("settle", settle, "a number of seconds (an int or a float)")
    if not settle >= 0:
        raise OptionError(f"--settle must be a number of seconds of at least 0, not {settle}.")
    if settle == math.inf:
        raise OptionError("--settle must be a finite number of seconds, not inf.")


@dataclass(frozen=True)
class Options:
    """What `transform_log` takes besides the configuration, the block and the
    paths; every value checked when the record is made."""

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
    normalize_tf: bool = False

    def __post_init__(self) -> None:
        for name in ("topic", "output_topic", "output_frame", "tf_topic"):
            check_text(name, getattr(self, name))
        check_path("tf", self.tf, "the path of a transform table")
        object.__setattr__(self, "tf_frames", check_frames(self.tf_frames))
        check_columns("columns", self.columns)
        check_columns("tf_columns", self.tf_columns)
        check_choice("outside", self.outside, OUTSIDE)
        check_max_gap(self.max_gap)
        check_choice("angular_acceleration", self.angular_acceleration, DIFFERENCES)
        check_count("chunk_size", self.chunk_size, 1, "rows per chunk",
                    f"the chunk size must be at least 1 row, not {self.chunk_size}.")
        check_flag("progress", self.progress)
        check_flag("normalize_tf", self.normalize_tf)

    @classmethod
    def names(cls) -> frozenset[str]:
        """Every option's keyword."""
        return frozenset(f.name for f in fields(cls))

    @property
    def chunk_rows(self) -> int:
        return int(self.chunk_size)

    @property
    def max_gap_ns(self) -> int | None:
        """max_gap in nanoseconds."""
        return None if self.max_gap is None else int(round(self.max_gap * NS_PER_S))

    def check_one_transform(self) -> None:
        """Refuses a transform given more than one way (a bag reads only one)."""
        if sum(x is not None for x in (self.tf, self.tf_topic, self.tf_frames)) > 1:
            raise OptionError("give the transform one way: --tf FILE, --tf-topic TOPIC or "
                              "--tf-frames PARENT CHILD.")

    @property
    def bag_options(self) -> bool:
        """Whether an option that only a bag takes is given."""
        return bool(self.topic or self.tf_topic or self.tf_frames or self.output_topic
                    or self.output_frame)


TABLE_OPTIONS = frozenset({"tf", "columns", "tf_columns", "outside", "max_gap",
                           "angular_acceleration", "chunk_size", "normalize_tf"})
"""The options that a table takes (a log given any other is never split)."""

LOG_OPTIONS = Options.names() - {"progress"}
"""The keyword arguments of `transform_log` that the Dask entry points pass on."""


def log_options(options: Mapping[str, Any], caller: str = "transform_logs") -> Options:
    """The options that `caller` passes on to `transform_log` for each log,
    checked: an unknown keyword is a TypeError, as Python makes it for a
    function that names its keywords."""
    unknown = set(options) - LOG_OPTIONS
    if unknown:
        raise TypeError(f"{caller} got unknown options {', '.join(sorted(unknown))}; "
                        f"it takes {', '.join(sorted(LOG_OPTIONS))}.")
    return Options(**options)
