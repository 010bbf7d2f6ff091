// The benchmark cases, shared by the timing program (bench_cpp.cpp) and the
// instruction-count driver (count_cpp.cpp) so that both measure the same code.
//
// A case is one control cycle of one way of doing the work:
//   floor  the block's formulas written directly with fixed-size Eigen types,
//          from std::array inputs to std::array outputs, with no checks, no
//          entries and no resolution beyond what the configuration needs;
//   ours   the public API of the shared library: setFixedToMovingFrameTf (on
//          the moving configuration, where the block has it) and update;
//   kdl    Orocos KDL, Frame * Wrench or Frame * Twist, with everything a KDL
//          user has to do each cycle to get there from our arrays and
//          quaternions: build the frames, compose, invert, convert back;
//   kdl_frame_once  the same with the frame built once, before the loop (the
//          fixed configuration only: on the moving one the transform changes
//          every cycle).
// Two configurations: every entry on "fixed_frame", and every entry that may
// be on "moving_frame" on it (all four, except the pose block's input axes).
//
// Every cycle reads its inputs through memory and writes its outputs to
// memory: DoNotOptimize on the sample before the work stops the compiler from
// hoisting anything out of the loop or folding the constant sample, and
// DoNotOptimize on the output keeps the work alive.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <benchmark/benchmark.h>
#include <kdl/frames.hpp>

#include "oska/tf_utils.hpp"

namespace oska::bench {

using A3 = std::array<double, 3>;
using A4 = std::array<double, 4>;
using A6 = std::array<double, 6>;
using A7 = std::array<double, 7>;

enum class Config { Fixed, Moving };

inline const char* configName(Config c) { return c == Config::Fixed ? "fixed" : "moving"; }

inline A4 unitQuat(double w, double x, double y, double z) {
  const double n = std::sqrt(w * w + x * x + y * y + z * z);
  return {w / n, x / n, y / n, z / n};
}

/// Everything one cycle reads: the signal, the fixed-to-moving transform and
/// the four entry values. Quaternions are unit quaternions, so that KDL (which
/// turns a quaternion into a rotation matrix and so normalises it) computes
/// the same thing as the blocks.
struct Sample {
  A6 in{1.5, -2.0, 0.75, 0.3, -0.2, 0.9};
  A7 pose_in{0.8, -0.4, 1.2, 0.0, 0.0, 0.0, 0.0};
  A7 tf{0.4, -0.1, 0.25, 0.0, 0.0, 0.0, 0.0};
  A3 p_in{0.1, 0.2, 0.3};
  A4 q_in = unitQuat(0.9, 0.1, -0.3, 0.2);
  A3 p_out{-0.05, 0.15, 0.6};
  A4 q_out = unitQuat(0.7, -0.2, 0.4, 0.1);

