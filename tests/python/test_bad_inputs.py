"""Bad inputs for every argument of every block method, from tables.

Each case either does what the bindings promise or raises TypeError, and
never crashes (the suite runs under `python -X dev -X faulthandler`):

- an input array (the four setters of the entry kinds,
  set_fixed_to_moving_frame_tf and the first argument of update) is read in place when it is a writable, C-contiguous
  float64 array (or buffer) of the right length, and through a NumPy cast into
  a temporary when only its dtype (bool, integer, float16/32) or its strides
  differ; the values read are then the cast values;
- the output array of update is never converted: only a writable,
  C-contiguous float64 array or buffer of the right length receives the result;
- everything else raises TypeError, with nothing written and the block's state
  unchanged: a read-only array (input too), a wrong shape, a dtype that is not
  converted (complex, object, str, datetime, long double, non-native byte
  order), a buffer of another type that has no NumPy behind it to convert it,
  a sequence or a scalar;
- an origin is any str, compared as a whole with "moving_frame"; anything
  else, including bytes and a str that cannot be encoded as UTF-8, raises
  TypeError.

Each accepted call is checked by its effect: the block's next result equals
the result of a block given the expected float64 values directly. Each
rejected call is checked by the absence of one: the output array and the
block's next result are as before.
"""

import array
import copy
import json
import pathlib
import subprocess
import shutil
import sys
import threading
import warnings

import numpy as np
import pytest

import oska_tf_utils_ext as ext
from oska_control import OskaControlReturnCode as Code
from conftest import BLOCK_CLASSES, ENTRY_CLASSES, ENTRY_IDS, EXAMPLE_CONFIG, payload_record

MOVING, FIXED = "moving_frame", "fixed_frame"
CLASSES = BLOCK_CLASSES
CLASS_IDS = [c.__name__ for c in CLASSES]
RECORDS = (ext.OskaTfConfig, ext.OskaPayloadConfig)
SETTERS = {"set_input_reference_point": 3, "set_input_expression_axes": 4,
           "set_output_reference_point": 3, "set_output_expression_axes": 4}
TF = "set_fixed_to_moving_frame_tf"
INCOMPATIBLE = "incompatible function arguments"


def signal_size(cls):
    return cls.SIGNAL_SIZE


# Values passed by the catalogue: floats, and small non-negative integers that
# every integer dtype (and bool) holds exactly.
FLOATS = {3: [0.5, -1.25, 2.0], 4: [0.9, 0.1, -0.3, 0.2],
          6: [1.5, -2.0, 3.25, 0.5, -0.75, 1.0], 7: [0.5, -1.0, 2.0, 0.9, 0.1, -0.3, 0.2]}
INTS = {3: [1, 3, 2], 4: [1, 0, 2, 1], 6: [4, 1, 3, 0, 2, 5], 7: [1, 2, 3, 1, 0, 1, 0]}


def floats(n):
    return np.array(FLOATS[n])


def ints(n):
    return np.array(INTS[n])


# The configuration every probe starts from. Points, axes and the transform
# all enter the result, and each entry's origin matters, so any change of
# state shows in the next update.
BASE = {
    "set_input_reference_point": (MOVING, [0.1, -0.2, 0.3]),
    "set_input_expression_axes": (FIXED, [0.8, 0.2, -0.4, 0.4]),
    "set_output_reference_point": (FIXED, [-0.5, 0.25, 0.125]),
    "set_output_expression_axes": (MOVING, [0.6, -0.2, 0.3, 0.7]),
    TF: (None, [1.0, 2.0, 3.0, 0.7, 0.1, 0.5, -0.5]),
}
# The pose block takes no transform; with the output point on the moving
# frame, every entry enters its result.
BASE_POSE = {**{k: v for k, v in BASE.items() if k != TF},
             "set_output_reference_point": (MOVING, [-0.5, 0.25, 0.125])}


def has_entries(cls):
    return cls.CONFIG_RECORD is ext.OskaTfConfig


def base_calls(cls):
    """The calls that make the base configuration of a block of cls: the
    entries (and the transform), or for a payload block, the transform."""
    if not has_entries(cls):
        return {TF: BASE[TF]}
    return BASE if cls.HAS_TRANSFORM else BASE_POSE


def ready(cls, **changes):
    """A block in the base configuration, with some calls {method: (origin, values)} changed."""
    block = cls() if has_entries(cls) else cls(payload_record())
    for method, (origin, values) in {**base_calls(cls), **changes}.items():
        args = (np.array(values, dtype=np.float64),)
        if origin is not None:
            args = (origin,) + args
        getattr(block, method)(*args)
    return block


def observe(block):
    """The block's return code and result for a fixed sample."""
    n = signal_size(type(block))
    out = np.full(n, 7.0)
    code = block.update(floats(n), out)
    return code, out


