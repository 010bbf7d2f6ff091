// Spatial arithmetic of the blocks, written once for one sample and for a
// tile of samples.
//
// Every function is a template over the number type T: `double` for one
// sample (update), or a Lanes<W> vector holding the same quantity of W
// samples side by side (updateBatch, see lanes.hpp). Each lane goes through
// exactly the operations of the scalar code, in the same order, and IEEE
// addition, multiplication, division and square root round the same way in a
// vector lane as in a scalar register; with contraction into fused
// multiply-adds switched off for the library, a sample gets the same bits
// from either path. NaNs aside: where two NaNs meet, the one passed on
// depends on the order of the operands, which the compiler may swap.
//
// Formulas, for q = [w, u] (quaternions are [w, x, y, z], scalar first):
//   rot(q, v) = v + w·t + u × t, t = 2·(u × v), for unit and non-unit q alike;
//   a ⊗ b     the Hamilton product;  conj(q) = [w, −u].
#pragma once

#include <array>
#include <cmath>
#include <type_traits>

#include "lanes.hpp"

namespace oska::detail {

template <typename T>
struct Vec3 {
  T x, y, z;
};

template <typename T>
struct Quat {
  T w, x, y, z;
};

template <typename T>
OSKA_INLINE Vec3<T> operator+(const Vec3<T>& a, const Vec3<T>& b) {
  return {a.x + b.x, a.y + b.y, a.z + b.z};
}
template <typename T>
OSKA_INLINE Vec3<T> operator-(const Vec3<T>& a, const Vec3<T>& b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}

template <typename T>
OSKA_INLINE Vec3<T> cross(const Vec3<T>& a, const Vec3<T>& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

/// rot(q, v) for any quaternion, unit or not.
template <typename T>
OSKA_INLINE Vec3<T> rot(const Quat<T>& q, const Vec3<T>& v) {
  const Vec3<T> u{q.x, q.y, q.z};
  const Vec3<T> c = cross(u, v);
  const Vec3<T> t = c + c;
  const Vec3<T> s = cross(u, t);
  return {v.x + q.w * t.x + s.x, v.y + q.w * t.y + s.y, v.z + q.w * t.z + s.z};
}

template <typename T>
OSKA_INLINE Quat<T> conj(const Quat<T>& q) {
  return {q.w, -q.x, -q.y, -q.z};
}

/// rot(conj(q), v): re-expresses a fixed-frame vector along the axes q.
template <typename T>
OSKA_INLINE Vec3<T> rotConj(const Quat<T>& q, const Vec3<T>& v) {
  return rot(conj(q), v);
}

/// a ⊗ b.
template <typename T>
OSKA_INLINE Quat<T> operator*(const Quat<T>& a, const Quat<T>& b) {
  return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z,
          a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
          a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
          a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

/// Divides q by its norm when the squared norm is positive; a zero or
/// non-finite quaternion is returned unchanged. No tolerance.
template <typename T>
OSKA_INLINE Quat<T> normalise(const Quat<T>& q) {
  const T s = q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z;
  const auto positive = s > splat<T>(0.0);
  if constexpr (std::is_same_v<T, double>) {
    if (!positive) return q;
  }
  const T n = sqrtOf(s);
  return {choose(positive, q.w / n, q.w), choose(positive, q.x / n, q.x),
          choose(positive, q.y / n, q.y), choose(positive, q.z / n, q.z)};
}

// ---------------------------------------------------- loading and storing ---
// One sample's [x, y, z] and [w, x, y, z] at a pointer, for T = double; the
// batch path fills Lanes<W> values column by column instead (lanes.hpp).

template <typename T>
OSKA_INLINE Vec3<T> loadVec3(const T* p) {
  return {p[0], p[1], p[2]};
}
template <typename T>
OSKA_INLINE Quat<T> loadQuat(const T* wxyz) {
  return {wxyz[0], wxyz[1], wxyz[2], wxyz[3]};
}
template <typename T>
OSKA_INLINE void storeVec3(const Vec3<T>& v, T* out) {
  out[0] = v.x;
  out[1] = v.y;
  out[2] = v.z;
}
template <typename T>
OSKA_INLINE void storeQuat(const Quat<T>& q, T* out) {
  out[0] = q.w;
  out[1] = q.x;
  out[2] = q.y;
  out[3] = q.z;
}

template <typename T>
OSKA_INLINE Vec3<T> splatVec3(const Vec3<double>& v) {
  return {splat<T>(v.x), splat<T>(v.y), splat<T>(v.z)};
}
template <typename T>
OSKA_INLINE Quat<T> splatQuat(const Quat<double>& q) {
  return {splat<T>(q.w), splat<T>(q.x), splat<T>(q.y), splat<T>(q.z)};
}

/// The four entry values of a block: as stored, or resolved against the fixed
/// frame. Points are [x, y, z], axes quaternions [w, x, y, z].
template <typename T>
struct Entries {
  Vec3<T> input_point;
  Quat<T> input_axes;
  Vec3<T> output_point;
  Quat<T> output_axes;
};

/// The entries with each value in every lane; for one sample (T = double),
/// the entries themselves, not a copy.
template <typename T>
OSKA_INLINE decltype(auto) splat(const Entries<double>& e) {
  if constexpr (std::is_same_v<T, double>) {
    return (e);
  } else {
    return Entries<T>{splatVec3<T>(e.input_point), splatQuat<T>(e.input_axes),
                      splatVec3<T>(e.output_point), splatQuat<T>(e.output_axes)};
  }
}

}  // namespace oska::detail
