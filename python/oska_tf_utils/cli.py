"""The oska-tf command: check configurations, transform recorded logs, plot them."""

from __future__ import annotations

import argparse
import glob
import json
import logging
import sys
from collections.abc import Sequence
from typing import Any, NoReturn

from .errors import (EXIT_ERRORS, EXIT_INTERNAL, EXIT_MISSING_EXTRA, EXIT_OK, EXIT_USAGE,
                     EXIT_WARNINGS, INSTALL_DASK, INSTALL_LOGS, OskaToolError)
from .kinds import kinds

EXIT_CODES = f"""\
exit codes:
  {EXIT_OK}   success; for check, no error and no warning (notes may be shown)
  {EXIT_WARNINGS}   check: warnings only (the library accepts the file, but it likely does not
      say what was meant)
  {EXIT_ERRORS}   errors: check found something the library refuses or that cannot work;
      transform or plot could not use the configuration or the log (nothing
      was written)
  {EXIT_MISSING_EXTRA}   a package of the logs (or dask) extra is missing: {INSTALL_LOGS}
  {EXIT_USAGE}  the command line is wrong (see --help)
  {EXIT_INTERNAL}  an internal error of the tool (please report it with the traceback)
"""

MAIN_EPILOG = f"""\
examples:
  oska-tf check config.json
  oska-tf transform config.json --block wrench log.parquet -o tool_wrench.parquet
  oska-tf transform config.json --block wrench run.mcap --topic /ft_sensor/wrench \\
      --tf-frames base_link flange -o run_tool.mcap
  oska-tf plot log.parquet tool_wrench.parquet --block wrench -o wrench.png

{EXIT_CODES}"""

CHECK_EPILOG = f"""\
Reads the file as the library does and reports, with the JSON path of each
finding: syntax errors (line and column), bytes that are not UTF-8, duplicate
keys (the library keeps the last), unknown keys (with the closest known one),
origins other than exactly "fixed_frame" or "moving_frame" (any other string
means the fixed frame), unknown policies (the library falls back to
best_effort), wrong types and short or long arrays, zero, non-finite and
non-unit quaternions, a pose section with its input axes on "moving_frame",
and entries left out (notes: the block will need them from code).

examples:
  oska-tf check config.json
  oska-tf check config.json --json | jq '.[] | select(.severity == "error")'

{EXIT_CODES}"""

TRANSFORM_EPILOG = f"""\
tables (.csv with a header row, .parquet): one row per sample; time in column
t (seconds) or t_ns (integer nanoseconds); signal columns by block:
{chr(10).join(f"  {k.signal:<7} {' '.join(k.components)}" for k in kinds().values())}
When the configuration puts an entry on "moving_frame", the fixed-to-moving
transform comes from columns tf_tx tf_ty tf_tz tf_qw tf_qx tf_qy tf_qz of the
same table, or from --tf FILE (a table with t or t_ns and tx ty tz qw qx qy qz,
interpolated at the samples' stamps: linear in translation, spherical linear
in rotation). The output has the input's columns in the same order, with the
signal values replaced and every other column unchanged.

bags (.mcap, .db3, a rosbag2 folder, ROS 1 .bag): --topic names the signal
(geometry_msgs WrenchStamped, TwistStamped, AccelStamped (as a twist),
PoseStamped, sensor_msgs Imu); the transform comes from --tf-topic
(PoseStamped or TransformStamped) or from /tf with --tf-frames PARENT CHILD
(/tf_static too). The output is a bag by its extension (.mcap, .db3, .bag,
else a rosbag2 folder) with the topic --output-topic (default: the input
topic + "_transformed"), or a table (.parquet, .csv) with t_ns and the signal
columns.

The output is written beside OUTPUT under a temporary name and renamed only
on success; an input is never overwritten.

several logs: several INPUTs, or glob patterns (quoted: "logs/*.mcap"), on
any fsspec path; OUTPUT is then a folder that receives a Parquet table named
after each log (run.mcap -> run.parquet). A log that fails is reported and
does not stop the others (exit code 2 if any failed). --scheduler ADDRESS
runs the logs as tasks on a running Dask cluster, --workers N on a local
cluster of N processes started for the command; without either they run in
this process (several logs on Dask's local threads). Needs the dask extra:
{INSTALL_DASK}

examples:
  oska-tf transform config.json --block wrench ft.csv -o ft_tool.csv
  oska-tf transform config.json --block imu imu.parquet --tf mocap.csv \\
      --outside drop --max-gap 0.05 --angular-acceleration central -o imu_com.parquet
  oska-tf transform config.json --block wrench ft.csv --columns fx=Fx,fy=Fy -o out.csv
  oska-tf transform config.json --block twist run.mcap --topic /ee/twist \\
      --tf-topic /mocap/flange -o twist_tool.parquet
  oska-tf transform config.json --block wrench "fleet/*.parquet" -o out/ --workers 2
  oska-tf transform config.json --block imu "s3://fleet/2024-*/*.mcap" --topic /imu \\
      --tf-frames base_link imu -o out/ --scheduler tcp://scheduler:8786

{EXIT_CODES}"""

