"""Diagnostic lines routed to logging, readiness, and configuration errors
whatever bytes the file holds."""

import logging

import numpy as np
import pytest

import oska_tf_utils_ext as ext
from oska_control import OskaControlReturnCode as Code
from conftest import ENTRY_CLASSES, ENTRY_IDS, configure_fixed

# The payload block's lines and readiness: test_payload_block.py.
entry_blocks = pytest.mark.parametrize("cls", ENTRY_CLASSES, ids=ENTRY_IDS)


@pytest.fixture
def logged(caplog):
    """The library's lines as log records; standard error again afterwards."""
    caplog.set_level(logging.WARNING, logger="oska_tf_utils")
    ext.diagnostics_to_logging()
    yield caplog
    ext.diagnostics_to_stderr()


@entry_blocks
def test_lines_go_to_logging_and_back_to_stderr(cls, logged, capfd, tmp_path):
    path = tmp_path / "config.json"
    path.write_text(f'{{"{cls.CONFIG_SECTION}": {{"policy": "fast", "set_input_reference_point":'
                    ' {"origin": "fixed_frame", "translation": [0, 0, 0]}}}')
    block = cls(str(path))
    assert not block.set_input_reference_point("fixed_frame", np.zeros(3))
    n = cls.SIGNAL_SIZE
    block.update(np.zeros(n), np.zeros(n))
    block.update_batch(np.zeros((3, n)), np.zeros((3, n)))  # the GIL released meanwhile
    name = cls.__name__
    not_ready = f"{name}: update() called before all TF entries are set."
    assert [(r.name, r.levelno, r.getMessage()) for r in logged.records] == [
        ("oska_tf_utils", logging.WARNING, m) for m in (
            'Warning: unknown policy "fast" in JSON config; defaulting to best_effort.',
            f"{name}: InputReferencePoint was loaded from JSON and cannot be overridden "
            "from code.", not_ready, not_ready)]
    assert capfd.readouterr().err == ""

    ext.diagnostics_to_stderr()
    block.update(np.zeros(n), np.zeros(n))
    assert capfd.readouterr().err == not_ready + "\n"


@entry_blocks
def test_is_ready_agrees_with_update(cls, capfd):
    block = cls()
    assert not block.is_ready()
    configure_fixed(block)
    assert block.is_ready()
    block.set_output_reference_point("moving_frame", np.zeros(3))
    assert block.is_ready() == (not cls.HAS_TRANSFORM)
    n = cls.SIGNAL_SIZE
    code = block.update(np.zeros(n), np.zeros(n))
    assert (code is Code.Ok) == block.is_ready()
    capfd.readouterr()
    block.is_ready()
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("content", [
    '{"tf_wrench_config": {}}'.encode("utf-16"),
    bytes(np.random.default_rng(1).integers(0, 256, 300, dtype=np.uint8)),
    b'{"tf_wrench_config": {"name": "caf\xe9"}}',
], ids=["utf-16", "random-bytes", "latin-1"])
def test_configuration_errors_are_runtime_errors_whatever_the_bytes(content, tmp_path):
    path = tmp_path / "config.json"
    path.write_bytes(content)
    with pytest.raises(RuntimeError) as err:
        ext.OskaTfWrench(str(path))
    message = str(err.value)
    assert message.startswith(f"Failed to parse config file '{path}': ")
    assert "\\x" in message  # the undecodable bytes, escaped
