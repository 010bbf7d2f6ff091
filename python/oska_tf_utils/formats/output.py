"""Outputs that appear whole or not at all.

Every output of the tool, whatever its format and wherever it goes, is
written under a temporary name beside its final place and moved onto it only
when complete: `AtomicOutput` for a file or folder written in this process,
`commit` for a folder whose parts other processes wrote, `upload` for an
output on another file system. The temporary names share one pattern
(`temporary_name`), so that `remove_leftovers` finds what a killed process
left behind. Whatever the file system refuses on the way (a full disk, a
read-only one, a quota, a permission, a name too long) is an `OutputError`
that names the output and the cause.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from types import TracebackType
from typing import Any

from ..errors import OskaToolError, os_cause

TEMPORARY = ".oska-tf"
"""How every temporary output ends."""


class OutputError(OskaToolError):
    """An output that the file system does not let the tool write."""

    def __init__(self, output: str | os.PathLike[str], error: OSError) -> None:
        super().__init__(f"cannot write {os.fspath(output)}: {os_cause(error)}")
        self.output = os.fspath(output)
        self.error = error


@contextmanager
def writing(output: str | os.PathLike[str]) -> Iterator[None]:
    """Turns an OSError of the block into an OutputError about `output`."""
    try:
        yield
    except OSError as e:
        raise OutputError(output, e) from None


def temporary_name(name: str, tag: str) -> str:
    """The hidden name under which the output `name` is written, made unique by `tag`."""
    return f".{name}.{tag}{TEMPORARY}"


def owner(temporary: str) -> str | None:
    """The output name a temporary name belongs to; None for any other name."""
    if not (temporary.startswith(".") and temporary.endswith(TEMPORARY)):
        return None
    return temporary[1:].rsplit(".", 2)[0]


def same_file(a: str | os.PathLike[str], b: str | os.PathLike[str]) -> bool:
    """Whether two paths name the same file or folder, however spelled."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def refuse_overwriting_inputs(output: str | os.PathLike[str],
                              inputs: list[str | os.PathLike[str] | None]) -> None:
    """Refuses an output that is one of the inputs, or inside an input folder."""
    for given in inputs:
        if given is None:
            continue
        inside = Path(given).is_dir() and Path(output).resolve().is_relative_to(
            Path(given).resolve())
        if inside or same_file(given, output):
            raise OskaToolError(f"the output {os.fspath(output)} is the same file as the input "
                                f"{os.fspath(given)}" + (" or inside it" if inside else "")
                                + "; the tool never writes over its input. Choose another "
                                "output path.")


def commit(made: Path, output: Path) -> None:
    """Moves a finished file or folder onto `output`, replacing what was there.
    A folder replaces a folder by two renames, the old one removed after."""
    if made.is_dir() and (output.is_dir() or output.is_symlink() or output.exists()):
        old = made.with_name(made.name + ".old")
        os.replace(output, old)
        os.replace(made, output)
        remove(old)
    else:
        os.replace(made, output)


def remove(path: Path) -> None:
    """Removes a file or a folder tree, if it is there (what cannot be removed
    stays, under its hidden name)."""
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            path.unlink(missing_ok=True)
        except OSError:
            pass


class AtomicOutput:
    """A temporary path beside `output`, moved onto it only on success.

    On failure the temporary file or folder is removed and an existing output
    is left as it was; an OSError of the block about the output (one that
    names no other file) becomes an OutputError. `inner` names the file that
    becomes `output` when the writer makes a folder around it (a single-file
    bag)."""

    def __init__(self, output: str | os.PathLike[str]) -> None:
        self.output = Path(output)
        with writing(self.output):
            directory = self.output.parent
            if not directory.is_dir():
                raise OskaToolError(f"cannot write {self.output}: the folder {directory} does "
                                    "not exist.")
            if self.output.is_dir() and not self.output.joinpath("metadata.yaml").exists():
                raise OskaToolError(f"cannot write {self.output}: it is a folder, not a log.")
            handle, name = tempfile.mkstemp(prefix=f".{self.output.name}.", suffix=TEMPORARY,
                                            dir=directory)
            os.close(handle)
            os.unlink(name)  # writers create it themselves; the name stays ours
        self.path = Path(name)
        self.inner: Path | None = None

    def __enter__(self) -> AtomicOutput:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 tb: TracebackType | None) -> None:
        try:
            with writing(self.output):
                if error is None:
                    commit(self.inner if self.inner is not None else self.path, self.output)
        finally:
            remove(self.path)
        if isinstance(error, OSError) and self._about_output(error):
            raise OutputError(self.output, error) from None

    def _about_output(self, error: OSError) -> bool:
        """Whether an OSError is about this output: it names no other file."""
        for name in (error.filename, error.filename2):
            if isinstance(name, (str, bytes, os.PathLike)):
                path = Path(os.fsdecode(name))
                if path not in (self.output, self.path) and self.path not in path.parents:
                    return False
        return True


def upload(fs: Any, local: str, path: str, tag: str) -> None:
    """Puts the local file or folder `local` onto `path` of the fsspec file
    system `fs`: uploaded under a temporary name beside it, then moved."""
    head, _, name = path.rpartition("/")
    uploading = f"{head}/{temporary_name(name, tag)}"
    folder = os.path.isdir(local)
    fs.put(local, uploading, recursive=folder)
    if fs.exists(path):
        fs.rm(path, recursive=True)
    fs.mv(uploading, path, recursive=folder)


def remove_leftovers(fs: Any, folder: str, names: set[str]) -> None:
    """Removes from `folder` of the fsspec file system `fs` the temporary
    outputs of `names` that a process killed while writing left behind."""
    try:
        for leftover in fs.glob(f"{folder}/.*{TEMPORARY}"):
            if owner(leftover.rsplit("/", 1)[-1]) in names:
                fs.rm(leftover, recursive=True)
    except OSError:
        pass  # what cannot be removed stays, under a hidden name