PLOT_EPILOG = f"""\
examples:
  oska-tf plot ft.csv ft_tool.csv --block wrench -o wrench.png
  oska-tf plot run.mcap run_tool.mcap --block wrench --topic /ft/wrench -o wrench.svg

{EXIT_CODES}"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _mapping(text: str) -> dict[str, str]:
    mapping: dict[str, str] = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        name, sep, column = item.partition("=")
        if not sep or not name or not column:
            raise argparse.ArgumentTypeError(f"{item!r} is not NAME=COLUMN")
        mapping[name.strip()] = column.strip()
    return mapping


def _merge(given: list[dict[str, str]] | None) -> dict[str, str] | None:
    if not given:
        return None
    merged: dict[str, str] = {}
    for part in given:
        merged.update(part)
    return merged


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("oska-tf-utils")
    except PackageNotFoundError:
        return "unknown (not installed)"


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of oska-tf."""
    formatter = argparse.RawDescriptionHelpFormatter
    parser = _Parser(prog="oska-tf", formatter_class=formatter, epilog=MAIN_EPILOG,
                     description="Check OskaTfUtils configurations and transform recorded "
                                 "robot logs (tables and ROS bags) with its blocks.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_Parser)
    blocks = list(kinds())

    check = sub.add_parser("check", help="report what the library would make of a configuration",
                           formatter_class=formatter, epilog=CHECK_EPILOG,
                           description="Check a JSON configuration file as the library reads it.")
    check.add_argument("config", metavar="CONFIG", help="the JSON configuration file")
    check.add_argument("--json", action="store_true",
                       help="print the findings as a JSON list (severity, code, path, message, "
                            "line, column)")

    transform = sub.add_parser("transform", help="transform every sample of a recorded log",
                               formatter_class=formatter, epilog=TRANSFORM_EPILOG,
                               description="Build a block from CONFIG and transform every "
                                           "sample of INPUT with it into OUTPUT.")
    transform.add_argument("config", metavar="CONFIG", help="the JSON configuration file")
    transform.add_argument("input", metavar="INPUT", nargs="+",
                           help="the log: a table or a bag; or several, or glob patterns, "
                                "with OUTPUT a folder")
    transform.add_argument("--block", required=True, choices=blocks,
                           help="the block kind (its section of CONFIG)")
    transform.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                           help="the transformed log (format by extension)")
    transform.add_argument("--tf", metavar="FILE",
                           help="a table of the fixed-to-moving transform (t or t_ns, tx ty tz "
                                "qw qx qy qz)")
    transform.add_argument("--columns", type=_mapping, action="append", metavar="NAME=COL,...",
                           help="column names of INPUT for the names the tool uses (fx, t, t_ns, "
                                "tf_tx, ...); repeatable")
    transform.add_argument("--tf-columns", type=_mapping, action="append",
                           metavar="NAME=COL,...", help="the same for the --tf table")
    transform.add_argument("--topic", help="bag: the signal topic")
    transform.add_argument("--tf-topic", metavar="TOPIC",
                           help="bag: a PoseStamped or TransformStamped topic of the transform")
    transform.add_argument("--tf-frames", nargs=2, metavar=("PARENT", "CHILD"),
                           help="bag: take the transform from /tf (or /tf_static), parent to child")
    transform.add_argument("--output-topic", metavar="TOPIC",
                           help="bag output: the topic (default: the input topic + _transformed)")
    transform.add_argument("--output-frame", metavar="FRAME",
                           help="bag output: the header frame_id (default: the frame of the "
                                "output axes, from the transform's frame names)")
    transform.add_argument("--outside", choices=("error", "drop", "hold"), default="error",
                           help="samples before the first or after the last transform stamp: "
                                "refuse (default), drop them, or hold the first or last transform")
    transform.add_argument("--max-gap", type=float, metavar="SECONDS",
                           help="refuse to interpolate across a longer gap in the transform")
    transform.add_argument("--angular-acceleration", choices=("none", "central", "backward"),
                           default="none",
                           help="derive the angular acceleration from the angular rate for the "
                                "tangential term (imu); at the log's ends the one-sided "
                                "difference (default: none, the block's own formula)")
    transform.add_argument("--chunk-size", type=int, default=131_072, metavar="ROWS",
                           help="samples per chunk (memory; the result does not depend on it; "
                                "default 131072)")
    where = transform.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster whose scheduler is at ADDRESS "
                            "(tcp://HOST:PORT), one task per log")
    where.add_argument("--workers", type=int, metavar="N",
                       help="run on a local Dask cluster of N worker processes, one task per log")
    transform.add_argument("--split-rows", type=int, metavar="ROWS",
                           help="several logs: a Parquet log of more rows than this runs as "
                                "tasks of whole row groups, into a folder of parts")
    transform.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    transform.add_argument("--json", action="store_true", help="print the summary as JSON")

    plot = sub.add_parser("plot", help="plot input and transformed components against time",
                          formatter_class=formatter, epilog=PLOT_EPILOG,
                          description="Draw INPUT (dashed) and OUTPUT (solid) against time, one "
                                      "panel per component group.")
    plot.add_argument("input", metavar="INPUT", help="the log before the transform")
    plot.add_argument("output", metavar="OUTPUT", help="the log after the transform")
    plot.add_argument("--block", required=True, choices=blocks, help="the block kind")
    plot.add_argument("-o", "--figure", required=True, metavar="FIGURE",
                      help="the figure to write (.png, .svg, .pdf)")
    plot.add_argument("--topic", help="bag: the signal topic of INPUT")
    plot.add_argument("--output-topic", metavar="TOPIC",
                      help="bag: the topic of OUTPUT (default: TOPIC + _transformed)")
    plot.add_argument("--columns", type=_mapping, action="append", metavar="NAME=COL,...",
                      help="column names of both tables for the names the tool uses")
    return parser


