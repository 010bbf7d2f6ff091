"""OskaTfPayload and OskaPayloadConfig from Python: the compensation against
rotation matrices, tare, the record, the arguments and what the block says.
What it shares with every block (array rules of update, update_batch bit for
bit, busy blocks, bad selves) runs in the parametrised tests."""

import logging
import pickle

import numpy as np
import pytest

import oska_tf_utils_ext as ext
from oska_control import OskaControlBlockPolicy as Policy
from oska_control import OskaControlReturnCode as Code
from conftest import EXAMPLE_CONFIG, FLANGE, payload_record

RNG = np.random.default_rng(21)


# ------------------------------------------- rotation matrices, no quaternions
def rodrigues(axis, angle):
    """The rotation of `angle` about the unit `axis`: I + sin·K + (1 − cos)·K²."""
    k = np.array([[0.0, -axis[2], axis[1]], [axis[2], 0.0, -axis[0]], [-axis[1], axis[0], 0.0]])
    return np.eye(3) + np.sin(angle) * k + (1.0 - np.cos(angle)) * k @ k


def random_turn():
    """A rotation as the block takes it, a unit quaternion [w, x, y, z], and as
    the reference uses it, a matrix."""
    axis = RNG.normal(size=3)
    axis /= np.linalg.norm(axis)
    angle = RNG.uniform(-3.1, 3.1)
    return np.concatenate([[np.cos(angle / 2)], np.sin(angle / 2) * axis]), rodrigues(axis, angle)


def compensated(record, r_flange, r_sensor, measured):
    """[F − F_bias − m·g_s, T − T_bias − c × (m·g_s)], g_s = (R_flange·R_sensor)ᵀ·g."""
    w = record.mass * (r_flange @ r_sensor).T @ np.array(record.gravity)
    force = measured[:3] - np.array(record.force_bias) - w
    moment = measured[3:] - np.array(record.torque_bias) - np.cross(record.center_of_mass, w)
    return np.concatenate([force, moment])


def random_record():
    record = ext.OskaPayloadConfig()
    record.mass = RNG.uniform(0.0, 20.0)
    record.center_of_mass = RNG.uniform(-0.2, 0.2, 3)
    record.force_bias = RNG.uniform(-5, 5, 3)
    record.torque_bias = RNG.uniform(-1, 1, 3)
    record.gravity = RNG.uniform(-10, 10, 3)
    return record


def test_compensation_matches_rotation_matrices():
    for case in range(200):
        record = random_record()
        q_sensor, r_sensor = random_turn()
        record.sensor_axes = q_sensor
        block = ext.OskaTfPayload(record)
        m = 7
        turns = [random_turn() for _ in range(m)]
        poses = np.array([np.concatenate([RNG.uniform(-1, 1, 3), q]) for q, _ in turns])
        measured = RNG.uniform(-50, 50, (m, 6))
        expected = np.array([compensated(record, r, r_sensor, x)
                             for (_, r), x in zip(turns, measured)])
        scale = max(1.0, np.abs(expected).max())
        for i in range(m):
            block.set_fixed_to_moving_frame_tf(poses[i])
            out = np.empty(6)
            assert block.update(measured[i], out) is Code.Ok
            np.testing.assert_allclose(out, expected[i], rtol=0, atol=1e-12 * scale,
                                       err_msg=f"case {case}, sample {i}")
        rows = np.empty((m, 6))
        assert block.update_batch(measured, rows, fixed_to_moving_tf=poses) is Code.Ok
        np.testing.assert_allclose(rows, expected, rtol=0, atol=1e-12 * scale)


# ------------------------------------------------------------------- tare --
def still_samples(record, r_flange, r_sensor, bias_force, bias_moment, n, noise=0.01):
    """What a sensor carrying the payload of `record` reads while still, with
    the bias given here, and some noise."""
    truth = pickle.loads(pickle.dumps(record))
    truth.force_bias, truth.torque_bias = [0.0] * 3, [0.0] * 3
    own = -compensated(truth, r_flange, r_sensor, np.zeros(6))
    return own + np.concatenate([bias_force, bias_moment]) + RNG.normal(scale=noise, size=(n, 6))


