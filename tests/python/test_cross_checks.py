"""Each block against a formulation that shares none of the library's code.

- wrench and twist: Pinocchio's SE3 action on Force and Motion, with unit
  quaternions turned into SE3 placements by Pinocchio itself;
- IMU: a rigid body spinning at a constant rate about an axis whose point has
  a constant linear acceleration; every point's acceleration is known in
  closed form, a0 + (w.r) w - |w|^2 r for r from the axis point;
- pose: composition of 4x4 homogeneous matrices in NumPy;
- non-unit quaternions: the peers normalise, so there the blocks are checked
  against the formulas as written (unnormalised rotation, Hamilton product,
  conjugate rather than inverse, normalisation only where the pose block does).

Tolerances. Against the peers: 1e-12 relative to the largest term that enters
a result (the size of the sample times the lever arms about the fixed origin,
which is what the peers multiply out), so that cancellation in a small result
cannot fail a correct block. Against the formulas: a forward error bound,
64 eps times the formula evaluated on absolute values; the formulas are a few
dozen multiply-adds deep, so rounding in the block and in NumPy together stays
well inside it, while any wrong sign, term or order is far outside.
"""

import numpy as np
import pinocchio as pin
from hypothesis import HealthCheck, given, settings, strategies as st

import oska_tf_utils_ext as ext
from oska_control import OskaControlReturnCode as Code

import quaternions

CASES = 2000
REL = 1e-12
EPS = np.finfo(float).eps

cross_check = settings(max_examples=CASES, deadline=None, database=None,
                       suppress_health_check=[HealthCheck.too_slow])

MOVING = "moving_frame"
coordinate = st.floats(min_value=-10.0, max_value=10.0, allow_nan=False, allow_infinity=False)
vec3 = st.tuples(coordinate, coordinate, coordinate).map(np.array)


@st.composite
def unit_quaternion(draw):
    q = np.array(draw(st.tuples(*[st.floats(-1.0, 1.0)] * 4)))
    n = np.linalg.norm(q)
    return q / n if n > 1e-3 else np.array([1.0, 0.0, 0.0, 0.0])


# Components of a non-unit quaternion: zero, or of magnitude 1e-3 to 2. Tiny
# non-zero components are left out: their squares are subnormal, and then the
# pose block's normalisation depends on the order of summation.
component = st.one_of(st.just(0.0), st.floats(1e-3, 2.0), st.floats(-2.0, -1e-3))
any_quaternion = st.tuples(component, component, component, component).map(np.array)


@st.composite
def entries(draw, quaternion=unit_quaternion()):
    """Four entries (origin, values) and a fixed-to-moving transform."""
    on_moving = draw(st.integers(0, 15))  # one bit per entry
    where = [MOVING if on_moving >> i & 1 else "fixed_frame" for i in range(4)]
    return {
        "in_point": (where[0], draw(vec3)),
        "in_axes": (where[1], draw(quaternion)),
        "out_point": (where[2], draw(vec3)),
        "out_axes": (where[3], draw(quaternion)),
        "tf": np.concatenate([draw(vec3), draw(quaternion)]),
    }


def build(cls, e):
    block = cls()
    assert block.set_input_reference_point(*e["in_point"])
    assert block.set_input_expression_axes(*e["in_axes"])
    assert block.set_output_reference_point(*e["out_point"])
    assert block.set_output_expression_axes(*e["out_axes"])
    if cls is not ext.OskaTfPose:
        assert block.set_fixed_to_moving_frame_tf(e["tf"]) is None
    return block


def run(cls, e, sample):
    out = np.full(len(sample), np.nan)
    assert build(cls, e).update(sample, out) is Code.Ok
    return out


def size(x):
    """Sum of absolute values: a norm that no underflow makes zero."""
    return float(np.sum(np.abs(x)))


def close(actual, expected, scale):
    # The floor covers rounding among subnormal numbers, whose spacing is fixed.
    np.testing.assert_allclose(actual, expected, rtol=0, atol=REL * scale + 1e-300)


# --------------------------------------------------------------- Pinocchio ---

def rotation(q):
    """Rotation matrix of a unit quaternion [w, x, y, z], by Pinocchio."""
    return pin.Quaternion(q[0], q[1], q[2], q[3]).matrix()


def placements(e):
    """The input and output frames (point and axes) as placements in the fixed frame.

    Pinocchio's own XYZ-quaternion layout is scalar last. A point and the axes
    of one side may be relative to different frames, so each is resolved on
    its own through the moving frame's placement.
    """
    t, q = e["tf"][:3], e["tf"][3:]
    moving = pin.XYZQUATToSE3(np.concatenate([t, q[1:], q[:1]]))

    def point(entry):
        where, p = entry
        return moving.act(p) if where == MOVING else p

    def axes(entry):
        where, q = entry
        return (moving * pin.SE3(rotation(q), np.zeros(3))).rotation if where == MOVING \
            else rotation(q)

    return (pin.SE3(axes(e["in_axes"]), point(e["in_point"])),
            pin.SE3(axes(e["out_axes"]), point(e["out_point"])))