def same(a, b):
    return a[0] is b[0] and np.array_equal(a[1], b[1], equal_nan=True)


# ------------------------------------------------------------ array table ---

class Sub(np.ndarray):
    pass


def readonly(a):
    a.flags.writeable = False
    return a


def strided(a):
    base = np.zeros(2 * len(a), dtype=a.dtype)
    base[::2] = a
    return base[::2]


def unaligned(a):
    view = np.frombuffer(bytearray(a.nbytes + 1), dtype=a.dtype, count=len(a), offset=1)
    view[:] = a
    return view


def memmap(a, tmp):
    m = np.memmap(tmp / "signal.bin", dtype=a.dtype, mode="w+", shape=a.shape)
    m[:] = a
    return m


def matrix(a):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix(a)


def cast(dtype, source=ints):
    return (lambda n, tmp: source(n).astype(dtype)), (lambda n: source(n).astype(dtype).astype(float))


as_read = floats  # the float64 values the case holds
LONG_DOUBLE_IS_DOUBLE = np.dtype(np.longdouble).itemsize == 8

# id, make(n, tmp) -> argument, values read when passed as an input (None:
# TypeError), accepted as the output of update.
ARRAYS = [
    # Read in place; as the output, written in place.
    ("float64", lambda n, t: floats(n), as_read, True),
    ("fortran-1d", lambda n, t: np.asfortranarray(floats(n)), as_read, True),
    ("unaligned", lambda n, t: unaligned(floats(n)), as_read, True),
    ("ndarray-subclass", lambda n, t: floats(n).view(Sub), as_read, True),
    # The mask is not part of the buffer: the data under it is read and written.
    ("masked-array", lambda n, t: np.ma.masked_array(floats(n), mask=[True] + [False] * (n - 1)),
     as_read, True),
    ("memmap", lambda n, t: memmap(floats(n), t), as_read, True),
    ("array.array-d", lambda n, t: array.array("d", floats(n)), as_read, True),
    ("memoryview-d", lambda n, t: memoryview(array.array("d", floats(n))), as_read, True),
    ("non-finite", lambda n, t: np.array([np.nan, np.inf, -np.inf, -0.0, 1.0, 2.0, 3.0][:n]),
     lambda n: np.array([np.nan, np.inf, -np.inf, -0.0, 1.0, 2.0, 3.0][:n]), True),
    # Read through a cast or a copy; refused as the output.
    *[(np.dtype(dt).name, *cast(dt), False) for dt in
      (np.bool_, np.int8, np.int16, np.int32, np.int64,
       np.uint8, np.uint16, np.uint32, np.uint64)],
    *[(np.dtype(dt).name, *cast(dt, floats), False) for dt in (np.float16, np.float32)],
    ("strided", lambda n, t: strided(floats(n)), as_read, False),
    ("reversed", lambda n, t: floats(n)[::-1].copy()[::-1], as_read, False),
    ("column-of-2d", lambda n, t: np.stack([floats(n), -floats(n)], axis=1)[:, 0], as_read, False),
    ("row-of-fortran-2d", lambda n, t: np.asfortranarray(np.stack([floats(n), -floats(n)]))[0],
     as_read, False),
    ("int64-strided", lambda n, t: strided(ints(n)), lambda n: ints(n).astype(float), False),
    ("float32-reversed", lambda n, t: floats(n).astype(np.float32)[::-1].copy()[::-1],
     lambda n: floats(n).astype(np.float32).astype(float), False),
    # Refused everywhere.
    ("None", lambda n, t: None, None, False),
    ("py-bool", lambda n, t: True, None, False),
    ("py-int", lambda n, t: 1, None, False),
    ("py-float", lambda n, t: 1.5, None, False),
    ("py-str", lambda n, t: "1.5", None, False),
    ("bytes", lambda n, t: bytes(8 * n), None, False),
    ("bytearray", lambda n, t: bytearray(8 * n), None, False),
    ("list", lambda n, t: list(floats(n)), None, False),
    ("tuple", lambda n, t: tuple(floats(n)), None, False),
    ("dict", lambda n, t: dict(enumerate(floats(n))), None, False),
    ("object", lambda n, t: object(), None, False),
    ("numpy-scalar", lambda n, t: np.float64(1.5), None, False),
    ("0-d", lambda n, t: np.array(1.5), None, False),
    ("2-d-row", lambda n, t: floats(n)[None, :], None, False),
    ("2-d-column", lambda n, t: floats(n)[:, None], None, False),
    ("2-d-fortran", lambda n, t: np.asfortranarray(np.stack([floats(n), floats(n)], axis=1)),
     None, False),
    ("matrix", lambda n, t: matrix(floats(n)), None, False),
    ("empty", lambda n, t: np.zeros(0), None, False),
    ("too-short", lambda n, t: np.zeros(n - 1), None, False),
    ("too-long", lambda n, t: np.zeros(n + 1), None, False),
    ("read-only", lambda n, t: readonly(floats(n)), None, False),
    ("read-only-strided", lambda n, t: readonly(strided(floats(n))), None, False),
    ("read-only-int64", lambda n, t: readonly(ints(n)), None, False),
    ("broadcast", lambda n, t: np.broadcast_to(np.float64(1.5), (n,)), None, False),
    ("memoryview-read-only", lambda n, t: memoryview(bytes(8 * n)).cast("d"), None, False),
    ("array.array-f", lambda n, t: array.array("f", floats(n)), None, False),
    ("complex64", lambda n, t: floats(n).astype(np.complex64), None, False),
    ("complex128", lambda n, t: floats(n).astype(np.complex128), None, False),
    ("clongdouble", lambda n, t: floats(n).astype(np.clongdouble), None, False),
    ("longdouble", lambda n, t: floats(n).astype(np.longdouble),
     as_read if LONG_DOUBLE_IS_DOUBLE else None, LONG_DOUBLE_IS_DOUBLE),
    ("object-dtype", lambda n, t: floats(n).astype(object), None, False),
    ("str-dtype", lambda n, t: floats(n).astype(str), None, False),
    ("bytes-dtype", lambda n, t: floats(n).astype(bytes), None, False),
    ("datetime64", lambda n, t: ints(n).astype("M8[s]"), None, False),
    ("timedelta64", lambda n, t: ints(n).astype("m8[s]"), None, False),
    ("structured", lambda n, t: np.zeros(n, dtype=[("a", "f8")]), None, False),
    # The other byte order (np.frombuffer, HDF5, FITS): read through a copy in
    # the machine's order; refused as the output.
    ("big-endian", lambda n, t: floats(n).astype(">f8"), as_read, False),
    ("big-endian-int32", lambda n, t: ints(n).astype(">i4"), lambda n: ints(n).astype(float), False),
    ("big-endian-strided", lambda n, t: strided(floats(n).astype(">f8")), as_read, False),
    ("big-endian-read-only", lambda n, t: readonly(floats(n).astype(">f8")), None, False),
    ("big-endian-complex", lambda n, t: floats(n).astype(">c16"), None, False),
]
ARRAY_IDS = [a[0] for a in ARRAYS]


