"""update_batch: the loop of update in one call, with the GIL released."""

import bisect
import re
import threading
import time

import numpy as np
import pytest

from oska_control import OskaControlReturnCode as Code
from conftest import BLOCK_CLASSES, BLOCK_IDS, ready_block as configured, unconfigured_line

blocks = pytest.mark.parametrize("cls", BLOCK_CLASSES, ids=BLOCK_IDS)
RNG = np.random.default_rng(3)


def looped(block, samples, tf=None):
    out = np.empty_like(samples)
    for i, row in enumerate(samples):
        if tf is not None:
            block.set_fixed_to_moving_frame_tf(tf[i].copy())
        assert block.update(row.copy(), out[i]) is Code.Ok
    return out


@blocks
@pytest.mark.parametrize("m", [0, 1, 5, 130])
def test_equals_the_loop_of_update(cls, m):
    samples = RNG.uniform(-2, 2, (m, cls.SIGNAL_SIZE))
    tf = RNG.uniform(-2, 2, (m, 7)) if cls.HAS_TRANSFORM else None
    expected = looped(configured(cls), samples, tf)
    args = (tf,) if cls.HAS_TRANSFORM else ()
    out = np.full_like(samples, -1.0)
    assert configured(cls).update_batch(samples, out, *args) is Code.Ok
    assert out.tobytes() == expected.tobytes()
    in_place = samples.copy()
    assert configured(cls).update_batch(in_place, in_place, *args) is Code.Ok
    assert in_place.tobytes() == expected.tobytes()


@blocks
def test_inputs_convert_outputs_never(cls):
    n = cls.SIGNAL_SIZE
    block = configured(cls, "fixed_frame")
    ints = np.arange(3 * n).reshape(3, n)
    expected = np.empty((3, n))
    block.update_batch(ints.astype(np.float64), expected)

    readonly = ints.astype(np.float64)
    readonly.flags.writeable = False
    for given in (ints, readonly, np.asfortranarray(ints.astype(np.float64))):
        out = np.empty((3, n))
        assert block.update_batch(given, out) is Code.Ok
        assert out.tobytes() == expected.tobytes()

    for bad_out in (np.zeros((3, n), np.float32), np.zeros((3, 2 * n))[:, ::2],
                    np.zeros((3, n)).T.copy().T):
        before = bad_out.copy()
        with pytest.raises(TypeError):
            block.update_batch(ints, bad_out)
        assert np.array_equal(bad_out, before)
    frozen = np.zeros((3, n))
    frozen.flags.writeable = False
    with pytest.raises(TypeError):
        block.update_batch(ints, frozen)


@blocks
def test_inputs_in_the_other_byte_order_are_read_as_their_values(cls):
    n = cls.SIGNAL_SIZE
    samples = RNG.uniform(-2, 2, (5, n))
    tf = RNG.uniform(-2, 2, (5, 7)) if cls.HAS_TRANSFORM else None
    args = (tf,) if cls.HAS_TRANSFORM else ()
    expected = np.empty_like(samples)
    assert configured(cls).update_batch(samples, expected, *args) is Code.Ok
    swapped = tuple(a.astype(a.dtype.newbyteorder(">" if np.little_endian else "<"))
                    for a in (samples, *args))
    out = np.empty_like(samples)
    assert configured(cls).update_batch(swapped[0], out, *swapped[1:]) is Code.Ok
    assert out.tobytes() == expected.tobytes()


def _refusal(call):
    with pytest.raises(TypeError) as caught:
        call()
    return str(caught.value)


