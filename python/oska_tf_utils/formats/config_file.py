"""The JSON configuration file as a file the tool writes: one section replaced
in place, or added, with every other byte of the file kept.

A configuration file is often written by hand, with its own layout (an entry
on one line, comments in keys of its own, a byte order mark): replacing one
section must not reformat the rest. The file's text is scanned for the
places of its top-level sections, the new section's text is put in place of
the old one's value (or after the last section), and the result is written
through `output.AtomicOutput`: it appears whole, or the file stays as it was.
A file that the library cannot read (a syntax error, not an object) is
refused rather than rewritten.
"""

from __future__ import annotations

import json
import os
import stat
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..config_check import check_config_bytes
from ..errors import OskaToolError
from .output import AtomicOutput

_WHITESPACE = " \t\n\r"
_BOM = b"\xef\xbb\xbf"


@dataclass(frozen=True)
class _Member:
    key: str
    key_start: int
    value_start: int
    value_end: int


def _skip(text: str, index: int) -> int:
    while index < len(text) and text[index] in _WHITESPACE:
        index += 1
    return index


def _members(text: str) -> tuple[list[_Member], int, int]:
    """The top-level members of the object that `text` opens with, the index of
    its opening brace and of its closing one. The text has been checked to be
    a JSON object."""
    decoder = json.JSONDecoder()
    opening = i = _skip(text, 0)
    i = _skip(text, i + 1)
    members: list[_Member] = []
    if text[i] == "}":
        return members, opening, i
    while True:
        key, after = decoder.raw_decode(text, i)
        value_start = _skip(text, _skip(text, after) + 1)  # past the colon
        _, value_end = decoder.raw_decode(text, value_start)
        members.append(_Member(key, i, value_start, value_end))
        i = _skip(text, value_end)
        if text[i] == "}":
            return members, opening, i
        i = _skip(text, i + 1)  # past the comma


def _indent(text: str, index: int) -> str | None:
    """The whitespace that leads the line of `index`, None when other text does."""
    lead = text[text.rfind("\n", 0, index) + 1:index]
    return lead if lead.strip(_WHITESPACE) == "" else None


def _section_text(section: Mapping[str, Any], indent: str, step: str, newline: str) -> str:
    lines = [f"{indent}{step}{json.dumps(key, ensure_ascii=False)}: "
             f"{json.dumps(value, ensure_ascii=False)}" for key, value in section.items()]
    return "{" + newline + ("," + newline).join(lines) + newline + indent + "}"


class ConfigText:
    """A configuration file's bytes, with its top-level sections found."""

    def __init__(self, path: str | os.PathLike[str], data: bytes | None) -> None:
        self.path = os.fspath(path)
        self.data = data
        self.members: list[_Member] = []
        if data is None:
            return
        refused = [f for f in check_config_bytes(data)
                   if f.code in ("syntax", "utf8") or (f.code == "type" and f.path == "")]
        if refused:
            f = refused[0]
            where = f" (line {f.line}, column {f.column})" if f.line is not None else ""
            raise OskaToolError(f"{self.path}{where}: {f.message}. The tool does not rewrite a "
                                "configuration that the library cannot read: fix it (`oska-tf "
                                "check` shows what is wrong) or write to another file.")
        self.bom = _BOM if data.startswith(_BOM) else b""
        self.text = data[len(self.bom):].decode("utf-8", "surrogateescape")
        self.members, self.opening, self.closing = _members(self.text)

    @classmethod
    def read(cls, path: str | os.PathLike[str]) -> ConfigText:
        """The file at `path`; one with no data when there is no file yet."""
        try:
            with open(path, "rb") as file:
                return cls(path, file.read())
        except FileNotFoundError:
            return cls(path, None)
        except OSError as e:
            raise OskaToolError(f"cannot read {os.fspath(path)}: {e.strerror or e}.") from None

    def section(self, key: str) -> Any:
        """The value of the section `key` as the library reads it (of two equal
        keys, the last), None when there is none."""
        found = [m for m in self.members if m.key == key]
        if not found:
            return None
        return json.loads(self.text[found[-1].value_start:found[-1].value_end])

    def with_section(self, key: str, section: Mapping[str, Any]) -> bytes:
        """The file's bytes with the section `key` set to `section`: the value of
        the last section of that key replaced (the one the library reads), or
        the section added after the last one; every other byte as it was."""
        if self.data is None:
            return ("{\n" + f"  {json.dumps(key)}: " + _section_text(section, "  ", "  ", "\n")
                    + "\n}\n").encode("utf-8")
        text = self.text
        newline = "\r\n" if "\r\n" in text else "\n"
        first = self.members[0] if self.members else None
        step = (_indent(text, first.key_start) if first is not None else None) or "  "
        found = [m for m in self.members if m.key == key]
        if found:
            at = found[-1]
            indent = _indent(text, at.key_start)
            new = (text[:at.value_start]
                   + _section_text(section, indent if indent is not None else "", step, newline)
                   + text[at.value_end:])
        else:
            member = f"{step}{json.dumps(key)}: " + _section_text(section, step, step, newline)
            if self.members:
                end = self.members[-1].value_end
                new = text[:end] + "," + newline + member + text[end:]
            else:
                new = (text[:self.opening + 1] + newline + member + newline
                       + text[self.closing:])
        return self.bom + new.encode("utf-8", "surrogateescape")


def write_section(path: str | os.PathLike[str], key: str, section: Mapping[str, Any],
                  verify: Callable[[Path], None] = lambda _: None) -> None:
    """Sets the section `key` of the configuration file at `path` to `section`,
    keeping every other byte of the file, or writes a new file holding only
    that section. `verify` is given the finished file under its temporary name
    and raises to refuse it; the file then stays as it was. A symbolic link is
    followed: the file it names is rewritten and the link stays."""
    target = Path(os.path.realpath(path)) if os.path.islink(path) else Path(path)
    config = ConfigText.read(target)
    data = config.with_section(key, section)
    # A full or read-only disk is an OutputError of AtomicOutput, the file as it was.
    with AtomicOutput(target) as output:
        output.path.write_bytes(data)
        if config.data is not None:
            os.chmod(output.path, stat.S_IMODE(os.stat(target).st_mode))
        verify(output.path)
