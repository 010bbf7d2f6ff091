"""The block kinds of the extension, described by the blocks' own class attributes.

Nothing here lists the kinds by hand: every class of ``oska_tf_utils_ext`` that
carries ``SIGNAL_SIZE`` is a block kind, and its ``SIGNAL``, ``COMPONENTS``,
``CONFIG_SECTION`` and ``HAS_TRANSFORM`` say what it transforms, so a kind
added to the extension is picked up as it is.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass
from typing import Any, Protocol

import oska_tf_utils_ext as _ext


class Block(Protocol):
    """What the tool uses of a block instance."""

    def name(self) -> str: ...

    def is_ready(self) -> bool: ...

    def update_batch(self, *args: Any, **kwargs: Any) -> Any: ...


@dataclass(frozen=True)
class Kind:
    """One block kind: its class and the shape of its signal."""

    signal: str
    """The kind's name, as `--block` takes it ("wrench", "imu", ...)."""
    cls: type[Any]
    size: int
    section: str
    """The configuration file section the block reads."""
    components: tuple[str, ...]
    """The signal's component names, also the table column names."""
    has_transform: bool
    """Whether the block takes a fixed-to-moving transform per sample."""
    takes_angular_acceleration: bool
    """Whether update_batch accepts the angular acceleration (the last three
    components are then the angular rate it derives from)."""
    units: tuple[str, ...]
    """Units of the component groups, in order, where the block states them."""

    def groups(self) -> list[tuple[str, ...]]:
        """Components grouped by their leading letter: (fx, fy, fz), (tx, ty, tz)."""
        groups: list[list[str]] = []
        for name in self.components:
            if groups and groups[-1][0][0] == name[0]:
                groups[-1].append(name)
            else:
                groups.append([name])
        return [tuple(g) for g in groups]

    def build(self, config: Any) -> Block:
        """A block of this kind from a configuration file path or an OskaTfConfig."""
        block: Block = self.cls(config)
        return block


def _units(cls: type[Any]) -> tuple[str, ...]:
    # The update docstring ends its first line with the units, e.g. "(N and N·m)".
    first = (getattr(cls.update, "__doc__", None) or "").strip().splitlines()
    line = next((ln for ln in first if ln.startswith("Transform ")), "")
    found = re.search(r"\(([^()]*)\)\.\s*$", line)
    return tuple(u.strip() for u in found.group(1).split(" and ")) if found else ()


@functools.cache
def kinds() -> dict[str, Kind]:
    """Every block kind of the extension, by signal name, in registration order."""
    found: dict[str, Kind] = {}
    for value in vars(_ext).values():
        if isinstance(value, type) and hasattr(value, "SIGNAL_SIZE"):
            cls: Any = value
            doc = getattr(cls.update_batch, "__doc__", None) or ""
            found[cls.SIGNAL] = Kind(
                signal=cls.SIGNAL,
                cls=cls,
                size=int(cls.SIGNAL_SIZE),
                section=cls.CONFIG_SECTION,
                components=tuple(cls.COMPONENTS),
                has_transform=bool(cls.HAS_TRANSFORM),
                takes_angular_acceleration="angular_acceleration" in doc,
                units=_units(cls),
            )
    return found


def kind(name: str) -> Kind:
    """The kind called `name`; ValueError naming the known kinds otherwise."""
    try:
        return kinds()[name]
    except KeyError:
        raise ValueError(f"unknown block kind {name!r}; known: {', '.join(kinds())}") from None


TRANSFORM_COLUMNS = ("tx", "ty", "tz", "qw", "qx", "qy", "qz")
"""The fixed-to-moving transform's components, as update_batch takes them."""
