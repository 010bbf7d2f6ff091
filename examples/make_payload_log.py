"""Writes the payload example: a calibration recording of a gripper on a
force/torque sensor, as a ROS 2 bag, and reports on the compensated wrench.

A robot holds its flange (tool0) at 8 static poses, 3 s each, and moves
between them in 1.5 s (a minimum-jerk turn about a fixed axis). The sensor is
mounted on the flange turned 30° about the flange's z axis (the sensor_axes
of payload_config.json) and carries a gripper of MASS kg whose centre of mass
is COM in the sensor's axes; it reads the gripper's weight, the force that
accelerates the gripper while the flange turns (and a swing that dies out
after each stop), its bias, and white noise. The bag holds:

  /ft_sensor/wrench  geometry_msgs/WrenchStamped at 500 Hz, frame ft_sensor
  /tf                base_link -> tool0 at 100 Hz, the flange's pose

`oska-tf calibrate` recovers the payload from the still poses; `oska-tf
transform --block payload` then takes it out, leaving the sensor's noise.

Usage:
  python examples/make_payload_log.py FOLDER
      writes FOLDER/payload_calibration (a rosbag2 folder) and prints the truth;
  python examples/make_payload_log.py report COMPENSATED.parquet
      prints the RMS of a compensated log (t_ns, fx ... tz) at the still
      poses, against the noise, and while the flange moves.
"""

import math
import sys
from pathlib import Path

import numpy as np

MASS = 1.35                                   # kg
COM = np.array([0.012, -0.008, 0.065])        # m, sensor axes
FORCE_BIAS = np.array([2.1, -1.4, 5.3])       # N
TORQUE_BIAS = np.array([0.12, -0.05, 0.03])   # N·m
NOISE = (0.05, 0.002)                         # N, N·m (standard deviations)
GRAVITY = np.array([0.0, 0.0, -9.80665])
SENSOR_AXES = np.array([math.cos(math.pi / 12), 0.0, 0.0, math.sin(math.pi / 12)])
HOLD, MOVE = 3.0, 1.5                         # s
RATE, TF_RATE = 500, 100                      # Hz
START_NS = 1_700_000_000 * 10**9
# The flange's poses: tool pointing down, then tilted about x and y, on its
# side, and turned about its own axis (rotation vectors, degrees).
POSES_DEG = [(180, 0, 0), (135, 0, 0), (180, 0, 45), (225, 0, 0), (180, 0, -45),
             (120, 40, 30), (90, 0, 0), (160, -30, 60)]


def quaternion(rotvec):
    v = np.asarray(rotvec, float)
    angle = np.linalg.norm(v)
    axis = v / angle if angle else v
    return np.concatenate([[math.cos(angle / 2)], axis * math.sin(angle / 2)])


def multiply(a, b):
    wa, va, wb, vb = a[..., :1], a[..., 1:], b[..., :1], b[..., 1:]
    return np.concatenate([wa * wb - (va * vb).sum(-1, keepdims=True),
                           wa * vb + wb * va + np.cross(va, vb)], axis=-1)


def rotate_back(q, v):
    """rot(conj(q), v) for rows q and v: v along the axes that q turns to."""
    w, u = q[:, :1], -q[:, 1:]
    t = 2 * np.cross(u, v)
    return v + w * t + np.cross(u, t)


