// OskaTfPayload: a force/torque sensor's wrench with the weight of the tool
// hanging on it and the sensor's own bias taken out.
//
// Model. The sensor measures, in its own axes about its own origin,
//   F_meas = F_ext + m·g_s + F_bias,   T_meas = T_ext + c × (m·g_s) + T_bias,
// where g_s is gravity along the sensor axes, m the payload's mass and c its
// centre of mass (OskaPayloadConfig, payload_config.hpp). The block puts out
// the external wrench
//   [F_meas − F_bias − m·g_s, T_meas − T_bias − c × (m·g_s)]
// in the same axes about the same origin (an OskaTfWrench then carries it
// wherever it is wanted). The sensor axes are R = R_fixed→moving · R_sensor:
// with q_tf the rotation of the fixed-to-moving transform (the pose of the
// moving frame, e.g. the flange, in the fixed frame, in which gravity is
// given) and q_s the configuration's sensor_axes, q = q_tf ⊗ q_s and
// g_s = rot(conj(q), g). README.md, section "Payload".
//
// Units: N, N·m, kg, m, m/s². Quaternions are [w, x, y, z], scalar first,
// used exactly as supplied (never normalised). update(), updateBatch() and
// tare() allocate nothing, build no string and never throw; a failed call
// hands one line to the diagnostic sink (diagnostics.hpp), beginning
// "OskaTfPayload: ". One block must not be used from two threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "oska/block_traits.hpp"
#include "oska/control.hpp"
#include "oska/export.hpp"
#include "oska/payload_config.hpp"

namespace oska {

class OSKA_API OskaTfPayload {
 public:
  /// Builds from a code configuration; throws std::invalid_argument naming
  /// the field when validatePayloadConfig refuses it.
  explicit OskaTfPayload(const OskaPayloadConfig& config);
  /// Builds from the section "tf_payload_config" of a JSON file. An empty
  /// path gives an unconfigured block, which is never ready. Throws
  /// std::runtime_error when the file cannot be read or the section is
  /// refused (loadPayloadConfigFromFile).
  explicit OskaTfPayload(const std::string& config_file);
  ~OskaTfPayload();

  OskaTfPayload(const OskaTfPayload&) = delete;
  OskaTfPayload& operator=(const OskaTfPayload&) = delete;

  /// Block name from the configuration; valid as long as the block lives.
  const std::string& name() const;

  /// The configuration in use, its bias as the last tare() left it; a
  /// default record for an unconfigured block. Copies the name (allocates).
  OskaPayloadConfig config() const;

  /// Pose of the moving frame in the fixed (gravity) frame,
  /// [tx, ty, tz, qw, qx, qy, qz]; only the rotation matters. Call it every
  /// cycle in which the sensor turns; the latest one is used by every later
  /// update and tare.
  void setFixedToMovingFrameTf(const std::array<double, 7>& tf);

  /// True exactly when update would compute: configured, and a transform
  /// given. Writes nothing.
  bool isReady() const noexcept;

  /// Compensates one sample. Returns Ok with all six outputs written; on a
  /// not-ready cycle writes one line, leaves wrench_out untouched and returns
  /// applyPolicy(policy, NotReady). wrench_in and wrench_out may be the same
  /// array.
  OskaControlReturnCode update(const std::array<double, 6>& wrench_in,
                               std::array<double, 6>& wrench_out);

  /// Compensates `count` samples, rows of six doubles, as
  /// OskaTfWrench::updateBatch: bit for bit the loop of
  /// setFixedToMovingFrameTf(fixed_to_moving_tf[i]) and update(in[i], out[i])
  /// (a NaN result is a NaN in both), the last transform row staying stored,
  /// or with the stored transform for every sample when it is null.
  OskaControlReturnCode updateBatch(const double* in, double* out, std::size_t count,
                                    const double* fixed_to_moving_tf = nullptr);

  /// Zeroes the sensor at the current orientation: sets force_bias and
  /// torque_bias so that the mean of the `count` samples `wrenches` (rows of
  /// six doubles, taken while the sensor held the orientation of the stored
  /// transform, with no external wrench) compensates to zero; mass and
  /// centre of mass stay. Returns Ok; NotReady or Error as the policy says,
  /// with one line and the bias unchanged, when update would not be ready;
  /// Error with one line and the bias unchanged for a null array, a count
  /// of 0, or samples (or a transform) that would make the bias non-finite.
  OskaControlReturnCode tare(const double* wrenches, std::size_t count);

  class OskaTfPayloadImpl;

 private:
  std::unique_ptr<OskaTfPayloadImpl> impl_;
};

template <>
struct BlockTraits<OskaTfPayload> {
  static constexpr const char* kName = "OskaTfPayload";
  static constexpr const char* kSection = "tf_payload_config";
  static constexpr std::size_t kSize = 6;
  static constexpr bool kHasTransform = true;
  static constexpr std::size_t kAuxSize = 0;
  static constexpr const char* kAuxName = "";
  static constexpr const char* kSignal = "wrench";
  static constexpr const char* kKind = "payload";
  static constexpr const char* kTransformArg = "fixed_to_moving_tf";
  using Record = OskaPayloadConfig;
  static constexpr const char* kComponents[kSize] = {"fx", "fy", "fz", "tx", "ty", "tz"};
  static constexpr ComponentGroup kGroups[] = {{"force", 3, "N"}, {"moment", 3, "N\u00b7m"}};
  static constexpr const char* kRosMessageTypes[] = {"geometry_msgs/msg/WrenchStamped"};
  static constexpr const char* kDescription =
      "Compensates a 6-DOF wrench signal [fx, fy, fz, tx, ty, tz] for the payload's weight and "
      "the sensor's bias.";
};

}  // namespace oska