def input_positions(cls):
    """(method, size of its array) for every input array argument of the class
    but the rows of update_batch and tare (test_batch.py, test_payload_block.py)."""
    positions = list(SETTERS.items()) if has_entries(cls) else []
    if cls.HAS_TRANSFORM:
        positions.append((TF, 7))
    return positions + [("update", signal_size(cls))]


INPUT_CASES = [pytest.param(cls, method, n, case, id=f"{cls.__name__}-{method}-{case[0]}")
               for cls in CLASSES for method, n in input_positions(cls) for case in ARRAYS]


@pytest.mark.parametrize("cls, method, n, case", INPUT_CASES)
def test_input_array(cls, method, n, case, tmp_path):
    _, make, read, _ = case
    block = ready(cls)
    before = observe(block)
    argument = make(n, tmp_path)
    origin = BASE[method][0] if method in SETTERS else None
    if method == "update":
        out = np.full(n, 7.0)
        if read is None:
            with pytest.raises(TypeError, match=INCOMPATIBLE):
                block.update(argument, out)
            np.testing.assert_array_equal(out, np.full(n, 7.0))
        else:
            expected = np.full(n, 7.0)
            expected_code = ready(cls).update(read(n), expected)
            assert block.update(argument, out) is expected_code is Code.Ok
            np.testing.assert_array_equal(out, expected)
        assert same(observe(block), before)
        return

    call = getattr(block, method)
    args = (argument,) if origin is None else (origin, argument)
    if read is None:
        with pytest.raises(TypeError, match=INCOMPATIBLE):
            call(*args)
        assert same(observe(block), before)
    else:
        assert call(*args) is (None if method == TF else True)
        after = observe(block)
        assert same(after, observe(ready(cls, **{method: (origin, read(n))})))
        assert not same(after, before)  # the values read took effect


OUTPUT_CASES = [pytest.param(cls, case, id=f"{cls.__name__}-{case[0]}")
                for cls in CLASSES for case in ARRAYS]


def snapshot(obj):
    if isinstance(obj, np.ndarray):
        return np.array(obj, copy=True)
    if isinstance(obj, (array.array, memoryview, bytearray, bytes)):
        return bytes(obj)
    if isinstance(obj, (list, tuple, dict)):
        return copy.deepcopy(obj)
    return obj  # immutable, or a plain object compared by identity


