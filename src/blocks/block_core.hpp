// The part every transform block shares, written once.
//
// A block is a public facade holding its implementation class, and every
// implementation class is a BlockCore<Kind>. The core is the update sequence
// of one sample (update) and of many (updateBatch): readiness, the checks of
// a batch, the arithmetic, the policy mapping, the exception handler and
// every diagnostic line. update runs one sample through the same function as
// the samples of a batch that do not fill a tile.
//
// A Kind supplies only what differs:
//   Block        its public class; BlockTraits<Block> (in the public header)
//                gives the class name, the JSON section and the sizes;
//   Config       what the block is configured with, a base of the core that
//                brings the constructors and setters. The wrench, twist, IMU
//                and pose blocks share EntryConfig<Kind, Source>: the four
//                entries, with the moving frame taken from a Source
//                (TransformSource, the fixed-to-moving transform the caller
//                gives, or BodyPoseSource, the input pose itself). A Config
//                gives the core (see EntryConfig):
//                  policy(), blockedReason()   the not-ready decision;
//                  stored(), transformRow()    what one update uses;
//                  resolved(), transformRows(tf), storeTransform(tf)
//                                              what a batch uses;
//                  sample<Kind>(config, call, row)
//                                              one sample or one tile, where
//                                              `call` is what stored() or
//                                              resolved() gave (for a tile,
//                                              splat<Lanes>() of it);
//                A kind configured otherwise brings its own Config with
//                the same members (PayloadConfig in tf_payload.cpp: a
//                record checked when it is given, and the transform);
//   transform()  the arithmetic of one sample, a template over the number
//                type (double, or Lanes<W> for W samples at once), so that
//                update and updateBatch run the same operations:
//                  with TransformSource:
//                    transform(const Entries<T>& resolved, const T* in, T* out,
//                              const T* aux)   aux: kAuxSize values or null;
//                  with BodyPoseSource:
//                    transform(const Entries<T>& stored, const MovingFlags&,
//                              const T* in, T* out).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "../config/entry_values.hpp"
#include "../diagnostics/emit.hpp"
#include "batch.hpp"
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
/// them whenever an entry is stored: the moving-frame flags and the four
/// values as the arithmetic reads them.
struct BlockEntries {
  std::string name;
  OskaControlBlockPolicy policy = OskaControlBlockPolicy::BestEffort;
  TranslationEntry input_ref_point;
  RotationEntry input_expr_axes;
  TranslationEntry output_ref_point;
  RotationEntry output_expr_axes;
  bool all_set = false;  ///< Every entry holds a value.
  MovingFlags moving;
  Entries<double> stored;  ///< The four values, as stored.

  /// Brings `all_set`, `moving` and `stored` in line with the entries; called
  /// by the constructor and by every setter that stores an entry.
  void derive() {
    all_set = input_ref_point.is_set && input_expr_axes.is_set && output_ref_point.is_set &&
              output_expr_axes.is_set;
    moving = {isMovingFrame(input_ref_point.origin), isMovingFrame(input_expr_axes.origin),
              isMovingFrame(output_ref_point.origin), isMovingFrame(output_expr_axes.origin)};
    stored = {loadVec3(input_ref_point.translation.data()), loadQuat(input_expr_axes.rotation.data()),
              loadVec3(output_ref_point.translation.data()),
              loadQuat(output_expr_axes.rotation.data())};
  }
};

/// A moving-frame point p becomes rot(q, p) + t and moving-frame axes e
/// become q ⊗ e; the other entries stay as stored.
template <typename T>
OSKA_INLINE Entries<T> resolve(const MovingFlags& m, const Entries<T>& v, const Vec3<T>& t,
                               const Quat<T>& q) {
  return {m.input_point ? rot(q, v.input_point) + t : v.input_point,
          m.input_axes ? q * v.input_axes : v.input_axes,
          m.output_point ? rot(q, v.output_point) + t : v.output_point,
          m.output_axes ? q * v.output_axes : v.output_axes};
}

