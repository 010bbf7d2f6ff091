"""oska-tf on bags read and written by chunk: whatever a bag's layout, the bits
of reading it message by message with rosbags; errors that the whole log
decides before any chunk is transformed; memory set by the chunk size."""

import os
import subprocess
import sys
from operator import attrgetter

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from mcap.writer import CompressionType, IndexType, Writer as McapLibraryWriter
from rosbags.highlevel import AnyReader

from oska_tf_utils import OskaToolError, transform_log
from oska_tf_utils.chunks import ChunkTransformer, SampleChunk
from oska_tf_utils.formats.bags import BagSink
from oska_tf_utils.formats.output import AtomicOutput
from tool_logs import (WEIGHT_AT_COM, com_config, flange, header, sensor_wrench, store, table,
                       vector, write_bag)

WRENCH = ("fx", "fy", "fz", "tx", "ty", "tz")
TF = ("tx", "ty", "tz", "qw", "qx", "qy", "qz")
NS = 10**9
START = 1_700_000_000 * NS


def messy_bag(path, sqlite=False, mocap_end=1.0):
    """1 kHz WrenchStamped on /ft whose frame name changes twice, and the flange
    on /tf at 100 Hz, written in every way /tf is found in recordings: alone,
    beside other edges in one message, with leading slashes, and other edges
    in messages of their own."""
    s = store()
    T = s.types
    t = np.arange(1000) / 1000.0
    stamps = START + np.rint(t * NS).astype(np.int64)
    frames = ["ft"] * 400 + ["ft_sensor_2"] * 300 + ["x"] * 300
    wrenches = [(ns, T["geometry_msgs/msg/WrenchStamped"](
        header=header(s, ns, frame), wrench=T["geometry_msgs/msg/Wrench"](
            force=vector(s, w[:3]), torque=vector(s, w[3:]))))
        for ns, w, frame in zip(stamps.tolist(), sensor_wrench(t), frames)]

    def transform(ns, pose, parent="base", child="flange"):
        return T["geometry_msgs/msg/TransformStamped"](
            header=header(s, ns, parent), child_frame_id=child,
            transform=T["geometry_msgs/msg/Transform"](
                translation=vector(s, pose[:3]),
                rotation=T["geometry_msgs/msg/Quaternion"](*map(float, pose[[4, 5, 6, 3]]))))

    tf, poses = [], []
    mocap = np.arange(-1, int(100 * mocap_end) + 1) / 100.0
    for k, (m, pose) in enumerate(zip(mocap, flange(mocap))):
        ns = START + round(m * NS)
        other = transform(ns, pose * 0 + 1, "base", "camera")
        shapes = [[transform(ns, pose)], [other, transform(ns, pose)],
                  [transform(ns, pose, "/base", "/flange")], [transform(ns, pose), other]]
        tf.append((ns, T["tf2_msgs/msg/TFMessage"](transforms=shapes[k % 4])))
        tf.append((ns, T["tf2_msgs/msg/TFMessage"](transforms=[other])))
        poses.append((ns, transform(ns, pose)))
    write_bag(path, s, {"/ft": ("geometry_msgs/msg/WrenchStamped", wrenches),
                        "/tf": ("tf2_msgs/msg/TFMessage", tf),
                        "/mocap": ("geometry_msgs/msg/TransformStamped", poses),
                        "/idle": ("geometry_msgs/msg/WrenchStamped", [])}, sqlite=sqlite)
    return stamps


def read_table(path):
    table = pq.read_table(path)
    return table["t_ns"].to_numpy(), np.column_stack([table[c].to_numpy() for c in WRENCH])


def by_rosbags(monkeypatch):
    """Makes every bag's containers give way to rosbags, message by message."""
    for container in ("mcap.McapFile", "sqlite.Sqlite3File", "rosbag1.Rosbag1File"):
        module, name = container.split(".")
        monkeypatch.setattr(getattr(__import__(f"oska_tf_utils.formats.{module}",
                                               fromlist=[name]), name),
                            "ordered", lambda self, ids: False)