  Sample() {
    const A4 q_tf = unitQuat(0.95, 0.05, 0.2, -0.1);
    std::copy(q_tf.begin(), q_tf.end(), tf.begin() + 3);
    const A4 q_body = unitQuat(0.8, 0.3, -0.1, 0.4);
    std::copy(q_body.begin(), q_body.end(), pose_in.begin() + 3);
  }
};

// ------------------------------------------------------------------ floor ---
namespace eigen_floor {

using Vec3 = Eigen::Matrix<double, 3, 1>;
using Quat = Eigen::Quaternion<double>;

inline Vec3 vec(const double* p) { return Vec3(p[0], p[1], p[2]); }
inline Quat quat(const double* wxyz) { return Quat(wxyz[0], wxyz[1], wxyz[2], wxyz[3]); }

/// The four entries against the fixed frame.
struct Frames {
  Vec3 p_in;
  Quat q_in;
  Vec3 p_out;
  Quat q_out;
};

// The floor's functions are flattened: every Eigen call inside them is
// inlined, whatever budget the compiler has left after the many cases of
// this program (out of line, Eigen's quaternion rotation alone doubles the
// floor's time).
/// The entries against a transform row [tx, ty, tz, qw, qx, qy, qz].
[[gnu::flatten]] inline Frames resolveWith(const Frames& stored, const double* tf) {
  const Quat q = quat(tf + 3);
  const Vec3 t = vec(tf);
  return {q * stored.p_in + t, q * stored.q_in, q * stored.p_out + t, q * stored.q_out};
}

[[gnu::flatten]] inline Frames resolve(const Sample& s, Config c) {
  Frames f{vec(s.p_in.data()), quat(s.q_in.data()), vec(s.p_out.data()), quat(s.q_out.data())};
  if (c == Config::Moving) {
    const Quat q = quat(s.tf.data() + 3);
    const Vec3 t = vec(s.tf.data());
    f.p_in = q * f.p_in + t;
    f.q_in = q * f.q_in;
    f.p_out = q * f.p_out + t;
    f.q_out = q * f.q_out;
  }
  return f;
}

inline void store(const Vec3& a, const Vec3& b, double* out) {
  Eigen::Map<Vec3>{out} = a;
  Eigen::Map<Vec3>{out + 3} = b;
}

[[gnu::flatten]] inline void wrench(const Frames& f, const double* in, double* out) {
  const Vec3 force = f.q_in * vec(in);
  const Vec3 moment = f.q_in * vec(in + 3) + (f.p_in - f.p_out).cross(force);
  const Quat back = f.q_out.conjugate();
  store(back * force, back * moment, out);
}

[[gnu::flatten]] inline void twist(const Frames& f, const double* in, double* out) {
  const Vec3 w = f.q_in * vec(in + 3);
  const Vec3 v = f.q_in * vec(in) + w.cross(f.p_out - f.p_in);
  const Quat back = f.q_out.conjugate();
  store(back * v, back * w, out);
}

}  // namespace eigen_floor

// -------------------------------------------------------------------- KDL ---
namespace kdl {

inline KDL::Frame frame(const double* wxyz, const double* p) {
  return KDL::Frame(KDL::Rotation::Quaternion(wxyz[1], wxyz[2], wxyz[3], wxyz[0]),
                    KDL::Vector(p[0], p[1], p[2]));
}

/// The frame that carries input-side coordinates to output-side ones:
/// (T·F_out)⁻¹ · (T·F_in), with T the fixed-to-moving transform on the moving
/// configuration.
inline KDL::Frame outputFromInput(const Sample& s, Config c) {
  KDL::Frame in = frame(s.q_in.data(), s.p_in.data());
  KDL::Frame out = frame(s.q_out.data(), s.p_out.data());
  if (c == Config::Moving) {
    const KDL::Frame t = frame(s.tf.data() + 3, s.tf.data());
    in = t * in;
    out = t * out;
  }
  return out.Inverse() * in;
}

inline KDL::Vector vec(const double* p) { return KDL::Vector(p[0], p[1], p[2]); }

inline void store(const KDL::Vector& a, const KDL::Vector& b, A6& out) {
  out = {a.x(), a.y(), a.z(), b.x(), b.y(), b.z()};
}

inline void wrench(const KDL::Frame& f, const A6& in, A6& out) {
  const KDL::Wrench w = f * KDL::Wrench(vec(in.data()), vec(in.data() + 3));
  store(w.force, w.torque, out);
}

inline void twist(const KDL::Frame& f, const A6& in, A6& out) {
  const KDL::Twist t = f * KDL::Twist(vec(in.data()), vec(in.data() + 3));
  store(t.vel, t.rot, out);
}

}  // namespace kdl

// ----------------------------------------------------------------- blocks ---
/// A block kind of the benchmark, named by its BlockTraits. Every kind of
/// oska::AllBlocks gets its `ours` cases; the kinds specialised below also
/// have hand-written peers (the Eigen floor and KDL) to be compared with.
template <typename B>
struct OpBase {
  using Block = B;
  static constexpr const char* kName = BlockTraits<B>::kKind;
  static constexpr bool kHasTransform = BlockTraits<B>::kHasTransform;
  /// A kind that works on another kind's signal (the payload block on the
  /// wrench): its kSignal names that kind. Its cases are set beside that
  /// kind's, whole logs included.
  static constexpr bool kOnOtherKindsSignal =
      std::string_view(BlockTraits<B>::kSignal) != BlockTraits<B>::kKind;
};

template <typename B>
struct Op : OpBase<B> {
  static constexpr bool kHasPeers = false;
};

template <>
struct Op<OskaTfWrench> : OpBase<OskaTfWrench> {
  static constexpr bool kHasPeers = true;
  static void floorUpdate(const eigen_floor::Frames& f, const double* in, double* out) {
    eigen_floor::wrench(f, in, out);
  }
  static void kdlUpdate(const KDL::Frame& f, const A6& in, A6& out) { kdl::wrench(f, in, out); }
};

template <>
struct Op<OskaTfTwist> : OpBase<OskaTfTwist> {
  static constexpr bool kHasPeers = true;
  static void floorUpdate(const eigen_floor::Frames& f, const double* in, double* out) {
    eigen_floor::twist(f, in, out);
  }
  static void kdlUpdate(const KDL::Frame& f, const A6& in, A6& out) { kdl::twist(f, in, out); }
};

inline std::string caseName(const char* block, Config c, const char* impl) {
  return std::string(block) + "/" + configName(c) + "/" + impl;
}

template <typename Op, Config C>
struct FloorCase {
  static std::string name() { return caseName(Op::kName, C, "floor"); }
  Sample s;
  A6 out{};

