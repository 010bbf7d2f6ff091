"""oska-tf transform and plot on ROS bags written with rosbags."""

import os
import sys
from signal import SIGHUP, SIGTERM

import numpy as np
import pyarrow.parquet as pq
import pytest
from rosbags.highlevel import AnyReader

from oska_tf_utils import OskaToolWarning, plot_logs, transform_log
from oska_tf_utils.cli import main
from tool_logs import (WEIGHT_AT_COM, com_config, fixed_config, flange, header, interrupt,
                       sensor_wrench, store, vector, write_bag)

WRENCH = ("fx", "fy", "fz", "tx", "ty", "tz")
NS = 10**9
START = 1_700_000_000 * NS  # stamps of today's order


def flange_bag(path, scaled=()):
    """1 kHz WrenchStamped on /ft, the flange on /tf at 100 Hz (base -> flange) and
    on /mocap as TransformStamped, a string on /chatter; the quaternions of the
    transforms `scaled` ((index, factor) pairs) multiplied by their factor."""
    s = store()
    T = s.types
    t = np.arange(1000) / 1000.0
    mocap = np.arange(-1, 101) / 100.0

    def transform(ns, pose):
        return T["geometry_msgs/msg/TransformStamped"](
            header=header(s, ns, "base"), child_frame_id="flange",
            transform=T["geometry_msgs/msg/Transform"](
                translation=vector(s, pose[:3]),
                rotation=T["geometry_msgs/msg/Quaternion"](*map(float, pose[[4, 5, 6, 3]]))))

    stamps = START + np.rint(t * NS).astype(np.int64)
    wrenches = [(ns, T["geometry_msgs/msg/WrenchStamped"](
        header=header(s, ns, "ft"), wrench=T["geometry_msgs/msg/Wrench"](
            force=vector(s, w[:3]), torque=vector(s, w[3:]))))
        for ns, w in zip(stamps.tolist(), sensor_wrench(t))]
    rows = flange(mocap)
    for index, factor in scaled:
        rows[index, 3:] *= factor
    poses = [(START + round(m * NS), pose) for m, pose in zip(mocap, rows)]
    write_bag(path, s, {
        "/ft": ("geometry_msgs/msg/WrenchStamped", wrenches),
        "/tf": ("tf2_msgs/msg/TFMessage", [(ns, T["tf2_msgs/msg/TFMessage"](
            transforms=[transform(ns, p)])) for ns, p in poses]),
        "/mocap": ("geometry_msgs/msg/TransformStamped", [(ns, transform(ns, p)) for ns, p in poses]),
        "/chatter": ("std_msgs/msg/String", [(START, T["std_msgs/msg/String"](data="hi"))]),
    })
    return stamps


def read_topic(path, topic):
    with AnyReader([path]) as reader:
        connections = [c for c in reader.connections if c.topic == topic]
        messages = [reader.deserialize(raw, c.msgtype) for c, _, raw in reader.messages(connections)]
    return connections[0].msgtype, messages


