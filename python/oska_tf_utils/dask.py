"""Log transforms on a Dask cluster: Dask arrays, Dask DataFrames and whole log files.

Dask distributes the work, retries it and reports on it; this module supplies
the chunk logic of `oska_tf_utils.transform`. Every function runs on the
scheduler the caller chose, as Dask's own functions do: the active
distributed Client when there is one, otherwise Dask's local scheduler. None
starts a cluster of its own; `cluster()` does, when asked.

Blocks never travel between processes: each task builds its block from the
configuration, a JSON file path (which every worker must be able to read) or
an OskaTfConfig (which pickles). The results are those of an in-process run,
bit for bit, whatever the chunking.

Needs the dask extra: pip install "oska-tf-utils[logs,dask]".
"""

from __future__ import annotations

import glob
import inspect
import os
import shutil
import sys
import tempfile
import time
import uuid
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path
from typing import Any

import numpy as np

from .align import Difference, Floats, Outside, Stamps, StampOrder, TransformTrack
from .errors import INSTALL_DASK, OskaToolError, require
from .kinds import TRANSFORM_COLUMNS, kind as find_kind
from .tables import Columns, column_stamps, matrix, resolve_columns, table_format
from .transform import (TABLE_TRANSFORM_COLUMNS, ChunkTransformer, SampleChunk, TablePart,
                        TransformResult, gap_ns, prepare_block, transform_log,
                        transform_table_part)

for _module in ("dask", "distributed", "pandas", "fsspec"):
    require(_module, "Running transforms on Dask", INSTALL_DASK)

import dask  # noqa: E402
import dask.array as da  # noqa: E402
import dask.dataframe as dd  # noqa: E402
import distributed  # noqa: E402
import fsspec  # noqa: E402
import pandas as pd  # noqa: E402

FRAME = "the DataFrame"
"""How messages name a DataFrame being transformed."""
KEEP = "__oska_tf_keep__"
"""The column that marks, between two steps, the samples that stay (--outside drop)."""
TEMPORARY = ".oska-tf"
"""How the temporary outputs of the tool end (AtomicOutput's names)."""


# ------------------------------------------------------------------ arrays ---

def transform_array(block_config: str | os.PathLike[str] | Any, kind: str, samples: Any,
                    tf: Any = None, *, angular_acceleration: Any = None) -> da.Array:
    """The block's output for a Dask array of samples, as a Dask array.

    Args:
        block_config: a JSON configuration file (its section for `kind`),
            readable by every worker, or an OskaTfConfig.
        kind: the block kind as `oska-tf transform --block` names it.
        samples: (M, N) samples, N the kind's signal size, chunked along the
            samples (a chunking across the components is undone).
        tf: (M, 7) fixed-to-moving transforms, one per sample, when the
            configuration puts an entry on the moving frame; rechunked like
            `samples`.
        angular_acceleration: (M, 3) angular accelerations for a block that
            takes them (imu), rechunked like `samples`.

    One `map_blocks` call: each chunk is transformed by a block built on the
    worker from `block_config`. Raises OskaToolError at once when the configuration
    cannot be used or an argument does not fit.
    """
    the_kind = find_kind(kind)
    _, needs_tf = prepare_block(block_config, the_kind)
    signal = da.asarray(samples)
    if signal.ndim != 2 or signal.shape[1] != the_kind.size:
        raise OskaToolError(f"the {the_kind.signal} block takes samples of shape (M, "
                            f"{the_kind.size}), not {signal.shape}.")
    signal = signal.rechunk({1: -1})
    rows = signal.chunks[0]
    extra = []
    if needs_tf:
        if tf is None:
            raise OskaToolError(f"the {the_kind.section} section puts an entry on the moving "
                                "frame: give tf, one transform per sample.")
        extra.append(_rows_like(tf, rows, 7, "tf"))
    if angular_acceleration is not None:
        if not the_kind.takes_angular_acceleration:
            raise OskaToolError(f"the {the_kind.signal} block takes no angular acceleration.")
        extra.append(_rows_like(angular_acceleration, rows, 3, "angular_acceleration"))
    result: da.Array = da.map_blocks(
        _array_chunk, signal, *extra, config=block_config, kind=kind, has_tf=needs_tf,
        has_alpha=angular_acceleration is not None, dtype=np.float64, chunks=signal.chunks,
        meta=np.empty((0, 0), np.float64))
    return result