def _check(args: argparse.Namespace) -> int:
    from .config_check import check_config, exit_code, format_findings

    findings = check_config(args.config)
    if args.json:
        print(json.dumps([f.to_dict() for f in findings], indent=2, ensure_ascii=False))
    else:
        print(format_findings(findings, args.config))
    return exit_code(findings)


def _transform(args: argparse.Namespace) -> int:
    from .transform import transform_log

    options: dict[str, Any] = dict(
        topic=args.topic, output_topic=args.output_topic, output_frame=args.output_frame,
        tf=args.tf, tf_topic=args.tf_topic,
        tf_frames=tuple(args.tf_frames) if args.tf_frames else None,
        columns=_merge(args.columns), tf_columns=_merge(args.tf_columns), outside=args.outside,
        max_gap=args.max_gap, angular_acceleration=args.angular_acceleration,
        chunk_size=args.chunk_size)
    one = len(args.input) == 1 and not glob.has_magic(args.input[0])
    if not one or args.scheduler or args.workers is not None:
        return _transform_many(args, one, options)
    result = transform_log(args.config, args.block, args.input[0], args.output,
                           progress=not args.quiet, **options)
    if args.json:
        print(json.dumps(result.to_dict(), indent=2))
        return EXIT_OK
    rate = result.samples_in / result.seconds if result.seconds > 0 else float("inf")
    dropped = result.samples_in - result.samples_out
    print(f"{result.output}: {result.samples_out} {result.block} samples written"
          + (f" ({dropped} outside the transform dropped)" if dropped else "")
          + f"; transform: {result.transform}; {result.seconds:.2f} s, {rate:,.0f} samples/s")
    for key, value in result.details.items():
        print(f"  {key}: {value}")
    return EXIT_OK


