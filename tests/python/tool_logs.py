"""Logs with known physics for the tests of the oska-tf tool.

A tool of mass M hangs on a flange that turns at a constant rate W about the
axis AXIS through a point that moves at constant velocity. A force/torque
sensor on the flange at SENSOR measures the tool's weight and its moment
about itself along the flange axes. At the tool's centre of mass COM, along
the fixed axes, the wrench is exactly [0, 0, -M G, 0, 0, 0] at every instant;
and since the motion is a constant rotation rate with a linear translation,
interpolating the flange pose between stamps (lerp and slerp) is exact.
"""

import json

import numpy as np
import pyarrow as pa

M, G, W = 2.0, 9.81, 0.8
AXIS = np.array([1.0, 2.0, 2.0]) / 3.0
SENSOR = np.array([0.0, 0.0, 0.05])
COM = np.array([0.1, -0.05, 0.2])
WEIGHT_AT_COM = np.array([0.0, 0.0, -M * G, 0.0, 0.0, 0.0])


def flange(t):
    """[tx, ty, tz, qw, qx, qy, qz] of the flange at times t (s)."""
    half = W * t / 2
    return np.column_stack([0.3 * t, -0.1 * t + 0.5, np.full_like(t, 0.4), np.cos(half),
                            *(np.sin(half)[None, :] * AXIS[:, None])])


def rotate(q, v):
    w, u = q[:, :1], q[:, 1:]
    t = 2 * np.cross(u, v)
    return v + w * t + np.cross(u, t)


def sensor_wrench(t):
    """What the sensor measures along the flange axes."""
    q = flange(t)[:, 3:].copy()
    q[:, 1:] *= -1  # the fixed axes seen from the flange
    weight = rotate(q, np.tile([0.0, 0.0, -M * G], (len(t), 1)))
    return np.hstack([weight, np.cross(COM - SENSOR, weight)])


def entry(origin, values):
    return {"origin": origin, ("rotation" if len(values) == 4 else "translation"): list(values)}


def write_config(path, **sections):
    path.write_text(json.dumps(sections))
    return str(path)


def com_config(path, section="tf_wrench_config"):
    """The section that carries the sensor's signal to the centre of mass."""
    return write_config(path, **{section: {
        "set_input_reference_point": entry("moving_frame", SENSOR),
        "set_input_expression_axes": entry("moving_frame", [1, 0, 0, 0]),
        "set_output_reference_point": entry("moving_frame", COM),
        "set_output_expression_axes": entry("fixed_frame", [1, 0, 0, 0])}})


def fixed_config(path, section, output_point=(0.0, 0.0, 0.0)):
    """Every entry on the fixed frame at identity, the output point as given."""
    return write_config(path, **{section: {
        "set_input_reference_point": entry("fixed_frame", [0, 0, 0]),
        "set_input_expression_axes": entry("fixed_frame", [1, 0, 0, 0]),
        "set_output_reference_point": entry("fixed_frame", output_point),
        "set_output_expression_axes": entry("fixed_frame", [1, 0, 0, 0])}})


def table(t, values, names, **extra):
    return pa.table({"t": t, **{n: values[:, i] for i, n in enumerate(names)}, **extra})


def store(name="LATEST"):
    from rosbags.typesys import Stores, get_typestore

    return get_typestore(getattr(Stores, name))


def write_bag(path, store, topics, sqlite=False, compression=None):
    """A bag (rosbag2 MCAP, or sqlite3 with `sqlite`, or ROS 1 for a .bag path,
    its chunks compressed with `compression`, "lz4" or "bz2") from {topic:
    (msgtype, [(log time ns, message), ...])}."""
    if str(path).endswith(".bag"):
        from rosbags.rosbag1 import Writer
        writer, serialize = Writer(path), store.serialize_ros1
        if compression:
            writer.set_compression(getattr(Writer.CompressionFormat, compression.upper()))
    else:
        from rosbags.rosbag2 import StoragePlugin, Writer
        writer = Writer(path, version=9,
                        storage_plugin=StoragePlugin.SQLITE3 if sqlite else StoragePlugin.MCAP)
        serialize = store.serialize_cdr
    with writer:
        for topic, (msgtype, messages) in topics.items():
            connection = writer.add_connection(topic, msgtype, typestore=store)
            for logtime, message in messages:
                writer.write(connection, logtime, serialize(message, msgtype))


