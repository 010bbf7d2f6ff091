"""A picture of what a transform did: input and output components against time."""

from __future__ import annotations

import os
from collections.abc import Mapping
from pathlib import Path
import numpy as np

from .align import NS_PER_S, Floats
from .errors import OskaToolError, require
from .kinds import Kind, kind as find_kind
from .formats import folder_without_metadata, is_bag
from .formats.output import AtomicOutput
from .formats.tables import TableReader, column_stamps, matrix, resolve_columns, table_format

MAX_POINTS = 20_000
"""Samples drawn per series at most; longer logs are thinned evenly."""


def _read(path: str | os.PathLike[str], kind: Kind, topic: str | None,
          columns: Mapping[str, str] | None) -> tuple[Floats, Floats, str]:
    """(time axis, signal, axis label) of a whole log."""
    times: list[Floats] = []
    values: list[Floats] = []
    label = "time (s)"
    if table_format(path) is not None:
        reader = TableReader(path)
        names = resolve_columns(reader.names, reader.path, kind.components, columns)
        for batch in reader.batches():
            values.append(matrix(batch, names.signal, reader.path))
            if names.time:
                times.append(column_stamps(batch, names, reader.path).astype(np.float64))
        if not names.time:
            label = "sample"
    else:
        from .formats import bags

        if not is_bag(path):
            raise OskaToolError(folder_without_metadata(path) or
                                f"{os.fspath(path)}: not a log the tool reads (a table or a bag).")
        if not topic:
            raise OskaToolError(f"{os.fspath(path)} is a bag: name its topic with --topic.")
        with bags.Bag(path) as bag:
            msgtype = bag.topic(topic, "the plot")[1]
            if kind not in bags.signal_kinds().get(msgtype, []):
                raise OskaToolError(f"the topic {topic} carries {msgtype}, not a {kind.signal} "
                                    "signal.")
            for chunk in bag.signal(topic, kind, 65536).chunks():
                assert chunk.stamps is not None
                values.append(chunk.signal)
                times.append(chunk.stamps.astype(np.float64))
    signal = np.concatenate(values) if values else np.empty((0, kind.size))
    if times:
        t = np.concatenate(times)
        t = (t - t[0]) / NS_PER_S if len(t) else t
    else:
        t = np.arange(len(signal), dtype=np.float64)
    return t, signal, label


def plot_logs(input: str | os.PathLike[str], output: str | os.PathLike[str], block: str,
              figure: str | os.PathLike[str], *, topic: str | None = None,
              output_topic: str | None = None, columns: Mapping[str, str] | None = None) -> Path:
    """Draws the input and the transformed components of a log against time,
    one panel per component group (force and moment, linear and angular),
    input dashed and output solid, and saves the figure (PNG, SVG or PDF by
    extension). Time is counted from each log's first sample.

    `input` and `output` are tables or bags (with `topic` and `output_topic`,
    which defaults to the topic + "_transformed"). Returns the figure's path.
    """
    require("matplotlib", "Plotting")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kind = find_kind(block)
    t_in, x_in, label = _read(input, kind, topic, columns)
    out_topic = output_topic or (f"{topic}_transformed" if topic else None)
    t_out, x_out, _ = _read(output, kind, out_topic, columns)
    groups = kind.component_groups
    fig, axes = plt.subplots(len(groups), 1, figsize=(10, 2.8 * len(groups)), sharex=True,
                             squeeze=False)
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for ax, (_, names, group_unit) in zip(axes[:, 0], groups):
        for c, name in enumerate(names):
            j = kind.components.index(name)
            colour = colours[c % len(colours)]
            for t, x, style, tag in ((t_in, x_in, "--", "in"), (t_out, x_out, "-", "out")):
                step = max(1, len(t) // MAX_POINTS)
                ax.plot(t[::step], x[::step, j], style, color=colour, linewidth=1.0,
                        label=f"{name} {tag}")
        unit = f" ({group_unit})" if group_unit else ""
        ax.set_ylabel(", ".join(names) + unit)
        ax.grid(True, alpha=0.3)
        ax.legend(loc="upper right", ncol=len(names), fontsize="small")
    axes[-1, 0].set_xlabel(label)
    fig.suptitle(f"{kind.signal}: {Path(input).name} (dashed) and {Path(output).name} (solid)")
    fig.tight_layout()
    path = Path(figure)
    try:
        # Written as every output is: whole, or not at all.
        with AtomicOutput(path) as target:
            fig.savefig(target.path, dpi=110,
                        format=path.suffix[1:].lower() or plt.rcParams["savefig.format"])
    except ValueError as e:
        raise OskaToolError(f"cannot save the figure {path}: {e}") from None
    finally:
        plt.close(fig)
    return path
