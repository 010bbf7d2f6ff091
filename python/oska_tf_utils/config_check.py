"""Checks a JSON configuration file the way the library reads it.

The library's loader parses one JSON value (no comments; text after the first
complete value is ignored; invalid UTF-8 inside a string is a parse error),
takes each block's section by its exact key, reads "name", "policy" and the
four entries (the payload section: its mass, centre of mass, biases, gravity
and sensor axes, each value checked), and ignores every other key. Much of
what a person can get
wrong is accepted without a word: an origin that is not exactly
"moving_frame" means the fixed frame, a misspelt key is ignored, of two equal
keys the last one wins, an unknown policy falls back to best effort, a pose
section with its input axes on "moving_frame" builds a block that never runs.
The checker reports those along with what the loader refuses.

Severities: an *error* is something the loader refuses, or a configuration
that cannot work (a zero, underflowing or non-finite quaternion, pose input
axes on the moving frame); a *warning* is something the loader accepts but
that most likely does not say what its author meant (a non-unit quaternion,
gravity of another planet); a *note* is for information (an entry left out,
which the block will need from code; a payload of 0 kg).
"""

from __future__ import annotations

import difflib
import json
import math
import os
import re
import sys
from collections.abc import Iterator
from dataclasses import asdict, dataclass
from typing import Any, Literal

import oska_control
import oska_tf_utils_ext as _ext

from .errors import EXIT_ERRORS, EXIT_OK, EXIT_WARNINGS
from .kinds import Kind, kinds

Severity = Literal["error", "warning", "note"]

MOVING = "moving_frame"
FIXED = "fixed_frame"
ORIGINS = (FIXED, MOVING)
UNIT_TOLERANCE = 1e-6
"""A quaternion whose norm differs from 1 by more than this is reported."""

# The entries of a section, with the key of their values and how many.
ENTRIES: dict[str, tuple[str, int]] = {
    "set_input_reference_point": ("translation", 3),
    "set_input_expression_axes": ("rotation", 4),
    "set_output_reference_point": ("translation", 3),
    "set_output_expression_axes": ("rotation", 4),
}
SECTION_KEYS = ("name", "policy", *ENTRIES)
# The payload section: its arrays and their lengths, and the keys it needs.
PAYLOAD_ARRAYS = {"center_of_mass": 3, "force_bias": 3, "torque_bias": 3, "gravity": 3,
                  "sensor_axes": 4}
PAYLOAD_REQUIRED = ("mass", "center_of_mass", "force_bias", "torque_bias")
PAYLOAD_KEYS = ("name", "policy", "mass", *PAYLOAD_ARRAYS)
EARTH_GRAVITY = (9.7, 9.9)
"""m/s²: the magnitude of gravity anywhere on Earth's surface lies in this range."""


def _snake(name: str) -> str:
    return re.sub(r"(?<!^)(?=[A-Z])", "_", name).lower()


# The JSON names of the policies, from the enumeration: BestEffort -> best_effort.
POLICIES = tuple(_snake(name) for name in oska_control.OskaControlBlockPolicy.__members__)


@dataclass(frozen=True)
class Finding:
    """One thing the checker found, at a JSON path of the file."""

    severity: Severity
    code: str
    """The class of finding: "syntax", "utf8", "duplicate-key", "unknown-key",
    "origin", "policy", "type", "array-length", "quaternion", "pose-input-axes",
    "missing-entry", "missing-key", "value", "missing-section", "trailing-text",
    "unreadable", "not-checked"."""
    path: str
    """Where, e.g. "tf_wrench_config.set_input_reference_point.origin"; "" for the
    whole document."""
    message: str
    line: int | None = None
    column: int | None = None

    def to_dict(self) -> dict[str, Any]:
        """The finding as a JSON-ready dictionary."""
        return asdict(self)

    def __str__(self) -> str:
        where = self.path or "(document)"
        if self.line is not None:
            where += f" (line {self.line}, column {self.column})"
        return f"{self.severity}: {where}: {self.message}"


def exit_code(findings: list[Finding]) -> int:
    """0 when there is nothing but notes, 1 with warnings only, 2 with an error."""
    severities = {f.severity for f in findings}
    if "error" in severities:
        return EXIT_ERRORS
    return EXIT_WARNINGS if "warning" in severities else EXIT_OK