def schedule():
    """(t, flange quaternions, angular rate and acceleration of the flange in its
    own axes) at RATE Hz, and the quaternions and times at TF_RATE Hz."""
    poses = [quaternion(np.radians(p)) for p in POSES_DEG]
    period = HOLD + MOVE
    total = len(poses) * HOLD + (len(poses) - 1) * MOVE

    def at(t):
        k = np.minimum((t // period).astype(int), len(poses) - 1)
        tau = np.clip((t - k * period - HOLD) / MOVE, 0.0, 1.0)
        s = tau**3 * (10 - 15 * tau + 6 * tau**2)
        ds = 30 * tau**2 * (1 - tau)**2 / MOVE
        dds = 60 * tau * (1 - tau) * (1 - 2 * tau) / MOVE**2
        q0 = np.array(poses)[k]
        q1 = np.array(poses)[np.minimum(k + 1, len(poses) - 1)]
        rel = multiply(q0 * [1, -1, -1, -1], q1)          # q0⁻¹ ⊗ q1, in q0's axes
        rel *= np.where(rel[:, :1] < 0, -1.0, 1.0)        # the shorter way round
        angle = 2 * np.arctan2(np.linalg.norm(rel[:, 1:], axis=1), rel[:, 0])
        axis = rel[:, 1:] / np.maximum(np.linalg.norm(rel[:, 1:], axis=1), 1e-300)[:, None]
        half = (s * angle / 2)[:, None]
        q = multiply(q0, np.hstack([np.cos(half), axis * np.sin(half)]))
        return q, axis * (angle * ds)[:, None], axis * (angle * dds)[:, None]

    t = np.arange(int(total * RATE) + 1) / RATE
    tm = np.arange(int(total * TF_RATE) + 1) / TF_RATE
    return t, *at(t), at(tm)[0], tm


def measured(t, flange, omega, alpha, rng):
    """What the sensor reads: the weight less the acceleration of the centre of
    mass (the flange turning about the sensor's origin), its moment, a swing
    after each stop, the bias and noise; in the sensor's axes."""
    sensor = multiply(flange, SENSOR_AXES)
    g_s = rotate_back(sensor, np.tile(GRAVITY, (len(t), 1)))
    w_s = rotate_back(np.tile(SENSOR_AXES, (len(t), 1)), omega)
    a_s = rotate_back(np.tile(SENSOR_AXES, (len(t), 1)), alpha)
    accel = np.cross(a_s, COM) + np.cross(w_s, np.cross(w_s, COM))
    force = MASS * (g_s - accel)
    since_stop = (t % (HOLD + MOVE))
    swing = np.where(t >= HOLD + MOVE, 0.6 * np.exp(-since_stop / 0.12)
                     * np.sin(2 * math.pi * 7 * since_stop), 0.0)
    force[:, 0] += swing
    wrench = np.hstack([force + FORCE_BIAS, np.cross(COM, force) + TORQUE_BIAS])
    return wrench + np.hstack([rng.normal(0, NOISE[0], (len(t), 3)),
                               rng.normal(0, NOISE[1], (len(t), 3))])


def write(folder):
    from rosbags.rosbag2 import StoragePlugin, Writer
    from rosbags.typesys import Stores, get_typestore

    store = get_typestore(Stores.ROS2_HUMBLE)
    T = store.types
    t, flange, omega, alpha, flange_tf, tm = schedule()
    wrench = measured(t, flange, omega, alpha, np.random.default_rng(21))

    def header(ns, frame):
        return T["std_msgs/msg/Header"](stamp=T["builtin_interfaces/msg/Time"](
            sec=ns // 10**9, nanosec=ns % 10**9), frame_id=frame)

    def vector(xyz):
        return T["geometry_msgs/msg/Vector3"](*map(float, xyz))

    path = Path(folder) / "payload_calibration"
    if path.exists():
        import shutil
        shutil.rmtree(path)
    with Writer(path, version=9, storage_plugin=StoragePlugin.MCAP) as writer:
        ft = writer.add_connection("/ft_sensor/wrench", "geometry_msgs/msg/WrenchStamped",
                                   typestore=store)
        tf = writer.add_connection("/tf", "tf2_msgs/msg/TFMessage", typestore=store)
        events = [(START_NS + round(s * 1e9), 0, i) for i, s in enumerate(tm)] + \
                 [(START_NS + round(s * 1e9), 1, i) for i, s in enumerate(t)]
        for ns, which, i in sorted(events):
            if which == 0:
                q = flange_tf[i]
                msg = T["tf2_msgs/msg/TFMessage"](transforms=[T["geometry_msgs/msg/TransformStamped"](
                    header=header(ns, "base_link"), child_frame_id="tool0",
                    transform=T["geometry_msgs/msg/Transform"](
                        translation=vector([0.45, 0.0, 0.6]),
                        rotation=T["geometry_msgs/msg/Quaternion"](*map(float, q[[1, 2, 3, 0]]))))])
                writer.write(tf, ns, store.serialize_cdr(msg, "tf2_msgs/msg/TFMessage"))
            else:
                w = wrench[i]
                msg = T["geometry_msgs/msg/WrenchStamped"](
                    header=header(ns, "ft_sensor"), wrench=T["geometry_msgs/msg/Wrench"](
                        force=vector(w[:3]), torque=vector(w[3:])))
                writer.write(ft, ns, store.serialize_cdr(msg, "geometry_msgs/msg/WrenchStamped"))
    print(f"wrote {path}: {len(t)} wrenches at {RATE} Hz on /ft_sensor/wrench, {len(tm)} "
          f"flange poses at {TF_RATE} Hz on /tf, {len(POSES_DEG)} poses held {HOLD:g} s")
    print(f"  true mass            {MASS:.5f} kg")
    print(f"  true center_of_mass  {fmt(COM, 5)} m")
    print(f"  true force_bias      {fmt(FORCE_BIAS, 4)} N")
    print(f"  true torque_bias     {fmt(TORQUE_BIAS, 5)} N·m")
    print(f"  noise                {NOISE[0]:g} N, {NOISE[1]:g} N·m (standard deviations)")


def fmt(values, digits):
    return "[" + ", ".join(f"{v:.{digits}f}" for v in values) + "]"


def report(compensated):
    import pyarrow.parquet as pq

    table = pq.read_table(compensated)
    t = (table["t_ns"].to_numpy() - START_NS) / 1e9
    out = np.column_stack([table[c].to_numpy() for c in ("fx", "fy", "fz", "tx", "ty", "tz")])
    since = t % (HOLD + MOVE)
    still = (since > 0.5) & (since < HOLD)  # the holds, half a second after each stop
    for label, rows in (("still poses", still), ("while moving", ~still)):
        rms = np.sqrt((out[rows] ** 2).mean(axis=0))
        print(f"  compensated RMS {label:<12}  force {fmt(rms[:3], 4)} N, "
              f"torque {fmt(rms[3:], 5)} N·m")
    print(f"  noise                          force {NOISE[0]:g} N, torque {NOISE[1]:g} N·m")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "report":
        report(sys.argv[2])
    elif len(sys.argv) == 2:
        write(sys.argv[1])
    else:
        sys.exit(__doc__)
