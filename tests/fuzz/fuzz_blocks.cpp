// Fuzz target: a block built from a code configuration, then driven by an
// arbitrary sequence of calls with arbitrary doubles (and origins). Every
// update is checked against the model and the reference arithmetic of
// fuzz_support.hpp.
//
// Input layout (FuzzedDataProvider): block kind (an index into AllBlocks),
// then the configuration of that kind and operations until the input runs
// out; a final update always runs. For a kind configured by the four
// entries: policy, name, the four entries (origin, values), then setter,
// transform and update calls. For a kind configured by a payload record:
// policy, name, the record's values (or an unconfigured block), then
// transform, tare and update calls.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "fuzz_support.hpp"

namespace oska::fuzz {
namespace {

template <typename Block>
void runWithEntries(FuzzedDataProvider& p, const OskaTfConfig& config) {
  constexpr std::size_t N = Traits<Block>::kSize;
  Block block(config);
  FUZZ_CHECK(block.name() == config.name);
  EntryModel model = EntryModel::from(toInternal(config));

  for (int op = 0; op < 32 && p.remaining_bytes() > 0; ++op) {
    switch (p.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: {
        const int which = p.ConsumeIntegralInRange<int>(0, 3);
        const std::string origin = takeOrigin(p);
        callSetter(block, model, which, origin, takeArray<4>(p));
        break;
      }
      case 1:
        callSetTransform(block, model, takeArray<7>(p));
        break;
      default:
        checkUpdate(block, model, takeArray<N>(p));
        break;
    }
  }
  checkUpdate(block, model, takeArray<N>(p));
}

Translation takeTranslation(FuzzedDataProvider& p) {
  Translation t;
  t.origin = takeOrigin(p);
  t.translation = takeArray<3>(p);
  return t;
}

Rotation takeRotation(FuzzedDataProvider& p) {
  Rotation r;
  r.origin = takeOrigin(p);
  r.rotation = takeArray<4>(p);
  return r;
}

template <typename Entry, std::size_t N>
void checkConverted(const Entry& entry, const std::string& origin,
                    const std::array<double, N>& values, const std::array<double, N>& unset) {
  const bool given = !origin.empty();
  FUZZ_CHECK(entry.is_set == given && !entry.locked);
  FUZZ_CHECK(entry.origin == (given ? origin : std::string()));
  FUZZ_CHECK(sameBits(entryValues(entry), given ? values : unset));
}

// ----------------------------------------------------- the payload record ---

/// The record's own checks, written from its documentation: a finite mass
/// of at least 0, finite vectors, a gravity that is not zero, and finite
/// sensor axes that are not zero.
bool acceptable(const OskaPayloadConfig& c) {
  auto finite = [](const auto& values) {
    for (double v : values) {
      if (!std::isfinite(v)) return false;
    }
    return true;
  };
  auto zero = [](const auto& values) {
    for (double v : values) {
      if (v != 0.0) return false;
    }
    return true;
  };
  return std::isfinite(c.mass) && c.mass >= 0.0 && finite(c.center_of_mass) &&
         finite(c.force_bias) && finite(c.torque_bias) && finite(c.gravity) && !zero(c.gravity) &&
         finite(c.sensor_axes) && !zero(c.sensor_axes);
}

/// Calls tare on `rows` (null, or `count` rows of six) and checks it against
/// the model: Error for no samples, the policy's code when not ready, else
/// Ok with the documented bias (F̄ − m·g_s, T̄ − c × m·g_s) or, when that is
/// not finite, Error; one line on every failure, the bias unchanged by it.
template <typename Block>
void checkTare(Block& block, PayloadModel& model, const double* rows, std::size_t count) {
  const OskaPayloadConfig before = block.config();
  const long lines = diagnostics().lines();
  const OskaControlReturnCode code = block.tare(rows, count);
  if (rows == nullptr || count == 0) {
    FUZZ_CHECK(code == OskaControlReturnCode::Error);
  } else if (!isReady<Block>(model)) {
    FUZZ_CHECK(code == notReadyCode(model.policy));
  } else {
    FUZZ_CHECK(code == OskaControlReturnCode::Ok || code == OskaControlReturnCode::Error);
  }
  FUZZ_CHECK(diagnostics().lines() - lines == (code == OskaControlReturnCode::Ok ? 0 : 1));
  const OskaPayloadConfig after = block.config();
  if (code != OskaControlReturnCode::Ok) {
    FUZZ_CHECK(sameBits(after.force_bias, before.force_bias));
    FUZZ_CHECK(sameBits(after.torque_bias, before.torque_bias));
    return;
  }
  for (int k = 0; k < 3; ++k) {
    FUZZ_CHECK(std::isfinite(after.force_bias[k]) && std::isfinite(after.torque_bias[k]));
  }
  FUZZ_CHECK(after.mass == before.mass || (std::isnan(after.mass) && std::isnan(before.mass)));

  // The reference bias, where its operands are moderate.
  bool trusted = moderate(model);
  R sum[6] = {};
  for (std::size_t i = 0; i < count && trusted; ++i) {
    std::array<double, 6> row;
    for (int k = 0; k < 6; ++k) row[k] = rows[6 * i + k];
    trusted = moderate(row);
    for (int k = 0; k < 6 && trusted; ++k) sum[k] = sum[k] + lit(row[k]);
  }
  if (trusted) {
    const R n = lit(static_cast<double>(count));
    const V3 mean_f{R{sum[0].v / n.v, sum[0].m / n.v}, R{sum[1].v / n.v, sum[1].m / n.v},
                    R{sum[2].v / n.v, sum[2].m / n.v}};
    const V3 mean_t{R{sum[3].v / n.v, sum[3].m / n.v}, R{sum[4].v / n.v, sum[4].m / n.v},
                    R{sum[5].v / n.v, sum[5].m / n.v}};
    const V3 w = payloadWeight(model);
    const V3 f = mean_f - w;
    const V3 t = mean_t - cross(vec(model.config.center_of_mass.data()), w);
    for (int k = 0; k < 3; ++k) {
      for (const auto& [got, want] : {std::pair{after.force_bias[k], f[k]},
                                      std::pair{after.torque_bias[k], t[k]}}) {
        if (!(want.m < 1e280L)) continue;
        // A sum of n rounded terms: allow n ulps of the bound besides the rest.
        const long double allowed = (1e-12L + 1e-15L * static_cast<long double>(count)) * want.m;
        FUZZ_CHECK(std::fabs(static_cast<long double>(got) - want.v) <= allowed + 1e-250L);
      }
    }
  }
  model.config.force_bias = after.force_bias;
  model.config.torque_bias = after.torque_bias;
}

template <typename Block>
void runWithPayload(FuzzedDataProvider& p) {
  constexpr std::size_t N = Traits<Block>::kSize;
  OskaPayloadConfig config;
  config.policy = takePolicy(p);
  config.name = p.ConsumeRandomLengthString(8);
  config.mass = takeDouble(p);
  config.center_of_mass = takeArray<3>(p);
  config.force_bias = takeArray<3>(p);
  config.torque_bias = takeArray<3>(p);
  if (p.ConsumeBool()) config.gravity = takeArray<3>(p);
  if (p.ConsumeBool()) config.sensor_axes = takeArray<4>(p);

  // A record the checks refuse makes the constructor throw invalid_argument
  // and nothing else; the run goes on with an unconfigured block then, and
  // sometimes anyway.
  const bool valid = acceptable(config);
  if (!valid) {
    bool thrown = false;
    try {
      Block refused(config);
    } catch (const std::invalid_argument&) {
      thrown = true;
    }
    FUZZ_CHECK(thrown);
  }
  const bool configured = valid && p.ConsumeIntegralInRange<int>(0, 7) != 0;
  auto block = configured ? std::make_unique<Block>(config) : std::make_unique<Block>(std::string());
  PayloadModel model = configured ? PayloadModel::from(config) : PayloadModel{};
  FUZZ_CHECK(block->name() == (configured ? config.name : std::string()));
  if (configured) {
    const OskaPayloadConfig kept = block->config();
    FUZZ_CHECK(kept.policy == config.policy && kept.mass == config.mass);
    FUZZ_CHECK(sameBits(kept.gravity, config.gravity) &&
               sameBits(kept.sensor_axes, config.sensor_axes));
  }

  for (int op = 0; op < 32 && p.remaining_bytes() > 0; ++op) {
    switch (p.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        callSetTransform(*block, model, takeArray<7>(p));
        break;
      case 1: {
        const std::size_t count = p.ConsumeIntegralInRange<std::size_t>(0, 5);
        std::vector<double> rows;
        for (std::size_t i = 0; i < 6 * count; ++i) rows.push_back(takeDouble(p));
        checkTare(*block, model, p.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : rows.data(),
                  count);
        break;
      }
      default:
        checkUpdate(*block, model, takeArray<N>(p));
        break;
    }
  }
  checkUpdate(*block, model, takeArray<N>(p));
}

/// A code configuration of the four entries, and the checks of toInternal:
/// it sets exactly the entries with an origin, locks none, copies the origin
/// and values of those and leaves the others at their defaults.
OskaTfConfig takeEntryConfig(FuzzedDataProvider& p) {
  OskaTfConfig config;
  config.policy = takePolicy(p);
  config.name = p.ConsumeRandomLengthString(8);
  config.input_ref_point = takeTranslation(p);
  config.input_expr_axes = takeRotation(p);
  config.output_ref_point = takeTranslation(p);
  config.output_expr_axes = takeRotation(p);

  const OskaTfConfigInternal internal = toInternal(config);
  FUZZ_CHECK(internal.name == config.name && internal.policy == config.policy);
  checkConverted(internal.input_ref_point, config.input_ref_point.origin,
                 config.input_ref_point.translation, {0.0, 0.0, 0.0});
  checkConverted(internal.input_expr_axes, config.input_expr_axes.origin,
                 config.input_expr_axes.rotation, {1.0, 0.0, 0.0, 0.0});
  checkConverted(internal.output_ref_point, config.output_ref_point.origin,
                 config.output_ref_point.translation, {0.0, 0.0, 0.0});
  checkConverted(internal.output_expr_axes, config.output_expr_axes.origin,
                 config.output_expr_axes.rotation, {1.0, 0.0, 0.0, 0.0});
  return config;
}

/// One block of the kind, configured as its record type says.
template <typename Block>
void run(FuzzedDataProvider& p) {
  if constexpr (std::is_same_v<ModelOf<Block>, PayloadModel>) {
    runWithPayload<Block>(p);
  } else {
    runWithEntries<Block>(p, takeEntryConfig(p));
  }
}

}  // namespace
}  // namespace oska::fuzz

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  oska::fuzz::captureDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace oska;
  using namespace oska::fuzz;
  FuzzedDataProvider p(data, size);

  const std::size_t kind = p.ConsumeIntegralInRange<std::size_t>(0, AllBlocks::kCount - 1);
  AllBlocks::visit(kind, [&](auto tag) { run<typename decltype(tag)::type>(p); });
  return 0;
}
