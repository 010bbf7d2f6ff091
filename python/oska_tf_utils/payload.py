"""Identify a force/torque sensor's payload (mass, centre of mass) and bias
from static samples taken at several orientations.

The sensor measures, in its own axes about its own origin,

    F = F_ext + m·g_s + F_bias,    T = T_ext + c × (m·g_s) + T_bias,

where g_s = Rᵀ·g is gravity in the sensor's axes (R: the sensor's axes in the
gravity frame). With no external wrench (F_ext = T_ext = 0, the tool hanging
free) each sample gives three equations in (m, F_bias) and three in
(p = m·c, T_bias):

    F = g_s·m + F_bias,            T = −[g_s]× p + T_bias.

Both are linear least squares, solved here from their normal equations summed
over the samples (so a million samples take a few passes over the arrays).
Only gravity's direction in the sensor tells the parameters apart: at a single
orientation the weight is indistinguishable from a bias, and while gravity
stays along one axis of the sensor the centre of mass along that axis does
not enter the torque at all. Both cases are refused with what to record.

A log recorded for a calibration also holds the motions between the poses,
when the tool's acceleration adds to its weight: `still_samples` finds the
samples taken while the sensor held still, from the rate at which its
orientation turns.

Nothing here reads or writes a file: the commands and readers hand over arrays.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import OskaToolError

STANDARD_GRAVITY = (0.0, 0.0, -9.80665)
"""Gravity in the fixed frame, m/s², z up: the default of the payload block."""

MIN_SPREAD_DEG = 2.0
"""How far gravity's direction in the sensor must turn, at the least, across
the samples (and across a second axis) before the fit is attempted."""

DEFAULT_MAX_RATE = 3.0
"""deg/s: a sensor turning faster than this is moving (the samples are left out)."""
DEFAULT_SETTLE = 0.5
"""s: samples this close to a motion are left out too (the tool still swings)."""
RATE_WINDOW = 0.1
"""s: the rate of turn at a sample is measured across this span around it, so
that the jitter of an orientation stream does not read as motion."""

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True)
class PayloadEstimate:
    """The payload and bias that explain a set of static samples, with their
    standard errors (one standard deviation, from the residual scatter)."""

    mass: float
    """kg."""
    center_of_mass: FloatArray
    """[x, y, z] in the sensor's axes, m."""
    force_bias: FloatArray
    """[fx, fy, fz], N."""
    torque_bias: FloatArray
    """[tx, ty, tz], N·m."""
    mass_stderr: float
    center_of_mass_stderr: FloatArray
    force_bias_stderr: FloatArray
    torque_bias_stderr: FloatArray
    force_residual_rms: float
    """Root mean square of the force residuals, per component, N."""
    torque_residual_rms: float
    """The same for the torques, N·m."""
    samples: int
    """How many samples the fit used."""
    gravity: FloatArray
    """The gravity vector the fit assumed, in the fixed frame, m/s²."""

    def to_config(self, name: str) -> dict[str, Any]:
        """The "tf_payload_config" section that compensates this payload."""
        return {
            "name": name,
            "mass": self.mass,
            "center_of_mass": self.center_of_mass.tolist(),
            "force_bias": self.force_bias.tolist(),
            "torque_bias": self.torque_bias.tolist(),
            "gravity": self.gravity.tolist(),
        }


def gravity_in_sensor(orientations: FloatArray, gravity: FloatArray) -> FloatArray:
    """g_s = Rᵀ·g for each unit quaternion [w, x, y, z] (rows), as rows."""
    w = orientations[:, :1]
    u = orientations[:, 1:]
    # rot(conj(q), g) = g + w·t' + (−u) × t', t' = 2·((−u) × g)
    t = -2.0 * np.cross(u, gravity)
    result: FloatArray = gravity + w * t - np.cross(u, t)
    return result


def _checked(wrenches: npt.ArrayLike, orientations: npt.ArrayLike,
             gravity: npt.ArrayLike) -> tuple[FloatArray, FloatArray, FloatArray]:
    w = np.asarray(wrenches, dtype=np.float64)
    q = np.asarray(orientations, dtype=np.float64)
    g = np.asarray(gravity, dtype=np.float64)
    if w.ndim != 2 or w.shape[1] != 6:
        raise ValueError(f"wrenches must have shape (n, 6) [fx, fy, fz, tx, ty, tz], not {w.shape}")
    if q.ndim != 2 or q.shape[1] != 4:
        raise ValueError(f"orientations must have shape (n, 4) [w, x, y, z], not {q.shape}")
    if len(w) != len(q):
        raise ValueError(f"wrenches has {len(w)} rows but orientations has {len(q)}; "
                         "they need one row per sample")
    if g.shape != (3,) or not np.all(np.isfinite(g)) or not np.any(g):
        raise ValueError(f"gravity must be a finite, non-zero vector [gx, gy, gz], not {g.tolist()}")
    bad = ~np.isfinite(w).all(axis=1) | ~np.isfinite(q).all(axis=1)
    if bad.any():
        raise OskaToolError(f"sample {int(np.argmax(bad))} (counting from 0) holds a value that is "
                            "not finite; leave such samples out before identifying the payload")
    norms = np.linalg.norm(q, axis=1)
    with np.errstate(under="ignore"):
        zero = (q * q).sum(axis=1) < np.finfo(np.float64).tiny
    if zero.any():
        raise OskaToolError(f"the orientation of sample {int(np.argmax(zero))} (counting from 0) is "
                            "the zero quaternion: it is no orientation (a tracking dropout?); leave "
                            "such samples out")
    return w, q / norms[:, None], g