@pytest.mark.parametrize("cls, case", OUTPUT_CASES)
def test_output_array(cls, case, tmp_path):
    _, make, _, as_output = case
    n = signal_size(cls)
    block = ready(cls)
    before = observe(block)
    out = make(n, tmp_path)
    if as_output:
        assert block.update(floats(n), out) is Code.Ok
        np.testing.assert_array_equal(np.asarray(out), before[1])
    else:
        kept = snapshot(out)
        with pytest.raises(TypeError, match=INCOMPATIBLE):
            block.update(floats(n), out)
        after = snapshot(out)
        if isinstance(kept, np.ndarray):
            np.testing.assert_array_equal(after, kept)
            assert after.dtype == kept.dtype
        else:
            assert after is kept or after == kept
    assert same(observe(block), before)


def test_one_array_as_input_and_output():
    for cls in CLASSES:
        n = signal_size(cls)
        buf = floats(n)
        assert ready(cls).update(buf, buf) is Code.Ok
        np.testing.assert_array_equal(buf, observe(ready(cls))[1])


# ----------------------------------------------------------- origin table ---

class Text(str):
    pass


# id, origin, meaning (None: TypeError). Only the exact text "moving_frame"
# means the moving frame; it is compared as a whole, so a trailing NUL makes
# another origin.
ORIGINS = [
    ("moving", MOVING, MOVING),
    ("moving-str-subclass", Text(MOVING), MOVING),
    ("moving-numpy-str", np.str_(MOVING), MOVING),
    ("fixed", FIXED, FIXED),
    ("empty", "", FIXED),
    ("capitalised", "Moving_frame", FIXED),
    ("upper-case", "MOVING_FRAME", FIXED),
    ("trailing-blank", "moving_frame ", FIXED),
    ("leading-blank", " moving_frame", FIXED),
    ("hyphen", "moving-frame", FIXED),
    ("prefix", "moving_fram", FIXED),
    ("trailing-nul", "moving_frame\0", FIXED),
    ("nul-then-text", "moving_frame\0x", FIXED),
    ("leading-nul", "\0moving_frame", FIXED),
    ("accent", "moving_framé", FIXED),
    ("combining-accent", "moving_frame\u0301", FIXED),
    ("fullwidth", "\uff4doving_frame", FIXED),
    ("cjk", "移動フレーム", FIXED),
    ("emoji", "\U0001f642", FIXED),
    ("long", "moving_frame" * 1000, FIXED),
    ("fixed-numpy-str", np.str_(FIXED), FIXED),
    ("lone-surrogate", "\ud800", None),
    ("moving-then-surrogate", "moving_frame\udcff", None),
    ("None", None, None),
    ("bool", True, None),
    ("int", 0, None),
    ("float", 1.0, None),
    ("bytes", MOVING.encode(), None),
    ("bytearray", bytearray(MOVING.encode()), None),
    ("memoryview", memoryview(MOVING.encode()), None),
    ("numpy-bytes", np.bytes_(MOVING.encode()), None),
    ("list", [MOVING], None),
    ("tuple", (MOVING,), None),
    ("set", {MOVING}, None),
    ("dict", {"origin": MOVING}, None),
    ("object", object(), None),
    ("path", pathlib.PurePosixPath(MOVING), None),
    ("0-d-str-array", np.array(MOVING), None),
    ("str-array", np.array([MOVING]), None),
]


@pytest.mark.parametrize("cls", ENTRY_CLASSES, ids=ENTRY_IDS)
@pytest.mark.parametrize("setter", SETTERS)
@pytest.mark.parametrize("origin, meaning", [o[1:] for o in ORIGINS], ids=[o[0] for o in ORIGINS])
def test_origin(cls, setter, origin, meaning):
    values = floats(SETTERS[setter])
    block = ready(cls)
    before = observe(block)
    if meaning is None:
        with pytest.raises(TypeError, match=INCOMPATIBLE):
            getattr(block, setter)(origin, values)
        assert same(observe(block), before)
        return
    assert getattr(block, setter)(origin, values) is True
    expected = observe(ready(cls, **{setter: (meaning, values)}))
    other = observe(ready(cls, **{setter: ({MOVING: FIXED, FIXED: MOVING}[meaning], values)}))
    assert not same(expected, other)  # the origin decides the result here
    assert same(observe(block), expected)


# ------------------------------------------------------------- self table ---

def good_args(cls, method):
    if method in ("name", "config"):
        return ()
    if method == "update":
        return (floats(signal_size(cls)), np.full(signal_size(cls), 7.0))
    if method == TF:
        return (floats(7),)
    if method == "tare":
        return (np.stack([floats(6), floats(6)]),)
    return (FIXED, floats(SETTERS[method]))


# The methods of a block's configuration, by the record it is built from.
CONFIG_METHODS = {ext.OskaTfConfig: list(SETTERS), ext.OskaPayloadConfig: ["config", "tare"]}


def methods(cls):
    return ["name", *CONFIG_METHODS[cls.CONFIG_RECORD], *([TF] if cls.HAS_TRANSFORM else []),
            "update"]


