"""oska-tf check: each class of finding, and its claims held against the library."""

import json

import pytest

import oska_tf_utils_ext as ext
from oska_tf_utils import check_config, exit_code, kinds
from oska_tf_utils.cli import main

W = "tf_wrench_config"
OK_ENTRIES = {
    "set_input_reference_point": {"origin": "moving_frame", "translation": [0, 0, 0.05]},
    "set_input_expression_axes": {"origin": "fixed_frame", "rotation": [1, 0, 0, 0]},
    "set_output_reference_point": {"origin": "fixed_frame", "translation": [0, 0, 0]},
    "set_output_expression_axes": {"origin": "fixed_frame", "rotation": [0, 0, 0, 1]},
}


def section(**changes):
    return json.dumps({W: {**OK_ENTRIES, **changes}}).encode()


def entry_with(key, **fields):
    return {key: {**OK_ENTRIES[key], **fields}}


IRP, IEA = "set_input_reference_point", "set_input_expression_axes"
# (document, severity, code, path, words in the message)
CASES = {
    "syntax": (b'{"tf_wrench_config": {\n  // no comments\n}}', "error", "syntax", "",
               "syntax error"),
    "utf8": (section(name="caf\udce9") .replace(b"\\udce9", b"\xe9"), "error", "utf8", "",
             "not UTF-8"),
    "duplicate": (b'{"tf_wrench_config": {"name": "a", "name": "b"}}', "warning",
                  "duplicate-key", f"{W}.name", 'keeps the last one ("b")'),
    "unknown-key": (section(set_output_refrence_point={}), "warning", "unknown-key",
                    f"{W}.set_output_refrence_point", 'did you mean "set_output_reference_point"'),
    "origin": (section(**entry_with(IRP, origin="Moving_Frame")), "warning", "origin",
               f"{W}.{IRP}.origin", "as the fixed frame"),
    "policy": (section(policy="hardrt"), "warning", "policy", f"{W}.policy",
               'falls back to best_effort; known: best_effort, soft_rt, hard_rt, strict_rt '
               '(did you mean "hard_rt"?)'),
    "type": (section(**entry_with(IRP, translation=[0, "1", 0])), "error", "type",
             f"{W}.{IRP}.translation[1]", "a string, not a number"),
    "short": (section(**entry_with(IRP, translation=[0, 1])), "error", "array-length",
              f"{W}.{IRP}.translation", "needs 3 and refuses"),
    "long": (section(**entry_with(IRP, translation=[0, 1, 2, 3])), "warning", "array-length",
             f"{W}.{IRP}.translation", "reads the first 3"),
    "zero-quaternion": (section(**entry_with(IEA, rotation=[0, 0, 0, 0])), "error",
                        "quaternion", f"{W}.{IEA}.rotation", "zero quaternion"),
    "underflowing-quaternion": (section(**entry_with(IEA, rotation=[1e-300, 0, 0, 1e-300])),
                                "error", "quaternion", f"{W}.{IEA}.rotation",
                                "norm 1.41e-300, whose square underflows: the library uses it "
                                "as it uses the zero quaternion"),
    "non-unit": (section(**entry_with(IEA, rotation=[0.7071, 0, 0, 0.7071])), "warning",
                 "quaternion", f"{W}.{IEA}.rotation", "norm 0.99999041"),
    "overflow": (section(**entry_with(IRP, translation=[1e400, 0, 0])).replace(b"Infinity", b"1e400"),
                 "error", "syntax", f"{W}.{IRP}.translation[0]", "number overflow"),
    "pose-input-axes": (json.dumps({"tf_pose_config": {
        **OK_ENTRIES, IEA: {"origin": "moving_frame", "rotation": [1, 0, 0, 0]}}}).encode(),
        "error", "pose-input-axes", f"tf_pose_config.{IEA}.origin", "never ready"),
    "missing-entry": (json.dumps({W: {IRP: OK_ENTRIES[IRP]}}).encode(), "note", "missing-entry",
                      f"{W}.set_output_reference_point", "needs it from code"),
    "section-type": (b'{"tf_wrench_config": [1, 2]}', "error", "type", W,
                     "builds a block with no entries"),
    "no-section": (b'{"tf_wrench_cfg": {}}', "error", "missing-section", "", "no block section"),
    "trailing": (section() + b"\n}\xff", "warning", "trailing-text", "", "ignores it"),
}
P = "tf_payload_config"
OK_PAYLOAD = {"mass": 1.2, "center_of_mass": [0, 0, 0.08], "force_bias": [0.3, 0, 0],
              "torque_bias": [0, 0.02, 0]}


