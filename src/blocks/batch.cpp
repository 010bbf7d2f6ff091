// The CPU check behind the batch path's choice of instruction set.
#include "batch.hpp"

namespace oska::detail {
namespace {

// Made once, while the library loads, so that a batch call reads a constant.
// __builtin_cpu_supports also checks that the system saves the AVX registers.
const bool kAvx2 = [] {
#if defined(OSKA_BATCH_DISPATCH)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}();

}  // namespace

bool batchUsesAvx2() noexcept { return kAvx2; }

}  // namespace oska::detail
