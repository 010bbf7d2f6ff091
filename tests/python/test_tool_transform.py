"""oska-tf transform on tables: physics in closed form, chunking, numbers, refusals."""

import os
import re
import subprocess
import sys
import warnings
from signal import SIGHUP, SIGINT, SIGTERM

import numpy as np
import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.parquet as pq
import pytest
from hypothesis import given, settings, strategies as st

from oska_tf_utils import (OskaToolError, OskaToolWarning, kind, prepare_block, transform_log,
                           transform_table)
from oska_tf_utils.cli import main
from tool_logs import (COM, WEIGHT_AT_COM, com_config, fixed_config, flange, interrupt,
                       sensor_wrench, table)

WRENCH = ("fx", "fy", "fz", "tx", "ty", "tz")
TF = ("tx", "ty", "tz", "qw", "qx", "qy", "qz")
T_1KHZ = np.arange(1000) / 1000.0


def signal(path, names=WRENCH):
    read = pq.read_table(path) if str(path).endswith(".parquet") else pacsv.read_csv(path)
    return np.column_stack([read[n].to_numpy() for n in names])


def test_wrench_at_the_centre_of_mass_is_the_weight(tmp_path):
    config = com_config(tmp_path / "c.json")
    # Transform in the table, row by row.
    log = table(T_1KHZ, np.hstack([sensor_wrench(T_1KHZ), flange(T_1KHZ)]),
                WRENCH + tuple(f"tf_{c}" for c in TF))
    pacsv.write_csv(log, tmp_path / "in.csv")
    transform_table(config, "wrench", tmp_path / "in.csv", tmp_path / "out.csv")
    assert np.allclose(signal(tmp_path / "out.csv"), WEIGHT_AT_COM, atol=1e-12)
    # A 100 Hz transform table against 1 kHz samples, interpolated.
    pq.write_table(table(T_1KHZ, sensor_wrench(T_1KHZ), WRENCH), tmp_path / "in.parquet")
    mocap = np.arange(-1, 101) / 100.0
    pacsv.write_csv(table(mocap, flange(mocap), TF), tmp_path / "mocap.csv")
    result = transform_table(config, "wrench", tmp_path / "in.parquet", tmp_path / "out.parquet",
                             tf=tmp_path / "mocap.csv", max_gap=0.02)
    assert result.samples_out == 1000
    assert np.allclose(signal(tmp_path / "out.parquet"), WEIGHT_AT_COM, atol=1e-12)


@pytest.mark.parametrize("difference", ["central", "backward", "none"])
def test_imu_tangential_term_from_the_derived_angular_acceleration(tmp_path, difference):
    # A body spins about z with ω = βt through the input point; the output point
    # is r = 1 m along x: a = (-(βt)² r, β r, 0) when the angular acceleration
    # is used, without the β r term otherwise.
    beta, r = 3.0, 1.0
    t = np.sort(np.random.default_rng(1).choice(2 * 10**9, 500, replace=False)) / 1e9  # on ns
    rate = np.column_stack([np.zeros((500, 5)), beta * t])
    pq.write_table(table(t, rate, ("ax", "ay", "az", "wx", "wy", "wz")), tmp_path / "imu.parquet")
    config = fixed_config(tmp_path / "c.json", "tf_imu_config", (r, 0, 0))
    transform_table(config, "imu", tmp_path / "imu.parquet", tmp_path / "out.parquet",
                    angular_acceleration=difference, chunk_size=64)
    tangential = beta * r if difference != "none" else 0.0
    expected = np.column_stack([-(beta * t) ** 2 * r, np.full_like(t, tangential), 0 * t])
    assert np.allclose(signal(tmp_path / "out.parquet", ("ax", "ay", "az")), expected, atol=1e-9)


