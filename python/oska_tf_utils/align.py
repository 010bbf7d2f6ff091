"""Time alignment: the transform stream sampled at the signal's stamps, and the
angular acceleration derived from the angular rate; and `SampleChunk`, the
samples of a log as the readers of `oska_tf_utils.formats` yield them.

Stamps are int64 nanoseconds throughout. The transform stream is read chunk
by chunk and only one of its chunks (plus the row before it) is held at a
time, whatever the log's length, so that memory stays bounded and the result
for a sample does not depend on where the chunks of either stream end.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from .errors import OskaToolError

Floats = npt.NDArray[np.float64]
Stamps = npt.NDArray[np.int64]
Mask = npt.NDArray[np.bool_]
Outside = Literal["error", "drop", "hold"]
Difference = Literal["none", "central", "backward"]

NS_PER_S = 1_000_000_000
UNIT_TOLERANCE = 1e-6
"""A transform quaternion whose norm is off 1 by more than this is reported."""
UNIT_SQUARES = ((1 - UNIT_TOLERANCE) ** 2, (1 + UNIT_TOLERANCE) ** 2)
"""The same bounds on the squared norm."""
TINY = float(np.finfo(np.float64).tiny)
"""A squared norm below this has underflowed: the quaternion is as good as zero."""


@dataclass
class SampleChunk:
    """Consecutive samples of a log, as a reader yields them."""

    signal: Floats
    """(n, size) float64, C-contiguous: the block's input."""
    stamps: Stamps | None = None
    """int64 nanoseconds, or None for a log without time."""
    tf: Floats | None = None
    """(n, 7) transform rows that came with the samples, if any."""
    payload: Any = None
    """What the writer needs besides the output values (the table rows to pass
    through, the bag messages' log times)."""
    angular_acceleration: Floats | None = None
    """(n, 3) angular accelerations that came with the samples, for a block
    that takes them; used as they are instead of being derived."""


def seconds(ns: int | np.int64) -> str:
    """A duration in nanoseconds, as seconds for a message."""
    return f"{int(ns) / NS_PER_S:.9g} s"


def stamp(ns: int | np.int64, origin: int | None = None) -> str:
    """A stamp for a message: integer nanoseconds, as the log holds it, and
    beside them the seconds from the log's first sample (`origin`) when known."""
    text = f"{int(ns)} ns"
    if origin is None:
        return text
    return f"{text} ({(int(ns) - origin) / NS_PER_S:+.9g} s from the log's first sample)"


def stamps_from_seconds(t: Floats, column: str) -> Stamps:
    """Float seconds to int64 nanoseconds, refusing NaN and infinities."""
    bad = ~np.isfinite(t)
    if bad.any():
        row = int(np.argmax(bad))
        raise OskaToolError(f"the time column {column!r} holds {t[row]} at row {row}: every "
                            "sample needs a finite time. Remove or fix that row.")
    if np.abs(t).max(initial=0.0) >= 9.2e9:
        raise OskaToolError(f"the time column {column!r} holds values beyond ±9.2e9 s, which "
                            "do not fit int64 nanoseconds; is it in seconds?")
    return np.rint(t * NS_PER_S).astype(np.int64)


class StampOrder:
    """Refuses time going backwards within a stream, across its chunks;
    `origin` is the log's first sample, for the message."""

    def __init__(self, what: str, origin: int | None = None) -> None:
        self.what = what
        self.origin = origin
        self.last: int | None = None
        self.rows = 0

    def check(self, stamps: Stamps) -> None:
        if len(stamps) == 0:
            return
        steps = np.diff(stamps)
        back = np.flatnonzero(steps < 0)
        if self.last is not None and stamps[0] < self.last:
            row, before, after = self.rows, self.last, int(stamps[0])
        elif len(back):
            row, before, after = self.rows + int(back[0]) + 1, int(stamps[back[0]]), \
                int(stamps[back[0] + 1])
        else:
            self.last = int(stamps[-1])
            self.rows += len(stamps)
            return
        raise OskaToolError(f"time goes backwards in {self.what} at row {row}: "
                            f"{stamp(after, self.origin)} follows {stamp(before, self.origin)}. "
                            "The tool needs stamps in order; sort the log by time first.")


