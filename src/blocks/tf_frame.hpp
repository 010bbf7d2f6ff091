// The frame shared by the four transform blocks, written once.
//
// A block is a public facade holding its implementation class, and every
// implementation class is a TfBlockFrame<Kind>. The frame owns what all blocks
// have in common: the two constructors funnelling into one from the internal
// record, the name and policy, the four entries with their setters and the
// JSON lock, the update sequence (readiness, the kind's own precondition, the
// arithmetic, the policy mapping and the exception handler) and every message.
//
// A Kind supplies only what differs:
//   kClassName   the class name at the head of every message;
//   kSection     the JSON section its path constructor reads;
//   kSize        the signal size;
//   MovingFrame  where "moving_frame" entries are resolved from: the caller's
//                fixed-to-moving transform, or the body pose itself (pose);
//   transform()  the arithmetic, from the resolved entries (or, for the pose
//                block, the stored ones) to the output.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "../config/entry_values.hpp"
#include "oska/control.hpp"
#include "oska/tf_config.hpp"
#include "spatial.hpp"

namespace oska::detail {

/// True exactly for the 12 characters "moving_frame". Decided once when an
/// entry is stored, so that update never compares strings.
inline bool isMovingFrame(const std::string& origin) { return origin == "moving_frame"; }

/// Which of the four entries are given relative to the moving frame.
struct MovingFlags {
  bool input_point = false;
  bool input_axes = false;
  bool output_point = false;
  bool output_axes = false;
  bool any = false;  ///< One of the four; derived with them.

  MovingFlags() = default;
  MovingFlags(bool in_point, bool in_axes, bool out_point, bool out_axes)
      : input_point(in_point),
        input_axes(in_axes),
        output_point(out_point),
        output_axes(out_axes),
        any(in_point || in_axes || out_point || out_axes) {}
};

/// Members 1 to 6 of every implementation class, plus what is derived from
/// them whenever an entry is stored: the moving-frame flags, and the four
/// values as Eigen vectors and quaternions, so that update reads them in place
/// instead of converting the [w, x, y, z] arrays on every call.
struct BlockEntries {
  std::string name;
  OskaControlBlockPolicy policy = OskaControlBlockPolicy::BestEffort;
  TranslationEntry input_ref_point;
  RotationEntry input_expr_axes;
  TranslationEntry output_ref_point;
  RotationEntry output_expr_axes;
  bool all_set = false;  ///< Every entry holds a value.
  MovingFlags moving;
  ResolvedEntries stored;  ///< The four values as Eigen types, as stored.

  /// Brings `all_set`, `moving` and `stored` in line with the entries; called
  /// by the constructor and by every setter that stores an entry.
  void derive() {
    all_set = input_ref_point.is_set && input_expr_axes.is_set && output_ref_point.is_set &&
              output_expr_axes.is_set;
    moving = {isMovingFrame(input_ref_point.origin), isMovingFrame(input_expr_axes.origin),
              isMovingFrame(output_ref_point.origin), isMovingFrame(output_expr_axes.origin)};
    stored = {toVec3(input_ref_point.translation), toQuat(input_expr_axes.rotation),
              toVec3(output_ref_point.translation), toQuat(output_expr_axes.rotation)};
  }
};

/// Moving frame given by the caller as the fixed-to-moving transform
/// [tx, ty, tz, qw, qx, qy, qz] (wrench, twist and IMU blocks): members 7 to 9.
struct FixedToMovingTransform {
  bool fixedToMovingSet = false;
  std::array<double, 3> fixedToMovingTranslation{0.0, 0.0, 0.0};
  std::array<double, 4> fixedToMovingRotation{1.0, 0.0, 0.0, 0.0};

  /// Stores the transform unchanged; nothing ever clears it again. Copied as
  /// two blocks of memory rather than element by element, so that the stores
  /// are as wide as the vector loads with which the next update reads them
  /// back: a load that spans two narrower stores cannot be served from the
  /// store buffer and waits for them to retire, on every cycle.
  void set(const std::array<double, 7>& tf) {
    std::memcpy(fixedToMovingTranslation.data(), tf.data(), sizeof fixedToMovingTranslation);
    std::memcpy(fixedToMovingRotation.data(), tf.data() + 3, sizeof fixedToMovingRotation);
    fixedToMovingSet = true;
  }

  /// The reason update cannot run yet, or nullptr.
  const char* blockedReason(const BlockEntries& e) const {
    if (e.moving.any && !fixedToMovingSet) {
      return "a TF entry uses \"moving_frame\" but setFixedToMovingFrameTf() has not been called.";
    }
    return nullptr;
  }

  /// Resolves the entries against the fixed frame and runs the kind's
  /// arithmetic on them. A block with no entry on the moving frame has
  /// nothing to resolve, and takes a path of its own: the arithmetic is laid
  /// out straight from the stored values, without the branches and the
  /// merging of resolved and stored values that the other path needs.
  template <typename Kind>
  void apply(const BlockEntries& e, const double* in, double* out) const {
    if (!e.moving.any) {
      Kind::transform(e.stored, in, out);
    } else {
      Kind::transform(resolve(e), in, out);
    }
  }