/// The moving frame given by the caller as the fixed-to-moving transform
/// [tx, ty, tz, qw, qx, qy, qz] (wrench, twist and IMU blocks): members 7 to 9.
struct TransformSource {
  bool fixedToMovingSet = false;
  /// [tx, ty, tz, qw, qx, qy, qz]: the translation, then the rotation.
  std::array<double, 7> fixedToMoving{0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0};

  /// Stores the transform unchanged; nothing ever clears it again. Copied as
  /// two blocks of memory, as wide as the loads that read it back (see
  /// bench/notes.md).
  void set(const double* tf) {
    std::memcpy(fixedToMoving.data(), tf, 3 * sizeof(double));
    std::memcpy(fixedToMoving.data() + 3, tf + 3, 4 * sizeof(double));
    fixedToMovingSet = true;
  }

  /// The transform row of one update: the stored transform when an entry is
  /// on the moving frame, else none (the entries are used as stored).
  const double* transformRow(const BlockEntries& e) const {
    return e.moving.any ? fixedToMoving.data() : nullptr;
  }

  /// The reason update cannot run yet, or nullptr.
  const char* blockedReason(const BlockEntries& e) const {
    if (e.moving.any && !fixedToMovingSet) {
      return "a TF entry uses \"moving_frame\" but setFixedToMovingFrameTf() has not been called.";
    }
    return nullptr;
  }

  /// The entries against the fixed frame under the stored transform. A block
  /// with no entry on the moving frame uses them as stored.
  Entries<double> resolved(const BlockEntries& e) const {
    if (!e.moving.any) return e.stored;
    return resolve(e.moving, e.stored, loadVec3(fixedToMoving.data()),
                   loadQuat(fixedToMoving.data() + 3));
  }

  /// One sample of a batch: against its own transform row when the batch
  /// brings transforms, else against the call's entries.
  template <typename Kind, typename T>
  OSKA_INLINE static void sample(const BlockEntries& e, const Entries<T>& call_entries,
                                 const BatchRow<T>& row) {
    if (row.tf != nullptr) {
      const Entries<T> r = resolve(e.moving, splat<T>(e.stored), loadVec3(row.tf),
                                   loadQuat(row.tf + 3));
      Kind::transform(r, row.in, row.out, row.aux);
    } else {
      Kind::transform(call_entries, row.in, row.out, row.aux);
    }
  }
};

/// The moving frame taken from the input pose itself (pose block). It has no
/// state; its one precondition is that the input axes, which are needed to
/// find the body, are not themselves on the moving frame.
struct BodyPoseSource {
  const char* blockedReason(const BlockEntries& e) const {
    if (e.moving.input_axes) {
      return "input expression axes cannot use 'moving_frame' \u2014 this creates a circular "
             "dependency with the input quaternion.";
    }
    return nullptr;
  }

  Entries<double> resolved(const BlockEntries& e) const { return e.stored; }
  const double* transformRow(const BlockEntries&) const { return nullptr; }

  template <typename Kind, typename T>
  OSKA_INLINE static void sample(const BlockEntries& e, const Entries<T>& call_entries,
                                 const BatchRow<T>& row) {
    Kind::transform(call_entries, e.moving, row.in, row.out);
  }
};

/// Whether a kind's traits name every component once and group them all.
template <typename Traits>
constexpr bool componentsAreComplete() {
  std::size_t grouped = 0;
  for (const ComponentGroup& group : Traits::kGroups) grouped += group.count;
  for (const char* name : Traits::kComponents) {
    if (name == nullptr) return false;
  }
  return grouped == Traits::kSize && (Traits::kAuxSize == 0) == (*Traits::kAuxName == '\0') &&
         Traits::kHasTransform == (*Traits::kTransformArg != '\0');
}

/// Name, section and sizes of a kind, from the public traits of its block.
template <typename PublicBlock>
struct KindOf {
  using Block = PublicBlock;
  using Traits = BlockTraits<Block>;
  static_assert(componentsAreComplete<Traits>(),
                "BlockTraits: kComponents needs kSize names, kGroups must add up to kSize, "
                "kAuxName is given exactly when kAuxSize is not 0, and kTransformArg "
                "exactly when kHasTransform");
  static constexpr const char* kClassName = Traits::kName;
  static constexpr const char* kSection = Traits::kSection;
  static constexpr std::size_t kSize = Traits::kSize;
  static constexpr std::size_t kAuxSize = Traits::kAuxSize;
};