def header(store, ns, frame):
    T = store.types
    kwargs = {"seq": 0} if "seq" in T["std_msgs/msg/Header"].__dataclass_fields__ else {}
    return T["std_msgs/msg/Header"](stamp=T["builtin_interfaces/msg/Time"](
        sec=int(ns) // 10**9, nanosec=int(ns) % 10**9), frame_id=frame, **kwargs)


def vector(store, xyz):
    return store.types["geometry_msgs/msg/Vector3"](*map(float, xyz))


def interrupt(command, folder, signum, timeout=120):
    """Runs `command` (a subprocess) and sends it `signum` as soon as a
    temporary output of the tool holds bytes in `folder` or below, that is in
    the middle of writing. Returns the exit status, standard error and the
    temporary outputs seen before the signal."""
    import subprocess
    import time
    from pathlib import Path

    def temporaries():
        found = []
        for path in Path(folder).rglob(".*.oska-tf"):
            try:
                if path.is_dir() or path.stat().st_size:
                    found.append(path.name)
            except OSError:  # removed meanwhile
                pass
        return found

    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    deadline = time.monotonic() + timeout
    seen = []
    while not seen and process.poll() is None and time.monotonic() < deadline:
        seen = temporaries()
        time.sleep(0.002)
    process.send_signal(signum)
    _, err = process.communicate(timeout=timeout)
    return process.returncode, err, seen


def leftovers(folder):
    """The temporary outputs of the tool in `folder` or below."""
    from pathlib import Path

    return sorted(str(p) for p in Path(folder).rglob(".*.oska-tf"))


# ------------------------------------------------------------ calibration ---
# A force/torque sensor on the flange carries a payload of known mass, centre
# of mass and bias. The flange holds still poses and turns between them at a
# constant rate about a fixed axis; while it turns the sensor also reads
# MOTION_FORCE along its x axis (the tool's acceleration), which a fit over
# those samples would take for weight.

PAYLOAD_MASS = 1.35
PAYLOAD_COM = np.array([0.012, -0.008, 0.065])
FORCE_BIAS = np.array([2.1, -1.4, 5.3])
TORQUE_BIAS = np.array([0.12, -0.05, 0.03])
NOISE = (0.05, 0.002)
MOTION_FORCE = 4.0
G_VECTOR = np.array([0.0, 0.0, -9.80665])
# Tool down, tilted about x and about y, on its side, turned about its axis.
POSES_DEG = [(180, 0, 0), (135, 0, 0), (180, 0, 45), (225, 0, 0), (180, 0, -45),
             (120, 40, 30), (90, 0, 0), (160, -30, 60)]


def quaternion(rotvec_deg):
    """[w, x, y, z] of a rotation given as axis times angle in degrees."""
    v = np.radians(np.asarray(rotvec_deg, float))
    angle = np.linalg.norm(v)
    axis = v / angle if angle else v
    return np.concatenate([[np.cos(angle / 2)], axis * np.sin(angle / 2)])


def matrix(q):
    """Rotation matrices of [w, x, y, z] rows."""
    w, x, y, z = np.asarray(q, float).reshape(-1, 4).T
    return np.stack([
        np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)], -1),
        np.stack([2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)], -1),
        np.stack([2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)], -1),
    ], -2)


