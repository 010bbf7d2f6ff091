"""A short control loop over all five blocks, configured from a JSON file.

The robot flange (the moving frame) turns about the vertical axis while a
force/torque sensor, a velocity estimate, an IMU and a tracker report their
samples. The payload block takes the sensor's bias and the tool's weight out
of the measured wrench; each other block re-expresses its sample at the point
and along the axes the controller wants. Every block writes into a
preallocated output array; the loop prints input and output side by side.

Usage: python examples/quickstart.py [path/to/config.json]
"""

import math
import sys
from typing import TypeAlias

import numpy as np
import numpy.typing as npt

from oska_control import OskaControlReturnCode
from oska_tf_utils_ext import OskaTfImu, OskaTfPayload, OskaTfPose, OskaTfTwist, OskaTfWrench

Array = npt.NDArray[np.float64]
Block: TypeAlias = OskaTfWrench | OskaTfTwist | OskaTfImu | OskaTfPose | OskaTfPayload


def print_row(label: str, sample_in: Array, sample_out: Array,
              code: OskaControlReturnCode) -> None:
    def fmt(values: Array) -> str:
        return " ".join(f"{v:8.4f}" for v in values)

    print(f"  {label:<7} in  [ {fmt(sample_in)} ]")
    print(f"  {'':<7} out [ {fmt(sample_out)} ]  {code.name}")


def main(config_path: str) -> int:
    wrench = OskaTfWrench(config_path)
    twist = OskaTfTwist(config_path)
    imu = OskaTfImu(config_path)
    pose = OskaTfPose(config_path)
    payload = OskaTfPayload(config_path)

    # The IMU section leaves its output side to code: the controller wants
    # the acceleration at the flange centre, along the fixed axes.
    imu.set_output_reference_point("moving_frame", np.zeros(3))
    imu.set_output_expression_axes("fixed_frame", np.array([1.0, 0.0, 0.0, 0.0]))

    print(f"blocks: {wrench.name()}, {twist.name()}, {imu.name()}, {pose.name()}, "
          f"{payload.name()} (from {config_path})")

    # Buffers are allocated once; every update writes into them in place.
    flange = np.zeros(7)
    wrench_in = np.array([1.0, 0.0, -10.0, 0.0, 0.1, 0.0])
    wrench_out = np.zeros(6)
    rate = 0.5  # rad/s about z
    twist_in = np.array([0.1, 0.0, 0.0, 0.0, 0.0, rate])
    twist_out = np.zeros(6)
    imu_in = np.array([0.0, 0.0, 9.81, 0.0, 0.0, rate])
    imu_out = np.zeros(6)
    pose_out = np.zeros(7)
    external = np.zeros(6)  # the sensor's wrench without its bias and the tool's weight

    blocks: list[tuple[str, Block, Array, Array]] = [
        ("payload", payload, wrench_in, external),
        ("wrench", wrench, wrench_in, wrench_out),
        ("twist", twist, twist_in, twist_out),
        ("imu", imu, imu_in, imu_out),
        ("pose", pose, flange, pose_out)]
    failures = 0
    for cycle in range(5):
        t = 0.2 * cycle
        half = 0.5 * rate * t
        # Pose of the flange in the fixed frame: 0.3 m up, turned about z.
        flange[:] = [0.1 * t, 0.0, 0.3, math.cos(half), 0.0, 0.0, math.sin(half)]
        wrench.set_fixed_to_moving_frame_tf(flange)
        twist.set_fixed_to_moving_frame_tf(flange)
        imu.set_fixed_to_moving_frame_tf(flange)
        payload.set_fixed_to_moving_frame_tf(flange)

        print(f"cycle {cycle} (t = {t:.1f} s)")
        for label, block, sample_in, sample_out in blocks:
            code = block.update(sample_in, sample_out)
            failures += code != OskaControlReturnCode.Ok
            print_row(label, sample_in, sample_out, code)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "examples/config.json"))
