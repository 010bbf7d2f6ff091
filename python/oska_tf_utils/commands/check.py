"""oska-tf check: what the library would make of a configuration file."""

from __future__ import annotations

import argparse
import json
from typing import Any

from .common import EXIT_CODES, FORMATTER

NAME = "check"

EPILOG = f"""\
Reads the file as the library does and reports, with the JSON path of each
finding: syntax errors (line and column), bytes that are not UTF-8, duplicate
keys (the library keeps the last), unknown keys (with the closest known one),
origins other than exactly "fixed_frame" or "moving_frame" (any other string
means the fixed frame), unknown policies (the library falls back to
best_effort), wrong types and short or long arrays, zero (or underflowing),
non-finite and non-unit quaternions, a pose section with its input axes on
"moving_frame", and entries left out (notes: the block will need them from
code). In the payload section, every value the library refuses at load: a
missing mass, center_of_mass, force_bias or torque_bias, a mass that is not a
number of at least 0, arrays of other than exactly 3 numbers (sensor_axes 4),
zero gravity and zero sensor_axes; and warns of non-unit sensor_axes and of
gravity whose magnitude is not Earth's.

examples:
  oska-tf check config.json
  oska-tf check config.json --json | jq '.[] | select(.severity == "error")'

{EXIT_CODES}"""


def add_parser(sub: Any) -> None:
    """Adds the check command to the subparsers `sub`."""
    parser = sub.add_parser("check", help="report what the library would make of a configuration",
                            formatter_class=FORMATTER, epilog=EPILOG,
                            description="Check a JSON configuration file as the library reads it.")
    parser.add_argument("config", metavar="CONFIG", help="the JSON configuration file")
    parser.add_argument("--json", action="store_true",
                        help="print the findings as a JSON list (severity, code, path, message, "
                             "line, column)")


def run(args: argparse.Namespace) -> int:
    """Prints the findings of CONFIG; the exit code says their worst severity."""
    from ..config_check import check_config, exit_code, format_findings

    findings = check_config(args.config)
    if args.json:
        print(json.dumps([f.to_dict() for f in findings], indent=2, ensure_ascii=False))
    else:
        print(format_findings(findings, args.config))
    return exit_code(findings)
