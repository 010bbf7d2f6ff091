// OskaTfImu: one IMU sample of a rigid body, measured at one point along one
// set of axes, re-expressed at another point of the same body along other axes.
//
// Signal: [ax, ay, az, wx, wy, wz], linear acceleration in m/s² and angular
// rate in rad/s; reference points and transform translations in metres.
// The acceleration is carried to the output point with the centripetal term,
// and in a batch optionally with the tangential term of a given angular
// acceleration; no Coriolis term, no gravity compensation, no history.
// The formula: README.md, section "IMU"; frames and entries as for
// OskaTfWrench (tf_wrench.hpp), which also states the real-time contract.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "oska/block_traits.hpp"
#include "oska/control.hpp"
#include "oska/export.hpp"
#include "oska/tf_config.hpp"

namespace oska {

class OSKA_API OskaTfImu {
 public:
  /// Builds from a code configuration (entries with an empty origin stay unset).
  explicit OskaTfImu(const OskaTfConfig& config);
  /// Builds from the section "tf_imu_config" of a JSON file; entries read
  /// from it are locked. Throws std::runtime_error when the file cannot be read.
  explicit OskaTfImu(const std::string& config_file);
  ~OskaTfImu();

  OskaTfImu(const OskaTfImu&) = delete;
  OskaTfImu& operator=(const OskaTfImu&) = delete;

  /// Block name from the configuration; valid as long as the block lives.
  const std::string& name() const;

  /// Entry setters: false (and one line) for an entry loaded from JSON,
  /// otherwise store origin and values unchanged and return true.
  bool setInputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setInputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);
  bool setOutputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setOutputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);

  /// Pose of the moving frame in the fixed frame, [tx, ty, tz, qw, qx, qy, qz].
  void setFixedToMovingFrameTf(const std::array<double, 7>& tf);

  /// True exactly when update would compute. Writes nothing.
  bool isReady() const noexcept;

  /// Transforms one sample; Ok with all six outputs written, otherwise
  /// imu_out untouched. imu_in and imu_out may be the same array.
  OskaControlReturnCode update(const std::array<double, 6>& imu_in,
                               std::array<double, 6>& imu_out);

  /// Transforms `count` samples of six doubles; as OskaTfWrench::updateBatch.
  /// `angular_acceleration`, when not null, holds `count` rows [αx, αy, αz]
  /// in rad/s² along the input axes (like the angular rate), and adds the
  /// tangential term α' × (P_out − P_in) to each acceleration; without it the
  /// formula is exactly that of update. It may not overlap `out` either.
  OskaControlReturnCode updateBatch(const double* in, double* out, std::size_t count,
                                    const double* fixed_to_moving_tf = nullptr,
                                    const double* angular_acceleration = nullptr);

  class OskaTfImuImpl;

 private:
  std::unique_ptr<OskaTfImuImpl> impl_;
};

template <>
struct BlockTraits<OskaTfImu> {
  static constexpr const char* kName = "OskaTfImu";
  static constexpr const char* kSection = "tf_imu_config";
  static constexpr std::size_t kSize = 6;
  static constexpr bool kHasTransform = true;
  static constexpr std::size_t kAuxSize = 3;
  static constexpr const char* kAuxName = "angular_acceleration";
  static constexpr const char* kSignal = "imu";
  static constexpr const char* kKind = "imu";
  static constexpr const char* kTransformArg = "tf";
  using Record = OskaTfConfig;
  static constexpr const char* kComponents[kSize] = {"ax", "ay", "az", "wx", "wy", "wz"};
  static constexpr ComponentGroup kGroups[] = {{"linear acceleration", 3, "m/s\u00b2"},
                                               {"angular rate", 3, "rad/s"}};
  static constexpr const char* kRosMessageTypes[] = {"sensor_msgs/msg/Imu"};
  static constexpr const char* kDescription =
      "Transforms a 6-DOF IMU signal [ax, ay, az, wx, wy, wz] between reference frames.";
};

}  // namespace oska
