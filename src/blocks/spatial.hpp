// Spatial arithmetic shared by the blocks, on fixed-size Eigen types.
//
// Quaternions cross the API as [w, x, y, z] arrays and are turned into Eigen
// quaternions with the (w, x, y, z) constructor; Eigen stores them as
// [x, y, z, w], so they cannot be mapped in place. Eigen's quaternion-times-
// vector is rot(q, v) = v + w·t + u × t with t = 2·(u × v), which is the
// formula of every block for unit and non-unit quaternions alike.
#pragma once

#include <array>
#include <cmath>

#include <Eigen/Core>
#include <Eigen/Geometry>

namespace oska::detail {

using Vec3 = Eigen::Matrix<double, 3, 1>;
using Quat = Eigen::Quaternion<double>;
using ConstVec3Map = Eigen::Map<const Vec3, Eigen::Unaligned>;
using Vec3Map = Eigen::Map<Vec3, Eigen::Unaligned>;

inline Vec3 toVec3(const std::array<double, 3>& a) { return Vec3(a[0], a[1], a[2]); }
inline Quat toQuat(const double* wxyz) { return Quat(wxyz[0], wxyz[1], wxyz[2], wxyz[3]); }
inline Quat toQuat(const std::array<double, 4>& wxyz) { return toQuat(wxyz.data()); }

/// Writes v as [x, y, z] at `out`.
inline void storeVec3(const Vec3& v, double* out) { Vec3Map(out, 3) = v; }

/// Writes q as [w, x, y, z] at `out`.
inline void storeQuat(const Quat& q, double* out) {
  out[0] = q.w();
  out[1] = q.x();
  out[2] = q.y();
  out[3] = q.z();
}

/// rot(q, v) for any quaternion, unit or not.
inline Vec3 rot(const Quat& q, const Vec3& v) { return q * v; }

/// rot(conj(q), v): re-expresses a fixed-frame vector along the axes q.
inline Vec3 rotConj(const Quat& q, const Vec3& v) { return q.conjugate() * v; }

/// Divides q by its norm when the squared norm is positive; a zero or
/// non-finite quaternion is returned unchanged. No tolerance.
inline Quat normalise(const Quat& q) {
  const double s = q.coeffs().squaredNorm();
  if (!(s > 0.0)) return q;
  const double n = std::sqrt(s);
  return Quat(q.w() / n, q.x() / n, q.y() / n, q.z() / n);
}

/// The frame entries of a block resolved against the fixed frame.
struct ResolvedEntries {
  Vec3 input_point;
  Quat input_axes;
  Vec3 output_point;
  Quat output_axes;
};

}  // namespace oska::detail
