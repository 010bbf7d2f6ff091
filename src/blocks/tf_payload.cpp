// Payload block: the shared core, configured by a payload record and the
// sensor's orientation instead of the four entries, with the compensation
// arithmetic and the tare.
#include "oska/tf_payload.hpp"

#include <cmath>
#include <cstddef>
#include <string>
#include <type_traits>

#include "block_core.hpp"
#include "block_facade.hpp"

namespace oska {
namespace detail {

/// What compensating one sample reads besides the sample and its orientation,
/// as the arithmetic uses it: the bias, the centre of mass, the weight m·g in
/// the fixed frame, the sensor axes in the moving frame; and the weight along
/// the sensor axes under the stored transform, for the samples of a batch
/// that bring no transform row.
template <typename T>
struct PayloadTerms {
  Vec3<T> force_bias;
  Vec3<T> torque_bias;
  Vec3<T> center_of_mass;
  Vec3<T> weight;
  Quat<T> sensor_axes;
  Vec3<T> stored_weight;
};

/// The terms with each value in every lane; for one sample (T = double), the
/// terms themselves, not a copy.
template <typename T>
OSKA_INLINE decltype(auto) splat(const PayloadTerms<double>& p) {
  if constexpr (std::is_same_v<T, double>) {
    return (p);
  } else {
    return PayloadTerms<T>{splatVec3<T>(p.force_bias),     splatVec3<T>(p.torque_bias),
                           splatVec3<T>(p.center_of_mass), splatVec3<T>(p.weight),
                           splatQuat<T>(p.sensor_axes),    splatVec3<T>(p.stored_weight)};
  }
}

/// m·g_s = rot(conj(q_tf ⊗ q_s), m·g): the weight along the sensor axes for
/// the moving frame's rotation q_tf.
template <typename T>
OSKA_INLINE Vec3<T> weightInSensor(const PayloadTerms<T>& p, const Quat<T>& q_tf) {
  return rotConj(q_tf * p.sensor_axes, p.weight);
}

/// The configuration of the payload block: the record, checked when it is
/// given, and the stored transform, which the block always needs (the weight
/// turns with the sensor). An empty file path leaves it unconfigured.
class PayloadConfig {
 public:
  explicit PayloadConfig(const OskaPayloadConfig& config) : configured_(true), config_(config) {
    validatePayloadConfig(config_);
    derive();
  }
  explicit PayloadConfig(const std::string& config_file) : configured_(!config_file.empty()) {
    if (configured_) config_ = loadPayloadConfigFromFile(config_file);
    derive();
  }

  const std::string& name() const { return config_.name; }
  const OskaPayloadConfig& record() const { return config_; }
  void setFixedToMovingFrameTf(const std::array<double, 7>& tf) { source_.set(tf.data()); }

  // ------------------------------------------ what the update sequence reads

  OskaControlBlockPolicy policy() const { return config_.policy; }

  /// Why an operation cannot run yet, in its own words, or nullptr.
  struct Reasons {
    const char* unconfigured;
    const char* no_transform;
  };
  static constexpr Reasons kUpdate{
      "update() called before the block is configured.",
      "update() called before setFixedToMovingFrameTf(): the sensor's orientation is unknown."};
  static constexpr Reasons kTare{
      "tare() called before the block is configured.",
      "tare() called before setFixedToMovingFrameTf(): the sensor's orientation is unknown."};

  const char* blockedReason(const Reasons& reasons = kUpdate) const {
    if (!configured_) return reasons.unconfigured;
    if (!source_.fixedToMovingSet) return reasons.no_transform;
    return nullptr;
  }

  /// One update: the terms, and the stored transform as its row.
  const PayloadTerms<double>& stored() const { return terms_; }
  const double* transformRow() const { return source_.fixedToMoving.data(); }

  /// A batch: the terms with the weight under the stored transform, for the
  /// samples without a transform row.
  PayloadTerms<double> resolved() const {
    PayloadTerms<double> terms = terms_;
    terms.stored_weight = weightInSensor(terms_, storedRotation());
    return terms;
  }
  const double* transformRows(const double* tf) const { return tf; }
  void storeTransform(const double* tf) { source_.set(tf); }

