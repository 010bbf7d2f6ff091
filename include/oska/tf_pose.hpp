// OskaTfPose: the pose of a rigid body given at one reference point along one
// set of axes, re-expressed at another reference point along other axes.
//
// Signal: [px, py, pz, qw, qx, qy, qz], position in the caller's length unit
// and orientation as a quaternion [w, x, y, z], scalar first.
//
// The moving frame is the body itself: its orientation comes from the input
// quaternion and its origin from the input position and the input reference
// point. There is no fixed-to-moving transform. With stored entries R_in,
// Q_ia (input point and axes) and R_out, Q_oa (output point and axes):
//
//   P_f   = rot(Q_ia, p)                       Q_f = normalise(Q_ia ⊗ q)
//   R_in' = rot(Q_f, R_in) if R_in is on "moving_frame", else R_in
//   P_out = P_f − R_in' + rot(Q_f, R_out) if R_out is on "moving_frame", else R_out
//   Q_oa' = normalise(Q_f ⊗ Q_oa) if Q_oa is on "moving_frame", else Q_oa
//   out   = [rot(conj(Q_oa'), P_out), conj(Q_oa') ⊗ Q_f]
//
// normalise divides by the norm whenever the squared norm is positive and
// leaves a zero or non-finite quaternion unchanged. The input axes must not be
// on "moving_frame" (they are needed to find the moving frame): update then
// reports the block not ready.
//
// update() allocates nothing, builds no string and never throws.
#pragma once

#include <array>
#include <memory>
#include <string>

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

  /// Entry setters: false (and one line on std::cerr) for an entry loaded from
  /// JSON, otherwise store origin and values unchanged and return true.
  /// "moving_frame" input axes are accepted here and refused by update().
  bool setInputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setInputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);
  bool setOutputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setOutputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);

  /// Transforms one pose; Ok with all seven outputs written, otherwise
  /// pose_out untouched. pose_in and pose_out may be the same array.
  OskaControlReturnCode update(const std::array<double, 7>& pose_in,
                               std::array<double, 7>& pose_out);

  class OskaTfPoseImpl;

 private:
  std::unique_ptr<OskaTfPoseImpl> impl_;
};

}  // namespace oska