# ----------------------------------------------------------------- parsing ---
# Python's json module reads the document, with hooks where it accepts more
# than the library's parser: NaN and Infinity literals, numbers that overflow
# a double, lone surrogate escapes. Those come back as markers that the walk
# below reports with their path. Objects keep every key/value pair, so that
# duplicates can be reported; the value of a key is the last one, as in the
# library.

class _Object(dict[str, Any]):
    def __init__(self, pairs: list[tuple[str, Any]]) -> None:
        super().__init__(pairs)
        self.pairs = pairs


@dataclass(frozen=True)
class _Refused:
    text: str
    reason: str


def _parse_float(text: str) -> float | _Refused:
    value = float(text)
    return value if math.isfinite(value) else _Refused(text, "number overflow")


def _parse_int(text: str) -> int | float | _Refused:
    # The library keeps integers that fit 64 bits and reads any other as a double.
    if len(text) <= 20:
        value = int(text)
        if -(2**63) <= value < 2**64:
            return value
    return _parse_float(text)


def _parse_constant(text: str) -> _Refused:
    return _Refused(text, "not a JSON literal")


_DECODER = json.JSONDecoder(object_pairs_hook=_Object, parse_float=_parse_float,
                            parse_int=_parse_int, parse_constant=_parse_constant, strict=True)
_WHITESPACE = " \t\n\r"


def _line_column(text: str, index: int) -> tuple[int, int]:
    line = text.count("\n", 0, index) + 1
    return line, index - (text.rfind("\n", 0, index) + 1) + 1


def _first_undecodable(text: str, start: int, end: int) -> int | None:
    # Bytes that are not UTF-8 were decoded to the surrogates U+DC80..U+DCFF.
    found = re.compile("[\udc80-\udcff]").search(text, start, end)
    return found.start() if found else None


def _type_name(value: Any) -> str:
    if isinstance(value, _Refused):
        return "invalid number"
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    return "array" if isinstance(value, list) else "object"


def _key_path(parent: str, key: str) -> str:
    if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", key):
        return f"{parent}.{key}" if parent else key
    return f"{parent}[{json.dumps(key)}]"


def _did_you_mean(word: str, known: tuple[str, ...] | list[str]) -> str:
    lowered = {k.lower(): k for k in known}
    match = lowered.get(word.lower().strip())
    if match is None:
        close = difflib.get_close_matches(word, known, n=1, cutoff=0.6)
        match = close[0] if close else None
    return f' (did you mean "{match}"?)' if match else ""


def check_config(path: str | os.PathLike[str]) -> list[Finding]:
    """Checks the JSON configuration file at `path` as the library reads it.

    Returns the findings in document order; `exit_code(findings)` gives the
    command's exit status. A file that cannot be read is one "unreadable" error.
    """
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as e:
        return [Finding("error", "unreadable", "", f"cannot read the file: {e.strerror or e}")]
    return check_config_bytes(data)


def check_config_bytes(data: bytes) -> list[Finding]:
    """Checks a configuration document given as the bytes of the file."""
    findings: list[Finding] = []
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]  # the library skips a UTF-8 byte order mark
    text = data.decode("utf-8", "surrogateescape")

    def at(index: int) -> dict[str, int]:
        line, column = _line_column(text, index)
        return {"line": line, "column": column}

    start = len(text) - len(text.lstrip(_WHITESPACE))
    try:
        if start == len(text):
            raise json.JSONDecodeError("unexpected end of input: the file holds no JSON value",
                                       text, start)
        document, end = _DECODER.raw_decode(text, start)
    except json.JSONDecodeError as e:
        bad = _first_undecodable(text, 0, e.pos + 1)
        if bad is not None:
            return [Finding("error", "utf8", "", "a byte that is not UTF-8: the library refuses "
                            "the file; save it as UTF-8", **at(bad))]
        return [Finding("error", "syntax", "", f"JSON syntax error: {e.msg}; the library "
                        "refuses the file (comments and trailing commas are not JSON)",
                        **at(e.pos))]
    except RecursionError:
        return [Finding("error", "syntax", "", "nested too deeply for the checker to follow")]

    bad = _first_undecodable(text, start, end)
    if bad is not None:
        findings.append(Finding("error", "utf8", "", "a byte that is not UTF-8 inside a string: "
                                "the library refuses the file; save it as UTF-8", **at(bad)))
    findings.extend(_walk_values(document, ""))
    findings.extend(_check_document(document))
    rest = text[end:]
    if rest.strip(_WHITESPACE):
        first = end + len(rest) - len(rest.lstrip(_WHITESPACE))
        findings.append(Finding("warning", "trailing-text", "", "text after the first complete "
                                "JSON value: the library ignores it", **at(first)))
    return findings


