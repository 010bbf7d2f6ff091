"""Dask DataFrames in the log tool's columns through a block, partition by partition."""

from __future__ import annotations

import os
import warnings
from collections.abc import Mapping
from typing import Any

import dask.dataframe as dd
import numpy as np
import pandas as pd

from ..align import (Difference, Floats, Outside, QuaternionCheck, StampOrder, Stamps,
                     TransformTrack)
from ..chunks import ChunkTransformer, prepare_block
from ..errors import OskaToolError, OskaToolWarning
from ..formats.tables import (TABLE_TRANSFORM_COLUMNS, Columns, TransformTable, column_stamps,
                              matrix, resolve_columns, table_chunk)
from ..kinds import TRANSFORM_COLUMNS, kind as find_kind
from ..options import Options, OptionTypeError, given
from ..pipeline import Kept, run
from .arrays import warn_partition

FRAME = "the DataFrame"
"""How messages name a DataFrame being transformed."""
KEEP = "__oska_tf_keep__"
"""The column that marks, between two steps, the samples that stay (--outside drop)."""


def transform_dataframe(config: str | os.PathLike[str] | Any, kind: str, frame: dd.DataFrame, *,
                        tf: str | os.PathLike[str] | Any = None,
                        columns: Mapping[str, str] | None = None,
                        tf_columns: Mapping[str, str] | None = None,
                        outside: Outside = "error", max_gap: float | None = None,
                        angular_acceleration: Difference = "none",
                        normalize_tf: bool = False) -> dd.DataFrame:
    """The log tool's table transform on a Dask DataFrame, as a Dask DataFrame.

    The columns follow the tool's conventions: the signal columns (the kind's
    components), a time column t (seconds) or t_ns (nanoseconds), and either
    the transform columns tf_tx ... tf_qz or a transform table `tf` (a file
    path, or a pandas or Dask DataFrame with t or t_ns and tx ... qz, brought
    whole to every task: it must fit a worker's memory) interpolated at the
    samples' stamps. The arguments are those of `transform_table`. The output
    has the frame's columns, the signal replaced (float64), the samples that
    `outside="drop"` leaves out removed.

    Where a sample's result needs its neighbours (the angular acceleration,
    the time order), each partition is given the last row of the one before
    and the first row of the one after (`map_overlap`), so the result does not
    depend on the partitioning; every partition must then hold a row.
    Problems found from the frame's columns raise OskaToolError at once; those
    in the data, when the result is computed. The quaternions of a transform
    table are checked at once, those of the columns as each partition is
    computed: see `normalize_tf`.
    """
    the_kind = find_kind(kind)
    checked = Options(columns=columns, tf_columns=tf_columns, outside=outside, max_gap=max_gap,
                      angular_acceleration=angular_acceleration, normalize_tf=normalize_tf)
    if tf is not None and not isinstance(tf, (str, os.PathLike, pd.DataFrame, dd.DataFrame)):
        raise OptionTypeError("tf must be the path of a transform table, a pandas or Dask "
                              f"DataFrame, or None, not {given(tf)}.")
    if not isinstance(frame, dd.DataFrame):
        raise OptionTypeError(f"frame must be a Dask DataFrame, not {given(frame)}.")
    _, needs_tf = prepare_block(config, the_kind)
    names = resolve_columns([str(c) for c in frame.columns], "the DataFrame",
                            the_kind.components, columns,
                            TABLE_TRANSFORM_COLUMNS if the_kind.has_transform else None)
    stream = _transform_stream(tf, tf_columns, normalize_tf) \
        if needs_tf and tf is not None else None
    if needs_tf and stream is None and names.transform is None:
        raise OskaToolError(f"{the_kind.transform_needed}: give the columns {', '.join(TABLE_TRANSFORM_COLUMNS)} or a "
                            "transform table tf.")
    difference = angular_acceleration if the_kind.takes_angular_acceleration else "none"
    if (stream is not None or difference != "none") and names.time is None:
        raise OskaToolError("the DataFrame has no time column (t in seconds or t_ns in "
                            "nanoseconds), which interpolating the transform and deriving the "
                            "angular acceleration need.")
    drop = stream is not None and outside == "drop"
    meta = frame._meta.astype({c: np.float64 for c in names.signal})
    step_meta = meta.assign(**{KEEP: np.ones(0, np.bool_)}) if drop else meta
    options = dict(config=config, kind=kind, names=names, outside=outside,
                   gap=checked.max_gap_ns, difference=difference, drop=drop,
                   normalize_tf=normalize_tf)
    if names.time is None:
        out = frame.map_partitions(_frame_chunk, stream, meta=step_meta, **options)
    else:
        out = frame.map_overlap(_frame_chunk, 1, 1, stream, meta=step_meta, **options)
    if drop:
        out = out.map_partitions(_kept, meta=meta)
    result: dd.DataFrame = out
    return result


