# Shared by the project's scripts: installs missing Debian packages and
# configures the CMake build. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${OSKA_BUILD_DIR:-$ROOT/build}"
JOBS="$(nproc 2>/dev/null || echo 2)"

# The Debian packages every build needs.
OSKA_BASE_PACKAGES=(build-essential cmake nlohmann-json3-dev libgtest-dev)

# ensure_packages PKG...: installs those not yet installed, with apt-get as
# root, else through sudo; otherwise prints the one line to run and stops.
ensure_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get)
  if [ "$(id -u)" -eq 0 ]; then
    "${apt[@]}" update -qq && "${apt[@]}" install -y -qq "${missing[@]}"
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo "${apt[@]}" update -qq && sudo "${apt[@]}" install -y -qq "${missing[@]}"
  else
    echo "Missing Debian packages. Run as root:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
}

# configure_build [CMAKE_ARGS...]: configures BUILD_DIR once; later runs reuse it.
configure_build() {
  if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release "$@"
  else
    cmake "$BUILD_DIR" "$@" >/dev/null
  fi
}
