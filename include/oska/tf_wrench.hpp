// OskaTfWrench: a wrench measured about one point along one set of axes,
// re-expressed about another point along other axes.
//
// Signal: [fx, fy, fz, tx, ty, tz], force in N and moment in N·m; reference
// points in metres. The formula, the frames and how entries on
// "moving_frame" are resolved: README.md, sections "Frames and entries" and
// "Wrench".
//
// Quaternions are [w, x, y, z], scalar first, used exactly as supplied
// (never normalised). update() and updateBatch() allocate nothing, build no
// string and never throw; a failed call hands one line to the diagnostic
// sink (diagnostics.hpp). One block must not be used from two threads at once.
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

class OSKA_API OskaTfWrench {
 public:
  /// Builds from a code configuration (entries with an empty origin stay unset).
  explicit OskaTfWrench(const OskaTfConfig& config);
  /// Builds from the section "tf_wrench_config" of a JSON file; entries read
  /// from it are locked. An empty path gives an unconfigured block. Throws
  /// std::runtime_error when the file cannot be read.
  explicit OskaTfWrench(const std::string& config_file);
  ~OskaTfWrench();

  OskaTfWrench(const OskaTfWrench&) = delete;
  OskaTfWrench& operator=(const OskaTfWrench&) = delete;

  /// Block name from the configuration; valid as long as the block lives.
  const std::string& name() const;

  /// Entry setters. Each stores origin and values unchanged and returns true,
  /// or, when the entry was loaded from JSON, writes one line and returns
  /// false. Points are [x, y, z]; rotations are [w, x, y, z].
  bool setInputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setInputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);
  bool setOutputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setOutputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);

  /// Pose of the moving frame in the fixed frame, [tx, ty, tz, qw, qx, qy, qz].
  /// Call it every cycle when an entry is on "moving_frame"; the latest one is
  /// used by every later update.
  void setFixedToMovingFrameTf(const std::array<double, 7>& tf);

  /// True exactly when update would compute: every entry set, and a
  /// transform given if an entry is on "moving_frame". Writes nothing.
  bool isReady() const noexcept;

  /// Transforms one sample. Returns Ok with all six outputs written; on a
  /// not-ready cycle writes one line, leaves wrench_out untouched and returns
  /// applyPolicy(policy, NotReady). wrench_in and wrench_out may be the same
  /// array.
  OskaControlReturnCode update(const std::array<double, 6>& wrench_in,
                               std::array<double, 6>& wrench_out);

  /// Transforms `count` samples, rows of six doubles one after another: the
  /// same as setFixedToMovingFrameTf(fixed_to_moving_tf[i]) then update(in[i],
  /// out[i]) for each i, bit for bit (a NaN result is a NaN in both, not
  /// necessarily the same one), with the checks made and any line written
  /// once for the call. `fixed_to_moving_tf` holds `count` rows
  /// [tx, ty, tz, qw, qx, qy, qz], the last of which stays stored, or is null:
  /// then the stored transform serves every sample. On a not-ready call
  /// nothing is written. `out` may be `in` itself, but may not overlap it
  /// otherwise, nor overlap the transforms (Error, with one line). A count of
  /// 0 returns Ok and touches nothing.
  OskaControlReturnCode updateBatch(const double* in, double* out, std::size_t count,
                                    const double* fixed_to_moving_tf = nullptr);

  class OskaTfWrenchImpl;

 private:
  std::unique_ptr<OskaTfWrenchImpl> impl_;
};

template <>
struct BlockTraits<OskaTfWrench> {
  static constexpr const char* kName = "OskaTfWrench";
  static constexpr const char* kSection = "tf_wrench_config";
  static constexpr std::size_t kSize = 6;
  static constexpr bool kHasTransform = true;
  static constexpr std::size_t kAuxSize = 0;
  static constexpr const char* kAuxName = "";
  static constexpr const char* kSignal = "wrench";
  static constexpr const char* kKind = "wrench";
  static constexpr const char* kTransformArg = "tf";
  using Record = OskaTfConfig;
  static constexpr const char* kComponents[kSize] = {"fx", "fy", "fz", "tx", "ty", "tz"};
  static constexpr ComponentGroup kGroups[] = {{"force", 3, "N"}, {"moment", 3, "N\u00b7m"}};
  static constexpr const char* kRosMessageTypes[] = {"geometry_msgs/msg/WrenchStamped"};
  static constexpr const char* kDescription =
      "Transforms a 6-DOF wrench signal [fx, fy, fz, tx, ty, tz] between reference frames.";
};

}  // namespace oska
