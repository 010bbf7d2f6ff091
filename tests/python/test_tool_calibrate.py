"""oska-tf calibrate and the payload through the log tool: a known payload
recovered from a bag and from a table, the motion between the poses left out,
logs that cannot determine it refused with nothing written, the section
replaced with the rest of the file kept, and the written section compensating
the log down to the sensor's noise."""

import errno
import json
import math
import pathlib
import re

import numpy as np
import pyarrow.parquet as pq
import pytest
from rosbags.highlevel import AnyReader

import oska_tf_utils_ext as ext
from oska_control import OskaControlReturnCode as Code
from oska_tf_utils import OskaToolError
from oska_tf_utils import check_config, transform_log
from oska_tf_utils.calibrate import calibrate_log
from oska_tf_utils.cli import main
from oska_tf_utils.options import OptionError, OptionTypeError
from oska_tf_utils.payload import still_samples
from tool_logs import (FORCE_BIAS, NOISE, PAYLOAD_COM, PAYLOAD_MASS, POSES_DEG, TORQUE_BIAS,
                       calibration_poses, quaternion, sensor_reading, write_calibration_bag,
                       write_calibration_table)

WRENCH = ("fx", "fy", "fz", "tx", "ty", "tz")
TILTED_SENSOR = quaternion((0, 0, 30))  # the sensor turned 30° about the flange's z axis


def calibration_log(tmp_path, fmt, poses=None, sensor_axes=(1.0, 0.0, 0.0, 0.0)):
    """A calibration log of the known payload, and the arguments that read it."""
    t, q, moving = calibration_poses() if poses is None else calibration_poses(poses)
    wrench = sensor_reading(q, moving, sensor_axes)
    if fmt == "parquet":
        return write_calibration_table(tmp_path / "calib.parquet", t, wrench, q), [], moving
    write_calibration_bag(tmp_path / "calib", t, wrench, q)
    return str(tmp_path / "calib"), ["--topic", "/ft", "--tf-frames", "base", "flange"], moving


def calibrate(log, config, *args, expect=0):
    code = main(["calibrate", log, "-o", str(config), "-q", "--json", *args])
    assert code == expect
    return code


@pytest.mark.parametrize("fmt", ["mcap", "parquet"])
def test_a_known_payload_is_recovered_and_then_compensated_to_the_noise(tmp_path, capsys, fmt):
    log, source, moving = calibration_log(tmp_path, fmt)
    config = tmp_path / "config.json"
    calibrate(log, config, *source)
    report = json.loads(capsys.readouterr().out)
    assert abs(report["mass"]["value"] - PAYLOAD_MASS) < 0.005 * PAYLOAD_MASS
    assert np.all(np.abs(np.subtract(report["center_of_mass"]["value"], PAYLOAD_COM)) < 1e-3)
    for key, truth in (("force_bias", FORCE_BIAS), ("torque_bias", TORQUE_BIAS)):
        error = np.abs(np.subtract(report[key]["value"], truth))
        assert np.all(error < 3 * np.array(report[key]["stderr"])), (key, error)
    assert report["residual_rms"]["force"] == pytest.approx(NOISE[0], rel=0.1)
    assert report["residual_rms"]["torque"] == pytest.approx(NOISE[1], rel=0.1)
    samples = report["samples"]
    assert samples["moving"] >= moving.sum() and samples["used"] > 1000
    assert report["still_periods"] == 8
    assert samples["used"] + samples["moving"] + samples["settling"] == samples["read"]

    # The section loads in the C++ loader with the values printed.
    block = ext.OskaTfPayload(str(config))
    loaded = block.config()
    assert loaded.name == "payload" and loaded.mass == report["mass"]["value"]
    assert list(loaded.force_bias) == report["force_bias"]["value"]
    assert [f.severity for f in check_config(config)] == []

    # Compensated with it, the still samples are down to the sensor's noise.
    out = tmp_path / "compensated.parquet"
    transform_log(config, "payload", log, out, **(
        {"topic": "/ft", "tf_frames": ("base", "flange")} if fmt == "mcap" else {}))
    table = pq.read_table(out)
    values = np.column_stack([table[c].to_numpy() for c in WRENCH])
    still = ~_near(moving, 100)  # half a second from any motion
    rms = np.sqrt((values[still] ** 2).mean(axis=0))
    assert np.all(rms[:3] < 1.1 * NOISE[0]) and np.all(rms[3:] < 1.1 * NOISE[1]), rms


def _near(mask, samples):
    """The samples within `samples` of a true one."""
    kernel = np.ones(2 * samples + 1)
    return np.convolve(mask.astype(float), kernel, "same") > 0


