#!/usr/bin/env bash
# Every test: builds the library and the C++ tests, then runs them with ctest
# (which also builds and runs a separate project against the installed package);
# then the hardening checks (sanitizers, fuzz corpus replay, valgrind); then
# builds the Python package into the project venv and runs pytest and the
# type checkers.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${OSKA_BASE_PACKAGES[@]}"
configure_build -DOSKA_BUILD_PYTHON=OFF -DBUILD_TESTING=ON
cmake --build "$BUILD_DIR" -j "$JOBS"

echo "== C++ tests =="
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS"

# -------------------------------------------------------------- hardening ---
# The C++ tests again under ASan + UBSan, the fuzz corpus replay, valgrind.
bash "$ROOT/scripts/run_hardening.sh"

# ------------------------------------------------------------ Python tests ---
# Builds the extension modules into the project venv (.venv) and runs pytest.
source "$ROOT/scripts/python_env.sh"
ensure_python_venv
install_python_package
run_python_tests
run_type_checks