@pytest.mark.parametrize("name", ["messy", "messy_db3", "messy.bag"])
def test_any_bag_gives_the_bits_of_reading_it_message_by_message(tmp_path, monkeypatch, name):
    stamps = messy_bag(tmp_path / name, sqlite=name.endswith("db3"))
    config = com_config(tmp_path / "c.json")
    options = dict(topic="/ft", tf_frames=("base", "flange"), chunk_size=300)
    for output in ("chunked.parquet", "chunked.mcap"):
        transform_log(config, "wrench", tmp_path / name, tmp_path / output, **options)
    t, values = read_table(tmp_path / "chunked.parquet")
    assert t.tolist() == stamps.tolist()
    assert np.allclose(values, WEIGHT_AT_COM, atol=1e-12)
    by_rosbags(monkeypatch)
    transform_log(config, "wrench", tmp_path / name, tmp_path / "general.parquet", **options)
    assert pq.read_table(tmp_path / "general.parquet").equals(
        pq.read_table(tmp_path / "chunked.parquet"))
    with AnyReader([tmp_path / "chunked.mcap"]) as reader:
        frames = {reader.deserialize(raw, c.msgtype).header.frame_id
                  for c, _, raw in reader.messages()}
    assert frames == {"base"}


def rewrite(source, target, index):
    """The bag as another writer makes it: zstd chunks, with or without an index."""
    with AnyReader([source]) as reader, open(target, "wb") as file:
        writer = McapLibraryWriter(file, compression=CompressionType.ZSTD, index_types=index,
                                   use_summary_offsets=index != IndexType.NONE,
                                   use_statistics=index != IndexType.NONE,
                                   repeat_channels=index != IndexType.NONE,
                                   repeat_schemas=index != IndexType.NONE)
        writer.start("ros2", "test")
        channels = {}
        for c in reader.connections:
            definition, _ = reader.typestore.generate_msgdef(c.msgtype, ros_version=2)
            schema = writer.register_schema(c.msgtype, "ros2msg", definition.encode())
            channels[c.id] = writer.register_channel(c.topic, "cdr", schema,
                                                     {"offered_qos_profiles": ""})
        for c, logtime, raw in reader.messages():
            writer.add_message(channels[c.id], logtime, bytes(raw), logtime)
        writer.finish()


def test_mcap_of_other_writers_compressed_or_without_index(tmp_path):
    messy_bag(tmp_path / "messy")
    config = com_config(tmp_path / "c.json")
    options = dict(topic="/ft", tf_frames=("base", "flange"))
    transform_log(config, "wrench", tmp_path / "messy", tmp_path / "ours.parquet", **options)
    for index in (IndexType.ALL, IndexType.NONE):
        rewrite(tmp_path / "messy", tmp_path / f"{index.name}.mcap", index)
        transform_log(config, "wrench", tmp_path / f"{index.name}.mcap",
                      tmp_path / f"{index.name}.parquet", **options)
        assert pq.read_table(tmp_path / f"{index.name}.parquet").equals(
            pq.read_table(tmp_path / "ours.parquet"))


