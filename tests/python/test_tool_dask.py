"""oska_tf_utils.dask on a LocalCluster of two worker processes: the in-process
results bit for bit whatever the chunking, a worker killed in the middle of a
run, an unreadable log among good ones."""

import os
import signal
import sys
import threading
import time

import cloudpickle
import dask
import dask.array as da
import dask.dataframe as dd
import fsspec
import numpy as np
import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.parquet as pq
import pytest
from distributed import Client, LocalCluster

from oska_tf_utils import kind, prepare_block, transform_table
from oska_tf_utils.cli import main
from oska_tf_utils.dask import (cluster, transform_array, transform_dataframe, transform_logs,
                                transform_pairs)
from tool_logs import com_config, flange, interrupt, leftovers, table

IMU = ("ax", "ay", "az", "wx", "wy", "wz")
TF = ("tx", "ty", "tz", "qw", "qx", "qy", "qz")
# The hook that holds a worker in its first chunk is sent to the workers by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


@pytest.fixture(scope="module")
def client():
    # No dashboard; the scheduler's HTTP server (health, metrics) on a free port.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as cluster, \
            Client(cluster, timeout=120) as c:
        yield c


def bits(values):
    return np.ascontiguousarray(values, np.float64).view(np.uint64)


def imu_log(n, seed=7):
    """IMU samples at irregular stamps, with the flange transform in tf_ columns."""
    rng = np.random.default_rng(seed)
    t = np.cumsum(rng.uniform(0.001, 0.01, n))
    return table(t, np.hstack([rng.normal(size=(n, 6)), flange(t)]),
                 IMU + tuple(f"tf_{c}" for c in TF))


@pytest.mark.parametrize("rows", [10, 64, 300])
def test_chunked_arrays_and_frames_give_the_in_process_bits(client, tmp_path, rows):
    rng = np.random.default_rng(rows)
    t = np.cumsum(rng.uniform(0.001, 0.01, 300))
    # Arrays: a wrench with a transform per sample.
    wrench_config = com_config(tmp_path / "w.json")
    samples, tf = rng.normal(size=(300, 6)), flange(t)
    block, _ = prepare_block(wrench_config, kind("wrench"))
    expected = np.empty_like(samples)
    block.update_batch(samples, expected, tf=tf)
    got = transform_array(wrench_config, "wrench", da.from_array(samples, chunks=(rows, 6)),
                          da.from_array(tf, chunks=(64, 7))).compute()
    assert (bits(got) == bits(expected)).all()
    # DataFrames: an IMU log against a 100 Hz-ish transform table that starts
    # and ends inside it (interpolated, outside samples dropped), with the
    # central difference of the angular rate across partition edges.
    log = table(t, rng.normal(size=(300, 6)), IMU)
    mocap = np.cumsum(rng.uniform(0.005, 0.03, 60)) + t[10]
    pq.write_table(log, tmp_path / "imu.parquet")
    pq.write_table(table(mocap, flange(mocap), TF), tmp_path / "mocap.parquet")
    config = com_config(tmp_path / "c.json", "tf_imu_config")
    options = dict(tf=tmp_path / "mocap.parquet", outside="drop", angular_acceleration="central")
    transform_table(config, "imu", tmp_path / "imu.parquet", tmp_path / "out.parquet", **options)
    expected = pq.read_table(tmp_path / "out.parquet").to_pandas()
    frame = transform_dataframe(config, "imu", dd.from_pandas(log.to_pandas(), chunksize=rows),
                                **options).compute()
    assert 0 < len(frame) < 300 and list(frame.columns) == list(expected.columns)
    for name in expected.columns:
        assert (bits(frame[name]) == bits(expected[name])).all(), name


def hold_first_chunk(flags):
    """Makes this worker's first chunk wait, after saying so in a file named after
    the process, until the file 'release' appears (or two minutes pass)."""
    from oska_tf_utils import transform

    original = transform.ChunkTransformer.transform
    held = []

    def transform_after_release(self, chunk, following=None):
        if not held:
            held.append(True)
            open(os.path.join(flags, f"held-{os.getpid()}"), "w").close()
            deadline = time.monotonic() + 120
            while not os.path.exists(os.path.join(flags, "release")) \
                    and time.monotonic() < deadline:
                time.sleep(0.02)
        return original(self, chunk, following)

    transform.ChunkTransformer.transform = transform_after_release