 private:
  /// A moving-frame point p becomes rot(q, p) + t and moving-frame axes e
  /// become q ⊗ e; the other entries stay as stored. Each entry is chosen in
  /// one expression, rather than written over in a copy, so that the values
  /// stay in registers.
  ResolvedEntries resolve(const BlockEntries& e) const {
    const ResolvedEntries& v = e.stored;
    const MovingFlags& m = e.moving;
    const Quat q = toQuat(fixedToMovingRotation);
    const Vec3 t = toVec3(fixedToMovingTranslation);
    return {m.input_point ? Vec3(rot(q, v.input_point) + t) : v.input_point,
            m.input_axes ? Quat(q * v.input_axes) : v.input_axes,
            m.output_point ? Vec3(rot(q, v.output_point) + t) : v.output_point,
            m.output_axes ? Quat(q * v.output_axes) : v.output_axes};
  }
};

/// Moving frame taken from the input pose itself (pose block). It has no
/// state; its one precondition is that the input axes, which are needed to
/// find the body, are not themselves on the moving frame.
struct BodyFrame {
  const char* blockedReason(const BlockEntries& e) const {
    if (e.moving.input_axes) {
      return "input expression axes cannot use 'moving_frame' \u2014 this creates a circular "
             "dependency with the input quaternion.";
    }
    return nullptr;
  }

  /// The entries are used as stored; the kind resolves the output entries
  /// against the body pose itself.
  template <typename Kind>
  void apply(const BlockEntries& e, const double* in, double* out) const {
    Kind::transform(e, in, out);
  }
};

template <typename Kind>
class TfBlockFrame {
 public:
  static constexpr std::size_t kSize = Kind::kSize;
  using Signal = std::array<double, kSize>;

  /// Builds from a code configuration.
  explicit TfBlockFrame(const OskaTfConfig& config) : TfBlockFrame(toInternal(config)) {}
  /// Builds from the kind's section of a JSON file; its exceptions pass.
  explicit TfBlockFrame(const std::string& config_file)
      : TfBlockFrame(loadTfConfigFromFile(config_file, Kind::kSection)) {}

  const std::string& name() const { return entries_.name; }

  bool setInputReferencePoint(const std::string& origin, const std::array<double, 3>& point) {
    return setEntry(entries_.input_ref_point, "InputReferencePoint", origin, point);
  }
  bool setInputExpressionAxes(const std::string& origin, const std::array<double, 4>& axes) {
    return setEntry(entries_.input_expr_axes, "InputExpressionAxes", origin, axes);
  }
  bool setOutputReferencePoint(const std::string& origin, const std::array<double, 3>& point) {
    return setEntry(entries_.output_ref_point, "OutputReferencePoint", origin, point);
  }
  bool setOutputExpressionAxes(const std::string& origin, const std::array<double, 4>& axes) {
    return setEntry(entries_.output_expr_axes, "OutputExpressionAxes", origin, axes);
  }

  /// Only instantiated for kinds whose moving frame is the caller's transform.
  void setFixedToMovingFrameTf(const std::array<double, 7>& tf) { movingFrame_.set(tf); }

  /// The update sequence. The success path allocates nothing, builds no
  /// string and throws nothing; every failure writes one line and leaves
  /// `out` untouched.
  OskaControlReturnCode update(const Signal& in, Signal& out) {
    try {
      if (!entries_.all_set) return notReady("update() called before all TF entries are set.");
      if (const char* reason = movingFrame_.blockedReason(entries_)) return notReady(reason);
      movingFrame_.template apply<Kind>(entries_, in.data(), out.data());
      return OskaControlReturnCode::Ok;
    } catch (const std::exception& e) {
      std::cerr << Kind::kClassName << "::update exception: " << e.what() << std::endl;
      return applyPolicy(entries_.policy, OskaCondition::Exception);
    }
  }

 private:
  explicit TfBlockFrame(const OskaTfConfigInternal& config) {
    entries_.name = config.name;
    entries_.policy = config.policy;
    entries_.input_ref_point = config.input_ref_point;
    entries_.input_expr_axes = config.input_expr_axes;
    entries_.output_ref_point = config.output_ref_point;
    entries_.output_expr_axes = config.output_expr_axes;
    entries_.derive();
  }

  template <typename Entry, typename Values>
  bool setEntry(Entry& entry, const char* label, const std::string& origin, const Values& values) {
    if (entry.locked) {
      std::cerr << Kind::kClassName << ": " << label
                << " was loaded from JSON and cannot be overridden from code." << std::endl;
      return false;
    }
    entry.origin = origin;
    detail::values(entry) = values;
    entry.is_set = true;
    entry.locked = false;
    entries_.derive();
    return true;
  }

  /// Out of line and cold: the success path of update then carries none of
  /// the stream code, and needs no registers saved for it.
  [[gnu::cold, gnu::noinline]] OskaControlReturnCode notReady(const char* reason) const {
    std::cerr << Kind::kClassName << ": " << reason << std::endl;
    return applyPolicy(entries_.policy, OskaCondition::NotReady);
  }

  BlockEntries entries_;
  typename Kind::MovingFrame movingFrame_;
};

}  // namespace oska::detail
