"""Each block's results against a NumPy formulation of its formulas, over
seeded random configurations with moving-frame entries and non-unit
quaternions."""

import numpy as np
import pytest

import oska_tf_utils_ext as ext
from oska_control import OskaControlReturnCode as Code
from quaternions import conj, normalise, qmul, rot

CASES = 300


def resolve(entries, tf):
    """Entries relative to the fixed frame, through the fixed-to-moving transform."""
    t, q = tf[:3], tf[3:]
    (o_pin, p_in), (o_qin, q_in), (o_pout, p_out), (o_qout, q_out) = entries
    moving = "moving_frame"
    return (rot(q, p_in) + t if o_pin == moving else p_in,
            qmul(q, q_in) if o_qin == moving else q_in,
            rot(q, p_out) + t if o_pout == moving else p_out,
            qmul(q, q_out) if o_qout == moving else q_out)


def wrench_ref(entries, tf, x):
    p_in, q_in, p_out, q_out = resolve(entries, tf)
    f = rot(q_in, x[:3])
    m = rot(q_in, x[3:]) + np.cross(p_in - p_out, f)
    return np.concatenate([rot(conj(q_out), f), rot(conj(q_out), m)])


def twist_ref(entries, tf, x):
    p_in, q_in, p_out, q_out = resolve(entries, tf)
    w = rot(q_in, x[3:])
    v = rot(q_in, x[:3]) + np.cross(w, p_out - p_in)
    return np.concatenate([rot(conj(q_out), v), rot(conj(q_out), w)])


def imu_ref(entries, tf, x):
    p_in, q_in, p_out, q_out = resolve(entries, tf)
    w = rot(q_in, x[3:])
    a = rot(q_in, x[:3]) + np.cross(w, np.cross(w, p_out - p_in))
    return np.concatenate([rot(conj(q_out), a), rot(conj(q_out), w)])


def pose_ref(entries, _tf, x):
    (o_rin, r_in), (_, q_ia), (o_rout, r_out), (o_qoa, q_oa) = entries
    moving = "moving_frame"
    p_f = rot(q_ia, x[:3])
    q_f = normalise(qmul(q_ia, x[3:]))
    r_in_f = rot(q_f, r_in) if o_rin == moving else r_in
    o_m = p_f - r_in_f
    p_out = o_m + rot(q_f, r_out) if o_rout == moving else r_out
    q_oa_f = normalise(qmul(q_f, q_oa)) if o_qoa == moving else q_oa
    return np.concatenate([rot(conj(q_oa_f), p_out), qmul(conj(q_oa_f), q_f)])


def random_quat(rng):
    """A quaternion of norm between 0.5 and 2, deliberately not unit."""
    q = rng.normal(size=4)
    return q / np.linalg.norm(q) * rng.uniform(0.5, 2.0)


def random_entries(rng, input_axes_may_move):
    origins = rng.choice(["fixed_frame", "moving_frame", "Moving_Frame"], size=4)
    if not input_axes_may_move:
        origins[1] = "fixed_frame"
    return [(str(origins[0]), rng.uniform(-1, 1, 3)), (str(origins[1]), random_quat(rng)),
            (str(origins[2]), rng.uniform(-1, 1, 3)), (str(origins[3]), random_quat(rng))]


def build_from_code(cls, entries):
    config = ext.OskaTfConfig()
    views = (config.input_ref_point, config.input_expr_axes,
             config.output_ref_point, config.output_expr_axes)
    for view, (origin, values) in zip(views, entries):
        view.origin = origin
        if len(values) == 3:
            view.translation = values
        else:
            view.rotation = values
    return cls(config)


def build_with_setters(cls, entries):
    block = cls()
    setters = (block.set_input_reference_point, block.set_input_expression_axes,
               block.set_output_reference_point, block.set_output_expression_axes)
    for setter, (origin, values) in zip(setters, entries):
        assert setter(origin, values.copy())
    return block


@pytest.mark.parametrize("cls, n, reference", [
    (ext.OskaTfWrench, 6, wrench_ref),
    (ext.OskaTfTwist, 6, twist_ref),
    (ext.OskaTfImu, 6, imu_ref),
    (ext.OskaTfPose, 7, pose_ref),
], ids=["wrench", "twist", "imu", "pose"])
def test_block_matches_reference(cls, n, reference):
    rng = np.random.default_rng(20240607)
    is_pose = cls is ext.OskaTfPose
    for case in range(CASES):
        entries = random_entries(rng, input_axes_may_move=not is_pose)
        build = build_from_code if case % 2 else build_with_setters
        block = build(cls, entries)
        tf = np.concatenate([rng.uniform(-1, 1, 3), random_quat(rng)])
        if not is_pose:
            block.set_fixed_to_moving_frame_tf(tf)
        sample = rng.uniform(-2, 2, n)
        if is_pose:
            sample[3:] = random_quat(rng)
        out = np.empty(n)
        assert block.update(sample, out) is Code.Ok
        np.testing.assert_allclose(out, reference(entries, tf, sample), rtol=1e-9, atol=1e-9,
                                   err_msg=f"case {case}: {entries}")
