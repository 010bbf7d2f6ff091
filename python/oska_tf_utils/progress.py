"""A progress bar on standard error for work that takes more than a second.

It shows only when standard error is a terminal and the caller did not ask
for quiet, and only once the work has run for a second, so short runs and
piped output stay clean.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from types import TracebackType
from typing import Any

SHOW_AFTER_S = 1.0


class Progress:
    """Counts work done out of `total` (None when unknown, or a function that
    counts it, called only when the bar shows) in `unit`s."""

    def __init__(self, description: str, total: int | None | Callable[[], int], unit: str,
                 enabled: bool) -> None:
        self.description = description
        self.total = total
        self.unit = unit
        self.enabled = enabled and sys.stderr.isatty()
        self._start = time.monotonic()
        self._bar: Any = None
        self._task: Any = None

    def update(self, done: int) -> None:
        """Reports `done` units so far."""
        if not self.enabled:
            return
        if self._bar is None:
            if time.monotonic() - self._start < SHOW_AFTER_S:
                return
            self._open()
            if self._bar is None:
                return
        self._bar.update(self._task, completed=done)

    def _open(self) -> None:
        try:
            from rich.console import Console
            from rich.progress import (BarColumn, Progress as Bar, TaskProgressColumn,
                                       TextColumn, TimeElapsedColumn, TimeRemainingColumn)
        except ImportError:
            self.enabled = False
            return
        self._bar = Bar(TextColumn("{task.description}"), BarColumn(), TaskProgressColumn(),
                        TextColumn("{task.completed:,} {task.fields[unit]}"),
                        TimeElapsedColumn(), TimeRemainingColumn(),
                        console=Console(stderr=True), transient=True)
        self._bar.start()
        total = self.total() if callable(self.total) else self.total
        self._task = self._bar.add_task(self.description, total=total, unit=self.unit)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.stop()
            self._bar = None

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()
