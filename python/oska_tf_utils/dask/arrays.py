"""Dask arrays of samples through a block: one `map_blocks`, each chunk through the pipeline."""

from __future__ import annotations

import os
import warnings
from typing import Any

import dask.array as da
import numpy as np

from ..align import Floats, QuaternionCheck, QuaternionReport
from ..chunks import ChunkTransformer, SampleChunk, prepare_block
from ..errors import OskaToolError, OskaToolWarning
from ..kinds import kind as find_kind
from ..options import check_flag
from ..pipeline import Kept, run


def transform_array(block_config: str | os.PathLike[str] | Any, kind: str, samples: Any,
                    tf: Any = None, *, angular_acceleration: Any = None,
                    normalize_tf: bool = False) -> da.Array:
    """The block's output for a Dask array of samples, as a Dask array.

    Args:
        block_config: a JSON configuration file (its section for `kind`),
            readable by every worker, or the kind's record (OskaTfConfig,
            OskaPayloadConfig).
        kind: the block kind as `oska-tf transform --block` names it.
        samples: (M, N) samples, N the kind's signal size, chunked along the
            samples (a chunking across the components is undone).
        tf: (M, 7) fixed-to-moving transforms, one per sample, when the
            block needs the transform (an entry on the moving frame, or a
            kind that always takes it, as the payload); rechunked like
            `samples`.
        angular_acceleration: (M, 3) angular accelerations for a block that
            takes them (imu), rechunked like `samples`.
        normalize_tf: normalise every quaternion of `tf` before it is used;
            otherwise those whose norm is off 1 by more than 1e-6 are used as
            given, with an OskaToolWarning. A zero quaternion is an error when
            the result is computed, either way.

    One `map_blocks` call: each chunk is transformed by a block built on the
    worker from `block_config`. Raises OskaToolError at once when the configuration
    cannot be used or an argument does not fit.
    """
    the_kind = find_kind(kind)
    check_flag("normalize_tf", normalize_tf)
    _, needs_tf = prepare_block(block_config, the_kind)
    signal = da.asarray(samples)
    if signal.ndim != 2 or signal.shape[1] != the_kind.size:
        raise OskaToolError(f"the {the_kind.signal} block takes samples of shape (M, "
                            f"{the_kind.size}), not {signal.shape}.")
    signal = signal.rechunk({1: -1})
    rows = signal.chunks[0]
    extra = []
    if needs_tf:
        if tf is None:
            raise OskaToolError(f"{the_kind.transform_needed}: give tf, one transform per "
                                "sample.")
        extra.append(_rows_like(tf, rows, 7, "tf"))
    if angular_acceleration is not None:
        if not the_kind.takes_angular_acceleration:
            raise OskaToolError(f"the {the_kind.signal} block takes no angular acceleration.")
        extra.append(_rows_like(angular_acceleration, rows, 3, "angular_acceleration"))
    result: da.Array = da.map_blocks(
        _array_chunk, signal, *extra, config=block_config, kind=kind, has_tf=needs_tf,
        has_alpha=angular_acceleration is not None, normalize_tf=normalize_tf,
        dtype=np.float64, chunks=signal.chunks,
        meta=np.empty((0, 0), np.float64))
    return result


def _rows_like(values: Any, rows: tuple[int, ...], width: int, name: str) -> da.Array:
    array = da.asarray(values)
    if array.shape != (sum(rows), width):
        raise OskaToolError(f"{name} must have shape ({sum(rows)}, {width}), one row per "
                            f"sample, not {array.shape}.")
    rechunked: da.Array = array.rechunk((rows, width))
    return rechunked


def _array_chunk(signal: Floats, *extra: Floats, config: Any, kind: str, has_tf: bool,
                 has_alpha: bool, normalize_tf: bool, block_info: Any = None) -> Floats:
    the_kind = find_kind(kind)
    block, needs_tf = prepare_block(config, the_kind)
    given = iter(extra)
    tf = next(given) if has_tf else None
    alpha = next(given) if has_alpha else None
    output = Kept()
    transformer = ChunkTransformer(block, the_kind, needs_tf,
                                   check=QuaternionCheck("the tf array", normalize_tf))
    if block_info is not None:  # its rows are counted from the array's first
        transformer.rows_before = int(block_info[None]["array-location"][0][0])
    run(iter([SampleChunk(signal=signal, tf=tf, angular_acceleration=alpha)]), transformer,
        output)
    warn_partition(transformer.quaternions)
    assert output.out is not None
    return output.out


def warn_partition(found: QuaternionReport | None) -> None:
    """Warns, in the task, about a chunk's transform quaternions that are not
    unit: in the same words for every chunk, which Python shows once."""
    if found is not None and found.count:
        warnings.warn(f"{found.source} holds transform quaternions whose norm is off 1 by "
                      "more than 1e-6; they are used as given, and a non-unit quaternion mixes "
                      "the unrotated vector into the rotated one: pass normalize_tf=True to "
                      "normalise them.", OskaToolWarning, stacklevel=2)