def test_a_worker_killed_in_the_middle_of_a_run_leaves_complete_outputs(client, tmp_path):
    logs, flags, out = tmp_path / "logs", tmp_path / "flags", tmp_path / "out"
    logs.mkdir(), flags.mkdir()
    for i in range(4):
        pq.write_table(imu_log(3000, seed=i), logs / f"run{i}.parquet")
    config = com_config(tmp_path / "c.json", "tf_imu_config")
    options = dict(angular_acceleration="central", chunk_size=500)
    client.run(hold_first_chunk, str(flags))
    summaries = []
    runner = threading.Thread(target=lambda: summaries.append(
        transform_logs(config, "imu", str(logs / "*.parquet"), out, **options)))
    runner.start()
    deadline = time.monotonic() + 120
    while not list(flags.glob("held-*")) and time.monotonic() < deadline:
        time.sleep(0.05)
    held = sorted(flags.glob("held-*"))
    assert held, "no worker started a log"
    victim = int(held[0].name.split("-")[1])
    os.kill(victim, signal.SIGKILL)  # in its first log, whose output is half written
    (flags / "release").touch()
    runner.join(300)
    assert victim not in client.run(os.getpid).values()
    assert summaries and not summaries[0].failed, summaries
    assert sorted(os.listdir(out)) == [f"run{i}.parquet" for i in range(4)]  # nothing left over
    for i in range(4):
        transform_table(config, "imu", logs / f"run{i}.parquet", tmp_path / "one.parquet",
                        **options)
        assert pq.read_table(out / f"run{i}.parquet").equals(pq.read_table(tmp_path / "one.parquet"))


def test_an_unreadable_log_is_reported_and_the_others_are_written(client, tmp_path):
    logs, out = tmp_path / "logs", tmp_path / "out"
    logs.mkdir()
    log = imu_log(1000)
    pq.write_table(log, logs / "long.parquet", row_group_size=100)  # split in parts
    pacsv.write_csv(log, logs / "short.csv")
    (logs / "cut.parquet").write_bytes((logs / "long.parquet").read_bytes()[:5000])
    config = com_config(tmp_path / "c.json", "tf_imu_config")
    summary = transform_logs(config, "imu", [str(logs / "*.parquet"), logs / "short.csv"], out,
                             split_rows=250, angular_acceleration="central", chunk_size=64)
    assert [f.input for f in summary.failed] == [str(logs / "cut.parquet")]
    assert "cannot read" in summary.failed[0].reason
    assert sorted(r.output for r in summary.done) == [str(out / "long.parquet"),
                                                      str(out / "short.parquet")]
    assert summary.tasks == 6 and sorted(os.listdir(out)) == ["long.parquet", "short.parquet"]
    for name, source in (("long", "long.parquet"), ("short", "short.csv")):
        transform_table(config, "imu", logs / source, tmp_path / "one.parquet",
                        angular_acceleration="central")
        assert pq.read_table(out / f"{name}.parquet").equals(pq.read_table(tmp_path / "one.parquet"))


def test_cli_sends_the_logs_to_the_scheduler(client, tmp_path):
    for i in range(2):
        pq.write_table(imu_log(500, seed=i), tmp_path / f"run{i}.parquet")
    config = com_config(tmp_path / "c.json", "tf_imu_config")
    address = client.scheduler.address
    assert main(["transform", config, "--block", "imu", str(tmp_path / "run*.parquet"), "-o",
                 str(tmp_path / "out"), "--scheduler", address, "-q"]) == 0
    assert main(["transform", config, "--block", "imu", str(tmp_path / "run0.parquet"), "-o",
                 str(tmp_path / "run0.csv"), "--workers", "1", "-q"]) == 0
    for i in range(2):
        transform_table(config, "imu", tmp_path / f"run{i}.parquet", tmp_path / "one.parquet")
        assert pq.read_table(tmp_path / "out" / f"run{i}.parquet").equals(
            pq.read_table(tmp_path / "one.parquet"))
    transform_table(config, "imu", tmp_path / "run0.parquet", tmp_path / "one.csv")
    assert (tmp_path / "run0.csv").read_bytes() == (tmp_path / "one.csv").read_bytes()


