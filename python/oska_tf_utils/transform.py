"""Transforms a recorded log with a block: the Python API of `oska-tf transform`.

`transform_table` and `transform_log` take the command's options as keyword
arguments and run the pipeline of `oska_tf_utils.pipeline` (read → align →
kernel → write) chunk by chunk, so that memory holds two chunks of the log
(the one being transformed and the next, whose first sample the angular
acceleration needs), one chunk of the transform stream and the writer's
buffers, whatever the log's length. `ChunkTransformer` and `SampleChunk`, the
kernel stage, serve code that brings its own chunks.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Mapping
from typing import Any

from .align import Difference, Outside
from .chunks import ChunkTransformer, SampleChunk, TransformResult, prepare_block
from .errors import OskaToolWarning
from .kinds import kind as find_kind
from .options import DEFAULT_CHUNK_ROWS, Options
from .pipeline import TablePart, bag_job, is_table_log, table_job

__all__ = ["ChunkTransformer", "SampleChunk", "TablePart", "TransformResult", "prepare_block",
           "transform_log", "transform_table", "transform_table_part"]


def transform_table(config: str | os.PathLike[str] | Any, block: str,
                    input: str | os.PathLike[str], output: str | os.PathLike[str], *,
                    tf: str | os.PathLike[str] | None = None,
                    columns: Mapping[str, str] | None = None,
                    tf_columns: Mapping[str, str] | None = None,
                    outside: Outside = "error", max_gap: float | None = None,
                    angular_acceleration: Difference = "none",
                    chunk_size: int = DEFAULT_CHUNK_ROWS, progress: bool = False,
                    normalize_tf: bool = False) -> TransformResult:
    """Transforms every sample of a CSV or Parquet table and writes the result.

    Args:
        config: a JSON configuration file (its section for `block`) or the
            kind's record (OskaTfConfig, OskaPayloadConfig).
        block: the block kind: "wrench", "twist", "imu", "pose", "payload"
            (every kind of the extension). The payload block takes the
            transform with every sample: the sensor's orientation.
        input, output: table paths; the format follows the extension (.csv,
            .parquet). The output has the input's columns in the input's order,
            the signal columns replaced (as float64), the others unchanged.
        tf: a table of the fixed-to-moving transform (a time column t or t_ns,
            and tx ty tz qw qx qy qz), interpolated at the samples' stamps.
            Without it, a block that needs a transform takes the columns tf_tx
            ... tf_qz of the input table, row by row.
        columns, tf_columns: {name the tool uses: column name in the file} for
            the input table and the transform table.
        outside: samples before the first or after the last transform stamp:
            "error" (the default), "drop" them, or "hold" the first or last
            transform.
        max_gap: refuse to interpolate across a gap in the transform stream
            longer than this (seconds).
        angular_acceleration: "none", "central" or "backward": derive the
            angular acceleration from the angular rate for a block that takes it.
        chunk_size: rows per chunk; the result does not depend on it.
        progress: show a progress bar on a terminal.
        normalize_tf: normalise every transform quaternion before it is
            interpolated or used. Otherwise quaternions whose norm is off 1 by
            more than 1e-6 are used as given, with one OskaToolWarning per log.

    Raises:
        OskaToolError: the configuration or the log cannot be used (a zero
            transform quaternion among others); no output is written then.
        ValueError, TypeError: an option's value or type is not one it takes
            (before anything is read).
    """
    result = transform_table_part(config, block, input, output, None, tf=tf, columns=columns,
                                  tf_columns=tf_columns, outside=outside, max_gap=max_gap,
                                  angular_acceleration=angular_acceleration,
                                  chunk_size=chunk_size, progress=progress,
                                  normalize_tf=normalize_tf)
    _warn(result)
    return result


def transform_table_part(config: str | os.PathLike[str] | Any, block: str,
                         input: str | os.PathLike[str], output: str | os.PathLike[str],
                         part: TablePart | None, *, tf: str | os.PathLike[str] | None = None,
                         columns: Mapping[str, str] | None = None,
                         tf_columns: Mapping[str, str] | None = None,
                         outside: Outside = "error", max_gap: float | None = None,
                         angular_acceleration: Difference = "none",
                         chunk_size: int = DEFAULT_CHUNK_ROWS, progress: bool = False,
                         normalize_tf: bool = False) -> TransformResult:
    """`transform_table` over the whole table (`part` None) or over some row
    groups of a Parquet table, written to `output` on their own: the rows just
    before and after the part carry what crosses its edges (time order and
    the angular acceleration), so that its rows come out as in a run over the
    whole table. Each part of a table can thus be transformed by another
    process at the same time. Warns about nothing: what it would warn about
    is in the result's `quaternions`."""
    kind = find_kind(block)
    options = Options(tf=tf, columns=columns, tf_columns=tf_columns, outside=outside,
                      max_gap=max_gap, angular_acceleration=angular_acceleration,
                      chunk_size=chunk_size, progress=progress, normalize_tf=normalize_tf)
    return table_job(config, kind, input, output, part, options)


