#!/usr/bin/env python3
"""Merges the benchmark outputs of one run into bench/RESULTS.md.

Inputs (all from the same run of bench/run.sh):

--cpp FILE        Google Benchmark JSON of the C++ timing program, run with
                  repetitions and aggregates (median, cv).
--callgrind DIR   The count driver's callgrind dumps (one per case, named by
                  the client request that triggered it) and cases.txt, whose
                  lines are "<case> <cycles>".
--notes FILE      Optional. Hand-written Markdown appended as it is (the
                  profile notes, bench/notes.md).
--python FILE     Optional. JSON written by bench/bench_python.py:
                    {"context": {"<key>": "<text>", ...},
                     "benchmarks": [{"name": "<block>/<config>/<impl>",
                                     "median_ns": <float>,
                                     "cv": <float, optional>,
                                     "note": "<text, optional>",
                                     "floor": "<name of its floor case, optional>",
                                     "per_sample": <true: the case that is
                                                    compared with the peers>,
                                     "target_floor": <true: held to the floor
                                                      target>}, ...]}
                  Its cases are shown in a table of their own, with their
                  ratio to their Python floor case, to the Python peers
                  "<block>/<config>/numpy" and "<block>/<config>/pin", and to
                  the C++ case "<block>/<config>/ours"; then the Python
                  targets, read from the same figures.

--latency FILE    Optional. JSON written by the latency program
                  (bench/latency_cpp.cpp): {"context": {...}, "cases":
                  [{"name", "condition", "calls", "p50_ns", "p99_ns",
                  "p999_ns", "p9999_ns", "max_ns"}, ...]}. Shown in a table of
                  its own, one row per case and condition.
--splice          Only with --latency: replace the latency section of the
                  existing --output (or add it where a full run puts it), and
                  the notes at its end when --notes is given, and leave every
                  other figure as it is; --cpp and --callgrind are then not
                  needed.
--payload-splice  With --cpp and --callgrind (and --python, whose cases may
                  be only the payload's and the wrench's): replace only the
                  payload section of the existing --output (or add it where a
                  full run puts it), and the notes at its end when --notes is
                  given.

--tool FILE       Optional. JSON written by bench/bench_tool.py:
                    {"context": {...}, "benchmarks": [{"name": "tool/<log>/<impl>",
                     "median_s": <float>, "samples": <int>,
                     "samples_per_s": <float>, ...}, ...]}
                  Shown in a table of their own: each transform against the
                  io_floor case of the same log (and, for a bag, against the
                  tool before the chunked bag layer), and the targets for
                  Parquet and for each bag format; the "dask/8logs/<impl>"
                  cases in another, against "dask/8logs/workers_1", with the
                  target for 2 workers and the cost of a task from
                  "dask/tiny/workers_2".

Case names are "<block>/<config>/<impl>". Ratios are taken within one block
and configuration: to "<block>/<config>/floor" and to "<block>/<config>/kdl".
The payload section sets each kind that works on another kind's signal beside
that kind (PAYLOAD_PAIRS). Standard library only.
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import platform
import re
import subprocess
from dataclasses import dataclass
from pathlib import Path

TARGET_FLOOR_RATIO = 1.3
TARGET_BLOCKS = ("wrench", "twist")
PY_TARGET_FLOOR_RATIO = 1.5
PY_TARGET_PEER_SPEEDUP = 3.0
PY_PEERS = (("numpy", "NumPy"), ("pin", "Pinocchio"))
TOOL_TARGET_OVER_FLOOR = 0.20
BAG_TARGET_RATE = 1_000_000       # samples/s, MCAP and sqlite3 bags to a bag and to Parquet
BAG_TARGET_FLOOR_RATIO = 2.0      # bag transform ÷ its I/O floor (chunked reading and writing)
ROS1_TARGET_SPEEDUP = 5.0         # ROS 1 bag transform: before ÷ now
BAG_BEFORE_S = {                  # the tool before the chunked bag layer (commit 08b9bc3) on
    "mcap_to_mcap": 21.30,        # the logs of bench_tool.py, 10⁶ samples: median of 3 runs
    "mcap_to_parquet": 12.39,     # on the 2-core machine of the committed results
    "db3_to_db3": 19.35,
    "db3_to_parquet": 10.44,
    "bag_to_bag": 24.89,
    "bag_to_parquet": 11.22,
}
DASK_TARGET_SPEEDUP = 1.7         # 2 worker processes ÷ 1, eight logs of 10⁶ samples
CONFIGS = ("fixed", "moving")
LOG_SIZES = (1_000, 100_000, 1_000_000)
LOG_TARGET_EIGEN_RATIO = 0.5      # C++ updateBatch ÷ plain Eigen loop, at 10³ and 10⁶
LOG_STRETCH_MEMCPY_RATIO = 2.0    # C++ updateBatch ÷ memcpy, at 10⁶
LOG_TARGET_NUMPY_SPEEDUP = 10.0   # NumPy columns ÷ Python update_batch, at 10⁵
LOG_TARGET_PY_CPP_RATIO = 1.2     # Python update_batch ÷ C++ updateBatch, at 10⁵
PAYLOAD_PAIRS = (("payload", "wrench"),)   # a kind, and the kind of the signal it works on
PAYLOAD_TARGET_RATIO = 1.2        # per sample, against the kind of its signal
IDENTIFY_TARGET_S = 0.5           # identify_payload on 10⁶ samples
PAYLOAD_HEADING = "## Payload compensation beside the wrench block"
LATENCY_HEADING = "## Latency: one call in a control loop"
NOTES_HEADING = "## Where the time goes"
TOOL_HEADING = "## oska-tf: transforming a log, file to file"


@dataclass
class Case:
    name: str
    median_ns: float | None = None
    cv: float | None = None
    repetitions: int | None = None
    instructions: float | None = None

    @property
    def block(self) -> str:
        return self.name.split("/")[0]

    @property
    def config(self) -> str:
        return self.name.split("/")[1]

    @property
    def impl(self) -> str:
        return self.name.split("/")[2]


def to_ns(value: float, unit: str) -> float:
    return value * {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[unit]


def read_cpp(path: Path) -> tuple[dict, dict[str, Case]]:
    data = json.loads(path.read_text())
    cases: dict[str, Case] = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "aggregate":
            continue
        case = cases.setdefault(b["run_name"], Case(b["run_name"]))
        case.repetitions = b.get("repetitions")
        if b["aggregate_name"] == "median":
            case.median_ns = to_ns(b["cpu_time"], b["time_unit"])
        elif b["aggregate_name"] == "cv":
            case.cv = b["cpu_time"]
    return data["context"], cases


def read_callgrind(directory: Path) -> dict[str, float]:
    """Instructions per cycle for each case, less those of the empty loop;
    for a log case ("/log_<n>/"), per sample."""
    cycles = {}
    for line in (directory / "cases.txt").read_text().split("\n"):
        if line.strip():
            name, n = line.split()
            cycles[name] = int(n)
    totals = {}
    for dump in glob.glob(str(directory / "callgrind.out.*")):
        text = Path(dump).read_text(errors="replace")
        trigger = re.search(r"^desc: Trigger: Client Request: (.+)$", text, re.M)
        total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
        if trigger and total:
            totals[trigger.group(1).strip()] = int(total.group(1))
    missing = set(cycles) - set(totals)
    if missing:
        raise SystemExit(f"no callgrind dump for: {', '.join(sorted(missing))}")
    loop = totals["loop"] / cycles["loop"]
    counts = {}
    for name, n in cycles.items():
        if name == "loop":
            continue
        samples = re.search(r"/log_(\d+)/", name)
        counts[name] = (totals[name] / n - loop) / (int(samples.group(1)) if samples else 1)
    return counts


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().split("\n"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def package_version(name: str) -> str:
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", name],
                             capture_output=True, text=True, check=False)
        return out.stdout.strip() or "?"
    except OSError:
        return "?"


def fmt_ns(v: float | None) -> str:
    if v is None:
        return "—"
    return f"{v:.1f}" if v < 100 else f"{v:.0f}"


def fmt_ratio(a: float | None, b: float | None) -> str:
    if a is None or b is None or b == 0:
        return "—"
    return f"{a / b:.2f}×"


def fmt_count(v: float | None) -> str:
    return "—" if v is None else f"{v:.0f}"


def ratio(a: float | None, b: float | None) -> float | None:
    return None if a is None or b is None or b == 0 else a / b


def cpp_table(cases: dict[str, Case]) -> list[str]:
    rows = [
        "| Case | Median time (ns) | CV | × floor | × KDL | Instructions / cycle "
        "| instr. × floor | instr. × KDL |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for case in cases.values():
        floor = cases.get(f"{case.block}/{case.config}/floor")
        peer = cases.get(f"{case.block}/{case.config}/kdl")
        cv = "—" if case.cv is None else f"{100 * case.cv:.1f}%"
        rows.append(
            f"| `{case.name}` | {fmt_ns(case.median_ns)} | {cv} "
            f"| {fmt_ratio(case.median_ns, floor and floor.median_ns)} "
            f"| {fmt_ratio(case.median_ns, peer and peer.median_ns)} "
            f"| {fmt_count(case.instructions)} "
            f"| {fmt_ratio(case.instructions, floor and floor.instructions)} "
            f"| {fmt_ratio(case.instructions, peer and peer.instructions)} |")
    return rows


def targets(cases: dict[str, Case]) -> list[str]:
    rows = [
        "| Block, configuration | ours ÷ floor, time | ours ÷ floor, instructions "
        "| ours ÷ KDL, time | ours ÷ KDL, instructions | Targets |",
        "|---|---:|---:|---:|---:|---|",
    ]
    for block in TARGET_BLOCKS:
        for config in CONFIGS:
            ours = cases.get(f"{block}/{config}/ours")
            floor = cases.get(f"{block}/{config}/floor")
            peer = cases.get(f"{block}/{config}/kdl")
            if not (ours and floor and peer):
                continue
            ft = ratio(ours.median_ns, floor.median_ns)
            fi = ratio(ours.instructions, floor.instructions)
            pt = ratio(ours.median_ns, peer.median_ns)
            pi = ratio(ours.instructions, peer.instructions)
            measured = [r for r in (ft, fi) if r is not None]
            floor_ok = bool(measured) and all(r <= TARGET_FLOOR_RATIO for r in measured)
            peer_ok = all(r is not None and r < 1.0 for r in (pt, pi))
            verdict = "met" if floor_ok and peer_ok else "MISSED: " + ", ".join(
                what for what, ok in ((f"≤ {TARGET_FLOOR_RATIO}× floor", floor_ok),
                                      ("faster than KDL", peer_ok)) if not ok)
            rows.append(f"| {block}, {config} | {fmt_ratio(ours.median_ns, floor.median_ns)} "
                        f"| {fmt_ratio(ours.instructions, floor.instructions)} "
                        f"| {fmt_ratio(ours.median_ns, peer.median_ns)} "
                        f"| {fmt_ratio(ours.instructions, peer.instructions)} | {verdict} |")
    return rows


def is_log_case(name: str) -> bool:
    """A case timed per sample over a whole log: C++ "<b>/<c>/log_<n>/<impl>",
    Python "<b>/<c>/batch_log_<n>" and "<b>/<c>/numpy_columns_log_<n>"."""
    return "/log_" in name or "batch_log_" in name or "columns_log_" in name


def log_section(timed: dict[str, Case], python: dict[str, dict] | None) -> list[str]:
    """Per-sample times over whole logs, C++ and Python side by side, and the
    batch targets read from them."""
    def cpp(block: str, config: str, n: int, impl: str) -> float | None:
        case = timed.get(f"{block}/{config}/log_{n}/{impl}")
        return case.median_ns / n if case and case.median_ns is not None else None

    def py(block: str, config: str, impl: str) -> float | None:
        b = (python or {}).get(f"{block}/{config}/{impl}")
        return b["median_ns"] if b else None

    loop_impl = {"fixed": "ours_log", "moving": "ours_cycle_log"}
    lines = [
        "## Whole logs: time per sample",
        "",
        "One pass over a log of n samples, divided by n. C++: `batch` is `updateBatch`; "
        "`eigen_loop` the floor's formulas in a plain loop (entries resolved against each "
        "sample's transform on `moving`); `update_loop` `setFixedToMovingFrameTf` (moving) "
        "and `update` for each sample; `memcpy` copies the inputs to the outputs and reads "
        "the transforms, the least a pass must move. Python: `update_batch` on (n, 6) "
        "arrays; NumPy over whole (n,) columns with the quaternion arithmetic written out; "
        "a Python loop of `update` (wrench only). On `moving` every sample brings its own "
        "transform. All in ns per sample.",
        "",
        "| Block, configuration, n | C++ batch | C++ eigen_loop | C++ update_loop "
        "| C++ memcpy | Python update_batch | Python NumPy columns | Python loop |",
        "|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    targets_rows = []
    for block in TARGET_BLOCKS:
        for config in CONFIGS:
            for n in LOG_SIZES:
                batch = cpp(block, config, n, "batch")
                if batch is None:
                    continue
                eigen = cpp(block, config, n, "eigen_loop")
                memcpy = cpp(block, config, n, "memcpy")
                py_batch = py(block, config, f"batch_log_{n}")
                py_numpy = py(block, config, f"numpy_columns_log_{n}")
                cells = [batch, eigen, cpp(block, config, n, "update_loop"), memcpy, py_batch,
                         py_numpy, py(block, config, f"{loop_impl[config]}_{n}")]
                lines.append(f"| {block}, {config}, {n:,} | "
                             + " | ".join("—" if v is None else f"{v:.2f}" for v in cells) + " |")

                def target(measure: str, value: float | None, goal: str, ok: bool) -> None:
                    shown = "—" if value is None else f"{value:.2f}×"
                    verdict = "met" if value is not None and ok else "MISSED"
                    targets_rows.append(f"| {block}, {config}, {n:,} | {measure} | {shown} "
                                        f"| {goal} | {verdict} |")

                if n in (1_000, 1_000_000):
                    r = ratio(batch, eigen)
                    target("C++ batch ÷ eigen_loop", r, f"≤ {LOG_TARGET_EIGEN_RATIO}×",
                           r is not None and r <= LOG_TARGET_EIGEN_RATIO)
                if n == 1_000_000:
                    r = ratio(batch, memcpy)
                    target("C++ batch ÷ memcpy (stretch)", r, f"≤ {LOG_STRETCH_MEMCPY_RATIO:g}×",
                           r is not None and r <= LOG_STRETCH_MEMCPY_RATIO)
                if n == 100_000 and python is not None:
                    r = ratio(py_numpy, py_batch)
                    target("NumPy columns ÷ Python update_batch", r,
                           f"≥ {LOG_TARGET_NUMPY_SPEEDUP:g}×",
                           r is not None and r >= LOG_TARGET_NUMPY_SPEEDUP)
                    r = ratio(py_batch, batch)
                    target("Python update_batch ÷ C++ batch", r, f"≤ {LOG_TARGET_PY_CPP_RATIO}×",
                           r is not None and r <= LOG_TARGET_PY_CPP_RATIO)
    return lines + [
        "",
        "### Batch targets",
        "",
        "| Block, configuration, n | Measure | Value | Target | Verdict |",
        "|---|---|---:|---:|---|",
        *targets_rows,
        "",
    ]


def payload_section(context: dict, timed: dict[str, Case], counts: dict[str, float],
                    python: dict[str, dict] | None) -> list[str]:
    """Each kind that works on another kind's signal beside that kind, per
    sample: update, updateBatch over logs, from C++ and from Python, in time
    and (C++) instructions; and identify_payload on 10⁶ samples."""
    lines = [
        PAYLOAD_HEADING,
        "",
        "The payload block against the wrench block, per sample: `update` (C++ `ours` cases "
        "of the first table; on `moving` with `setFixedToMovingFrameTf` every cycle, on "
        "`fixed` with the transform given once), `updateBatch` over logs (on `moving` every "
        "sample brings its own transform), the same from Python (`update`, "
        "`set_fixed_to_moving_frame_tf` then `update`, `update_batch`). Instructions per "
        "sample from callgrind: the update cases, and the batch over logs of 1,000 samples "
        "(valgrind's CPU has no AVX-512, so those count the AVX2 path). The payload works "
        "on the wrench signal, so the wrench block's cost is the yardstick: target at most "
        f"{PAYLOAD_TARGET_RATIO}× it per sample.",
        "",
        f"Measured {context.get('date', '?')} (load average at start "
        f"{', '.join(f'{x:.2f}' for x in context.get('load_avg', [])) or '?'}): both "
        "blocks in the same run, medians over the repetitions. When this section comes "
        "from a run of its own (`OSKA_BENCH_ONLY=payload`), its wrench figures may differ "
        "from those of the tables above, measured at another time.",
        "",
        "| Measure | payload | wrench | payload ÷ wrench | Target | Verdict |",
        "|---|---:|---:|---:|---:|---|",
    ]

    def cpp_ns(name: str, per: int = 1) -> float | None:
        case = timed.get(name)
        return case.median_ns / per if case and case.median_ns is not None else None

    def py_ns(name: str) -> float | None:
        b = (python or {}).get(name)
        return b["median_ns"] if b else None

    def row(measure: str, ours: float | None, theirs: float | None, unit: str,
            digits: int = 1) -> None:
        r = ratio(ours, theirs)
        shown = [("—" if v is None else f"{v:,.{digits}f} {unit}".rstrip())
                 for v in (ours, theirs)]
        verdict = "—" if r is None else ("met" if r <= PAYLOAD_TARGET_RATIO else "MISSED")
        lines.append(f"| {measure} | {shown[0]} | {shown[1]} | {fmt_ratio(ours, theirs)} "
                     f"| ≤ {PAYLOAD_TARGET_RATIO}× | {verdict} |")

    for kind, signal_kind in PAYLOAD_PAIRS:
        for config in CONFIGS:
            what = "setFixedToMovingFrameTf + update" if config == "moving" else "update"
            row(f"C++ {what}, {config}", cpp_ns(f"{kind}/{config}/ours"),
                cpp_ns(f"{signal_kind}/{config}/ours"), "ns")
            row(f"C++ {what}, {config}, instructions", counts.get(f"{kind}/{config}/ours"),
                counts.get(f"{signal_kind}/{config}/ours"), "", 0)
        for config in CONFIGS:
            for n in LOG_SIZES:
                row(f"C++ updateBatch, {config}, {n:,} samples",
                    cpp_ns(f"{kind}/{config}/log_{n}/batch", n),
                    cpp_ns(f"{signal_kind}/{config}/log_{n}/batch", n), "ns", 2)
            row(f"C++ updateBatch, {config}, 1,000 samples, instructions",
                counts.get(f"{kind}/{config}/log_1000/batch"),
                counts.get(f"{signal_kind}/{config}/log_1000/batch"), "", 1)
        if python is not None:
            for config, impl in (("fixed", "ours"), ("moving", "ours_cycle")):
                row(f"Python {'set_fixed_to_moving_frame_tf + ' if impl != 'ours' else ''}"
                    f"update, {config}", py_ns(f"{kind}/{config}/{impl}"),
                    py_ns(f"{signal_kind}/{config}/{impl}"), "ns", 0)
            for config in CONFIGS:
                for n in LOG_SIZES[1:]:
                    row(f"Python update_batch, {config}, {n:,} samples",
                        py_ns(f"{kind}/{config}/batch_log_{n}"),
                        py_ns(f"{signal_kind}/{config}/batch_log_{n}"), "ns", 2)
    identify = py_ns("payload/identify/identify_payload_1000000")
    if identify is not None:
        seconds = identify / 1e9
        verdict = "met" if seconds < IDENTIFY_TARGET_S else "MISSED"
        lines += ["", f"`identify_payload` on 10⁶ static samples (Python, thread CPU time, one "
                  f"BLAS thread): {seconds:.3f} s per fit; target under {IDENTIFY_TARGET_S} s: "
                  f"{verdict}."]
    return lines + [""]


def python_section(path: Path, cases: dict[str, Case]) -> list[str]:
    data = json.loads(path.read_text())
    bench = {b["name"]: b for b in data["benchmarks"]}

    def median(name: str | None) -> float | None:
        b = bench.get(name) if name else None
        return b and b["median_ns"]

    lines = ["## Python: one call from a Python loop", ""]
    for key, value in data.get("context", {}).items():
        lines.append(f"- {key}: {value}")
    lines += [
        "",
        "`ours`: `block.update(in, out)` with float64 arrays; `ours_cycle`: "
        "`set_fixed_to_moving_frame_tf(tf)` then `update`, the moving cycle. Floors "
        "(`nanobind/...`): no-op nanobind functions with the same array parameters, built "
        "for the benchmark only; the `× floor` column divides by the function floor "
        "`nanobind/call/noop` (one call) or `nanobind/cycle/noop` (the two calls of a "
        "moving cycle). `numpy`: the same arithmetic in NumPy for one sample. `pin`: "
        "Pinocchio's `SE3.act(Force)` / `SE3.act(Motion)` with the frames built from our "
        "arrays and the result copied back, every sample. `numpy_matrix_once` and "
        "`pin_frame_once` fold the fixed configuration into a matrix or an SE3 once, "
        "before the loop; they are shown for reference and are not what the targets "
        "compare with. `× NumPy` and `× Pinocchio` divide by the `numpy` and `pin` cases of "
        "the same block and configuration (not for `update` alone on the moving configuration, "
        "which does less than their sample); `× C++ ours` by the C++ `ours` case above. "
        "`_log_<n>` cases give the time per sample of a loop over a log of n samples.",
        "",
        "| Case | Median time (ns) | CV | × floor | × NumPy | × Pinocchio | × C++ ours | Note |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for b in data["benchmarks"]:
        if is_log_case(b["name"]) and not b["name"].split("/")[2].startswith("ours"):
            continue  # update_batch and NumPy over columns: the table of whole logs
        if b["name"].split("/")[1] == "identify":
            continue  # identify_payload: the payload section
        block, config = b["name"].split("/")[:2]
        ours = cases.get(f"{block}/{config}/ours")
        cv = "—" if b.get("cv") is None else f"{100 * b['cv']:.1f}%"
        impl = b["name"].split("/")[2]
        # update() alone on the moving configuration does less than a peer's
        # sample there (no transform), so it is not set against the peers.
        alone = b.get("target_floor") and not b.get("per_sample")
        peers = " | ".join("—" if alone else
                           fmt_ratio(b["median_ns"], median(f"{block}/{config}/{peer}"))
                           for peer, _ in PY_PEERS)
        cpp = ours.median_ns if ours and impl.startswith("ours") else None
        lines.append(
            f"| `{b['name']}` | {fmt_ns(b['median_ns'])} | {cv} "
            f"| {fmt_ratio(b['median_ns'], median(b.get('floor')))} | {peers} "
            f"| {fmt_ratio(b['median_ns'], cpp)} | {b.get('note', '')} |")
    lines += [
        "",
        "### Python targets",
        "",
        f"`update` at most {PY_TARGET_FLOOR_RATIO}× the nanobind no-op floor, for every "
        f"block and configuration; per sample at least {PY_TARGET_PEER_SPEEDUP:g}× faster "
        "than the NumPy formulation and than Pinocchio's Python path (`ours` on the fixed "
        "configuration, `ours_cycle` on the moving one, against `numpy` and `pin`).",
        "",
        "| Case | Measure | Value | Target | Verdict |",
        "|---|---|---:|---:|---|",
    ]
    for b in data["benchmarks"]:
        block, config = b["name"].split("/")[:2]
        if b.get("target_floor"):
            r = ratio(b["median_ns"], median(b.get("floor")))
            ok = r is not None and r <= PY_TARGET_FLOOR_RATIO
            lines.append(f"| `{b['name']}` | ÷ floor `{b.get('floor')}` "
                         f"| {fmt_ratio(b['median_ns'], median(b.get('floor')))} "
                         f"| ≤ {PY_TARGET_FLOOR_RATIO}× | {'met' if ok else 'MISSED'} |")
    for b in data["benchmarks"]:
        block, config = b["name"].split("/")[:2]
        if not b.get("per_sample"):
            continue
        for impl, label in PY_PEERS:
            peer = median(f"{block}/{config}/{impl}")
            if peer is None:
                continue
            speedup = ratio(peer, b["median_ns"])
            ok = speedup is not None and speedup >= PY_TARGET_PEER_SPEEDUP
            lines.append(f"| `{b['name']}` | {label} ÷ ours, per sample "
                         f"| {fmt_ratio(peer, b['median_ns'])} "
                         f"| ≥ {PY_TARGET_PEER_SPEEDUP:g}× | {'met' if ok else 'MISSED'} |")
    return lines + [""]


def tool_section(path: Path) -> list[str]:
    data = json.loads(path.read_text())
    bench = {b["name"]: b for b in data["benchmarks"]}
    lines = [TOOL_HEADING, ""]
    for key, value in data.get("context", {}).items():
        lines.append(f"- {key}: {value}")
    lines += [
        "",
        "`transform`: `transform_table` (Parquet, the transform in the table) or "
        "`transform_log` (a bag of 1 kHz WrenchStamped, the transform from /tf at 100 Hz, "
        "interpolated) to a Parquet file or a bag of the input's format; `io_floor`: the same "
        "files read and written with nothing transformed, by pyarrow (Parquet) or by the "
        "tool's own chunked bag readers and writers (bags: the signal and /tf read and "
        "decoded, the signal written). Wall-clock time of the whole run, median over the "
        "repetitions; *before*: the tool before the chunked bag layer.",
        "",
        "| Case | Median time (s) | Samples / s | × I/O floor | Before (s) | Speed-up |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for b in data["benchmarks"]:
        if not b["name"].startswith("tool/"):
            continue
        log = b["name"].split("/")[1]
        floor = bench.get(f"tool/{log}/io_floor")
        before = BAG_BEFORE_S.get(log) if b["name"].endswith("/transform") else None
        lines.append(f"| `{b['name']}` | {b['median_s']:.3f} | {b['samples_per_s']:,.0f} "
                     f"| {fmt_ratio(b['median_s'], floor and floor['median_s'])} "
                     f"| {f'{before:.1f}' if before else ''} "
                     f"| {fmt_ratio(before, b['median_s']) if before else ''} |")
    transform, floor = bench.get("tool/parquet/transform"), bench.get("tool/parquet/io_floor")
    if transform and floor:
        over = transform["median_s"] / floor["median_s"] - 1
        verdict = "met" if over <= TOOL_TARGET_OVER_FLOOR else "MISSED"
        lines += ["", f"Target: the Parquet transform adds at most "
                  f"{100 * TOOL_TARGET_OVER_FLOOR:.0f} % to its I/O floor; it adds "
                  f"{100 * over:.1f} %: {verdict}."]
    return lines + [""] + bag_targets(bench) + dask_section(bench)


def bag_targets(bench: dict[str, dict]) -> list[str]:
    rows = []
    for log, before in BAG_BEFORE_S.items():
        transform, floor = bench.get(f"tool/{log}/transform"), bench.get(f"tool/{log}/io_floor")
        if not transform or not floor:
            continue
        if log.startswith("bag"):
            speedup = before / transform["median_s"] if before else None
            met = speedup is not None and speedup >= ROS1_TARGET_SPEEDUP
            rows.append(f"| `{log}` | ≥ {ROS1_TARGET_SPEEDUP:g}× before "
                        f"| {fmt_ratio(before, transform['median_s'])} | "
                        f"{'met' if met else 'MISSED'} |")
            continue
        rate = transform["samples_per_s"]
        ratio = transform["median_s"] / floor["median_s"]
        rows.append(f"| `{log}` | ≥ {BAG_TARGET_RATE:,} samples/s | {rate:,.0f} | "
                    f"{'met' if rate >= BAG_TARGET_RATE else 'MISSED'} |")
        rows.append(f"| `{log}` | ≤ {BAG_TARGET_FLOOR_RATIO:g}× I/O floor | {ratio:.2f}× | "
                    f"{'met' if ratio <= BAG_TARGET_FLOOR_RATIO else 'MISSED'} |")
    if not rows:
        return []
    return ["### Bag targets", "", "| Log | Target | Measured | Verdict |", "|---|---|---:|---|",
            *rows, ""]


def dask_section(bench: dict[str, dict]) -> list[str]:
    one, two = bench.get("dask/8logs/workers_1"), bench.get("dask/8logs/workers_2")
    if not one or not two:
        return []
    lines = [
        "## oska-tf on Dask: eight Parquet logs",
        "",
        "Eight copies of the Parquet log above, transformed into a folder: one "
        "`transform_table` after the other in this process (`in_process`); "
        "`transform_logs` without a cluster (Dask's local threads, `threads`); and "
        "`transform_logs` on a LocalCluster of 1 or 2 worker processes of one thread each "
        "(`workers_1`, `workers_2`), started and warmed up before the timing. Wall-clock "
        "time, median over the repetitions.",
        "",
        "| Case | Median time (s) | Samples / s | × 1 worker |",
        "|---|---:|---:|---:|",
    ]
    for name, b in bench.items():
        if name.startswith("dask/8logs/"):
            lines.append(f"| `{name}` | {b['median_s']:.3f} | {b['samples_per_s']:,.0f} "
                         f"| {fmt_ratio(one['median_s'], b['median_s'])} |")
    speedup = one["median_s"] / two["median_s"]
    verdict = "met" if speedup >= DASK_TARGET_SPEEDUP else "MISSED"
    lines += ["", f"Target: 2 workers at least {DASK_TARGET_SPEEDUP}× as fast as 1 worker; "
              f"{speedup:.2f}×: {verdict}."]
    tiny = bench.get("dask/tiny/workers_2")
    if tiny:
        tasks = tiny["tasks"]
        lines += ["", f"Cost of a task: {tasks} logs of {tiny['samples'] // tasks} samples on "
                  "the 2-worker cluster "
                  f"took {tiny['median_s']:.3f} s, {1000 * tiny['median_s'] / tasks:.1f} ms per "
                  f"log (with both workers busy, {2000 * tiny['median_s'] / tasks:.1f} ms of a "
                  "worker's time each)."]
    return lines + [""]


def latency_section(path: Path) -> list[str]:
    data = json.loads(path.read_text())
    context = data.get("context", {})
    lines = [
        LATENCY_HEADING,
        "",
        f"Each call timed on its own, {context.get('calls', '?'):,} calls per row, into a "
        "histogram; the percentiles and the maximum are exact. The case is the `ours` "
        "moving cycle of the table above (`setFixedToMovingFrameTf` where the block has it, "
        "then `update`); `timer` times nothing and is the floor of every figure. The process "
        "is set up as `examples/realtime_loop.cpp` sets up a control loop: memory locked, "
        "stack prefaulted, a `DiagnosticQueue` installed; the timed thread runs on the "
        "first CPU. Conditions: normal scheduling or `SCHED_FIFO`, with the second CPU idle "
        "or running a load that streams 64 MiB through memory (`load`). A `SCHED_FIFO` row "
        "is followed by a pause as long as itself, to stay within the kernel's real-time "
        "share.",
        "",
    ]
    for key, value in context.items():
        if key != "calls":
            lines.append(f"- {key.replace('_', ' ')}: {value}")
    lines += [
        "",
        "| Case | Condition | p50 (ns) | p99 (ns) | p99.9 (ns) | p99.99 (ns) | max (ns) |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    order = {c: i for i, c in enumerate(dict.fromkeys(c["condition"] for c in data["cases"]))}
    for case in sorted(data["cases"], key=lambda c: (c["name"] != "timer", c["name"],
                                                     order[c["condition"]])):
        lines.append(f"| `{case['name']}` | {case['condition']} "
                     + " ".join(f"| {case[k]:,.0f}" for k in
                                ("p50_ns", "p99_ns", "p999_ns", "p9999_ns", "max_ns")) + " |")
    return lines + [""]


def splice(output: Path, section: list[str], notes: Path | None,
           followers: tuple[str, ...]) -> None:
    """Replaces the section of an existing results file that starts with the
    heading section[0], or adds it where a full run puts it (before the
    first of the headings `followers` found), and the notes at its end; no
    other figure changes."""
    heading = section[0]
    lines = output.read_text().split("\n")
    if notes and notes.exists() and NOTES_HEADING in lines:
        lines = lines[:lines.index(NOTES_HEADING)] + [notes.read_text().rstrip(), ""]
        lines = "\n".join(lines).split("\n")
    if heading in lines:
        start = lines.index(heading)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")),
                   len(lines))
    else:
        start = end = next((i for i, line in enumerate(lines) if line in followers), len(lines))
    output.write_text("\n".join(lines[:start] + section + lines[end:]))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cpp", type=Path)
    parser.add_argument("--callgrind", type=Path)
    parser.add_argument("--latency", type=Path, help="JSON written by the latency program")
    parser.add_argument("--splice", action="store_true",
                        help="only replace the latency section of the existing output")
    parser.add_argument("--payload-splice", action="store_true",
                        help="only replace the payload section of the existing output")
    parser.add_argument("--python", type=Path)
    parser.add_argument("--tool", type=Path, help="JSON written by bench/bench_tool.py")
    parser.add_argument("--notes", type=Path,
                        help="hand-written notes appended to the results")
    parser.add_argument("--output", type=Path, required=True)
    args = parser.parse_args()
    if args.splice:
        if not args.latency or not args.output.exists():
            parser.error("--splice needs --latency and an existing --output")
        # Where a full run puts it: after the whole logs, before the tool.
        splice(args.output, latency_section(args.latency), args.notes,
               (TOOL_HEADING, NOTES_HEADING))
        return
    if not args.cpp or not args.callgrind:
        parser.error("--cpp and --callgrind are required (unless --splice)")

    context, timed = read_cpp(args.cpp)
    counts = read_callgrind(args.callgrind)
    python = ({b["name"]: b for b in json.loads(args.python.read_text())["benchmarks"]}
              if args.python else None)
    if args.payload_splice:
        if not args.output.exists():
            parser.error("--payload-splice needs an existing --output")
        splice(args.output, payload_section(context, timed, counts, python), args.notes,
               (LATENCY_HEADING, TOOL_HEADING, NOTES_HEADING))
        return
    # Rows in the programs' own case order (the count driver runs them in it),
    # since the timing program interleaves its repetitions at random; the log
    # cases it counts are shown per sample in the payload section.
    cases = {name: timed.get(name, Case(name)) for name in counts if not is_log_case(name)}
    cases.update({name: case for name, case in timed.items()
                  if name not in cases and not is_log_case(name)})
    for name, count in counts.items():
        if name in cases:
            cases[name].instructions = count
    reps = {c.repetitions for c in cases.values() if c.repetitions}

    lines = [
        "# Benchmark results",
        "",
        "Written by `bash bench/run.sh`; every figure below comes from one run of it.",
        "",
        f"- Date: {context.get('date', '?')}",
        f"- CPU: {cpu_model()}, {os.cpu_count()} cores "
        f"(Google Benchmark: {context.get('num_cpus', '?')} CPUs at "
        f"{context.get('mhz_per_cpu', '?')} MHz; load average at start "
        f"{', '.join(f'{x:.2f}' for x in context.get('load_avg', [])) or '?'})",
        f"- Host: {platform.system()} {platform.release()}",
        f"- Compiler: {context.get('compiler', '?')}; build type {context.get('build_type', '?')}, "
        f"flags `{context.get('cxx_flags', '?')}` for the library and the benchmark programs alike",
        f"- Eigen {context.get('eigen', '?')}, Orocos KDL {context.get('kdl', '?')}, "
        f"Google Benchmark {package_version('libbenchmark-dev')}, "
        f"valgrind {package_version('valgrind')}",
        f"- Start-up agreement check of floor, KDL and blocks (unit quaternions): "
        f"{context.get('agreement', '?')}",
        f"- Time: median CPU time of one cycle over {', '.join(map(str, sorted(reps))) or '?'} "
        "repetitions (the benchmarks randomly interleaved); CV is the coefficient of "
        "variation over those repetitions.",
        "- Instructions: callgrind's instruction count per cycle, from a separate "
        "driver running the same cases, less the count of the empty loop. It does not "
        "depend on the machine's load.",
        "",
        "## C++: one update per cycle",
        "",
        "`fixed`: every entry on \"fixed_frame\". `moving`: every entry that may be on "
        "\"moving_frame\" is on it, and the cycle includes `setFixedToMovingFrameTf` where "
        "the block has it. `floor`: the formulas written directly with fixed-size Eigen "
        "types on `std::array`s. `ours`: the public API of the shared library. `kdl`: "
        "`KDL::Frame * KDL::Wrench` / `KDL::Twist`, with the conversions from and to our "
        "arrays and quaternions done every cycle. `kdl_frame_once`: the same with the "
        "frame built once, before the loop.",
        "",
        *cpp_table(cases),
        "",
        "## Targets",
        "",
        f"Update of the wrench and twist blocks at most {TARGET_FLOOR_RATIO}× the floor and "
        "faster than KDL with its conversions; both read on time and on instructions.",
        "",
        *targets(cases),
        "",
    ]
    if context.get("library_build_type") == "debug":
        lines += [
            "Google Benchmark reports its own library as a debug build (the Debian "
            "package's build); it times the loop only and does not affect the code "
            "measured, which is built as stated above.",
            "",
        ]
    if args.python:
        lines += python_section(args.python, cases)
    lines += log_section(timed, python)
    lines += payload_section(context, timed, counts, python)
    if args.latency:
        lines += latency_section(args.latency)
    if args.tool:
        lines += tool_section(args.tool)
    if args.notes and args.notes.exists():
        lines += [args.notes.read_text().rstrip(), ""]
    args.output.write_text("\n".join(lines))


if __name__ == "__main__":
    main()
