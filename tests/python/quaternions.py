"""The quaternion arithmetic of the blocks, written out in NumPy for the tests.

Quaternions are [w, x, y, z]; rot is used for unit and non-unit quaternions
alike, as the blocks do.
"""

import numpy as np


def qmul(a, b):
    """Hamilton product a ⊗ b."""
    aw, ax, ay, az = a
    bw, bx, by, bz = b
    return np.array([aw * bw - ax * bx - ay * by - az * bz,
                     aw * bx + ax * bw + ay * bz - az * by,
                     aw * by - ax * bz + ay * bw + az * bx,
                     aw * bz + ax * by - ay * bx + az * bw])


def conj(q):
    """The conjugate [w, -x, -y, -z] (not the inverse)."""
    return q * np.array([1.0, -1.0, -1.0, -1.0])


def rot(q, v):
    """v + w·t + u × t with t = 2·(u × v)."""
    u = q[1:]
    t = 2.0 * np.cross(u, v)
    return v + q[0] * t + np.cross(u, t)


def normalise(q):
    """q divided by its norm when the squared norm is positive, else q."""
    s = q @ q
    return q / np.sqrt(s) if s > 0 else q
