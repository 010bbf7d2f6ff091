"""The kernel stage of a transform: a chunk of samples in, the block's output out.

A log is read as a sequence of `SampleChunk`s. `ChunkTransformer` turns one
chunk into its output with `update_batch` and carries over to the next chunk
what crosses the edge between them: the transform stream's position and the
last sample's stamp and angular rate. The result for a sample is therefore the
same whatever the chunk size. Nothing here knows a file format: the readers
below make the chunks, the writers take the outputs, and `oska_tf_utils.pipeline`
joins them.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import asdict, dataclass, field
from typing import Any

import numpy as np
import oska_control

from .align import (ConstantTransform, Difference, Floats, Mask, QuaternionCheck,
                    QuaternionReport, StampOrder, TransformTrack, angular_acceleration)
from .align import SampleChunk as SampleChunk  # the kernel's input, made by the readers
from .config_check import check_config
from .errors import OskaToolError
from .kinds import Block, Kind

IDENTITY = np.array([0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0])

Track = TransformTrack | ConstantTransform


@dataclass
class TransformResult:
    """What a transform did, for the command's report."""

    input: str
    output: str
    block: str
    samples_in: int = 0
    samples_out: int = 0
    seconds: float = 0.0
    transform: str = "none"
    details: dict[str, str] = field(default_factory=dict)
    quaternions: QuaternionReport | None = None
    """What the transform stream's quaternions were, when there was one."""

    @property
    def warnings(self) -> list[str]:
        """What the run warns about, a line each: transform quaternions used
        as given although not unit."""
        found = self.quaternions
        return [found.message()] if found is not None and found.count else []

    def to_dict(self) -> dict[str, Any]:
        """The result as a JSON-ready dictionary (with "warnings" when there are any)."""
        found = asdict(self)
        del found["quaternions"]
        if self.warnings:
            found["warnings"] = self.warnings
        return found


def prepare_block(config: str | os.PathLike[str] | Any, kind: Kind) -> tuple[Block, bool]:
    """The block of `kind` configured from `config` (a JSON file path or an
    OskaTfConfig, OskaPayloadConfig), and whether it needs a fixed-to-moving
    transform per sample: when an entry is on the moving frame, and always for
    a kind with no entries that takes the transform (the payload, whose
    block is ready only once it has one).

    A block that the configuration does not make ready (an entry left out, pose
    input axes on the moving frame) is refused with the reason."""
    source = os.fspath(config) if isinstance(config, (str, os.PathLike)) else config
    try:
        block, probe = kind.build(source), kind.build(source)
    except (RuntimeError, ValueError) as e:
        raise OskaToolError(f"the {kind.signal} block cannot be built: {e}. Run `oska-tf check` "
                            "on the configuration for details.") from None
    if probe.is_ready():
        return block, False
    if kind.has_transform:
        probe_tf: Any = probe
        probe_tf.set_fixed_to_moving_frame_tf(IDENTITY.copy())
        if probe.is_ready():
            return block, True
    reasons = "some of its entries are not set"
    if isinstance(source, str):
        found = [f for f in check_config(source) if f.path.startswith(kind.section)
                 and f.code in ("missing-entry", "pose-input-axes")]
        if found:
            reasons = "; ".join(f"{f.path}: {f.message}" for f in found)
    raise OskaToolError(f"the {kind.signal} block from this configuration never produces "
                        f"output: {reasons}. The tool uses the configuration as it is; "
                        "complete the section.")