@settings(max_examples=12, deadline=None)
@given(chunk=st.integers(1, 400), outside=st.sampled_from(["drop", "hold"]))
def test_results_do_not_depend_on_the_chunk_size(tmp_path_factory, chunk, outside):
    tmp = tmp_path_factory.mktemp("chunks")
    rng = np.random.default_rng(7)
    t = np.cumsum(rng.uniform(0.001, 0.01, 300))
    mocap = np.cumsum(rng.uniform(0.005, 0.03, 60)) + t[10]  # starts and ends inside the log
    pq.write_table(table(t, rng.normal(size=(300, 6)), ("ax", "ay", "az", "wx", "wy", "wz")),
                   tmp / "imu.parquet")
    pq.write_table(table(mocap, flange(mocap), TF), tmp / "mocap.parquet")
    config = com_config(tmp / "c.json", "tf_imu_config")
    runs = []
    for rows in (chunk, 10_000):
        out = tmp / f"out{rows}.parquet"
        transform_table(config, "imu", tmp / "imu.parquet", out, tf=tmp / "mocap.parquet",
                        outside=outside, angular_acceleration="central", chunk_size=rows)
        runs.append(pq.read_table(out))
    assert runs[0].equals(runs[1])
    assert runs[0].num_rows == (300 if outside == "hold" else
                                int(((t >= mocap[0]) & (t <= mocap[-1])).sum()))


def test_numbers_and_pass_through_columns_survive(tmp_path):
    config = fixed_config(tmp_path / "c.json", "tf_wrench_config", (0.1, 0.2, 0.3))
    values = np.random.default_rng(3).normal(size=(4, 6)) * np.array([[1e-300, 1, 1e300, 1, 3, 7]])
    lines = ["t,fx,fy,fz,tx,ty,tz,note"] + [
        f"0.00{i}0,{','.join(repr(float(v)) for v in row)},{note}"
        for i, (row, note) in enumerate(zip(values, ["1.50", '"a,b"', "", '"q""x"']))]
    (tmp_path / "in.csv").write_text("\n".join(lines) + "\n")
    transform_table(config, "wrench", tmp_path / "in.csv", tmp_path / "out.csv", chunk_size=3)
    as_text = pacsv.ConvertOptions(column_types={"t": pa.string(), "note": pa.string()})
    passed = pacsv.read_csv(tmp_path / "out.csv", convert_options=as_text)
    assert passed["t"].to_pylist() == [ln.split(",")[0] for ln in lines[1:]]
    assert passed["note"].to_pylist() == ["1.50", "a,b", "", 'q"x']
    from oska_tf_utils_ext import OskaTfWrench
    expected = np.empty_like(values)
    OskaTfWrench(config).update_batch(values, expected)
    assert signal(tmp_path / "out.csv").tobytes() == expected.tobytes()
    # Parquet keeps the types of the other columns.
    extra = {"id": pa.array([1, 2, 3, 4], pa.int32()), "when": pa.array([1, 2, 3, 4], pa.timestamp("ms")),
             "tag": pa.array(["a", None, "c", "d"]).dictionary_encode()}
    pq.write_table(table(np.arange(4.0), values, WRENCH, **extra), tmp_path / "in.parquet")
    transform_table(config, "wrench", tmp_path / "in.parquet", tmp_path / "out.parquet")
    source, result = pq.read_table(tmp_path / "in.parquet"), pq.read_table(tmp_path / "out.parquet")
    assert result.schema == source.schema
    assert all(result[c].equals(source[c]) for c in ("t", *extra))


# (what is wrong with the log, the command's extra arguments, words of the error)
REFUSALS = {
    "missing column": (dict(drop="fz"), [], "has no column fz"),
    "NaN in time": (dict(t=[0.0, np.nan, 0.2]), [], "finite time"),
    "time backwards": (dict(t=[0.0, 0.2, 0.1]), [], "time goes backwards"),
    "truncated": (dict(truncate=True), [], "Is the file complete"),
    "before the transform": (dict(), ["--tf", "late.csv"], "0.05 s before the first transform stamp"),
    "after the transform": (dict(), ["--tf", "short.csv"], "0.1 s after the last transform stamp"),
    "gap": (dict(), ["--tf", "gappy.csv", "--max-gap", "0.05"], "gap of 0.15 s"),
    "same file": (dict(), ["-o", "./sub/../in.parquet"], "same file as the input"),
}


