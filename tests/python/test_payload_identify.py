"""identify_payload: mass, centre of mass and bias of a force/torque sensor's
payload from static poses, against synthetic samples with known values."""

import numpy as np
import pytest

from oska_tf_utils import OskaToolError
from oska_tf_utils.payload import (compose, gravity_in_sensor, identify_payload, still_samples,
                                   turn_angle)
from quaternions import qmul

G = np.array([0.0, 0.0, -9.80665])
MASS, COM = 1.7, np.array([0.01, -0.02, 0.08])
FORCE_BIAS, TORQUE_BIAS = np.array([0.5, -0.3, 1.2]), np.array([0.02, 0.01, -0.03])


def quaternions(rotvecs):
    """[w, x, y, z] of rotations given as axis times angle (rows)."""
    angle = np.linalg.norm(rotvecs, axis=1, keepdims=True)
    axis = rotvecs / np.where(angle == 0, 1, angle)
    return np.hstack([np.cos(angle / 2), axis * np.sin(angle / 2)])


def measured(q, noise=(0.0, 0.0), rng=None):
    """What the sensor reads with the payload hanging free, plus white noise."""
    # Gravity in the sensor's axes, written out as Rᵀ·g with the rotation matrix.
    w, x, y, z = q.T
    r = np.stack([
        np.stack([1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)], -1),
        np.stack([2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)], -1),
        np.stack([2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)], -1),
    ], -2)
    g_s = np.einsum("nji,j->ni", r, G)
    wrench = np.hstack([MASS * g_s + FORCE_BIAS, np.cross(COM, MASS * g_s) + TORQUE_BIAS])
    if rng is not None:
        wrench += np.hstack([rng.normal(0, noise[0], (len(q), 3)),
                             rng.normal(0, noise[1], (len(q), 3))])
    return wrench


def static_poses(rng, poses=8, per_pose=50):
    return np.repeat(quaternions(rng.uniform(-1.2, 1.2, (poses, 3))), per_pose, axis=0)


def test_gravity_in_sensor_is_the_transposed_rotation_of_gravity():
    rng = np.random.default_rng(0)
    q = quaternions(rng.uniform(-3, 3, (50, 3)))
    expected = (measured(q)[:, :3] - FORCE_BIAS) / MASS
    np.testing.assert_allclose(gravity_in_sensor(q, G), expected, atol=1e-12)


def test_noiseless_samples_give_the_payload_exactly():
    q = static_poses(np.random.default_rng(1), poses=6, per_pose=1)
    est = identify_payload(measured(q), q)
    assert est.mass == pytest.approx(MASS, rel=1e-12)
    np.testing.assert_allclose(est.center_of_mass, COM, rtol=1e-10)
    np.testing.assert_allclose(est.force_bias, FORCE_BIAS, rtol=1e-10)
    np.testing.assert_allclose(est.torque_bias, TORQUE_BIAS, rtol=1e-9)
    assert est.force_residual_rms < 1e-12 and est.torque_residual_rms < 1e-12
    assert est.samples == 6
    # Scaled quaternions are normalised: they stand for the same orientations.
    assert identify_payload(measured(q), 3.0 * q).mass == pytest.approx(MASS, rel=1e-12)


def test_noisy_poses_recover_the_payload_within_its_tolerances():
    rng = np.random.default_rng(2)
    q = static_poses(rng)
    est = identify_payload(measured(q, (0.05, 0.002), rng), q)
    assert abs(est.mass - MASS) < 0.005 * MASS
    assert np.all(np.abs(est.center_of_mass - COM) < 1e-3)
    assert np.all(np.abs(est.force_bias - FORCE_BIAS) < 3 * est.force_bias_stderr)
    assert np.all(np.abs(est.torque_bias - TORQUE_BIAS) < 3 * est.torque_bias_stderr)
    assert est.force_residual_rms == pytest.approx(0.05, rel=0.1)
    assert est.torque_residual_rms == pytest.approx(0.002, rel=0.1)


def test_standard_errors_match_the_scatter_of_repeated_draws():
    rng = np.random.default_rng(3)
    q = static_poses(rng)
    draws = [identify_payload(measured(q, (0.05, 0.002), rng), q) for _ in range(300)]
    for field in ("mass", "center_of_mass", "force_bias", "torque_bias"):
        values = np.array([getattr(d, field) for d in draws])
        stderr = np.mean([getattr(d, f"{field}_stderr") for d in draws], axis=0)
        # 300 draws estimate a standard deviation to about 4 %.
        np.testing.assert_allclose(values.std(axis=0), stderr, rtol=0.15, err_msg=field)


