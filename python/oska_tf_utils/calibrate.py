"""Calibrates a force/torque sensor's payload from a recorded log: the Python
API of `oska-tf calibrate`.

`calibrate_log` reads the sensor's wrench and the fixed-to-moving transform of
each sample as `transform_log` reads them (`pipeline.AlignedLog`: the same
tables, bags, columns, transform sources and interpolation), turns the
transform into the sensor's orientation (q = q_tf ⊗ sensor_axes, as the
payload block does), leaves out the samples taken while the sensor turned
(`payload.still_samples`) and identifies the payload from the rest
(`identify_payload`). `save_calibration` writes the result into the
configuration file's "tf_payload_config" section, every other byte of the file
kept, and checks that the payload block loads it before the file is replaced.
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import oska_tf_utils_ext as _ext

from .align import seconds
from .errors import OskaToolError
from .formats.config_file import ConfigText, write_section
from .formats.output import refuse_overwriting_inputs
from .kinds import Kind, kind as find_kind
from .options import DEFAULT_CHUNK_ROWS, Options, check_still
from .payload import (DEFAULT_MAX_RATE, DEFAULT_SETTLE, STANDARD_GRAVITY, PayloadEstimate,
                      compose, identify_payload, still_samples)
from .pipeline import AlignedLog
from .progress import Progress

IDENTITY_AXES = (1.0, 0.0, 0.0, 0.0)
DEFAULT_NAME = "payload"


def payload_kind() -> Kind:
    """The block kind that compensates a payload."""
    return find_kind(_ext.OskaTfPayload.KIND)


@dataclass(frozen=True)
class Calibration:
    """The payload identified from a log, and how the log's samples were used."""

    input: str
    estimate: PayloadEstimate
    sensor_axes: tuple[float, float, float, float]
    """The sensor's axes in the moving frame, [w, x, y, z], that the
    orientations were made with (and that the section keeps)."""
    samples_read: int
    samples_outside: int
    """Samples outside the transform stream (before its first or after its
    last stamp), left out."""
    samples_moving: int
    """Samples taken while the sensor turned faster than `max_rate`."""
    samples_settling: int
    """Samples within `settle` seconds of such motion."""
    still_periods: int
    """Runs of still samples: the poses the log held."""
    max_rate: float
    settle: float
    transform: str
    """Where the transform came from."""
    seconds: float

    @property
    def samples_used(self) -> int:
        return self.estimate.samples

    def section(self, name: str | None = None,
                base: Mapping[str, Any] | None = None) -> dict[str, Any]:
        """The "tf_payload_config" section for this payload: `base` (the section
        it replaces) with its keys in their order and the identified values in
        place, the keys it lacks after them. The name is `name`, else the
        base's, else "payload"; the policy and any other key of the base stay."""
        section = dict(base or {})
        kept = section.get("name")
        section.update(self.estimate.to_config(
            name or (kept if isinstance(kept, str) else DEFAULT_NAME)))
        section["sensor_axes"] = list(self.sensor_axes)
        return section

    def to_dict(self) -> dict[str, Any]:
        """The calibration as a JSON-ready dictionary."""
        e = self.estimate

        def value(v: Any, err: Any) -> dict[str, Any]:
            return {"value": np.asarray(v).tolist(), "stderr": np.asarray(err).tolist()}

        return {
            "input": self.input,
            "transform": self.transform,
            "mass": value(e.mass, e.mass_stderr),
            "center_of_mass": value(e.center_of_mass, e.center_of_mass_stderr),
            "force_bias": value(e.force_bias, e.force_bias_stderr),
            "torque_bias": value(e.torque_bias, e.torque_bias_stderr),
            "residual_rms": {"force": e.force_residual_rms, "torque": e.torque_residual_rms},
            "gravity": e.gravity.tolist(),
            "sensor_axes": list(self.sensor_axes),
            "samples": {"read": self.samples_read, "used": self.samples_used,
                        "moving": self.samples_moving, "settling": self.samples_settling,
                        "outside_transform": self.samples_outside},
            "still_periods": self.still_periods,
            "max_rate": self.max_rate,
            "settle": self.settle,
            "seconds": self.seconds,
        }


def _vector(values: Any, size: int, what: str) -> tuple[float, ...]:
    """`values` as `size` finite numbers, not all zero; refused otherwise."""
    try:
        numbers = tuple(float(v) for v in values if not isinstance(v, bool))
        ok = len(numbers) == size == len(values)
    except (TypeError, ValueError):
        numbers, ok = (), False
    if not ok or not all(math.isfinite(v) for v in numbers) or not any(numbers):
        raise OskaToolError(f"{what} must be {size} finite numbers, not all zero, not {values!r}.")
    return numbers


def existing_section(config: str | os.PathLike[str] | None) -> dict[str, Any]:
    """The payload section of the configuration file `config` as the library
    reads it; empty when there is no file or no such section."""
    if config is None:
        return {}
    found = ConfigText.read(config).section(payload_kind().section)
    return dict(found) if isinstance(found, dict) else {}


