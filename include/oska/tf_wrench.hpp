// OskaTfWrench: a wrench measured about one point along one set of axes,
// re-expressed about another point along other axes.
//
// Signal: [fx, fy, fz, tx, ty, tz], force in N and moment in N·m.
//
// With the resolved entries P_in, Q_in (input point and axes) and P_out, Q_out
// (output point and axes), all relative to the fixed frame:
//
//   f_fixed = rot(Q_in, f)
//   m_fixed = rot(Q_in, m) + (P_in − P_out) × f_fixed
//   out     = [rot(conj(Q_out), f_fixed), rot(conj(Q_out), m_fixed)]
//
// rot(q, v) = v + w·t + u × t with t = 2·(u × v), for q = [w, u]; quaternions
// are [w, x, y, z] and are used exactly as supplied, never normalised.
//
// Frame entries: an entry whose origin is exactly "moving_frame" is given in
// the moving frame and is resolved through the fixed-to-moving transform
// [tx, ty, tz, qw, qx, qy, qz] (the pose of the moving frame in the fixed
// frame): a point p becomes rot(q, p) + t, axes e become q ⊗ e. Any other
// origin means the fixed frame.
//
// Real-time use: update() allocates nothing, builds no string and never
// throws. One block must not be used from two threads at once.
#pragma once

#include <array>
#include <memory>
#include <string>

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
  /// or, when the entry was loaded from JSON, writes one line to std::cerr and
  /// returns false. Points are [x, y, z]; rotations are [w, x, y, z].
  bool setInputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setInputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);
  bool setOutputReferencePoint(const std::string& origin, const std::array<double, 3>& translation);
  bool setOutputExpressionAxes(const std::string& origin, const std::array<double, 4>& rotation);

  /// Pose of the moving frame in the fixed frame, [tx, ty, tz, qw, qx, qy, qz].
  /// Call it every cycle when an entry is on "moving_frame"; the latest one is
  /// used by every later update.
  void setFixedToMovingFrameTf(const std::array<double, 7>& tf);

  /// Transforms one sample. Returns Ok with all six outputs written; on a
  /// not-ready cycle writes one line to std::cerr, leaves wrench_out untouched
  /// and returns applyPolicy(policy, NotReady). wrench_in and wrench_out may
  /// be the same array.
  OskaControlReturnCode update(const std::array<double, 6>& wrench_in,
                               std::array<double, 6>& wrench_out);

  class OskaTfWrenchImpl;

 private:
  std::unique_ptr<OskaTfWrenchImpl> impl_;
};

}  // namespace oska