def test_the_compensated_bag_keeps_the_sensor_frame(tmp_path):
    log, _, _ = calibration_log(tmp_path, "mcap")
    config = tmp_path / "config.json"
    calibrate(log, config, "--topic", "/ft", "--tf-frames", "base", "flange")
    result = transform_log(config, "payload", log, tmp_path / "out.mcap", topic="/ft",
                           tf_frames=("base", "flange"))
    assert result.details["frame"] == "ft_sensor"
    with AnyReader([tmp_path / "out.mcap"]) as reader:
        frames = {reader.deserialize(raw, c.msgtype).header.frame_id
                  for c, _, raw in reader.messages()}
    assert frames == {"ft_sensor"}


def test_motion_between_the_poses_is_left_out(tmp_path):
    log, _, moving = calibration_log(tmp_path, "parquet")
    kept = calibrate_log(log)
    # Every sample taken while turning is left out, and the margin around the turns.
    t, q, _ = calibration_poses()
    still = still_samples(np.rint(t * 1e9).astype(np.int64), q)
    assert not (still.keep & moving).any()
    assert still.settling > 0 and not (still.keep & _near(moving, 80)).any()
    assert still.keep[~_near(moving, 120)].all()  # and nothing more
    assert abs(kept.estimate.mass - PAYLOAD_MASS) < 0.005 * PAYLOAD_MASS
    # With the motion counted as still, its force is taken for weight and bias.
    careless = calibrate_log(log, max_rate=1e6, settle=0.0)
    assert careless.samples_moving == 0 and careless.samples_used == careless.samples_read
    assert np.abs(careless.estimate.force_bias - FORCE_BIAS).max() > 0.1


@pytest.mark.parametrize("poses, words", [
    ([(180, 0, 0)] * 4, "cannot be told apart from the force bias"),
    ([(0, 0, a) for a in (0, 60, 120, 180, 240)], "turned only about the vertical"),
    ([(0, 0, 0), (180, 0, 0), (0, 0, 0), (180, 0, 0)], "does not show in the torque"),
])
def test_a_log_that_cannot_determine_the_payload_writes_nothing(tmp_path, capsys, poses, words):
    log, _, _ = calibration_log(tmp_path, "parquet", poses)
    new = tmp_path / "new.json"
    calibrate(log, new, expect=2)
    assert words in capsys.readouterr().err
    assert not new.exists() and not list(tmp_path.glob(".new.json*"))
    existing = tmp_path / "existing.json"
    existing.write_bytes(b'{"tf_payload_config": {"mass": 0, "center_of_mass": [0, 0, 0],'
                         b' "force_bias": [0, 0, 0], "torque_bias": [0, 0, 0]}}')
    calibrate(log, existing, expect=2)
    assert existing.read_bytes().startswith(b'{"tf_payload_config": {"mass": 0,')


@pytest.mark.parametrize("column, value, words", [
    ("fy", np.nan, "at 12.5 s, the wrench is not finite"),
    ("tf_qw", 0.0, "at 12.5 s, the transform's rotation is zero or not finite"),
])
def test_a_dropout_in_the_log_is_refused_with_its_time(tmp_path, capsys, column, value, words):
    t, q, moving = calibration_poses()
    wrench = sensor_reading(q, moving)
    if column == "tf_qw":
        q = q.copy()
        q[2500] = 0.0
    else:
        wrench[2500, 1] = value
    log = write_calibration_table(tmp_path / "calib.parquet", t, wrench, q)
    calibrate(log, tmp_path / "c.json", expect=2)
    assert words in capsys.readouterr().err and not (tmp_path / "c.json").exists()


