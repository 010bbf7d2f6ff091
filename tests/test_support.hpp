// Helpers shared by the C++ tests: the block lists, stderr capture, temporary
// JSON files, a scalar reference of the quaternion formulas (independent of
// the library's own), blocks of any kind ready or not, and a std::cerr that
// throws.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "oska/tf_utils.hpp"

namespace oska::test {

// ------------------------------------------------------------ block lists --
// The typed tests run on every kind of oska::AllBlocks, or on those of them
// with a property: configured by the four entries (their Record is
// OskaTfConfig), and among those, the ones that take a fixed-to-moving
// transform.

template <typename Block>
inline constexpr bool kHasEntries = std::is_same_v<typename BlockTraits<Block>::Record, OskaTfConfig>;

template <typename Block>
struct HasEntries : std::bool_constant<kHasEntries<Block>> {};
template <typename Block>
struct HasEntriesAndTransform
    : std::bool_constant<kHasEntries<Block> && BlockTraits<Block>::kHasTransform> {};

template <typename... Blocks>
::testing::Types<Blocks...> gtestTypes(BlockList<Blocks...>);

/// The kinds of List for which Keep<Block>::value holds, in order.
template <template <typename> class Keep, typename List, typename Kept = BlockList<>>
struct Filter;
template <template <typename> class Keep, typename... Kept>
struct Filter<Keep, BlockList<>, BlockList<Kept...>> {
  using type = BlockList<Kept...>;
};
template <template <typename> class Keep, typename First, typename... Rest, typename... Kept>
struct Filter<Keep, BlockList<First, Rest...>, BlockList<Kept...>> {
  using type = typename Filter<Keep, BlockList<Rest...>,
                               std::conditional_t<Keep<First>::value, BlockList<Kept..., First>,
                                                  BlockList<Kept...>>>::type;
};

/// Every block kind, for TYPED_TEST_SUITE.
using AllBlockTypes = decltype(gtestTypes(AllBlocks{}));
/// The kinds configured by the four entries.
using EntryBlockTypes = decltype(gtestTypes(typename Filter<HasEntries, AllBlocks>::type{}));
/// Those of them that take a fixed-to-moving transform.
using TransformEntryBlockTypes =
    decltype(gtestTypes(typename Filter<HasEntriesAndTransform, AllBlocks>::type{}));

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

// ---------------------------------------------- blocks of any kind, by record --
/// Blocks of a kind for the tests every kind shares, made from what the kind
/// is configured with (BlockTraits<Block>::Record). Unconfigured is the same
/// for every kind: Block(std::string()), with the policy BestEffort.
///   ready(policy)      ready to compute;
///   blocked(policy)    configured, and not ready for the kind's own reason;
///   unconfiguredLine(), blockedLine()
///                      the lines their update writes;
///   randomCase(rng), build(case)
///                      a random ready configuration, with non-unit
///                      quaternions, and a block of it (call build for each
///                      of several identical blocks).
template <typename Block, typename Record = typename BlockTraits<Block>::Record>
struct Make;

template <typename Block>
std::string lineOf(const std::string& text) {
  return std::string(BlockTraits<Block>::kName) + ": " + text;
}

template <typename Block>
struct Make<Block, OskaTfConfig> {
  static constexpr bool kTransform = BlockTraits<Block>::kHasTransform;

  /// Every entry on the fixed frame.
  static std::unique_ptr<Block> ready(OskaControlBlockPolicy policy = OskaControlBlockPolicy::BestEffort) {
    OskaTfConfig config;
    config.policy = policy;
    config.input_ref_point = {"fixed_frame", {0.1, 0.2, 0.3}};
    config.input_expr_axes = {"fixed_frame", {0.9, 0.1, 0.2, 0.3}};
    config.output_ref_point = {"fixed_frame", {-0.4, 0.5, 0.0}};
    config.output_expr_axes = {"fixed_frame", {0.8, -0.3, 0.1, 0.4}};
    return std::make_unique<Block>(config);
  }
  /// An entry on the moving frame and no transform; for the pose, its input
  /// axes on the body itself.
  static std::unique_ptr<Block> blocked(OskaControlBlockPolicy policy) {
    auto block = ready(policy);
    if constexpr (kTransform) {
      block->setOutputReferencePoint("moving_frame", {0.0, 0.0, 0.0});
    } else {
      block->setInputExpressionAxes("moving_frame", {1.0, 0.0, 0.0, 0.0});
    }
    return block;
  }
  static std::string unconfiguredLine() {
    return lineOf<Block>("update() called before all TF entries are set.");
  }
  static std::string blockedLine() {
    return kTransform ? lineOf<Block>("a TF entry uses \"moving_frame\" but "
                                      "setFixedToMovingFrameTf() has not been called.")
                      : lineOf<Block>("input expression axes cannot use 'moving_frame' \u2014 "
                                      "this creates a circular dependency with the input "
                                      "quaternion.");
  }

