"""The tasks of `transform_logs`, as they run on the workers: a log into its
output, some row groups of a Parquet log into a part, the parts into place."""

from __future__ import annotations

import os
import signal
import tempfile
import uuid
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import fsspec

from ..chunks import TransformResult
from ..errors import OskaToolError
from ..formats.output import (TEMPORARY, Interrupted, OutputError, check_stopped, commit, owner,
                              remove, run_tag, upload, writing)
from ..options import log_options
from ..transform import TablePart, log_job, transform_table_part


@dataclass
class LogFailure:
    """A log that could not be transformed, and why."""

    input: str
    output: str
    reason: str


def describe(error: BaseException | None) -> str:
    return f"{type(error).__name__}: {error}" if error is not None else "unknown error"


def is_local(fs: Any) -> bool:
    from fsspec.implementations.local import LocalFileSystem

    return isinstance(fs, LocalFileSystem)


def _guarded(work: Callable[[], TransformResult], source: str, target: str,
             guard: bool, run: str) -> TransformResult | LogFailure:
    """Runs one task's work. A log that cannot be used is a LogFailure, and so
    is an output that its client's signal stopped (the task ends as a task
    does, its output removed); any other error is raised for Dask to retry
    and report, or made a LogFailure too under `guard`."""
    try:
        with run_tag(run):
            check_stopped()  # a task begun after its run was stopped
            return work()
    except OskaToolError as e:
        return LogFailure(source, target, str(e))
    except Interrupted as e:
        return LogFailure(source, target, f"interrupted by {signal.Signals(e.signal).name}")
    except Exception as e:
        if not guard:
            raise
        return LogFailure(source, target, describe(e))


def file_task(config: Any, kind: str, source: str, target: str, options: dict[str, Any],
              guard: bool, run: str) -> TransformResult | LogFailure:
    """One log into one output: the task of `transform_logs` whose run is `run`."""
    def work() -> TransformResult:
        with _local_copy(source) as local_in, _local_output(target) as local_out:
            result = log_job(config, kind, local_in, local_out, log_options(options))
        return replace(result, input=source, output=target)
    return _guarded(work, source, target, guard, run)


@contextmanager
def _local_copy(source: str) -> Iterator[str]:
    fs, path = fsspec.core.url_to_fs(source)
    if is_local(fs):
        yield path
        return
    with tempfile.TemporaryDirectory(prefix="oska-tf-") as scratch:
        local = os.path.join(scratch, path.rstrip("/").rsplit("/", 1)[-1])
        fs.get(path, local, recursive=fs.isdir(path))
        yield local


@contextmanager
def _local_output(target: str) -> Iterator[str]:
    """A local path to write `target` to: itself on the local file system;
    otherwise a temporary file, uploaded once written (see `upload`)."""
    fs, path = fsspec.core.url_to_fs(target)
    if is_local(fs):
        yield path
        return
    with tempfile.TemporaryDirectory(prefix="oska-tf-") as scratch:
        local = os.path.join(scratch, path.rsplit("/", 1)[-1])
        yield local
        upload(fs, local, path, uuid.uuid4().hex[:8])


def row_group_rows(source: str) -> list[int] | None:
    """The row counts of a Parquet file's row groups; None when it cannot be read
    (its own task then says why)."""
    try:
        import pyarrow.parquet as pq

        meta = pq.ParquetFile(source).metadata
        return [meta.row_group(g).num_rows for g in range(meta.num_row_groups)]
    except Exception:
        return None


def part_task(config: Any, kind: str, source: str, target: str, part: TablePart,
              options: dict[str, Any], guard: bool, run: str) -> TransformResult | LogFailure:
    """Some row groups of a Parquet log into one part file of its output folder."""
    folder = os.path.dirname(target)
    output = os.path.join(os.path.dirname(folder),
                          owner(os.path.basename(folder)) or os.path.basename(folder))

    def work() -> TransformResult:
        try:
            with writing(output):
                os.makedirs(folder, exist_ok=True)
            return transform_table_part(config, kind, source, target, part, **options)
        except OutputError as e:  # named after the log's output, not the part's
            raise OutputError(output, e.error) from None
    return _guarded(work, source, target, guard, run)


def finish_parts(parts: list[TransformResult | LogFailure], source: str, target: str,
                 folder: str) -> TransformResult | LogFailure:
    """Moves the folder of parts onto `target` when every part is written;
    otherwise removes it and gives the first part's failure."""
    failed = [p for p in parts if isinstance(p, LogFailure)]
    if failed:
        remove(Path(folder))
        return LogFailure(source, target, failed[0].reason)
    try:
        for leftover in Path(folder).glob(f".*{TEMPORARY}"):  # of a part whose worker died
            remove(leftover)
        commit(Path(folder), Path(target))
    except OSError as e:
        remove(Path(folder))
        return LogFailure(source, target, str(OutputError(target, e)))
    done = [p for p in parts if isinstance(p, TransformResult)]
    quaternions = None
    for p in done:  # one report for the log
        quaternions = p.quaternions if quaternions is None else quaternions.merged(p.quaternions)
    return TransformResult(source, target, done[0].block,
                           samples_in=sum(p.samples_in for p in done),
                           samples_out=sum(p.samples_out for p in done),
                           seconds=sum(p.seconds for p in done), transform=done[0].transform,
                           details={"parts": str(len(done))},
                           quaternions=quaternions)
