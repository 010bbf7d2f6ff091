#!/usr/bin/env bash
# Hardening checks, each in its own build directory (kept between runs):
#  1. build-asan: the library and the C++ tests built with AddressSanitizer and
#     UndefinedBehaviorSanitizer; ctest runs every test, the consumer project
#     included. Any sanitizer report fails the run. This build keeps the batch
#     path on baseline x86-64, so that the tests cover it as well as the AVX2
#     one the plain build takes on a machine that has it.
#     The real-time checks run 10^5 calls per path here (10^6 in the plain
#     build), since the sanitizers slow every call tenfold.
#  2. build-tsan: the library and the real-time test program built with
#     ThreadSanitizer; it runs the test that switches the diagnostic sink
#     while a loop writes lines and another thread drains them. Any report
#     fails the run.
#  3. build-fuzz: the libFuzzer targets (clang) under ASan + UBSan; each
#     replays its seed corpus in tests/fuzz/corpus/ once, as a regression test.
#  4. valgrind memcheck over the C++ test program of the plain build (BUILD_DIR,
#     the one run_tests.sh uses): no error and no leak. valgrind's CPU has no
#     AVX-512, so here the batch path runs its AVX2 code, which the plain run
#     of the tests does not reach on a machine with AVX-512. The real-time
#     program is not run under valgrind: it replaces the allocation functions
#     itself and seals a thread with seccomp, which valgrind cannot follow.
# Longer fuzzing: see tests/fuzz/README.md.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ASAN_DIR="${OSKA_ASAN_BUILD_DIR:-$ROOT/build-asan}"
FUZZ_DIR="${OSKA_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"
TSAN_DIR="${OSKA_TSAN_BUILD_DIR:-$ROOT/build-tsan}"

# libFuzzer and FuzzedDataProvider.h come with clang's runtime package.
ensure_packages "${OSKA_BASE_PACKAGES[@]}" clang libclang-rt-14-dev valgrind

# A sanitizer report ends the program with a failure; leaks are reported too.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

echo "== C++ tests under ASan + UBSan =="
BUILD_DIR="$ASAN_DIR" configure_build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSKA_SANITIZE=ON -DOSKA_BUILD_PYTHON=OFF -DBUILD_TESTING=ON -DOSKA_BUILD_FUZZ=OFF \
  -DOSKA_BATCH_DISPATCH=OFF
cmake --build "$ASAN_DIR" -j "$JOBS"
OSKA_REALTIME_CALLS="${OSKA_REALTIME_CALLS:-100000}" \
  ctest --test-dir "$ASAN_DIR" --output-on-failure -j "$JOBS"

echo "== Diagnostic sink switched under a running loop, under TSan =="
BUILD_DIR="$TSAN_DIR" configure_build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSKA_SANITIZE_THREAD=ON -DOSKA_BUILD_PYTHON=OFF -DBUILD_TESTING=ON -DOSKA_BUILD_FUZZ=OFF
cmake --build "$TSAN_DIR" -j "$JOBS" --target oska_realtime_tests
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1}" \
  "$TSAN_DIR/tests/oska_realtime_tests" --gtest_filter='SinkSwitch.*:HeapCounter.*' --gtest_brief=1

echo "== Fuzz corpus replay under ASan + UBSan =="
# The compiler is chosen when the directory is first configured.
CXX=clang++ BUILD_DIR="$FUZZ_DIR" configure_build -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSKA_SANITIZE=ON -DOSKA_BUILD_FUZZ=ON -DOSKA_BUILD_PYTHON=OFF -DBUILD_TESTING=OFF
cmake --build "$FUZZ_DIR" -j "$JOBS"
ctest --test-dir "$FUZZ_DIR/tests/fuzz" --output-on-failure -j "$JOBS"

echo "== C++ tests under valgrind memcheck =="
# The plain build is shared with run_tests.sh: configured here only if missing.
[ -f "$BUILD_DIR/CMakeCache.txt" ] || configure_build -DOSKA_BUILD_PYTHON=OFF -DBUILD_TESTING=ON
cmake --build "$BUILD_DIR" -j "$JOBS" --target oska_tests
valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
  --error-exitcode=1 -q \
  "$BUILD_DIR/tests/oska_tests" --gtest_brief=1