  struct Case {
    OskaTfConfig config;
    std::array<double, 7> tf;
  };
  static Case randomCase(Random& rng) {
    RandomCase c = test::randomCase(rng, /*unit=*/false);
    if (!kTransform) c.config.input_expr_axes.origin = "fixed_frame";
    return {c.config, c.tf};
  }
  static std::unique_ptr<Block> build(const Case& c) {
    auto block = std::make_unique<Block>(c.config);
    if constexpr (kTransform) block->setFixedToMovingFrameTf(c.tf);
    return block;
  }
};

template <typename Block>
struct Make<Block, OskaPayloadConfig> {
  static OskaPayloadConfig record(OskaControlBlockPolicy policy) {
    OskaPayloadConfig config;
    config.policy = policy;
    config.mass = 1.5;
    config.center_of_mass = {0.01, -0.02, 0.07};
    config.force_bias = {0.4, -0.2, 1.1};
    config.torque_bias = {0.03, 0.01, -0.02};
    config.sensor_axes = normalise({0.9, 0.1, -0.3, 0.2});
    return config;
  }
  /// Configured, with a transform given.
  static std::unique_ptr<Block> ready(OskaControlBlockPolicy policy = OskaControlBlockPolicy::BestEffort) {
    auto block = blocked(policy);
    block->setFixedToMovingFrameTf({0.4, -0.1, 0.25, 0.8, 0.2, -0.4, 0.4});
    return block;
  }
  /// Configured, no transform given yet.
  static std::unique_ptr<Block> blocked(OskaControlBlockPolicy policy) {
    return std::make_unique<Block>(record(policy));
  }
  static std::string unconfiguredLine() {
    return lineOf<Block>("update() called before the block is configured.");
  }
  static std::string blockedLine() {
    return lineOf<Block>("update() called before setFixedToMovingFrameTf(): the sensor's "
                         "orientation is unknown.");
  }

  struct Case {
    OskaPayloadConfig config;
    std::array<double, 7> tf;
  };
  static Case randomCase(Random& rng) {
    Case c;
    c.config.mass = rng.uniform(0.0, 5.0);
    c.config.center_of_mass = rng.vec();
    c.config.force_bias = rng.vec();
    c.config.torque_bias = rng.vec();
    c.config.gravity = rng.vec();
    c.config.sensor_axes = rng.quat();
    const V3 t = rng.vec();
    const Q4 q = rng.quat();
    c.tf = {t[0], t[1], t[2], q[0], q[1], q[2], q[3]};
    return c;
  }
  static std::unique_ptr<Block> build(const Case& c) {
    auto block = std::make_unique<Block>(c.config);
    block->setFixedToMovingFrameTf(c.tf);
    return block;
  }
};

/// std::cerr with exceptions enabled, on a buffer whose first `failures`
/// writes throw DiskFull. Reading the text of a DiskFull clears the stream's
/// error state (as a program that handles the error would), so that the
/// block's exception line, which quotes that text, can reach the buffer.
class ThrowingStandardError {
 public:
  struct DiskFull : std::runtime_error {
    DiskFull() : std::runtime_error("disk full") {}
    const char* what() const noexcept override {
      std::cerr.clear();
      return std::runtime_error::what();
    }
  };

  explicit ThrowingStandardError(int failures) : buffer_(failures) {
    old_ = std::cerr.rdbuf(&buffer_);
    std::cerr.exceptions(std::ios::badbit | std::ios::failbit);
  }
  ~ThrowingStandardError() {
    std::cerr.exceptions(std::ios::goodbit);
    std::cerr.clear();
    std::cerr.rdbuf(old_);
  }
  ThrowingStandardError(const ThrowingStandardError&) = delete;
  ThrowingStandardError& operator=(const ThrowingStandardError&) = delete;

  const std::string& text() const { return buffer_.text; }
  int failuresLeft() const { return buffer_.failures; }

 private:
  struct Buffer : std::streambuf {
    explicit Buffer(int n) : failures(n) {}
    int failures;
    std::string text;
    void failOnce() {
      if (failures > 0) {
        --failures;
        throw DiskFull();
      }
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
      failOnce();
      text.append(s, static_cast<std::size_t>(n));
      return n;
    }
    int_type overflow(int_type c) override {
      failOnce();
      if (c != traits_type::eof()) text += traits_type::to_char_type(c);
      return traits_type::not_eof(c);
    }
  } buffer_;
  std::streambuf* old_;
};

}  // namespace oska::test