def transform_log(config: str | os.PathLike[str] | Any, block: str,
                  input: str | os.PathLike[str], output: str | os.PathLike[str], *,
                  topic: str | None = None, output_topic: str | None = None,
                  output_frame: str | None = None, tf: str | os.PathLike[str] | None = None,
                  tf_topic: str | None = None, tf_frames: tuple[str, str] | None = None,
                  columns: Mapping[str, str] | None = None,
                  tf_columns: Mapping[str, str] | None = None,
                  outside: Outside = "error", max_gap: float | None = None,
                  angular_acceleration: Difference = "none",
                  chunk_size: int = DEFAULT_CHUNK_ROWS, progress: bool = False,
                  normalize_tf: bool = False) -> TransformResult:
    """Transforms a recorded log: a table (as `transform_table`) or a ROS bag.

    A bag (.mcap, .db3, a rosbag2 folder, a ROS 1 .bag) is read from `topic`,
    whose message type says what it carries (geometry_msgs WrenchStamped,
    TwistStamped, AccelStamped, PoseStamped, sensor_msgs Imu); stamps come from
    the message headers. The transform comes from `tf_topic` (PoseStamped or
    TransformStamped), from /tf (and /tf_static) for `tf_frames` = (parent,
    child), or from a table `tf`. The output is a bag of the same kind as its
    extension says (.mcap, .db3, .bag, or a rosbag2 folder for a path without
    one) holding `output_topic` (default: the input topic + "_transformed")
    with the same message type and header stamps and `output_frame` in the
    header; or a table (.parquet, .csv) with t_ns and the signal columns.

    The other arguments are those of `transform_table`. Raises OskaToolError
    when the configuration or the log cannot be used; no output is written then.
    """
    options = Options(topic=topic, output_topic=output_topic, output_frame=output_frame, tf=tf,
                      tf_topic=tf_topic, tf_frames=tf_frames, columns=columns,
                      tf_columns=tf_columns, outside=outside, max_gap=max_gap,
                      angular_acceleration=angular_acceleration, chunk_size=chunk_size,
                      progress=progress, normalize_tf=normalize_tf)
    result = log_job(config, block, input, output, options)
    _warn(result)
    return result


def _warn(result: TransformResult) -> None:
    for line in result.warnings:
        warnings.warn(line, OskaToolWarning, stacklevel=3)


def log_job(config: str | os.PathLike[str] | Any, block: str, input: str | os.PathLike[str],
            output: str | os.PathLike[str], options: Options) -> TransformResult:
    """`transform_log` with its options checked, warning about nothing: what
    it would warn about is in the result's `quaternions`."""
    if is_table_log(input, options):
        return table_job(config, find_kind(block), input, output, None, options)
    return bag_job(config, find_kind(block), input, output, options)
