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
//   transform()  the arithmetic, from the stored entries to the output.
#pragma once

#include <array>
#include <cstddef>
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

  bool any() const { return input_point || input_axes || output_point || output_axes; }
};

/// Members 1 to 6 of every implementation class, plus the moving-frame flags
/// derived from the origins.
struct BlockEntries {
  std::string name;
  OskaControlBlockPolicy policy = OskaControlBlockPolicy::BestEffort;
  TranslationEntry input_ref_point;
  RotationEntry input_expr_axes;
  TranslationEntry output_ref_point;
  RotationEntry output_expr_axes;
  MovingFlags moving;

  bool allSet() const {
    return input_ref_point.is_set && input_expr_axes.is_set && output_ref_point.is_set &&
           output_expr_axes.is_set;
  }
};

/// Moving frame given by the caller as the fixed-to-moving transform
/// [tx, ty, tz, qw, qx, qy, qz] (wrench, twist and IMU blocks): members 7 to 9.
struct FixedToMovingTransform {
  bool fixedToMovingSet = false;
  std::array<double, 3> fixedToMovingTranslation{0.0, 0.0, 0.0};
  std::array<double, 4> fixedToMovingRotation{1.0, 0.0, 0.0, 0.0};

  /// Stores the transform unchanged; nothing ever clears it again.
  void set(const std::array<double, 7>& tf) {
    fixedToMovingTranslation = {tf[0], tf[1], tf[2]};
    fixedToMovingRotation = {tf[3], tf[4], tf[5], tf[6]};
    fixedToMovingSet = true;
  }

  /// The reason update cannot run yet, or nullptr.
  const char* blockedReason(const BlockEntries& e) const {
    if (e.moving.any() && !fixedToMovingSet) {
      return "a TF entry uses \"moving_frame\" but setFixedToMovingFrameTf() has not been called.";
    }
    return nullptr;
  }

  /// Resolves the entries against the fixed frame: a moving-frame point p
  /// becomes rot(q, p) + t and moving-frame axes e become q ⊗ e.
  ResolvedEntries resolve(const BlockEntries& e) const {
    ResolvedEntries r{toVec3(e.input_ref_point.translation), toQuat(e.input_expr_axes.rotation),
                      toVec3(e.output_ref_point.translation), toQuat(e.output_expr_axes.rotation)};
    if (!e.moving.any()) return r;
    const Quat q = toQuat(fixedToMovingRotation);
    const Vec3 t = toVec3(fixedToMovingTranslation);
    if (e.moving.input_point) r.input_point = rot(q, r.input_point) + t;
    if (e.moving.input_axes) r.input_axes = q * r.input_axes;
    if (e.moving.output_point) r.output_point = rot(q, r.output_point) + t;
    if (e.moving.output_axes) r.output_axes = q * r.output_axes;
    return r;
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
    return setEntry(entries_.input_ref_point, entries_.moving.input_point, "InputReferencePoint",
                    origin, point);
  }
  bool setInputExpressionAxes(const std::string& origin, const std::array<double, 4>& axes) {
    return setEntry(entries_.input_expr_axes, entries_.moving.input_axes, "InputExpressionAxes",
                    origin, axes);
  }
  bool setOutputReferencePoint(const std::string& origin, const std::array<double, 3>& point) {
    return setEntry(entries_.output_ref_point, entries_.moving.output_point,
                    "OutputReferencePoint", origin, point);
  }
  bool setOutputExpressionAxes(const std::string& origin, const std::array<double, 4>& axes) {
    return setEntry(entries_.output_expr_axes, entries_.moving.output_axes, "OutputExpressionAxes",
                    origin, axes);
  }

  /// Only instantiated for kinds whose moving frame is the caller's transform.
  void setFixedToMovingFrameTf(const std::array<double, 7>& tf) { movingFrame_.set(tf); }

  /// The update sequence. The success path allocates nothing, builds no
  /// string and throws nothing; every failure writes one line and leaves
  /// `out` untouched.
  OskaControlReturnCode update(const Signal& in, Signal& out) {
    try {
      if (!entries_.allSet()) return notReady("update() called before all TF entries are set.");
      if (const char* reason = movingFrame_.blockedReason(entries_)) return notReady(reason);
      Kind::transform(entries_, movingFrame_, in.data(), out.data());
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
    entries_.moving = {isMovingFrame(config.input_ref_point.origin),
                       isMovingFrame(config.input_expr_axes.origin),
                       isMovingFrame(config.output_ref_point.origin),
                       isMovingFrame(config.output_expr_axes.origin)};
  }

  template <typename Entry, typename Values>
  bool setEntry(Entry& entry, bool& moving, const char* label, const std::string& origin,
                const Values& values) {
    if (entry.locked) {
      std::cerr << Kind::kClassName << ": " << label
                << " was loaded from JSON and cannot be overridden from code." << std::endl;
      return false;
    }
    entry.origin = origin;
    detail::values(entry) = values;
    entry.is_set = true;
    entry.locked = false;
    moving = isMovingFrame(origin);
    return true;
  }

  OskaControlReturnCode notReady(const char* reason) const {
    std::cerr << Kind::kClassName << ": " << reason << std::endl;
    return applyPolicy(entries_.policy, OskaCondition::NotReady);
  }

  BlockEntries entries_;
  typename Kind::MovingFrame movingFrame_;
};

}  // namespace oska::detail