def _transform_many(args: argparse.Namespace, one: bool, options: dict[str, Any]) -> int:
    """Several logs into the folder OUTPUT, or one log into OUTPUT on a cluster."""
    from . import dask as on_dask

    with on_dask.cluster(args.scheduler, args.workers):
        if one:
            summary = on_dask.transform_pairs(args.config, args.block,
                                              [(args.input[0], args.output)],
                                              split_rows=args.split_rows,
                                              progress=not args.quiet, **options)
        else:
            summary = on_dask.transform_logs(args.config, args.block, args.input, args.output,
                                             split_rows=args.split_rows,
                                             progress=not args.quiet, **options)
    if args.json:
        print(json.dumps(summary.to_dict(), indent=2))
    else:
        for result in summary.done:
            print(f"{result.output}: {result.samples_out} {result.block} samples written; "
                  f"transform: {result.transform}; {result.seconds:.2f} s")
        rate = summary.samples_in / summary.seconds if summary.seconds > 0 else float("inf")
        print(f"logs: {len(summary.done)} transformed, {len(summary.failed)} failed, in "
              f"{summary.tasks} tasks; {summary.samples_out} samples written in "
              f"{summary.seconds:.2f} s, {rate:,.0f} samples/s")
    for failure in summary.failed:
        print(f"oska-tf transform: error: {failure.input}: {failure.reason}", file=sys.stderr)
    return EXIT_ERRORS if summary.failed else EXIT_OK


def _plot(args: argparse.Namespace) -> int:
    from .plot import plot_logs

    path = plot_logs(args.input, args.output, args.block, args.figure, topic=args.topic,
                     output_topic=args.output_topic, columns=_merge(args.columns))
    print(f"{path}: written")
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    """Runs oska-tf with `argv` (default: the command line); returns the exit code."""
    import oska_tf_utils_ext

    # The library's diagnostic lines go through logging, never into the output.
    oska_tf_utils_ext.diagnostics_to_logging()
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("oska-tf: library: %(message)s"))
    library_log = logging.getLogger("oska_tf_utils")
    library_log.addHandler(handler)
    library_log.propagate = False
    args = build_parser().parse_args(argv)
    commands: dict[str, Any] = {"check": _check, "transform": _transform, "plot": _plot}
    try:
        code: int = commands[args.command](args)
        return code
    except OskaToolError as e:
        print(f"oska-tf {args.command}: error: {e}", file=sys.stderr)
        return e.exit_code
    except KeyboardInterrupt:
        print("oska-tf: interrupted; nothing was written", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return EXIT_OK
    except Exception:
        import traceback

        traceback.print_exc()
        print(f"oska-tf {args.command}: internal error (exit {EXIT_INTERNAL}); please report "
              "it with the lines above", file=sys.stderr)
        return EXIT_INTERNAL
    finally:
        library_log.removeHandler(handler)
        library_log.propagate = True


def entry_point() -> None:
    sys.exit(main())


if __name__ == "__main__":
    entry_point()
