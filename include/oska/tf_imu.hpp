// OskaTfImu: one IMU sample of a rigid body, measured at one point along one
// set of axes, re-expressed at another point of the same body along other axes.
//
// Signal: [ax, ay, az, wx, wy, wz], linear acceleration in m/s² and angular
// rate in rad/s; reference points and transform translations in metres.
//
// With the resolved entries P_in, Q_in, P_out, Q_out (see tf_wrench.hpp for
// rot, ⊗, conj and how "moving_frame" entries are resolved):
//
//   ω1 = rot(Q_in, ω),  d = P_out − P_in
//   a1 = rot(Q_in, a) + ω1 × (ω1 × d)          (centripetal transfer only)
//   out = [rot(conj(Q_out), a1), rot(conj(Q_out), ω1)]
//
// No tangential or Coriolis term, no gravity compensation, no history.
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

class OSKA_API OskaTfImu {
 public:
  /// Builds from a code configuration (entries with an empty origin stay unset).
  explicit OskaTfImu(const OskaTfConfig& config);
  /// Builds from the section "tf_imu_config" of a JSON file; entries read from
  /// it are locked. Throws std::runtime_error when the file cannot be read.
  explicit OskaTfImu(const std::string& config_file);
  ~OskaTfImu();

  OskaTfImu(const OskaTfImu&) = delete;
  OskaTfImu& operator=(const OskaTfImu&) = delete;

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
  /// imu_out untouched. imu_in and imu_out may be the same array.
  OskaControlReturnCode update(const std::array<double, 6>& imu_in,
                               std::array<double, 6>& imu_out);

  class OskaTfImuImpl;

 private:
  std::unique_ptr<OskaTfImuImpl> impl_;
};

}  // namespace oska
