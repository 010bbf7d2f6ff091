#!/usr/bin/env python3
"""Benchmark of the oska-tf tool end to end: logs of 10^6 samples transformed
from file to file, against the time the same run spends only reading and
writing the files (the I/O floor).

Cases ("tool/<log>/<impl>"):

  tool/parquet/transform  transform_table: a Parquet log of wrench samples with
                          the flange transform in the same table (tf_tx ...
                          tf_qz) and two more columns, every entry of the
                          configuration on the moving frame, to Parquet;
  tool/parquet/io_floor   the same file read in the same chunks with pyarrow
                          (ParquetFile.iter_batches) and every batch written
                          as it was read (ParquetWriter.write_batch, with the
                          tool's encoding settings): the reading and writing
                          alone;
  tool/<bag>_to_<out>/transform
                          transform_log: a bag of WrenchStamped messages at
                          1 kHz with the flange on /tf at 100 Hz (--tf-frames,
                          interpolated), <bag> one of mcap (a rosbag2 folder
                          of MCAP), db3 (a rosbag2 folder of sqlite3) and bag
                          (ROS 1), to a bag of the same format (<out> = <bag>)
                          or to Parquet (t_ns and the signal columns);
  tool/<bag>_to_<out>/io_floor
                          the same bag's signal messages and /tf read and
                          decoded by chunk and the signal written, unchanged,
                          to the same output, with the tool's own readers and
                          writers (the fastest chunked decoding and encoding
                          there is): everything but the transform;
  dask/8logs/in_process   eight such Parquet logs, one transform_table after
                          the other in this process (what oska-tf does for
                          one log, eight times);
  dask/8logs/threads      the same with transform_logs and no cluster: Dask's
                          local threads in this process;
  dask/8logs/workers_1,   transform_logs on a LocalCluster of 1 or 2 worker
  dask/8logs/workers_2    processes (one thread each), started before the
                          timing (its start-up is reported apart);
  dask/tiny/workers_2     transform_logs of 64 logs of 10 samples on the
                          2-worker cluster: the cost of one task, reported per
                          task.

Time: wall-clock time of each run (the tool is file to file), the median
over repetitions; the two cases of a log in a random order in each
repetition, each run started after os.sync() and a garbage collection. Samples per
second divide the number of samples by it. The targets: the Parquet transform
adds at most 20 % to its I/O floor; an MCAP or sqlite3 bag goes to a bag of
its format and to Parquet at 10^6 samples/s or more and within 2x its floor;
a ROS 1 bag at least 5 times as fast as before the chunked bag layer; 2
workers transform the eight logs at least 1.7 times as fast as 1 worker. The
context also gets the start-up time of each cluster, the peak resident memory
of its worker processes, and that of one process transforming a bag of
--memory-samples messages (0: not measured).

Usage: bench_tool.py --out FILE [--repetitions N] [--bag-repetitions N]
                     [--dask-repetitions N] [--samples N] [--memory-samples N]
                     [--work DIR]
Writes JSON: {"context": {...}, "benchmarks": [{"name", "median_s", "samples",
"samples_per_s", "times_s"}, ...]}, which bench/make_results.py reads with
--tool.
"""

from __future__ import annotations

import argparse
import gc
import importlib.metadata
import json
import math
import os
import platform
import random
import shutil
import statistics
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from oska_tf_utils import transform_log, transform_table
from oska_tf_utils.options import DEFAULT_CHUNK_ROWS

WRENCH = ("fx", "fy", "fz", "tx", "ty", "tz")
TF = ("tx", "ty", "tz", "qw", "qx", "qy", "qz")
CONFIG = {"tf_wrench_config": {
    "set_input_reference_point": {"origin": "moving_frame", "translation": [0, 0, 0.05]},
    "set_input_expression_axes": {"origin": "moving_frame", "rotation": [1, 0, 0, 0]},
    "set_output_reference_point": {"origin": "moving_frame", "translation": [0.1, 0, 0.15]},
    "set_output_expression_axes": {"origin": "fixed_frame", "rotation": [1, 0, 0, 0]},
}}


def flange(t: np.ndarray) -> np.ndarray:
    half = 0.4 * t
    z = np.zeros_like(t)
    return np.column_stack([0.1 * t, z, z + 0.4, np.cos(half), np.sin(half), z, z])


