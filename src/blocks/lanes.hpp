// Lanes: several samples of one quantity side by side, the number type of
// the batch path. The arithmetic of spatial.hpp is written for T = double and
// for T = Lanes<W> alike; the few operations that differ between the two (a
// broadcast, a square root, a per-lane choice) are here, with the transposes
// between rows of samples and columns of lanes.
//
// Lanes<W> is a GCC/Clang vector of W doubles: four in one AVX register (or
// two SSE2 registers on baseline x86-64), eight in one AVX-512 register.
// Every helper that takes or returns one is always inlined, so no Lanes value
// ever crosses a call: the batch loop is compiled once per instruction set
// (see batch.hpp) and the helpers with it.
#pragma once

#include <cmath>
#include <cstddef>
#include <type_traits>
#include <utility>

#define OSKA_INLINE [[gnu::always_inline]] inline

namespace oska::detail {

typedef double Lanes4 __attribute__((vector_size(4 * sizeof(double))));
typedef double Lanes8 __attribute__((vector_size(8 * sizeof(double))));

template <std::size_t W>
struct LanesOfWidth;
template <>
struct LanesOfWidth<4> {
  using type = Lanes4;
};
template <>
struct LanesOfWidth<8> {
  using type = Lanes8;
};
template <std::size_t W>
using Lanes = typename LanesOfWidth<W>::type;

/// Samples per value: 1 for double, W for Lanes<W>.
template <typename T>
constexpr std::size_t kWidth = std::is_same_v<T, double> ? 1 : sizeof(T) / sizeof(double);

template <typename T, std::size_t... I>
OSKA_INLINE T splatLanes(double x, std::index_sequence<I...>) {
  return T{((void)I, x)...};
}

/// x in every lane, or x itself for T = double.
template <typename T>
OSKA_INLINE T splat(double x) {
  if constexpr (kWidth<T> > 1) {
    return splatLanes<T>(x, std::make_index_sequence<kWidth<T>>{});
  } else {
    return x;
  }
}

/// The square root of each lane; correctly rounded, as the scalar one.
template <typename T>
OSKA_INLINE T sqrtOf(const T& v) {
  if constexpr (kWidth<T> > 1) {
    T r = v;
    for (std::size_t i = 0; i < kWidth<T>; ++i) r[i] = std::sqrt(v[i]);
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

/// Turns four rows of four lanes into four columns, in place; its own
/// inverse.
OSKA_INLINE void transpose4(Lanes4& a, Lanes4& b, Lanes4& c, Lanes4& d) {
  const Lanes4 t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6);
  const Lanes4 t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
  const Lanes4 t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
  const Lanes4 t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
  a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

OSKA_INLINE Lanes4 loadLanes(const double* p) {
  Lanes4 v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

OSKA_INLINE void storeLanes(const Lanes4& v, double* p) { __builtin_memcpy(p, &v, sizeof v); }

/// Element j of the result is first[j·stride].
template <typename L, std::size_t... J>
OSKA_INLINE L gather(const double* first, std::size_t stride, std::index_sequence<J...>) {
  return L{first[J * stride]...};
}

/// Reads W consecutive rows of Width doubles into Width lane values, column
/// by column. Rows of four or more are read four columns at a time and
/// transposed, the last group overlapping the one before it when Width is not
/// a multiple of four; narrower rows are gathered one element at a time.
/// Eight rows are read as two groups of four, the low and high halves.
template <std::size_t Width>
OSKA_INLINE void loadRows(const double* rows, Lanes4* cols) {
  if constexpr (Width < 4) {
    for (std::size_t k = 0; k < Width; ++k) {
      cols[k] = gather<Lanes4>(rows + k, Width, std::make_index_sequence<4>{});
    }
  } else {
    for (std::size_t k = 0; k < Width; k += 4) {
      const std::size_t at = k + 4 <= Width ? k : Width - 4;
      Lanes4 a = loadLanes(rows + at), b = loadLanes(rows + Width + at),
             c = loadLanes(rows + 2 * Width + at), d = loadLanes(rows + 3 * Width + at);
      transpose4(a, b, c, d);
      cols[at] = a;
      cols[at + 1] = b;
      cols[at + 2] = c;
      cols[at + 3] = d;
    }
  }
}

template <std::size_t Width>
OSKA_INLINE void loadRows(const double* rows, Lanes8* cols) {
  Lanes4 low[Width], high[Width];
  loadRows<Width>(rows, low);
  loadRows<Width>(rows + 4 * Width, high);
  for (std::size_t k = 0; k < Width; ++k) {
    cols[k] = __builtin_shufflevector(low[k], high[k], 0, 1, 2, 3, 4, 5, 6, 7);
  }
}

/// Writes Width lane values back as rows, the inverse of loadRows;
/// overlapping groups write the same values twice.
template <std::size_t Width>
OSKA_INLINE void storeRows(const Lanes4* cols, double* rows) {
  if constexpr (Width < 4) {
    for (std::size_t j = 0; j < 4; ++j) {
      for (std::size_t k = 0; k < Width; ++k) rows[j * Width + k] = cols[k][j];
    }
  } else {
    for (std::size_t k = 0; k < Width; k += 4) {
      const std::size_t at = k + 4 <= Width ? k : Width - 4;
      Lanes4 a = cols[at], b = cols[at + 1], c = cols[at + 2], d = cols[at + 3];
      transpose4(a, b, c, d);
      storeLanes(a, rows + at);
      storeLanes(b, rows + Width + at);
      storeLanes(c, rows + 2 * Width + at);
      storeLanes(d, rows + 3 * Width + at);
    }
  }
}

template <std::size_t Width>
OSKA_INLINE void storeRows(const Lanes8* cols, double* rows) {
  Lanes4 low[Width], high[Width];
  for (std::size_t k = 0; k < Width; ++k) {
    low[k] = __builtin_shufflevector(cols[k], cols[k], 0, 1, 2, 3);
    high[k] = __builtin_shufflevector(cols[k], cols[k], 4, 5, 6, 7);
  }
  storeRows<Width>(low, rows);
  storeRows<Width>(high, rows + 4 * Width);
}

}  // namespace oska::detail