def _transform_stream(tf: Any, tf_columns: Mapping[str, str] | None,
                      normalize: bool) -> tuple[Stamps, Floats]:
    """A transform table, whole, as (stamps, rows), refused when empty or out of
    order, its quaternions checked (and normalised) once for every task."""
    import pyarrow as pa

    if isinstance(tf, (str, os.PathLike)):
        chunks = list(TransformTable(tf, tf_columns, 1 << 20).chunks())
        source = os.fspath(tf)
    else:
        table = tf.compute() if hasattr(tf, "compute") else tf
        arrow = pa.Table.from_pandas(table, preserve_index=False)
        names = resolve_columns(arrow.column_names, "the transform table", TRANSFORM_COLUMNS,
                                tf_columns, what="transform")
        if names.time is None:
            raise OskaToolError("the transform table has no time column (t in seconds or t_ns "
                                "in nanoseconds).")
        chunks = [(column_stamps(b, names, "the transform table"),
                   matrix(b, names.signal, "the transform table")) for b in arrow.to_batches()]
        source = "the transform table"
    order = StampOrder(source)
    for stamps, _ in chunks:
        order.check(stamps)
    if not chunks or not sum(len(s) for s, _ in chunks):
        raise OskaToolError(f"{source} holds no transform, and every sample needs one.")
    check = QuaternionCheck(source, normalize)
    rows = check(np.concatenate([np.asarray(x, np.float64) for _, x in chunks]),
                 lambda i: f"row {i}")
    if check.report.count:
        warnings.warn(check.report.message(), OskaToolWarning, stacklevel=3)
    return np.concatenate([s for s, _ in chunks]), rows


def _frame_batch(part: pd.DataFrame, names: Columns) -> Any:
    """The columns of a partition that the transform reads, as an Arrow record
    batch, so that the table reader's checks and conversions serve it too."""
    import pyarrow as pa

    used = [*names.signal, *([names.time] if names.time else []), *(names.transform or ())]
    return pa.RecordBatch.from_pandas(part[used], preserve_index=False)


def _near(stream: tuple[Stamps, Floats], stamps: Stamps) -> tuple[Stamps, Floats]:
    """The rows of the transform stream that serve samples at `stamps`: from
    the last one at or before the earliest sample to the first one after the
    latest, with every row of an equal stamp. The track gives the same for
    them as over the whole stream."""
    t, x = stream
    if not len(stamps):
        return t[:1], x[:1]
    lo = max(int(np.searchsorted(t, stamps.min(), "right")) - 1, 0)
    hi = min(int(np.searchsorted(t, stamps.max(), "right")) + 1, len(t))
    return t[lo:hi], x[lo:hi]


def _frame_chunk(part: pd.DataFrame, stream: tuple[Stamps, Floats] | None, *, config: Any,
                 kind: str, names: Columns, outside: Outside, gap: int | None,
                 difference: Difference, drop: bool, normalize_tf: bool) -> pd.DataFrame:
    the_kind = find_kind(kind)
    block, needs_tf = prepare_block(config, the_kind)
    chunk = table_chunk(_frame_batch(part, names), names, FRAME, needs_tf and stream is None)
    track = None
    if stream is not None:
        assert chunk.stamps is not None
        track = TransformTrack(iter([_near(stream, chunk.stamps)]), "the transform table",
                               outside, gap)
    output = Kept()
    transformer = ChunkTransformer(block, the_kind, needs_tf, track, difference,
                                   QuaternionCheck(f"the tf_ columns of {FRAME}", normalize_tf))
    transformer.start_at(None)  # a partition does not know the frame's first sample
    transformer.label = lambda i: f"index {part.index[i]!r}"
    run(iter([chunk]), transformer, output)
    if track is None:  # the table's were checked once, before
        warn_partition(transformer.quaternions)
    result = part.copy(deep=False)
    assert output.out is not None
    for j, name in enumerate(names.signal):
        result[name] = output.out[:, j]
    if drop:
        result[KEEP] = output.keep if output.keep is not None else np.ones(len(part), np.bool_)
    return result


def _kept(part: pd.DataFrame) -> pd.DataFrame:
    kept: pd.DataFrame = part[part[KEEP]].drop(columns=KEEP)
    return kept