  void cycle() {
    benchmark::DoNotOptimize(s);
    Op::floorUpdate(eigen_floor::resolve(s, C), s.in.data(), out.data());
    benchmark::DoNotOptimize(out);
  }
};

template <typename Op, Config C>
struct KdlCase {
  static std::string name() { return caseName(Op::kName, C, "kdl"); }
  Sample s;
  A6 out{};

  void cycle() {
    benchmark::DoNotOptimize(s);
    Op::kdlUpdate(kdl::outputFromInput(s, C), s.in, out);
    benchmark::DoNotOptimize(out);
  }
};

template <typename Op>
struct KdlFrameOnceCase {
  static std::string name() { return caseName(Op::kName, Config::Fixed, "kdl_frame_once"); }
  Sample s;
  KDL::Frame frame = kdl::outputFromInput(s, Config::Fixed);
  A6 out{};

  void cycle() {
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(frame);
    Op::kdlUpdate(frame, s.in, out);
    benchmark::DoNotOptimize(out);
  }
};

inline OskaTfConfig blockConfig(const Sample& s, Config c, bool input_axes_may_move) {
  const char* origin = c == Config::Moving ? "moving_frame" : "fixed_frame";
  OskaTfConfig config;
  config.name = "bench";
  config.input_ref_point = {origin, s.p_in};
  config.input_expr_axes = {input_axes_may_move ? origin : "fixed_frame", s.q_in};
  config.output_ref_point = {origin, s.p_out};
  config.output_expr_axes = {origin, s.q_out};
  return config;
}

/// A payload on the sensor, its centre of mass off the sensor's axis, a
/// bias, and the sensor turned in the flange by the sample's input axes.
inline OskaPayloadConfig payloadConfig(const Sample& s) {
  OskaPayloadConfig config;
  config.name = "bench";
  config.mass = 1.2;
  config.center_of_mass = s.p_in;
  config.force_bias = {0.4, -0.2, 1.1};
  config.torque_bias = {0.03, 0.01, -0.02};
  config.sensor_axes = s.q_in;
  return config;
}

/// The configuration of a kind's block, by the record the kind takes: the
/// entries of the configuration (the pose block's input axes always on the
/// fixed frame), or the payload. A payload block on `fixed` is given the
/// transform once, before the loop; on `moving`, every cycle.
template <typename Block>
typename BlockTraits<Block>::Record recordFor(const Sample& s, Config c) {
  if constexpr (std::is_same_v<typename BlockTraits<Block>::Record, OskaPayloadConfig>) {
    return payloadConfig(s);
  } else {
    return blockConfig(s, c, BlockTraits<Block>::kHasTransform);
  }
}

template <typename Op, Config C>
struct OursCase {
  using Block = typename Op::Block;
  static constexpr std::size_t kSize = BlockTraits<Block>::kSize;
  using Signal = std::array<double, kSize>;

  static std::string name() { return caseName(Op::kName, C, "ours"); }
  Sample s;
  Block block{recordFor<Block>(s, C)};
  Signal out{};
  OskaControlReturnCode rc = OskaControlReturnCode::Error;

  OursCase() {
    if constexpr (Op::kHasTransform) block.setFixedToMovingFrameTf(s.tf);
  }

  /// The pose sample for a signal of seven values, else the 6-DOF sample's
  /// values, cycled as far as the signal goes.
  Signal in = [this] {
    Signal v{};
    for (std::size_t i = 0; i < kSize; ++i) v[i] = kSize == 7 ? s.pose_in[i] : s.in[i % 6];
    return v;
  }();