def test_logs_on_another_file_system_without_a_cluster(tmp_path):
    memory = fsspec.filesystem("memory")
    pq.write_table(imu_log(200), tmp_path / "run.parquet")
    memory.put(str(tmp_path / "run.parquet"), "/fleet/run.parquet")
    config = com_config(tmp_path / "c.json", "tf_imu_config")
    with dask.config.set(scheduler="sync"):  # no client: Dask's local scheduler, in-process
        summary = transform_logs(config, "imu", "memory://fleet/*.parquet", "memory://out")
    assert not summary.failed and summary.done[0].output == "memory:///out/run.parquet"
    transform_table(config, "imu", tmp_path / "run.parquet", tmp_path / "one.parquet")
    assert memory.cat("/out/run.parquet") == (tmp_path / "one.parquet").read_bytes()
    assert memory.ls("/out", detail=False) == ["/out/run.parquet"]


def test_every_entry_point_refuses_bad_options_before_reading_or_writing(tmp_path):
    config = com_config(tmp_path / "c.json", "tf_imu_config")
    pq.write_table(imu_log(20), tmp_path / "run.parquet")
    frame = dd.from_pandas(imu_log(20).to_pandas(), npartitions=2)
    out = tmp_path / "out"
    calls = {
        "transform_logs": lambda **kw: transform_logs(config, "imu", str(tmp_path / "*.parquet"),
                                                      out, **kw),
        "transform_pairs": lambda **kw: transform_pairs(
            config, "imu", [(str(tmp_path / "run.parquet"), str(out / "run.parquet"))], **kw),
        "transform_dataframe": lambda **kw: transform_dataframe(config, "imu", frame, **kw),
        "transform_array": lambda **kw: transform_array(config, "imu", np.zeros((4, 6)), **kw),
        "cluster": lambda **kw: cluster(**kw).__enter__(),
    }
    for name, call in calls.items():  # a mistyped keyword is never swallowed
        with pytest.raises(TypeError, match="angular_acceleratoin"):
            call(angular_acceleratoin="central")
    for name in ("transform_logs", "transform_pairs", "transform_dataframe"):
        with pytest.raises(ValueError, match="outside must be one of 'error', 'drop', 'hold'"):
            calls[name](outside="Hold")
        with pytest.raises(TypeError, match="max_gap must be a number of seconds"):
            calls[name](max_gap="0.05")
    for options, error, words in ((dict(split_rows=2.5), TypeError, "split_rows must be an int"),
                                  (dict(split_rows=0), ValueError, "split_rows must be at least 1"),
                                  (dict(retries=-1), ValueError, "retries must be at least 0"),
                                  (dict(chunk_size=0), ValueError, "the chunk size must be at"),
                                  (dict(progress="no"), TypeError, "progress must be True")):
        with pytest.raises(error, match=words):
            calls["transform_logs"](**options)
    with pytest.raises(TypeError, match="tf must be the path of a transform table, a pandas"):
        calls["transform_dataframe"](tf=3)
    with pytest.raises(TypeError, match="workers must be an int"):
        calls["cluster"](workers=1.5)
    with pytest.raises(ValueError, match="the number of workers must be at least 1, not 0"):
        calls["cluster"](workers=0)
    assert sorted(os.listdir(tmp_path)) == ["c.json", "run.parquet"]


def test_write_errors_of_local_outputs_are_reported_per_log(tmp_path, small_disk,
                                                            read_only_folder, capsys):
    logs = tmp_path / "logs"
    logs.mkdir()
    for i in range(2):
        pq.write_table(imu_log(3000, seed=i), logs / f"run{i}.parquet")  # 0.36 MB each
    config = com_config(tmp_path / "c.json", "tf_imu_config")
    disk = small_disk()
    with dask.config.set(scheduler="threads"):  # Dask's local threads, in this process
        summary = transform_logs(config, "imu", str(logs / "*.parquet"), disk / "out")
        assert [(f.input, f.reason) for f in summary.failed] == [
            (str(logs / f"run{i}.parquet"),
             f"cannot write {disk / 'out' / f'run{i}.parquet'}: no space left on device")
            for i in range(2)]
        assert os.listdir(disk / "out") == []
        folder = read_only_folder()
        cause = "read-only file system" if os.geteuid() == 0 else "permission denied"
        assert main(["transform", config, "--block", "imu", str(logs / "*.parquet"), "-o",
                     str(folder / "out"), "-q"]) == 2
        assert capsys.readouterr().err == (f"oska-tf transform: error: cannot write "
                                           f"{folder / 'out'}: {cause}\n")


