"""Translation, Rotation and OskaTfConfig: defaults and property semantics."""

import gc
import pickle
import sys

import numpy as np
import pytest

from oska_control import OskaControlBlockPolicy
import oska_tf_utils_ext as ext
from oska_tf_utils_ext import OskaTfConfig, Rotation, Translation
from conftest import BLOCK_CLASSES


def test_defaults():
    t, r, c = Translation(), Rotation(), OskaTfConfig()
    assert (t.origin, t.translation) == ("", [0.0, 0.0, 0.0])
    assert (r.origin, r.rotation) == ("", [1.0, 0.0, 0.0, 0.0])
    assert c.name == "" and c.policy is OskaControlBlockPolicy.BestEffort
    assert c.input_ref_point.translation == [0.0] * 3
    assert c.output_expr_axes.rotation == [1.0, 0.0, 0.0, 0.0]
    with pytest.raises(TypeError):
        Translation(origin="fixed_frame")


def test_list_properties_are_copies_and_accept_sequences():
    t = Translation()
    t.translation[0] = 5.0
    assert t.translation == [0.0, 0.0, 0.0]

    t.translation = (1, 2, 3)
    assert t.translation == [1.0, 2.0, 3.0]
    t.translation = np.array([4.0, 5.0, 6.0])
    assert t.translation == [4.0, 5.0, 6.0]

    r = Rotation()
    r.rotation = [np.float32(0.5), 0, 0, 1]
    assert r.rotation == [0.5, 0.0, 0.0, 1.0]


@pytest.mark.parametrize("bad", [[1.0, 2.0], [1.0, 2.0, 3.0, 4.0], ["1", 2.0, 3.0], 3.0])
def test_rejected_list_assignment_keeps_old_values(bad):
    t = Translation()
    t.translation = [7.0, 8.0, 9.0]
    with pytest.raises(TypeError):
        t.translation = bad
    assert t.translation == [7.0, 8.0, 9.0]


def test_str_properties_accept_str_only():
    t = Translation()
    t.origin = "moving_frame"
    for bad in (b"fixed_frame", None, 1):
        with pytest.raises(TypeError):
            t.origin = bad
    assert t.origin == "moving_frame"
    t.origin = "\u00e9tage"
    assert t.origin == "\u00e9tage"


def test_entry_properties_are_views_that_write_through():
    c = OskaTfConfig()
    c.input_ref_point.origin = "moving_frame"
    c.input_ref_point.translation = [1.0, 2.0, 3.0]
    c.output_expr_axes.rotation = [0.0, 1.0, 0.0, 0.0]
    assert c.input_ref_point.origin == "moving_frame"
    assert c.input_ref_point.translation == [1.0, 2.0, 3.0]
    assert c.output_expr_axes.rotation == [0.0, 1.0, 0.0, 0.0]


def test_entry_view_keeps_the_config_alive():
    c = OskaTfConfig()
    before = sys.getrefcount(c)
    view = c.input_expr_axes
    assert sys.getrefcount(c) > before
    del c
    gc.collect()
    junk = [OskaTfConfig() for _ in range(100)]  # reuse freed memory, if any
    view.rotation = [0.0, 0.0, 0.0, 1.0]
    assert view.rotation == [0.0, 0.0, 0.0, 1.0]
    del junk


def test_entry_assignment_copies():
    t = Translation()
    t.origin = "fixed_frame"
    t.translation = [1.0, 1.0, 1.0]
    c = OskaTfConfig()
    c.output_ref_point = t
    t.origin = "moving_frame"
    t.translation = [9.0, 9.0, 9.0]
    assert (c.output_ref_point.origin, c.output_ref_point.translation) == ("fixed_frame", [1.0] * 3)
    with pytest.raises(TypeError):
        c.input_ref_point = Rotation()


def test_policy_assignment():
    c = OskaTfConfig()
    c.policy = 2
    assert c.policy is OskaControlBlockPolicy.HardRt
    c.policy = OskaControlBlockPolicy.StrictRt
    assert c.policy is OskaControlBlockPolicy.StrictRt
    for bad in (9, -1, "hard_rt", None):
        with pytest.raises(TypeError):
            c.policy = bad
    assert c.policy is OskaControlBlockPolicy.StrictRt


def test_records_pickle_and_blocks_say_to_send_the_configuration():
    config = ext.OskaTfConfig()
    config.name = "sent"
    config.policy = type(config.policy).HardRt
    config.input_ref_point.origin = "moving_frame"
    config.input_ref_point.translation = [1.0, -2.0, 0.5]
    config.output_expr_axes.origin = "fixed_frame"
    config.output_expr_axes.rotation = [0.0, 0.6, 0.0, 0.8]
    copy = pickle.loads(pickle.dumps(config))
    fields = ("input_ref_point", "input_expr_axes", "output_ref_point", "output_expr_axes")
    assert (copy.name, copy.policy) == (config.name, config.policy)
    for field in fields:
        a, b = getattr(copy, field), getattr(config, field)
        assert a.origin == b.origin
        assert getattr(a, "translation", None) == getattr(b, "translation", None)
        assert getattr(a, "rotation", None) == getattr(b, "rotation", None)
    for cls in BLOCK_CLASSES:
        record = cls.CONFIG_RECORD.__name__
        with pytest.raises(TypeError, match=f"Send its {record}"):
            pickle.dumps(cls(config if cls.CONFIG_RECORD is OskaTfConfig else cls.CONFIG_RECORD()))