@blocks
def test_refused_arrays_are_named_with_the_reason(cls):
    # The message names the method, the argument and what is wrong with it,
    # and keeps the words of the generic refusal.
    n, name = cls.SIGNAL_SIZE, cls.SIGNAL
    block = configured(cls)
    good, rows = np.zeros(n), np.zeros((3, n))
    frozen = np.zeros(n)
    frozen.flags.writeable = False
    cases = [
        (lambda: block.update([0.0] * n, good), "update", f"{name}_in", "not list"),
        (lambda: block.update(np.zeros(n + 1), good), "update", f"{name}_in",
         rf"it has shape \({n + 1},\)"),
        (lambda: block.update(np.zeros(n, complex), good), "update", f"{name}_in",
         "it has dtype complex128"),
        (lambda: block.update(frozen, good), "update", f"{name}_in", "it is read-only"),
        (lambda: block.update(good, np.zeros(n, np.float32)), "update", f"{name}_out",
         "it has dtype float32"),
        (lambda: block.update(good, np.zeros(2 * n)[::2]), "update", f"{name}_out",
         "it is not C-contiguous"),
        (lambda: block.update(good, np.zeros(n, ">f8")), "update", f"{name}_out",
         "it has dtype >f8"),
        (lambda: block.update_batch(np.zeros((3, n + 1)), rows), "update_batch", f"{name}_in",
         rf"shape \(M, {n}\); it has shape \(3, {n + 1}\)"),
        (lambda: block.update_batch(rows, np.zeros((n, 3)).T), "update_batch", f"{name}_out",
         "it is not C-contiguous"),
    ]
    if hasattr(block, "set_input_reference_point"):
        cases.append((lambda: block.set_input_reference_point("fixed_frame", np.zeros(4)),
                      "set_input_reference_point", "translation", r"it has shape \(4,\)"))
    if cls.HAS_TRANSFORM:
        cases.append((lambda: block.update_batch(rows, rows.copy(), [1.0] * 7), "update_batch",
                      cls.TRANSFORM_INPUT, "not list"))
    for call, method, argument, reason in cases:
        message = _refusal(call)
        assert message.startswith(f"{method}(): incompatible function arguments: {argument} must be")
        assert re.search(reason, message), message


@blocks
def test_row_counts_and_overlaps_are_checked(cls):
    n = cls.SIGNAL_SIZE
    block = configured(cls)
    with pytest.raises(ValueError, match=rf"has shape \(4, {n}\) but .*_in has shape \(5, {n}\)"):
        block.update_batch(np.zeros((5, n)), np.zeros((4, n)))
    if cls.HAS_TRANSFORM:
        with pytest.raises(ValueError, match=rf"{cls.TRANSFORM_INPUT} has shape \(3, 7\) but "
                                             rf".*_in has shape \(5, {n}\)"):
            block.update_batch(np.zeros((5, n)), np.zeros((5, n)), np.zeros((3, 7)))
    buffer = np.zeros((6, n))
    with pytest.raises(ValueError, match="overlaps .* other than in place"):
        block.update_batch(buffer[:5], buffer[1:])


@blocks
def test_not_ready_writes_zeros_and_one_line(cls, capfd):
    block = cls()
    out = np.full((7, cls.SIGNAL_SIZE), 9.0)
    assert block.update_batch(np.ones((7, cls.SIGNAL_SIZE)), out) is Code.NotReady
    assert not out.any()
    assert capfd.readouterr().err == unconfigured_line(cls) + "\n"


def test_angular_acceleration_adds_the_tangential_term():
    cls = next(c for c in BLOCK_CLASSES if c.SIGNAL == "imu")
    block = cls()
    block.set_input_reference_point("fixed_frame", np.zeros(3))
    block.set_input_expression_axes("fixed_frame", np.array([1.0, 0, 0, 0]))
    block.set_output_reference_point("fixed_frame", np.array([1.0, 0, 0]))
    block.set_output_expression_axes("fixed_frame", np.array([1.0, 0, 0, 0]))
    out = np.empty((1, 6))
    block.update_batch(np.zeros((1, 6)), out, angular_acceleration=np.array([[0.0, 0.0, 2.0]]))
    assert np.array_equal(out, [[0.0, 2.0, 0.0, 0.0, 0.0, 0.0]])  # α × r = (0,0,2) × (1,0,0)


@blocks
def test_other_threads_run_during_a_batch_but_not_on_its_block(cls):
    block = configured(cls, "fixed_frame")
    samples = np.ones((1_000_000, cls.SIGNAL_SIZE))
    ticks, refused, done = [], [], threading.Event()

    def other_thread():
        while not done.is_set():
            ticks.append(time.perf_counter())
            try:
                block.is_ready()
            except RuntimeError as e:
                refused.append(str(e))

    thread = threading.Thread(target=other_thread)
    thread.start()
    ran_during = False
    try:
        # Batches until the other thread has been seen to run during one: with
        # the GIL held it never could, however busy the machine.
        for _ in range(200):
            start = time.perf_counter()
            block.update_batch(samples, samples)
            end = time.perf_counter()
            first_after = bisect.bisect_right(ticks, start)
            ran_during = first_after < len(ticks) and ticks[first_after] < end
            if ran_during and refused:
                break
    finally:
        done.set()
        thread.join()
    assert ran_during
    assert refused and "update_batch on another thread" in refused[0]
