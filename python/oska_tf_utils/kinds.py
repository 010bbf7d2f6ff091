"""The block kinds of the extension, described by the blocks' own class attributes.

Nothing here lists the kinds by hand: every class of ``oska_tf_utils_ext`` that
carries ``SIGNAL_SIZE`` is a block kind, and its class attributes (``KIND``,
``COMPONENTS``, ``COMPONENT_GROUPS``, ``CONFIG_SECTION``, ``HAS_TRANSFORM``,
``AUX_INPUT``, ``ROS_MESSAGE_TYPES``), made by the extension from the C++
traits of the block, say what it transforms. A kind added to the extension is
picked up as it is, and nothing is read back out of a docstring.
"""

from __future__ import annotations

import functools
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
    """The kind's name, as `--block` takes it ("wrench", "imu", ...): the class's
    KIND, which is the name of its signal (SIGNAL) but for a kind that works on
    another kind's signal ("payload", on the wrench)."""
    cls: type[Any]
    size: int
    section: str
    """The configuration file section the block reads."""
    components: tuple[str, ...]
    """The signal's component names, also the table column names."""
    has_transform: bool
    """Whether the block takes a fixed-to-moving transform per sample."""
    aux: tuple[str, int] | None
    """The extra batch input update_batch takes, as (keyword, values per
    sample), e.g. ("angular_acceleration", 3); None for most kinds."""
    component_groups: tuple[tuple[str, tuple[str, ...], str], ...]
    """(name, components, unit) of each run of components that share a unit,
    in order: ("force", ("fx", "fy", "fz"), "N"), ...; unit "" when unitless."""
    ros_message_types: tuple[str, ...]
    """The ROS message types that carry this kind's signal."""

    @property
    def names_its_signal(self) -> bool:
        """Whether the kind is named after its signal ("wrench"), rather than
        working on another kind's signal ("payload", on the wrench). Error
        messages suggest such a kind first for a message type."""
        return bool(self.signal == self.cls.SIGNAL)

    @property
    def takes_angular_acceleration(self) -> bool:
        """Whether update_batch accepts the angular acceleration (the last three
        components are then the angular rate it derives from)."""
        return self.aux is not None and self.aux[0] == "angular_acceleration"

    @property
    def configured_by_entries(self) -> bool:
        """Whether the kind is configured by the four entries (an OskaTfConfig),
        rather than by a record of its own (the payload's)."""
        return bool(self.cls.CONFIG_RECORD is _ext.OskaTfConfig)

    @property
    def transform_needed(self) -> str:
        """Why the block needs the fixed-to-moving transform with every sample,
        as the opening of a message: an entry on the moving frame, or, for a
        kind with no entries that takes the transform, always."""
        if self.configured_by_entries:
            return (f"the {self.section} section puts an entry on the moving frame, so every "
                    "sample needs the fixed-to-moving transform")
        return (f"the {self.signal} block turns its signal's axes with the moving frame, so "
                "every sample needs the fixed-to-moving transform (the moving frame's pose in "
                "the fixed frame)")

    def groups(self) -> list[tuple[str, ...]]:
        """The components in their groups: (fx, fy, fz), (tx, ty, tz)."""
        return [components for _, components, _ in self.component_groups]

    def build(self, config: Any) -> Block:
        """A block of this kind from a configuration file path or its record
        (CONFIG_RECORD: an OskaTfConfig, an OskaPayloadConfig)."""
        block: Block = self.cls(config)
        return block


@functools.cache
def kinds() -> dict[str, Kind]:
    """Every block kind of the extension, by kind name, in registration order."""
    found: dict[str, Kind] = {}
    for value in vars(_ext).values():
        if isinstance(value, type) and hasattr(value, "SIGNAL_SIZE"):
            cls: Any = value
            aux = cls.AUX_INPUT
            found[cls.KIND] = Kind(
                signal=cls.KIND,
                cls=cls,
                size=int(cls.SIGNAL_SIZE),
                section=cls.CONFIG_SECTION,
                components=tuple(cls.COMPONENTS),
                has_transform=bool(cls.HAS_TRANSFORM),
                aux=None if aux is None else (str(aux[0]), int(aux[1])),
                component_groups=tuple((str(name), tuple(members), str(unit))
                                       for name, members, unit in cls.COMPONENT_GROUPS),
                ros_message_types=tuple(cls.ROS_MESSAGE_TYPES),
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