@pytest.mark.parametrize("output", ["out.mcap", "out.db3", "out.bag", "out_folder", "out.parquet"])
def test_bag_to_every_output_matches_the_closed_form(tmp_path, output):
    stamps = flange_bag(tmp_path / "run")
    config = com_config(tmp_path / "c.json")
    source = {"tf_frames": ("/base", "flange")} if output != "out.db3" else {"tf_topic": "/mocap"}
    result = transform_log(config, "wrench", tmp_path / "run", tmp_path / output, topic="/ft",
                           **source)
    if output.endswith(".parquet"):
        table = pq.read_table(tmp_path / output)
        assert np.array_equal(table["t_ns"].to_numpy(), stamps)
        values = np.column_stack([table[c].to_numpy() for c in WRENCH])
    else:
        assert result.details == {"topic": "/ft_transformed", "frame": "base"}
        msgtype, messages = read_topic(tmp_path / output, "/ft_transformed")
        assert msgtype == "geometry_msgs/msg/WrenchStamped"
        assert [m.header.stamp.sec * NS + m.header.stamp.nanosec for m in messages] == stamps.tolist()
        assert {m.header.frame_id for m in messages} == {"base"}
        values = np.array([[m.wrench.force.x, m.wrench.force.y, m.wrench.force.z,
                            m.wrench.torque.x, m.wrench.torque.y, m.wrench.torque.z]
                           for m in messages])
    assert np.allclose(values, WEIGHT_AT_COM, atol=1e-12)
    if output == "out.bag":  # a ROS 1 bag reads back as it was written
        transform_log(fixed_config(tmp_path / "i.json", "tf_wrench_config"), "wrench",
                      tmp_path / output, tmp_path / "back.parquet", topic="/ft_transformed")
        back = pq.read_table(tmp_path / "back.parquet")
        assert np.array_equal(np.column_stack([back[c].to_numpy() for c in WRENCH]), values)
        figure = plot_logs(tmp_path / "run", tmp_path / output, "wrench", tmp_path / "w.png",
                           topic="/ft")
        assert figure.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_unusable_bags_are_refused(tmp_path, capsys):
    flange_bag(tmp_path / "run")
    config = com_config(tmp_path / "c.json")
    data = (tmp_path / "run" / "run.mcap").read_bytes()
    (tmp_path / "cut.mcap").write_bytes(data[: len(data) // 2])
    for args, words in (
            (["--topic", "/chatter"], "carries std_msgs/msg/String, which the tool does not "),
            (["--topic", "/nope"], "has no topic /nope for the signal; it has: /chatter"),
            (["--topic", "/ft", "--tf-frames", "base", "tool"], "edges there: base -> flange"),
            (["--topic", "/ft", "--tf-topic", "/ft"], "a transform topic carries"),
            (["--topic", "/ft", "--block", "imu"], "use --block wrench"),
            (["--topic", "/ft", "--tf-topic", "/mocap", "-o", str(tmp_path / "run")],
             "same file as the input")):
        args = ["--block", "wrench", *args] if "--block" not in args else args
        assert main(["transform", config, str(tmp_path / "run"), "-o",
                     str(tmp_path / "o.mcap"), *args]) == 2
        assert words in capsys.readouterr().err
    assert main(["transform", config, str(tmp_path / "cut.mcap"), "--block", "wrench",
                 "--topic", "/ft", "-o", str(tmp_path / "o.mcap")]) == 2
    assert "cannot read the bag" in capsys.readouterr().err
    assert main(["transform", config, str(tmp_path / "gone.mcap"), "--block", "wrench",
                 "--topic", "/ft", "-o", str(tmp_path / "o.mcap")]) == 2
    assert capsys.readouterr().err == (f"oska-tf transform: error: cannot read the bag "
                                       f"{tmp_path / 'gone.mcap'}: no such file or directory.\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.json", "cut.mcap", "run"]


def test_a_rosbag2_folder_without_metadata_names_its_storage_file(tmp_path, capsys):
    flange_bag(tmp_path / "run")
    (tmp_path / "run" / "metadata.yaml").unlink()
    config = com_config(tmp_path / "c.json")
    command = ["--block", "wrench", "--topic", "/ft", "--tf-topic", "/mocap"]
    assert main(["transform", config, str(tmp_path / "run"), "-o", str(tmp_path / "o.mcap"),
                 *command]) == 2
    assert capsys.readouterr().err == (
        f"oska-tf transform: error: {tmp_path / 'run'}: the folder has no metadata.yaml, so it "
        "is not a rosbag2 bag the tool can open; the .db3 or .mcap file itself can be given: "
        f"{tmp_path / 'run' / 'run.mcap'}.\n")
    # ... which it then reads.
    assert main(["transform", config, str(tmp_path / "run" / "run.mcap"), "-o",
                 str(tmp_path / "o.mcap"), "-q", *command]) == 0


def test_without_a_moving_entry_the_output_frame_is_the_fixed_frame_of_tf_frames(tmp_path):
    flange_bag(tmp_path / "run")
    config = fixed_config(tmp_path / "c.json", "tf_wrench_config", (0.1, 0.2, 0.3))
    runs = {"tf_frames": dict(tf_frames=("/base", "flange")),
            "output_frame": dict(tf_frames=("base", "flange"), output_frame="tool"),
            "neither": dict()}
    frames = {}
    for name, options in runs.items():
        result = transform_log(config, "wrench", tmp_path / "run", tmp_path / f"{name}.mcap",
                               topic="/ft", **options)
        frames[name] = ({m.header.frame_id for m in read_topic(tmp_path / f"{name}.mcap",
                                                               "/ft_transformed")[1]},
                        "note" in result.details)
    assert frames == {"tf_frames": ({"base"}, False), "output_frame": ({"tool"}, False),
                      "neither": ({"oska_wrench"}, True)}


@pytest.mark.parametrize("output", ["out.mcap", "out.db3", "out.bag", "out_folder"])
def test_a_full_disk_is_one_line_for_every_bag_format(tmp_path, small_disk, capsys, output):
    flange_bag(tmp_path / "run")  # about 110 kB of messages for a disk of 64 KiB
    disk = small_disk({output: b"old"})
    assert main(["transform", com_config(tmp_path / "c.json"), str(tmp_path / "run"), "--block",
                 "wrench", "--topic", "/ft", "--tf-frames", "base", "flange", "-o",
                 str(disk / output), "-q"]) == 2
    assert capsys.readouterr().err == (f"oska-tf transform: error: cannot write {disk / output}: "
                                       "no space left on device\n")
    assert os.listdir(disk) == [output] and (disk / output).read_bytes() == b"old"


@pytest.fixture(scope="module")
def long_bag(tmp_path_factory):
    """An MCAP bag long enough to be stopped in the middle: 300,000 WrenchStamped on /ft."""
    from oska_tf_utils.chunks import SampleChunk
    from oska_tf_utils.formats.bags import BagSink
    from oska_tf_utils.formats.output import AtomicOutput

    bag = tmp_path_factory.mktemp("long") / "long.mcap"
    with AtomicOutput(bag) as target:  # the tool's own writer makes a long bag quickly
        sink = BagSink(target, "geometry_msgs/msg/WrenchStamped", "/ft", "ft")
        for part in np.array_split(np.arange(300_000), 10):
            stamps = START + part * 10**6
            values = np.random.default_rng(part[0]).normal(size=(len(part), 6))
            sink.write(SampleChunk(values, stamps, payload=stamps), values, None)
        sink.close()
    return str(bag)


@pytest.mark.parametrize("signum, output", [(SIGTERM, "out.mcap"), (SIGHUP, "out.db3"),
                                            (SIGTERM, "out.bag"), (SIGHUP, "out_folder")])
def test_a_signal_stops_every_bag_writer_and_leaves_nothing(tmp_path, long_bag, signum, output):
    config = fixed_config(tmp_path / "c.json", "tf_wrench_config")
    out = tmp_path / "out"
    out.mkdir()
    status, err, seen = interrupt([sys.executable, "-m", "oska_tf_utils", "transform", config,
                                   "--block", "wrench", long_bag, "--topic", "/ft", "-o",
                                   str(out / output), "--chunk-size", "4096"], out, signum)
    assert seen, "the run ended before it wrote anything"
    assert (status, err) == (128 + signum, "oska-tf: interrupted; nothing was written\n")
    assert os.listdir(out) == []


def test_transform_quaternions_of_a_bag_are_checked_by_stamp(tmp_path, capsys):
    flange_bag(tmp_path / "run", scaled=[(11, 0.5), (40, 2.0), (60, 0.0)])
    config = com_config(tmp_path / "c.json")
    command = ["transform", config, str(tmp_path / "run"), "--block", "wrench", "--topic", "/ft",
               "--chunk-size", "100", "-q"]
    # A dropout in /tf ends the run, named by its stamp.
    assert main(command + ["--tf-frames", "base", "flange", "-o", str(tmp_path / "a.mcap")]) == 2
    err = capsys.readouterr().err
    assert err.startswith("oska-tf transform: error: the transform quaternion at stamp "
                          "1700000000590000000 ns (+0.59 s from the log's first sample) of /tf "
                          "from base to flange, [0, 0, 0, 0], has norm 0: it holds no "
                          "orientation"), err
    flange_bag(tmp_path / "unit", scaled=[(11, 0.5), (40, 2.0)])
    with pytest.warns(OskaToolWarning) as caught:
        transform_log(config, "wrench", tmp_path / "unit", tmp_path / "b.mcap", topic="/ft",
                      tf_topic="/mocap", chunk_size=100)
    assert [str(w.message) for w in caught] == [
        "2 of the 102 transform rows of the topic /mocap hold a quaternion whose norm is off 1 "
        "by more than 1e-6, the first at stamp 1700000000100000000 ns (+0.1 s from the log's "
        "first sample) with norm 0.5; they are used as given, and a non-unit quaternion mixes the "
        "unrotated vector into the rotated one: --normalize-tf (normalize_tf=True) normalises "
        "them."]
    result = transform_log(config, "wrench", tmp_path / "unit", tmp_path / "c.parquet",
                           topic="/ft", tf_frames=("base", "flange"), normalize_tf=True)
    table = pq.read_table(tmp_path / "c.parquet")
    assert np.allclose(np.column_stack([table[c].to_numpy() for c in WRENCH]), WEIGHT_AT_COM,
                       atol=1e-12)
    assert result.warnings == []
