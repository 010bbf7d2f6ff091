"""Module loading, module attributes and the shape of the bound classes."""

import subprocess
import sys

import pytest

import oska_control
import oska_tf_utils_ext as ext
from conftest import BLOCKS, BLOCK_IDS


def test_module_attributes():
    assert ext.__doc__ == "Python bindings for oska_tf_utils"
    assert ext.__version__ == "1.0.0"
    for name in ("Translation", "Rotation", "OskaTfConfig", "OskaPayloadConfig",
                 "OskaTfImu", "OskaTfPayload", "OskaTfPose", "OskaTfTwist", "OskaTfWrench"):
        assert isinstance(getattr(ext, name), type)
    # The module keeps no reference to the module that registered the enums.
    assert "oska_control" not in vars(ext)


def test_control_enums_carry_the_library_values():
    codes = {m.name: m.value for m in oska_control.OskaControlReturnCode}
    assert codes == {"Ok": 0, "AdvisoryA": 1, "AdvisoryB": 2, "RtWarning": 3,
                     "NotReady": 4, "Error": 5}
    policies = {m.name: m.value for m in oska_control.OskaControlBlockPolicy}
    assert policies == {"BestEffort": 0, "SoftRt": 1, "HardRt": 2, "StrictRt": 3}


def test_import_fails_when_oska_control_cannot_be_imported():
    # A None entry in sys.modules makes `import oska_control` fail.
    probe = (
        "import sys\n"
        "sys.modules['oska_control'] = None\n"
        "try:\n"
        "    import oska_tf_utils_ext\n"
        "except ImportError as e:\n"
        "    cause = e.__cause__\n"
        "    print(str(e))\n"
        "    print(type(cause).__name__, cause is e.__context__, 'oska_control' in str(cause))\n"
        "else:\n"
        "    print('imported')\n"
    )
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                            check=True)
    assert result.stdout.splitlines() == [
        "Encountered an error while initializing the extension.",
        "ModuleNotFoundError True True",
    ]


@pytest.mark.parametrize("cls, n, args, section", BLOCKS, ids=BLOCK_IDS)
def test_block_class_docstrings_and_members(cls, n, args, section):
    assert f"s a {n}-DOF " in cls.__doc__.split(" signal ")[0]  # "Transforms a 6-DOF ..."
    doc = cls.update.__doc__
    assert f"update(self, {args[0]}: ndarray[dtype=float64, shape=({n}), order='C', device='cpu']" in doc
    assert f"Writes result into {args[1]} in-place.\nReturns a OskaControlReturnCode." in doc
    assert hasattr(cls, "set_fixed_to_moving_frame_tf") == cls.HAS_TRANSFORM
    assert cls.CONFIG_RECORD in (ext.OskaTfConfig, ext.OskaPayloadConfig)


CLASS_DOCS = {
    "OskaTfImu": "Transforms a 6-DOF IMU signal [ax, ay, az, wx, wy, wz] between reference frames.",
    "OskaTfPayload": "Compensates a 6-DOF wrench signal [fx, fy, fz, tx, ty, tz] for the payload's "
                     "weight and the sensor's bias.",
    "OskaTfPose": "Transforms a 7-DOF pose signal [px, py, pz, qw, qx, qy, qz] between reference "
                  "points.",
    "OskaTfTwist": "Transforms a 6-DOF twist signal [vx, vy, vz, wx, wy, wz] between reference "
                   "frames.",
    "OskaTfWrench": "Transforms a 6-DOF wrench signal [fx, fy, fz, tx, ty, tz] between reference "
                    "frames.",
}
UPDATE_DOCS = {
    "OskaTfImu": "Transform imu_in [ax, ay, az, wx, wy, wz] (m/s\u00b2 and rad/s).",
    "OskaTfPayload": "Transform wrench_in [fx, fy, fz, tx, ty, tz] (N and N\u00b7m).",
    "OskaTfPose": "Transform pose_in [px, py, pz, qw, qx, qy, qz].",
    "OskaTfTwist": "Transform twist_in [vx, vy, vz, wx, wy, wz] (m/s and rad/s).",
    "OskaTfWrench": "Transform wrench_in [fx, fy, fz, tx, ty, tz] (N and N\u00b7m).",
}


@pytest.mark.parametrize("name", sorted(CLASS_DOCS))
def test_class_and_update_docstrings_read_exactly(name):
    cls = getattr(ext, name)
    assert cls.__doc__ == CLASS_DOCS[name]
    signal = cls.SIGNAL
    assert cls.update.__doc__.endswith(
        f"\n\n{UPDATE_DOCS[name]}\nWrites result into {signal}_out in-place.\n"
        "Returns a OskaControlReturnCode.")


@pytest.mark.parametrize("cls, n, args, section", BLOCKS, ids=BLOCK_IDS)
def test_kind_facts_are_consistent_data(cls, n, args, section):
    # The groups cover the components in order, each unit is stated once, and
    # the extra batch input, when there is one, is a keyword of update_batch.
    grouped = [c for _, members, _ in cls.COMPONENT_GROUPS for c in members]
    assert tuple(grouped) == cls.COMPONENTS and len(cls.COMPONENTS) == n
    assert all(isinstance(unit, str) for _, _, unit in cls.COMPONENT_GROUPS)
    assert cls.ROS_MESSAGE_TYPES and all("/msg/" in t for t in cls.ROS_MESSAGE_TYPES)
    if cls.AUX_INPUT is not None:
        keyword, size = cls.AUX_INPUT
        assert f"{keyword}: ndarray[dtype=float64, shape=(*, {size})" in cls.update_batch.__doc__
    # The transform rows too; the kind's name is the signal's unless it works
    # on another kind's signal.
    assert (cls.TRANSFORM_INPUT is not None) == cls.HAS_TRANSFORM
    if cls.HAS_TRANSFORM:
        assert f"{cls.TRANSFORM_INPUT}: ndarray[dtype=float64, shape=(*, 7)" in \
            cls.update_batch.__doc__
    kinds = {c.KIND: c for c, *_ in BLOCKS}
    assert len(kinds) == len(BLOCKS) and cls.SIGNAL in kinds
    assert kinds[cls.SIGNAL].COMPONENTS == cls.COMPONENTS


def test_name_is_a_method():
    block = ext.OskaTfWrench()
    assert block.name() == ""
    assert callable(block.name) and not isinstance(block.name, str)


def test_instances_have_only_the_bound_members():
    with pytest.raises(AttributeError):
        ext.OskaTfConfig().input_ref_piont = ext.Translation()
    with pytest.raises(AttributeError):
        ext.OskaTfWrench().extra = 1


def test_classes_can_be_derived_from():
    class MyWrench(ext.OskaTfWrench):
        pass

    assert MyWrench().name() == ""