def calibration_poses(poses_deg=POSES_DEG, hold=2.0, move=1.0, rate=200):
    """(t, flange quaternions, moving) of a schedule: each pose held `hold` s,
    the turn to the next one in `move` s at a constant rate about one axis."""
    poses = [quaternion(p) for p in poses_deg]
    period = hold + move
    t = np.arange(int(round((len(poses) * period - move) * rate)) + 1) / rate
    k = np.minimum((t // period).astype(int), len(poses) - 1)
    s = np.clip((t - k * period - hold) / move, 0.0, 1.0)
    q = np.empty((len(t), 4))
    for i, pose in enumerate(poses):
        rows = k == i
        following = poses[min(i + 1, len(poses) - 1)]
        w0, v0 = pose[0], pose[1:]
        # The turn in the pose's own axes, conj(pose) ⊗ following, the shorter way.
        w1, v1 = following[0], following[1:]
        turn = np.concatenate([[w0 * w1 + v0 @ v1], w0 * v1 - w1 * v0 - np.cross(v0, v1)])
        turn = -turn if turn[0] < 0 else turn
        angle = 2 * np.arctan2(np.linalg.norm(turn[1:]), turn[0])
        axis = turn[1:] / np.linalg.norm(turn[1:]) if angle > 1e-9 else np.array([1.0, 0, 0])
        half = s[rows] * angle / 2
        step = np.column_stack([np.cos(half), np.sin(half)[:, None] * axis])
        q[rows, 0] = w0 * step[:, 0] - step[:, 1:] @ v0
        q[rows, 1:] = w0 * step[:, 1:] + step[:, :1] * v0 + np.cross(v0, step[:, 1:])
    return t, q, (s > 0) & (s < 1)


def sensor_reading(flange_q, moving, sensor_axes=(1.0, 0.0, 0.0, 0.0), seed=0):
    """What the sensor reads along its axes: the payload's weight and its
    moment, the bias, MOTION_FORCE while moving, and white noise NOISE."""
    rotation = matrix(flange_q) @ matrix(sensor_axes)[0]
    g_s = np.einsum("nji,j->ni", rotation, G_VECTOR)
    force = PAYLOAD_MASS * g_s
    wrench = np.hstack([force + FORCE_BIAS, np.cross(PAYLOAD_COM, force) + TORQUE_BIAS])
    wrench[moving, 0] += MOTION_FORCE
    rng = np.random.default_rng(seed)
    return wrench + np.hstack([rng.normal(0, NOISE[0], (len(wrench), 3)),
                               rng.normal(0, NOISE[1], (len(wrench), 3))])


def write_calibration_table(path, t, wrench, flange_q):
    """A Parquet table with t, fx ... tz and the flange in tf_ columns."""
    import pyarrow.parquet as pq

    tf = np.hstack([np.tile([0.4, 0.0, 0.6], (len(t), 1)), flange_q])
    pq.write_table(table(t, np.hstack([wrench, tf]),
                         ("fx", "fy", "fz", "tx", "ty", "tz")
                         + tuple(f"tf_{c}" for c in ("tx", "ty", "tz", "qw", "qx", "qy", "qz"))),
                   path)
    return str(path)


def write_calibration_bag(path, t, wrench, flange_q, every=4, start_ns=1_700_000_000 * 10**9):
    """A bag with the wrench on /ft (WrenchStamped, frame ft_sensor) and the
    flange on /tf (base -> flange) at every `every`-th sample's stamp and the
    last one."""
    s = store()
    T = s.types
    stamps = start_ns + np.rint(t * 1e9).astype(np.int64)
    picked = np.unique(np.r_[np.arange(0, len(t), every), len(t) - 1])
    wrenches = [(ns, T["geometry_msgs/msg/WrenchStamped"](
        header=header(s, ns, "ft_sensor"), wrench=T["geometry_msgs/msg/Wrench"](
            force=vector(s, w[:3]), torque=vector(s, w[3:]))))
        for ns, w in zip(stamps.tolist(), wrench)]
    poses = [(int(ns), T["tf2_msgs/msg/TFMessage"](transforms=[
        T["geometry_msgs/msg/TransformStamped"](
            header=header(s, int(ns), "base"), child_frame_id="flange",
            transform=T["geometry_msgs/msg/Transform"](
                translation=vector(s, [0.4, 0.0, 0.6]),
                rotation=T["geometry_msgs/msg/Quaternion"](*map(float, q[[1, 2, 3, 0]]))))]))
        for ns, q in zip(stamps[picked], flange_q[picked])]
    write_bag(path, s, {"/ft": ("geometry_msgs/msg/WrenchStamped", wrenches),
                        "/tf": ("tf2_msgs/msg/TFMessage", poses)})
    return stamps
