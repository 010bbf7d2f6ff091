// OskaTfPose: the pose of a rigid body given at one reference point along one
// set of axes, re-expressed at another reference point along other axes.
//
// Signal: [px, py, pz, qw, qx, qy, qz], position in the caller's length unit
// and orientation as a quaternion [w, x, y, z], scalar first.
//
// The moving frame is the body itself: its orientation comes from the input
// quaternion and its origin from the input position and the input reference
// point, so there is no fixed-to-moving transform. The input axes must not be
// on "moving_frame" (they are needed to find the body): update then reports
// the block not ready. The block normalises the body orientation, and the
// output axes when they are on "moving_frame". The formula: README.md,
// section "Pose"; the real-time contract as for OskaTfWrench (tf_wrench.hpp).
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

class OSKA_API OskaTfPose {
 public:
  /// Builds from a code configuration (entries with an empty origin stay unset).
  explicit OskaTfPose(const OskaTfConfig& config);
  /// Builds from the section "tf_pose_config" of a JSON file; entries read
  /// from it are locked. Throws std::runtime_error when the file cannot be read.
  explicit OskaTfPose(const std::string& config_file);
  ~OskaTfPose();

  OskaTfPose(const OskaTfPose&) = delete;
  OskaTfPose& operator=(const OskaTfPose&) = delete;

  /// Block name from the configuration; valid as long as the block lives.
  const std::string& name() const;

  /// Entry setters: false (and one line) for an entry loaded from JSON,
  /// otherwise store origin and values unchanged and return true.
  /// "moving_frame" input axes are accepted here and refused by update().
  bool setInputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setInputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);
  bool setOutputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setOutputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);

  /// True exactly when update would compute: every entry set and the input
  /// axes not on "moving_frame". Writes nothing.
  bool isReady() const noexcept;

  /// Transforms one pose; Ok with all seven outputs written, otherwise
  /// pose_out untouched. pose_in and pose_out may be the same array.
  OskaControlReturnCode update(const std::array<double, 7>& pose_in,
                               std::array<double, 7>& pose_out);

  /// Transforms `count` poses of seven doubles; as OskaTfWrench::updateBatch,
  /// without transforms.
  OskaControlReturnCode updateBatch(const double* in, double* out, std::size_t count);

  class OskaTfPoseImpl;

 private:
  std::unique_ptr<OskaTfPoseImpl> impl_;
};

template <>
struct BlockTraits<OskaTfPose> {
  static constexpr const char* kName = "OskaTfPose";
  static constexpr const char* kSection = "tf_pose_config";
  static constexpr std::size_t kSize = 7;
  static constexpr bool kHasTransform = false;
  static constexpr std::size_t kAuxSize = 0;
  static constexpr const char* kAuxName = "";
  static constexpr const char* kSignal = "pose";
  static constexpr const char* kKind = "pose";
  static constexpr const char* kTransformArg = "";
  using Record = OskaTfConfig;
  static constexpr const char* kComponents[kSize] = {"px", "py", "pz", "qw", "qx", "qy", "qz"};
  // The position is in the length unit of the entries; the quaternion has none.
  static constexpr ComponentGroup kGroups[] = {{"position", 3, ""}, {"orientation", 4, ""}};
  static constexpr const char* kRosMessageTypes[] = {"geometry_msgs/msg/PoseStamped"};
  static constexpr const char* kDescription =
      "Transforms a 7-DOF pose signal [px, py, pz, qw, qx, qy, qz] between reference points.";
};

}  // namespace oska