  void cycle() {
    benchmark::DoNotOptimize(s);
    benchmark::DoNotOptimize(in);
    if constexpr (Op::kHasTransform && C == Config::Moving) block.setFixedToMovingFrameTf(s.tf);
    rc = block.update(in, out);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(out);
  }
};

// ------------------------------------------------------------------- logs ---
// The cost per sample of a whole log of kSamples samples, one pass per
// iteration: `batch` is updateBatch; `update_loop` calls
// setFixedToMovingFrameTf (moving) and update for each sample; `eigen_loop`
// is the floor's formulas in a plain loop, resolving the entries against each
// sample's transform on the moving configuration; `memcpy` copies the inputs
// to the outputs and reads the transforms, the least any pass must move.
// On the moving configuration every sample brings its own transform.

/// kSamples rows of input, transform and output, the sample's values varied
/// a little from row to row.
template <std::size_t kSamples>
struct Log {
  Sample s;
  std::vector<double> in, tf, out;
  Log() : in(kSamples * 6), tf(kSamples * 7), out(kSamples * 6) {
    for (std::size_t i = 0; i < kSamples; ++i) {
      const double wobble = 1e-6 * static_cast<double>(i % 1000);
      for (std::size_t k = 0; k < 6; ++k) in[6 * i + k] = s.in[k] + wobble;
      for (std::size_t k = 0; k < 7; ++k) tf[7 * i + k] = s.tf[k] + (k < 3 ? wobble : 0.0);
    }
  }
};

inline std::string logCaseName(const char* block, Config c, std::size_t samples, const char* impl) {
  return std::string(block) + "/" + configName(c) + "/log_" + std::to_string(samples) + "/" + impl;
}

template <typename Op, Config C, std::size_t kSamples>
struct BatchCase {
  static std::string name() { return logCaseName(Op::kName, C, kSamples, "batch"); }
  Log<kSamples> log;
  typename Op::Block block{recordFor<typename Op::Block>(log.s, C)};
  OskaControlReturnCode rc = OskaControlReturnCode::Error;

  BatchCase() { block.setFixedToMovingFrameTf(log.s.tf); }
  void cycle() {
    rc = block.updateBatch(log.in.data(), log.out.data(), kSamples,
                           C == Config::Moving ? log.tf.data() : nullptr);
    benchmark::DoNotOptimize(rc);
    benchmark::ClobberMemory();
  }
};

template <typename Op, Config C, std::size_t kSamples>
struct UpdateLoopCase {
  static std::string name() { return logCaseName(Op::kName, C, kSamples, "update_loop"); }
  Log<kSamples> log;
  typename Op::Block block{recordFor<typename Op::Block>(log.s, C)};

  UpdateLoopCase() { block.setFixedToMovingFrameTf(log.s.tf); }
  void cycle() {
    A6 in, out;
    A7 tf;
    for (std::size_t i = 0; i < kSamples; ++i) {
      if constexpr (C == Config::Moving) {
        std::memcpy(tf.data(), log.tf.data() + 7 * i, sizeof tf);
        block.setFixedToMovingFrameTf(tf);
      }
      std::memcpy(in.data(), log.in.data() + 6 * i, sizeof in);
      block.update(in, out);
      std::memcpy(log.out.data() + 6 * i, out.data(), sizeof out);
    }
    benchmark::ClobberMemory();
  }
};

template <typename Op, Config C, std::size_t kSamples>
struct EigenLoopCase {
  static std::string name() { return logCaseName(Op::kName, C, kSamples, "eigen_loop"); }
  Log<kSamples> log;

  void cycle() {
    const eigen_floor::Frames stored = eigen_floor::resolve(log.s, Config::Fixed);
    for (std::size_t i = 0; i < kSamples; ++i) {
      const double* in = log.in.data() + 6 * i;
      double* out = log.out.data() + 6 * i;
      if constexpr (C == Config::Moving) {
        Op::floorUpdate(eigen_floor::resolveWith(stored, log.tf.data() + 7 * i), in, out);
      } else {
        Op::floorUpdate(stored, in, out);
      }
    }
    benchmark::ClobberMemory();
  }
};

template <typename Op, Config C, std::size_t kSamples>
struct MemcpyCase {
  static std::string name() { return logCaseName(Op::kName, C, kSamples, "memcpy"); }
  Log<kSamples> log;

