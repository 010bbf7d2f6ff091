"""Shared helpers for the Python tests of oska_tf_utils_ext."""

import json
from pathlib import Path

import numpy as np
import pytest

import oska_tf_utils_ext as ext

EXAMPLE_CONFIG = Path(__file__).resolve().parents[2] / "examples" / "config.json"

# Every block class of the extension, in the order it registers them; each
# says what it is through its class attributes.
BLOCK_CLASSES = [c for c in vars(ext).values() if isinstance(c, type) and hasattr(c, "SIGNAL_SIZE")]
# Block class, signal size, names of the update arguments, JSON section.
BLOCKS = [(c, c.SIGNAL_SIZE, (f"{c.SIGNAL}_in", f"{c.SIGNAL}_out"), c.CONFIG_SECTION)
          for c in BLOCK_CLASSES]
BLOCK_IDS = [c.__name__ for c in BLOCK_CLASSES]

IDENTITY = np.array([1.0, 0.0, 0.0, 0.0])


def configure_fixed(block):
    """Sets all four entries on the fixed frame at the origin, identity axes."""
    assert block.set_input_reference_point("fixed_frame", np.zeros(3))
    assert block.set_input_expression_axes("fixed_frame", IDENTITY.copy())
    assert block.set_output_reference_point("fixed_frame", np.zeros(3))
    assert block.set_output_expression_axes("fixed_frame", IDENTITY.copy())
    return block


def entry(origin, values):
    return {"origin": origin, ("rotation" if len(values) == 4 else "translation"): list(values)}


@pytest.fixture
def locked_config_file(tmp_path):
    """A JSON file whose sections set all four entries of every block."""
    section = {
        "name": "from_file",
        "set_input_reference_point": entry("fixed_frame", [0.0, 0.0, 0.1]),
        "set_input_expression_axes": entry("fixed_frame", [1.0, 0.0, 0.0, 0.0]),
        "set_output_reference_point": entry("fixed_frame", [0.0, 0.0, 0.0]),
        "set_output_expression_axes": entry("fixed_frame", [1.0, 0.0, 0.0, 0.0]),
    }
    path = tmp_path / "locked.json"
    path.write_text(json.dumps({b[3]: section for b in BLOCKS}))
    return str(path)