def make_parquet(path: Path, n: int) -> None:
    rng = np.random.default_rng(0)
    t = np.arange(n) / 1000.0
    columns = {"t": t, **{c: rng.normal(size=n) for c in WRENCH},
               **{f"tf_{c}": v for c, v in zip(TF, flange(t).T)},
               "temperature": rng.normal(30, 1, n).astype(np.float32),
               "status": pa.array(np.where(rng.random(n) < 0.01, "warn", "ok"))}
    pq.write_table(pa.table(columns), path)


BAGS = {"mcap": ("wrench_{n}", ".mcap"), "db3": ("wrench_{n}_db3", ".db3"),
        "bag": ("wrench_{n}.bag", ".bag")}
"""Each bag format: its input's name and the extension of its output."""


def make_bag(path: Path, n: int, fmt: str = "mcap") -> None:
    """n WrenchStamped at 1 kHz on /ft and the flange at 100 Hz on /tf (lasting past
    the last sample), in a rosbag2 folder of MCAP or sqlite3, or a ROS 1 bag."""
    from rosbags.typesys import Stores, get_types_from_msg, get_typestore

    ros1 = fmt == "bag"
    store = get_typestore(Stores.ROS1_NOETIC if ros1 else Stores.LATEST)
    if ros1:
        store.register(get_types_from_msg("geometry_msgs/TransformStamped[] transforms",
                                          "tf2_msgs/msg/TFMessage"))
    serialize = store.serialize_ros1 if ros1 else store.serialize_cdr
    T = store.types
    rng = np.random.default_rng(0)
    values = rng.normal(size=(n, 6))
    start = 1_700_000_000 * 10**9

    def header(ns: int, frame: str) -> object:
        return T["std_msgs/msg/Header"](stamp=T["builtin_interfaces/msg/Time"](
            sec=ns // 10**9, nanosec=ns % 10**9), frame_id=frame, **({"seq": 0} if ros1 else {}))

    if ros1:
        from rosbags.rosbag1 import Writer as Writer1

        writer: object = Writer1(path)
    else:
        from rosbags.rosbag2 import StoragePlugin, Writer

        writer = Writer(path, version=9, storage_plugin=StoragePlugin.SQLITE3 if fmt == "db3"
                        else StoragePlugin.MCAP)
    vector, quaternion = T["geometry_msgs/msg/Vector3"], T["geometry_msgs/msg/Quaternion"]
    with writer as w:  # type: ignore[attr-defined]
        signal = w.add_connection("/ft", "geometry_msgs/msg/WrenchStamped", typestore=store)
        tf = w.add_connection("/tf", "tf2_msgs/msg/TFMessage", typestore=store)
        for i in range(n + 10):  # the transform lasts past the last sample
            ns = start + i * 10**6
            if i % 10 == 0:
                p = flange(np.array([i / 1000.0]))[0]
                message = T["tf2_msgs/msg/TFMessage"](transforms=[
                    T["geometry_msgs/msg/TransformStamped"](
                        header=header(ns, "base"), child_frame_id="flange",
                        transform=T["geometry_msgs/msg/Transform"](
                            translation=vector(*p[:3]), rotation=quaternion(*p[[4, 5, 6, 3]])))])
                w.write(tf, ns, serialize(message, "tf2_msgs/msg/TFMessage"))
            if i < n:
                v = values[i]
                message = T["geometry_msgs/msg/WrenchStamped"](
                    header=header(ns, "ft"), wrench=T["geometry_msgs/msg/Wrench"](
                        force=vector(*v[:3]), torque=vector(*v[3:])))
                w.write(signal, ns, serialize(message, "geometry_msgs/msg/WrenchStamped"))


def parquet_floor(source: Path, target: Path) -> None:
    file = pq.ParquetFile(source)
    schema = file.schema_arrow
    plain = set(WRENCH)  # written as the tool writes its signal columns
    with pq.ParquetWriter(target, schema, use_dictionary=[
            f.name for f in schema if f.name not in plain]) as writer:
        for batch in file.iter_batches(batch_size=DEFAULT_CHUNK_ROWS):
            writer.write_batch(batch)


def bag_floor(source: Path, target: Path) -> None:
    """Everything a bag transform does but the transform: the signal and /tf
    read and decoded by chunk, the signal written as it was read."""
    from oska_tf_utils.formats.bags import Bag, BagSink
    from oska_tf_utils.formats.output import AtomicOutput
    from oska_tf_utils.formats.tables import SignalTableSink, table_format
    from oska_tf_utils.kinds import kind

    wrench = kind("wrench")
    with Bag(source) as bag, AtomicOutput(target) as output:
        signal = bag.signal("/ft", wrench, DEFAULT_CHUNK_ROWS)
        transform = bag.transform_edge("base", "flange", DEFAULT_CHUNK_ROWS).chunks()
        table = table_format(target)
        sink = SignalTableSink(str(output.path), table, wrench) if table is not None \
            else BagSink(output, signal.msgtype, "/ft_transformed", "base")
        for chunk in signal.chunks():
            next(transform, None)  # the transform stream, read alongside
            sink.write(chunk, chunk.signal, None)
        for _ in transform:
            pass
        sink.close()


MEMORY = """
import sys
from oska_tf_utils import transform_log
transform_log(sys.argv[1], "wrench", sys.argv[2], sys.argv[3], topic="/ft",
              tf_frames=("base", "flange"))
print([int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM")][0])
"""


def peak_memory_of_bag(work: Path, config: Path, n: int) -> str:
    """The peak resident memory of a process transforming a bag of n samples
    (MCAP, /tf at 100 Hz) to MCAP."""
    import subprocess
    import sys

    bag = work / BAGS["mcap"][0].format(n=n)
    if not bag.exists():
        print(f"writing {bag} (some minutes for 10^7 messages)")
        make_bag(bag, n)
    output = work / "memory_out.mcap"
    run = subprocess.run([sys.executable, "-c", MEMORY, str(config), str(bag), str(output)],
                         capture_output=True, text=True, check=True)
    output.unlink()
    return f"{int(run.stdout) / 2**20:.2f} GB"


DASK_LOGS = 8
TINY_LOGS, TINY_SAMPLES = 64, 10


def peak_memory_kb() -> int:
    """This process's peak resident memory (VmHWM: unlike ru_maxrss, not
    inherited from the process that started it)."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def dask_cases(work: Path, log: Path, config: Path, n: int, repetitions: int
               ) -> tuple[dict[str, list[float]], dict[str, str], dict[str, int]]:
    """Times the eight-log cases; returns the times, context lines and the
    samples per run of each case."""
    from distributed import Client, LocalCluster

    from oska_tf_utils.dask import transform_logs

    logs = work / "dask_logs"
    logs.mkdir(exist_ok=True)
    for i in range(DASK_LOGS):  # copies of the one log, each read from its own file
        copy = logs / f"run{i}.parquet"
        if not copy.exists() or copy.stat().st_size != log.stat().st_size:
            copy.write_bytes(log.read_bytes())
    tiny = work / "dask_tiny"
    tiny.mkdir(exist_ok=True)
    for i in range(TINY_LOGS):
        make_parquet(tiny / f"tiny{i}.parquet", TINY_SAMPLES)
    out = work / "dask_out"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()

    def in_process() -> None:
        for source in sorted(logs.glob("*.parquet")):
            transform_table(config, "wrench", source, out / source.name)

    def on_dask(pattern: Path) -> None:
        summary = transform_logs(config, "wrench", str(pattern), out)
        assert not summary.failed, summary.failed

    times: dict[str, list[float]] = {}
    context: dict[str, str] = {}

    def timed(name: str, run: object) -> None:
        assert callable(run)
        for _ in range(repetitions):
            os.sync()
            gc.collect()
            started = time.perf_counter()
            run()
            times.setdefault(name, []).append(time.perf_counter() - started)
        print(f"{name}: " + ", ".join(f"{t:.2f} s" for t in times[name]))

    timed("dask/8logs/in_process", in_process)
    timed("dask/8logs/threads", lambda: on_dask(logs / "*.parquet"))
    for workers in (1, 2):
        started = time.perf_counter()
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None,
                          scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as cluster, \
                Client(cluster) as client:
            context[f"cluster of {workers} start-up"] = f"{time.perf_counter() - started:.2f} s"
            on_dask(tiny / "*.parquet")  # each worker imports the package before the timing
            timed(f"dask/8logs/workers_{workers}", lambda: on_dask(logs / "*.parquet"))
            if workers == 2:
                timed("dask/tiny/workers_2", lambda: on_dask(tiny / "*.parquet"))
            peaks = client.run(peak_memory_kb)
            context[f"cluster of {workers} peak worker memory"] = ", ".join(
                f"{kb / 2**20:.2f} GB" for kb in peaks.values())
    shutil.rmtree(out, ignore_errors=True)
    samples = {name: DASK_LOGS * n for name in times}
    samples["dask/tiny/workers_2"] = TINY_LOGS * TINY_SAMPLES
    return times, context, samples


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--repetitions", type=int, default=9,
                        help="repetitions of the Parquet cases (default 9)")
    parser.add_argument("--bag-repetitions", type=int, default=5,
                        help="repetitions of the bag cases (default 5; 0 leaves them out)")
    parser.add_argument("--dask-repetitions", type=int, default=3,
                        help="repetitions of the eight-log cases on Dask (default 3; 0 leaves "
                             "them out)")
    parser.add_argument("--samples", type=int, default=1_000_000)
    parser.add_argument("--memory-samples", type=int, default=0,
                        help="measure the peak memory of transforming a bag of this many "
                             "samples (default 0: not measured)")
    parser.add_argument("--work", type=Path, default=Path("build-bench-python/tool"))
    args = parser.parse_args()
    work = args.work
    work.mkdir(parents=True, exist_ok=True)
    n = args.samples
    config = work / "config.json"
    config.write_text(json.dumps(CONFIG))
    log = work / f"wrench_{n}.parquet"
    if not log.exists():
        print(f"writing {log}")
        make_parquet(log, n)
    out = work / "out.parquet"
    cases = {
        "tool/parquet/transform": lambda: transform_table(config, "wrench", log, out),
        "tool/parquet/io_floor": lambda: parquet_floor(log, out),
    }
    for fmt, (name, suffix) in BAGS.items() if args.bag_repetitions else ():
        bag = work / name.format(n=n)
        if not bag.exists():
            print(f"writing {bag} (about ten seconds for 10^6 messages)")
            make_bag(bag, n, fmt)
        for to, target in ((fmt, work / f"out{suffix}"), ("parquet", out)):
            cases[f"tool/{fmt}_to_{to}/transform"] = \
                lambda bag=bag, target=target: transform_log(
                    config, "wrench", bag, target, topic="/ft", tf_frames=("base", "flange"))
            cases[f"tool/{fmt}_to_{to}/io_floor"] = \
                lambda bag=bag, target=target: bag_floor(bag, target)
    times: dict[str, list[float]] = {name: [] for name in cases}
    # The Parquet cases first, then each bag format's, each pair of a log in a
    # random order per repetition; before each run, the previous run's files
    # are flushed to disk and garbage is collected, so that no run pays for
    # another's.
    rng = random.Random(0)
    logs = sorted({name.split("/")[1] for name in cases}, key=lambda log: log != "parquet")
    for log_name in logs:
        repetitions = args.repetitions if log_name == "parquet" else args.bag_repetitions
        names = [name for name in cases if name.split("/")[1] == log_name]
        for repetition in range(repetitions):
            rng.shuffle(names)
            for name in names:
                os.sync()
                gc.collect()
                started = time.perf_counter()
                cases[name]()
                times[name].append(time.perf_counter() - started)
            print(f"{log_name} repetition {repetition + 1}/{repetitions}: " + ", ".join(
                f"{name.split('/')[2]} {times[name][-1]:.2f} s" for name in sorted(names)))
    samples = {name: n for name in times}
    memory: dict[str, str] = {}
    if args.memory_samples:
        memory[f"peak memory of a process, bag of {args.memory_samples} samples to MCAP"] = \
            peak_memory_of_bag(work, config, args.memory_samples)
    dask_context: dict[str, str] = {}
    if args.dask_repetitions:
        dask_times, dask_context, dask_samples = dask_cases(work, log, config, n,
                                                            args.dask_repetitions)
        times.update(dask_times)
        samples.update(dask_samples)
    benchmarks = []
    for name, measured in times.items():
        if not measured:
            continue
        median = statistics.median(measured)
        benchmarks.append({"name": name, "median_s": median, "samples": samples[name],
                           "samples_per_s": samples[name] / median if median > 0 else math.inf,
                           "times_s": measured,
                           **({"tasks": TINY_LOGS} if name == "dask/tiny/workers_2" else {})})
    context = {"samples": str(n), "chunk rows": str(DEFAULT_CHUNK_ROWS),
               "repetitions": f"{args.repetitions} (Parquet), {args.bag_repetitions} (bag), "
                              f"{args.dask_repetitions} (Dask)",
               **memory,
               **dask_context,
               "python": platform.python_version(),
               "pyarrow": pa.__version__,
               **({"dask": importlib.metadata.version("dask"),
                   "distributed": importlib.metadata.version("distributed")}
                  if args.dask_repetitions else {}),
               "oska-tf-utils": importlib.metadata.version("oska-tf-utils")}
    args.out.write_text(json.dumps({"context": context, "benchmarks": benchmarks}, indent=2))
    for b in benchmarks:
        print(f"{b['name']:<34} {b['median_s']:7.3f} s  {b['samples_per_s']:>12,.0f} samples/s")


if __name__ == "__main__":
    main()