def calibrate_log(input: str | os.PathLike[str], *, config: str | os.PathLike[str] | None = None,
                  sensor_axes: Sequence[float] | None = None,
                  gravity: Sequence[float] | None = None, topic: str | None = None,
                  tf: str | os.PathLike[str] | None = None, tf_topic: str | None = None,
                  tf_frames: tuple[str, str] | None = None,
                  columns: Mapping[str, str] | None = None,
                  tf_columns: Mapping[str, str] | None = None, max_gap: float | None = None,
                  max_rate: float = DEFAULT_MAX_RATE, settle: float = DEFAULT_SETTLE,
                  chunk_size: int = DEFAULT_CHUNK_ROWS, progress: bool = False) -> Calibration:
    """Identifies the payload of a force/torque sensor from a recorded log.

    Args:
        input: the log: a table (.csv, .parquet: columns fx ... tz, a time
            column t or t_ns, and tf_tx ... tf_qz or a transform table `tf`) or
            a bag (`topic`, a WrenchStamped topic, with the transform from
            `tf_topic`, `tf_frames` = (parent, child) on /tf, or `tf`), as
            `transform_log` takes it. The wrench is in the sensor's axes about
            its origin; the transform is the pose of the moving frame (the
            flange) in the fixed frame, the gravity frame.
        config: a configuration file whose payload section, if it has one,
            gives `sensor_axes` and `gravity` when they are not given here.
        sensor_axes: the sensor's axes in the moving frame, [w, x, y, z]
            (default: the config's, else the identity).
        gravity: gravity in the fixed frame, m/s² (default: the config's,
            else [0, 0, -9.80665]).
        max_rate: deg/s; samples taken while the sensor turned faster are left
            out, and with them those within `settle` seconds of such motion.
        max_gap, columns, tf_columns, chunk_size, progress: as for
            `transform_log`. Samples outside the transform stream are left out.

    Raises OskaToolError when the log cannot be read or does not determine
    the payload (one orientation only, turns about the vertical only, no
    still samples), saying what to record.
    """
    started = time.monotonic()
    check_still(max_rate, settle)
    options = Options(topic=topic, tf=tf, tf_topic=tf_topic, tf_frames=tf_frames,
                      columns=columns, tf_columns=tf_columns, outside="drop", max_gap=max_gap,
                      chunk_size=chunk_size, progress=progress)
    options.check_one_transform()
    base = existing_section(config)
    axes = _vector(sensor_axes if sensor_axes is not None
                   else base.get("sensor_axes", IDENTITY_AXES), 4, "sensor_axes")
    g = _vector(gravity if gravity is not None else base.get("gravity", STANDARD_GRAVITY), 3,
                "gravity")
    kind = payload_kind()
    wrenches, stamps, flange = [], [], []
    with AlignedLog(kind, input, options) as log, \
            Progress(f"calibrate {Path(input).name}", log.source.total, log.source.unit,
                     progress) as bar:
        for chunk in log.chunks():
            assert chunk.stamps is not None and chunk.tf is not None
            wrenches.append(np.asarray(chunk.signal, np.float64))
            stamps.append(chunk.stamps)
            flange.append(np.asarray(chunk.tf[:, 3:], np.float64))
            bar.update(log.position)
        outside, transform = log.outside, log.transform
    read = sum(len(s) for s in stamps) + outside
    if not read - outside:
        raise OskaToolError(f"{os.fspath(input)} holds no sample " + (
            "inside the transform stream's time span." if read else "to calibrate from."))
    q, t, w = np.concatenate(flange), np.concatenate(stamps), np.concatenate(wrenches)
    dropout, what = ~np.isfinite(w).all(axis=1), "the wrench is not finite"
    if not dropout.any():
        dropout = ~np.isfinite(q).all(axis=1) | ~((q * q).sum(axis=1) > 0)
        what = "the transform's rotation is zero or not finite"
    if dropout.any():
        raise OskaToolError(f"at {seconds(t[np.argmax(dropout)])}, {what} (a dropout?), which "
                            "no payload explains: cut it out of the log.")
    orientations = compose(q / np.linalg.norm(q, axis=1, keepdims=True),
                           np.asarray(axes, np.float64))
    still = still_samples(t, orientations, max_rate=max_rate, settle=settle)
    if not still.keep.any():
        raise OskaToolError(f"no still samples in {os.fspath(input)}: the sensor turned faster "
                            f"than {max_rate:g} deg/s, or less than {settle:g} s before or "
                            f"after doing so, at all {read - outside} samples. Record static "
                            "poses, each held still for a few seconds, or raise --max-rate.")
    estimate = identify_payload(w[still.keep], orientations[still.keep], gravity=g)
    return Calibration(os.fspath(input), estimate, (axes[0], axes[1], axes[2], axes[3]), read,
                       outside, still.moving, still.settling, still.periods, max_rate, settle,
                       transform, time.monotonic() - started)


def save_calibration(config: str | os.PathLike[str], calibration: Calibration,
                     name: str | None = None, *,
                     inputs: Sequence[str | os.PathLike[str] | None] = ()) -> dict[str, Any]:
    """Writes the payload section of `calibration` into the configuration file
    `config`: a new file, or the file with that section replaced (its name,
    policy and other keys kept, `name` replacing the name) and every other
    byte as it was. The payload block loads the new file before it replaces
    the old one; `inputs` are other files that `config` must not be. Returns
    the section written."""
    refuse_overwriting_inputs(config, [calibration.input, *inputs])
    kind = payload_kind()
    section = calibration.section(name, existing_section(config))

    def loads(path: Path) -> None:
        try:
            kind.build(str(path))
        except (RuntimeError, ValueError) as e:
            raise OskaToolError(f"the payload section would not load: {e}. {os.fspath(config)} "
                                "is left as it was.") from None

    write_section(config, kind.section, section, loads)
    return section