@pytest.mark.parametrize("case", REFUSALS, ids=list(REFUSALS))
def test_unusable_logs_are_refused_and_nothing_is_written(tmp_path, monkeypatch, capsys, case):
    change, args, words = REFUSALS[case]
    monkeypatch.chdir(tmp_path)
    (tmp_path / "sub").mkdir()
    config = com_config(tmp_path / "c.json")
    t = np.array(change.get("t", [0.0, 0.1, 0.2]))
    log = table(t, sensor_wrench(np.nan_to_num(t)), WRENCH)
    pq.write_table(log.drop([change["drop"]]) if "drop" in change else log, "in.parquet")
    if change.get("truncate"):
        data = (tmp_path / "in.parquet").read_bytes()
        (tmp_path / "in.parquet").write_bytes(data[: len(data) // 2])
    for name, stamps in (("late", [0.05, 0.3]), ("short", [-0.1, 0.1]), ("gappy", [0, 0.05, 0.2])):
        pacsv.write_csv(table(np.array(stamps), flange(np.array(stamps)), TF), f"{name}.csv")
    (tmp_path / "out.parquet").write_bytes(b"old")
    before = sorted(os.listdir(tmp_path)), (tmp_path / "in.parquet").read_bytes()
    command = ["transform", "c.json", "--block", "wrench", "in.parquet", "-o", "out.parquet"]
    assert main(command + (args or ["--tf", "short.csv", "--outside", "hold"])) == 2
    assert words in capsys.readouterr().err
    assert (sorted(os.listdir(tmp_path)), (tmp_path / "in.parquet").read_bytes()) == before
    assert (tmp_path / "out.parquet").read_bytes() == b"old"


def test_stamps_in_messages_are_nanoseconds_with_the_seconds_from_the_first_sample(tmp_path):
    from oska_tf_utils.transform import TablePart, transform_table_part

    config = fixed_config(tmp_path / "c.json", "tf_wrench_config")
    t_ns = 1_717_000_000 * 10**9 + np.array([0, 100, 200, 150, 300]) * 10**6
    log = pa.table({"t_ns": t_ns, **{c: np.zeros(5) for c in WRENCH}})
    pq.write_table(log, tmp_path / "in.parquet", row_group_size=2)
    words = ("time goes backwards in the log at row 3: 1717000000150000000 ns (+0.15 s from the "
             "log's first sample) follows 1717000000200000000 ns (+0.2 s from the log's first "
             "sample).")
    with pytest.raises(OskaToolError, match=re.escape(words)):
        transform_table(config, "wrench", tmp_path / "in.parquet", tmp_path / "out.parquet",
                        angular_acceleration="central")
    # A part that starts in the middle of the log counts rows and seconds from the log's start.
    with pytest.raises(OskaToolError, match=re.escape(words)):
        transform_table_part(config, "wrench", tmp_path / "in.parquet", tmp_path / "o.parquet",
                             TablePart(1, 3))
    assert sorted(os.listdir(tmp_path)) == ["c.json", "in.parquet"]


def wrench_log(path, n=20_000):
    t = np.arange(n) / 1000.0
    pq.write_table(table(t, np.random.default_rng(0).normal(size=(n, 6)), WRENCH), path)
    return str(path)


@pytest.mark.parametrize("output", ["out.parquet", "out.csv"])
def test_a_full_disk_is_one_line_and_leaves_the_existing_output(tmp_path, small_disk, capsys,
                                                                output):
    config = fixed_config(tmp_path / "c.json", "tf_wrench_config")
    log = wrench_log(tmp_path / "in.parquet")  # 1.1 MB of values for a disk of 64 KiB
    disk = small_disk({output: b"old"})
    assert main(["transform", config, "--block", "wrench", log, "-o", str(disk / output),
                 "-q"]) == 2
    assert capsys.readouterr().err == (f"oska-tf transform: error: cannot write "
                                       f"{disk / output}: no space left on device\n")
    assert os.listdir(disk) == [output] and (disk / output).read_bytes() == b"old"


def test_a_read_only_folder_or_a_name_too_long_is_one_line(tmp_path, read_only_folder, capsys):
    config = fixed_config(tmp_path / "c.json", "tf_wrench_config")
    log = wrench_log(tmp_path / "in.parquet", 100)
    folder = read_only_folder({"out.parquet": b"old"})
    cause = "read-only file system" if os.geteuid() == 0 else "permission denied"
    with pytest.raises(OskaToolError, match=f"^cannot write {re.escape(str(folder))}/out.parquet: "
                                            f"{cause}$"):
        transform_table(config, "wrench", log, folder / "out.parquet")
    assert main(["plot", log, log, "--block", "wrench", "-o", str(folder / "w.png")]) == 2
    assert capsys.readouterr().err == (f"oska-tf plot: error: cannot write {folder / 'w.png'}: "
                                       f"{cause}\n")
    assert os.listdir(folder) == ["out.parquet"] and (folder / "out.parquet").read_bytes() == b"old"
    long = tmp_path / ("x" * 250 + ".parquet")
    assert main(["transform", config, "--block", "wrench", log, "-o", str(long)]) == 2
    assert capsys.readouterr().err.endswith(f"{long.name}: file name too long\n")
    assert sorted(os.listdir(tmp_path)) == ["c.json", "in.parquet", folder.name]


@pytest.fixture(scope="module")
def long_log(tmp_path_factory):
    """A Parquet log long enough to be stopped in the middle: 400,000 rows."""
    return wrench_log(tmp_path_factory.mktemp("long") / "long.parquet", 400_000)


API_RUN = """
import sys
from oska_tf_utils import transform_table
transform_table(sys.argv[1], "wrench", sys.argv[2], sys.argv[3], chunk_size=4096)
"""


@pytest.mark.parametrize("signum, output", [(SIGTERM, "out.parquet"), (SIGHUP, "out.csv"),
                                            (SIGINT, "out.parquet")])
def test_a_signal_stops_the_command_and_leaves_nothing(tmp_path, long_log, signum, output):
    config = fixed_config(tmp_path / "c.json", "tf_wrench_config")
    out = tmp_path / "out"
    out.mkdir()
    (out / output).write_bytes(b"old")
    status, err, seen = interrupt([sys.executable, "-m", "oska_tf_utils", "transform", config,
                                   "--block", "wrench", long_log, "-o", str(out / output),
                                   "--chunk-size", "4096"], out, signum)
    assert seen, "the run ended before it wrote anything"
    assert (status, err) == (128 + signum, "oska-tf: interrupted; nothing was written\n")
    assert os.listdir(out) == [output] and (out / output).read_bytes() == b"old"
    # The Python API ends as the signal ends a program, after removing its output.
    status, err, seen = interrupt([sys.executable, "-c", API_RUN, config, long_log,
                                   str(out / "api.parquet")], out, SIGTERM)
    assert seen and (status, err) == (-SIGTERM, "")
    assert os.listdir(out) == [output]


def test_an_interrupted_run_does_not_refuse_the_runs_after_it(tmp_path, long_log):
    # A program (a notebook, say) is interrupted in one run and goes on with
    # others, from its main thread or from a pool of threads.
    import threading
    import time
    from concurrent.futures import ThreadPoolExecutor

    config = fixed_config(tmp_path / "c.json", "tf_wrench_config")
    main_thread = threading.get_ident()

    def interrupt_when_writing():
        deadline = time.monotonic() + 60
        while not list(tmp_path.glob(".*.oska-tf")) and time.monotonic() < deadline:
            time.sleep(0.002)
        signal_thread(main_thread)

    def signal_thread(ident):
        import signal

        signal.pthread_kill(ident, SIGINT)

    killer = threading.Thread(target=interrupt_when_writing)
    killer.start()
    with pytest.raises(KeyboardInterrupt):
        transform_table(config, "wrench", long_log, tmp_path / "first.parquet", chunk_size=4096)
    killer.join()
    assert not list(tmp_path.glob("*.parquet")) and not list(tmp_path.glob(".*.oska-tf"))
    try:
        with ThreadPoolExecutor(1) as pool:
            pool.submit(transform_table, config, "wrench", long_log, tmp_path / "pool.parquet",
                        chunk_size=65536).result()
        transform_table(config, "wrench", long_log, tmp_path / "main.parquet", chunk_size=65536)
    except KeyboardInterrupt as e:  # pytest would take it for the user's Ctrl-C
        pytest.fail(f"a run after the interrupted one was refused: {e!r}")
    assert sorted(p.name for p in tmp_path.glob("*.parquet")) == ["main.parquet", "pool.parquet"]


def flange_log(path, scale=None, rows=()):
    """The flange log with its transform in tf_ columns, the quaternions of
    `rows` multiplied by `scale`; returns the transform rows as written."""
    tf = flange(T_1KHZ)
    tf[list(rows), 3:] *= scale if scale is not None else 1.0
    pq.write_table(table(T_1KHZ, np.hstack([sensor_wrench(T_1KHZ), tf]),
                         WRENCH + tuple(f"tf_{c}" for c in TF)), path)
    return tf


def test_non_unit_transform_quaternions_warn_once_per_log_or_are_normalised(tmp_path, capsys):
    config = com_config(tmp_path / "c.json")
    tf = flange_log(tmp_path / "in.parquet", 0.9, [100, 101, 700])
    command = ["transform", config, "--block", "wrench", str(tmp_path / "in.parquet"), "-o",
               str(tmp_path / "out.parquet"), "--chunk-size", "64", "-q"]
    assert main(command) == 0  # 16 chunks, one warning
    err = capsys.readouterr().err
    assert err == (f"oska-tf transform: warning: 3 of the 1000 transform rows of the tf_ columns "
                   f"of {tmp_path / 'in.parquet'} hold a quaternion whose norm is off 1 by more "
                   "than 1e-6, the first at row 100 with norm 0.9; they are used as given, and a "
                   "non-unit quaternion mixes the unrotated vector into the rotated one: "
                   "--normalize-tf (normalize_tf=True) normalises them.\n")
    block, _ = prepare_block(config, kind("wrench"))
    as_given = np.empty((1000, 6))
    block.update_batch(sensor_wrench(T_1KHZ), as_given, tf=tf)
    assert signal(tmp_path / "out.parquet").tobytes() == as_given.tobytes()  # unchanged
    assert not np.allclose(as_given[100], WEIGHT_AT_COM, atol=0.1)
    # Normalised, the log is the weight at the centre of mass again, and nothing is said.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = transform_table(config, "wrench", tmp_path / "in.parquet",
                                 tmp_path / "norm.parquet", normalize_tf=True)
    assert np.allclose(signal(tmp_path / "norm.parquet"), WEIGHT_AT_COM, atol=1e-12)
    assert "warnings" not in result.to_dict()
    with pytest.warns(OskaToolWarning, match="the first at row 100 with norm 0.9;") as caught:
        result = transform_table(config, "wrench", tmp_path / "in.parquet", tmp_path / "o.csv")
    assert len(caught) == 1 and result.to_dict()["warnings"] == [str(caught[0].message)]


@pytest.mark.parametrize("scale, norm", [(0.0, "norm 0:"), (1e-300, "norm 1e-300, whose square "
                                                                      "underflows:")])
def test_a_zero_transform_quaternion_is_an_error_with_or_without_normalising(tmp_path, capsys,
                                                                            scale, norm):
    config = com_config(tmp_path / "c.json")
    flange_log(tmp_path / "in.parquet", scale, [612])
    mocap = np.arange(-1, 101) / 100.0
    tf = flange(mocap)
    tf[30, 3:] *= scale
    pacsv.write_csv(table(mocap, tf, TF), tmp_path / "mocap.csv")
    command = ["transform", config, "--block", "wrench", str(tmp_path / "in.parquet"), "-o",
               str(tmp_path / "out.parquet"), "--chunk-size", "100"]
    for extra, where in (([], "row 612 of the tf_ columns of"),
                         (["--normalize-tf"], "row 612 of the tf_ columns of"),
                         (["--tf", str(tmp_path / "mocap.csv")], "row 30 of the transform table"),
                         (["--tf", str(tmp_path / "mocap.csv"), "--normalize-tf"],
                          "row 30 of the transform table")):
        assert main(command + extra) == 2
        err = capsys.readouterr().err
        assert f"error: the transform quaternion at {where}" in err and norm in err, err
        assert "it holds no orientation (a dropout of the tracking, most likely)" in err
    assert sorted(os.listdir(tmp_path)) == ["c.json", "in.parquet", "mocap.csv"]


def test_transform_tables_are_checked_before_interpolation_and_nan_rows_pass(tmp_path):
    config = com_config(tmp_path / "c.json")
    pq.write_table(table(T_1KHZ, sensor_wrench(T_1KHZ), WRENCH), tmp_path / "in.parquet")
    mocap = np.arange(-1, 101) / 100.0
    tf = flange(mocap)
    tf[[20, 21], 3:] *= 1.5
    pq.write_table(table(mocap, tf, TF), tmp_path / "mocap.parquet")
    with pytest.warns(OskaToolWarning, match=r"^2 of the 102 transform rows of the transform "
                                             r"table .* the first at row 20 with norm 1.5;"):
        transform_table(config, "wrench", tmp_path / "in.parquet", tmp_path / "given.parquet",
                        tf=tmp_path / "mocap.parquet")
    transform_table(config, "wrench", tmp_path / "in.parquet", tmp_path / "norm.parquet",
                    tf=tmp_path / "mocap.parquet", normalize_tf=True)
    # Normalised before interpolation: as if the table held unit quaternions.
    assert np.allclose(signal(tmp_path / "norm.parquet"), WEIGHT_AT_COM, atol=1e-12)
    given = signal(tmp_path / "given.parquet")
    assert not np.allclose(given[185:215], WEIGHT_AT_COM, atol=0.1)
    assert np.allclose(np.delete(given, np.s_[181:221], axis=0), WEIGHT_AT_COM, atol=1e-12)
    # A row of NaN is no dropout: its NaN reaches that sample's result, as before.
    flange_log(tmp_path / "nan.parquet", np.nan, [5])
    transform_table(config, "wrench", tmp_path / "nan.parquet", tmp_path / "nan_out.parquet",
                    normalize_tf=True)
    out = signal(tmp_path / "nan_out.parquet")
    assert np.isnan(out[5]).all() and not np.isnan(np.delete(out, 5, axis=0)).any()


# (keyword arguments, the exception, words of its message)
BAD_OPTIONS = {
    "outside Hold": (dict(outside="Hold"), ValueError,
                     "outside must be one of 'error', 'drop', 'hold', not 'Hold'"),
    "outside typo": (dict(outside="eror"), ValueError, "not 'eror'"),
    "angular acceleration": (dict(angular_acceleration="x"), ValueError,
                             "angular_acceleration must be one of 'none', 'central', 'backward'"),
    "max_gap text": (dict(max_gap="0.05"), TypeError,
                     "max_gap must be a number of seconds (an int or a float) or None, not str"),
    "max_gap negative": (dict(max_gap=-0.05), ValueError, "--max-gap must be a positive number"),
    "max_gap infinite": (dict(max_gap=float("inf")), ValueError, "finite number of seconds"),
    "max_gap bool": (dict(max_gap=True), TypeError, "not bool True"),
    "chunk_size float": (dict(chunk_size=2.5), TypeError,
                         "chunk_size must be an int (rows per chunk), not float 2.5"),
    "chunk_size zero": (dict(chunk_size=0), ValueError, "the chunk size must be at least 1 row"),
    "columns text": (dict(columns="fx=Fx"), TypeError, "columns must be a mapping of the names"),
    "tf_columns value": (dict(tf_columns={"t": 1}), TypeError, "it maps 't' to 1"),
    "tf number": (dict(tf=3), TypeError, "tf must be the path of a transform table"),
    "progress text": (dict(progress="yes"), TypeError, "progress must be True or False"),
    "tf_frames text": (dict(tf_frames="base"), TypeError,
                       "tf_frames must be a (parent, child) pair of frame names"),
    "tf_frames three": (dict(tf_frames=["a", "b", "c"]), ValueError, "not ('a', 'b', 'c')"),
    "topic number": (dict(topic=7), TypeError, "topic must be a str or None, not int 7"),
    "mistyped keyword": (dict(tf_frame=("a", "b")), TypeError, "tf_frame"),
}
BAG_ONLY = ("tf_frames", "topic")


@pytest.mark.parametrize("case", BAD_OPTIONS, ids=list(BAD_OPTIONS))
def test_option_values_are_refused_before_anything_is_read_or_written(tmp_path, case):
    options, error, words = BAD_OPTIONS[case]
    config = fixed_config(tmp_path / "c.json", "tf_wrench_config")
    before = sorted(os.listdir(tmp_path))
    calls = [lambda: transform_log(config, "wrench", tmp_path / "missing.mcap",
                                   tmp_path / "out.mcap", **options)]
    if not any(name in options for name in BAG_ONLY):
        calls.append(lambda: transform_table(config, "wrench", tmp_path / "missing.csv",
                                             tmp_path / "out.csv", **options))
    for call in calls:
        with pytest.raises(error) as refused:
            call()
        assert words in str(refused.value)
        # A wrong value or type is an OskaToolError too: the command's one line.
        assert isinstance(refused.value, OskaToolError) or case == "mistyped keyword"
    assert sorted(os.listdir(tmp_path)) == before


BLOCK_EXTRAS = """
import sys
class Missing:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in ("pyarrow", "rosbags", "rich", "matplotlib"):
            raise ModuleNotFoundError(name)
sys.meta_path.insert(0, Missing())
from oska_tf_utils.cli import main
sys.exit(main(sys.argv[1:]))
"""


def test_help_and_check_need_no_extra_and_the_others_name_it(tmp_path):
    config = fixed_config(tmp_path / "c.json", "tf_wrench_config")

    def run(*args):
        return subprocess.run([sys.executable, "-c", BLOCK_EXTRAS, *args], capture_output=True,
                              text=True, cwd=tmp_path)

    assert run("--help").returncode == 0
    assert run("check", config).returncode == 0
    for command in (["transform", config, "--block", "wrench", "in.csv", "-o", "out.csv"],
                    ["plot", "in.csv", "out.csv", "--block", "wrench", "-o", "p.png"]):
        missing = run(*command)
        assert missing.returncode == 3
        assert 'pip install "oska-tf-utils[logs]"' in missing.stderr
    with pytest.raises(OskaToolError, match="chunk size"):
        transform_table(config, "wrench", "in.csv", "out.csv", chunk_size=0)
