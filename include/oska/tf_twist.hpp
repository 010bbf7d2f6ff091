// OskaTfTwist: the twist of a rigid body measured at one point along one set
// of axes, re-expressed at another point along other axes.
//
// Signal: [vx, vy, vz, wx, wy, wz], linear velocity in m/s and angular
// velocity in rad/s; reference points in the length unit of the velocity.
// The formula: README.md, section "Twist"; frames and entries as for
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

class OSKA_API OskaTfTwist {
 public:
  /// Builds from a code configuration (entries with an empty origin stay unset).
  explicit OskaTfTwist(const OskaTfConfig& config);
  /// Builds from the section "tf_twist_config" of a JSON file; entries read
  /// from it are locked. Throws std::runtime_error when the file cannot be read.
  explicit OskaTfTwist(const std::string& config_file);
  ~OskaTfTwist();

  OskaTfTwist(const OskaTfTwist&) = delete;
  OskaTfTwist& operator=(const OskaTfTwist&) = delete;

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
  /// twist_out untouched. twist_in and twist_out may be the same array.
  OskaControlReturnCode update(const std::array<double, 6>& twist_in,
                               std::array<double, 6>& twist_out);

  /// Transforms `count` samples of six doubles; as OskaTfWrench::updateBatch.
  OskaControlReturnCode updateBatch(const double* in, double* out, std::size_t count,
                                    const double* fixed_to_moving_tf = nullptr);

  class OskaTfTwistImpl;

 private:
  std::unique_ptr<OskaTfTwistImpl> impl_;
};

template <>
struct BlockTraits<OskaTfTwist> {
  static constexpr const char* kName = "OskaTfTwist";
  static constexpr const char* kSection = "tf_twist_config";
  static constexpr std::size_t kSize = 6;
  static constexpr bool kHasTransform = true;
  static constexpr std::size_t kAuxSize = 0;
  static constexpr const char* kAuxName = "";
  static constexpr const char* kSignal = "twist";
  static constexpr const char* kKind = "twist";
  static constexpr const char* kTransformArg = "tf";
  using Record = OskaTfConfig;
  static constexpr const char* kComponents[kSize] = {"vx", "vy", "vz", "wx", "wy", "wz"};
  static constexpr ComponentGroup kGroups[] = {{"linear velocity", 3, "m/s"},
                                               {"angular velocity", 3, "rad/s"}};
  // AccelStamped is a screw carried like a twist (README, "Command-line tool").
  static constexpr const char* kRosMessageTypes[] = {"geometry_msgs/msg/TwistStamped",
                                                     "geometry_msgs/msg/AccelStamped"};
  static constexpr const char* kDescription =
      "Transforms a 6-DOF twist signal [vx, vy, vz, wx, wy, wz] between reference frames.";
};

}  // namespace oska