def failed_init(cls):
    block = cls.__new__(cls)
    with pytest.raises(RuntimeError, match="Could not open config file: "):
        block.__init__("/nonexistent/config.json")
    return block


def subclass_without_init(cls):
    class Skipped(cls):
        def __init__(self):
            pass  # never initialises the block
    return Skipped()


# id, make(cls) -> self, whether nanobind warns of an uninitialised instance.
SELVES = [
    ("None", lambda cls: None, False),
    ("object", lambda cls: object(), False),
    ("int", lambda cls: 1, False),
    ("config-record", lambda cls: cls.CONFIG_RECORD(), False),
    ("other-block", lambda cls: next(c for c in CLASSES if c is not cls)(),
     False),
    ("never-initialised", lambda cls: cls.__new__(cls), True),
    ("init-failed", failed_init, True),
    ("subclass-skipping-init", subclass_without_init, True),
]
SELF_CASES = [pytest.param(cls, method, make, warns, id=f"{cls.__name__}-{method}-{sid}")
              for cls in CLASSES for method in methods(cls) for sid, make, warns in SELVES]


@pytest.mark.parametrize("cls, method, make, warns", SELF_CASES)
def test_self(cls, method, make, warns):
    args = good_args(cls, method)
    bad_self = make(cls)
    if warns:
        with pytest.warns(RuntimeWarning, match="uninitialized instance"), \
                pytest.raises(TypeError, match=INCOMPATIBLE):
            getattr(bad_self, method)(*args)
    else:
        with pytest.raises(TypeError, match=INCOMPATIBLE):
            getattr(cls, method)(bad_self, *args)
    if method == "update":
        np.testing.assert_array_equal(args[1], np.full(signal_size(cls), 7.0))


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_IDS)
def test_block_whose_init_failed(cls, capfd):
    block = failed_init(cls)
    # It can still be initialised, and then works; a second __init__ is refused
    # and leaves the block as it was.
    block.__init__(str(EXAMPLE_CONFIG))
    name = block.name()
    assert name
    with pytest.warns(RuntimeWarning, match="already-initialized instance"), \
            pytest.raises(TypeError, match=INCOMPATIBLE):
        block.__init__("")
    assert block.name() == name
    if has_entries(cls):
        assert block.set_input_reference_point(FIXED, np.zeros(3)) is False  # the file's lock
    else:
        assert block.config().mass == json.loads(EXAMPLE_CONFIG.read_text())[
            cls.CONFIG_SECTION]["mass"]
    capfd.readouterr()


# ------------------------------------------------------ constructor table ---

def sub_config(cls):
    class Config(cls.CONFIG_RECORD):
        pass
    config = Config()
    config.name = "from_subclass"
    return config


def non_ascii_copy(tmp):
    path = tmp / "konfigürация 設定.json"
    shutil.copy(EXAMPLE_CONFIG, path)
    return str(path)


# id, make(cls, tmp) -> argument, expected: the block's name, the library's
# error, or TypeError.
CONSTRUCTOR_ARGS = [
    ("empty-path", lambda cls, t: "", ""),
    ("path-str-subclass", lambda cls, t: Text(EXAMPLE_CONFIG), "from-file"),
    ("non-ascii-path", lambda cls, t: non_ascii_copy(t), "from-file"),
    ("config", lambda cls, t: cls.CONFIG_RECORD(), ""),
    ("config-subclass", lambda cls, t: sub_config(cls), "from_subclass"),
    ("other-record", lambda cls, t: next(r for r in RECORDS if r is not cls.CONFIG_RECORD)(),
     TypeError),
    ("missing-non-ascii-path", lambda cls, t: str(t / "fehlt-ü.json"), "cannot-open"),
    ("directory", lambda cls, t: str(t), "cannot-parse"),
    ("lone-surrogate", lambda cls, t: "\ud800.json", TypeError),
    ("None", lambda cls, t: None, TypeError),
    ("bool", lambda cls, t: True, TypeError),
    ("int", lambda cls, t: 0, TypeError),
    ("float", lambda cls, t: 1.0, TypeError),
    ("bytes", lambda cls, t: str(EXAMPLE_CONFIG).encode(), TypeError),
    ("bytearray", lambda cls, t: bytearray(str(EXAMPLE_CONFIG).encode()), TypeError),
    ("path-object", lambda cls, t: EXAMPLE_CONFIG, TypeError),
    ("list", lambda cls, t: [str(EXAMPLE_CONFIG)], TypeError),
    ("tuple", lambda cls, t: (str(EXAMPLE_CONFIG),), TypeError),
    ("dict", lambda cls, t: {"config_file": str(EXAMPLE_CONFIG)}, TypeError),
    ("object", lambda cls, t: object(), TypeError),
    ("str-array", lambda cls, t: np.array(str(EXAMPLE_CONFIG)), TypeError),
    ("float64-array", lambda cls, t: floats(6), TypeError),
    ("translation-record", lambda cls, t: ext.Translation(), TypeError),
    ("block", lambda cls, t: cls(), TypeError),
]
FILE_NAMES = {cls: json.loads(EXAMPLE_CONFIG.read_text())[cls.CONFIG_SECTION]["name"]
              for cls in CLASSES}


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_IDS)
@pytest.mark.parametrize("make, expected", [c[1:] for c in CONSTRUCTOR_ARGS],
                         ids=[c[0] for c in CONSTRUCTOR_ARGS])
