// Instruction-count driver: runs every case for a fixed number of cycles with
// callgrind collecting only around the loop, and dumps one profile per case,
// named after it. Meant to run as
//   valgrind --tool=callgrind --collect-atstart=no oska_bench_count [cycles]
// (bench/run.sh does); make_results.py reads the dumps. A first case, "loop",
// does nothing but the loop and the DoNotOptimize barriers, so that its count
// can be taken off the others. The log cases of 1,000 samples follow, each
// for a thousandth of the cycles (at least one): make_results.py divides
// their counts by the samples of a cycle.
//
// An optional second argument keeps only the cases whose name starts with one
// of its comma-separated prefixes ("payload/,wrench/"), and "loop".
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <valgrind/callgrind.h>

#include "cases.hpp"

namespace {

struct LoopOnly {
  static std::string name() { return "loop"; }
  oska::bench::A6 out{};
  void cycle() { benchmark::DoNotOptimize(out); }
};

/// Whether `name` is kept by the comma-separated prefixes (all if empty).
bool kept(const std::string& name, const std::string& prefixes) {
  if (prefixes.empty()) return true;
  std::size_t start = 0;
  while (start <= prefixes.size()) {
    const std::size_t end = std::min(prefixes.find(',', start), prefixes.size());
    const std::string prefix = prefixes.substr(start, end - start);
    if (!prefix.empty() && name.rfind(prefix, 0) == 0) return true;
    start = end + 1;
  }
  return false;
}

template <typename Case>
void count(long cycles) {
  Case c;
  for (int i = 0; i < 3; ++i) c.cycle();  // binds lazy symbols, touches pages
  const std::string name = Case::name();
  CALLGRIND_ZERO_STATS;
  CALLGRIND_TOGGLE_COLLECT;
  for (long i = 0; i < cycles; ++i) c.cycle();
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS_AT(name.c_str());
  std::printf("%s %ld\n", name.c_str(), cycles);
}

}  // namespace

int main(int argc, char** argv) {
  const long cycles = argc > 1 ? std::atol(argv[1]) : 10000;
  if (cycles <= 0) {
    std::fprintf(stderr, "usage: %s [cycles > 0]\n", argv[0]);
    return 1;
  }
  const std::string only = argc > 2 ? argv[2] : "";
  oska::bench::checkAgreementOrDie();
  count<LoopOnly>(cycles);
  auto counted = [&only](long n) {
    return [&only, n](auto tag) {
      using Case = typename decltype(tag)::type;
      if (kept(Case::name(), only)) count<Case>(n);
    };
  };
  oska::bench::forEachCase(counted(cycles));
  oska::bench::forEachLogCaseOf<1000>(counted(std::max(1L, cycles / 1000)));
  return 0;
}
