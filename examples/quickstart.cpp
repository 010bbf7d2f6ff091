// A short control loop over all five blocks, configured from a JSON file.
//
// The robot flange (the moving frame) turns about the vertical axis while a
// force/torque sensor, a velocity estimate, an IMU and a tracker report their
// samples. The payload block takes the sensor's bias and the tool's weight out
// of the measured wrench; each other block re-expresses its sample at the
// point and along the axes the controller wants. The loop prints input and
// output side by side.
//
// Usage: oska_quickstart [path/to/config.json]
#include <array>
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>

#include "oska/tf_utils.hpp"

namespace {

const char* codeName(oska::OskaControlReturnCode code) {
  switch (code) {
    case oska::OskaControlReturnCode::Ok: return "Ok";
    case oska::OskaControlReturnCode::NotReady: return "NotReady";
    case oska::OskaControlReturnCode::Error: return "Error";
    default: return "other";
  }
}

template <std::size_t N>
void printRow(const char* label, const std::array<double, N>& in, const std::array<double, N>& out,
              oska::OskaControlReturnCode code) {
  std::printf("  %-7s in  [", label);
  for (double v : in) std::printf(" %8.4f", v);
  std::printf(" ]\n  %-7s out [", "");
  for (double v : out) std::printf(" %8.4f", v);
  std::printf(" ]  %s\n", codeName(code));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string config_path = argc > 1 ? argv[1] : "examples/config.json";
  try {
    oska::OskaTfWrench wrench(config_path);
    oska::OskaTfTwist twist(config_path);
    oska::OskaTfImu imu(config_path);
    oska::OskaTfPose pose(config_path);
    oska::OskaTfPayload payload(config_path);

    // The IMU section leaves its output side to code: the controller wants
    // the acceleration at the flange centre, along the fixed axes.
    imu.setOutputReferencePoint("moving_frame", {0.0, 0.0, 0.0});
    imu.setOutputExpressionAxes("fixed_frame", {1.0, 0.0, 0.0, 0.0});

    std::printf("blocks: %s, %s, %s, %s, %s (from %s)\n", wrench.name().c_str(),
                twist.name().c_str(), imu.name().c_str(), pose.name().c_str(),
                payload.name().c_str(), config_path.c_str());

    const double rate = 0.5;  // rad/s about z
    for (int cycle = 0; cycle < 5; ++cycle) {
      const double t = 0.2 * cycle;
      const double half = 0.5 * rate * t;
      // Pose of the flange in the fixed frame: 0.3 m up, turned about z.
      const std::array<double, 7> flange{0.1 * t, 0.0, 0.3, std::cos(half), 0.0, 0.0, std::sin(half)};
      wrench.setFixedToMovingFrameTf(flange);
      twist.setFixedToMovingFrameTf(flange);
      imu.setFixedToMovingFrameTf(flange);
      payload.setFixedToMovingFrameTf(flange);

      std::printf("cycle %d (t = %.1f s)\n", cycle, t);

      const std::array<double, 6> wrench_in{1.0, 0.0, -10.0, 0.0, 0.1, 0.0};
      std::array<double, 6> external{};  // without the sensor's bias and the tool's weight
      printRow("payload", wrench_in, external, payload.update(wrench_in, external));

      std::array<double, 6> wrench_out{};
      printRow("wrench", wrench_in, wrench_out, wrench.update(wrench_in, wrench_out));

      const std::array<double, 6> twist_in{0.1, 0.0, 0.0, 0.0, 0.0, rate};
      std::array<double, 6> twist_out{};
      printRow("twist", twist_in, twist_out, twist.update(twist_in, twist_out));

      const std::array<double, 6> imu_in{0.0, 0.0, 9.81, 0.0, 0.0, rate};
      std::array<double, 6> imu_out{};
      printRow("imu", imu_in, imu_out, imu.update(imu_in, imu_out));

      const std::array<double, 7> pose_in = flange;
      std::array<double, 7> pose_out{};
      printRow("pose", pose_in, pose_out, pose.update(pose_in, pose_out));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quickstart: %s\n", e.what());
    return 1;
  }
  return 0;
}
