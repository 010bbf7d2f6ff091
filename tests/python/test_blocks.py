"""Block construction, argument acceptance and the behaviour of update()."""

import json
import pathlib

import numpy as np
import pytest

import oska_tf_utils_ext as ext
from oska_control import OskaControlReturnCode as Code
from conftest import (BLOCKS, BLOCK_IDS, ENTRY_BLOCKS, ENTRY_IDS, EXAMPLE_CONFIG, IDENTITY,
                      configure_fixed, unconfigured_line)

blocks = pytest.mark.parametrize("cls, n, args, section", BLOCKS, ids=BLOCK_IDS)
entry_blocks = pytest.mark.parametrize("cls, n, args, section", ENTRY_BLOCKS, ids=ENTRY_IDS)


def ready_wrench():
    """A wrench block whose input point is 0.1 above the output point, so
    that a force along x yields a moment."""
    block = configure_fixed(ext.OskaTfWrench())
    block.set_input_reference_point("fixed_frame", np.array([0.0, 0.0, 0.1]))
    return block


SAMPLE = np.array([1.0, 2.0, 3.0, 0.1, 0.2, 0.3])
EXPECTED = np.array([1.0, 2.0, 3.0, 0.1 - 0.2, 0.2 + 0.1, 0.3])  # m + (0,0,0.1) x f


# ------------------------------------------------------------ construction ---

@blocks
def test_construct_from_path_and_from_config(cls, n, args, section):
    from_file = cls(str(EXAMPLE_CONFIG))
    assert from_file.name() == json.loads(EXAMPLE_CONFIG.read_text())[section]["name"]
    assert cls(config_file=str(EXAMPLE_CONFIG)).name() == from_file.name()

    config = cls.CONFIG_RECORD()
    config.name = "coded"
    assert cls(config).name() == "coded"
    assert cls(config=config).name() == "coded"
    assert cls().name() == ""


@blocks
def test_constructor_errors(cls, n, args, section, tmp_path):
    missing = str(tmp_path / "nope.json")
    with pytest.raises(RuntimeError) as err:
        cls(missing)
    assert str(err.value) == "Could not open config file: " + missing

    broken = tmp_path / "broken.json"
    broken.write_text("{ not json")
    with pytest.raises(RuntimeError, match=r"^Failed to parse config file '.*broken\.json': "):
        cls(str(broken))

    for bad in (None, b"config.json", pathlib.Path(missing), {}):
        with pytest.raises(TypeError):
            cls(bad)


def test_block_copies_the_config_record():
    config = ext.OskaTfConfig()
    for view in (config.input_ref_point, config.output_ref_point):
        view.origin = "fixed_frame"
    for view in (config.input_expr_axes, config.output_expr_axes):
        view.origin = "fixed_frame"
    config.input_ref_point.translation = [0.0, 0.0, 0.1]
    block = ext.OskaTfWrench(config)
    config.input_ref_point.translation = [5.0, 5.0, 5.0]
    out = np.zeros(6)
    assert block.update(SAMPLE, out) is Code.Ok
    np.testing.assert_allclose(out, EXPECTED, atol=1e-15)


# ------------------------------------------------------------ not ready ---

@blocks
def test_not_ready_writes_zeros_and_reports(cls, n, args, section, capfd):
    out = np.full(n, 7.0)
    assert cls().update(np.ones(n), out) is Code.NotReady
    np.testing.assert_array_equal(out, np.zeros(n))
    assert capfd.readouterr().err == unconfigured_line(cls) + "\n"


def test_not_ready_under_hard_rt_is_error():
    config = ext.OskaTfConfig()
    config.policy = 2
    assert ext.OskaTfWrench(config).update(np.ones(6), np.ones(6)) is Code.Error


def test_moving_frame_entry_needs_the_transform():
    block = ext.OskaTfTwist(str(EXAMPLE_CONFIG))
    out = np.zeros(6)
    assert block.update(np.ones(6), out) is Code.NotReady
    assert block.set_fixed_to_moving_frame_tf(np.array([0.0, 0, 0, 1, 0, 0, 0])) is None
    assert block.update(np.ones(6), out) is Code.Ok