def _rows_like(values: Any, rows: tuple[int, ...], width: int, name: str) -> da.Array:
    array = da.asarray(values)
    if array.shape != (sum(rows), width):
        raise OskaToolError(f"{name} must have shape ({sum(rows)}, {width}), one row per "
                            f"sample, not {array.shape}.")
    rechunked: da.Array = array.rechunk((rows, width))
    return rechunked


def _array_chunk(signal: Floats, *extra: Floats, config: Any, kind: str, has_tf: bool,
                 has_alpha: bool) -> Floats:
    the_kind = find_kind(kind)
    block, needs_tf = prepare_block(config, the_kind)
    given = iter(extra)
    tf = next(given) if has_tf else None
    alpha = next(given) if has_alpha else None
    out, _ = ChunkTransformer(block, the_kind, needs_tf).transform(
        SampleChunk(signal=signal, tf=tf, angular_acceleration=alpha))
    return out


# -------------------------------------------------------------- DataFrames ---

def transform_dataframe(config: str | os.PathLike[str] | Any, kind: str, frame: dd.DataFrame, *,
                        tf: str | os.PathLike[str] | Any = None,
                        columns: Mapping[str, str] | None = None,
                        tf_columns: Mapping[str, str] | None = None,
                        outside: Outside = "error", max_gap: float | None = None,
                        angular_acceleration: Difference = "none") -> dd.DataFrame:
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
    in the data, when the result is computed.
    """
    the_kind = find_kind(kind)
    _, needs_tf = prepare_block(config, the_kind)
    names = resolve_columns([str(c) for c in frame.columns], "the DataFrame",
                            the_kind.components, columns,
                            TABLE_TRANSFORM_COLUMNS if the_kind.has_transform else None)
    stream = _transform_stream(tf, tf_columns) if needs_tf and tf is not None else None
    if needs_tf and stream is None and names.transform is None:
        raise OskaToolError(f"the {the_kind.section} section puts an entry on the moving frame: "
                            f"give the columns {', '.join(TABLE_TRANSFORM_COLUMNS)} or a "
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
                   gap=gap_ns(max_gap), difference=difference, drop=drop)
    if names.time is None:
        out = frame.map_partitions(_frame_chunk, stream, meta=step_meta, **options)
    else:
        out = frame.map_overlap(_frame_chunk, 1, 1, stream, meta=step_meta, **options)
    if drop:
        out = out.map_partitions(_kept, meta=meta)
    result: dd.DataFrame = out
    return result


def _transform_stream(tf: Any, tf_columns: Mapping[str, str] | None) -> tuple[Stamps, Floats]:
    """A transform table, whole, as (stamps, rows), refused when empty or out of order."""
    import pyarrow as pa

    from .tables import open_transform_table

    if isinstance(tf, (str, os.PathLike)):
        chunks = list(open_transform_table(tf, tf_columns, 1 << 20))
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
        raise OskaToolError(f"{source} holds no transform: the configuration puts an entry on "
                            "the moving frame, so every sample needs one.")
    return (np.concatenate([s for s, _ in chunks]),
            np.concatenate([np.asarray(x, np.float64) for _, x in chunks]))


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
                 difference: Difference, drop: bool) -> pd.DataFrame:
    the_kind = find_kind(kind)
    block, needs_tf = prepare_block(config, the_kind)
    batch = _frame_batch(part, names)
    stamps = column_stamps(batch, names, FRAME) if names.time is not None else None
    track = None
    if stream is not None:
        assert stamps is not None
        track = TransformTrack(iter([_near(stream, stamps)]), "the transform table", outside,
                               gap)
    transformer = ChunkTransformer(block, the_kind, needs_tf, track, difference)
    out, keep = transformer.transform(SampleChunk(
        signal=matrix(batch, names.signal, FRAME), stamps=stamps,
        tf=matrix(batch, names.transform, FRAME)
        if needs_tf and track is None and names.transform else None))
    result = part.copy(deep=False)
    for j, name in enumerate(names.signal):
        result[name] = out[:, j]
    if drop:
        result[KEEP] = keep if keep is not None else np.ones(len(part), np.bool_)
    return result


def _kept(part: pd.DataFrame) -> pd.DataFrame:
    kept: pd.DataFrame = part[part[KEEP]].drop(columns=KEEP)
    return kept


# ------------------------------------------------------------------- files ---

@dataclass
class LogFailure:
    """A log that could not be transformed, and why."""

    input: str
    output: str
    reason: str


@dataclass
class LogsSummary:
    """What `transform_logs` did: each log transformed, each log that failed."""

    done: list[TransformResult] = field(default_factory=list)
    failed: list[LogFailure] = field(default_factory=list)
    tasks: int = 0
    """Tasks run: one per log, one per part of a Parquet log split by row groups."""
    seconds: float = 0.0

    @property
    def samples_in(self) -> int:
        return sum(r.samples_in for r in self.done)

    @property
    def samples_out(self) -> int:
        return sum(r.samples_out for r in self.done)

    def to_dict(self) -> dict[str, Any]:
        """The summary as a JSON-ready dictionary."""
        return {**asdict(self), "samples_in": self.samples_in, "samples_out": self.samples_out}


LOG_OPTIONS = frozenset(inspect.signature(transform_log).parameters) - {
    "config", "block", "input", "output", "progress"}
"""The keyword arguments of `transform_log` that `transform_logs` passes on."""
TABLE_OPTIONS = LOG_OPTIONS & frozenset(inspect.signature(transform_table_part).parameters)
"""Those that apply to a table too (a log with others set is never split)."""


def transform_logs(config: str | os.PathLike[str] | Any, kind: str,
                   inputs: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
                   output_dir: str | os.PathLike[str], *, split_rows: int | None = None,
                   retries: int = 2, progress: bool = False, **options: Any) -> LogsSummary:
    """Transforms many logs, one Dask task per log, into Parquet tables.

    Args:
        config: a JSON configuration file readable by every worker, or an
            OskaTfConfig.
        kind: the block kind as `oska-tf transform --block` names it.
        inputs: log files (tables, bags), or glob patterns of them, on any
            fsspec path ("run/*.parquet", "s3://fleet/2024-*/*.mcap"). A log
            that is not on the local file system is copied to the worker's
            temporary folder first.
        output_dir: the folder (any fsspec path) that receives, for each log,
            a Parquet table named after it (run.mcap -> run.parquet), written
            as `transform_log` writes it and moved into place only when
            complete.
        split_rows: a Parquet log on the local (or a shared) file system with
            more rows than this is transformed in parts of whole row groups of
            about this many rows, one task each, into a folder of the log's
            output name holding one Parquet file per part in order
            (part-00000.parquet, ...: one table for pyarrow, pandas and Dask).
            The rows come out as in a single run.
        retries: how often Dask runs a task again after an unexpected error
            (a log that cannot be used is not retried); a task whose worker
            died is run again elsewhere in any case.
        progress: show Dask's progress bar (with a distributed client, on a
            terminal).
        options: those of `transform_log` (topic, tf, tf_topic, tf_frames,
            columns, tf_columns, outside, max_gap, angular_acceleration,
            chunk_size).

    Returns the summary; a log that fails is listed there with the reason and
    does not stop the others. Raises only for arguments that cannot work for
    any log (an unknown kind or option).
    """
    started = time.monotonic()
    summary = LogsSummary()
    sources = expand_inputs(inputs, summary)
    fs, root = fsspec.core.url_to_fs(os.fspath(output_dir))
    fs.makedirs(root, exist_ok=True)
    pairs: list[tuple[str, str]] = []
    taken: dict[str, str] = {}
    for source in sources:
        name = _stem(source) + ".parquet"
        target = _join(fs, root, name)
        if name in taken:
            summary.failed.append(LogFailure(source, target, f"its output name {name} is that "
                                             f"of {taken[name]}: transform these logs into "
                                             "separate folders."))
            continue
        taken[name] = source
        pairs.append((source, target))
    return transform_pairs(config, kind, pairs, split_rows=split_rows, retries=retries,
                           progress=progress, summary=summary, started=started, **options)


def expand_inputs(inputs: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
                  summary: LogsSummary) -> list[str]:
    """The logs that `inputs` name, as paths or URLs; a pattern that matches
    nothing is listed as a failure."""
    given = [inputs] if isinstance(inputs, (str, os.PathLike)) else list(inputs)
    found: list[str] = []
    for item in (os.fspath(g) for g in given):
        if not glob.has_magic(item):
            found.append(item)
            continue
        fs, pattern = fsspec.core.url_to_fs(item)
        matches = sorted(fs.glob(pattern))
        if not matches:
            summary.failed.append(LogFailure(item, "", "no file matches this pattern."))
        local = _is_local(fs)
        found += [m if local else fs.unstrip_protocol(m) for m in matches]
    return found


def transform_pairs(config: str | os.PathLike[str] | Any, kind: str,
                    pairs: Sequence[tuple[str, str]], *, split_rows: int | None = None,
                    retries: int = 2, progress: bool = False,
                    summary: LogsSummary | None = None, started: float | None = None,
                    **options: Any) -> LogsSummary:
    """`transform_logs` for explicit (input, output) pairs: each output any
    path or URL that `transform_log` writes (a table, or a bag for a bag)."""
    started = time.monotonic() if started is None else started
    summary = LogsSummary() if summary is None else summary
    find_kind(kind)
    pairs = [(_absolute(source), _absolute(target)) for source, target in pairs]
    unknown = set(options) - LOG_OPTIONS
    if unknown:
        raise TypeError(f"transform_logs got unknown options {', '.join(sorted(unknown))}; "
                        f"it takes {', '.join(sorted(LOG_OPTIONS))}.")
    if split_rows is not None and split_rows < 1:
        raise OskaToolError(f"split_rows must be at least 1, not {split_rows}.")
    client = active_client()
    guard = client is None  # Dask's local schedulers stop at the first exception.
    table_options = {k: v for k, v in options.items() if k in TABLE_OPTIONS}
    splittable = not any(v for k, v in options.items() if k not in TABLE_OPTIONS)
    splits = (_plan_splits(pairs, split_rows) if split_rows is not None and splittable
              else [None] * len(pairs))
    tasks: list[Any] = []
    run = uuid.uuid4().hex[:8]
    for index, ((source, target), split) in enumerate(zip(pairs, splits)):
        name = f"{index}-{Path(target).name}"  # task names for the dashboard, unique
        if split is None:
            tasks.append(dask.delayed(_file_task, pure=False)(
                config, kind, source, target, options, guard,
                dask_key_name=f"oska-tf-{name}-{run}"))
            summary.tasks += 1
            continue
        folder = _temporary(target, run)
        parts = [dask.delayed(_part_task, pure=False)(
            config, kind, source, os.path.join(folder, f"part-{i:05d}.parquet"), part,
            table_options, guard, dask_key_name=f"oska-tf-{name}-part-{i}-{run}")
            for i, part in enumerate(split)]
        tasks.append(dask.delayed(_finish_parts, pure=False)(
            parts, source, target, folder, dask_key_name=f"oska-tf-{name}-{run}"))
        summary.tasks += len(parts)
    if client is None:
        outcomes = _compute_local(tasks, progress)
    else:
        outcomes = _compute_distributed(client, tasks, pairs, retries, progress)
    for outcome in outcomes:
        if isinstance(outcome, LogFailure):
            summary.failed.append(outcome)
        else:
            summary.done.append(outcome)
    _remove_leftovers([target for _, target in pairs])
    summary.seconds = time.monotonic() - started
    return summary


def active_client() -> distributed.Client | None:
    """The distributed Client that Dask would compute on now, or None (a local
    scheduler)."""
    from dask.base import get_scheduler

    client = getattr(get_scheduler(), "__self__", None)
    return client if isinstance(client, distributed.Client) else None


def _compute_local(tasks: list[Any], progress: bool) -> list[Any]:
    if progress and sys.stderr.isatty():
        from dask.diagnostics import ProgressBar

        with ProgressBar(out=sys.stderr):
            return list(dask.compute(*tasks))
    return list(dask.compute(*tasks))


def _compute_distributed(client: distributed.Client, tasks: list[Any],
                         pairs: Sequence[tuple[str, str]], retries: int,
                         progress: bool) -> list[Any]:
    futures = client.compute(tasks, retries=retries)
    if progress and sys.stdout.isatty():
        distributed.progress(futures)
    distributed.wait(futures)
    outcomes: list[Any] = []
    for (source, target), future in zip(pairs, futures):
        if future.status == "finished":
            outcomes.append(future.result())
            continue
        try:
            error = future.exception()
        except BaseException as e:  # a cancelled future has no exception to give
            error = e
        outcomes.append(LogFailure(source, target, _describe(error)))
    return outcomes


def _describe(error: BaseException | None) -> str:
    return f"{type(error).__name__}: {error}" if error is not None else "unknown error"


def _is_local(fs: Any) -> bool:
    from fsspec.implementations.local import LocalFileSystem

    return isinstance(fs, LocalFileSystem)


def _join(fs: Any, root: str, name: str) -> str:
    path = f"{root.rstrip('/')}/{name}"
    return path if _is_local(fs) else str(fs.unstrip_protocol(path))


def _stem(source: str) -> str:
    name = source.rstrip("/").rsplit("/", 1)[-1]
    return name.rsplit(".", 1)[0] if "." in name[1:] else name


def _temporary(target: str, run: str) -> str:
    """A temporary name beside `target` (an absolute path or a URL) that
    `_remove_leftovers` finds."""
    head, _, name = target.rpartition("/")
    return f"{head}/.{name}.{run}{TEMPORARY}"


def _absolute(path: str) -> str:
    """A local path made absolute (tasks may run in another folder); a URL as it is."""
    fs, stripped = fsspec.core.url_to_fs(path)
    return str(stripped) if _is_local(fs) else path


def _remove_leftovers(targets: list[str]) -> None:
    """Removes the temporary files of `targets` that a task whose worker died
    left beside them (named as AtomicOutput and `_temporary` name them): one
    listing per folder, however many logs it receives."""
    folders: dict[str, set[str]] = {}
    for target in targets:
        head, _, name = target.rpartition("/")
        folders.setdefault(head, set()).add(name)
    for head, names in folders.items():
        try:
            fs, path = fsspec.core.url_to_fs(head)
            for leftover in fs.glob(f"{path}/.*{TEMPORARY}"):
                name = leftover.rsplit("/", 1)[-1][1:].rsplit(".", 2)[0]
                if name in names:
                    fs.rm(leftover, recursive=True)
        except OSError:
            pass  # what cannot be removed stays, under a hidden name


def _guarded(work: Callable[[], TransformResult], source: str, target: str,
             guard: bool) -> TransformResult | LogFailure:
    """Runs one task's work. A log that cannot be used is a LogFailure; any
    other error is raised for Dask to retry and report, or made a LogFailure
    too under `guard`."""
    try:
        return work()
    except OskaToolError as e:
        return LogFailure(source, target, str(e))
    except Exception as e:
        if not guard:
            raise
        return LogFailure(source, target, _describe(e))


def _file_task(config: Any, kind: str, source: str, target: str, options: dict[str, Any],
               guard: bool) -> TransformResult | LogFailure:
    """One log into one output: the task of `transform_logs`."""
    def work() -> TransformResult:
        with _local_copy(source) as local_in, _local_output(target) as local_out:
            result = transform_log(config, kind, local_in, local_out, **options)
        return replace(result, input=source, output=target)
    return _guarded(work, source, target, guard)


@contextmanager
def _local_copy(source: str) -> Iterator[str]:
    fs, path = fsspec.core.url_to_fs(source)
    if _is_local(fs):
        yield path
        return
    with tempfile.TemporaryDirectory(prefix="oska-tf-") as scratch:
        local = os.path.join(scratch, path.rstrip("/").rsplit("/", 1)[-1])
        fs.get(path, local, recursive=fs.isdir(path))
        yield local


@contextmanager
def _local_output(target: str) -> Iterator[str]:
    """A local path to write `target` to: itself on the local file system;
    otherwise a temporary file, uploaded under a temporary name and moved onto
    `target` once written."""
    fs, path = fsspec.core.url_to_fs(target)
    if _is_local(fs):
        yield path
        return
    with tempfile.TemporaryDirectory(prefix="oska-tf-") as scratch:
        local = os.path.join(scratch, path.rsplit("/", 1)[-1])
        yield local
        uploading = _temporary(path, uuid.uuid4().hex[:8])
        folder = os.path.isdir(local)
        fs.put(local, uploading, recursive=folder)
        if fs.exists(path):
            fs.rm(path, recursive=True)
        fs.mv(uploading, path, recursive=folder)


def _plan_splits(pairs: Sequence[tuple[str, str]], split_rows: int
                 ) -> list[list[TablePart] | None]:
    """For each log, the parts to transform it in, or None for one task. The
    Parquet footers are read by Dask tasks, where the logs are."""
    plans = [dask.delayed(_row_group_rows, pure=False)(source)
             if table_format(source) == "parquet" and table_format(target) == "parquet"
             and _is_local(fsspec.core.url_to_fs(source)[0]) else None
             for source, target in pairs]
    computed = iter(dask.compute(*[p for p in plans if p is not None]))
    splits: list[list[TablePart] | None] = []
    for plan in plans:
        groups = next(computed) if plan is not None else None
        if not groups or sum(groups) <= split_rows:
            splits.append(None)
            continue
        parts, first, rows = [], 0, 0
        for g, count in enumerate(groups):
            rows += count
            if rows >= split_rows:
                parts.append(TablePart(first, g + 1))
                first, rows = g + 1, 0
        if first < len(groups):
            parts.append(TablePart(first, len(groups)))
        splits.append(parts if len(parts) > 1 else None)
    return splits


def _row_group_rows(source: str) -> list[int] | None:
    """The row counts of a Parquet file's row groups; None when it cannot be read
    (its own task then says why)."""
    try:
        import pyarrow.parquet as pq

        meta = pq.ParquetFile(source).metadata
        return [meta.row_group(g).num_rows for g in range(meta.num_row_groups)]
    except Exception:
        return None


def _part_task(config: Any, kind: str, source: str, target: str, part: TablePart,
               options: dict[str, Any], guard: bool) -> TransformResult | LogFailure:
    """Some row groups of a Parquet log into one part file of its output folder."""
    def work() -> TransformResult:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        return transform_table_part(config, kind, source, target, part, **options)
    return _guarded(work, source, target, guard)


def _finish_parts(parts: list[TransformResult | LogFailure], source: str, target: str,
                  folder: str) -> TransformResult | LogFailure:
    """Moves the folder of parts onto `target` when every part is written;
    otherwise removes it and gives the first part's failure."""
    failed = [p for p in parts if isinstance(p, LogFailure)]
    if failed:
        shutil.rmtree(folder, ignore_errors=True)
        return LogFailure(source, target, failed[0].reason)
    try:
        for leftover in Path(folder).glob(f".*{TEMPORARY}"):  # of a part whose worker died
            if leftover.is_dir():
                shutil.rmtree(leftover)
            else:
                leftover.unlink()
        old = f"{folder}.old"
        if os.path.lexists(target):
            os.replace(target, old)
        os.replace(folder, target)
        if os.path.isdir(old):
            shutil.rmtree(old)
        elif os.path.lexists(old):
            os.unlink(old)
    except OSError as e:
        shutil.rmtree(folder, ignore_errors=True)
        return LogFailure(source, target, f"the parts could not be moved into place: {e}")
    done = [p for p in parts if isinstance(p, TransformResult)]
    return TransformResult(source, target, done[0].block,
                           samples_in=sum(p.samples_in for p in done),
                           samples_out=sum(p.samples_out for p in done),
                           seconds=sum(p.seconds for p in done), transform=done[0].transform,
                           details={"parts": str(len(done))})


