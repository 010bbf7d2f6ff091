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
    for name in ("Translation", "Rotation", "OskaTfConfig",
                 "OskaTfImu", "OskaTfPose", "OskaTfTwist", "OskaTfWrench"):
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
    assert cls.__doc__.startswith(f"Transforms a {n}-DOF ")
    doc = cls.update.__doc__
    assert f"update(self, {args[0]}: ndarray[dtype=float64, shape=({n}), order='C', device='cpu']" in doc
    assert f"Writes result into {args[1]} in-place.\nReturns a OskaControlReturnCode." in doc
    assert hasattr(cls, "set_fixed_to_moving_frame_tf") == (cls is not ext.OskaTfPose)


def test_docstrings_keep_their_unicode():
    assert "(m/s\u00b2 and rad/s)" in ext.OskaTfImu.update.__doc__
    assert "(N and N\u00b7m)" in ext.OskaTfWrench.update.__doc__


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
