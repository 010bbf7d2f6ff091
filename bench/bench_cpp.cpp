// Times one control cycle of every case in cases.hpp with Google Benchmark.
// Run through bench/run.sh, which asks for repetitions and keeps the medians.
#include <memory>

#include <benchmark/benchmark.h>

#include <Eigen/Core>
#include <kdl/config.h>

#include "build_info.hpp"
#include "cases.hpp"

namespace {

// A log case holds up to 150 MB of rows: built on the heap, once per run.
template <typename Case>
void runCase(benchmark::State& state) {
  auto c = std::make_unique<Case>();
  for (auto _ : state) c->cycle();
}

}  // namespace

int main(int argc, char** argv) {
  const double worst = oska::bench::checkAgreementOrDie();
  char agreement[64];
  std::snprintf(agreement, sizeof agreement, "ok, largest deviation %.3g", worst);

  auto add = [](auto tag) {
    using Case = typename decltype(tag)::type;
    benchmark::RegisterBenchmark(Case::name().c_str(), &runCase<Case>);
  };
  oska::bench::forEachCase(add);
  oska::bench::forEachLogCase(add);

  benchmark::AddCustomContext("agreement", agreement);
  benchmark::AddCustomContext("build_type", OSKA_BENCH_BUILD_TYPE);
  benchmark::AddCustomContext("cxx_flags", OSKA_BENCH_CXX_FLAGS);
  benchmark::AddCustomContext("compiler", OSKA_BENCH_COMPILER);
  benchmark::AddCustomContext("eigen", std::to_string(EIGEN_WORLD_VERSION) + "." +
                                           std::to_string(EIGEN_MAJOR_VERSION) + "." +
                                           std::to_string(EIGEN_MINOR_VERSION));
  benchmark::AddCustomContext("kdl", KDL_VERSION_STRING);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
