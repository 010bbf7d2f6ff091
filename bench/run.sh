#!/usr/bin/env bash
# Builds and runs the benchmarks and writes bench/RESULTS.md:
#   1. the C++ timing program (Google Benchmark, medians over repetitions);
#   2. the C++ instruction counts, from the count driver under callgrind;
#   3. the Python benchmark, when bench/bench_python.py exists and the
#      extension module imports (see OSKA_BENCH_PYTHON below); it is run as
#      `bench_python.py --out FILE` and writes the JSON that make_results.py
#      describes;
#   4. make_results.py, which merges the JSON outputs into the table.
# Everything is built in its own directory (build-bench, Release, the same
# flags as the library's default build), never in the test build.
#
# Environment: OSKA_BENCH_BUILD_DIR (default build-bench),
# OSKA_BENCH_REPETITIONS (default 20), OSKA_BENCH_MIN_TIME (seconds per
# repetition, default 0.2), OSKA_BENCH_CYCLES (cycles per case under
# callgrind, default 100000), OSKA_BENCH_OUTPUT (default bench/RESULTS.md),
# OSKA_BENCH_PYTHON (the interpreter for the Python benchmark; default the
# project venv's, .venv or $OSKA_VENV_DIR, when there is one, else python3).
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export OSKA_BUILD_DIR="${OSKA_BENCH_BUILD_DIR:-$HERE/../build-bench}"
source "$HERE/../scripts/common.sh"

REPETITIONS="${OSKA_BENCH_REPETITIONS:-20}"
MIN_TIME="${OSKA_BENCH_MIN_TIME:-0.2}"
CYCLES="${OSKA_BENCH_CYCLES:-100000}"
OUTPUT="${OSKA_BENCH_OUTPUT:-$ROOT/bench/RESULTS.md}"
PYTHON="${OSKA_BENCH_PYTHON:-}"
if [ -z "$PYTHON" ]; then
  PYTHON="${OSKA_VENV_DIR:-$ROOT/.venv}/bin/python"
  [ -x "$PYTHON" ] || PYTHON=python3
fi

ensure_packages "${OSKA_BASE_PACKAGES[@]}" libbenchmark-dev liborocos-kdl-dev valgrind python3
configure_build -DOSKA_BUILD_BENCH=ON -DOSKA_BUILD_PYTHON=OFF -DBUILD_TESTING=OFF
cmake --build "$BUILD_DIR" -j "$JOBS" --target oska_bench oska_bench_count

RAW="$BUILD_DIR/bench-results"
rm -rf "$RAW"
mkdir -p "$RAW/callgrind"

echo "== C++ timings ($REPETITIONS repetitions of ${MIN_TIME}s per case) =="
"$BUILD_DIR/bench/oska_bench" \
  --benchmark_repetitions="$REPETITIONS" \
  --benchmark_min_time="$MIN_TIME" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$RAW/cpp.json" --benchmark_out_format=json

echo "== C++ instruction counts (callgrind, $CYCLES cycles per case) =="
valgrind --tool=callgrind --collect-atstart=no \
  --callgrind-out-file="$RAW/callgrind/callgrind.out" \
  "$BUILD_DIR/bench/oska_bench_count" "$CYCLES" \
  >"$RAW/callgrind/cases.txt" 2>"$RAW/callgrind/valgrind.log" \
  || { cat "$RAW/callgrind/valgrind.log" >&2; exit 1; }

MERGE_ARGS=(--cpp "$RAW/cpp.json" --callgrind "$RAW/callgrind")
if [ -f "$HERE/bench_python.py" ]; then
  if "$PYTHON" -c "import oska_tf_utils_ext" 2>/dev/null; then
    echo "== Python timings =="
    "$PYTHON" "$HERE/bench_python.py" --out "$RAW/python.json"
    MERGE_ARGS+=(--python "$RAW/python.json")
  else
    echo "== Python timings skipped: $PYTHON cannot import oska_tf_utils_ext =="
  fi
fi

python3 "$HERE/make_results.py" "${MERGE_ARGS[@]}" --notes "$HERE/notes.md" --output "$OUTPUT"
echo "Wrote $OUTPUT"