  void cycle() {
    std::memcpy(log.out.data(), log.in.data(), kSamples * 6 * sizeof(double));
    if constexpr (C == Config::Moving) {
      double sum = 0.0;
      for (double v : log.tf) sum += v;
      benchmark::DoNotOptimize(sum);
    }
    benchmark::ClobberMemory();
  }
};

template <typename Case>
struct CaseTag {
  using type = Case;
};

/// Calls f(tag) for both configurations, as std::integral_constant tags.
template <typename F>
void forEachConfig(F&& f) {
  f(std::integral_constant<Config, Config::Fixed>{});
  f(std::integral_constant<Config, Config::Moving>{});
}

/// Calls f(CaseTag<Case>{}) for every case, in table order: every block kind
/// of AllBlocks, each configuration, with its peers where it has them.
template <typename F>
void forEachCase(F&& f) {
  AllBlocks::forEach([&f](auto block) {
    using O = Op<typename decltype(block)::type>;
    forEachConfig([&f](auto config) {
      constexpr Config C = decltype(config)::value;
      if constexpr (O::kHasPeers) f(CaseTag<FloorCase<O, C>>{});
      f(CaseTag<OursCase<O, C>>{});
      if constexpr (O::kHasPeers) {
        f(CaseTag<KdlCase<O, C>>{});
        if constexpr (C == Config::Fixed) f(CaseTag<KdlFrameOnceCase<O>>{});
      }
    });
  });
}

/// Calls f(CaseTag<Case>{}) for every log case of `samples` samples, in
/// table order: the kinds with peers four ways, and the kinds on another
/// kind's signal two (batch, update_loop), both configurations.
template <std::size_t kSamples, typename F>
void forEachLogCaseOf(F&& f) {
  AllBlocks::forEach([&f](auto block) {
    using O = Op<typename decltype(block)::type>;
    if constexpr (O::kHasPeers || O::kOnOtherKindsSignal) {
      forEachConfig([&f](auto config) {
        constexpr Config C = decltype(config)::value;
        f(CaseTag<BatchCase<O, C, kSamples>>{});
        if constexpr (O::kHasPeers) f(CaseTag<EigenLoopCase<O, C, kSamples>>{});
        f(CaseTag<UpdateLoopCase<O, C, kSamples>>{});
        if constexpr (O::kHasPeers) f(CaseTag<MemcpyCase<O, C, kSamples>>{});
      });
    }
  });
}

/// Every log case: three log lengths.
template <typename F>
void forEachLogCase(F&& f) {
  forEachLogCaseOf<1000>(f);
  forEachLogCaseOf<100000>(f);
  forEachLogCaseOf<1000000>(f);
}

// ------------------------------------------------------ agreement check ---
namespace detail {

[[noreturn]] inline void disagree(const std::string& what) {
  std::fprintf(stderr, "\nBENCHMARK SETUP IS WRONG: %s\n\n", what.c_str());
  std::exit(2);
}

inline std::string show(const A6& a) {
  std::string s = "[";
  for (std::size_t i = 0; i < a.size(); ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%.17g", i ? ", " : "", a[i]);
    s += buf;
  }
  return s + "]";
}

inline double maxDiff(const A6& a, const A6& b) {
  double d = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::abs(a[i] - b[i]));
  return d;
}

template <typename Case>
A6 runOnce() {
  Case c;
  c.cycle();
  return c.out;
}

template <typename Op, Config C>
double checkAgreement() {
  constexpr double kTolerance = 1e-12;
  const A6 reference = runOnce<FloorCase<Op, C>>();
  const Sample s;
  if (maxDiff(reference, s.in) < 1e-3) {
    disagree(FloorCase<Op, C>::name() + " leaves the sample unchanged; it exercises nothing");
  }

  OursCase<Op, C> ours;
  ours.cycle();
  if (ours.rc != OskaControlReturnCode::Ok) disagree(ours.name() + ": update did not return Ok");

  double worst = 0.0;
  auto compare = [&](const std::string& name, const A6& got) {
    const double d = maxDiff(reference, got);
    worst = std::max(worst, d);
    if (!(d <= kTolerance)) {
      disagree(name + " disagrees with the floor by " + std::to_string(d) + "\n  floor: " +
               show(reference) + "\n  " + name + ": " + show(got));
    }
  };
  compare(ours.name(), ours.out);
  compare(KdlCase<Op, C>::name(), runOnce<KdlCase<Op, C>>());
  if constexpr (C == Config::Fixed) {
    compare(KdlFrameOnceCase<Op>::name(), runOnce<KdlFrameOnceCase<Op>>());
  }
  return worst;
}

template <typename Op, Config C>
void checkOk() {
  OursCase<Op, C> ours;
  ours.cycle();
  if (ours.rc != OskaControlReturnCode::Ok) disagree(ours.name() + ": update did not return Ok");
}

}  // namespace detail

/// Runs the cases of every kind with peers once on the same sample and stops
/// the process with a message unless the floor, KDL and the block agree
/// within rounding; checks that the other kinds' blocks return Ok. Returns
/// the largest deviation seen.
inline double checkAgreementOrDie() {
  double worst = 0.0;
  AllBlocks::forEach([&worst](auto block) {
    using O = Op<typename decltype(block)::type>;
    forEachConfig([&worst](auto config) {
      constexpr Config C = decltype(config)::value;
      if constexpr (O::kHasPeers) {
        worst = std::max(worst, detail::checkAgreement<O, C>());
      } else {
        detail::checkOk<O, C>();
      }
    });
  });
  return worst;
}

}  // namespace oska::bench