def lever_scale(frames, a, b):
    """Largest term of a six-vector carried between the two frames."""
    arms = 1.0 + sum(size(f.translation) for f in frames)
    return (size(a) + size(b)) * arms


@cross_check
@given(entries(), vec3, vec3)
def test_wrench_matches_se3_action_on_force(e, f, m):
    fixed_in, fixed_out = placements(e)
    expected = (fixed_out.inverse() * fixed_in).act(pin.Force(f, m))
    close(run(ext.OskaTfWrench, e, np.concatenate([f, m])),
          np.concatenate([expected.linear, expected.angular]),
          lever_scale((fixed_in, fixed_out), f, m))


@cross_check
@given(entries(), vec3, vec3)
def test_twist_matches_se3_action_on_motion(e, v, w):
    fixed_in, fixed_out = placements(e)
    expected = fixed_out.actInv(fixed_in.act(pin.Motion(v, w)))
    close(run(ext.OskaTfTwist, e, np.concatenate([v, w])),
          np.concatenate([expected.linear, expected.angular]),
          lever_scale((fixed_in, fixed_out), v, w))


# ----------------------------------------------------------- spinning body ---

@cross_check
@given(entries(), vec3, vec3, vec3)
def test_imu_matches_a_body_spinning_about_a_fixed_axis(e, omega, axis_point, a0):
    """The body turns at the constant rate omega about the line through
    axis_point, and that point accelerates at a0 without turning the axis. The
    acceleration of a body point x is then a0 minus |omega|^2 times the part of
    x - axis_point perpendicular to the axis: an exact sample at the input
    point must become the exact sample at the output point."""
    fixed_in, fixed_out = placements(e)

    def acceleration(x):
        r = x - axis_point
        return a0 + np.dot(omega, r) * omega - np.dot(omega, omega) * r

    r_in, r_out = fixed_in.rotation, fixed_out.rotation
    sample = np.concatenate([r_in.T @ acceleration(fixed_in.translation), r_in.T @ omega])
    expected = np.concatenate([r_out.T @ acceleration(fixed_out.translation), r_out.T @ omega])
    arms = sum(size(f.translation - axis_point) for f in (fixed_in, fixed_out))
    scale = size(a0) + size(omega) + 3.0 * size(omega) ** 2 * arms
    close(run(ext.OskaTfImu, e, sample), expected, scale)


# ---------------------------------------------------- homogeneous matrices ---

def homogeneous(r=np.eye(3), t=np.zeros(3)):
    h = np.eye(4)
    h[:3, :3] = r
    h[:3, 3] = t
    return h


def matrix(q):
    """Rotation matrix of a unit quaternion [w, x, y, z]."""
    w, x, y, z = q
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
        [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
        [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)],
    ])


scale_factor = st.one_of(st.floats(0.1, 10.0), st.floats(-10.0, -0.1))


@cross_check
@given(entries(), vec3, unit_quaternion(), scale_factor)
def test_pose_matches_homogeneous_matrix_composition(e, p, q, s):
    """The input pose is the pose of the input reference point with the body's
    orientation, along the input axes. The body is found from it by stepping
    back along the input offset (in body axes on the moving frame, in fixed
    axes otherwise); the output point is a body point or a fixed point; the
    result is that point with the body's orientation, seen from the output
    axes. The block normalises the input quaternion, so a scaled one (of
    either sign) stands for the same rotation."""
    e["in_axes"] = ("fixed_frame", e["in_axes"][1])  # moving_frame is refused there
    (in_where, r_in), (out_where, r_out) = e["in_point"], e["out_point"]

    input_point = homogeneous(matrix(e["in_axes"][1])) @ homogeneous(matrix(q), p)
    if in_where == MOVING:
        body = input_point @ homogeneous(t=-r_in)
    else:
        body = homogeneous(t=-r_in) @ input_point
    output_point = body @ homogeneous(t=r_out) if out_where == MOVING \
        else homogeneous(body[:3, :3], r_out)
    axes = homogeneous(matrix(e["out_axes"][1]))
    if e["out_axes"][0] == MOVING:
        axes = homogeneous(body[:3, :3]) @ axes
    expected = np.linalg.inv(axes) @ output_point

    out = run(ext.OskaTfPose, e, np.concatenate([p, s * q]))
    close(out[:3], expected[:3, 3], 1.0 + size(p) + size(r_in) + size(r_out))
    # q and -q are one rotation and the block does not make the sign canonical:
    # compare rotation matrices. matrix() assumes a unit quaternion, so this
    # also checks that the output orientation is one.
    close(matrix(out[3:]), expected[:3, :3], 1.0)


# ---------------------------------------------------- the formulas, as written ---