def payload(**changes):
    return json.dumps({P: {k: v for k, v in {**OK_PAYLOAD, **changes}.items()
                           if v is not None}}).encode()


# The payload section: the library checks every value and refuses a bad one.
CASES.update({
    "payload-not-object": (b'{"tf_payload_config": [1]}', "error", "type", P,
                           "not an object: the library refuses"),
    "payload-missing": (payload(mass=None), "error", "missing-key", f"{P}.mass",
                        "mass, center_of_mass, force_bias, torque_bias are required"),
    "payload-name": (payload(name=3), "error", "type", f"{P}.name", "must be a string"),
    "payload-mass-type": (payload(mass="1.2"), "error", "type", f"{P}.mass",
                          "a string, not a number of kg"),
    "payload-mass-negative": (payload(mass=-0.5), "error", "value", f"{P}.mass",
                              "-0.5 kg: a mass is at least 0"),
    "payload-mass-zero": (payload(mass=0), "note", "value", f"{P}.mass", "bias only"),
    "payload-short": (payload(center_of_mass=[0, 0]), "error", "array-length",
                      f"{P}.center_of_mass", "needs exactly 3 and refuses"),
    "payload-long": (payload(force_bias=[0, 0, 0, 0]), "error", "array-length",
                     f"{P}.force_bias", "needs exactly 3 and refuses"),
    "payload-element": (payload(torque_bias=[0, True, 0]), "error", "type",
                        f"{P}.torque_bias[1]", "a boolean, not a number"),
    "payload-zero-gravity": (payload(gravity=[0, 0, 0.0]), "error", "value", f"{P}.gravity",
                             "zero gravity"),
    "payload-gravity-in-g": (payload(gravity=[0, 0, -1]), "warning", "value", f"{P}.gravity",
                             "a magnitude of 1 m/s², where Earth's is 9.7 to 9.9"),
    "payload-zero-axes": (payload(sensor_axes=[0, 0, 0, 0]), "error", "quaternion",
                          f"{P}.sensor_axes", "zero quaternion"),
    "payload-non-unit-axes": (payload(sensor_axes=[0.7071, 0, 0, 0.7071]), "warning",
                              "quaternion", f"{P}.sensor_axes", "norm 0.99999041"),
    "payload-unknown-key": (payload(centre_of_mass=[0, 0, 0]), "warning", "unknown-key",
                            f"{P}.centre_of_mass", 'did you mean "center_of_mass"'),
    "payload-duplicate": (payload(name="a")[:-2] + b', "name": "b"}}', "warning",
                          "duplicate-key", f"{P}.name", 'keeps the last one ("b")'),
})


@pytest.mark.parametrize("case", CASES, ids=list(CASES))
def test_each_class_of_finding_and_what_the_library_does(tmp_path, case):
    document, severity, code, path, words = CASES[case]
    config = tmp_path / "config.json"
    config.write_bytes(document)
    findings = check_config(config)
    assert any(f.severity == severity and f.code == code and f.path == path
               and words in f.message for f in findings), findings
    assert exit_code(findings) == {"error": 2, "warning": 1, "note": 0}[max(
        (f.severity for f in findings), key=["note", "warning", "error"].index)]
    # Every "refuses" claim, and only those, matches a constructor that throws.
    for kind in kinds().values():
        refused = any("refuses" in f.message and (f.path == "" or f.path.startswith(kind.section))
                      for f in findings)
        if kind.section.encode() not in document:
            continue
        try:
            block = kind.cls(str(config))
        except RuntimeError:
            assert refused, (kind.section, findings)
        else:
            assert not refused, (kind.section, findings)
            if case.endswith("duplicate"):
                assert block.name() == "b"


def test_cli_report_json_and_exit_codes(tmp_path, capsys):
    clean = tmp_path / "clean.json"
    clean.write_bytes(section())
    assert main(["check", str(clean)]) == 0
    assert "clean" in capsys.readouterr().out
    faulty = tmp_path / "faulty.json"
    faulty.write_bytes(CASES["origin"][0])
    assert main(["check", str(faulty), "--json"]) == 1
    listed = json.loads(capsys.readouterr().out)
    assert [(f["severity"], f["path"]) for f in listed] == [("warning", f"{W}.{IRP}.origin")]
    assert main(["check", str(tmp_path / "missing.json")]) == 2
    assert "cannot read" in capsys.readouterr().out