def test_only_the_payload_section_is_replaced(tmp_path, capsys):
    log, _, _ = calibration_log(tmp_path, "parquet", sensor_axes=TILTED_SENSOR)
    axes = json.dumps(TILTED_SENSOR.tolist())
    before = ('\ufeff{\r\n  "tf_wrench_config": { "name": "w",  "set_input_reference_point": '
              '{"origin": "moving_frame", "translation": [0, 0, 0.05]} },\r\n'
              '  "tf_payload_config": {"note": "gripper v2", "policy": "hard_rt", "name": "grip",'
              f' "mass": 0, "center_of_mass": [0, 0, 0], "sensor_axes": {axes}}},\r\n'
              '  "tf_imu_config": {}\r\n}\r\ntext the library ignores\r\n')
    config = tmp_path / "config.json"
    config.write_bytes(before.encode())
    config.chmod(0o640)
    calibrate(log, config)
    after = config.read_bytes().decode()
    head, tail = before.split('{"note"')[0], before.split('[0, 0, 0], "sensor_axes": ')[1]
    tail = tail[tail.index("},") + 1:]
    assert after.startswith(head) and after.endswith(tail)  # every other byte kept
    section = json.loads(after.lstrip("\ufeff").split("text the")[0])["tf_payload_config"]
    assert list(section) == ["note", "policy", "name", "mass", "center_of_mass", "sensor_axes",
                             "force_bias", "torque_bias", "gravity"]
    assert section["note"] == "gripper v2" and section["policy"] == "hard_rt"
    # The sensor's axes came from the section: without them the fit would be off.
    assert abs(section["mass"] - PAYLOAD_MASS) < 0.005 * PAYLOAD_MASS
    assert np.all(np.abs(np.subtract(section["center_of_mass"], PAYLOAD_COM)) < 1e-3)
    assert oct(config.stat().st_mode & 0o777) == "0o640"
    assert ext.OskaTfPayload(str(config)).name() == "grip"
    # Again, with a new name: the same place, the rest still kept.
    capsys.readouterr()
    calibrate(log, config, "--name", "gripper")
    again = config.read_bytes().decode()
    assert again.startswith(head) and again.endswith(tail)
    assert json.loads(capsys.readouterr().out)["section"]["name"] == "gripper"


@pytest.mark.parametrize("content, words", [
    (b'{"tf_wrench_config": {}, }', "syntax error"),
    (b'[1, 2]', "the file holds a JSON array"),
    (b'{"tf_payload_config": {"policy": 3, "sensor_axes": [1, 0, 0, 0]}}', "would not load"),
    (b'{"tf_payload_config": {"sensor_axes": [0, 0, 0, 0]}}', "sensor_axes must be 4 finite"),
])
def test_a_configuration_it_cannot_keep_is_left_as_it_was(tmp_path, capsys, content, words):
    log, _, _ = calibration_log(tmp_path, "parquet")
    config = tmp_path / "config.json"
    config.write_bytes(content)
    calibrate(log, config, expect=2)
    assert words in capsys.readouterr().err
    assert config.read_bytes() == content
    assert sorted(p.name for p in tmp_path.iterdir()) == ["calib.parquet", "config.json"]


@pytest.mark.parametrize("options, error, words", [
    ({"max_rate": 0}, OptionError, "--max-rate must be a positive number of deg/s, not 0."),
    ({"max_rate": math.nan}, OptionError, "--max-rate must be a positive number"),
    ({"max_rate": "3"}, OptionTypeError, "max_rate must be a number of deg/s"),
    ({"settle": -0.5}, OptionError, "--settle must be a number of seconds of at least 0"),
    ({"settle": math.inf}, OptionError, "--settle must be a finite number of seconds, not inf."),
    ({"tf": "a.csv", "tf_frames": ("base", "flange")}, OptionError,
     "give the transform one way"),
    ({"chunk_size": 0}, OptionError, "the chunk size must be at least 1 row"),
])
def test_options_are_refused_before_the_configuration_is_read(tmp_path, options, error, words):
    # The configuration is a folder: reading it first would fail otherwise.
    with pytest.raises(error, match=re.escape(words)):
        calibrate_log(tmp_path / "calib.parquet", config=tmp_path, **options)


def test_a_full_disk_leaves_the_configuration_as_it_was(tmp_path, capsys, monkeypatch):
    log, _, _ = calibration_log(tmp_path, "parquet")
    config = tmp_path / "config.json"
    config.write_bytes(b'{"tf_wrench_config": {}}')

    def full(path, data):
        path.write_text("{")  # a part written, then the disk is full
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(pathlib.Path, "write_bytes", full)
    calibrate(log, config, expect=2)
    assert f"cannot write {config}: no space left on device" in capsys.readouterr().err
    assert config.read_bytes() == b'{"tf_wrench_config": {}}'
    assert sorted(p.name for p in tmp_path.iterdir()) == ["calib.parquet", "config.json"]


