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

SIGINT, SIGTERM and SIGHUP (what a terminal, `timeout`, systemd, Slurm and
Kubernetes send) stop every output being written in the process, in any
thread, and remove its temporary file: while an `AtomicOutput` is open in the
main thread (or a `SignalGuard`, which the command line and the Dask entry
points hold for the whole run), such a signal raises `Interrupted` there. A
signal that the program handles itself is left to it.
"""

from __future__ import annotations

import os
import shutil
import signal
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
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


STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                     if hasattr(signal, name))
"""The signals that stop a run."""


class Interrupted(KeyboardInterrupt):
    """A run stopped by the signal `signal`; `written` says what stays written
    (the command line prints it and exits with 128 + the signal's number)."""

    def __init__(self, signum: int, written: str = "nothing was written") -> None:
        super().__init__(signal.Signals(signum).name)
        self.signal = signum
        self.written = written


class _Stopping:
    """What a signal stops, shared by the threads of the process."""

    def __init__(self) -> None:
        self.lock = threading.RLock()
        self.live: list[AtomicOutput] = []
        self.signal: int | None = None
        """The signal that stopped the run: no output is begun after it until
        the outermost SignalGuard is left."""
        self.depth = 0
        """How many SignalGuards the main thread holds."""
        self.deferred = 0
        self.pending: int | None = None
        self.runs: dict[str, int] = {}
        """The runs stopped by their client, and by which signal."""
        self.current = threading.local()
        """The run each thread writes for (`run_tag`)."""


_stopping = _Stopping()


@contextmanager
def run_tag(tag: str) -> Iterator[None]:
    """Tags the outputs that the block writes, in this thread, as those of the
    run `tag` (a Dask task of one `transform_logs` call), which `stop_tagged`
    stops."""
    _stopping.current.tag = tag
    try:
        yield
    finally:
        _stopping.current.tag = None


def stop_outputs(signum: int, which: Callable[[AtomicOutput], bool] = lambda _: True) -> None:
    """Stops the outputs being written in this process (those `which` picks):
    their temporary files are removed now, and the threads writing them raise
    Interrupted at their next chunk instead of committing them."""
    with _stopping.lock:
        for output in _stopping.live:
            if which(output):
                output.stopped = signum
                remove(output.path)


def stop_tagged(tag: str, signum: int) -> None:
    """Stops the outputs of the run `tag`, and refuses its outputs from now
    on: what a client asks of its Dask workers when it is interrupted."""
    with _stopping.lock:
        _stopping.runs[tag] = signum
        stop_outputs(signum, lambda o: o.tag == tag)


def stop_run(signum: int) -> None:
    """Stops every output of the process, and refuses new ones until the run
    ends (the outermost SignalGuard is left)."""
    _stopping.signal = signum
    stop_outputs(signum)


def settle(timeout: float = 10.0) -> None:
    """Waits, at most `timeout` seconds, until no output of this process is
    being written: the threads of a stopped run leave theirs at their next
    chunk."""
    deadline = time.monotonic() + timeout
    while _stopping.live and time.monotonic() < deadline:
        time.sleep(0.01)


def check_stopped() -> None:
    """Raises Interrupted in a thread whose output was stopped, or once a
    signal stopped the run: what a writer calls between chunks."""
    if _stopping.signal is not None:
        raise Interrupted(_stopping.signal)
    stopped = _stopping.runs.get(getattr(_stopping.current, "tag", None) or "")
    if stopped is not None:
        raise Interrupted(stopped)
    me = threading.get_ident()
    for output in list(_stopping.live):
        if output.thread == me and output.stopped is not None:
            raise Interrupted(output.stopped)


def _on_signal(signum: int, frame: Any) -> None:
    stop_run(signum)
    if _stopping.deferred:
        _stopping.pending = signum
        return
    raise Interrupted(signum)


def _main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


@contextmanager
def deferred_signals() -> Iterator[None]:
    """A stopping signal that arrives in the block stops the outputs at once
    but raises Interrupted only when the block ends: for cleaning up."""
    if not _main_thread():
        yield
        return
    _stopping.deferred += 1
    try:
        yield
    finally:
        _stopping.deferred -= 1
        pending = _stopping.pending
        if pending is not None and not _stopping.deferred:
            _stopping.pending = None
            raise Interrupted(pending)


class SignalGuard:
    """While it is held in the main thread, SIGINT, SIGTERM and SIGHUP stop
    the run (`stop_run`) and raise Interrupted, wherever the signal still has
    its default handling. The outermost guard restores the handlers when it
    is left and, with `die`, ends the process by SIGTERM or SIGHUP as the
    signal would have, once the outputs are removed (exit status 128 + the
    signal, no traceback); without `die` (the command line), Interrupted goes
    on to the caller."""

    def __init__(self, die: bool = True) -> None:
        self.die = die
        self.held = False
        self.outer = False
        self.saved: dict[int, Any] = {}
        """The handlers that the outermost guard replaced, restored when it is left."""

    def __enter__(self) -> SignalGuard:
        if not _main_thread():
            return self
        self.held, self.outer = True, _stopping.depth == 0
        if self.outer:
            _stopping.signal = None  # a new run
            for signum in STOP_SIGNALS:
                handler = signal.getsignal(signum)
                if handler in (signal.SIG_DFL, signal.default_int_handler):
                    self.saved[signum] = handler
                    signal.signal(signum, _on_signal)
        _stopping.depth += 1
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 tb: TracebackType | None) -> None:
        if not self.held:
            return
        self.held = False
        _stopping.depth -= 1
        if not self.outer:
            return
        saved, self.saved = self.saved, {}
        for signum, handler in saved.items():
            signal.signal(signum, handler)
        # The run is over: outputs begun from now on, in any thread, belong to
        # another run. Those stopped stay stopped (`check_stopped`), and the
        # tasks of a stopped Dask run are refused by its tag (`stop_tagged`).
        _stopping.signal = None
        if self.die and isinstance(error, Interrupted) \
                and saved.get(error.signal) is signal.SIG_DFL:
            signal.raise_signal(error.signal)


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
    names no other file) becomes an OutputError. A stopping signal removes it
    too, and it is never committed after one (see SignalGuard, which it
    holds while open). `inner` names the file that becomes `output` when the
    writer makes a folder around it (a single-file bag)."""

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
        self.thread = threading.get_ident()
        self.tag: str | None = getattr(_stopping.current, "tag", None)
        self.stopped: int | None = None
        """The signal that stopped this output, if one did."""
        self._guard = SignalGuard()

    def __enter__(self) -> AtomicOutput:
        self._guard.__enter__()
        try:
            check_stopped()  # no output is begun once a signal stopped the run
        except BaseException as e:
            self._guard.__exit__(type(e), e, None)
            raise
        with _stopping.lock:
            self.thread = threading.get_ident()
            _stopping.live.append(self)
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 tb: TracebackType | None) -> None:
        outcome = error
        try:
            self._finish(error)
        except BaseException as e:
            outcome = e
            raise
        finally:
            self._guard.__exit__(type(outcome) if outcome else None, outcome, None)

    def _finish(self, error: BaseException | None) -> None:
        with deferred_signals():  # what arrives now is handled once the file is gone
            try:
                with writing(self.output):
                    if error is None:
                        if self.stopped is not None:
                            raise Interrupted(self.stopped)
                        commit(self.inner if self.inner is not None else self.path,
                               self.output)
            except OutputError:
                if self.stopped is not None:  # its file was removed under it
                    raise Interrupted(self.stopped) from None
                raise
            finally:
                with _stopping.lock:
                    _stopping.live.remove(self)
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
