"""rosbag2 bags: a folder with metadata.yaml and its storage files, or one
storage file (MCAP or sqlite3) on its own.

Reading: the storage file of a folder is read as the file on its own would be
(a folder of several files, or with compressed files or messages, is left to
rosbags). Writing: one topic into an MCAP or sqlite3 file, with the rosbag2
metadata that rosbags writes (version 9) inside it and, for a folder, beside
it in metadata.yaml.
"""

from __future__ import annotations

from dataclasses import replace
from io import StringIO
from pathlib import Path
from typing import Any

from ruamel.yaml import YAML
from ruamel.yaml.error import YAMLError

from ..align import Stamps
from .mcap import McapFile, McapWriter
from .messages import Payloads
from .sqlite import Sqlite3File, Sqlite3Writer
from .storage import Container, NotByChunk

QOS = "[]"
"""The offered QoS profiles of the output topic: none, as rosbags writes them."""
VERSION = 9


def open_storage(path: Path) -> Container:
    """The storage file, or the one storage file of a rosbag2 folder."""
    if path.is_dir():
        return _folder(path)
    if path.suffix.lower() == ".mcap":
        return McapFile(path)
    if path.suffix.lower() == ".db3":
        return Sqlite3File(path)
    raise NotByChunk(path)


def _folder(path: Path) -> Container:
    try:
        info = YAML(typ="safe").load((path / "metadata.yaml").read_text())
        bag = info["rosbag2_bagfile_information"]
        files = [path / Path(name).name for name in bag["relative_file_paths"]]
        storage = bag["storage_identifier"]
        compressed = bag.get("compression_mode", "") not in ("", "none", "NONE", None)
    except (OSError, YAMLError, KeyError, TypeError) as e:
        raise NotByChunk(e) from None
    if len(files) != 1 or compressed or storage not in ("mcap", "sqlite3"):
        raise NotByChunk(path)
    found: Container = McapFile(files[0]) if storage == "mcap" else Sqlite3File(files[0])
    # rosbags reads the types of a folder from its own store, not from the file
    found.connections = [replace(c, definition=None) for c in found.connections]
    return found


def metadata(storage: str, path: str, topic: str, msgtype: str, digest: str, count: int,
             start: int, end: int) -> dict[str, Any]:
    """The rosbag2 metadata of a bag of one topic, as rosbags writes it."""
    duration = max(0, end - start)
    return {"rosbag2_bagfile_information": {
        "version": VERSION, "storage_identifier": storage, "relative_file_paths": [path],
        "duration": {"nanoseconds": duration},
        "starting_time": {"nanoseconds_since_epoch": start}, "message_count": count,
        "topics_with_message_count": [{
            "topic_metadata": {"name": topic, "type": msgtype, "serialization_format": "cdr",
                               "offered_qos_profiles": [], "type_description_hash": digest},
            "message_count": count}],
        "compression_format": "", "compression_mode": "",
        "files": [{"path": path, "starting_time": {"nanoseconds_since_epoch": start},
                   "duration": {"nanoseconds": duration}, "message_count": count}],
        "custom_data": None, "ros_distro": "rosbags"}}


def _yaml(value: Any) -> str:
    yaml = YAML(typ="safe")
    yaml.default_flow_style = False
    text = StringIO()
    yaml.dump(value, text)
    return text.getvalue()


class Rosbag2Writer:
    """One topic into a new `storage` file ("mcap" or "sqlite3") at `path`,
    named `name`, inside the folder `folder` (which then receives metadata.yaml)
    or on its own."""

    def __init__(self, storage: str, path: Path, name: str, folder: Path | None, topic: str,
                 msgtype: str, definition: str, digest: str) -> None:
        self.path, self.name, self.folder, self.topic, self.msgtype, self.digest = \
            path, name, folder, topic, msgtype, digest
        self.storage = storage
        if folder is not None:
            folder.mkdir()
        self.writer: McapWriter | Sqlite3Writer = \
            Sqlite3Writer(path, topic, msgtype, definition, digest, QOS) \
            if self.storage == "sqlite3" else McapWriter(path, topic, msgtype, definition, QOS)
        self.count, self.start, self.end = 0, 2**63 - 1, 0

    def write(self, logtimes: Stamps, payloads: Payloads) -> None:
        if len(logtimes):
            self.writer.write(logtimes, payloads)
            self.count += len(logtimes)
            self.start = min(self.start, int(logtimes.min()))
            self.end = max(self.end, int(logtimes.max()))

    def close(self) -> None:
        info = metadata(self.storage, self.name, self.topic, self.msgtype, self.digest,
                        self.count, self.start, self.end)
        self.writer.close(_yaml(info["rosbag2_bagfile_information"]).strip())
        if self.folder is not None:
            (self.folder / "metadata.yaml").write_text(_yaml(info), "utf8")

    def abort(self) -> None:
        self.writer.abort()