def test_constructor_argument(cls, make, expected, tmp_path):
    argument = make(cls, tmp_path)
    if expected == "cannot-open":
        with pytest.raises(RuntimeError) as err:
            cls(argument)
        assert str(err.value) == "Could not open config file: " + argument
    elif expected == "cannot-parse":
        with pytest.raises(RuntimeError) as err:
            cls(argument)
        assert str(err.value).startswith(f"Failed to parse config file '{argument}': ")
    elif isinstance(expected, type):
        with pytest.raises(expected, match=INCOMPATIBLE):
            cls(argument)
    else:
        name = FILE_NAMES[cls] if expected == "from-file" else expected
        assert cls(argument).name() == name


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_IDS)
def test_path_with_embedded_nul_is_not_shortened(cls):
    # '<file>\0junk' must not silently read <file>.
    with pytest.raises(RuntimeError, match=r"^Could not open config file: .*config\.json\\0junk$"):
        cls(str(EXAMPLE_CONFIG) + "\0junk")


# ------------------------------------------------------ call shapes table ---

@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_IDS)
def test_wrong_argument_counts_and_keywords(cls):
    block = ready(cls)
    before = observe(block)
    for method in methods(cls):
        args = good_args(cls, method)
        call = getattr(block, method)
        for bad in ((lambda: call(*args, args[-1] if args else 1)),  # one too many
                    (lambda: call(*args[:-1])) if args else (lambda: call(None)),  # one too few
                    (lambda: call(*args, unknown=1)),
                    (lambda: call(*args[:-1], **{"wrong_name": args[-1]})) if args
                    else (lambda: call(self=block))):
            with pytest.raises(TypeError):
                bad()
    # Keywords of another block class are refused.
    n = signal_size(cls)
    other_signal = next(c for c in CLASSES if c.SIGNAL != cls.SIGNAL).SIGNAL
    other = (f"{other_signal}_in", f"{other_signal}_out")
    out = np.full(n, 7.0)
    with pytest.raises(TypeError, match=INCOMPATIBLE):
        block.update(**{other[0]: floats(n), other[1]: out})
    np.testing.assert_array_equal(out, np.full(n, 7.0))
    assert same(observe(block), before)


# ---------------------------------------------------------------- threads ---

CYCLES = 3000


