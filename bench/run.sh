#!/usr/bin/env bash
# Builds and runs the benchmarks and writes bench/RESULTS.md:
#   1. the C++ timing program (Google Benchmark, medians over repetitions);
#   2. the C++ instruction counts, from the count driver under callgrind;
#      then the latency of one call (bench/latency_cpp.cpp): per-call
#      histograms under normal and SCHED_FIFO scheduling, with and without a
#      load on the other core;
#   3. the Python benchmark, bench/bench_python.py, run as
#      `bench_python.py --out FILE` in the project venv, which is first made
#      ready and given the package built from this tree (the functions of
#      scripts/python_env.sh); the no-op floor module it compares with,
#      bench/python/oska_bench_floor.cpp, is built with that venv's nanobind
#      into its own directory (build-bench-python) and never installed;
#   4. the oska-tf tool on logs of 10^6 samples, bench/bench_tool.py, in the
#      same venv (skipped with the Python half): file to file (Parquet, and
#      MCAP, sqlite3 and ROS 1 bags to a bag and to Parquet), the peak memory
#      of a bag of 10^7 samples, and eight logs in this process and on local
#      Dask clusters of 1 and 2 workers;
#   5. make_results.py, which merges the JSON outputs into the table.
# Everything is built in its own directory (build-bench, Release, the same
# flags as the library's default build), never in the test build.
#
# Environment: OSKA_BENCH_BUILD_DIR (default build-bench),
# OSKA_BENCH_REPETITIONS (default 20, both halves), OSKA_BENCH_MIN_TIME
# (seconds per repetition of a C++ case, default 0.2),
# OSKA_BENCH_PY_MIN_TIME (the same for a Python case, default 0.1),
# OSKA_BENCH_CYCLES (cycles per case under callgrind, default 100000),
# OSKA_BENCH_OUTPUT (default bench/RESULTS.md), OSKA_BENCH_PYTHON (unset: the
# project venv as above; "off": no Python half; otherwise an interpreter that
# can already import oska_tf_utils_ext, used as it is),
# OSKA_BENCH_PYTHON_BUILD_DIR (default build-bench-python), OSKA_BENCH_TOOL
# ("off": no tool benchmark), OSKA_BENCH_TOOL_REPETITIONS (default 9, the
# Parquet cases), OSKA_BENCH_TOOL_BAG_REPETITIONS (default 5, the bag cases),
# OSKA_BENCH_TOOL_SAMPLES (default 1000000), OSKA_BENCH_TOOL_MEMORY_SAMPLES
# (default 10000000, the bag whose peak memory is measured; 0 leaves it out),
# OSKA_BENCH_TOOL_DASK_REPETITIONS (default 3, the eight-log cases on Dask; 0
# leaves them out), OSKA_BENCH_LATENCY_CALLS (default 10000000, calls per
# latency row), OSKA_BENCH_ONLY=latency (build and run the latency program
# alone and replace only its section of the existing results file),
# OSKA_BENCH_ONLY=payload (time and count only the payload and wrench cases,
# C++ and, unless OSKA_BENCH_PYTHON=off, Python with identify_payload, and
# replace only the payload section of the existing results file).
# The Python half runs with OPENBLAS_NUM_THREADS=1 unless it is set.
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export OSKA_BUILD_DIR="${OSKA_BENCH_BUILD_DIR:-$HERE/../build-bench}"
source "$HERE/../scripts/common.sh"

REPETITIONS="${OSKA_BENCH_REPETITIONS:-20}"
MIN_TIME="${OSKA_BENCH_MIN_TIME:-0.2}"
CYCLES="${OSKA_BENCH_CYCLES:-100000}"
LATENCY_CALLS="${OSKA_BENCH_LATENCY_CALLS:-10000000}"
OUTPUT="${OSKA_BENCH_OUTPUT:-$ROOT/bench/RESULTS.md}"
PY_MIN_TIME="${OSKA_BENCH_PY_MIN_TIME:-0.1}"
PYTHON="${OSKA_BENCH_PYTHON:-}"
PY_FLOOR_DIR="${OSKA_BENCH_PYTHON_BUILD_DIR:-$ROOT/build-bench-python}"

ensure_packages "${OSKA_BASE_PACKAGES[@]}" libeigen3-dev libbenchmark-dev liborocos-kdl-dev \
  valgrind python3
configure_build -DOSKA_BUILD_BENCH=ON -DOSKA_BUILD_PYTHON=OFF -DBUILD_TESTING=OFF
cmake --build "$BUILD_DIR" -j "$JOBS" --target oska_bench oska_bench_count oska_bench_latency

RAW="$BUILD_DIR/bench-results"
run_latency() {
  echo "== C++ latency of one call ($LATENCY_CALLS calls per case and condition) =="
  "$BUILD_DIR/bench/oska_bench_latency" "$RAW/latency.json" "$LATENCY_CALLS"
}
if [ "${OSKA_BENCH_ONLY:-}" = latency ]; then
  mkdir -p "$RAW"
  run_latency
  python3 "$HERE/make_results.py" --latency "$RAW/latency.json" --notes "$HERE/notes.md" \
    --splice --output "$OUTPUT"
  echo "Replaced the latency section of $OUTPUT"
  exit 0
fi

