// Helpers shared by the C++ tests: the block lists, stderr capture, temporary
// JSON files and a scalar reference of the quaternion formulas (independent of
// the library's Eigen code).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "oska/tf_utils.hpp"

namespace oska::test {

// ------------------------------------------------------------ block lists --
// The typed tests run on every kind of oska::AllBlocks, or on those of them
// that take a fixed-to-moving transform.

template <typename... Blocks>
::testing::Types<Blocks...> gtestTypes(BlockList<Blocks...>);

template <typename List, typename Kept = BlockList<>>
struct TransformBlocksOf;
template <typename... Kept>
struct TransformBlocksOf<BlockList<>, BlockList<Kept...>> {
  using type = BlockList<Kept...>;
};
template <typename First, typename... Rest, typename... Kept>
struct TransformBlocksOf<BlockList<First, Rest...>, BlockList<Kept...>> {
  using type = typename TransformBlocksOf<
      BlockList<Rest...>, std::conditional_t<BlockTraits<First>::kHasTransform,
                                             BlockList<Kept..., First>, BlockList<Kept...>>>::type;
};

/// Every block kind, for TYPED_TEST_SUITE.
using AllBlockTypes = decltype(gtestTypes(AllBlocks{}));
/// The kinds that take a fixed-to-moving transform.
using TransformBlockTypes = decltype(gtestTypes(typename TransformBlocksOf<AllBlocks>::type{}));

/// Redirects std::cerr into a string for the lifetime of the object.
class CerrCapture {
 public:
  CerrCapture() : old_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CerrCapture() { std::cerr.rdbuf(old_); }
  CerrCapture(const CerrCapture&) = delete;
  CerrCapture& operator=(const CerrCapture&) = delete;
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* old_;
};

/// A file in the test's temporary directory, removed on destruction.
class TempFile {
 public:
  explicit TempFile(const std::string& contents) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string stem = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : stem) {
      if (c == '/') c = '_';
    }
    path_ = ::testing::TempDir() + "oska_" + stem + "_" + std::to_string(counter_++) + ".json";
    std::ofstream(path_) << contents;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::string path_;
};

// ------------------------------------------------ scalar reference formulas --
using V3 = std::array<double, 3>;
using Q4 = std::array<double, 4>;  // [w, x, y, z]

inline V3 cross(const V3& a, const V3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline V3 add(const V3& a, const V3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline V3 sub(const V3& a, const V3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline V3 scale(double s, const V3& a) { return {s * a[0], s * a[1], s * a[2]}; }
inline double dot(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Q4 conj(const Q4& q) { return {q[0], -q[1], -q[2], -q[3]}; }
inline Q4 mul(const Q4& a, const Q4& b) {
  return {a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
          a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
          a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
          a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]};
}
inline V3 rot(const Q4& q, const V3& v) {
  const V3 u{q[1], q[2], q[3]};
  const V3 t = scale(2.0, cross(u, v));
  return add(add(v, scale(q[0], t)), cross(u, t));
}
inline Q4 normalise(const Q4& q) {
  const double s = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
  if (!(s > 0.0)) return q;
  const double n = std::sqrt(s);
  return {q[0] / n, q[1] / n, q[2] / n, q[3] / n};
}
/// Unit quaternion for a rotation of `angle` radians about a unit axis.
inline Q4 axisAngle(const V3& axis, double angle) {
  const double s = std::sin(angle / 2);
  return {std::cos(angle / 2), s * axis[0], s * axis[1], s * axis[2]};
}

template <std::size_t N>
void expectNear(const std::array<double, N>& actual, const std::array<double, N>& expected,
                double tolerance = 1e-12) {
  for (std::size_t i = 0; i < N; ++i) {
    EXPECT_NEAR(actual[i], expected[i], tolerance) << "element " << i;
  }
}

/// Agreement relative to the largest expected magnitude: non-unit quaternions
/// scale vectors by |q|² at each rotation, so absolute rounding grows with them.
template <std::size_t N>
void expectClose(const std::array<double, N>& actual, const std::array<double, N>& expected,
                 double relative = 1e-12) {
  double scale = 1.0;
  for (double v : expected) scale = std::max(scale, std::fabs(v));
  expectNear(actual, expected, relative * scale);
}

/// Seeded random values for the property tests.
class Random {
 public:
  explicit Random(std::uint64_t seed = 20261208) : engine_(seed) {}

  double uniform(double lo = -2.0, double hi = 2.0) {
    return std::uniform_real_distribution<double>(lo, hi)(engine_);
  }
  V3 vec() { return {uniform(), uniform(), uniform()}; }
  Q4 quat() { return {uniform(), uniform(), uniform(), uniform()}; }  // deliberately non-unit
  Q4 unitQuat() { return normalise(quat()); }
  const char* origin() { return uniform(0, 1) < 0.5 ? "moving_frame" : "fixed_frame"; }

 private:
  std::mt19937_64 engine_;
};

struct RandomCase {
  OskaTfConfig config;
  std::array<double, 7> tf;
};

/// Random entries on either frame and a random transform; unit or
/// deliberately non-unit quaternions.
inline RandomCase randomCase(Random& rng, bool unit) {
  RandomCase c;
  c.config.input_ref_point = {rng.origin(), rng.vec()};
  c.config.input_expr_axes = {rng.origin(), unit ? rng.unitQuat() : rng.quat()};
  c.config.output_ref_point = {rng.origin(), rng.vec()};
  c.config.output_expr_axes = {rng.origin(), unit ? rng.unitQuat() : rng.quat()};
  const V3 t = rng.vec();
  const Q4 q = unit ? rng.unitQuat() : rng.quat();
  c.tf = {t[0], t[1], t[2], q[0], q[1], q[2], q[3]};
  return c;
}

/// A configuration with every entry on "fixed_frame" at the identity.
inline OskaTfConfig fixedIdentityConfig() {
  OskaTfConfig config;
  config.input_ref_point.origin = "fixed_frame";
  config.input_expr_axes.origin = "fixed_frame";
  config.output_ref_point.origin = "fixed_frame";
  config.output_expr_axes.origin = "fixed_frame";
  return config;
}

}  // namespace oska::test
