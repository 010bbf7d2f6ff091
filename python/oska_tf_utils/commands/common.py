"""What the commands of oska-tf share: exit codes in their help, the parser
that exits with the usage code, and the NAME=COLUMN mappings."""

from __future__ import annotations

import argparse
import sys
from typing import NoReturn

from ..errors import (EXIT_ERRORS, EXIT_INTERNAL, EXIT_MISSING_EXTRA, EXIT_OK, EXIT_USAGE,
                      EXIT_WARNINGS, INSTALL_LOGS)

FORMATTER = argparse.RawDescriptionHelpFormatter

EXIT_CODES = f"""\
exit codes:
  {EXIT_OK}   success; for check, no error and no warning (notes may be shown)
  {EXIT_WARNINGS}   check: warnings only (the library accepts the file, but it likely does not
      say what was meant)
  {EXIT_ERRORS}   errors: check found something the library refuses or that cannot work;
      transform, calibrate or plot could not use the configuration or the log (nothing
      was written)
  {EXIT_MISSING_EXTRA}   a package of the logs (or dask) extra is missing: {INSTALL_LOGS}
  {EXIT_USAGE}  the command line is wrong (see --help)
  {EXIT_INTERNAL}  an internal error of the tool (please report it with the traceback)
"""


class Parser(argparse.ArgumentParser):
    """An argument parser whose errors exit with the usage code."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def mapping(text: str) -> dict[str, str]:
    mapping: dict[str, str] = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        name, sep, column = item.partition("=")
        if not sep or not name or not column:
            raise argparse.ArgumentTypeError(f"{item!r} is not NAME=COLUMN")
        mapping[name.strip()] = column.strip()
    return mapping


def merge(given: list[dict[str, str]] | None) -> dict[str, str] | None:
    if not given:
        return None
    merged: dict[str, str] = {}
    for part in given:
        merged.update(part)
    return merged
