"""oska-tf transform: every sample of one log, or of many on Dask."""

from __future__ import annotations

import argparse
import glob
import json
import sys
from typing import Any

from ..errors import EXIT_ERRORS, EXIT_OK, INSTALL_DASK
from ..kinds import kinds
from ..options import DEFAULT_CHUNK_ROWS, DIFFERENCES, OUTSIDE
from .common import EXIT_CODES, FORMATTER, mapping, merge

NAME = "transform"

EPILOG = f"""\
tables (.csv with a header row, .parquet): one row per sample; time in column
t (seconds) or t_ns (integer nanoseconds); signal columns by block:
{chr(10).join(f"  {k.signal:<7} {' '.join(k.components)}" for k in kinds().values())}
When the configuration puts an entry on "moving_frame" (the payload block:
always, it turns gravity into the sensor's axes), the fixed-to-moving
transform comes from columns tf_tx tf_ty tf_tz tf_qw tf_qx tf_qy tf_qz of the
same table, or from --tf FILE (a table with t or t_ns and tx ty tz qw qx qy qz,
interpolated at the samples' stamps: linear in translation, spherical linear
in rotation). The output has the input's columns in the same order, with the
signal values replaced and every other column unchanged.

Transform quaternions (columns, --tf, --tf-topic, /tf) are checked as they are
read: a zero one (a tracking dropout) is an error; those whose norm is off 1
by more than 1e-6 are used as given, with one warning per log, or normalised
with --normalize-tf.

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
  oska-tf transform config.json --block payload calib.mcap --topic /ft_sensor/wrench \\
      --tf-frames base_link tool0 -o compensated.parquet
  oska-tf transform config.json --block wrench "fleet/*.parquet" -o out/ --workers 2
  oska-tf transform config.json --block imu "s3://fleet/2024-*/*.mcap" --topic /imu \\
      --tf-frames base_link imu -o out/ --scheduler tcp://scheduler:8786

{EXIT_CODES}"""


def add_parser(sub: Any) -> None:
    """Adds the transform command to the subparsers `sub`."""
    parser = sub.add_parser("transform", help="transform every sample of a recorded log",
                            formatter_class=FORMATTER, epilog=EPILOG,
                            description="Build a block from CONFIG and transform every "
                                        "sample of INPUT with it into OUTPUT.")
    parser.add_argument("config", metavar="CONFIG", help="the JSON configuration file")
    parser.add_argument("input", metavar="INPUT", nargs="+",
                        help="the log: a table or a bag; or several, or glob patterns, "
                             "with OUTPUT a folder")
    parser.add_argument("--block", required=True, choices=list(kinds()),
                        help="the block kind (its section of CONFIG)")
    parser.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                        help="the transformed log (format by extension)")
    parser.add_argument("--tf", metavar="FILE",
                        help="a table of the fixed-to-moving transform (t or t_ns, tx ty tz "
                             "qw qx qy qz)")
    parser.add_argument("--columns", type=mapping, action="append", metavar="NAME=COL,...",
                        help="column names of INPUT for the names the tool uses (fx, t, t_ns, "
                             "tf_tx, ...); repeatable")
    parser.add_argument("--tf-columns", type=mapping, action="append",
                        metavar="NAME=COL,...", help="the same for the --tf table")
    parser.add_argument("--topic", help="bag: the signal topic")
    parser.add_argument("--tf-topic", metavar="TOPIC",
                        help="bag: a PoseStamped or TransformStamped topic of the transform")
    parser.add_argument("--tf-frames", nargs=2, metavar=("PARENT", "CHILD"),
                        help="bag: take the transform from /tf (or /tf_static), parent to child")
    parser.add_argument("--output-topic", metavar="TOPIC",
                        help="bag output: the topic (default: the input topic + _transformed)")
    parser.add_argument("--output-frame", metavar="FRAME",
                        help="bag output: the header frame_id (default: the frame of the "
                             "output axes, from the transform's frame names)")
    parser.add_argument("--outside", choices=OUTSIDE, default="error",
                        help="samples before the first or after the last transform stamp: "
                             "refuse (default), drop them, or hold the first or last transform")
    parser.add_argument("--max-gap", type=float, metavar="SECONDS",
                        help="refuse to interpolate across a longer gap in the transform")
    parser.add_argument("--angular-acceleration", choices=DIFFERENCES,
                        default="none",
                        help="derive the angular acceleration from the angular rate for the "
                             "tangential term (imu); at the log's ends the one-sided "
                             "difference (default: none, the block's own formula)")
    parser.add_argument("--normalize-tf", action="store_true",
                        help="normalise every transform quaternion before it is interpolated or "
                             "used (otherwise one whose norm is off 1 by more than 1e-6 is used "
                             "as given, with one warning per log); a zero quaternion is an "
                             "error either way")
    parser.add_argument("--chunk-size", type=int, default=DEFAULT_CHUNK_ROWS, metavar="ROWS",
                        help="samples per chunk (memory; the result does not depend on it; "
                             f"default {DEFAULT_CHUNK_ROWS})")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster whose scheduler is at ADDRESS "
                            "(tcp://HOST:PORT), one task per log")
    where.add_argument("--workers", type=int, metavar="N",
                       help="run on a local Dask cluster of N worker processes, one task per log")
    parser.add_argument("--split-rows", type=int, metavar="ROWS",
                        help="several logs: a Parquet log of more rows than this runs as "
                             "tasks of whole row groups, into a folder of parts")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")


def run(args: argparse.Namespace) -> int:
    """Transforms the logs; the exit code says whether every one was written."""
    from ..transform import transform_log

    options: dict[str, Any] = dict(
        topic=args.topic, output_topic=args.output_topic, output_frame=args.output_frame,
        tf=args.tf, tf_topic=args.tf_topic,
        tf_frames=tuple(args.tf_frames) if args.tf_frames else None,
        columns=merge(args.columns), tf_columns=merge(args.tf_columns), outside=args.outside,
        max_gap=args.max_gap, angular_acceleration=args.angular_acceleration,
        chunk_size=args.chunk_size, normalize_tf=args.normalize_tf)
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
    from .. import dask as on_dask

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
