// The CPU check behind the batch path's choice of instruction set.
#include "batch.hpp"

namespace oska::detail {
namespace {

// Made once, while the library loads, so that a batch call reads a constant.
// __builtin_cpu_supports also checks that the system saves the AVX registers.
const BatchIsa kIsa = [] {
#if defined(OSKA_BATCH_DISPATCH)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return BatchIsa::Avx512;
  if (__builtin_cpu_supports("avx2")) return BatchIsa::Avx2;
#endif
  return BatchIsa::Portable;
}();

}  // namespace

BatchIsa batchIsa() noexcept { return kIsa; }

}  // namespace oska::detail
