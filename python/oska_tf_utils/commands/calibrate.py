"""oska-tf calibrate: a force/torque sensor's payload and bias from a recorded log."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any

from ..errors import EXIT_OK
from ..options import DEFAULT_CHUNK_ROWS
from ..payload import DEFAULT_MAX_RATE, DEFAULT_SETTLE, RATE_WINDOW
from .common import EXIT_CODES, FORMATTER, mapping, merge

NAME = "calibrate"

EPILOG = f"""\
what it does: the sensor measures, along its axes about its origin, the
external wrench plus its bias plus the weight of the tool hanging on it,
  F = F_ext + m·g_s + F_bias,   T = T_ext + c × (m·g_s) + T_bias,
where g_s is gravity along the sensor's axes, which turns as the sensor
turns. From samples at several orientations with nothing touching the tool,
calibrate finds the mass m (kg), the centre of mass c (m, sensor axes) and the
biases F_bias (N) and T_bias (N·m) by least squares, and writes them into the
"tf_payload_config" section of CONFIG, which the payload block (OskaTfPayload,
oska-tf transform --block payload) then takes out of every wrench.

how to record a calibration:
  1. mount the tool; let the sensor warm up (its bias drifts while it does);
  2. keep the tool clear of everything: no cable pulling on it, no contact;
  3. move the robot through 6 to 10 static poses that turn the sensor about
     two different horizontal axes (tilt it forward and back, left and right,
     upside down if the tool allows), 30 degrees or more apart; turning only
     about the vertical leaves the weight indistinguishable from the bias;
  4. hold each pose still for 2 to 5 seconds while recording the sensor's
     wrench and the robot's pose (/tf, a pose topic, or table columns).
Samples taken while the sensor turns faster than --max-rate (default
{DEFAULT_MAX_RATE:g} deg/s, measured over {RATE_WINDOW:g} s around each sample) are left out,
with those within --settle seconds (default {DEFAULT_SETTLE:g} s) of such motion: the
tool's acceleration adds to its weight while it moves, and it swings on for a
moment after. Samples outside the transform stream are left out too.

the log, as oska-tf transform reads it: a table (.csv, .parquet) with t or
t_ns, fx fy fz tx ty tz (the sensor's wrench, along its axes about its
origin) and tf_tx ... tf_qz or --tf FILE; or a bag with --topic (a
geometry_msgs/WrenchStamped topic) and --tf-frames PARENT CHILD (from /tf),
--tf-topic TOPIC or --tf FILE. The transform is the pose of the moving frame
(the flange) in the fixed frame, whose z axis points up (or give --gravity).

the sensor's axes: the sensor's orientation is the transform's rotation
followed by the sensor's axes in the moving frame, [w, x, y, z]: from
--sensor-axes, else from the payload section already in CONFIG, else the
identity (the sensor's axes are the moving frame's).

CONFIG: a new file holding the section, or an existing file in which only
the "tf_payload_config" section is replaced (its name, policy and other keys
kept; every other section and every other byte of the file as it was), after
the payload block has loaded the new file. A log that does not determine the
payload (one orientation only, turns about the vertical only, no still
samples) is refused with what to record, and nothing is written.

examples:
  oska-tf calibrate calib.mcap --topic /ft_sensor/wrench --tf-frames base_link tool0 \\
      -o config.json
  oska-tf calibrate calib.parquet -o config.json --name gripper --max-rate 2
  oska-tf calibrate calib.csv --tf robot_pose.csv --sensor-axes 0.7071068 0 0 0.7071068 \\
      -o config.json --json

