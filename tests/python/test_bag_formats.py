"""The bag formats under the tool: fixed-layout payloads against rosbags' own
serialiser, the fallback for payloads that do not fit, and each container
against what rosbags reads and writes."""

import numpy as np
import pytest
from rosbags.highlevel import AnyReader
from rosbags.typesys import Stores, get_types_from_msg, get_typestore

from oska_tf_utils.formats import messages as codec
from oska_tf_utils.formats.bags import Bag, BagSink
from oska_tf_utils.formats.output import AtomicOutput
from oska_tf_utils.chunks import SampleChunk
from oska_tf_utils.kinds import kind
from tool_logs import header, store as typestore, vector, write_bag

FRAMES = ("", "a", "ft", "abc", "base", "sensor/frame_1")  # every padding after the name
SPECIALS = np.array([np.nan, -0.0, np.inf, -np.inf, 5e-324, 1e308])


def stores():
    ros1 = get_typestore(Stores.ROS1_NOETIC)
    ros1.register(get_types_from_msg("geometry_msgs/TransformStamped[] transforms",
                                     "tf2_msgs/msg/TFMessage"))
    return {"cdr": (get_typestore(Stores.LATEST), False), "ros1": (ros1, True)}


def serializer(store, ros1, msgtype):
    return lambda m: bytes(store.serialize_ros1(m, msgtype) if ros1
                           else store.serialize_cdr(m, msgtype))


def deserializer(store, ros1, msgtype):
    return lambda b: (store.deserialize_ros1 if ros1 else store.deserialize_cdr)(b, msgtype)


def samples(rng, n, width):
    stamps = rng.integers(-2**31 * 10**9, 2**31 * 10**9, n)
    values = rng.normal(size=(n, width)) * 10.0 ** rng.integers(-300, 300, (n, width))
    values.flat[: len(SPECIALS)] = SPECIALS
    return stamps, values


@pytest.mark.parametrize("serialisation", ["cdr", "ros1"])
@pytest.mark.parametrize("msgtype", [*codec.SIGNAL_FIELDS, "geometry_msgs/msg/TransformStamped"])
def test_fixed_layouts_round_trip_bit_exactly_against_rosbags(serialisation, msgtype):
    store, ros1 = stores()[serialisation]
    paths = codec.SIGNAL_FIELDS.get(msgtype) or codec.TF_FIELDS[msgtype]
    rng = np.random.default_rng(len(msgtype))
    for frame in FRAMES:
        stamps, values = samples(rng, 40, len(paths))
        writer = codec.Writer(store, msgtype, ros1, paths, frame,
                              serializer(store, ros1, msgtype))
        encoded = writer.encode(stamps, values)
        expected = [serializer(store, ros1, msgtype)(writer.message(int(s), v))
                    for s, v in zip(stamps.tolist(), values)]
        assert [encoded.raw(i) for i in range(len(stamps))] == expected, frame
        reader = codec.Reader(store, msgtype, ros1, paths,
                              deserializer(store, ros1, msgtype))
        decoded = reader.decode(codec.Payloads.of(expected))
        assert reader._layout is not None  # read by the layout, not one by one
        assert decoded.stamps.tolist() == stamps.tolist()
        assert decoded.values.view(np.uint64).tolist() == values.view(np.uint64).tolist()
        assert decoded.first["header.frame_id"] == frame


def test_payloads_that_do_not_fit_the_layout_are_read_one_by_one():
    store, _ = stores()["cdr"]
    msgtype = "geometry_msgs/msg/WrenchStamped"
    T = store.types
    messages = [T[msgtype](header=header(store, 10**9 * i + 7, frame),
                           wrench=T["geometry_msgs/msg/Wrench"](force=vector(store, [i, 1, 2]),
                                                                torque=vector(store, [3, 4, i])))
                for i, frame in enumerate(["ft", "ft", "tool", "ft", "ft0", "ft", "/ft"])]
    raw = [bytes(store.serialize_cdr(m, msgtype)) for m in messages]
    raw[3] = bytes(store.serialize_cdr(messages[3], msgtype, little_endian=False))
    reader = codec.Reader(store, msgtype, False, codec.SIGNAL_FIELDS[msgtype],
                          deserializer(store, False, msgtype))
    for start in (0, 2):  # the first payload sets the layout, whichever it is
        decoded = reader.decode(codec.Payloads.of(raw[start:]))
        assert decoded.stamps.tolist() == [10**9 * i + 7 for i in range(start, 7)]
        assert decoded.values.tolist() == [[i, 1, 2, 3, 4, i] for i in range(start, 7)]
        assert decoded.first == {"header.frame_id": ["ft", "ft", "tool"][start]}


