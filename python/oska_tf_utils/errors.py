"""The errors the tool reports to a person, and the exit codes they map to."""

from __future__ import annotations

import os

EXIT_OK = 0
EXIT_WARNINGS = 1
EXIT_ERRORS = 2
EXIT_MISSING_EXTRA = 3
EXIT_USAGE = 64
EXIT_INTERNAL = 70

INSTALL_LOGS = 'pip install "oska-tf-utils[logs]"'
INSTALL_DASK = 'pip install "oska-tf-utils[logs,dask]"'


class OskaToolError(Exception):
    """A configuration or log the tool cannot use. The message is one paragraph
    that says what is wrong and what to do; the command exits with `exit_code`."""

    exit_code = EXIT_ERRORS


class OskaToolWarning(UserWarning):
    """Something in a log that the tool used as given but that is most likely
    not what was meant (transform quaternions that are not unit): one line
    per log, which the command prints on standard error."""


class MissingExtraError(OskaToolError):
    """A module of the logs extra (or of the dask extra) is not installed."""

    exit_code = EXIT_MISSING_EXTRA

    def __init__(self, module: str, purpose: str, install: str = INSTALL_LOGS) -> None:
        super().__init__(
            f"{purpose} needs the Python package {module!r}, which is not installed. "
            f"Install the tool's dependencies for it with: {install}")
        self.module = module


def require(module: str, purpose: str, install: str = INSTALL_LOGS) -> None:
    """Raises MissingExtraError when `module` cannot be imported."""
    import importlib

    try:
        importlib.import_module(module)
    except ImportError:
        raise MissingExtraError(module, purpose, install) from None


def os_cause(error: OSError) -> str:
    """What an OSError says went wrong, as the end of a sentence: "no space
    left on device", "read-only file system", "permission denied"."""
    text = os.strerror(error.errno) if error.errno else (error.strerror or str(error)
                                                         or type(error).__name__)
    return text[:1].lower() + text[1:]