def _walk_values(value: Any, path: str) -> Iterator[Finding]:
    """Refused numbers and literals and lone surrogates, wherever they are: the
    library's parser refuses the whole file for any of them."""
    if isinstance(value, _Refused):
        yield Finding("error", "syntax", path, f"{value.text}: {value.reason}; the library "
                      "refuses the file")
    elif isinstance(value, str):
        if re.search("[\ud800-\udfff]", value):
            yield Finding("error", "syntax", path, "a string with a lone surrogate escape "
                          "(\\ud800-\\udfff without its pair): the library refuses the file")
    elif isinstance(value, list):
        for i, item in enumerate(value):
            yield from _walk_values(item, f"{path}[{i}]")
    elif isinstance(value, _Object):
        for key, item in value.pairs:
            sub = _key_path(path, key)
            yield from _walk_values(key, sub)
            yield from _walk_values(item, sub)


def _duplicates(obj: _Object, path: str) -> Iterator[Finding]:
    counts: dict[str, int] = {}
    for key, _ in obj.pairs:
        counts[key] = counts.get(key, 0) + 1
    for key, count in counts.items():
        if count > 1:
            kept = json.dumps(obj[key], ensure_ascii=False, default=str)
            if len(kept) > 60:
                kept = kept[:57] + "..."
            yield Finding("warning", "duplicate-key", _key_path(path, key),
                          f'the key "{key}" appears {count} times; the library keeps the last '
                          f"one ({kept}) and ignores the others")


def _unknown_keys(obj: _Object, path: str, known: tuple[str, ...], what: str) -> Iterator[Finding]:
    for key in obj:
        if key not in known:
            yield Finding("warning", "unknown-key", _key_path(path, key),
                          f'unknown key "{key}" in {what}: the library ignores it'
                          + _did_you_mean(key, known))


def _check_document(document: Any) -> Iterator[Finding]:
    sections = {k.section: k for k in kinds().values()}
    if not isinstance(document, _Object):
        yield Finding("error", "type", "", f"the file holds a JSON {_type_name(document)}; the "
                      "library needs an object with one section per block kind ("
                      + ", ".join(f'"{s}"' for s in sections) + ") and refuses it")
        return
    yield from _duplicates(document, "")
    yield from _unknown_keys(document, "", tuple(sections), "the file (not a block section)")
    if not any(s in document for s in sections):
        yield Finding("error", "missing-section", "", "no block section: every block "
                      "constructor refuses this file; name a section "
                      + ", ".join(f'"{s}"' for s in sections))
    for section in document:
        if section not in sections:
            continue
        kind = sections[section]
        if kind.configured_by_entries:
            yield from _check_section(kind, document[section], section)
        elif kind.cls.CONFIG_RECORD is _ext.OskaPayloadConfig:
            yield from _check_payload_section(document[section], section)
        else:
            yield Finding("note", "not-checked", section, f"the {kind.signal} section is not "
                          f"checked here; {kind.cls.__name__} checks it when it loads the file "
                          "and raises an error naming the key it refuses")


def _check_section(kind: Kind, section: Any, path: str) -> Iterator[Finding]:
    if not isinstance(section, _Object):
        yield Finding("error", "type", path, f"a {_type_name(section)}, not an object: the "
                      "library reads nothing from it and builds a block with no entries")
        return
    yield from _check_keys(section, path, SECTION_KEYS, "a block section")
    for key, (values_key, size) in ENTRIES.items():
        if key in section:
            yield from _check_entry(section[key], f"{path}.{key}", values_key, size)
        else:
            yield Finding("note", "missing-entry", f"{path}.{key}", "not in the file: the block "
                          f"needs it from code ({key}) before update produces output")
    axes = section.get("set_input_expression_axes")
    if not kind.has_transform and isinstance(axes, _Object) and axes.get("origin") == MOVING:
        yield Finding("error", "pose-input-axes", f"{path}.set_input_expression_axes.origin",
                      f"the {kind.signal} block finds the body through its input axes, so they "
                      'cannot be on "moving_frame": the block is never ready and every update '
                      'fails; put them on "fixed_frame"')