class ChunkTransformer:
    """Transforms a log's chunks in order, carrying state across their edges.

    `track` gives the transform at the samples' stamps (interpolated); without
    it, a block that needs a transform takes the rows that come with each chunk,
    whose quaternions `check` checks (by default: refused when zero, used as
    given otherwise). `difference` derives the angular acceleration for a
    block that takes one.
    """

    def __init__(self, block: Block, kind: Kind, needs_tf: bool, track: Track | None = None,
                 difference: Difference = "none", check: QuaternionCheck | None = None) -> None:
        self.block = block
        self.kind = kind
        self.needs_tf = needs_tf
        self.track = track
        self.difference = difference
        self.check = check or QuaternionCheck("the transform rows")
        self.rows_before = 0
        """The log's samples before the next chunk, which messages count rows from."""
        self.label: Callable[[int], str] = lambda i: f"row {self.rows_before + i}"
        """How messages name the next chunk's i-th sample."""
        self._order = StampOrder("the log")
        self._previous: tuple[int, Floats] | None = None
        self._at_start = True

    @property
    def quaternions(self) -> QuaternionReport | None:
        """What the transform rows used so far hold (None without a transform)."""
        if not self.needs_tf:
            return None
        checked = self.check if self.track is None else self.track.check
        return checked.report if checked is not None else None

    @property
    def origin(self) -> int | None:
        """The stamp of the log's first sample, which messages count stamps
        from: the first chunk's, unless `start_at` or `carry` said otherwise."""
        return self._order.origin

    def start_at(self, origin: int | None) -> None:
        """Sets the stamp of the log's first sample (None: not known), for a
        transformer that does not see the log from its start."""
        self._at_start = False
        self._order.origin = origin
        if isinstance(self.track, TransformTrack):
            self.track.origin = origin

    def carry(self, last: SampleChunk, rows: int) -> None:
        """Takes up a log in its middle: the state carried over as if the log's
        first `rows` samples had been transformed, ending with `last` (at least
        its last sample), so that the next chunk gets what it would get in a
        run over the whole log (time order, the angular acceleration's
        previous sample)."""
        self._at_start = False
        if last.stamps is not None and len(last.stamps):
            self._order.last = int(last.stamps[-1])
            self._previous = (int(last.stamps[-1]),
                              np.asarray(last.signal[-1, -3:], np.float64).copy())
        self._order.rows = self.rows_before = rows

    @property
    def needs_time(self) -> bool:
        return (self.track is not None and not isinstance(self.track, ConstantTransform)) \
            or self.difference != "none"

    def transform(self, chunk: SampleChunk, following: SampleChunk | None = None
                  ) -> tuple[Floats, Mask | None]:
        """The block's output for every sample of `chunk`, and which samples to
        keep (None: all). `following` is the next chunk, if any (its first sample
        serves the angular acceleration)."""
        signal = np.ascontiguousarray(chunk.signal, np.float64)
        stamps = chunk.stamps
        if stamps is not None:
            if self._at_start and len(stamps):
                self.start_at(int(stamps[0]))
            self._order.check(stamps)
        elif self.needs_time:
            raise OskaToolError("the log has no time column, which interpolating the transform "
                                "and deriving the angular acceleration need.")
        kwargs: dict[str, Floats] = {}
        keep: Mask | None = None
        if self.needs_tf:
            if self.track is not None:
                assert stamps is not None or isinstance(self.track, ConstantTransform)
                tf, keep = self.track.sample(stamps if stamps is not None
                                             else np.zeros(len(signal), np.int64))
            elif chunk.tf is not None:
                tf = self.check(np.asarray(chunk.tf, np.float64), self.label)
            else:
                raise OskaToolError(f"{self.kind.transform_needed}, and the log brings "
                                    "none.")
            kwargs[self.kind.cls.TRANSFORM_INPUT] = np.ascontiguousarray(tf, np.float64)
        if chunk.angular_acceleration is not None and self.kind.takes_angular_acceleration:
            kwargs["angular_acceleration"] = np.ascontiguousarray(chunk.angular_acceleration,
                                                                  np.float64)
        elif self.difference != "none" and self.kind.takes_angular_acceleration and len(signal):
            assert stamps is not None
            after = None
            if following is not None and len(following.signal):
                assert following.stamps is not None
                after = (int(following.stamps[0]), following.signal[0, -3:].astype(np.float64))
            kwargs["angular_acceleration"] = angular_acceleration(
                self.difference, stamps, signal[:, -3:], self._previous, after, self.origin)
            self._previous = (int(stamps[-1]), signal[-1, -3:].copy())
        out = np.empty_like(signal)
        code = self.block.update_batch(signal, out, **kwargs)
        if code != oska_control.OskaControlReturnCode.Ok:
            raise OskaToolError(f"the {self.kind.signal} block returned {code.name} on this log; "
                                "its diagnostic lines are above.")
        self.rows_before += len(signal)
        return out, keep
