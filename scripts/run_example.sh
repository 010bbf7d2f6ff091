#!/usr/bin/env bash
# Main job: builds the library and the examples, then transforms a short stream
# of samples with every block configured from examples/config.json, and runs
# a wrench block in a real-time loop for a second; then the
# same in Python (examples/quickstart.py) with the package built into .venv;
# then the oska-tf tool checks the example configurations and transforms and
# plots the example log of examples/ (into build/examples/), and calibrates and
# compensates the payload of a second example log.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${OSKA_BASE_PACKAGES[@]}"
configure_build -DOSKA_BUILD_PYTHON=OFF
cmake --build "$BUILD_DIR" --target oska_quickstart oska_realtime_loop -j "$JOBS"

cd "$ROOT"
echo "== C++ example (examples/quickstart.cpp) =="
"$BUILD_DIR/oska_quickstart" examples/config.json
echo "== A real-time loop, one second at 1 kHz (examples/realtime_loop.cpp) =="
"$BUILD_DIR/oska_realtime_loop" examples/config.json 1000

# ---------------------------------------------------------- Python example ---
# The same loop in Python, with the package built into the project venv.
source "$ROOT/scripts/python_env.sh"
ensure_python_venv
install_python_package
echo "== Python example (examples/quickstart.py) =="
"$VENV_PY" -P examples/quickstart.py examples/config.json

# ------------------------------------------------------------- oska-tf tool ---
# The command-line tool on the example log (examples/make_flange_log.py wrote
# it): a force/torque sensor on a swinging flange at 1 kHz, the flange's pose
# from a 100 Hz motion capture. Carried to the tool's centre of mass along the
# base axes, the wrench is the tool's constant weight.
OSKA_TF="$VENV_DIR/bin/oska-tf"
EXAMPLE_OUT="$BUILD_DIR/examples"
mkdir -p "$EXAMPLE_OUT"
echo "== oska-tf check examples/flange_config.json =="
"$OSKA_TF" check examples/flange_config.json
echo "== oska-tf check examples/faulty_config.json (a faulty file: exit 2 expected) =="
rc=0
"$OSKA_TF" check examples/faulty_config.json || rc=$?
[ "$rc" -eq 2 ] || { echo "error: expected exit 2 from the faulty configuration, got $rc" >&2; exit 1; }
echo "== oska-tf transform: the wrench at the tool's centre of mass =="
"$OSKA_TF" transform examples/flange_config.json --block wrench examples/flange_wrench.csv \
  --tf examples/flange_mocap.csv --max-gap 0.05 -o "$EXAMPLE_OUT/flange_wrench_at_com.csv"
"$OSKA_TF" plot examples/flange_wrench.csv "$EXAMPLE_OUT/flange_wrench_at_com.csv" \
  --block wrench -o "$EXAMPLE_OUT/flange_wrench.png"

# The payload example (examples/make_payload_log.py): a calibration recording
# of a gripper on a force/torque sensor as a ROS 2 bag, 8 still poses and the
# motion between them. calibrate recovers the payload into a copy of
# examples/payload_config.json (the wrench section and the sensor's mounting
# kept); transform --block payload then takes it out of the whole log.
echo "== The payload example: a calibration log with a known payload =="
"$VENV_PY" -P examples/make_payload_log.py "$EXAMPLE_OUT"
cp examples/payload_config.json "$EXAMPLE_OUT/payload_config.json"
echo "== oska-tf calibrate: the payload and the sensor's bias from the still poses =="
"$OSKA_TF" calibrate "$EXAMPLE_OUT/payload_calibration" --topic /ft_sensor/wrench \
  --tf-frames base_link tool0 -o "$EXAMPLE_OUT/payload_config.json"
"$OSKA_TF" check "$EXAMPLE_OUT/payload_config.json"
echo "== oska-tf transform --block payload: the compensated wrench =="
"$OSKA_TF" transform "$EXAMPLE_OUT/payload_config.json" --block payload \
  "$EXAMPLE_OUT/payload_calibration" --topic /ft_sensor/wrench --tf-frames base_link tool0 \
  -o "$EXAMPLE_OUT/payload_compensated.parquet"
"$VENV_PY" -P examples/make_payload_log.py report "$EXAMPLE_OUT/payload_compensated.parquet"
"$OSKA_TF" plot "$EXAMPLE_OUT/payload_calibration" "$EXAMPLE_OUT/payload_compensated.parquet" \
  --topic /ft_sensor/wrench --block payload -o "$EXAMPLE_OUT/payload_wrench.png"