def _check_payload_section(section: Any, path: str) -> Iterator[Finding]:
    """The payload section, whose every value the library checks when it loads."""
    if not isinstance(section, _Object):
        yield Finding("error", "type", path, f"a {_type_name(section)}, not an object: the "
                      "library refuses the file")
        return
    yield from _check_keys(section, path, PAYLOAD_KEYS, "the payload section")
    for key in PAYLOAD_REQUIRED:
        if key not in section:
            yield Finding("error", "missing-key", f"{path}.{key}", "missing: the library refuses "
                          f"the file; {', '.join(PAYLOAD_REQUIRED)} are required")
    mass = section.get("mass")
    if "mass" not in section or isinstance(mass, _Refused):
        pass
    elif isinstance(mass, bool) or not isinstance(mass, (int, float)):
        yield Finding("error", "type", f"{path}.mass", f"a {_type_name(mass)}, not a number of "
                      "kg: the library refuses the file")
    elif mass < 0:
        yield Finding("error", "value", f"{path}.mass", f"{mass} kg: a mass is at least 0, and "
                      "the library refuses the file")
    elif mass == 0:
        yield Finding("note", "value", f"{path}.mass", "0 kg: the block takes out the bias only "
                      "(no payload yet? `oska-tf calibrate` identifies it from a log)")
    for key, size in PAYLOAD_ARRAYS.items():
        if key not in section:
            continue
        found, numbers = _numbers(section[key], f"{path}.{key}", size, exact=True)
        yield from found
        if len(numbers) == size:
            yield from _check_payload_vector(key, numbers, f"{path}.{key}")


def _check_payload_vector(key: str, numbers: list[float], path: str) -> Iterator[Finding]:
    norm = math.hypot(*numbers)
    if key == "gravity" and norm == 0.0:
        yield Finding("error", "value", path, "zero gravity: it gives the direction the payload "
                      "weighs in; the library refuses the file")
    elif key == "gravity" and not EARTH_GRAVITY[0] <= norm <= EARTH_GRAVITY[1]:
        yield Finding("warning", "value", path, f"a magnitude of {norm:.6g} m/s², where Earth's "
                      f"is {EARTH_GRAVITY[0]:g} to {EARTH_GRAVITY[1]:g}: the payload's weight is "
                      "its mass times this; gravity is in m/s² (z up: [0, 0, -9.80665])")
    elif key == "sensor_axes" and norm == 0.0:
        yield Finding("error", "quaternion", path, "the zero quaternion [0, 0, 0, 0]: it has no "
                      "orientation, and the library refuses the file")
    elif key == "sensor_axes":
        yield from _check_quaternion(numbers, path)


def _check_keys(section: _Object, path: str, known: tuple[str, ...],
                what: str) -> Iterator[Finding]:
    """What every section is checked for alike: duplicate and unknown keys,
    the name and the policy."""
    yield from _duplicates(section, path)
    yield from _unknown_keys(section, path, known, what)
    if "name" in section and not isinstance(section["name"], str):
        yield Finding("error", "type", f"{path}.name", f"a {_type_name(section['name'])}; the "
                      "name must be a string, and the library refuses the file")
    if "policy" in section:
        policy = section["policy"]
        if not isinstance(policy, str):
            yield Finding("error", "type", f"{path}.policy", f"a {_type_name(policy)}; the "
                          "policy must be a string, and the library refuses the file")
        elif policy not in POLICIES:
            yield Finding("warning", "policy", f"{path}.policy", f'unknown policy "{policy}": '
                          "the library warns and falls back to best_effort; known: "
                          + ", ".join(POLICIES) + _did_you_mean(policy, POLICIES))


