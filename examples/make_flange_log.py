"""Writes the example log: a force/torque sensor on a rotating flange.

The flange (the moving frame) swings about the fixed x axis, 0.4 m above the
base: θ(t) = 0.6 sin(2π·0.5 t) rad. A sensor sits on the flange 5 cm along
its z axis, with the flange's axes, and carries a tool of 2 kg whose centre of
mass is at (0.1, 0, 0.15) m on the flange (so 0.1 m in x and 0.1 m in z from
the sensor). Gravity is −9.81 m/s² along the base z axis. The sensor measures
the tool's weight along its own axes, and the moment of that weight about
itself; the motion is slow enough that the tool's acceleration is left out.

Re-expressed at the tool's centre of mass along the base axes (the wrench
section of flange_config.json), the wrench is exactly [0, 0, −19.62, 0, 0, 0]
at every sample: what the plot of the transform shows.

Files written (into the folder given, default: this script's folder):
  flange_wrench.csv  1 kHz sensor samples, 2 s: t, fx..tz and a status column
  flange_mocap.csv   the flange's pose from a 100 Hz motion capture, 2.1 s:
                     t, tx ty tz qw qx qy qz (covers every sensor sample)

Usage: python examples/make_flange_log.py [FOLDER]
"""

import math
import sys
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.csv as pacsv

MASS, G = 2.0, 9.81
HEIGHT = 0.4
AMPLITUDE, FREQUENCY = 0.6, 0.5
SENSOR = np.array([0.0, 0.0, 0.05])
CENTRE_OF_MASS = np.array([0.1, 0.0, 0.15])


def angle(t):
    return AMPLITUDE * np.sin(2 * math.pi * FREQUENCY * t)


def flange_pose(t):
    """[tx, ty, tz, qw, qx, qy, qz] of the flange in the base frame."""
    half = angle(t) / 2
    zeros = np.zeros_like(t)
    return np.column_stack([zeros, zeros, zeros + HEIGHT, np.cos(half), np.sin(half), zeros, zeros])


def sensor_wrench(t):
    """The tool's weight and its moment about the sensor, along the flange axes."""
    theta = angle(t)
    # The base's −z axis seen from the flange turned by θ about x.
    weight = MASS * G * np.column_stack([np.zeros_like(t), -np.sin(theta), -np.cos(theta)])
    moment = np.cross(CENTRE_OF_MASS - SENSOR, weight)
    return np.hstack([weight, moment])


def main(folder):
    folder = Path(folder)
    t = np.arange(2000) / 1000.0
    wrench = sensor_wrench(t)
    status = np.where(np.abs(wrench[:, 1]) > 10.0, "tilted", "ok")
    columns = {"t": t, **{n: wrench[:, i] for i, n in enumerate(("fx", "fy", "fz", "tx", "ty", "tz"))},
               "status": status}
    plain = pacsv.WriteOptions(quoting_style="none", quoting_header="none")
    pacsv.write_csv(pa.table(columns), folder / "flange_wrench.csv", plain)
    tm = np.arange(211) / 100.0 - 0.05
    pose = flange_pose(tm)
    pacsv.write_csv(pa.table({"t": tm, **{n: pose[:, i] for i, n in
                                         enumerate(("tx", "ty", "tz", "qw", "qx", "qy", "qz"))}}),
                    folder / "flange_mocap.csv", plain)
    print(f"wrote {folder / 'flange_wrench.csv'} ({len(t)} samples) and "
          f"{folder / 'flange_mocap.csv'} ({len(tm)} poses)")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent)