def _spread(directions: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Eigenvalues (ascending) and eigenvectors of the second moment of the
    unit directions: the second value is small when they lie along one axis."""
    moment = directions.T @ directions / len(directions)
    values, vectors = np.linalg.eigh(moment)
    return values, vectors


def _refuse_unobservable(g_s: FloatArray, samples: int) -> None:
    u = g_s / np.linalg.norm(g_s, axis=1)[:, None]
    mean = u.mean(axis=0)
    scatter = (u - mean).T @ (u - mean) / len(u)
    spread = math.sin(math.radians(MIN_SPREAD_DEG)) ** 2
    if np.linalg.eigvalsh(scatter)[-1] < spread:
        d = mean / np.linalg.norm(mean)
        raise OskaToolError(
            f"gravity kept one direction in the sensor's axes, [{d[0]:.3f}, {d[1]:.3f}, "
            f"{d[2]:.3f}], in all {samples} samples (the sensor held one orientation, or turned "
            "only about the vertical), so the payload's weight cannot be told apart from the "
            "force bias. Record static poses that tilt the sensor about two different horizontal "
            "axes: 6 to 10 poses, each held still for a moment, tilted 30° or more from each "
            "other.")
    values, vectors = _spread(u)
    if values[1] < spread:
        axis = vectors[:, 2]
        raise OskaToolError(
            f"gravity stayed along one axis of the sensor, [{axis[0]:.3f}, {axis[1]:.3f}, "
            f"{axis[2]:.3f}] in its axes, in all {samples} samples, so the centre of mass along "
            "that axis does not show in the torque and cannot be identified. Add static poses "
            "that tilt the sensor about an axis across that one, so that gravity also points "
            "along a second axis of the sensor.")


def identify_payload(wrenches: npt.ArrayLike, orientations: npt.ArrayLike, *,
                     gravity: npt.ArrayLike = STANDARD_GRAVITY) -> PayloadEstimate:
    """Mass, centre of mass and sensor bias from static samples.

    Args:
        wrenches: (n, 6) [fx, fy, fz, tx, ty, tz] as the sensor measured them,
            in its axes about its origin, N and N·m, with nothing touching the
            tool.
        orientations: (n, 4) [w, x, y, z], the sensor's axes in the gravity
            frame at each sample (normalised here).
        gravity: gravity in that frame, m/s².

    Raises OskaToolError when the orientations cannot determine the
    parameters, saying which poses to add; ValueError for arrays of the wrong
    shape.
    """
    w, q, g = _checked(wrenches, orientations, gravity)
    n = len(w)
    if n < 2:
        raise OskaToolError(f"{n} sample(s) cannot determine a payload; record static poses at "
                            "6 to 10 orientations")
    g_s = gravity_in_sensor(q, g)
    _refuse_unobservable(g_s, n)
    f, t = w[:, :3], w[:, 3:]
    sum_g = g_s.sum(axis=0)

    # Force: rows [g_s | I] times (m, F_bias).
    a_f = np.empty((4, 4))
    a_f[0, 0] = float((g_s * g_s).sum())
    a_f[0, 1:] = a_f[1:, 0] = sum_g
    a_f[1:, 1:] = n * np.eye(3)
    b_f = np.concatenate([[float((g_s * f).sum())], f.sum(axis=0)])
    x_f = np.linalg.solve(a_f, b_f)
    mass, force_bias = float(x_f[0]), x_f[1:]
    r_f = f - g_s * mass - force_bias

    # Torque: rows [−[g_s]× | I] times (p = m·c, T_bias);
    # [g]×ᵀ[g]× = |g|²·I − g·gᵀ, and (−[g]×)ᵀ·T = g × T.
    a_t = np.empty((6, 6))
    a_t[:3, :3] = float((g_s * g_s).sum()) * np.eye(3) - g_s.T @ g_s
    skew = np.array([[0.0, -sum_g[2], sum_g[1]], [sum_g[2], 0.0, -sum_g[0]],
                     [-sum_g[1], sum_g[0], 0.0]])
    a_t[:3, 3:] = skew
    a_t[3:, :3] = skew.T
    a_t[3:, 3:] = n * np.eye(3)
    b_t = np.concatenate([np.cross(g_s, t).sum(axis=0), t.sum(axis=0)])
    x_t = np.linalg.solve(a_t, b_t)
    moment, torque_bias = x_t[:3], x_t[3:]
    r_t = t + np.cross(g_s, moment) - torque_bias

    # Covariances σ²·(AᵀA)⁻¹, σ² from the residuals and the degrees of freedom.
    dof_f, dof_t = max(3 * n - 4, 1), max(3 * n - 6, 1)
    cov_f = float((r_f * r_f).sum()) / dof_f * np.linalg.inv(a_f)
    cov_t = float((r_t * r_t).sum()) / dof_t * np.linalg.inv(a_t)
    if mass == 0.0:
        raise OskaToolError("the samples show no weight at all (the fitted mass is exactly 0), "
                            "so no centre of mass can be given; is a tool mounted?")
    center = moment / mass
    # c = p / m, with p and m from independent fits: first-order propagation.
    var_c = (np.diag(cov_t)[:3] + center ** 2 * cov_f[0, 0]) / mass ** 2
    return PayloadEstimate(
        mass=mass,
        center_of_mass=center,
        force_bias=force_bias,
        torque_bias=torque_bias,
        mass_stderr=math.sqrt(cov_f[0, 0]),
        center_of_mass_stderr=np.sqrt(var_c),
        force_bias_stderr=np.sqrt(np.diag(cov_f)[1:]),
        torque_bias_stderr=np.sqrt(np.diag(cov_t)[3:]),
        force_residual_rms=math.sqrt(float((r_f * r_f).mean())),
        torque_residual_rms=math.sqrt(float((r_t * r_t).mean())),
        samples=n,
        gravity=g,
    )


def compose(a: FloatArray, b: FloatArray) -> FloatArray:
    """The products a ⊗ b of [w, x, y, z] quaternions, row by row (either may
    be a single row)."""
    wa, va = a[..., :1], a[..., 1:]
    wb, vb = b[..., :1], b[..., 1:]
    w = wa * wb - (va * vb).sum(axis=-1, keepdims=True)
    v = wa * vb + wb * va + np.cross(va, vb)
    result: FloatArray = np.concatenate([w, v], axis=-1)
    return result


def turn_angle(a: FloatArray, b: FloatArray) -> FloatArray:
    """The angle (rad) of the rotation from each unit quaternion of `a` to the
    one of `b` in the same row, in [0, π]."""
    w = np.abs((a * b).sum(axis=1))  # the scalar part of conj(a) ⊗ b
    v = a[:, :1] * b[:, 1:] - b[:, :1] * a[:, 1:] - np.cross(a[:, 1:], b[:, 1:])
    angle: FloatArray = 2.0 * np.arctan2(np.linalg.norm(v, axis=1), w)
    return angle


@dataclass(frozen=True)
class StillSamples:
    """Which samples of a log were taken while the sensor held still."""

    keep: npt.NDArray[np.bool_]
    """True for each sample to identify the payload from."""
    moving: int
    """Samples taken while the sensor turned faster than the threshold."""
    settling: int
    """Samples left out for being within the settling time of such motion."""
    periods: int
    """How many runs of still samples there are (one per pose held)."""


def still_samples(stamps_ns: npt.NDArray[np.int64], orientations: FloatArray, *,
                  max_rate: float = DEFAULT_MAX_RATE, settle: float = DEFAULT_SETTLE,
                  window: float = RATE_WINDOW) -> StillSamples:
    """The samples taken while the sensor held still.

    A sample is moving when the orientation turns faster than `max_rate`
    (deg/s) across `window` seconds centred on it (at least across its two
    neighbours); a sample within `settle` seconds of a moving one is left out
    too, since the tool swings on for a moment after the motion stops (and
    starts to before the rate shows it). `stamps_ns` must not decrease;
    `orientations` are [w, x, y, z] rows, normalised here.
    """
    t = np.asarray(stamps_ns, np.int64)
    n = len(t)
    q = np.asarray(orientations, np.float64)
    q = q / np.linalg.norm(q, axis=1, keepdims=True)
    index = np.arange(n)
    half = int(round(window * 5e8))
    lo = np.minimum(np.searchsorted(t, t - half, "left"), np.maximum(index - 1, 0))
    hi = np.maximum(np.searchsorted(t, t + half, "right") - 1, np.minimum(index + 1, n - 1))
    angle = turn_angle(q[lo], q[hi])
    span = (t[hi] - t[lo]).astype(np.float64) / 1e9
    with np.errstate(divide="ignore", invalid="ignore"):
        rate = np.where(span > 0, angle / np.where(span > 0, span, 1.0),
                        np.where(angle > 0, np.inf, 0.0))
    moving = rate > math.radians(max_rate)
    near = np.zeros(n, np.bool_)
    motion = t[moving]
    if len(motion):
        at = np.searchsorted(motion, t)
        before = t - motion[np.maximum(at - 1, 0)]
        after = motion[np.minimum(at, len(motion) - 1)] - t
        distance = np.minimum(np.where(at > 0, before, np.iinfo(np.int64).max),
                              np.where(at < len(motion), after, np.iinfo(np.int64).max))
        near = ~moving & (distance <= int(round(settle * 1e9)))
    keep = ~(moving | near)
    periods = int(keep[:1].sum() + (keep[1:] & ~keep[:-1]).sum())
    return StillSamples(keep, int(moving.sum()), int(near.sum()), periods)