def test_tare_zeroes_the_mean_and_finds_the_sensors_bias():
    record = payload_record()
    q_sensor, r_sensor = random_turn()
    record.sensor_axes = q_sensor
    record.force_bias, record.torque_bias = [0.0] * 3, [0.0] * 3
    bias_force, bias_moment = np.array([3.5, -2.25, 7.0]), np.array([0.4, -0.15, 0.05])
    block = ext.OskaTfPayload(record)
    q_here, r_here = random_turn()
    block.set_fixed_to_moving_frame_tf(np.concatenate([[0.1, 0.2, 0.3], q_here]))
    samples = still_samples(record, r_here, r_sensor, bias_force, bias_moment, 400)
    samples.flags.writeable = False  # read, never written
    assert block.tare(wrenches=samples) is Code.Ok

    out = np.empty_like(samples)
    assert block.update_batch(samples, out) is Code.Ok
    np.testing.assert_allclose(out.mean(axis=0), 0.0, atol=1e-13)
    found = block.config()
    np.testing.assert_allclose(found.force_bias, bias_force, atol=3e-3)
    np.testing.assert_allclose(found.torque_bias, bias_moment, atol=3e-3)
    assert (found.mass, found.center_of_mass, found.name) == (
        record.mass, record.center_of_mass, record.name)

    # Elsewhere, the still sensor reads zero but for its noise.
    q_there, r_there = random_turn()
    block.set_fixed_to_moving_frame_tf(np.concatenate([[0.0] * 3, q_there]))
    there = still_samples(record, r_there, r_sensor, bias_force, bias_moment, 1, noise=0.0)[0]
    out = np.empty(6)
    assert block.update(there, out) is Code.Ok
    np.testing.assert_allclose(out, 0.0, atol=3e-3)


def test_tare_refusals_leave_the_bias_and_say_why(capfd):
    def bias(block):
        c = block.config()
        return c.force_bias + c.torque_bias

    strict = payload_record()
    strict.policy = Policy.StrictRt
    ready = ext.OskaTfPayload(payload_record())
    ready.set_fixed_to_moving_frame_tf(FLANGE.copy())
    nan = np.ones((2, 6))
    nan[1, 4] = np.nan
    orientation = ("tare() called before setFixedToMovingFrameTf(): the sensor's orientation is "
                   "unknown.")
    for block, rows, code, line in (
            (ext.OskaTfPayload(), np.ones((2, 6)), Code.NotReady,
             "tare() called before the block is configured."),
            (ext.OskaTfPayload(payload_record()), np.ones((2, 6)), Code.NotReady, orientation),
            (ext.OskaTfPayload(strict), np.ones((2, 6)), Code.Error, orientation),
            (ready, np.ones((0, 6)), Code.Error, "tare() given no samples; it needs at least one."),
            (ready, nan, Code.Error, "tare() would make the bias non-finite (a non-finite sample "
                                     "or transform); the bias is left as it was.")):
        before = bias(block)
        assert block.tare(rows) is code
        assert bias(block) == before
        assert capfd.readouterr().err == f"OskaTfPayload: {line}\n"


def test_tare_takes_arrays_as_update_batch_does():
    block = ext.OskaTfPayload(payload_record())
    block.set_fixed_to_moving_frame_tf(FLANGE.copy())
    values = np.arange(18.0).reshape(3, 6)
    assert block.tare(values) is Code.Ok
    expected = block.config().force_bias
    for converted in (np.arange(18).reshape(3, 6), values.astype(">f8"),
                      np.asfortranarray(values), np.repeat(values, 2, axis=0)[::2]):
        other = ext.OskaTfPayload(payload_record())
        other.set_fixed_to_moving_frame_tf(FLANGE.copy())
        assert other.tare(converted) is Code.Ok
        assert other.config().force_bias == expected
    for bad, reason in ((np.zeros(6), r"shape \(M, 6\); it has shape \(6,\)"),
                        (np.zeros((3, 7)), r"it has shape \(3, 7\)"),
                        (np.zeros((3, 6), complex), "it has dtype complex128"),
                        ([[0.0] * 6], "not list")):
        with pytest.raises(TypeError, match="^tare\\(\\): incompatible function arguments: "
                                            "wrenches must be .*" + reason):
            block.tare(bad)
    for call in (lambda: block.tare(None), lambda: block.tare(samples=values)):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call()
    assert block.config().force_bias == expected