def _check_entry(entry: Any, path: str, values_key: str, size: int) -> Iterator[Finding]:
    shape = f'{{"origin": "fixed_frame" or "moving_frame", "{values_key}": [{size} numbers]}}'
    if not isinstance(entry, _Object):
        yield Finding("error", "type", path, f"a {_type_name(entry)}; an entry is an object "
                      f"{shape}, and the library refuses the file")
        return
    yield from _duplicates(entry, path)
    yield from _unknown_keys(entry, path, ("origin", values_key), "an entry")
    origin = entry.get("origin")
    if "origin" not in entry:
        yield Finding("error", "type", f"{path}.origin", "missing: the library refuses the file; "
                      f"an entry is {shape}")
    elif not isinstance(origin, str):
        yield Finding("error", "type", f"{path}.origin", f"a {_type_name(origin)}; the origin must "
                      "be a string, and the library refuses the file")
    elif origin not in ORIGINS:
        yield Finding("warning", "origin", f"{path}.origin", f'"{origin}" is neither "fixed_frame" '
                      'nor "moving_frame": the library takes every origin but exactly '
                      '"moving_frame" as the fixed frame' + _did_you_mean(origin, ORIGINS))
    values_path = f"{path}.{values_key}"
    if values_key not in entry:
        yield Finding("error", "type", values_path, "missing: the library refuses the file; "
                      f"an entry is {shape}")
        return
    found, numbers = _numbers(entry[values_key], values_path, size, exact=False)
    yield from found
    if len(numbers) == size:
        if not all(math.isfinite(v) for v in numbers):
            yield Finding("error", "quaternion" if size == 4 else "type", values_path,
                          "a value that is not finite")
        elif size == 4:
            yield from _check_quaternion(numbers, values_path)


def _numbers(values: Any, path: str, size: int, exact: bool) -> tuple[list[Finding], list[float]]:
    """The findings on an array that should hold `size` numbers, and the numbers
    among its first `size` elements. A longer array is refused when `exact`,
    and otherwise read up to its `size`th element."""
    if not isinstance(values, list):
        return [Finding("error", "type", path, f"a {_type_name(values)}, not an array of {size} "
                        "numbers: the library refuses the file")], []
    found: list[Finding] = []
    numbers: list[float] = []
    for i, item in enumerate(values[:size]):
        if isinstance(item, bool) or not isinstance(item, (int, float)):
            if not isinstance(item, _Refused):
                found.append(Finding("error", "type", f"{path}[{i}]", f"a {_type_name(item)}, "
                                     "not a number: the library refuses the file"))
        else:
            numbers.append(float(item))
    if len(values) < size or (exact and len(values) > size):
        found.append(Finding("error", "array-length", path, f"{len(values)} elements; the "
                             f"library needs {'exactly ' if exact else ''}{size} and refuses "
                             "the file"))
    elif len(values) > size:
        found.append(Finding("warning", "array-length", path, f"{len(values)} elements; the "
                             f"library reads the first {size} and ignores the rest"))
    return found, numbers


def _check_quaternion(q: list[float], path: str) -> Iterator[Finding]:
    # For q = s·q̂ the library computes rot(q, v) = (1 − s²)·v + s²·R(q̂)·v: a
    # mix of the rotated and the unrotated vector, the identity when s = 0.
    norm = math.hypot(*q)
    if norm == 0.0:
        yield Finding("error", "quaternion", path, "the zero quaternion [0, 0, 0, 0]: it has no "
                      "orientation; the library uses it unchanged, as the identity on vectors "
                      "(and a zero orientation in a pose), which is almost surely not meant")
    elif not math.isfinite(norm):
        yield Finding("error", "quaternion", path, "a quaternion whose norm overflows")
    elif math.fsum(v * v for v in q) < sys.float_info.min:
        yield Finding("error", "quaternion", path, f"a quaternion of norm {norm:.3g}, whose "
                      "square underflows: the library uses it as it uses the zero quaternion, as "
                      "the identity on vectors (and a zero orientation in a pose), which is "
                      "almost surely not meant")
    elif abs(norm - 1.0) > UNIT_TOLERANCE:
        unit = ", ".join(f"{v / norm:.17g}" for v in q)
        s2 = norm * norm
        yield Finding("warning", "quaternion", path, f"norm {norm:.9g}, not 1: the library does "
                      f"not normalise it, so a vector v comes out as {1 - s2:.9g}·v + "
                      f"{s2:.9g}·R·v, a mix of the unrotated and the rotated vector; the unit "
                      f"quaternion is [{unit}]")


def format_findings(findings: list[Finding], source: str) -> str:
    """The findings as the text report of `oska-tf check`."""
    counts = {s: sum(f.severity == s for f in findings) for s in ("error", "warning", "note")}
    summary = ", ".join(f"{n} {s}{'s' if n != 1 else ''}" for s, n in counts.items())
    lines = [f"{source}: {summary}" if findings else f"{source}: clean"]
    for f in findings:
        where = f.path or "(document)"
        if f.line is not None:
            where += f" (line {f.line}, column {f.column})"
        lines.append(f"  {f.severity:<7}  {where}")
        lines.append(f"           {f.message}")
    return "\n".join(lines)