# ---------------------------------------------------------------- clusters ---

@contextmanager
def cluster(scheduler: str | None = None, workers: int | None = None
            ) -> Iterator[distributed.Client | None]:
    """A Client, made the active one while the context lasts: connected to the
    scheduler at `scheduler`, or to a local cluster of `workers` worker
    processes (one thread each, no dashboard) started for it and closed after;
    None, and nothing started, without either."""
    if scheduler is not None and workers is not None:
        raise OskaToolError("give a scheduler address or a number of workers, not both.")
    if scheduler is not None:
        try:
            client = distributed.Client(scheduler, timeout=30)
        except (OSError, TimeoutError) as e:
            raise OskaToolError(f"cannot reach the Dask scheduler at {scheduler}: {e}. Is it "
                                "running, and is the address tcp://HOST:PORT?") from None
        with client:
            yield client
    elif workers is not None:
        if workers < 1:
            raise OskaToolError(f"the number of workers must be at least 1, not {workers}.")
        # No dashboard; the scheduler's HTTP server (health, metrics) on a free
        # port of the loopback interface, so that clusters never compete for one.
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None,
                                      scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}
                                      ) as local, \
                distributed.Client(local) as client:
            yield client
    else:
        yield None


__all__ = ["LogFailure", "LogsSummary", "active_client", "cluster", "expand_inputs",
           "transform_array", "transform_dataframe", "transform_logs", "transform_pairs"]
