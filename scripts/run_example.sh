#!/usr/bin/env bash
# Main job: builds the library and the example, then transforms a short stream
# of samples with every block configured from examples/config.json; then the
# same in Python (examples/quickstart.py) with the package built into .venv.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${OSKA_BASE_PACKAGES[@]}"
configure_build -DOSKA_BUILD_PYTHON=OFF
cmake --build "$BUILD_DIR" --target oska_quickstart -j "$JOBS"

cd "$ROOT"
echo "== C++ example (examples/quickstart.cpp) =="
"$BUILD_DIR/oska_quickstart" examples/config.json

# ---------------------------------------------------------- Python example ---
# The same loop in Python, with the package built into the project venv.
source "$ROOT/scripts/python_env.sh"
ensure_python_venv
install_python_package
echo "== Python example (examples/quickstart.py) =="
"$VENV_PY" -P examples/quickstart.py examples/config.json