@pytest.mark.parametrize("signum, where", [(signal.SIGTERM, []),
                                           (signal.SIGHUP, ["--workers", "2"])])
def test_a_signal_stops_a_run_of_many_logs_and_leaves_no_temporary_output(tmp_path, signum,
                                                                          where):
    logs, out = tmp_path / "logs", tmp_path / "out"
    logs.mkdir()
    for i in range(3):
        pq.write_table(imu_log(150_000, seed=i), logs / f"run{i}.parquet")
    config = com_config(tmp_path / "c.json", "tf_imu_config")
    status, err, seen = interrupt([sys.executable, "-m", "oska_tf_utils", "transform", config,
                                   "--block", "imu", str(logs / "*.parquet"), "-o", str(out),
                                   "--chunk-size", "4096", "-q", *where], out, signum)
    assert seen, "the run ended before it wrote anything"
    assert status == 128 + signum and "Traceback" not in err, err
    assert err.splitlines()[-1] == ("oska-tf: interrupted; the logs finished before it stay "
                                    "written, and no other output is left")
    assert leftovers(out) == []
    for name in os.listdir(out):  # a log finished before the signal is whole
        transform_table(config, "imu", logs / name, tmp_path / "one.parquet", chunk_size=4096)
        assert pq.read_table(out / name).equals(pq.read_table(tmp_path / "one.parquet"))


def test_transform_quaternions_on_dask_warn_once_per_log_or_are_normalised(tmp_path):
    from oska_tf_utils import OskaToolError, OskaToolWarning

    logs, out = tmp_path / "logs", tmp_path / "out"
    logs.mkdir()
    log = imu_log(1000)
    q = log.column_names.index("tf_qw")
    scaled = log.to_pandas()
    scaled.iloc[[150, 420, 421], q:q + 4] *= 1.001  # in two of the four parts
    pq.write_table(pa.Table.from_pandas(scaled, preserve_index=False), logs / "run.parquet",
                   row_group_size=100)
    config = com_config(tmp_path / "c.json", "tf_imu_config")
    with dask.config.set(scheduler="sync"):
        with pytest.warns(OskaToolWarning) as caught:
            summary = transform_logs(config, "imu", str(logs / "*.parquet"), out, split_rows=250)
        assert summary.tasks == 4 and len(caught) == 1
        assert str(caught[0].message).startswith(
            f"{logs / 'run.parquet'}: 3 of the 1000 transform rows of the tf_ columns of "
            f"{logs / 'run.parquet'} hold a quaternion whose norm is off 1 by more than 1e-6, "
            "the first at row 150 with norm 1.001; they are used as given")
        summary = transform_logs(config, "imu", str(logs / "*.parquet"), tmp_path / "norm",
                                 split_rows=250, normalize_tf=True)
        transform_table(config, "imu", logs / "run.parquet", tmp_path / "one.parquet",
                        normalize_tf=True)
        assert pq.read_table(tmp_path / "norm" / "run.parquet").equals(
            pq.read_table(tmp_path / "one.parquet"))
        frame = transform_dataframe(config, "imu", dd.from_pandas(scaled, chunksize=300),
                                    normalize_tf=True).compute()
        expected = pq.read_table(tmp_path / "one.parquet").to_pandas()
        for name in IMU:
            assert (bits(frame[name]) == bits(expected[name])).all(), name
        # Arrays: a dropout is named by its row of the whole array.
        samples, tf = np.zeros((300, 6)), flange(np.arange(300) / 100.0)
        tf[170, 3:] = 0.0
        with pytest.raises(OskaToolError, match="at row 170 of the tf array, .0, 0, 0, 0.,"):
            transform_array(com_config(tmp_path / "w.json"), "wrench",
                            da.from_array(samples, chunks=(64, 6)),
                            da.from_array(tf, chunks=(64, 7)), normalize_tf=True).compute()