def test_errors_of_the_whole_log_come_before_any_chunk_is_transformed(tmp_path, monkeypatch):
    transformed = []
    original = ChunkTransformer.transform
    monkeypatch.setattr(ChunkTransformer, "transform", lambda self, chunk, following=None: (
        transformed.append(len(chunk.signal)), original(self, chunk, following))[1])
    stamps = messy_bag(tmp_path / "short.bag", mocap_end=0.6)
    config = com_config(tmp_path / "c.json")
    options = dict(topic="/ft", tf_frames=("base", "flange"), chunk_size=100)
    last, first_after = START + round(0.6 * NS), int(stamps[601])
    # Stamps in nanoseconds, with the seconds from the log's first sample beside them.
    message = ("the sample at 1700000000601000000 ns (+0.601 s from the log's first sample) is "
               "0.001 s after the last transform stamp of /tf from base to flange, "
               "1700000000600000000 ns (+0.6 s from the log's first sample), and so is every "
               "later sample. The tool does not extrapolate: use --outside drop or --outside "
               "hold, or a transform stream that lasts longer.")
    assert (last, first_after) == (1700000000600000000, 1700000000601000000)
    with pytest.raises(OskaToolError) as error:
        transform_log(config, "wrench", tmp_path / "short.bag", tmp_path / "o.mcap", **options)
    assert str(error.value) == message and transformed == []
    options.update(tf_frames=None, tf_topic="/mocap")
    with pytest.raises(OskaToolError) as error:
        transform_log(config, "wrench", tmp_path / "short.bag", tmp_path / "o.mcap", **options)
    assert str(error.value) == message.replace("/tf from base to flange", "the topic /mocap")
    assert transformed == []
    options.update(tf_frames=("base", "flange"), tf_topic=None)
    # A Parquet log against a Parquet transform table ends the same way.
    t = (stamps - START) / NS
    pq.write_table(table(t, sensor_wrench(t), WRENCH), tmp_path / "log.parquet")
    mocap = np.arange(-1, 61) / 100.0
    pq.write_table(table(mocap, flange(mocap), TF), tmp_path / "mocap.parquet")
    with pytest.raises(OskaToolError, match="is 0.001 s after the last transform stamp"):
        transform_log(config, "wrench", tmp_path / "log.parquet", tmp_path / "o.parquet",
                      tf=tmp_path / "mocap.parquet", chunk_size=100)
    assert transformed == []
    # A log that also starts before the transform says so from its first chunk, as before.
    pq.write_table(table(mocap[10:], flange(mocap[10:]), TF), tmp_path / "late.parquet")
    with pytest.raises(OskaToolError, match="before the first transform stamp"):
        transform_log(config, "wrench", tmp_path / "log.parquet", tmp_path / "o.parquet",
                      tf=tmp_path / "late.parquet", chunk_size=100)
    assert transformed == [100]
    result = transform_log(config, "wrench", tmp_path / "short.bag", tmp_path / "o.parquet",
                           outside="hold", **options)
    assert result.samples_out == 1000 and not list(tmp_path.glob(".*oska-tf"))


PEAK = """
import sys
from oska_tf_utils import transform_log
transform_log(sys.argv[1], "wrench", sys.argv[2], sys.argv[3], topic="/ft", tf=sys.argv[4],
              chunk_size=4096)
print([int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM")][0])
"""


