// The batch path: many samples in one call, kLanes at a time.
//
// Samples arrive as rows (N doubles each, one after another). Each tile of
// kLanes rows is turned into N lane values, one per component, run through
// the kind's arithmetic once, and written back as rows; the samples that do
// not fill a last tile go through the same arithmetic one at a time. Either
// way each sample sees the operations of update, in the same order.
//
// The tile loop is compiled twice: for baseline x86-64 (Lanes as two SSE2
// registers) and for AVX2 (one register); the CPU decides at run time. Both
// give the same bits.
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

/// True when the tile loop may use AVX2; decided once, when the library loads.
bool batchUsesAvx2() noexcept;

template <typename Kind, typename Source, typename E>
OSKA_INLINE void runTiles(const E& entries, const Entries<double>& call, const BatchArgs& a,
                          std::size_t tiles) {
  constexpr std::size_t N = Kind::kSize;
  constexpr std::size_t A = Kind::kAuxSize;
  const Entries<Lanes> call_lanes = splatEntries<Lanes>(call);
  for (std::size_t i = 0; i < tiles; ++i) {
    const std::size_t first = i * kLanes;
    Lanes in[N];
    Lanes out[N];
    Lanes tf[7];
    Lanes aux[A > 0 ? A : 1];
    loadRows(a.in + first * N, N, N, in);
    BatchRow<Lanes> row{in, out, nullptr, nullptr};
    if (a.tf != nullptr) {
      loadRows(a.tf + first * 7, 7, 7, tf);
      row.tf = tf;
    }
    if (A > 0 && a.aux != nullptr) {
      loadRows(a.aux + first * A, A, A, aux);
      row.aux = aux;
    }
    Source::template sample<Kind>(entries, call_lanes, row);
    storeRows(out, N, a.out + first * N);
  }
}

template <typename Kind, typename Source, typename E>
void tilesPortable(const E& entries, const Entries<double>& call, const BatchArgs& a,
                   std::size_t tiles) {
  runTiles<Kind, Source>(entries, call, a, tiles);
}

#if defined(OSKA_BATCH_DISPATCH)
template <typename Kind, typename Source, typename E>
[[gnu::target("avx2")]] void tilesAvx2(const E& entries, const Entries<double>& call,
                                       const BatchArgs& a, std::size_t tiles) {
  runTiles<Kind, Source>(entries, call, a, tiles);
}
#endif

/// Transforms every sample of `a`. `call` holds the entries for samples
/// without a transform row: resolved once, under the stored transform.
template <typename Kind, typename Source, typename E>
void runBatch(const E& entries, const Entries<double>& call, const BatchArgs& a) {
  constexpr std::size_t N = Kind::kSize;
  constexpr std::size_t A = Kind::kAuxSize;
  const std::size_t tiles = a.count / kLanes;
  if (tiles > 0) {
#if defined(OSKA_BATCH_DISPATCH)
    if (batchUsesAvx2()) {
      tilesAvx2<Kind, Source>(entries, call, a, tiles);
    } else {
      tilesPortable<Kind, Source>(entries, call, a, tiles);
    }
#else
    tilesPortable<Kind, Source>(entries, call, a, tiles);
#endif
  }
  for (std::size_t s = tiles * kLanes; s < a.count; ++s) {
    const BatchRow<double> row{a.in + s * N, a.out + s * N,
                               a.tf != nullptr ? a.tf + s * 7 : nullptr,
                               A > 0 && a.aux != nullptr ? a.aux + s * A : nullptr};
    Source::template sample<Kind>(entries, call, row);
  }
}

}  // namespace oska::detail
