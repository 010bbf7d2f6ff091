// Fuzz target: a block built from a code configuration, then driven by an
// arbitrary sequence of setter, transform and update calls with arbitrary
// doubles and origins. Every update is checked against the model and the
// reference arithmetic of fuzz_support.hpp.
//
// Input layout (FuzzedDataProvider): block kind (an index into AllBlocks), policy, name, the four
// entries of the configuration (origin, values), then operations until the
// input runs out; a final update always runs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"

namespace oska::fuzz {
namespace {

template <typename Block>
void run(FuzzedDataProvider& p, const OskaTfConfig& config) {
  constexpr std::size_t N = Traits<Block>::kSize;
  Block block(config);
  FUZZ_CHECK(block.name() == config.name);
  Model model = Model::from(toInternal(config));

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
  OskaTfConfig config;
  config.policy = takePolicy(p);
  config.name = p.ConsumeRandomLengthString(8);
  config.input_ref_point = takeTranslation(p);
  config.input_expr_axes = takeRotation(p);
  config.output_ref_point = takeTranslation(p);
  config.output_expr_axes = takeRotation(p);

  // toInternal: set exactly the entries with an origin, lock none, copy the
  // origin and values of those and leave the others at their defaults.
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

  AllBlocks::visit(kind, [&](auto tag) { run<typename decltype(tag)::type>(p, config); });
  return 0;
}