def test_memory_is_set_by_the_chunk_size_not_the_log(tmp_path):
    config = com_config(tmp_path / "c.json")
    peaks = []
    for n in (50_000, 800_000):
        t = np.arange(n) / 1000.0
        bag = tmp_path / f"ft{n}.mcap"
        with AtomicOutput(bag) as target:  # the tool's own writer makes long logs quickly
            sink = BagSink(target, "geometry_msgs/msg/WrenchStamped", "/ft", "ft")
            for part in np.array_split(np.arange(n), n // 20_000):
                values = np.tile(sensor_wrench(t[part[:1]]), (len(part), 1))
                stamps = START + np.rint(t[part] * NS).astype(np.int64)
                sink.write(SampleChunk(values, stamps, payload=stamps), values, None)
            sink.close()
        mocap = np.arange(-1, n // 10 + 2) / 100.0
        pq.write_table(pa.table({"t_ns": START + np.rint(mocap * NS).astype(np.int64),
                                 **dict(zip(TF, flange(mocap).T))}), tmp_path / "mocap.parquet",
                       row_group_size=4096)  # pyarrow decodes a whole row group at a time
        run = subprocess.run([sys.executable, "-c", PEAK, config, str(bag),
                              str(tmp_path / f"out{n}.mcap"), str(tmp_path / "mocap.parquet")],
                             capture_output=True, text=True, check=True)
        peaks.append(int(run.stdout))
    data = os.path.getsize(tmp_path / "ft800000.mcap") - os.path.getsize(tmp_path / "ft50000.mcap")
    assert (peaks[1] - peaks[0]) * 1024 < data / 4, (peaks, data)


@pytest.mark.parametrize("msgtype, block", [("sensor_msgs/msg/Imu", "imu"),
                                            ("geometry_msgs/msg/AccelStamped", "twist"),
                                            ("geometry_msgs/msg/PoseStamped", "pose")])
def test_every_kind_of_message_reads_and_writes_its_fields(tmp_path, msgtype, block):
    from oska_tf_utils import kind, prepare_block
    from oska_tf_utils.formats.messages import SIGNAL_FIELDS, build
    from tool_logs import fixed_config

    s = store()
    rng = np.random.default_rng(3)
    values = rng.normal(size=(2500, kind(block).size))
    fields = SIGNAL_FIELDS[msgtype]
    messages = [(START + i, build(s, msgtype, {**dict(zip(fields, row.tolist())),
                                               "header.frame_id": "body",
                                               "header.stamp.sec": 1, "header.stamp.nanosec": i}))
                for i, row in enumerate(values)]
    write_bag(tmp_path / "in", s, {"/x": (msgtype, messages)})
    config = fixed_config(tmp_path / "c.json", kind(block).section, (0.1, -0.2, 0.3))
    transform_log(config, block, tmp_path / "in", tmp_path / "out.mcap", topic="/x")
    expected = np.empty_like(values)
    prepare_block(config, kind(block))[0].update_batch(values, expected)
    with AnyReader([tmp_path / "out.mcap"]) as reader:
        out = [reader.deserialize(raw, c.msgtype) for c, _, raw in reader.messages()]
    got = np.array([attrgetter(*fields)(m) for m in out])
    assert got.tobytes() == expected.tobytes()
    assert [m.header.stamp.nanosec for m in out] == list(range(2500))
    assert {m.header.frame_id for m in out} == {"body" if block == "pose" else "oska_" + block}


@pytest.mark.parametrize("output", ["e.mcap", "e.db3", "e.bag", "e_folder", "e.parquet"])
def test_an_empty_topic_gives_an_empty_output_that_rosbags_reads(tmp_path, output):
    messy_bag(tmp_path / "messy")
    result = transform_log(com_config(tmp_path / "c.json"), "wrench", tmp_path / "messy",
                           tmp_path / output, topic="/idle", tf_frames=("base", "flange"))
    assert (result.samples_in, result.samples_out) == (0, 0)
    if output.endswith(".parquet"):
        assert pq.read_table(tmp_path / output).column_names == ["t_ns", *WRENCH]
        return
    with AnyReader([tmp_path / output]) as reader:
        assert [(c.topic, c.msgtype, c.msgcount) for c in reader.connections] == \
            [("/idle_transformed", "geometry_msgs/msg/WrenchStamped", 0)]
        assert list(reader.messages()) == []


def test_a_topic_of_another_type_is_refused_with_every_type_the_tool_reads(tmp_path):
    messy_bag(tmp_path / "messy")
    with pytest.raises(OskaToolError) as error:
        transform_log(com_config(tmp_path / "c.json"), "wrench", tmp_path / "messy",
                      tmp_path / "o.mcap", topic="/mocap", tf_frames=("base", "flange"))
    assert str(error.value) == (
        "the topic /mocap carries geometry_msgs/msg/TransformStamped, which the tool does not "
        "transform; it reads geometry_msgs/msg/WrenchStamped (wrench), "
        "geometry_msgs/msg/TwistStamped (twist), geometry_msgs/msg/AccelStamped (twist), "
        "sensor_msgs/msg/Imu (imu), geometry_msgs/msg/PoseStamped (pose).")