@dataclass
class QuaternionReport:
    """The quaternions of a log's transform stream: how many rows were read,
    how many of them are not unit, and where the first of those is."""

    source: str
    count: int
    rows: int
    first: str
    norm: float
    from_start: bool = False
    """Whether the stream is read from its start whatever part of the log is
    transformed (a transform table or topic), rather than row by row with it."""

    def message(self) -> str:
        """The warning about the quaternions that are not unit, one line."""
        return (f"{self.count} of the {self.rows} transform rows of {self.source} hold a "
                f"quaternion whose norm is off 1 by more than 1e-6, the first at {self.first} "
                f"with norm {self.norm:.9g}; they are used as given, and a non-unit quaternion "
                "mixes the unrotated vector into the rotated one: --normalize-tf "
                "(normalize_tf=True) normalises them.")

    def merged(self, later: QuaternionReport | None) -> QuaternionReport:
        """This report of one part of a log and that of a `later` part, as one:
        the later one holds this one's rows too when the stream is read from
        its start for each part."""
        if later is None:
            return self
        if later.from_start:
            return later
        first = (self.first, self.norm) if self.count else (later.first, later.norm)
        return QuaternionReport(self.source, self.count + later.count, self.rows + later.rows,
                                *first)


class QuaternionCheck:
    """Checks the quaternions [qw, qx, qy, qz] of transform rows (columns 3 to
    6) as a stream is read. A quaternion whose norm is zero, or whose squared
    norm underflows, is refused: it holds no orientation (a dropout, most
    likely), and the blocks would take it as the identity. With `normalize`,
    every quaternion is divided by its norm; otherwise those whose norm is
    off 1 by more than UNIT_TOLERANCE are counted (`report`), for one
    warning per stream. A row of NaN passes as it is, and its NaN reaches the result."""

    def __init__(self, source: str, normalize: bool = False, from_start: bool = False) -> None:
        self.source = source
        self.normalize = normalize
        self.from_start = from_start
        self.rows = 0
        self._count = 0
        self._first = ("", 0.0)

    @property
    def report(self) -> QuaternionReport:
        """What the rows checked so far hold."""
        return QuaternionReport(self.source, self._count, self.rows, *self._first,
                                self.from_start)

    def __call__(self, rows: Floats, where: Callable[[int], str]) -> Floats:
        """The rows, checked (and normalised); `where(i)` names row i for a message."""
        q = rows[:, 3:]
        squares = np.einsum("ij,ij->i", q, q)
        self.rows += len(rows)
        if not len(rows) or (UNIT_SQUARES[0] <= squares.min() and squares.max() <= UNIT_SQUARES[1]
                             and not self.normalize):
            return rows  # all unit (NaN fails both comparisons)
        empty = squares < TINY  # false for NaN
        if empty.any():
            i = int(np.argmax(empty))
            norm = math.hypot(*q[i])
            raise OskaToolError(
                f"the transform quaternion at {where(i)} of {self.source}, "
                f"[{', '.join(f'{v:.6g}' for v in q[i])}], has norm {norm:.3g}"
                + (", whose square underflows" if norm else "") + ": it holds no orientation "
                "(a dropout of the tracking, most likely), and the tool does not take it as a "
                "rotation, with or without --normalize-tf. Remove that row or fill the gap.")
        if self.normalize:
            out = np.array(rows, np.float64)
            out[:, 3:] /= np.sqrt(squares)[:, None]
            return out
        off = (squares < UNIT_SQUARES[0]) | (squares > UNIT_SQUARES[1])
        count = int(np.count_nonzero(off))
        if count and not self._count:
            i = int(np.argmax(off))
            self._first = (where(i), math.sqrt(squares[i]))
        self._count += count
        return rows