def drive(cls, seed, cycles=CYCLES):
    """A control loop on a block of its own: a new transform and sample every
    cycle, and now and then an entry moved between the frames. Returns every
    return code and result."""
    rng = np.random.default_rng(seed)
    n = signal_size(cls)
    samples = rng.uniform(-5, 5, (cycles, n))
    transforms = rng.uniform(-1, 1, (cycles, 7))
    block = ready(cls)
    codes, results = [], np.empty((cycles, n))
    for i in range(cycles):
        if i % 97 == 0 and has_entries(cls):
            setter = list(SETTERS)[(i // 97) % 4]
            origin = MOVING if (i // 97) % 3 else FIXED
            if cls.HAS_TRANSFORM or setter != "set_input_expression_axes":
                getattr(block, setter)(origin, floats(SETTERS[setter]) * (1 + i / cycles))
        if cls.HAS_TRANSFORM:
            block.set_fixed_to_moving_frame_tf(transforms[i])
        out = results[i]
        codes.append(block.update(samples[i], out))
    return codes, results


def test_threads_each_driving_a_block_match_a_single_thread():
    jobs = [(cls, seed) for seed, cls in enumerate(CLASSES * 2)]
    alone = [drive(cls, seed) for cls, seed in jobs]

    threaded = [None] * len(jobs)
    start = threading.Barrier(len(jobs))

    def worker(k):
        start.wait()
        threaded[k] = drive(*jobs[k])

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often, in the middle of calls
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(len(jobs))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)

    for (codes, results), (codes_alone, results_alone) in zip(threaded, alone):
        assert codes == codes_alone
        assert all(c is Code.Ok for c in codes)
        np.testing.assert_array_equal(results, results_alone)


# --------------------------------------------------- record property table ---

def sequence_cases(n):
    """id, value assigned to a list property of n elements, list read back
    (None: TypeError). Any sequence of n numbers that float() accepts."""
    return [
        ("list", list(floats(n)), list(floats(n))),
        ("tuple-of-ints", tuple(INTS[n]), [float(i) for i in INTS[n]]),
        ("range", range(n), [float(i) for i in range(n)]),
        ("bools", [True] * n, [1.0] * n),
        ("float64-array", floats(n), list(floats(n))),
        ("read-only-array", readonly(floats(n)), list(floats(n))),
        ("float32-array", floats(n).astype(np.float32),
         list(floats(n).astype(np.float32).astype(float))),
        ("object-array", floats(n).astype(object), list(floats(n))),
        ("array.array", array.array("d", floats(n)), list(floats(n))),
        ("bytes", bytes(INTS[n]), [float(i) for i in INTS[n]]),  # a sequence of ints
        ("nan", [np.nan] * n, [np.nan] * n),
        ("too-short", list(floats(n))[:-1], None),
        ("too-long", list(floats(n)) + [0.0], None),
        ("2-d-array", floats(n)[None, :], None),
        ("strs", [str(v) for v in floats(n)], None),
        ("str", "0" * n, None),
        ("Nones", [None] * n, None),
        ("python-complex", [1j] * n, None),
        ("int-too-big-for-float", [10 ** 400] * n, None),
        ("generator", (float(v) for v in floats(n)), None),
        ("set", set(range(n)), None),
        ("dict", dict(enumerate(floats(n))), None),
        ("None", None, None),
        ("float", 1.0, None),
        ("object", object(), None),
    ]


LIST_PROPERTIES = [(ext.Translation, "translation", 3), (ext.Rotation, "rotation", 4),
                   *((ext.OskaPayloadConfig, name, 3) for name in
                     ("center_of_mass", "force_bias", "torque_bias", "gravity")),
                   (ext.OskaPayloadConfig, "sensor_axes", 4)]
LIST_CASES = [pytest.param(record, prop, value, read, id=f"{prop}-{cid}")
              for record, prop, n in LIST_PROPERTIES for cid, value, read in sequence_cases(n)]


@pytest.mark.parametrize("record, prop, value, read", LIST_CASES)
def test_list_property(record, prop, value, read):
    r = record()
    old = [9.0] * len(getattr(r, prop))
    setattr(r, prop, old)
    if read is None:
        with pytest.raises(TypeError):
            setattr(r, prop, value)
        assert getattr(r, prop) == old
    else:
        setattr(r, prop, value)
        np.testing.assert_array_equal(getattr(r, prop), read)


def test_complex_numpy_elements_lose_their_imaginary_part_with_a_warning():
    # NumPy's own float() of a complex scalar: accepted, with ComplexWarning.
    t = ext.Translation()
    with pytest.warns(np.exceptions.ComplexWarning):
        t.translation = np.array([1 + 2j, 3, 4])
    assert t.translation == [1.0, 3.0, 4.0]


STR_CASES = [("nul", "a\0b", "a\0b"), ("non-ascii", "移動 über", "移動 über"),
             ("str-subclass", Text("x"), "x"), ("lone-surrogate", "\ud800", None),
             ("bytes", b"x", None), ("None", None, None), ("int", 1, None),
             ("path", pathlib.PurePosixPath("x"), None)]


@pytest.mark.parametrize("record, prop", [(ext.Translation, "origin"), (ext.Rotation, "origin"),
                                          (ext.OskaTfConfig, "name"),
                                          (ext.OskaPayloadConfig, "name")],
                         ids=["t", "r", "c", "p"])
@pytest.mark.parametrize("value, read", [c[1:] for c in STR_CASES], ids=[c[0] for c in STR_CASES])
def test_str_property(record, prop, value, read):
    r = record()
    setattr(r, prop, "before")
    if read is None:
        with pytest.raises(TypeError):
            setattr(r, prop, value)
        assert getattr(r, prop) == "before"
    else:
        setattr(r, prop, value)
        assert getattr(r, prop) == read and type(getattr(r, prop)) is str


POLICY = type(ext.OskaTfConfig().policy)


class Fresh:
    """A table value built when its test runs: a bound instance made at import
    would outlive the tests, and nanobind reports it as leaked at exit."""

    def __init__(self, make):
        self.make = make


def fresh(value):
    return value.make() if isinstance(value, Fresh) else value


@pytest.mark.parametrize("value, read", [
    (POLICY.HardRt, 2), (3, 3), (True, 1), (np.int64(1), 1), (np.int32(2), 2),
    (4, None), (-1, None), (2 ** 31, None), (2 ** 64, None), (1.0, None), ("HardRt", None),
    (None, None), (Fresh(ext.OskaTfConfig), None)],
    ids=["member", "int", "bool", "numpy-int64", "numpy-int32", "past-last", "negative",
         "int32-overflow", "huge", "float", "name", "None", "record"])
@pytest.mark.parametrize("record", RECORDS)
def test_policy_property(record, value, read):
    value = fresh(value)
    c = record()
    c.policy = POLICY.SoftRt
    if read is None:
        with pytest.raises(TypeError):
            c.policy = value
        assert c.policy is POLICY.SoftRt
    else:
        c.policy = value
        assert c.policy is POLICY(read)


@pytest.mark.parametrize("value, read", [
    (1.5, 1.5), (2, 2.0), (True, 1.0), (np.float32(0.25), 0.25), (np.int64(3), 3.0),
    (-1.0, -1.0), (np.nan, np.nan),  # stored as given; a block refuses them (ValueError)
    ("1.5", None), (None, None), ([1.0], None), (1j, None), (np.array([1.0, 2.0]), None)],
    ids=["float", "int", "bool", "numpy-float32", "numpy-int64", "negative", "nan", "str",
         "None", "list", "complex", "array"])
def test_mass_property(value, read):
    c = ext.OskaPayloadConfig()
    c.mass = 4.0
    if read is None:
        with pytest.raises(TypeError):
            c.mass = value
        assert c.mass == 4.0
    else:
        c.mass = value
        assert c.mass == read or (np.isnan(read) and np.isnan(c.mass))


@pytest.mark.parametrize("prop, good", [("input_ref_point", ext.Translation),
                                        ("input_expr_axes", ext.Rotation),
                                        ("output_ref_point", ext.Translation),
                                        ("output_expr_axes", ext.Rotation)])
def test_entry_property(prop, good):
    c = ext.OskaTfConfig()
    getattr(c, prop).origin = "before"
    wrong = ext.Rotation if good is ext.Translation else ext.Translation
    for bad in (wrong(), None, "moving_frame", (MOVING, [0.0] * 3), {"origin": MOVING}, object()):
        with pytest.raises(TypeError):
            setattr(c, prop, bad)
        assert getattr(c, prop).origin == "before"
    entry = good()
    entry.origin = MOVING
    setattr(c, prop, entry)
    assert getattr(c, prop).origin == MOVING


# ------------------------------------------------------- reference counts ---

LEAK_PROBE = r"""
import warnings
import numpy as np
import oska_tf_utils_ext as ext

warnings.simplefilter("ignore")
classes = [c for c in vars(ext).values() if isinstance(c, type) and hasattr(c, "SIGNAL_SIZE")]
payload = ext.OskaPayloadConfig()
payload.gravity = [0.0, 0.0, 0.0]
for cls, n in ((c, c.SIGNAL_SIZE) for c in classes):
    block = cls()
    if cls.CONFIG_RECORD is ext.OskaPayloadConfig:
        block.tare(np.ones((3, 6)))
        block.tare(np.ones((3, 6), np.int32))                           # converted
        for bad in (np.ones(6), np.ones((3, 6), complex), [[1.0] * 6]):
            try:
                block.tare(bad)
            except TypeError:
                pass
        block.config()
        try:
            cls(payload)                                                # refused record
        except ValueError:
            pass
    setters = (("set_input_reference_point", 3), ("set_input_expression_axes", 4),
               ("set_output_reference_point", 3), ("set_output_expression_axes", 4))
    for setter, size in setters if cls.CONFIG_RECORD is ext.OskaTfConfig else ():
        getattr(block, setter)("moving_frame" if size == 3 else "fixed_frame", np.ones(size))
        getattr(block, setter)("fixed_frame", np.arange(size))          # converted
        for bad in (None, b"x", "\ud800"):
            try:
                getattr(block, setter)(bad, np.ones(size))
            except TypeError:
                pass
    if hasattr(block, "set_fixed_to_moving_frame_tf"):
        block.set_fixed_to_moving_frame_tf(np.ones(7)[::-1])
    out = np.zeros(n)
    block.update(np.ones(n), out)
    block.update(np.arange(2 * n)[::2], out)
    for bad_in, bad_out in ((np.ones(n, complex), out), (np.ones(n), np.zeros(n, np.float32)),
                            (list(range(n)), out)):
        try:
            block.update(bad_in, bad_out)
        except TypeError:
            pass
    blank = cls.__new__(cls)
    for call in (lambda: blank.__init__("/nonexistent.json"), lambda: blank.update(out, out)):
        try:
            call()
        except (RuntimeError, TypeError):
            pass
    try:
        block.__init__("")
    except TypeError:
        pass
config = ext.OskaTfConfig()
view = config.input_ref_point
del config
view.translation = [1, 2, 3]
config = ext.OskaTfConfig()
config.policy = 2
block = ext.OskaTfWrench(config)
"""


def test_no_bound_object_outlives_the_interpreter():
    # nanobind reports at exit every instance, type and function still alive:
    # a reference kept by the bindings on any of the paths above shows there.
    result = subprocess.run([sys.executable, "-X", "dev", "-c", LEAK_PROBE],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "leaked" not in result.stderr, result.stderr
