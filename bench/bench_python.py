#!/usr/bin/env python3
"""Python benchmark of oska_tf_utils_ext: the time of one call, as a control
loop written in Python sees it.

Cases, named "<block>/<config>/<impl>" like the C++ ones (`fixed`: every entry
on "fixed_frame"; `moving`: every entry that may be on "moving_frame" on it):

  nanobind/call/noop         the floor of update(): a nanobind function that
                             does nothing, with the same two array parameters
                             as update() (module oska_bench_floor, built by
                             bench/run.sh for the benchmark only);
  nanobind/call/noop_method  the same as a method returning the Ok member of
                             oska_control's return code: the full call shape of
                             update();
  nanobind/cycle/noop[_method]  the floors of the two calls of a moving cycle,
                             set_fixed_to_moving_frame_tf(tf) and update();
  <block>/<config>/ours      block.update(signal_in, signal_out), float64
                             arrays (on `moving` the transform was given once,
                             before the loop);
  <block>/moving/ours_cycle  set_fixed_to_moving_frame_tf(tf) then update(): a
                             moving cycle, what the peers are compared with;
  <block>/<config>/numpy     the block's formulas written with NumPy for one
                             sample, from the input array to the output array,
                             the rotations built from the stored quaternions
                             and, on `moving`, the entries resolved through the
                             transform every sample (wrench and twist);
  <block>/fixed/numpy_matrix_once  the whole fixed configuration folded into a
                             6x6 matrix once, np.matmul(M, in, out=out) per
                             sample: the least NumPy can do per sample;
  <block>/<config>/pin       Pinocchio (pin): SE3(...).act(Force(...)) or
                             .act(Motion(...)), with the frames built from our
                             arrays ([w, x, y, z] quaternions reordered into
                             Pinocchio's [x, y, z, w]) and the result copied
                             back into the output array every sample;
  <block>/fixed/pin_frame_once  the same with the SE3 built once;
  <block>/<config>/ours[_cycle]_log_<n>  a loop over a log of n samples
                             (n = 1,000, 100,000, 1,000,000): per-sample time of
                             `for x, y in zip(log_in, log_out): block.update(x, y)`
                             (with the transform of each sample on `moving`);
  <block>/<config>/batch_log_<n>  the same log in one call,
                             block.update_batch(log_in, log_out[, log_tf]);
  <block>/<config>/numpy_columns_log_<n>  the same log with NumPy over whole
                             columns: the formulas written out component by
                             component on (n,) arrays, one column per
                             component, the quaternion arithmetic expanded
                             (wrench, twist and payload);
  payload/identify/identify_payload_1000000  oska_tf_utils.identify_payload on
                             10^6 static samples at random orientations: the
                             time of the whole fit, per call.

The payload block is configured by its record: on `fixed` its transform is
given once, before the loop (the sensor still); on `moving`, every cycle.

Time: CPU time of the thread (time.thread_time), over repetitions that each run
a case for about --min-time seconds; the cases are interleaved in a random
order within each repetition. The median over the repetitions is reported, per
call (less the time of timeit's empty loop) or per sample for the log cases.
All arrays are allocated before timing.

Before timing, every implementation is run once on the same sample and must
agree with the blocks within 1e-12, or the script stops.

Usage: bench_python.py --out FILE [--floor-dir DIR] [--repetitions N]
                       [--min-time SECONDS] [--quick] [--only PREFIXES]
(--only: comma-separated prefixes of the case names to keep, e.g.
"payload/,wrench/"; the nanobind floors are always kept.)
Writes the JSON that bench/make_results.py reads.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib.metadata
import json
import os
import platform
import random
import statistics
import sys
import time
import timeit
from pathlib import Path

import numpy as np

import oska_control
import oska_tf_utils_ext as ext

HERE = Path(__file__).resolve().parent
TOLERANCE = 1e-12
LOG_SIZES = (1_000, 100_000, 1_000_000)


def unit_quat(w: float, x: float, y: float, z: float) -> np.ndarray:
    q = np.array([w, x, y, z])
    return q / np.linalg.norm(q)


# The sample of the C++ benchmark (bench/cases.hpp), so that both halves time
# the same work.
SIGNAL_IN = np.array([1.5, -2.0, 0.75, 0.3, -0.2, 0.9])
POSE_IN = np.concatenate([[0.8, -0.4, 1.2], unit_quat(0.8, 0.3, -0.1, 0.4)])
TF = np.concatenate([[0.4, -0.1, 0.25], unit_quat(0.95, 0.05, 0.2, -0.1)])
P_IN = np.array([0.1, 0.2, 0.3])
Q_IN = unit_quat(0.9, 0.1, -0.3, 0.2)
P_OUT = np.array([-0.05, 0.15, 0.6])
Q_OUT = unit_quat(0.7, -0.2, 0.4, 0.1)

# Every block class of the extension, by its kind's name.
BLOCKS = {c.KIND: (c, c.SIGNAL_SIZE) for c in vars(ext).values()
          if isinstance(c, type) and hasattr(c, "SIGNAL_SIZE")}
PEER_BLOCKS = ("wrench", "twist")
CONFIGS = ("fixed", "moving")

# The payload of the C++ benchmark (bench/cases.hpp, payloadConfig).
MASS, COM = 1.2, P_IN
FORCE_BIAS, TORQUE_BIAS = np.array([0.4, -0.2, 1.1]), np.array([0.03, 0.01, -0.02])
GRAVITY = np.array([0.0, 0.0, -9.80665])


def make_block(block: str, config: str):
    cls, _ = BLOCKS[block]
    if cls.CONFIG_RECORD is ext.OskaPayloadConfig:
        p = ext.OskaPayloadConfig()
        p.name, p.mass, p.center_of_mass, p.sensor_axes = "bench", MASS, COM, Q_IN
        p.force_bias, p.torque_bias = FORCE_BIAS, TORQUE_BIAS
        b = cls(p)
        b.set_fixed_to_moving_frame_tf(TF.copy())  # the sensor's orientation, needed on both
        return b
    origin = "moving_frame" if config == "moving" else "fixed_frame"
    c = ext.OskaTfConfig()
    c.name = "bench"
    c.input_ref_point.origin = origin
    c.input_ref_point.translation = P_IN
    # A block without a transform (pose) takes its moving frame from the
    # input pose, and its input axes cannot be on it.
    c.input_expr_axes.origin = origin if cls.HAS_TRANSFORM else "fixed_frame"
    c.input_expr_axes.rotation = Q_IN
    c.output_ref_point.origin = origin
    c.output_ref_point.translation = P_OUT
    c.output_expr_axes.origin = origin
    c.output_expr_axes.rotation = Q_OUT
    b = cls(c)
    if config == "moving" and cls.HAS_TRANSFORM:
        b.set_fixed_to_moving_frame_tf(TF.copy())
    return b


# ------------------------------------------------------------------ NumPy ---
# The blocks' arithmetic, the way one would write it in NumPy for one sample:
# rot(q, v) = v + 2w (u x v) + 2 u x (u x v) as the matrix of q (the same
# expression expanded, for quaternions of any norm), applied to the two
# 3-vectors of the sample at once; the Hamilton product e' = q e of a moving
# entry as the product of the two matrices, which is the same for the unit
# quaternions of the sample. np.cross costs tens of microseconds on
# 3-vectors, so the one cross product is written with index arrays.
_YZX = np.array([1, 2, 0])


def np_cross(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    return (a * b[_YZX] - a[_YZX] * b)[_YZX]


def np_matrix(q: np.ndarray) -> np.ndarray:
    w, x, y, z = q.tolist()
    return np.array([[1.0 - 2.0 * (y * y + z * z), 2.0 * (x * y - w * z), 2.0 * (x * z + w * y)],
                     [2.0 * (x * y + w * z), 1.0 - 2.0 * (x * x + z * z), 2.0 * (y * z - w * x)],
                     [2.0 * (x * z - w * y), 2.0 * (y * z + w * x), 1.0 - 2.0 * (x * x + y * y)]])


def np_resolve(tf: np.ndarray | None):
    """P_in, R_in, P_out, R_out against the fixed frame, from the stored entries."""
    if tf is None:
        return P_IN, np_matrix(Q_IN), P_OUT, np_matrix(Q_OUT)
    t, r = tf[:3], np_matrix(tf[3:])
    return r @ P_IN + t, r @ np_matrix(Q_IN), r @ P_OUT + t, r @ np_matrix(Q_OUT)


def np_wrench(x: np.ndarray, y: np.ndarray, tf: np.ndarray | None = None) -> None:
    p_in, r_in, p_out, r_out = np_resolve(tf)
    fm = x.reshape(2, 3) @ r_in.T  # rows: force, moment in fixed-frame axes
    fm[1] += np_cross(p_in - p_out, fm[0])
    np.matmul(fm, r_out, out=y.reshape(2, 3))


def np_twist(x: np.ndarray, y: np.ndarray, tf: np.ndarray | None = None) -> None:
    p_in, r_in, p_out, r_out = np_resolve(tf)
    vw = x.reshape(2, 3) @ r_in.T  # rows: linear, angular velocity in fixed-frame axes
    vw[0] += np_cross(vw[1], p_out - p_in)
    np.matmul(vw, r_out, out=y.reshape(2, 3))


NUMPY = {"wrench": np_wrench, "twist": np_twist}


# The same over whole columns: every quantity is a tuple of (n,) arrays (or of
# floats, for entries that do not vary), and the quaternion arithmetic is
# written out, which was the fastest NumPy formulation we found.
def col_rot(q, v):
    w, x, y, z = q
    cx, cy, cz = y * v[2] - z * v[1], z * v[0] - x * v[2], x * v[1] - y * v[0]
    tx, ty, tz = cx + cx, cy + cy, cz + cz
    return (v[0] + w * tx + (y * tz - z * ty), v[1] + w * ty + (z * tx - x * tz),
            v[2] + w * tz + (x * ty - y * tx))


def col_rot_conj(q, v):
    return col_rot((q[0], -q[1], -q[2], -q[3]), v)


def col_mul(a, b):
    return (a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
            a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
            a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
            a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0])


def col_add(a, b):
    return (a[0] + b[0], a[1] + b[1], a[2] + b[2])


def col_sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def col_cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def col_entries(tf):
    """P_in, Q_in, P_out, Q_out: stored, or resolved through tf columns."""
    p_in, q_in, p_out, q_out = tuple(P_IN), tuple(Q_IN), tuple(P_OUT), tuple(Q_OUT)
    if tf is None:
        return p_in, q_in, p_out, q_out
    t, q = tf[:3], tf[3:]
    return (col_add(col_rot(q, p_in), t), col_mul(q, q_in),
            col_add(col_rot(q, p_out), t), col_mul(q, q_out))


def col_wrench(x, y, tf=None):
    p_in, q_in, p_out, q_out = col_entries(tf)
    f = col_rot(q_in, x[:3])
    m = col_add(col_rot(q_in, x[3:]), col_cross(col_sub(p_in, p_out), f))
    y[0], y[1], y[2] = col_rot_conj(q_out, f)
    y[3], y[4], y[5] = col_rot_conj(q_out, m)


def col_twist(x, y, tf=None):
    p_in, q_in, p_out, q_out = col_entries(tf)
    w = col_rot(q_in, x[3:])
    v = col_add(col_rot(q_in, x[:3]), col_cross(w, col_sub(p_out, p_in)))
    y[0], y[1], y[2] = col_rot_conj(q_out, v)
    y[3], y[4], y[5] = col_rot_conj(q_out, w)


def col_payload(x, y, tf=None):
    q_tf = tuple(TF[3:]) if tf is None else tf[3:]
    w = col_rot_conj(col_mul(q_tf, tuple(Q_IN)), tuple(MASS * GRAVITY))
    c = tuple(COM)
    y[0], y[1], y[2] = (x[k] - FORCE_BIAS[k] - w[k] for k in range(3))
    t = col_cross(c, w)
    y[3], y[4], y[5] = (x[3 + k] - TORQUE_BIAS[k] - t[k] for k in range(3))


COLUMNS = {"wrench": col_wrench, "twist": col_twist, "payload": col_payload}


def np_matrix_once(block: str) -> np.ndarray:
    """The fixed configuration as one 6x6 matrix, built column by column."""
    m = np.empty((6, 6))
    for i, e in enumerate(np.eye(6)):
        NUMPY[block](e, m[:, i])
    return m


# -------------------------------------------------------------- Pinocchio ---
# Our [tx, ty, tz, qw, qx, qy, qz] into Pinocchio's [x, y, z, qx, qy, qz, qw].
_TO_XYZQUAT = np.array([0, 1, 2, 4, 5, 6, 3])
XYZQUAT_IN = np.concatenate([P_IN, Q_IN])[_TO_XYZQUAT]
XYZQUAT_OUT = np.concatenate([P_OUT, Q_OUT])[_TO_XYZQUAT]


def pin_functions(pin):
    se3 = pin.XYZQUATToSE3

    def fixed(spatial):
        def run(x, y):
            frame = se3(XYZQUAT_OUT).actInv(se3(XYZQUAT_IN))
            y[:] = frame.act(spatial(x)).vector
        return run

    def moving(spatial):
        def run(x, y, tf):
            t = se3(tf[_TO_XYZQUAT])
            frame = (t * se3(XYZQUAT_OUT)).actInv(t * se3(XYZQUAT_IN))
            y[:] = frame.act(spatial(x)).vector
        return run

    def frame_once(spatial):
        frame = se3(XYZQUAT_OUT).actInv(se3(XYZQUAT_IN))

        def run(x, y):
            y[:] = frame.act(spatial(x)).vector
        return run

    spatial = {"wrench": pin.Force, "twist": pin.Motion}
    return {(block, kind): make(spatial[block])
            for block in PEER_BLOCKS
            for kind, make in (("fixed", fixed), ("moving", moving),
                               ("frame_once", frame_once))}


# ------------------------------------------------------------------ cases ---
class Case:
    def __init__(self, name: str, stmt: str, env: dict, note: str = "",
                 per: int = 1, floor: str | None = None, per_sample: bool = False,
                 target_floor: bool = False):
        self.name = name
        self.timer = timeit.Timer(stmt, globals=env, timer=time.thread_time)
        self.note = note
        self.per = per  # samples per statement (log cases)
        self.floor = floor
        self.per_sample = per_sample
        self.target_floor = target_floor
        self.number = 1
        self.samples: list[float] = []

    def calibrate(self, min_time: float) -> None:
        number = 1
        while True:
            t = self.timer.timeit(number)
            if t >= min_time / 5 or number >= 1 << 30:
                break
            number *= 2 if t <= 0 else max(2, min(10, int(min_time / 5 / t) + 1))
        self.number = max(1, int(number * min_time / max(t, 1e-9)))

    def run(self) -> None:
        self.samples.append(self.timer.timeit(self.number) / (self.number * self.per))


def stop(message: str) -> None:
    print(f"\nBENCHMARK SETUP IS WRONG: {message}\n", file=sys.stderr)
    sys.exit(2)


def check_close(name: str, got: np.ndarray, want: np.ndarray) -> float:
    d = float(np.max(np.abs(got - want)))
    if not d <= TOLERANCE:
        stop(f"{name} disagrees with the block by {d:g}\n  block: {want}\n  {name}: {got}")
    return d


def build_cases(floor, pin) -> tuple[list[Case], str]:
    ok = oska_control.OskaControlReturnCode.Ok
    cases: list[Case] = []
    worst = 0.0

    x6, y6, tf = SIGNAL_IN.copy(), np.zeros(6), TF.copy()
    x7 = POSE_IN.copy()

    if floor is not None:
        noop_block = floor.NoopBlock()
        if noop_block.update(x6, y6) != ok:
            stop("oska_bench_floor.NoopBlock.update does not return OskaControlReturnCode.Ok")
        env = {"noop": floor.noop, "noop_tf": floor.noop_tf, "nb": noop_block,
               "x": x6, "y": y6, "tf": tf}
        call, cycle = "nanobind/call/noop", "nanobind/cycle/noop"
        cases += [
            Case(call, "noop(x, y)", env,
                 "floor of update(): no-op function, same two array parameters", floor=call),
            Case(f"{call}_method", "nb.update(x, y)", env,
                 "the same as a method returning OskaControlReturnCode.Ok", floor=call),
            Case(cycle, "noop_tf(tf); noop(x, y)", env,
                 "floor of a moving cycle: no-op transform setter, then no-op update",
                 floor=cycle),
            Case(f"{cycle}_method",
                 "nb.set_fixed_to_moving_frame_tf(tf); nb.update(x, y)", env,
                 "the same as two methods, the second returning Ok", floor=cycle),
        ]
    call_floor = "nanobind/call/noop" if floor is not None else None
    cycle_floor = "nanobind/cycle/noop" if floor is not None else None
    pin_fns = pin_functions(pin) if pin is not None else {}

    for block, (cls, n) in BLOCKS.items():
        # The pose sample for seven values, else the 6-DOF one, cycled to size.
        x = x7 if n == 7 else np.resize(SIGNAL_IN, n)
        y = np.zeros(n)
        for config in CONFIGS:
            b = make_block(block, config)
            moving_cycle = config == "moving" and cls.HAS_TRANSFORM
            # The block's result on the sample, which every peer must match.
            ref = np.zeros(n)
            if moving_cycle:
                b.set_fixed_to_moving_frame_tf(tf)
            if b.update(x, ref) != ok:
                stop(f"{block}/{config}: update did not return Ok")
            env = {"b": b, "x": x, "y": y, "tf": tf}
            cases.append(Case(f"{block}/{config}/ours", "b.update(x, y)", env,
                              "update() alone" + (" (transform given once, before)"
                                                  if moving_cycle else ""),
                              floor=call_floor, per_sample=not moving_cycle,
                              target_floor=True))
            if moving_cycle:
                cases.append(Case(f"{block}/{config}/ours_cycle",
                                  "b.set_fixed_to_moving_frame_tf(tf); b.update(x, y)", env,
                                  "set_fixed_to_moving_frame_tf() then update()",
                                  floor=cycle_floor, per_sample=True))
            if block == "wrench":
                cases += log_cases(block, config, b, n, moving_cycle)
            if block in COLUMNS:
                more, deviation = batch_cases(block, config, b, n, moving_cycle)
                cases += more
                worst = max(worst, deviation)

            if block not in PEER_BLOCKS:
                continue
            def peer(impl, fn, note):
                """Checks a peer against the block on the sample, then adds it as a case;
                on the moving cycle the peer also takes the transform."""
                out = np.zeros(6)
                env = {"fn": fn, "x": x, "y": y}
                if moving_cycle:
                    fn(x, out, tf)
                    env["tf"] = tf
                else:
                    fn(x, out)
                cases.append(Case(f"{block}/{config}/{impl}",
                                  "fn(x, y, tf)" if moving_cycle else "fn(x, y)", env, note))
                return check_close(f"{block}/{config}/{impl}", out, ref)

            if moving_cycle:
                worst = max(worst, peer("numpy", NUMPY[block],
                                        "the formulas in NumPy, entries resolved each sample"))
            else:
                worst = max(worst, peer("numpy", NUMPY[block], "the formulas in NumPy"))
                m = np_matrix_once(block)
                out = np.zeros(6)
                np.matmul(m, x, out=out)
                worst = max(worst, check_close(f"{block}/{config}/numpy_matrix_once", out, ref))
                cases.append(Case(f"{block}/{config}/numpy_matrix_once",
                                  "matmul(m, x, out=y)",
                                  {"matmul": np.matmul, "m": m, "x": x, "y": y},
                                  "6x6 matrix built once; not the same arithmetic"))
            if pin is None:
                continue
            if moving_cycle:
                worst = max(worst, peer("pin", pin_fns[(block, "moving")],
                                        "SE3 from arrays each sample, composed with the transform"))
            else:
                worst = max(worst, peer("pin", pin_fns[(block, "fixed")],
                                        "SE3 from arrays each sample"))
                worst = max(worst, peer("pin_frame_once", pin_fns[(block, "frame_once")],
                                        "SE3 built once"))
    cases.append(identify_case())
    agreement = f"ok, largest deviation {worst:.3g}"
    return cases, agreement


def identify_case() -> Case:
    """identify_payload on 10^6 static samples: a payload at random
    orientations of the sensor, with noise."""
    from oska_tf_utils import identify_payload

    rng = np.random.default_rng(8)
    n = 1_000_000
    q = rng.normal(size=(n, 4))
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    w, u = q[:, :1], q[:, 1:]
    t = 2.0 * np.cross(u, -GRAVITY)  # rot(conj(q), g) = g + w·t' + u' × t', u' = −u
    g_s = GRAVITY + w * t + np.cross(-u, t)
    wrenches = np.concatenate([MASS * g_s + FORCE_BIAS,
                               np.cross(COM, MASS * g_s) + TORQUE_BIAS], axis=1)
    wrenches += rng.normal(scale=0.05, size=wrenches.shape)
    estimate = identify_payload(wrenches, q)
    if not abs(estimate.mass - MASS) < 0.01:
        stop(f"identify_payload found a mass of {estimate.mass}, not {MASS}")
    return Case("payload/identify/identify_payload_1000000", "identify(w, q)",
                {"identify": identify_payload, "w": wrenches, "q": q},
                "one fit of 10^6 static samples")


def log_cases(block: str, config: str, b, n: int, moving_cycle: bool) -> list[Case]:
    """Per-sample time of a loop over a log of samples, for each log size."""
    rng = np.random.default_rng(5)
    cases = []
    for size in LOG_SIZES:
        log_in = rng.normal(size=(size, n))
        log_out = np.zeros((size, n))
        env = {"b": b, "log_in": log_in, "log_out": log_out}
        if moving_cycle:
            log_tf = np.tile(TF, (size, 1))
            log_tf[:, :3] += rng.normal(scale=0.1, size=(size, 3))
            env["log_tf"] = log_tf
            stmt = ("upd = b.update; tf_set = b.set_fixed_to_moving_frame_tf\n"
                    "for x, t, y in zip(log_in, log_tf, log_out):\n"
                    "    tf_set(t); upd(x, y)")
            name, what = f"{block}/{config}/ours_cycle_log_{size}", "transform and update"
        else:
            stmt = ("upd = b.update\n"
                    "for x, y in zip(log_in, log_out):\n"
                    "    upd(x, y)")
            name, what = f"{block}/{config}/ours_log_{size}", "update"
        cases.append(Case(name, stmt, env,
                          f"per sample: {what} over a log of {size:,} samples",
                          per=size))
    return cases


def batch_cases(block: str, config: str, b, n: int, moving: bool) -> tuple[list[Case], float]:
    """Per-sample time of update_batch and of NumPy over columns, for each log
    size; NumPy is checked against update_batch first."""
    rng = np.random.default_rng(6)
    cases, worst = [], 0.0
    for size in LOG_SIZES:
        log_in = rng.normal(size=(size, n))
        log_out = np.zeros((size, n))
        log_tf = np.tile(TF, (size, 1))
        log_tf[:, :3] += rng.normal(scale=0.1, size=(size, 3))
        cols_in = [np.ascontiguousarray(c) for c in log_in.T]
        cols_tf = [np.ascontiguousarray(c) for c in log_tf.T] if moving else None
        cols_out = [np.zeros(size) for _ in range(n)]
        env = {"b": b, "log_in": log_in, "log_out": log_out, "log_tf": log_tf,
               "fn": COLUMNS[block], "x": cols_in, "y": cols_out, "tf": cols_tf}
        stmt = "b.update_batch(log_in, log_out, log_tf)" if moving else \
            "b.update_batch(log_in, log_out)"
        exec(stmt, env)
        COLUMNS[block](cols_in, cols_out, cols_tf)
        worst = max(worst, check_close(f"{block}/{config}/numpy_columns_log_{size}",
                                       np.stack(cols_out, axis=1), log_out))
        cases.append(Case(f"{block}/{config}/batch_log_{size}", stmt, env,
                          f"per sample: update_batch over a log of {size:,} samples", per=size))
        cases.append(Case(f"{block}/{config}/numpy_columns_log_{size}", "fn(x, y, tf)", env,
                          f"per sample: NumPy over whole columns, {size:,} samples", per=size))
    return cases, worst


def versions(pin) -> dict[str, str]:
    def dist(name: str) -> str:
        try:
            return importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            return "?"
    return {
        "python": platform.python_version(),
        "numpy": np.__version__,
        "nanobind": dist("nanobind"),
        "pin": pin.__version__ if pin is not None else "not installed",
    }


def import_floor(directory: Path):
    sys.path.insert(0, str(directory))
    try:
        import oska_bench_floor
    except ImportError as e:
        print(f"warning: no floor module in {directory} ({e}); "
              "build it with bench/run.sh", file=sys.stderr)
        return None
    finally:
        sys.path.pop(0)
    return oska_bench_floor


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--floor-dir", type=Path,
                        default=Path(os.environ.get("OSKA_BENCH_PYTHON_BUILD_DIR",
                                                    HERE.parent / "build-bench-python")))
    parser.add_argument("--repetitions", type=int, default=20)
    parser.add_argument("--min-time", type=float, default=0.1,
                        help="seconds per case and repetition")
    parser.add_argument("--quick", action="store_true",
                        help="3 repetitions of 0.02 s, to try the script")
    parser.add_argument("--only", default="",
                        help="comma-separated prefixes of the cases to keep (floors are kept)")
    args = parser.parse_args()
    if args.quick:
        args.repetitions, args.min_time = 3, 0.02

    floor = import_floor(args.floor_dir)
    try:
        import pinocchio as pin
    except ImportError:
        print("warning: pinocchio (pip package pin) not installed; no Pinocchio cases",
              file=sys.stderr)
        pin = None

    started = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    cases, agreement = build_cases(floor, pin)
    if args.only:
        keep = tuple(p for p in args.only.split(",") if p) + ("nanobind/",)
        cases = [c for c in cases if c.name.startswith(keep)]
    empty = Case("empty", "pass", {})
    everything = cases + [empty]

    print(f"Python: {len(cases)} cases, {args.repetitions} repetitions of about "
          f"{args.min_time} s each", flush=True)
    gc.collect()
    gc.disable()  # nothing below allocates per call; no collection mid-timing
    try:
        for case in everything:
            case.calibrate(args.min_time)
        order = list(everything)
        for _ in range(args.repetitions):
            random.shuffle(order)
            for case in order:
                case.run()
    finally:
        gc.enable()

    empty_ns = statistics.median(empty.samples) * 1e9
    benchmarks = []
    for case in cases:
        per = [s * 1e9 - (empty_ns if case.per == 1 else 0.0) for s in case.samples]
        mean = statistics.fmean(per)
        entry = {"name": case.name, "median_ns": statistics.median(per),
                 "cv": statistics.stdev(per) / mean if len(per) > 1 and mean > 0 else None,
                 "note": case.note}
        if case.floor:
            entry["floor"] = case.floor
        if case.per_sample:
            entry["per_sample"] = True
        if case.target_floor:
            entry["target_floor"] = True
        benchmarks.append(entry)
        print(f"  {case.name:40s} {entry['median_ns']:10.1f} ns", flush=True)

    v = versions(pin)
    context = {
        "Started": started,
        "Interpreter": f"{sys.executable} (CPython {v['python']})",
        "Packages": f"numpy {v['numpy']}, nanobind {v['nanobind']}, pin {v['pin']}",
        "Start-up agreement check of NumPy, Pinocchio and blocks": agreement,
        "Time": (f"median thread CPU time over {args.repetitions} repetitions of about "
                 f"{args.min_time} s per case, cases in random order within each "
                 f"repetition; per call less timeit's empty loop ({empty_ns:.1f} ns), "
                 "or per sample for the log cases"),
    }
    args.out.write_text(json.dumps({"context": context, "benchmarks": benchmarks}, indent=1))


if __name__ == "__main__":
    main()