# ----------------------------------------------------------------- setters ---

@entry_blocks
def test_setters_on_locked_entries(cls, n, args, section, locked_config_file, capfd):
    block = cls(locked_config_file)
    for setter, values, word in (
            (block.set_input_reference_point, np.zeros(3), "InputReferencePoint"),
            (block.set_input_expression_axes, IDENTITY.copy(), "InputExpressionAxes"),
            (block.set_output_reference_point, np.zeros(3), "OutputReferencePoint"),
            (block.set_output_expression_axes, IDENTITY.copy(), "OutputExpressionAxes")):
        assert setter("fixed_frame", values) is False
        assert capfd.readouterr().err == (
            f"{cls.__name__}: {word} was loaded from JSON and cannot be overridden from code.\n")
    assert block.update(np.ones(n), np.zeros(n)) is Code.Ok


def test_setter_arguments():
    block = ext.OskaTfWrench()
    assert block.set_input_reference_point("fixed_frame", np.zeros(3)) is True
    assert block.set_input_reference_point(origin="fixed_frame", translation=np.zeros(3)) is True
    for call in (lambda: block.set_input_expression_axes("fixed_frame", np.zeros(3)),
                 lambda: block.set_input_reference_point(b"fixed_frame", np.zeros(3)),
                 lambda: block.set_input_reference_point("fixed_frame", [0.0, 0.0, 0.0]),
                 lambda: block.set_fixed_to_moving_frame_tf(np.zeros(6))):
        with pytest.raises(TypeError):
            call()


# ------------------------------------------------------------------ arrays ---

def test_update_writes_into_the_output_array():
    out = np.zeros(6)
    assert ready_wrench().update(SAMPLE, out) is Code.Ok
    np.testing.assert_allclose(out, EXPECTED, atol=1e-15)


def test_update_in_place():
    buf = SAMPLE.copy()
    assert ready_wrench().update(buf, buf) is Code.Ok
    np.testing.assert_allclose(buf, EXPECTED, atol=1e-15)


def test_inputs_that_need_conversion_are_read_correctly():
    block = ready_wrench()
    out = np.zeros(6)
    assert block.update(np.array([1, 2, 3, 0, 0, 0], dtype=np.int64), out) is Code.Ok
    np.testing.assert_allclose(out, [1, 2, 3, -0.2, 0.1, 0])
    strided = np.zeros(12)
    strided[::2] = SAMPLE
    assert block.update(strided[::2], out) is Code.Ok
    np.testing.assert_allclose(out, EXPECTED, atol=1e-15)


def readonly(a):
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("make_in", [
    lambda: list(SAMPLE),
    lambda: tuple(SAMPLE),
    lambda: SAMPLE.reshape(1, 6).copy(),
    lambda: np.zeros(7),
    lambda: readonly(SAMPLE.copy()),
], ids=["list", "tuple", "2-d", "wrong-size", "read-only"])
def test_rejected_input(make_in):
    out = np.full(6, 7.0)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        ready_wrench().update(make_in(), out)
    np.testing.assert_array_equal(out, np.full(6, 7.0))


@pytest.mark.parametrize("make_out", [
    lambda: np.full(6, 7.0, dtype=np.float32),
    lambda: np.full(12, 7.0)[::2],
    lambda: np.full((6, 1), 7.0),
    lambda: readonly(np.full(6, 7.0)),
    lambda: np.full(6, 7, dtype=np.int64),
], ids=["float32", "strided", "column", "read-only", "int64"])
def test_output_is_never_converted(make_out):
    # A converted output would receive the result in a temporary copy and the
    # caller's array would silently keep its old contents.
    out = make_out()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        ready_wrench().update(SAMPLE, out)
    assert np.all(out == 7)


def test_update_keywords():
    block = ready_wrench()
    out = np.zeros(6)
    assert block.update(wrench_in=SAMPLE, wrench_out=out) is Code.Ok
    np.testing.assert_allclose(out, EXPECTED, atol=1e-15)
    with pytest.raises(TypeError):
        block.update(imu_in=SAMPLE, imu_out=out)