/// The configuration of the wrench, twist, IMU and pose blocks: name, policy
/// and the four entries with their setters and the JSON lock (members 1 to
/// 6), and the Source of the moving frame (members 7 to 9, where the block
/// has them).
template <typename Kind, typename Source>
class EntryConfig {
 public:
  /// Builds from a code configuration.
  explicit EntryConfig(const OskaTfConfig& config) : EntryConfig(toInternal(config)) {}
  /// Builds from the kind's section of a JSON file; its exceptions pass.
  explicit EntryConfig(const std::string& config_file)
      : EntryConfig(loadTfConfigFromFile(config_file, Kind::kSection)) {}

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
  void setFixedToMovingFrameTf(const std::array<double, 7>& tf) { source_.set(tf.data()); }

  // ------------------------------------------ what the update sequence reads

  OskaControlBlockPolicy policy() const { return entries_.policy; }

  /// The reason update cannot run (the entries first, then the source's own
  /// precondition), or nullptr when it can.
  const char* blockedReason() const {
    if (!entries_.all_set) return "update() called before all TF entries are set.";
    return source_.blockedReason(entries_);
  }

  /// One update: the entries as stored, and the stored transform as its row
  /// when an entry is on the moving frame (null otherwise).
  const Entries<double>& stored() const { return entries_.stored; }
  const double* transformRow() const { return source_.transformRow(entries_); }

  /// A batch: the entries resolved once for the samples without a transform
  /// row; the rows `tf` only matter when an entry is on the moving frame.
  Entries<double> resolved() const { return source_.resolved(entries_); }
  const double* transformRows(const double* tf) const {
    return entries_.moving.any ? tf : nullptr;
  }
  /// A batch's last transform row stays stored, as after the loop.
  void storeTransform(const double* tf) { source_.set(tf); }

  /// One sample (T = double) or one tile (T = Lanes) of either path.
  template <typename K, typename T>
  OSKA_INLINE static void sample(const EntryConfig& c, const Entries<T>& call,
                                 const BatchRow<T>& row) {
    Source::template sample<K>(c.entries_, call, row);
  }

 private:
  explicit EntryConfig(const OskaTfConfigInternal& config) {
    entries_.name = config.name;
    entries_.policy = config.policy;
    entries_.input_ref_point = config.input_ref_point;
    entries_.input_expr_axes = config.input_expr_axes;
    entries_.output_ref_point = config.output_ref_point;
    entries_.output_expr_axes = config.output_expr_axes;
    entries_.derive();
  }

  /// A setter is not inside update's exception handler: a refusal returns
  /// false whatever the sink does.
  template <typename Entry, typename Values>
  bool setEntry(Entry& entry, const char* label, const std::string& origin, const Values& values) {
    if (entry.locked) {
      emitLineNoThrow({Kind::kClassName, ": ", label,
                       " was loaded from JSON and cannot be overridden from code."});
      return false;
    }
    entry.origin = origin;
    detail::values(entry) = values;
    entry.is_set = true;
    entry.locked = false;
    entries_.derive();
    return true;
  }

  BlockEntries entries_;
  Source source_;
};

template <typename Kind>
class BlockCore : public Kind::Config {
  using Config = typename Kind::Config;

 public:
  static constexpr std::size_t kSize = Kind::kSize;
  using Signal = std::array<double, kSize>;

  using Config::Config;

  /// True exactly when update would compute.
  bool isReady() const noexcept { return this->blockedReason() == nullptr; }

  /// The update sequence of one sample. The success path allocates nothing,
  /// builds no string and throws nothing; every failure hands one line to the
  /// diagnostic sink and leaves `out` untouched. Only that line can throw;
  /// the exception handler of the sequence is part of the failure path.
  OskaControlReturnCode update(const Signal& in, Signal& out) {
    if (const char* reason = this->blockedReason()) return notReady(reason);
    const BatchRow<double> row{in.data(), out.data(), this->transformRow(), nullptr};
    Config::template sample<Kind>(*this, this->stored(), row);
    return OskaControlReturnCode::Ok;
  }

