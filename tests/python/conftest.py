"""Shared helpers for the Python tests of oska_tf_utils_ext."""

import json
import os
import subprocess
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
# The kinds configured by the four entries: built from an OskaTfConfig. The
# tests of entries, setters and the JSON lock run on these.
ENTRY_CLASSES = [c for c in BLOCK_CLASSES if c.CONFIG_RECORD is ext.OskaTfConfig]
ENTRY_BLOCKS = [b for b in BLOCKS if b[0] in ENTRY_CLASSES]
ENTRY_IDS = [c.__name__ for c in ENTRY_CLASSES]

IDENTITY = np.array([1.0, 0.0, 0.0, 0.0])
# A fixed-to-moving transform whose every value enters a result.
FLANGE = np.array([1.0, 2.0, 3.0, 0.7, 0.1, 0.5, -0.5])


def payload_record(name="payload"):
    """A payload whose every value enters the compensated wrench."""
    c = ext.OskaPayloadConfig()
    c.name = name
    c.mass = 1.5
    c.center_of_mass = [0.01, -0.02, 0.07]
    c.force_bias = [0.4, -0.2, 1.1]
    c.torque_bias = [0.03, 0.01, -0.02]
    c.sensor_axes = [0.9, 0.1, -0.3, 0.2]
    return c


def ready_block(cls, origin="moving_frame"):
    """A block of cls that computes. Entry kinds: every entry set, those that
    may be on the moving frame on `origin`; a payload: payload_record(). A
    transform is given where the kind takes one."""
    if cls.CONFIG_RECORD is ext.OskaPayloadConfig:
        block = cls(payload_record())
    else:
        block = cls()
        block.set_input_reference_point(origin, np.array([0.1, -0.2, 0.3]))
        block.set_input_expression_axes("fixed_frame", np.array([0.9, 0.1, -0.3, 0.2]))
        block.set_output_reference_point(origin, np.array([-0.5, 0.25, 0.125]))
        block.set_output_expression_axes(origin, np.array([0.6, -0.2, 0.3, 0.7]))
    if cls.HAS_TRANSFORM:
        block.set_fixed_to_moving_frame_tf(FLANGE.copy())
    return block


UNCONFIGURED = {ext.OskaTfConfig: "update() called before all TF entries are set.",
                ext.OskaPayloadConfig: "update() called before the block is configured."}


def unconfigured_line(cls):
    """The line of update on cls(): a block built from an empty path."""
    return f"{cls.__name__}: {UNCONFIGURED[cls.CONFIG_RECORD]}"


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
    """A JSON file whose sections set all four entries of every entry kind."""
    section = {
        "name": "from_file",
        "set_input_reference_point": entry("fixed_frame", [0.0, 0.0, 0.1]),
        "set_input_expression_axes": entry("fixed_frame", [1.0, 0.0, 0.0, 0.0]),
        "set_output_reference_point": entry("fixed_frame", [0.0, 0.0, 0.0]),
        "set_output_expression_axes": entry("fixed_frame", [1.0, 0.0, 0.0, 0.0]),
    }
    path = tmp_path / "locked.json"
    path.write_text(json.dumps({b[3]: section for b in ENTRY_BLOCKS}))
    return str(path)


def _mount_tmpfs(folder, size):
    """Mounts a tmpfs of `size` on `folder`, or skips the test saying why not."""
    if os.geteuid() != 0:
        pytest.skip(f"a small file system is a tmpfs of {size} here, which only root can mount")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs",
                              str(folder)], capture_output=True, text=True)
    if mounted.returncode:
        pytest.skip(f"cannot mount a tmpfs of {size}: {mounted.stderr.strip()}")


@pytest.fixture
def small_disk(tmp_path):
    """make(files) -> a folder on a file system of 64 KiB (a tmpfs: the test
    runs as root) that holds `files` ({name: bytes}) and has little room left."""
    mounts = []

    def make(files=None):
        folder = tmp_path / f"disk{len(mounts)}"
        folder.mkdir()
        _mount_tmpfs(folder, "64k")
        mounts.append(folder)
        for name, data in (files or {}).items():
            (folder / name).write_bytes(data)
        return folder

    yield make
    for folder in mounts:
        subprocess.run(["umount", str(folder)], check=True)


@pytest.fixture
def read_only_folder(tmp_path):
    """make(files) -> a folder holding `files` ({name: bytes}) in which nothing
    can be written: a tmpfs remounted read-only where the test runs as root
    (root ignores permissions), a folder without write permission otherwise;
    the test is skipped, saying why, where neither can be made."""
    made = []

    def make(files=None):
        folder = tmp_path / f"read_only{len(made)}"
        folder.mkdir()
        root = os.geteuid() == 0
        if root:
            _mount_tmpfs(folder, "1m")
        made.append((folder, root))
        for name, data in (files or {}).items():
            (folder / name).write_bytes(data)
        if root:
            subprocess.run(["mount", "-o", "remount,ro", str(folder)], check=True)
        else:
            folder.chmod(0o555)
        try:
            (folder / ".probe").touch()
        except OSError:
            return folder
        pytest.skip(f"{folder} stays writable: no way to make a read-only folder here")

    yield make
    for folder, root in made:
        if root:
            subprocess.run(["umount", str(folder)], check=True)
        else:
            folder.chmod(0o755)