class Exact:
    """The block formulas on doubles."""

    @staticmethod
    def cross(a, b):
        return np.cross(a, b)

    @staticmethod
    def sub(a, b):
        return a - b

    conj = staticmethod(quaternions.conj)
    qmul = staticmethod(quaternions.qmul)
    normalise = staticmethod(quaternions.normalise)


class Bound(Exact):
    """The same formulas on absolute values with every difference a sum: an
    upper bound on each term, hence the scale of the rounding error. A
    normalised quaternion's components are at most 1."""

    @staticmethod
    def cross(a, b):
        return np.array([a[1] * b[2] + a[2] * b[1], a[2] * b[0] + a[0] * b[2],
                         a[0] * b[1] + a[1] * b[0]])

    @staticmethod
    def sub(a, b):
        return a + b

    @staticmethod
    def conj(q):
        return q

    @staticmethod
    def qmul(a, b):
        return np.array([a @ b, a @ b[[1, 0, 3, 2]], a @ b[[2, 3, 0, 1]], a @ b[[3, 2, 1, 0]]])

    @staticmethod
    def normalise(q):
        return np.ones(4)


def rot(ops, q, v):
    t = 2.0 * ops.cross(q[1:], v)
    return v + q[0] * t + ops.cross(q[1:], t)


def resolve(ops, e):
    t, q = e["tf"][:3], e["tf"][3:]

    def point(entry):
        return rot(ops, q, entry[1]) + t if entry[0] == MOVING else entry[1]

    def axes(entry):
        return ops.qmul(q, entry[1]) if entry[0] == MOVING else entry[1]

    return point(e["in_point"]), axes(e["in_axes"]), point(e["out_point"]), axes(e["out_axes"])


def wrench(ops, e, x):
    p_in, q_in, p_out, q_out = resolve(ops, e)
    f = rot(ops, q_in, x[:3])
    m = rot(ops, q_in, x[3:]) + ops.cross(ops.sub(p_in, p_out), f)
    return np.concatenate([rot(ops, ops.conj(q_out), f), rot(ops, ops.conj(q_out), m)])


def twist(ops, e, x):
    p_in, q_in, p_out, q_out = resolve(ops, e)
    w = rot(ops, q_in, x[3:])
    v = rot(ops, q_in, x[:3]) + ops.cross(w, ops.sub(p_out, p_in))
    return np.concatenate([rot(ops, ops.conj(q_out), v), rot(ops, ops.conj(q_out), w)])


def imu(ops, e, x):
    p_in, q_in, p_out, q_out = resolve(ops, e)
    w = rot(ops, q_in, x[3:])
    a = rot(ops, q_in, x[:3]) + ops.cross(w, ops.cross(w, ops.sub(p_out, p_in)))
    return np.concatenate([rot(ops, ops.conj(q_out), a), rot(ops, ops.conj(q_out), w)])


def pose(ops, e, x):
    (in_where, r_in), (_, q_ia) = e["in_point"], e["in_axes"]
    (out_where, r_out), (axes_where, q_oa) = e["out_point"], e["out_axes"]
    p_f = rot(ops, q_ia, x[:3])
    q_f = ops.normalise(ops.qmul(q_ia, x[3:]))
    origin_m = ops.sub(p_f, rot(ops, q_f, r_in) if in_where == MOVING else r_in)
    p_out = origin_m + rot(ops, q_f, r_out) if out_where == MOVING else r_out
    q_out = ops.normalise(ops.qmul(q_f, q_oa)) if axes_where == MOVING else q_oa
    return np.concatenate([rot(ops, ops.conj(q_out), p_out), ops.qmul(ops.conj(q_out), q_f)])


def absolute(e):
    return {k: (v[0], np.abs(v[1])) if isinstance(v, tuple) else np.abs(v) for k, v in e.items()}


def agrees_with_formula(cls, formula, e, x):
    actual, expected = run(cls, e, x), formula(Exact, e, x)
    bound = formula(Bound, absolute(e), np.abs(x))
    np.testing.assert_array_less(np.abs(actual - expected), 64 * EPS * bound + 1e-300)


@cross_check
@given(e=entries(quaternion=any_quaternion), x=st.tuples(vec3, vec3).map(np.concatenate))
def test_six_dof_blocks_follow_the_formulas_with_non_unit_quaternions(e, x):
    for cls, formula in ((ext.OskaTfWrench, wrench), (ext.OskaTfTwist, twist),
                         (ext.OskaTfImu, imu)):
        agrees_with_formula(cls, formula, e, x)


@cross_check
@given(e=entries(quaternion=any_quaternion), p=vec3, q=any_quaternion)
def test_pose_block_follows_the_formulas_with_non_unit_quaternions(e, p, q):
    e["in_axes"] = ("fixed_frame", e["in_axes"][1])
    agrees_with_formula(ext.OskaTfPose, pose, e, np.concatenate([p, q]))
