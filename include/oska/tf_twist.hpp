// OskaTfTwist: the twist of a rigid body measured at one point along one set
// of axes, re-expressed at another point along other axes.
//
// Signal: [vx, vy, vz, wx, wy, wz], linear velocity in m/s and angular
// velocity in rad/s; reference points in the length unit of the velocity.
//
// With the resolved entries P_in, Q_in, P_out, Q_out (see tf_wrench.hpp for
// rot, ⊗, conj and how "moving_frame" entries are resolved):
//
//   w_fixed = rot(Q_in, w)
//   v_fixed = rot(Q_in, v) + w_fixed × (P_out − P_in)
//   out     = [rot(conj(Q_out), v_fixed), rot(conj(Q_out), w_fixed)]
//
// Quaternions are [w, x, y, z] and are used as supplied, never normalised.
// update() allocates nothing, builds no string and never throws.
#pragma once

#include <array>
#include <memory>
#include <string>

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

  /// Entry setters: false (and one line on std::cerr) for an entry loaded from
  /// JSON, otherwise store origin and values unchanged and return true.
  bool setInputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setInputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);
  bool setOutputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setOutputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);

  /// Pose of the moving frame in the fixed frame, [tx, ty, tz, qw, qx, qy, qz].
  void setFixedToMovingFrameTf(const std::array<double, 7>& tf);

  /// Transforms one sample; Ok with all six outputs written, otherwise
  /// twist_out untouched. twist_in and twist_out may be the same array.
  OskaControlReturnCode update(const std::array<double, 6>& twist_in,
                               std::array<double, 6>& twist_out);

  class OskaTfTwistImpl;

 private:
  std::unique_ptr<OskaTfTwistImpl> impl_;
};

}  // namespace oska