class Arcs:
    """The shortest arcs between consecutive [w, x, y, z] quaternions q0[k] and
    q1[k]: what the spherical interpolation of every sample between them
    shares, computed once per arc."""

    def __init__(self, q0: Floats, q1: Floats) -> None:
        self.n0 = np.linalg.norm(q0, axis=1, keepdims=True)
        self.n1 = np.linalg.norm(q1, axis=1, keepdims=True)
        self.u0 = q0 / np.where(self.n0 > 0, self.n0, 1.0)
        u1 = q1 / np.where(self.n1 > 0, self.n1, 1.0)
        dot = np.einsum("ij,ij->i", self.u0, u1)
        self.u1 = np.where((dot < 0)[:, None], -u1, u1)  # the shortest arc
        dot = np.clip(np.abs(dot), 0.0, 1.0)
        self.theta = np.arccos(dot)
        sin_theta = np.sin(self.theta)
        self.small = sin_theta < 1e-9
        self.safe = np.where(self.small, 1.0, sin_theta)

    def at(self, arc: npt.NDArray[np.int64], f: Floats) -> Floats:
        """The quaternion a fraction f along the arc `arc`, for each sample.
        Non-unit quaternions keep a norm interpolated linearly between theirs
        (the blocks use quaternions as given)."""
        theta, small, safe = self.theta[arc], self.small[arc], self.safe[arc]
        n0, n1 = self.n0[arc], self.n1[arc]
        w0 = np.where(small, 1.0 - f, np.sin((1.0 - f) * theta) / safe)
        w1 = np.where(small, f, np.sin(f * theta) / safe)
        q = w0[:, None] * self.u0[arc] + w1[:, None] * self.u1[arc]
        q /= np.linalg.norm(q, axis=1, keepdims=True)
        scaled: Floats = q * (n0 + f[:, None] * (n1 - n0))
        return scaled


def slerp(q0: Floats, q1: Floats, f: Floats) -> Floats:
    """Row-wise spherical linear interpolation of [w, x, y, z] quaternions along
    the shortest arc, f in [0, 1]. Non-unit quaternions keep a norm interpolated
    linearly between theirs (the blocks use quaternions as given)."""
    return Arcs(q0, q1).at(np.arange(len(f)), f)


def interpolate(t: Stamps, t0: Stamps, x0: Floats, t1: Stamps, x1: Floats, arcs: Arcs,
                arc: npt.NDArray[np.int64]) -> Floats:
    """Transforms [tx, ty, tz, qw, qx, qy, qz] at stamps t with t0 < t < t1: linear
    in translation, spherical linear in rotation along `arcs`, the arc `arc[i]`
    for sample i."""
    f = (t - t0).astype(np.float64) / (t1 - t0).astype(np.float64)
    out = np.empty_like(x0)
    out[:, :3] = x0[:, :3] + f[:, None] * (x1[:, :3] - x0[:, :3])
    out[:, 3:] = arcs.at(arc, f)
    return out


