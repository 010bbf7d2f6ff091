// Lanes: kLanes samples of one quantity side by side, the number type of the
// batch path. The arithmetic of spatial.hpp is written for T = double and
// T = Lanes alike; the few operations that differ between the two (a
// broadcast, a square root, a per-lane choice) are here.
//
// Lanes is a GCC/Clang vector of four doubles: one AVX register, or two SSE2
// registers on baseline x86-64. Every helper that takes or returns one is
// always inlined, so no Lanes value ever crosses a call: the batch loop is
// compiled once per instruction set (see batch.hpp) and the helpers with it.
#pragma once

#include <cmath>
#include <cstddef>
#include <type_traits>
#include <utility>

#define OSKA_INLINE [[gnu::always_inline]] inline

namespace oska::detail {

constexpr std::size_t kLanes = 4;
typedef double Lanes __attribute__((vector_size(kLanes * sizeof(double))));

template <typename T>
constexpr bool kIsLanes = std::is_same_v<T, Lanes>;

template <std::size_t... I>
OSKA_INLINE Lanes splatLanes(double x, std::index_sequence<I...>) {
  return Lanes{((void)I, x)...};
}

/// x in every lane (T = Lanes), or x itself (T = double).
template <typename T>
OSKA_INLINE T splat(double x) {
  if constexpr (kIsLanes<T>) {
    return splatLanes(x, std::make_index_sequence<kLanes>{});
  } else {
    return x;
  }
}

/// The square root of each lane; correctly rounded, as the scalar one.
template <typename T>
OSKA_INLINE T sqrtOf(const T& v) {
  if constexpr (kIsLanes<T>) {
    Lanes r = v;
    for (std::size_t i = 0; i < kLanes; ++i) r[i] = std::sqrt(v[i]);
    return r;
  } else {
    return std::sqrt(v);
  }
}

/// Per lane: `yes` where the condition holds, `no` elsewhere. The condition
/// is a comparison of two T values.
template <typename Mask, typename T>
OSKA_INLINE T choose(const Mask& condition, const T& yes, const T& no) {
  return condition ? yes : no;
}

/// Gathers column k of kLanes rows that lie `stride` doubles apart.
template <std::size_t... J>
OSKA_INLINE Lanes gatherColumn(const double* first, std::size_t stride, std::index_sequence<J...>) {
  return Lanes{first[J * stride]...};
}

/// Reads kLanes rows of `width` doubles (row j at rows + j·stride) into
/// `width` lane values, column by column.
OSKA_INLINE void loadRows(const double* rows, std::size_t stride, std::size_t width, Lanes* cols) {
  for (std::size_t k = 0; k < width; ++k) {
    cols[k] = gatherColumn(rows + k, stride, std::make_index_sequence<kLanes>{});
  }
}

/// Writes `width` lane values back as kLanes rows of `width` doubles.
OSKA_INLINE void storeRows(const Lanes* cols, std::size_t width, double* rows) {
  for (std::size_t j = 0; j < kLanes; ++j) {
    for (std::size_t k = 0; k < width; ++k) rows[j * width + k] = cols[k][j];
  }
}

}  // namespace oska::detail