{EXIT_CODES}"""


def add_parser(sub: Any) -> None:
    """Adds the calibrate command to the subparsers `sub`."""
    parser = sub.add_parser(
        "calibrate", help="identify a force/torque sensor's payload and bias from a log",
        formatter_class=FORMATTER, epilog=EPILOG,
        description="Identify the mass, centre of mass and bias of a force/torque sensor's "
                    "payload from the still poses of LOG, and write them into CONFIG.")
    parser.add_argument("log", metavar="LOG", help="the calibration log: a table or a bag")
    parser.add_argument("-o", "--output", required=True, metavar="CONFIG",
                        help="the configuration file to write the payload section into")
    parser.add_argument("--name", help="the section's name (default: the name already in "
                                       "CONFIG, else \"payload\")")
    parser.add_argument("--topic", help="bag: the WrenchStamped topic of the sensor")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--tf-frames", nargs=2, metavar=("PARENT", "CHILD"),
                       help="bag: the transform from /tf (or /tf_static), parent to child")
    where.add_argument("--tf-topic", metavar="TOPIC",
                       help="bag: a PoseStamped or TransformStamped topic of the transform")
    where.add_argument("--tf", metavar="FILE",
                       help="a table of the transform (t or t_ns, tx ty tz qw qx qy qz)")
    parser.add_argument("--columns", type=mapping, action="append", metavar="NAME=COL,...",
                        help="column names of LOG for the names the tool uses (fx, t, "
                             "tf_qw, ...); repeatable")
    parser.add_argument("--tf-columns", type=mapping, action="append", metavar="NAME=COL,...",
                        help="the same for the --tf table")
    parser.add_argument("--max-gap", type=float, metavar="SECONDS",
                        help="refuse to interpolate across a longer gap in the transform")
    parser.add_argument("--sensor-axes", type=float, nargs=4, metavar=("W", "X", "Y", "Z"),
                        help="the sensor's axes in the moving frame (default: CONFIG's payload "
                             "section's, else 1 0 0 0)")
    parser.add_argument("--gravity", type=float, nargs=3, metavar=("GX", "GY", "GZ"),
                        help="gravity in the fixed frame, m/s² (default: CONFIG's payload "
                             "section's, else 0 0 -9.80665)")
    parser.add_argument("--max-rate", type=float, default=DEFAULT_MAX_RATE, metavar="DEG_PER_S",
                        help="leave out samples taken while the sensor turns faster (default "
                             f"{DEFAULT_MAX_RATE:g})")
    parser.add_argument("--settle", type=float, default=DEFAULT_SETTLE, metavar="SECONDS",
                        help="and those this close to such motion (default "
                             f"{DEFAULT_SETTLE:g})")
    parser.add_argument("--chunk-size", type=int, default=DEFAULT_CHUNK_ROWS, metavar="ROWS",
                        help=f"samples read at a time (default {DEFAULT_CHUNK_ROWS})")
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    parser.add_argument("--json", action="store_true",
                        help="print the estimate and the samples used as JSON")


def _vector(values: Any, digits: int) -> str:
    return "[" + ", ".join(f"{v:.{digits}f}" for v in values) + "]"


def run(args: argparse.Namespace) -> int:
    """Identifies the payload and writes its section; the exit code says whether it could."""
    from ..calibrate import calibrate_log, save_calibration

    result = calibrate_log(
        args.log, config=args.output, sensor_axes=args.sensor_axes, gravity=args.gravity,
        topic=args.topic, tf=args.tf, tf_topic=args.tf_topic,
        tf_frames=tuple(args.tf_frames) if args.tf_frames else None,
        columns=merge(args.columns), tf_columns=merge(args.tf_columns), max_gap=args.max_gap,
        max_rate=args.max_rate, settle=args.settle, chunk_size=args.chunk_size,
        progress=not args.quiet)
    existed = os.path.exists(args.output)
    section = save_calibration(args.output, result, args.name, inputs=[args.tf])
    if args.json:
        print(json.dumps({**result.to_dict(), "config": args.output, "replaced": existed,
                          "section": section}, indent=2))
        return EXIT_OK
    e = result.estimate
    left_out = result.samples_read - result.samples_used
    print(f"{result.input}: {result.samples_used} of {result.samples_read} samples used, in "
          f"{result.still_periods} still period(s); transform: {result.transform}")
    if left_out:
        print(f"  left out: {result.samples_moving} while the sensor turned faster than "
              f"{result.max_rate:g} deg/s, {result.samples_settling} within {result.settle:g} s "
              f"of that, {result.samples_outside} outside the transform stream")
    print(f"  mass            {e.mass:.5f} ± {e.mass_stderr:.5f} kg")
    print(f"  center_of_mass  {_vector(e.center_of_mass, 6)} ± "
          f"{_vector(e.center_of_mass_stderr, 6)} m")
    print(f"  force_bias      {_vector(e.force_bias, 4)} ± {_vector(e.force_bias_stderr, 4)} N")
    print(f"  torque_bias     {_vector(e.torque_bias, 5)} ± "
          f"{_vector(e.torque_bias_stderr, 5)} N·m")
    print(f"  residual rms    force {e.force_residual_rms:.4f} N, torque "
          f"{e.torque_residual_rms:.5f} N·m (the sensor's noise, if nothing touched the tool)")
    print(f"  with sensor_axes {_vector(result.sensor_axes, 6)}, gravity "
          f"{_vector(e.gravity, 5)} m/s²")
    if result.still_periods < 6:
        print(f"  note: only {result.still_periods} still period(s); 6 to 10 poses turning the "
              "sensor about two axes determine the payload better (see --help)")
    print(f"{args.output}: section \"tf_payload_config\" written; "
          + ("the rest of the file kept as it was" if existed else "a new file"))
    return EXIT_OK