class TransformTrack:
    """The fixed-to-moving transform stream, sampled at the signal's stamps.

    `chunks` yields (stamps, rows) pairs in time order: int64 nanoseconds and
    float64 (k, 7) rows [tx, ty, tz, qw, qx, qy, qz]. A sample exactly at a
    transform stamp gets that row as it is (of equal stamps, the last one);
    a sample between two stamps an interpolated row. Samples at the first or
    last stamp are inside; samples before the first or after the last are
    refused, or dropped or given the first or last row, as `outside` says.
    With `max_gap_ns`, a sample between two stamps further apart is refused.
    Each row's quaternion is checked as it is read (`check`, normalised with
    `normalize`); its messages name a row by its stamp, or with `by_row` (a
    table) by its row number.
    """

    def __init__(self, chunks: Iterator[tuple[Stamps, Floats]], source: str,
                 outside: Outside = "error", max_gap_ns: int | None = None,
                 normalize: bool = False, by_row: bool = False) -> None:
        self._chunks = chunks
        self.source = source
        self.outside = outside
        self.max_gap_ns = max_gap_ns
        self.check = QuaternionCheck(source, normalize, from_start=True)
        self.by_row = by_row
        self._order = StampOrder(source)
        self._t: Stamps = np.empty(0, np.int64)
        self._x: Floats = np.empty((0, 7))
        self._first: int | None = None
        self._exhausted = False
        self._arcs: Arcs | None = None

    @property
    def origin(self) -> int | None:
        """The log's first sample, which messages count stamps from."""
        return self._order.origin

    @origin.setter
    def origin(self, value: int | None) -> None:
        self._order.origin = value

    def _load(self) -> None:
        for t, x in self._chunks:
            if len(t) == 0:
                continue
            row = self._order.rows
            self._order.check(t)
            x = self.check(np.asarray(x, np.float64),
                           (lambda i: f"row {row + i}") if self.by_row else
                           (lambda i: f"stamp {stamp(t[i], self.origin)}"))
            if self._first is None:
                self._first = int(t[0])
            # The row before the new chunk stays: it brackets the samples between.
            self._t = np.concatenate([self._t[-1:], t])
            self._x = np.concatenate([self._x[-1:], x])
            self._arcs = None
            return
        self._exhausted = True
        if self._first is None:
            raise OskaToolError(f"{self.source} holds no transform, and every sample needs "
                                "one.")

    def _after(self, sample: int, last: int) -> OskaToolError:
        return OskaToolError(
            f"the sample at {stamp(sample, self.origin)} is {seconds(sample - last)} after "
            f"the last transform stamp of {self.source}, {stamp(last, self.origin)}, and so is "
            "every later sample. The tool does not extrapolate: use --outside drop or --outside "
            "hold, or a transform stream that lasts longer.")

    def check_end(self, first_sample: int, last: int | None,
                  samples_from_end: Iterator[Stamps]) -> None:
        """Raises at once the error that the samples after the stream's last stamp
        `last` would raise when reached, from the log's end: `samples_from_end`
        gives the samples' stamps a chunk at a time from the last chunk back.
        Nothing is checked when `outside` lets such samples pass, when `last` is
        not known, or when the first sample (`first_sample`) already lies
        before the stream, which the first chunk reports."""
        if self.outside != "error" or last is None:
            return
        if self.origin is None:
            self.origin = first_sample
        if not len(self._t):
            self._load()
        if self._first is None or first_sample < self._first:
            return
        first_after: int | None = None
        for stamps in samples_from_end:
            if not len(stamps):
                continue
            index = int(np.searchsorted(stamps, last, "right"))
            if index < len(stamps):
                first_after = int(stamps[index])
            if index > 0:
                break
        if first_after is not None:
            raise self._after(first_after, last)

    def sample(self, stamps: Stamps) -> tuple[Floats, Mask | None]:
        """The transform at each stamp (non-decreasing), and which samples to keep
        (None: all of them)."""
        n = len(stamps)
        out = np.empty((n, 7))
        keep: Mask | None = None
        i = 0
        while i < n:
            if len(self._t) == 0 or (not self._exhausted and stamps[i] >= self._t[-1]):
                if self._exhausted:
                    break
                self._load()
                continue
            # Resolve every sample before the last stamp held, or all of them once
            # the stream has ended: an equal stamp may still follow in the stream.
            j = n if self._exhausted else i + int(np.searchsorted(stamps[i:], self._t[-1], "left"))
            part = self._resolve(stamps[i:j], out[i:j])
            if part is not None:
                keep = np.ones(n, np.bool_) if keep is None else keep
                keep[i:j] = part
            i = j
        return out, keep

    def _resolve(self, ts: Stamps, out: Floats) -> Mask | None:
        t, x = self._t, self._x
        k = np.searchsorted(t, ts, "right") - 1
        before = k < 0
        after = ts > t[-1]
        kc = np.clip(k, 0, len(t) - 1)
        exact = (~before) & (t[kc] == ts)
        between = ~(before | after | exact)
        out[exact] = x[kc[exact]]
        if between.any():
            lo = kc[between]
            gaps = t[lo + 1] - t[lo]
            if self.max_gap_ns is not None and (gaps > self.max_gap_ns).any():
                g = int(np.argmax(gaps > self.max_gap_ns))
                origin = self.origin
                raise OskaToolError(
                    f"{self.source} has a gap of {seconds(gaps[g])} between "
                    f"{stamp(t[lo[g]], origin)} and {stamp(t[lo[g] + 1], origin)}, more than "
                    f"--max-gap {seconds(self.max_gap_ns)}, and the sample at "
                    f"{stamp(ts[between][g], origin)} falls in it. Raise --max-gap to "
                    "interpolate across it, or cut the log.")
            if self._arcs is None:
                self._arcs = Arcs(x[:-1, 3:], x[1:, 3:])
            out[between] = interpolate(ts[between], t[lo], x[lo], t[lo + 1], x[lo + 1],
                                       self._arcs, lo)
        if not (before.any() or after.any()):
            return None
        if self.outside == "error":
            if before.any():
                assert self._first is not None
                raise OskaToolError(
                    f"the first sample, at {stamp(ts[0], self.origin)}, is "
                    f"{seconds(self._first - ts[0])} before the first transform stamp of "
                    f"{self.source}, {stamp(self._first, self.origin)}; {int(before.sum())} "
                    "samples of this chunk lie before it. The tool does not extrapolate: use "
                    "--outside drop or --outside hold, or a transform stream that starts "
                    "earlier.")
            raise self._after(int(ts[after][0]), int(t[-1]))
        if self.outside == "hold":
            out[before] = x[0]
            out[after] = x[-1]
            return None
        keep: Mask = ~(before | after)
        return keep