# -------------------------------------------------------- record and block --
def test_the_record_defaults_pickles_and_is_checked_by_the_block():
    r = ext.OskaPayloadConfig()
    assert (r.name, r.policy, r.mass) == ("", Policy.BestEffort, 0.0)
    assert (r.center_of_mass, r.force_bias, r.torque_bias) == ([0.0] * 3,) * 3
    assert r.gravity == [0.0, 0.0, -9.80665] and r.sensor_axes == [1.0, 0.0, 0.0, 0.0]

    r = random_record()
    r.name, r.policy, r.sensor_axes = "sent", Policy.HardRt, [0.0, 0.6, 0.0, 0.8]
    copy = pickle.loads(pickle.dumps(r))
    for field in ("name", "policy", "mass", "center_of_mass", "force_bias", "torque_bias",
                  "gravity", "sensor_axes"):
        assert getattr(copy, field) == getattr(r, field), field
    with pytest.raises(TypeError, match="Send its OskaPayloadConfig"):
        pickle.dumps(ext.OskaTfPayload(r))

    for field, value in (("mass", -1.0), ("mass", float("nan")), ("gravity", [0.0] * 3),
                         ("sensor_axes", [0.0] * 4), ("force_bias", [0.0, np.inf, 0.0])):
        bad = payload_record()
        setattr(bad, field, value)
        with pytest.raises(ValueError, match=f"^OskaPayloadConfig.{field} "):
            ext.OskaTfPayload(config=bad)


def test_construction_readiness_and_lines(caplog, tmp_path):
    from_file = ext.OskaTfPayload(str(EXAMPLE_CONFIG))
    assert from_file.name() == "tool_payload"
    assert from_file.config().policy is Policy.SoftRt
    no_mass = tmp_path / "no_mass.json"
    no_mass.write_text('{"tf_payload_config": {"center_of_mass": [0, 0, 0], '
                       '"force_bias": [0, 0, 0], "torque_bias": [0, 0, 0]}}')
    with pytest.raises(RuntimeError, match=r"^Failed to parse config file '.*no_mass\.json': "
                                           "tf_payload_config.mass is missing"):
        ext.OskaTfPayload(str(no_mass))

    caplog.set_level(logging.WARNING, logger="oska_tf_utils")
    ext.diagnostics_to_logging()
    try:
        unconfigured, configured = ext.OskaTfPayload(), ext.OskaTfPayload(payload_record())
        out = np.full(6, 7.0)
        rows = np.full((3, 6), 7.0)
        for block in (unconfigured, configured):
            assert not block.is_ready()
            assert block.update(np.ones(6), out) is Code.NotReady
            assert not out.any()
            assert block.update_batch(np.ones((3, 6)), rows, fixed_to_moving_tf=None) \
                is Code.NotReady
            assert not rows.any()
        configured.set_fixed_to_moving_frame_tf(tf=FLANGE.copy())
        assert configured.is_ready()
        assert configured.update(wrench_in=np.ones(6), wrench_out=out) is Code.Ok
        unconfigured.set_fixed_to_moving_frame_tf(FLANGE.copy())
        assert not unconfigured.is_ready()
    finally:
        ext.diagnostics_to_stderr()
    never = "OskaTfPayload: update() called before the block is configured."
    no_tf = ("OskaTfPayload: update() called before setFixedToMovingFrameTf(): the sensor's "
             "orientation is unknown.")
    assert [r.getMessage() for r in caplog.records] == [never, never, no_tf, no_tf]


def test_update_batch_takes_the_transform_under_its_own_keyword():
    block = ext.OskaTfPayload(payload_record())
    block.set_fixed_to_moving_frame_tf(FLANGE.copy())
    rows, poses = RNG.uniform(-5, 5, (4, 6)), RNG.uniform(-1, 1, (4, 7))
    by_keyword, positional, stored = np.empty((4, 6)), np.empty((4, 6)), np.empty((4, 6))
    assert block.update_batch(wrench_in=rows, wrench_out=by_keyword,
                              fixed_to_moving_tf=poses) is Code.Ok
    other = ext.OskaTfPayload(payload_record())
    other.set_fixed_to_moving_frame_tf(FLANGE.copy())
    assert other.update_batch(rows, positional, poses) is Code.Ok
    assert by_keyword.tobytes() == positional.tobytes()
    # The last row stays stored and serves a batch without rows.
    assert block.update_batch(rows, stored) is Code.Ok
    np.testing.assert_array_equal(stored[3], by_keyword[3])
    with pytest.raises(TypeError):
        block.update_batch(rows, stored, tf=poses)
    assert ext.OskaTfPayload.TRANSFORM_INPUT == "fixed_to_moving_tf"
    assert (ext.OskaTfPayload.KIND, ext.OskaTfPayload.SIGNAL) == ("payload", "wrench")
    assert ext.OskaTfPayload.CONFIG_RECORD is ext.OskaPayloadConfig
