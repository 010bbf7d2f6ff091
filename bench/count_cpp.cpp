// Instruction-count driver: runs every case for a fixed number of cycles with
// callgrind collecting only around the loop, and dumps one profile per case,
// named after it. Meant to run as
//   valgrind --tool=callgrind --collect-atstart=no oska_bench_count [cycles]
// (bench/run.sh does); make_results.py reads the dumps. A first case, "loop",
// does nothing but the loop and the DoNotOptimize barriers, so that its count
// can be taken off the others.
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
  oska::bench::checkAgreementOrDie();
  count<LoopOnly>(cycles);
  oska::bench::forEachCase([cycles](auto tag) { count<typename decltype(tag)::type>(cycles); });
  return 0;
}