def test_the_payload_transform_says_what_transform_to_give(tmp_path, capsys):
    log, _, _ = calibration_log(tmp_path, "mcap")
    config = tmp_path / "config.json"
    calibrate(log, config, "--topic", "/ft", "--tf-frames", "base", "flange")
    capsys.readouterr()
    assert main(["transform", str(config), "--block", "payload", log, "--topic", "/ft",
                 "-o", str(tmp_path / "out.parquet")]) == 2
    assert ("the payload block turns its signal's axes with the moving frame, so every sample "
            "needs the fixed-to-moving transform") in capsys.readouterr().err
    assert main(["calibrate", log, "--topic", "/ft", "-o", str(tmp_path / "c.json")]) == 2
    assert "give --tf-topic TOPIC, --tf-frames PARENT CHILD" in capsys.readouterr().err
    # A table with the wrench only.
    bare = tmp_path / "bare.parquet"
    pq.write_table(pq.read_table(write_calibration_table(tmp_path / "t.parquet", *_log()))
                   .select(["t", *WRENCH]), bare)
    for command in (["transform", str(config), "--block", "payload"], ["calibrate"]):
        assert main([*command, str(bare), "-o", str(tmp_path / "out.parquet")]) == 2
        assert (f"needs the fixed-to-moving transform (the moving frame's pose in the fixed "
                f"frame): add the columns tf_tx, tf_ty, tf_tz, tf_qw, tf_qx, tf_qy, tf_qz to "
                f"{bare} or give a transform table with --tf FILE") in capsys.readouterr().err
    assert not (tmp_path / "out.parquet").exists() and not (tmp_path / "c.json").exists()


def _log():
    t, q, moving = calibration_poses()
    return t, sensor_reading(q, moving), q


def test_cli_text_report_and_usage(tmp_path, capsys):
    log, _, _ = calibration_log(tmp_path, "parquet")
    assert main(["calibrate", log, "-o", str(tmp_path / "c.json"), "-q"]) == 0
    out = capsys.readouterr().out
    assert "of 4601 samples used, in 8 still period(s)" in out and "mass            1.35" in out
    assert 'section "tf_payload_config" written; a new file' in out and "note:" not in out
    assert main(["calibrate", log, "-o", str(tmp_path / "c.json"), "-q"]) == 0
    assert "written; the rest of the file kept as it was" in capsys.readouterr().out
    few, _, _ = calibration_log(tmp_path, "parquet", POSES_DEG[:4])
    assert main(["calibrate", few, "-o", str(tmp_path / "c.json"), "-q"]) == 0
    assert "note: only 4 still period(s); 6 to 10 poses" in capsys.readouterr().out
    with pytest.raises(SystemExit) as usage:
        main(["calibrate", log, "-o", "c.json", "--tf", "a.csv", "--tf-topic", "/x"])
    assert usage.value.code == 64
    with pytest.raises(SystemExit):
        main(["calibrate", "--help"])
    assert "6 to 10 static poses" in capsys.readouterr().out


def test_a_section_is_added_after_the_others_through_a_link(tmp_path):
    log, _, _ = calibration_log(tmp_path, "parquet")
    real = tmp_path / "real.json"
    before = '{\n    "tf_wrench_config": {"name": "w"}\n}\n'
    real.write_text(before)
    link = tmp_path / "config.json"
    link.symlink_to(real)
    calibrate(log, link)
    assert link.is_symlink()
    after = real.read_text()
    assert after.startswith('{\n    "tf_wrench_config": {"name": "w"},\n    "tf_payload_config": '
                            '{\n        "name": "payload",\n')
    assert after.endswith("\n    }\n}\n")
    assert ext.OskaTfWrench(str(link)).name() == "w"
    assert ext.OskaTfPayload(str(link)).name() == "payload"


def test_dask_entry_points_compensate_a_payload_log(tmp_path):
    import dask.array as da
    import dask.dataframe as dd

    from oska_tf_utils.dask import transform_array, transform_dataframe, transform_logs

    log, _, _ = calibration_log(tmp_path, "parquet")
    config = tmp_path / "config.json"
    calibrate(log, config)
    table = pq.read_table(log)
    wrench = np.column_stack([table[c].to_numpy() for c in WRENCH])
    tf = np.column_stack([table[f"tf_{c}"].to_numpy()
                          for c in ("tx", "ty", "tz", "qw", "qx", "qy", "qz")])
    expected = np.empty_like(wrench)
    code = ext.OskaTfPayload(str(config)).update_batch(wrench, expected, fixed_to_moving_tf=tf)
    assert code == Code.Ok
    arrays = transform_array(str(config), "payload", da.from_array(wrench, chunks=1000),
                             tf=da.from_array(tf, chunks=700)).compute()
    assert np.array_equal(arrays, expected)
    frame = transform_dataframe(str(config), "payload",
                                dd.from_pandas(table.to_pandas(), npartitions=3)).compute()
    assert np.array_equal(frame[list(WRENCH)].to_numpy(), expected)
    summary = transform_logs(str(config), "payload", [log], str(tmp_path / "out"))
    assert not summary.failed
    written = pq.read_table(tmp_path / "out" / "calib.parquet")
    assert np.array_equal(np.column_stack([written[c].to_numpy() for c in WRENCH]), expected)
    with pytest.raises(OskaToolError, match="the payload block turns its signal's axes"):
        transform_array(str(config), "payload", da.from_array(wrench, chunks=1000))
