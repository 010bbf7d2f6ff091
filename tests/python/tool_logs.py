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
