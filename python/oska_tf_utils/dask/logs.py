"""Many log files through the pipeline, one Dask task per log (or per part of one)."""

from __future__ import annotations

import glob
import os
import signal
import sys
import time
import uuid
import warnings
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any

import dask
import distributed
import fsspec

from ..chunks import TransformResult
from ..errors import OskaToolWarning
from ..formats.output import (Interrupted, SignalGuard, deferred_signals, remove_leftovers, settle,
                              stop_run, stop_tagged, temporary_name, writing)
from ..formats.tables import table_format
from ..kinds import kind as find_kind
from ..options import TABLE_OPTIONS, check_count, check_flag, log_options
from ..transform import TablePart
from .clusters import active_client
from .tasks import (LogFailure, describe, file_task, finish_parts, is_local, part_task,
                    row_group_rows)

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


def transform_logs(config: str | os.PathLike[str] | Any, kind: str,
                   inputs: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
                   output_dir: str | os.PathLike[str], *, split_rows: int | None = None,
                   retries: int = 2, progress: bool = False, **options: Any) -> LogsSummary:
    """Transforms many logs, one Dask task per log, into Parquet tables.

    Args:
        config: a JSON configuration file readable by every worker, or the
            kind's record (OskaTfConfig, OskaPayloadConfig).
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
    any log (an unknown kind or option, a value an option does not take),
    before anything is read or written.
    """
    started = time.monotonic()
    _check_arguments(kind, split_rows, retries, progress, options, "transform_logs")
    summary = LogsSummary()
    sources = expand_inputs(inputs, summary)
    fs, root = fsspec.core.url_to_fs(os.fspath(output_dir))
    with writing(output_dir):
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
        local = is_local(fs)
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
    _check_arguments(kind, split_rows, retries, progress, options, "transform_pairs")
    pairs = [(_absolute(source), _absolute(target)) for source, target in pairs]
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
            tasks.append(dask.delayed(file_task, pure=False)(
                config, kind, source, target, options, guard, run,
                dask_key_name=f"oska-tf-{name}-{run}"))
            summary.tasks += 1
            continue
        folder = _temporary(target, run)
        parts = [dask.delayed(part_task, pure=False)(
            config, kind, source, os.path.join(folder, f"part-{i:05d}.parquet"), part,
            table_options, guard, run, dask_key_name=f"oska-tf-{name}-part-{i}-{run}")
            for i, part in enumerate(split)]
        tasks.append(dask.delayed(finish_parts, pure=False)(
            parts, source, target, folder, dask_key_name=f"oska-tf-{name}-{run}"))
        summary.tasks += len(parts)
    targets = [target for _, target in pairs]
    with SignalGuard():  # a signal stops the outputs, whoever writes them
        try:
            if client is None:
                outcomes = _compute_local(tasks, progress)
            else:
                outcomes = _compute_distributed(client, tasks, pairs, retries, progress, run)
        except KeyboardInterrupt as e:
            signum = e.signal if isinstance(e, Interrupted) else signal.SIGINT
            with deferred_signals():
                stop_run(signum)  # the outputs of Dask's threads in this process
                stop_tagged(run, signum)  # and the tasks of this run that begin later
                settle()
                _remove_leftovers(targets)
            raise Interrupted(signum, "the logs finished before it stay written, and no other "
                                      "output is left") from None
    for outcome in outcomes:
        if isinstance(outcome, LogFailure):
            summary.failed.append(outcome)
        else:
            summary.done.append(outcome)
            for line in outcome.warnings:  # here, where the caller sees them
                warnings.warn(f"{outcome.input}: {line}", OskaToolWarning, stacklevel=2)
    _remove_leftovers(targets)
    summary.seconds = time.monotonic() - started
    return summary


def _check_arguments(kind: str, split_rows: int | None, retries: int, progress: bool,
                     options: dict[str, Any], caller: str) -> None:
    """Refuses, before any log is read, what cannot work for any log."""
    find_kind(kind)
    log_options(options, caller)
    if split_rows is not None:
        check_count("split_rows", split_rows, 1, "rows per task, or None")
    check_count("retries", retries, 0, "how often a task is run again")
    check_flag("progress", progress)


def _compute_local(tasks: list[Any], progress: bool) -> list[Any]:
    if progress and sys.stderr.isatty():
        from dask.diagnostics import ProgressBar

        with ProgressBar(out=sys.stderr):
            return list(dask.compute(*tasks))
    return list(dask.compute(*tasks))


def _compute_distributed(client: distributed.Client, tasks: list[Any],
                         pairs: Sequence[tuple[str, str]], retries: int,
                         progress: bool, run: str) -> list[Any]:
    """The outcome of each task on the cluster. When the run is interrupted,
    its tasks are cancelled and the workers stop the outputs of the run `run`
    (those being written are removed, and no other is begun)."""
    futures = client.compute(tasks, retries=retries)
    try:
        if progress and sys.stdout.isatty():
            distributed.progress(futures)
        distributed.wait(futures)
    except KeyboardInterrupt as e:
        with deferred_signals():
            client.cancel(futures)
            client.run(stop_tagged, run, e.signal if isinstance(e, Interrupted)
                       else signal.SIGINT, on_error="ignore")
        raise
    outcomes: list[Any] = []
    for (source, target), future in zip(pairs, futures):
        if future.status == "finished":
            outcomes.append(future.result())
            continue
        try:
            error = future.exception()
        except BaseException as e:  # a cancelled future has no exception to give
            error = e
        outcomes.append(LogFailure(source, target, describe(error)))
    return outcomes


def _join(fs: Any, root: str, name: str) -> str:
    path = f"{root.rstrip('/')}/{name}"
    return path if is_local(fs) else str(fs.unstrip_protocol(path))


def _stem(source: str) -> str:
    name = source.rstrip("/").rsplit("/", 1)[-1]
    return name.rsplit(".", 1)[0] if "." in name[1:] else name


def _temporary(target: str, run: str) -> str:
    """The temporary folder beside `target` (an absolute path or a URL) that
    receives its parts."""
    head, _, name = target.rpartition("/")
    return f"{head}/{temporary_name(name, run)}"


def _remove_leftovers(targets: list[str]) -> None:
    """Removes the temporary files of `targets` that a task whose worker died
    left beside them: one listing per folder, however many logs it receives."""
    folders: dict[str, set[str]] = {}
    for target in targets:
        head, _, name = target.rpartition("/")
        folders.setdefault(head, set()).add(name)
    for head, names in folders.items():
        try:
            fs, path = fsspec.core.url_to_fs(head)
        except OSError:
            continue
        remove_leftovers(fs, path, names)


def _absolute(path: str) -> str:
    """A local path made absolute (tasks may run in another folder); a URL as it is."""
    fs, stripped = fsspec.core.url_to_fs(path)
    return str(stripped) if is_local(fs) else path


def _plan_splits(pairs: Sequence[tuple[str, str]], split_rows: int
                 ) -> list[list[TablePart] | None]:
    """For each log, the parts to transform it in, or None for one task. The
    Parquet footers are read by Dask tasks, where the logs are."""
    plans = [dask.delayed(row_group_rows, pure=False)(source)
             if table_format(source) == "parquet" and table_format(target) == "parquet"
             and is_local(fsspec.core.url_to_fs(source)[0]) else None
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