  /// updateBatch with the optional inputs its public class declares after
  /// `count`: kBatchInputs of them, the transform rows first, then the
  /// kind's extra input.
  template <typename... Inputs>
  OskaControlReturnCode updateBatch(const double* in, double* out, std::size_t count,
                                    Inputs... inputs) {
    static_assert(sizeof...(Inputs) == kBatchInputs<typename Kind::Block>,
                  "updateBatch takes the inputs BlockTraits gives the kind");
    constexpr bool kTransform = Kind::Traits::kHasTransform;
    const double* const given[] = {inputs..., nullptr};
    return runUpdateBatch(in, out, count, kTransform ? given[0] : nullptr,
                          Kind::kAuxSize > 0 ? given[kTransform ? 1 : 0] : nullptr);
  }

 protected:
  // The failure paths, out of line and cold (bench/notes.md, "Where the time
  // goes"), also for a kind's operations of its own (the payload's tare).
  // Each hands its line to the sink and returns its code; the line throws
  // only from the default sink, when the program enabled exceptions on
  // std::cerr. Such an exception is handled as update's handler does: one
  // more line, "<Class>::<operation> exception: <what>" ("update" for update
  // and updateBatch), which is lost if it throws too, and the code of an
  // exception. Exceptions of other types pass.
  [[gnu::cold, gnu::noinline]] OskaControlReturnCode notReady(
      const char* reason, const char* operation = "update") const {
    return fail(reason, applyPolicy(this->policy(), OskaCondition::NotReady), operation);
  }
  [[gnu::cold, gnu::noinline]] OskaControlReturnCode refused(
      const char* reason, const char* operation = "update") const {
    return fail(reason, OskaControlReturnCode::Error, operation);
  }

 private:
  /// The update sequence of `count` samples: what a loop of
  /// setFixedToMovingFrameTf(tf[i]) and update(in[i], out[i]) gives, with the
  /// checks made and any line written once for the call. `tf` (count rows of
  /// 7) and `aux` (count rows of kAuxSize) may be null.
  OskaControlReturnCode runUpdateBatch(const double* in, double* out, std::size_t count,
                                       const double* tf, const double* aux) {
    if (count == 0) return OskaControlReturnCode::Ok;
    if (in == nullptr || out == nullptr) return refused("updateBatch() given a null array.");
    if ((in != out && overlaps(in, kSize, out, count)) || overlaps(tf, 7, out, count) ||
        overlaps(aux, Kind::kAuxSize, out, count)) {
      return refused("updateBatch() output overlaps an input other than in place.");
    }
    // As in the loop, the first transform is given before the first sample
    // and the last one stays stored.
    if constexpr (Kind::Traits::kHasTransform) {
      if (tf != nullptr) this->storeTransform(tf + (count - 1) * 7);
    }
    if (const char* reason = this->blockedReason()) return notReady(reason);
    const BatchArgs args{in, out, count, this->transformRows(tf), aux};
    runBatch<Kind, Config>(static_cast<const Config&>(*this), this->resolved(), args);
    return OskaControlReturnCode::Ok;
  }

  /// Whether `count` rows of `width` at `a` share memory with the output rows.
  static bool overlaps(const double* a, std::size_t width, const double* out, std::size_t count) {
    if (a == nullptr || width == 0) return false;
    const auto a0 = reinterpret_cast<std::uintptr_t>(a);
    const auto o0 = reinterpret_cast<std::uintptr_t>(out);
    return a0 < o0 + count * kSize * sizeof(double) && o0 < a0 + count * width * sizeof(double);
  }

  OskaControlReturnCode fail(const char* reason, OskaControlReturnCode code,
                             const char* operation) const {
    try {
      emitLine({Kind::kClassName, ": ", reason});
      return code;
    } catch (const std::exception& e) {
      emitLineNoThrow({Kind::kClassName, "::", operation, " exception: ", e.what()});
      return applyPolicy(this->policy(), OskaCondition::Exception);
    }
  }
};

}  // namespace oska::detail
