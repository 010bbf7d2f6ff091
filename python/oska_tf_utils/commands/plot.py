"""oska-tf plot: a log before and after its transform, against time."""

from __future__ import annotations

import argparse
from typing import Any

from ..errors import EXIT_OK
from ..kinds import kinds
from .common import EXIT_CODES, FORMATTER, mapping, merge

NAME = "plot"

EPILOG = f"""\
examples:
  oska-tf plot ft.csv ft_tool.csv --block wrench -o wrench.png
  oska-tf plot run.mcap run_tool.mcap --block wrench --topic /ft/wrench -o wrench.svg

{EXIT_CODES}"""


def add_parser(sub: Any) -> None:
    """Adds the plot command to the subparsers `sub`."""
    parser = sub.add_parser("plot", help="plot input and transformed components against time",
                            formatter_class=FORMATTER, epilog=EPILOG,
                            description="Draw INPUT (dashed) and OUTPUT (solid) against time, one "
                                        "panel per component group.")
    parser.add_argument("input", metavar="INPUT", help="the log before the transform")
    parser.add_argument("output", metavar="OUTPUT", help="the log after the transform")
    parser.add_argument("--block", required=True, choices=list(kinds()), help="the block kind")
    parser.add_argument("-o", "--figure", required=True, metavar="FIGURE",
                        help="the figure to write (.png, .svg, .pdf)")
    parser.add_argument("--topic", help="bag: the signal topic of INPUT")
    parser.add_argument("--output-topic", metavar="TOPIC",
                        help="bag: the topic of OUTPUT (default: TOPIC + _transformed)")
    parser.add_argument("--columns", type=mapping, action="append", metavar="NAME=COL,...",
                        help="column names of both tables for the names the tool uses")


def run(args: argparse.Namespace) -> int:
    """Draws the figure; returns the exit code."""
    from ..plot import plot_logs

    path = plot_logs(args.input, args.output, args.block, args.figure, topic=args.topic,
                     output_topic=args.output_topic, columns=merge(args.columns))
    print(f"{path}: written")
    return EXIT_OK
