"""oska_tf_utils: check OskaTfUtils configurations and transform recorded logs.

The Python API of the `oska-tf` tool, over the extension modules
``oska_tf_utils_ext`` (the blocks) and ``oska_control`` (the enumerations):

- `check_config(path)`: what the library would make of a JSON configuration
  file, as a list of `Finding`s (severity, JSON path, message);
- `transform_table(config, block, input, output, ...)`: transform every sample
  of a CSV or Parquet table;
- `transform_log(config, block, input, output, ...)`: the same for any log the
  tool reads, tables and ROS 1 and ROS 2 bags;
- `plot_logs(input, output, block, figure)`: input and output against time;
- `identify_payload(wrenches, orientations)`: mass, centre of mass and bias of
  a force/torque sensor's payload from static poses (a `PayloadEstimate`);
- `calibrate_log(input, ...)`: the same from a recorded log, the motion
  between the poses left out (a `Calibration`), and `save_calibration(config,
  calibration)`, which writes its section into a configuration file.

The same transforms on a Dask cluster (arrays, DataFrames, many log files) are
in `oska_tf_utils.dask`, which needs the dask extra as well.

Reading and writing logs needs the logs extra: pip install "oska-tf-utils[logs]".
Errors a person can fix raise `OskaToolError` with a one-paragraph message;
what a log holds that is used as given but most likely not meant (transform
quaternions that are not unit) is an `OskaToolWarning`, once per log.
"""

from __future__ import annotations

from .align import angular_acceleration, slerp
from .calibrate import Calibration, calibrate_log, save_calibration
from .config_check import Finding, check_config, check_config_bytes, exit_code
from .errors import MissingExtraError, OskaToolError, OskaToolWarning
from .kinds import Kind, kind, kinds
from .payload import PayloadEstimate, identify_payload
from .plot import plot_logs
from .transform import (ChunkTransformer, SampleChunk, TransformResult, prepare_block,
                        transform_log, transform_table)

__all__ = [
    "Calibration",
    "ChunkTransformer",
    "Finding",
    "Kind",
    "MissingExtraError",
    "OskaToolError",
    "OskaToolWarning",
    "PayloadEstimate",
    "SampleChunk",
    "TransformResult",
    "angular_acceleration",
    "calibrate_log",
    "check_config",
    "check_config_bytes",
    "exit_code",
    "identify_payload",
    "kind",
    "kinds",
    "plot_logs",
    "prepare_block",
    "save_calibration",
    "slerp",
    "transform_log",
    "transform_table",
]
