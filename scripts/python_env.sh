# Python side of the project's scripts: a project venv (.venv) with the pinned
# build and test tools from python/requirements-dev.txt, the package built into
# it without build isolation in a persistent build tree (build-python), so that
# a second run only rebuilds what changed. Sourced after common.sh, not run.
#
# Overrides: OSKA_PYTHON (the interpreter to create the venv from),
# OSKA_VENV_DIR, OSKA_PY_BUILD_DIR.

VENV_DIR="${OSKA_VENV_DIR:-$ROOT/.venv}"
PY_BUILD_DIR="${OSKA_PY_BUILD_DIR:-$ROOT/build-python}"
VENV_PY="$VENV_DIR/bin/python"
PY_REQUIREMENTS="$ROOT/python/requirements-dev.txt"

# python_usable EXE: CPython >= 3.12 with its C headers and the venv module.
python_usable() {
  "$1" - >/dev/null 2>&1 <<'EOF'
import os, sys, sysconfig, venv, ensurepip
ok = sys.version_info >= (3, 12) and sys.implementation.name == "cpython"
ok = ok and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
sys.exit(0 if ok else 1)
EOF
}

# find_python: prints the path of a usable interpreter, or fails.
find_python() {
  local candidate
  for candidate in ${OSKA_PYTHON:-} python3.12 python3.13 python3.14 python3; do
    if command -v "$candidate" >/dev/null 2>&1 && python_usable "$candidate"; then
      command -v "$candidate"
      return 0
    fi
  done
  # pyenv installs that are not on PATH (or hidden behind its shims).
  local pyenv_versions="${PYENV_ROOT:-$HOME/.pyenv}/versions"
  while read -r candidate; do
    if [ -n "$candidate" ] && python_usable "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done < <(ls -d "$pyenv_versions"/3.*/bin/python3 2>/dev/null | sort -V)
  return 1
}

# ensure_python_venv: creates the venv when missing or unusable and installs
# the pinned tools whenever the requirements file changed.
ensure_python_venv() {
  if [ ! -x "$VENV_PY" ] || ! python_usable "$VENV_PY"; then
    local base
    if ! base="$(find_python)"; then
      cat >&2 <<'EOF'
error: the Python package needs CPython >= 3.12 with its development headers,
and none was found (tried $OSKA_PYTHON, python3.12, python3.13, python3.14,
python3 and ~/.pyenv/versions/3.*). Get one, for example:
  pyenv install 3.12
  apt-get install python3.12 python3.12-dev python3.12-venv   (where packaged)
then run this script again, or point OSKA_PYTHON at the interpreter.
EOF
      exit 1
    fi
    echo "== Python venv: $VENV_DIR (from $base) =="
    rm -rf "$VENV_DIR" "$PY_BUILD_DIR"
    "$base" -m venv "$VENV_DIR"
  fi
  if ! cmp -s "$PY_REQUIREMENTS" "$VENV_DIR/.oska-requirements"; then
    "$VENV_PY" -m pip install --quiet --disable-pip-version-check -r "$PY_REQUIREMENTS"
    cp "$PY_REQUIREMENTS" "$VENV_DIR/.oska-requirements"
  fi
}

# install_python_package: builds the package into the venv, reusing build-python.
install_python_package() {
  echo "== Python package: build and install into $VENV_DIR =="
  "$VENV_PY" -m pip install --quiet --disable-pip-version-check \
    --no-build-isolation --no-deps --config-settings=build-dir="$PY_BUILD_DIR" "$ROOT"
}

# run_python_tests [PYTEST_ARGS...]: runs pytest on tests/python; a run that
# collects no test fails.
run_python_tests() {
  echo "== Python tests =="
  local rc=0
  # -P keeps the working directory off sys.path: the tests import the
  # installed modules, never anything from the source tree. -X dev turns on
  # the interpreter's debug checks and -X faulthandler prints the Python stack
  # of any crash in the extension.
  (cd "$ROOT" && "$VENV_PY" -X dev -X faulthandler -P -m pytest tests/python "$@") || rc=$?
  if [ "$rc" -eq 5 ]; then
    echo "error: pytest collected no Python tests" >&2
  fi
  return "$rc"
}

# run_type_checks: mypy --strict on the oska_tf_utils package (its settings in
# pyproject.toml), and mypy --strict and pyright on the Python example, against
# the installed package: both must find the stub packages and the real
# signatures.
run_type_checks() {
  echo "== Type checks: oska_tf_utils and examples/quickstart.py (mypy --strict, pyright) =="
  (cd "$ROOT" && "$VENV_DIR/bin/mypy" --no-incremental)
  (cd "$ROOT" && "$VENV_DIR/bin/mypy" --strict --no-incremental examples/quickstart.py)
  (cd "$ROOT" && "$VENV_DIR/bin/pyright" --pythonpath "$VENV_PY" examples/quickstart.py)
}