@pytest.mark.parametrize("case, expected", [
    # One pose held throughout: weight and bias are one and the same.
    ("one pose", "kept one direction"),
    # Turning only about the vertical leaves gravity fixed in the sensor.
    ("about the vertical", "kept one direction"),
    # Flipped about one horizontal axis: gravity only along ±x of the sensor.
    ("along one sensor axis", "stayed along one axis"),
])
def test_orientations_that_cannot_determine_the_payload_are_refused(case, expected):
    rng = np.random.default_rng(4)
    if case == "one pose":
        q = np.repeat(quaternions(np.array([[0.3, -0.2, 0.1]])), 40, axis=0)
    elif case == "about the vertical":
        q = quaternions(np.outer(np.linspace(-3, 3, 40), [0.0, 0.0, 1.0]))
    else:
        # Sensor x along gravity or against it: rotations about the y axis by ±90°.
        q = quaternions(np.outer(np.repeat([np.pi / 2, -np.pi / 2], 20), [0.0, 1.0, 0.0]))
    with pytest.raises(OskaToolError, match=expected) as refused:
        identify_payload(measured(q, (0.01, 0.001), rng), q)
    assert "pose" in str(refused.value)


def test_bad_arguments():
    q = static_poses(np.random.default_rng(5), poses=6, per_pose=2)
    w = measured(q)
    with pytest.raises(ValueError, match=r"wrenches must have shape \(n, 6\)"):
        identify_payload(w[:, :5], q)
    with pytest.raises(ValueError, match="12 rows but orientations has 11"):
        identify_payload(w, q[:-1])
    with pytest.raises(ValueError, match="gravity must be a finite, non-zero vector"):
        identify_payload(w, q, gravity=(0.0, 0.0, 0.0))
    dropout = q.copy()
    dropout[3] = 0.0
    with pytest.raises(OskaToolError, match="orientation of sample 3 .* zero quaternion"):
        identify_payload(w, dropout)
    w[7, 4] = np.nan
    with pytest.raises(OskaToolError, match="sample 7 .* not finite"):
        identify_payload(w, q)


def test_the_configuration_section_holds_the_estimate():
    q = static_poses(np.random.default_rng(6), poses=6, per_pose=1)
    est = identify_payload(measured(q), q, gravity=G)
    section = est.to_config("gripper")
    assert section["name"] == "gripper"
    assert section["mass"] == est.mass
    assert section["center_of_mass"] == est.center_of_mass.tolist()
    assert section["force_bias"] == est.force_bias.tolist()
    assert section["torque_bias"] == est.torque_bias.tolist()
    assert section["gravity"] == G.tolist()


def test_compose_and_turn_angle_against_the_written_out_product():
    rng = np.random.default_rng(7)
    a, b = quaternions(rng.uniform(-3, 3, (50, 3))), quaternions(rng.uniform(-3, 3, (50, 3)))
    np.testing.assert_allclose(compose(a, b), [qmul(x, y) for x, y in zip(a, b)], atol=1e-15)
    np.testing.assert_allclose(compose(a, b[0]), [qmul(x, b[0]) for x in a], atol=1e-15)
    # a turned by an angle θ about any axis is θ away from a, whichever sign b has.
    angles = rng.uniform(0, np.pi, 50)
    axes = rng.normal(size=(50, 3))
    turned = compose(a, quaternions(angles[:, None] * axes / np.linalg.norm(axes, axis=1)[:, None]))
    np.testing.assert_allclose(turn_angle(a, turned), angles, atol=1e-12)
    np.testing.assert_allclose(turn_angle(a, -turned), angles, atol=1e-12)


def test_still_samples_find_the_turns_and_not_the_jitter_of_the_stream():
    # 1 kHz: still, a turn of 90° about x at 30°/s from 4 s to 7 s, still again;
    # every orientation jittered by about 0.05° (a tracker's noise).
    rng = np.random.default_rng(8)
    t = np.arange(10_000) / 1000.0
    angle = np.radians(30.0) * np.clip(t - 4.0, 0.0, 3.0)
    q = compose(quaternions(np.outer(angle, [1.0, 0.0, 0.0])),
                quaternions(rng.normal(0, np.radians(0.05) / np.sqrt(3), (len(t), 3))))
    still = still_samples(np.rint(t * 1e9).astype(np.int64), 2.0 * q, max_rate=3.0, settle=0.5)
    turning = (t > 4.0) & (t < 7.0)
    assert not still.keep[turning].any() and still.moving >= turning.sum()
    # The settling time around the turn, and not a sample more than the rate's span.
    assert not still.keep[(t > 3.5) & (t < 7.5)].any()
    assert still.keep[(t < 3.44) | (t > 7.56)].all()
    assert still.periods == 2
    assert still.moving + still.settling + still.keep.sum() == len(t)