class ConstantTransform:
    """A transform that holds at every stamp (a static transform, stamped
    `at` where it came from a message)."""

    def __init__(self, row: Floats, at: int | None = None) -> None:
        self.row = np.asarray(row, np.float64).reshape(7)
        self.at = at
        self.check: QuaternionCheck | None = None

    def checked(self, check: QuaternionCheck) -> ConstantTransform:
        """The transform with its quaternion checked (and normalised) by `check`."""
        where = f"stamp {stamp(self.at)}" if self.at is not None else "its one row"
        self.row = check(self.row[None, :], lambda _: where)[0]
        self.check = check
        return self

    def sample(self, stamps: Stamps) -> tuple[Floats, Mask | None]:
        return np.tile(self.row, (len(stamps), 1)), None


def angular_acceleration(method: Difference, stamps: Stamps, rates: Floats,
                         before: tuple[int, Floats] | None,
                         after: tuple[int, Floats] | None, origin: int | None = None) -> Floats:
    """The angular acceleration at each sample, by finite differences of the rate.

    `central`: (ω[i+1] − ω[i−1]) / (t[i+1] − t[i−1]); `backward`:
    (ω[i] − ω[i−1]) / (t[i] − t[i−1]). At the ends of the log, where a
    neighbour is missing, the one-sided difference with the sample beside it:
    the first sample takes the forward difference (ω[1] − ω[0]) / (t[1] − t[0])
    under both methods, and the last sample the backward one under `central`.
    A log of one sample gets zero. `before` and `after` are the (stamp, rate)
    of the samples just outside this chunk, None at the ends of the log, so
    that a chunked log gets the same values as a whole one. `origin`, the
    log's first sample, serves the message of a refusal.
    """
    t = stamps
    w = rates
    if before is not None:
        t = np.concatenate([[before[0]], t])
        w = np.concatenate([before[1][None, :], w])
    if after is not None:
        t = np.concatenate([t, [after[0]]])
        w = np.concatenate([w, after[1][None, :]])
    m = len(t)
    if m < 2:
        return np.zeros_like(rates)
    dt = np.diff(t)
    if (dt <= 0).any():
        row = int(np.argmax(dt <= 0))
        raise OskaToolError(f"two samples at the same stamp, {stamp(t[row], origin)}: the "
                            "angular acceleration needs increasing stamps. Use "
                            "--angular-acceleration none, or remove the repeated samples.")
    dw = np.diff(w, axis=0)
    one_sided = dw / (dt.astype(np.float64) / NS_PER_S)[:, None]  # between i and i+1
    alpha = np.empty_like(w)
    if method == "backward":
        alpha[1:] = one_sided
        alpha[0] = one_sided[0]
    else:
        alpha[1:-1] = (w[2:] - w[:-2]) / ((t[2:] - t[:-2]).astype(np.float64) / NS_PER_S)[:, None]
        alpha[0] = one_sided[0]
        alpha[-1] = one_sided[-1]
    lo = 1 if before is not None else 0
    return np.ascontiguousarray(alpha[lo:lo + len(stamps)])
