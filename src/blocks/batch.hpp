// The batch path: many samples in one call, a tile of four or eight at a time.
//
// Samples arrive as rows (N doubles each, one after another). Each tile of
// W rows is turned into N lane values, one per component, run through
// the kind's arithmetic once, and written back as rows; the samples that do
// not fill a last tile go through the same arithmetic one at a time. Either
// way each sample sees the operations of update, in the same order.
//
// The tile loop is compiled three times: for baseline x86-64 (four lanes in
// two SSE2 registers), for AVX2 (four lanes in one register) and for AVX-512
// (eight lanes); the CPU decides at run time. All give the same bits.
#pragma once

#include <cstddef>

#include "lanes.hpp"
#include "spatial.hpp"

namespace oska::detail {

/// One call of updateBatch: `count` rows of input and output, and optional
/// rows of transforms (7 per sample) and of the kind's extra input.
struct BatchArgs {
  const double* in;
  double* out;
  std::size_t count;
  const double* tf;   ///< Null: every sample uses the call's entries.
  const double* aux;  ///< Null: the kind's formula without its extra input.
};

/// One sample (T = double) or one tile (T = Lanes), component by component.
template <typename T>
struct BatchRow {
  const T* in;
  T* out;
  const T* tf;
  const T* aux;
};

/// The instruction sets the tile loop is compiled for.
enum class BatchIsa { Portable, Avx2, Avx512 };

/// The best one this CPU runs; decided once, when the library loads.
BatchIsa batchIsa() noexcept;

/// Samples per tile for an instruction set.
constexpr std::size_t tileWidth(BatchIsa isa) { return isa == BatchIsa::Avx512 ? 8 : 4; }

template <typename Kind, typename Config, std::size_t W, typename Call>
OSKA_INLINE void runTiles(const Config& config, const Call& call, const BatchArgs& a,
                          std::size_t tiles) {
  using L = Lanes<W>;
  constexpr std::size_t N = Kind::kSize;
  constexpr std::size_t A = Kind::kAuxSize;
  const auto call_lanes = splat<L>(call);
  for (std::size_t i = 0; i < tiles; ++i) {
    const std::size_t first = i * W;
    L in[N];
    L out[N];
    L tf[7];
    L aux[A > 0 ? A : 1];
    loadRows<N>(a.in + first * N, in);
    BatchRow<L> row{in, out, nullptr, nullptr};
    if (a.tf != nullptr) {
      loadRows<7>(a.tf + first * 7, tf);
      row.tf = tf;
    }
    if constexpr (A > 0) {
      if (a.aux != nullptr) {
        loadRows<A>(a.aux + first * A, aux);
        row.aux = aux;
      }
    }
    Config::template sample<Kind>(config, call_lanes, row);
    storeRows<N>(out, a.out + first * N);
  }
}

template <typename Kind, typename Config, typename Call>
void tilesPortable(const Config& config, const Call& call, const BatchArgs& a,
                   std::size_t tiles) {
  runTiles<Kind, Config, 4>(config, call, a, tiles);
}

#if defined(OSKA_BATCH_DISPATCH)
template <typename Kind, typename Config, typename Call>
[[gnu::target("avx2")]] void tilesAvx2(const Config& config, const Call& call,
                                       const BatchArgs& a, std::size_t tiles) {
  runTiles<Kind, Config, 4>(config, call, a, tiles);
}

template <typename Kind, typename Config, typename Call>
[[gnu::target("avx512f")]] void tilesAvx512(const Config& config, const Call& call,
                                            const BatchArgs& a, std::size_t tiles) {
  runTiles<Kind, Config, 8>(config, call, a, tiles);
}
#endif

/// Transforms every sample of `a` through Config::sample<Kind>. `call` is
/// what the samples without a transform row use (for the entry blocks, the
/// entries resolved once under the stored transform); each tile gets it in
/// every lane.
template <typename Kind, typename Config, typename Call>
void runBatch(const Config& config, const Call& call, const BatchArgs& a) {
  constexpr std::size_t N = Kind::kSize;
  constexpr std::size_t A = Kind::kAuxSize;
  const BatchIsa isa = batchIsa();
  const std::size_t tiles = a.count / tileWidth(isa);
  if (tiles > 0) {
    switch (isa) {
#if defined(OSKA_BATCH_DISPATCH)
      case BatchIsa::Avx512:
        tilesAvx512<Kind, Config>(config, call, a, tiles);
        break;
      case BatchIsa::Avx2:
        tilesAvx2<Kind, Config>(config, call, a, tiles);
        break;
#endif
      default:
        tilesPortable<Kind, Config>(config, call, a, tiles);
        break;
    }
  }
  for (std::size_t s = tiles * tileWidth(isa); s < a.count; ++s) {
    const BatchRow<double> row{a.in + s * N, a.out + s * N,
                               a.tf != nullptr ? a.tf + s * 7 : nullptr,
                               A > 0 && a.aux != nullptr ? a.aux + s * A : nullptr};
    Config::template sample<Kind>(config, call, row);
  }
}

}  // namespace oska::detail