@pytest.mark.parametrize("serialisation", ["cdr", "ros1"])
def test_tf_edges_come_out_of_any_tf_message_in_order(serialisation):
    store, ros1 = stores()[serialisation]
    T = store.types

    def transform(ns, parent, child, x):
        kwargs = dict(header=header(store, ns, parent), child_frame_id=child,
                      transform=T["geometry_msgs/msg/Transform"](
                          translation=vector(store, [x, 0, 0]),
                          rotation=T["geometry_msgs/msg/Quaternion"](0.0, 0.0, 0.0, 1.0)))
        return T["geometry_msgs/msg/TransformStamped"](**kwargs)

    edges = [[("base", "flange")], [("base", "tool")], [("world", "base"), ("base", "flange")],
             [("base", "flange")], [("/base", "/flange")], [], [("base", "flange2")],
             [("base", "flange"), ("base", "flange")], [("base", "flange")]]
    raw = [serializer(store, ros1, codec.TF_MESSAGE)(T[codec.TF_MESSAGE](transforms=[
        transform(100 * i + j, p, c, 10 * i + j) for j, (p, c) in enumerate(pairs)]))
        for i, pairs in enumerate(edges)]
    expected = [(i, 10 * i + j) for i, pairs in enumerate(edges) for j, pair in enumerate(pairs)
                if tuple(codec.frame(f) for f in pair) == ("base", "flange")]
    reader = codec.EdgeReader(store, ros1, "base", "flange",
                              deserializer(store, ros1, codec.TF_MESSAGE))
    for lo, hi in ((0, 2), (2, len(raw))):  # the layout is learnt from the first message
        stamps, rows = reader.decode(codec.Payloads.of(raw[lo:hi]))
        assert reader._layout is not None
        xs = [x for i, x in expected if lo <= i < hi]
        assert rows[:, 0].tolist() == xs
        assert stamps.tolist() == [(x // 10) * 100 + x % 10 for x in xs]
        assert (rows[:, 3:] == [1, 0, 0, 0]).all()


def flange_topics(store, n, frames=("ft",)):
    T = store.types
    wrenches = [(10**9 + 1000 * i, T["geometry_msgs/msg/WrenchStamped"](
        header=header(store, 10**9 + 1000 * i, frames[i * len(frames) // n]),
        wrench=T["geometry_msgs/msg/Wrench"](force=vector(store, [i, 0, 0]),
                                             torque=vector(store, [0, 0, i]))))
        for i in range(n)]
    chatter = [(10**9 + 1000 * i, T["std_msgs/msg/String"](data="x" * 300))
               for i in range(0, n, 3)]
    return {"/ft": ("geometry_msgs/msg/WrenchStamped", wrenches),
            "/chatter": ("std_msgs/msg/String", chatter)}


def read_with_rosbags(path, topic):
    with AnyReader([path]) as reader:
        wanted = [c for c in reader.connections if c.topic == topic]
        return [(t, bytes(raw)) for _, t, raw in reader.messages(wanted)]


@pytest.mark.parametrize("name", ["run.mcap", "run_db3", "run.bag", "lz4.bag", "bz2.bag"])
def test_containers_give_the_messages_rosbags_gives_by_chunk(tmp_path, name):
    store = typestore()
    path = tmp_path / name
    write_bag(path, store, flange_topics(store, 20000), sqlite=name.endswith("db3"),
              compression=name[:3] if name[:3] in ("lz4", "bz2") else None)
    with Bag(path) as bag:
        ids, _ = bag.topic("/ft", "a test")
        assert bag._source(ids)[0] is bag.container  # read by chunk, not by rosbags
        chunks = list(bag.container.messages(ids))
        assert len(chunks) > 1
        logtimes = np.concatenate([c.logtimes for c in chunks]).tolist()
        expected = read_with_rosbags(path, "/ft")
        assert logtimes == [t for t, _ in expected]
        assert [c.payloads.raw(i) for c in chunks for i in range(len(c))] == \
            [raw for _, raw in expected]
        backwards = list(bag.container.messages_from_end(ids))
        assert np.concatenate([c.logtimes for c in backwards[::-1]]).tolist() == logtimes


def test_bags_whose_layout_allows_no_chunks_are_read_by_rosbags(tmp_path):
    store = typestore()
    topics = flange_topics(store, 12000)
    msgtype, wrenches = topics["/ft"]
    late = [(t - 10**6 if i == 11000 else t, m) for i, (t, m) in enumerate(wrenches)]
    write_bag(tmp_path / "overlapping", store, {"/ft": (msgtype, late),
                                                "/chatter": topics["/chatter"]})
    # rosbags numbers the topics of a folder as its metadata lists them
    from ruamel.yaml import YAML
    yaml, meta = YAML(typ="safe"), tmp_path / "overlapping" / "metadata.yaml"
    info = yaml.load(meta.read_text())
    info["rosbag2_bagfile_information"]["topics_with_message_count"].reverse()
    with meta.open("w") as file:
        yaml.dump(info, file)
    with Bag(tmp_path / "overlapping") as bag:
        ids, _ = bag.topic("/ft", "a test")
        assert bag._source(ids)[0] is not bag.container  # its chunks overlap in time
        signal = bag.signal("/ft", kind("wrench"), 5000)
        stamps = np.concatenate([c.payload for c in signal.chunks()]).tolist()
    assert stamps == sorted(t for t, _ in late)


@pytest.mark.parametrize("suffix", [".mcap", ".db3", ".bag", ""])
def test_written_bags_read_back_as_rosbags_writes_them(tmp_path, suffix):
    msgtype, frame = "sensor_msgs/msg/Imu", "imu_link"
    rng = np.random.default_rng(5)
    stamps, values = samples(rng, 30000, 6)
    logtimes = np.sort(rng.integers(0, 2**31 * 10**9, len(stamps)))
    output = tmp_path / f"out{suffix}"
    with AtomicOutput(output) as target:
        sink = BagSink(target, msgtype, "/imu_transformed", frame)
        for part in (slice(0, 100), slice(100, 100), slice(100, None)):
            sink.write(SampleChunk(values[part], stamps[part], payload=logtimes[part]),
                       values[part], None)
        sink.close()
    store, ros1 = stores()["ros1" if suffix == ".bag" else "cdr"]
    writer = codec.Writer(store, msgtype, ros1, codec.SIGNAL_FIELDS[msgtype], frame,
                          serializer(store, ros1, msgtype))
    expected = [serializer(store, ros1, msgtype)(writer.message(int(s), v))
                for s, v in zip(stamps.tolist(), values)]
    assert read_with_rosbags(output, "/imu_transformed") == list(zip(logtimes.tolist(), expected))
    with AnyReader([output]) as reader:
        (connection,) = reader.connections
        assert (connection.topic, connection.msgtype, connection.msgcount) == \
            ("/imu_transformed", msgtype, len(stamps))
        message = reader.deserialize(expected[0], msgtype)
        assert message.orientation_covariance[0] == -1 and message.header.frame_id == frame
    if not suffix:
        assert sorted(p.name for p in output.iterdir()) == ["metadata.yaml", "out.mcap"]


def test_a_chunk_whose_message_index_misleads_is_read_record_by_record(tmp_path):
    store = typestore()
    write_bag(tmp_path / "run", store, flange_topics(store, 20000))
    path = tmp_path / "run" / "run.mcap"
    with Bag(path) as bag:
        chunk = bag.container.chunks[1]
        entry = chunk.message_index_offsets[1] + 9 + 6 + 8  # the first entry's offset
    data = bytearray(path.read_bytes())
    offset = int.from_bytes(data[entry:entry + 8], "little")
    data[entry:entry + 8] = (offset + 1).to_bytes(8, "little")
    path.write_bytes(bytes(data))
    with Bag(path) as bag:
        ids, _ = bag.topic("/ft", "a test")
        found = [c.payloads.raw(i) for c in bag.container.messages(ids) for i in range(len(c))]
    assert found == [raw for _, raw in read_with_rosbags(path, "/ft")]


def test_ros1_records_of_other_shapes_are_read_one_by_one():
    import io

    from rosbags.rosbag1.reader import RecordType
    from rosbags.rosbag1.writer import Header

    from oska_tf_utils.formats import rosbag1

    setters = {"conn": "set_uint32", "time": "set_time", "topic": "set_string",
               "callerid": "set_string"}

    def record(op, fields, data):
        out, header = io.BytesIO(), Header()
        for name, value in fields:
            getattr(header, setters[name])(name, value)
        header.write(out, op)
        return out.getvalue() + len(data).to_bytes(4, "little") + data

    connection = record(RecordType.CONNECTION, [("conn", 1), ("topic", "/x")], b"")
    messages = [record(RecordType.MSGDATA, [("conn", conn), ("time", 10 + i)], payload)
                for i, (conn, payload) in enumerate([(1, b"ab"), (2, b"cdef"), (1, b"")])]
    chunk = b"".join([connection, *messages])
    at = np.cumsum([len(connection)] + [len(m) for m in messages])[:-1]
    located = rosbag1._located(np.frombuffer(chunk, np.uint8), at)
    assert [located.raw(i) for i in range(3)] == [b"ab", b"cdef", b""]
    odd = record(RecordType.MSGDATA, [("time", 3), ("conn", 1), ("callerid", "x")], b"gh")
    chunk += odd
    at = np.append(at, len(chunk) - len(odd))
    assert rosbag1._located(np.frombuffer(chunk, np.uint8), at) is None
    at[0] = 0  # an index entry at the connection record before its first message
    found = rosbag1._record_by_record(chunk, at)
    assert [found.raw(i) for i in range(4)] == [b"ab", b"cdef", b"", b"gh"]
