"""Every log format the tool reads and writes, behind one file interface.

A reader yields a log's samples as `SampleChunk`s (and the transform stream as
(stamps, rows) chunks); a writer takes each chunk's output and is committed
whole by `output.AtomicOutput`, or not at all. The modules:

- `tables`: CSV and Parquet tables (pyarrow);
- `bags`: a ROS bag's topics as signal and transform chunks, and the output
  topic, over the containers below and the message codec;
- `messages`: the fixed-layout message payloads, decoded and encoded by chunk;
- `mcap`, `sqlite`, `rosbag1`, `rosbag2`: the bag containers (MCAP and sqlite3
  storage files, ROS 1 bags, rosbag2 folders);
- `output`: outputs that appear whole or not at all;
- `config_file`: one section of a configuration file replaced, the rest of
  the file kept byte for byte.

Only the bag modules import the bag libraries, and only when a bag is opened.
"""

from __future__ import annotations

import os
from pathlib import Path

BAG_SUFFIXES = (".mcap", ".db3", ".bag")


def is_bag(path: str | os.PathLike[str]) -> bool:
    """Whether `path` names a bag: by extension, or a rosbag2 folder."""
    p = Path(path)
    return p.suffix.lower() in BAG_SUFFIXES or p.joinpath("metadata.yaml").is_file()


STORAGE_SUFFIXES = (".db3", ".mcap")
"""The storage files of rosbag2, which the tool also reads on their own."""


def folder_without_metadata(path: str | os.PathLike[str]) -> str | None:
    """Why a folder without metadata.yaml is not a log the tool reads, and
    which of its files can be given instead; None for any other path."""
    folder = Path(path)
    if not folder.is_dir() or folder.joinpath("metadata.yaml").exists():
        return None
    stored = sorted(str(f) for f in folder.iterdir() if f.suffix.lower() in STORAGE_SUFFIXES)
    found = (f"the .db3 or .mcap file itself can be given: {', '.join(stored)}." if stored else
             "it holds no .db3 or .mcap file either, which could be given on its own.")
    return (f"{os.fspath(path)}: the folder has no metadata.yaml, so it is not a rosbag2 bag "
            f"the tool can open; {found}")


def frame(name: str) -> str:
    """A frame name as the tool compares it: without a leading slash."""
    return name[1:] if name.startswith("/") else name