  /// One sample (T = double) or one tile (T = Lanes) of either path: the
  /// weight under its own transform row when it has one, else the stored one.
  template <typename K, typename T>
  OSKA_INLINE static void sample(const PayloadConfig&, const PayloadTerms<T>& call,
                                 const BatchRow<T>& row) {
    if (row.tf != nullptr) {
      K::transform(call, weightInSensor(call, loadQuat(row.tf + 3)), row.in, row.out);
    } else {
      K::transform(call, call.stored_weight, row.in, row.out);
    }
  }

 protected:
  /// The bias that compensates the mean force and moment to zero under the
  /// stored transform: F_bias = F̄ − m·g_s, T_bias = T̄ − c × (m·g_s). Stored
  /// only when finite; returns whether it was.
  bool tareTo(const Vec3<double>& mean_force, const Vec3<double>& mean_moment) {
    const Vec3<double> w = weightInSensor(terms_, storedRotation());
    const Vec3<double> force_bias = mean_force - w;
    const Vec3<double> torque_bias = mean_moment - cross(terms_.center_of_mass, w);
    for (double v : {force_bias.x, force_bias.y, force_bias.z, torque_bias.x, torque_bias.y,
                     torque_bias.z}) {
      if (!std::isfinite(v)) return false;
    }
    config_.force_bias = {force_bias.x, force_bias.y, force_bias.z};
    config_.torque_bias = {torque_bias.x, torque_bias.y, torque_bias.z};
    derive();
    return true;
  }

 private:
  Quat<double> storedRotation() const { return loadQuat(source_.fixedToMoving.data() + 3); }

  /// Brings the terms in line with the record.
  void derive() {
    const double m = config_.mass;
    terms_.force_bias = loadVec3(config_.force_bias.data());
    terms_.torque_bias = loadVec3(config_.torque_bias.data());
    terms_.center_of_mass = loadVec3(config_.center_of_mass.data());
    terms_.weight = {m * config_.gravity[0], m * config_.gravity[1], m * config_.gravity[2]};
    terms_.sensor_axes = loadQuat(config_.sensor_axes.data());
    terms_.stored_weight = {0.0, 0.0, 0.0};
  }

  bool configured_;
  OskaPayloadConfig config_;
  PayloadTerms<double> terms_{};
  TransformSource source_;
};

struct PayloadKind : KindOf<OskaTfPayload> {
  using Config = PayloadConfig;

  // With w = m·g_s: out = [F − F_bias − w, T − T_bias − c × w]. Inputs are
  // read before any output is written.
  template <typename T>
  OSKA_INLINE static void transform(const PayloadTerms<T>& p, const Vec3<T>& w, const T* in,
                                    T* out) {
    const Vec3<T> f = loadVec3(in) - p.force_bias - w;
    const Vec3<T> m = loadVec3(in + 3) - p.torque_bias - cross(p.center_of_mass, w);
    storeVec3(f, out);
    storeVec3(m, out + 3);
  }
};

}  // namespace detail

class OskaTfPayload::OskaTfPayloadImpl : public detail::BlockCore<detail::PayloadKind> {
 public:
  using BlockCore::BlockCore;

  /// The arguments first, as in updateBatch, then readiness, then the mean
  /// of the samples; nothing is stored unless the new bias is finite.
  OskaControlReturnCode tare(const double* wrenches, std::size_t count) {
    if (wrenches == nullptr) return refused("tare() given a null array.", "tare");
    if (count == 0) return refused("tare() given no samples; it needs at least one.", "tare");
    if (const char* reason = blockedReason(kTare)) return notReady(reason, "tare");
    double sum[6] = {};
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t k = 0; k < 6; ++k) sum[k] += wrenches[6 * i + k];
    }
    const double n = static_cast<double>(count);
    if (!tareTo({sum[0] / n, sum[1] / n, sum[2] / n}, {sum[3] / n, sum[4] / n, sum[5] / n})) {
      return refused(
          "tare() would make the bias non-finite (a non-finite sample or transform); the bias "
          "is left as it was.",
          "tare");
    }
    return OskaControlReturnCode::Ok;
  }
};

OSKA_BLOCK_CORE_FACADE(OskaTfPayload, OskaPayloadConfig, 1)
OSKA_BLOCK_FIXED_TO_MOVING(OskaTfPayload)

OskaPayloadConfig OskaTfPayload::config() const { return impl_->record(); }

OskaControlReturnCode OskaTfPayload::tare(const double* wrenches, std::size_t count) {
  return impl_->tare(wrenches, count);
}

}  // namespace oska