if [ "$PYTHON" != off ]; then
  if [ -z "$PYTHON" ]; then
    source "$ROOT/scripts/python_env.sh"
    ensure_python_venv
    install_python_package
    PYTHON="$VENV_PY"
  fi
  "$PYTHON" -c "import oska_tf_utils_ext" \
    || { echo "error: $PYTHON cannot import oska_tf_utils_ext" >&2; exit 1; }
  echo "== Python floor module: $PY_FLOOR_DIR =="
  # The venv's CMake and Ninja (pinned, new enough for stable-ABI builds) when
  # it has them.
  PY_BIN="$(dirname "$PYTHON")"
  PY_CMAKE=cmake
  [ -x "$PY_BIN/cmake" ] && PY_CMAKE="$PY_BIN/cmake"
  PY_GENERATOR=()
  [ -x "$PY_BIN/ninja" ] && PY_GENERATOR=(-G Ninja -DCMAKE_MAKE_PROGRAM="$PY_BIN/ninja")
  if [ ! -f "$PY_FLOOR_DIR/CMakeCache.txt" ]; then
    "$PY_CMAKE" -S "$HERE/python" -B "$PY_FLOOR_DIR" "${PY_GENERATOR[@]}" \
      -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PYTHON" >/dev/null
  fi
  "$PY_CMAKE" --build "$PY_FLOOR_DIR" -j "$JOBS"
fi

rm -rf "$RAW"
mkdir -p "$RAW/callgrind"
export OPENBLAS_NUM_THREADS="${OPENBLAS_NUM_THREADS:-1}"

# The payload-only run: its cases and those of the wrench block beside it.
CPP_FILTER=.
COUNT_ONLY=
if [ "${OSKA_BENCH_ONLY:-}" = payload ]; then
  CPP_FILTER='^(payload|wrench)/(fixed|moving)/(ours|log_[0-9]+/batch)$'
  COUNT_ONLY="payload/,wrench/"
fi

echo "== C++ timings ($REPETITIONS repetitions of ${MIN_TIME}s per case) =="
"$BUILD_DIR/bench/oska_bench" \
  --benchmark_filter="$CPP_FILTER" \
  --benchmark_repetitions="$REPETITIONS" \
  --benchmark_min_time="$MIN_TIME" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$RAW/cpp.json" --benchmark_out_format=json

echo "== C++ instruction counts (callgrind, $CYCLES cycles per case) =="
valgrind --tool=callgrind --collect-atstart=no \
  --callgrind-out-file="$RAW/callgrind/callgrind.out" \
  "$BUILD_DIR/bench/oska_bench_count" "$CYCLES" "$COUNT_ONLY" \
  >"$RAW/callgrind/cases.txt" 2>"$RAW/callgrind/valgrind.log" \
  || { cat "$RAW/callgrind/valgrind.log" >&2; exit 1; }

if [ "${OSKA_BENCH_ONLY:-}" = payload ]; then
  PAYLOAD_ARGS=(--cpp "$RAW/cpp.json" --callgrind "$RAW/callgrind")
  if [ "$PYTHON" != off ]; then
    echo "== Python timings of the payload and wrench cases, identify_payload =="
    OSKA_BENCH_PYTHON_BUILD_DIR="$PY_FLOOR_DIR" "$PYTHON" "$HERE/bench_python.py" \
      --out "$RAW/python.json" --repetitions "$REPETITIONS" --min-time "$PY_MIN_TIME" \
      --only "payload/,wrench/"
    PAYLOAD_ARGS+=(--python "$RAW/python.json")
  fi
  python3 "$HERE/make_results.py" "${PAYLOAD_ARGS[@]}" --notes "$HERE/notes.md" \
    --payload-splice --output "$OUTPUT"
  echo "Replaced the payload section of $OUTPUT"
  exit 0
fi

run_latency

MERGE_ARGS=(--cpp "$RAW/cpp.json" --callgrind "$RAW/callgrind" --latency "$RAW/latency.json")
if [ "$PYTHON" != off ]; then
  echo "== Python timings ($REPETITIONS repetitions of ${PY_MIN_TIME}s per case) =="
  OSKA_BENCH_PYTHON_BUILD_DIR="$PY_FLOOR_DIR" "$PYTHON" "$HERE/bench_python.py" \
    --out "$RAW/python.json" --repetitions "$REPETITIONS" --min-time "$PY_MIN_TIME"
  MERGE_ARGS+=(--python "$RAW/python.json")
  if [ "${OSKA_BENCH_TOOL:-}" != off ]; then
    echo "== oska-tf tool: logs of ${OSKA_BENCH_TOOL_SAMPLES:-1000000} samples, file to file =="
    "$PYTHON" "$HERE/bench_tool.py" --out "$RAW/tool.json" \
      --repetitions "${OSKA_BENCH_TOOL_REPETITIONS:-9}" \
      --bag-repetitions "${OSKA_BENCH_TOOL_BAG_REPETITIONS:-5}" \
      --memory-samples "${OSKA_BENCH_TOOL_MEMORY_SAMPLES:-10000000}" \
      --dask-repetitions "${OSKA_BENCH_TOOL_DASK_REPETITIONS:-3}" \
      --samples "${OSKA_BENCH_TOOL_SAMPLES:-1000000}" --work "$PY_FLOOR_DIR/tool"
    MERGE_ARGS+=(--tool "$RAW/tool.json")
  fi
fi

python3 "$HERE/make_results.py" "${MERGE_ARGS[@]}" --notes "$HERE/notes.md" --output "$OUTPUT"
echo "Wrote $OUTPUT"
