// Shared by the fuzz targets: input decoding, a model of a block's update
// sequence (one per kind of configuration: the four entries, or the payload's
// record), and an independent reference of every kind's arithmetic.
//
// A failed check prints what went wrong and aborts, which libFuzzer reports
// as a crash and saves the input for. Exceptions are not caught here: any
// exception that escapes a library call the harness does not expect to throw
// terminates the process, which libFuzzer reports the same way.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <streambuf>
#include <string>
#include <type_traits>

#include <fuzzer/FuzzedDataProvider.h>

#include "oska/tf_utils.hpp"

#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);       \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

namespace oska::fuzz {

// ------------------------------------------------------------ diagnostics ---

/// Stands in for std::cerr's buffer: drops the text and counts the lines, so
/// that the one-line-per-failure rule can be checked without flooding the
/// fuzzer's own output.
class LineCounter : public std::streambuf {
 public:
  long lines() const { return lines_; }

 protected:
  int_type overflow(int_type ch) override {
    if (ch == '\n') ++lines_;
    return traits_type::not_eof(ch);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    for (std::streamsize i = 0; i < n; ++i) {
      if (s[i] == '\n') ++lines_;
    }
    return n;
  }

 private:
  long lines_ = 0;
};

inline LineCounter& diagnostics() {
  static LineCounter counter;
  return counter;
}

/// Routes std::cerr into the line counter, once per process.
inline void captureDiagnostics() { std::cerr.rdbuf(&diagnostics()); }

// --------------------------------------------------------------- decoding ---

inline double bitsToDouble(std::uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

/// Any double: a value from a table of awkward ones, a small multiple of
/// 1/16, or an arbitrary bit pattern (NaNs with payloads, infinities,
/// subnormals, negative zero).
inline double takeDouble(FuzzedDataProvider& p) {
  static const double kTable[] = {
      0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 0.7071067811865476, -0.7071067811865476,
      std::numeric_limits<double>::quiet_NaN(), bitsToDouble(0xfff8000000000123ULL),
      std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
      std::numeric_limits<double>::denorm_min(), 1e-30, 1e30, 3.0};
  const std::uint8_t sel = p.ConsumeIntegral<std::uint8_t>();
  switch (sel & 3u) {
    case 0:
    case 1:
      return kTable[(sel >> 2) % (sizeof kTable / sizeof kTable[0])];
    case 2:
      return static_cast<double>(p.ConsumeIntegral<std::int8_t>()) / 16.0;
    default:
      return bitsToDouble(p.ConsumeIntegral<std::uint64_t>());
  }
}

template <std::size_t N>
std::array<double, N> takeArray(FuzzedDataProvider& p) {
  std::array<double, N> a{};
  for (double& d : a) d = takeDouble(p);
  return a;
}

/// An origin: the two frame names, near misses, the empty string (an unset
/// entry in a code configuration), or a few arbitrary bytes, NUL included.
inline std::string takeOrigin(FuzzedDataProvider& p) {
  switch (p.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      return "fixed_frame";
    case 1:
    case 2:
      return "moving_frame";
    case 3:
      return "Moving_frame";
    case 4:
      return "";
    case 5:
      return std::string("moving_frame\0", 13);
    case 6:
      return "moving_frame ";
    default:
      return p.ConsumeRandomLengthString(16);
  }
}

inline OskaControlBlockPolicy takePolicy(FuzzedDataProvider& p) {
  const std::uint8_t sel = p.ConsumeIntegral<std::uint8_t>();
  if (sel < 240) return static_cast<OskaControlBlockPolicy>(sel % 4);
  return static_cast<OskaControlBlockPolicy>(p.ConsumeIntegral<std::int32_t>());
}

// ------------------------------------------------------------ block model ---

template <typename Block>
using Traits = BlockTraits<Block>;

template <typename>
constexpr bool kNoReferenceYet = false;

/// What a block configured by the four entries should hold, tracked beside
/// it from the calls made on it.
struct EntryModel {
  OskaControlBlockPolicy policy = OskaControlBlockPolicy::BestEffort;
  OskaTfConfigInternal entries;
  bool tf_set = false;
  std::array<double, 7> tf{0, 0, 0, 1, 0, 0, 0};

  static EntryModel from(const OskaTfConfigInternal& config) {
    EntryModel m;
    m.policy = config.policy;
    m.entries = config;
    return m;
  }
};

/// What a block configured by a payload record should hold: the record (its
/// bias as the last tare left it), or none for an unconfigured block.
struct PayloadModel {
  OskaControlBlockPolicy policy = OskaControlBlockPolicy::BestEffort;
  bool configured = false;
  OskaPayloadConfig config;
  bool tf_set = false;
  std::array<double, 7> tf{0, 0, 0, 1, 0, 0, 0};

  static PayloadModel from(const OskaPayloadConfig& config) {
    PayloadModel m;
    m.policy = config.policy;
    m.configured = true;
    m.config = config;
    return m;
  }
};

/// The model of a kind, by the record it is configured with.
template <typename Block>
using ModelOf = std::conditional_t<
    std::is_same_v<typename Traits<Block>::Record, OskaPayloadConfig>, PayloadModel, EntryModel>;

inline bool isMoving(const std::string& origin) { return origin == "moving_frame"; }

inline const std::array<double, 3>& entryValues(const TranslationEntry& e) { return e.translation; }
inline const std::array<double, 4>& entryValues(const RotationEntry& e) { return e.rotation; }

/// Calls setter `which` (0 to 3, in the order of the entries) on the block
/// and on the model, and checks the answer: refused with one line exactly
/// when the entry is locked.
template <typename Block>
void callSetter(Block& block, EntryModel& model, int which, const std::string& origin,
                const std::array<double, 4>& values) {
  const std::array<double, 3> point{values[0], values[1], values[2]};
  const long before = diagnostics().lines();
  bool accepted = false;
  bool locked = false;
  switch (which) {
    case 0:
      locked = model.entries.input_ref_point.locked;
      accepted = block.setInputReferencePoint(origin, point);
      if (accepted) model.entries.input_ref_point = {true, false, origin, point};
      break;
    case 1:
      locked = model.entries.input_expr_axes.locked;
      accepted = block.setInputExpressionAxes(origin, values);
      if (accepted) model.entries.input_expr_axes = {true, false, origin, values};
      break;
    case 2:
      locked = model.entries.output_ref_point.locked;
      accepted = block.setOutputReferencePoint(origin, point);
      if (accepted) model.entries.output_ref_point = {true, false, origin, point};
      break;
    default:
      locked = model.entries.output_expr_axes.locked;
      accepted = block.setOutputExpressionAxes(origin, values);
      if (accepted) model.entries.output_expr_axes = {true, false, origin, values};
      break;
  }
  FUZZ_CHECK(accepted == !locked);
  FUZZ_CHECK(diagnostics().lines() - before == (locked ? 1 : 0));
}

template <typename Block, typename Model>
void callSetTransform(Block& block, Model& model, const std::array<double, 7>& tf) {
  if constexpr (Traits<Block>::kHasTransform) {
    const long before = diagnostics().lines();
    block.setFixedToMovingFrameTf(tf);
    FUZZ_CHECK(diagnostics().lines() == before);
    model.tf_set = true;
    model.tf = tf;
  }
}

// ------------------------------------------------- reference arithmetic ---
//
// Written from the documented formulas, in long double, each value carrying
// a bound on the magnitudes that went into it (the same formula evaluated on
// absolute values). The library result must lie within a small multiple of
// that bound: rounding can cost a few ulps of the bound, a wrong sign or a
// swapped operand costs a whole term.

struct R {
  long double v;  // value
  long double m;  // bound on the magnitude of the terms summed into v
};
inline R lit(double x) { return {x, std::fabs(static_cast<long double>(x))}; }
inline R operator+(R a, R b) { return {a.v + b.v, a.m + b.m}; }
inline R operator-(R a, R b) { return {a.v - b.v, a.m + b.m}; }
inline R operator*(R a, R b) { return {a.v * b.v, a.m * b.m}; }
inline R neg(R a) { return {-a.v, a.m}; }

using V3 = std::array<R, 3>;
using Q4 = std::array<R, 4>;  // [w, x, y, z]

inline V3 operator+(const V3& a, const V3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline V3 operator-(const V3& a, const V3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline V3 cross(const V3& a, const V3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline V3 scale(R s, const V3& a) { return {s * a[0], s * a[1], s * a[2]}; }

/// rot(q, v) = v + w·t + u × t with t = 2·(u × v).
inline V3 rot(const Q4& q, const V3& v) {
  const V3 u{q[1], q[2], q[3]};
  const V3 t = scale(lit(2.0), cross(u, v));
  return v + scale(q[0], t) + cross(u, t);
}
inline Q4 conj(const Q4& q) { return {q[0], neg(q[1]), neg(q[2]), neg(q[3])}; }
inline Q4 mul(const Q4& a, const Q4& b) {
  return {a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
          a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
          a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
          a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]};
}
/// Divides by the norm when the squared norm is positive.
inline Q4 normalise(const Q4& q) {
  const long double s = q[0].v * q[0].v + q[1].v * q[1].v + q[2].v * q[2].v + q[3].v * q[3].v;
  if (!(s > 0)) return q;
  const long double n = std::sqrt(s);
  Q4 r;
  for (int i = 0; i < 4; ++i) r[i] = {q[i].v / n, q[i].m / n};
  return r;
}

inline V3 vec(const double* a) { return {lit(a[0]), lit(a[1]), lit(a[2])}; }
inline Q4 quat(const double* a) { return {lit(a[0]), lit(a[1]), lit(a[2]), lit(a[3])}; }

/// The reference can be trusted where nothing overflows or underflows:
/// every operand zero or of a moderate magnitude.
inline bool moderate(double x) {
  const double a = std::fabs(x);
  return a == 0.0 || (a >= 1e-20 && a <= 1e20);
}
template <std::size_t N>
bool moderate(const std::array<double, N>& a) {
  for (double x : a) {
    if (!moderate(x)) return false;
  }
  return true;
}

/// Expected output of a ready block for `in`, or false when the operands are
/// outside the range where the reference is trusted.
template <typename Block, std::size_t N>
bool reference(const EntryModel& model, const std::array<double, N>& in, std::array<R, N>& out) {
  const OskaTfConfigInternal& e = model.entries;
  if (!moderate(in) || !moderate(e.input_ref_point.translation) ||
      !moderate(e.input_expr_axes.rotation) || !moderate(e.output_ref_point.translation) ||
      !moderate(e.output_expr_axes.rotation)) {
    return false;
  }
  V3 p_in = vec(e.input_ref_point.translation.data());
  Q4 q_in = quat(e.input_expr_axes.rotation.data());
  V3 p_out = vec(e.output_ref_point.translation.data());
  Q4 q_out = quat(e.output_expr_axes.rotation.data());

  if constexpr (std::is_same_v<Block, OskaTfPose>) {
    const V3 p = vec(in.data());
    const Q4 q = quat(in.data() + 3);
    const V3 p_f = rot(q_in, p);
    const Q4 q_f = normalise(mul(q_in, q));
    const V3 r_in = isMoving(e.input_ref_point.origin) ? rot(q_f, p_in) : p_in;
    const V3 pos = isMoving(e.output_ref_point.origin) ? p_f - r_in + rot(q_f, p_out) : p_out;
    const Q4 q_oa = isMoving(e.output_expr_axes.origin) ? normalise(mul(q_f, q_out)) : q_out;
    const V3 o = rot(conj(q_oa), pos);
    const Q4 r = mul(conj(q_oa), q_f);
    out = {o[0], o[1], o[2], r[0], r[1], r[2], r[3]};
  } else {
    if (!moderate(model.tf)) return false;
    const V3 t = vec(model.tf.data());
    const Q4 q = quat(model.tf.data() + 3);
    if (isMoving(e.input_ref_point.origin)) p_in = rot(q, p_in) + t;
    if (isMoving(e.input_expr_axes.origin)) q_in = mul(q, q_in);
    if (isMoving(e.output_ref_point.origin)) p_out = rot(q, p_out) + t;
    if (isMoving(e.output_expr_axes.origin)) q_out = mul(q, q_out);
    const V3 lin = vec(in.data());
    const V3 ang = vec(in.data() + 3);
    V3 a;
    V3 b;
    if constexpr (std::is_same_v<Block, OskaTfWrench>) {
      const V3 f = rot(q_in, lin);
      a = f;
      b = rot(q_in, ang) + cross(p_in - p_out, f);
    } else if constexpr (std::is_same_v<Block, OskaTfTwist>) {
      const V3 w = rot(q_in, ang);
      a = rot(q_in, lin) + cross(w, p_out - p_in);
      b = w;
    } else if constexpr (std::is_same_v<Block, OskaTfImu>) {
      const V3 w = rot(q_in, ang);
      a = rot(q_in, lin) + cross(w, cross(w, p_out - p_in));
      b = w;
    } else {
      static_assert(kNoReferenceYet<Block>, "write the reference arithmetic of this block kind");
    }
    const V3 oa = rot(conj(q_out), a);
    const V3 ob = rot(conj(q_out), b);
    out = {oa[0], oa[1], oa[2], ob[0], ob[1], ob[2]};
  }
  for (const R& r : out) {
    if (!(r.m < 1e280L)) return false;
  }
  return true;
}

/// m·g_s = m·rot(conj(q_tf ⊗ q_s), g), as documented.
inline V3 payloadWeight(const PayloadModel& model) {
  const OskaPayloadConfig& c = model.config;
  const Q4 q = mul(quat(model.tf.data() + 3), quat(c.sensor_axes.data()));
  return scale(lit(c.mass), rot(conj(q), vec(c.gravity.data())));
}

inline bool moderate(const PayloadModel& model) {
  const OskaPayloadConfig& c = model.config;
  return moderate(c.mass) && moderate(c.center_of_mass) && moderate(c.force_bias) &&
         moderate(c.torque_bias) && moderate(c.gravity) && moderate(c.sensor_axes) &&
         moderate(model.tf);
}

/// [F − F_bias − w, T − T_bias − c × w] with w = m·g_s.
template <typename Block, std::size_t N>
bool reference(const PayloadModel& model, const std::array<double, N>& in, std::array<R, N>& out) {
  static_assert(N == 6, "a payload sample is a wrench");
  if (!moderate(in) || !moderate(model)) return false;
  const OskaPayloadConfig& c = model.config;
  const V3 w = payloadWeight(model);
  const V3 f = vec(in.data()) - vec(c.force_bias.data()) - w;
  const V3 t = vec(in.data() + 3) - vec(c.torque_bias.data()) - cross(vec(c.center_of_mass.data()), w);
  out = {f[0], f[1], f[2], t[0], t[1], t[2]};
  for (const R& r : out) {
    if (!(r.m < 1e280L)) return false;
  }
  return true;
}

/// Whether update would compute, by the model.
template <typename Block>
bool isReady(const EntryModel& model) {
  const OskaTfConfigInternal& e = model.entries;
  bool ready = e.input_ref_point.is_set && e.input_expr_axes.is_set &&
               e.output_ref_point.is_set && e.output_expr_axes.is_set;
  if constexpr (Traits<Block>::kHasTransform) {
    const bool any_moving = isMoving(e.input_ref_point.origin) ||
                            isMoving(e.input_expr_axes.origin) ||
                            isMoving(e.output_ref_point.origin) ||
                            isMoving(e.output_expr_axes.origin);
    ready = ready && (!any_moving || model.tf_set);
  } else {
    ready = ready && !isMoving(e.input_expr_axes.origin);
  }
  return ready;
}
template <typename Block>
bool isReady(const PayloadModel& model) {
  return model.configured && model.tf_set;
}

// ---------------------------------------------------------- update check ---

/// The code of a call that is not ready: NotReady under best_effort and
/// soft_rt, Error under any other policy value.
inline OskaControlReturnCode notReadyCode(OskaControlBlockPolicy policy) {
  const bool tolerant =
      policy == OskaControlBlockPolicy::BestEffort || policy == OskaControlBlockPolicy::SoftRt;
  return tolerant ? OskaControlReturnCode::NotReady : OskaControlReturnCode::Error;
}

template <std::size_t N>
void fillSentinel(std::array<double, N>& a) {
  std::memset(a.data(), 0xA5, sizeof(double) * N);
}
template <std::size_t N>
bool sameBits(const std::array<double, N>& a, const std::array<double, N>& b) {
  return std::memcmp(a.data(), b.data(), sizeof(double) * N) == 0;
}

/// The same bits, except that any NaN matches any NaN: when two NaNs meet,
/// which one an operation passes on depends on the order of its operands,
/// which the compiler may swap, so the batch promises a NaN, not its sign
/// or payload.
template <std::size_t N>
bool sameValues(const std::array<double, N>& a, const std::array<double, N>& b) {
  for (std::size_t i = 0; i < N; ++i) {
    const bool both_nan = std::isnan(a[i]) && std::isnan(b[i]);
    if (!both_nan && std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return false;
  }
  return true;
}

/// Runs update on `in` and checks everything the model predicts: the return
/// code, one diagnostic line on failure and none on success, an untouched
/// output on failure, the same bits from a repeated call, from an in-place
/// call and from every row of a batch long enough for whole tiles and a
/// remainder, and on success the reference arithmetic.
template <typename Block, typename Model>
void checkUpdate(Block& block, const Model& model,
                 const std::array<double, Traits<Block>::kSize>& in) {
  constexpr std::size_t N = Traits<Block>::kSize;
  const bool ready = isReady<Block>(model);
  FUZZ_CHECK(block.isReady() == ready);
  const OskaControlReturnCode expected =
      ready ? OskaControlReturnCode::Ok : notReadyCode(model.policy);

  std::array<double, N> out;
  fillSentinel(out);
  long before = diagnostics().lines();
  const OskaControlReturnCode code = block.update(in, out);
  FUZZ_CHECK(code == OskaControlReturnCode::Ok || code == OskaControlReturnCode::NotReady ||
             code == OskaControlReturnCode::Error);
  FUZZ_CHECK(code == expected);
  FUZZ_CHECK(diagnostics().lines() - before == (ready ? 0 : 1));
  if (!ready) {
    std::array<double, N> sentinel;
    fillSentinel(sentinel);
    FUZZ_CHECK(sameBits(out, sentinel));
  }

  // No hidden state: the same call again gives the same bits.
  std::array<double, N> again;
  fillSentinel(again);
  FUZZ_CHECK(block.update(in, again) == code);
  FUZZ_CHECK(sameBits(out, again));

  // In place: the same bits as with separate arrays, or, on failure, the
  // input left as it was.
  std::array<double, N> inout = in;
  before = diagnostics().lines();
  FUZZ_CHECK(block.update(inout, inout) == code);
  FUZZ_CHECK(diagnostics().lines() - before == (ready ? 0 : 1));
  FUZZ_CHECK(sameBits(inout, ready ? out : in));

  // A batch of the same sample: one check and at most one line for the call,
  // and on success every row the value of update, bit for bit but for NaNs.
  constexpr std::size_t kRows = 11;
  std::array<double, kRows * N> rows, batch_out;
  for (std::size_t r = 0; r < kRows; ++r) std::memcpy(&rows[r * N], in.data(), sizeof(double) * N);
  std::memset(batch_out.data(), 0xA5, sizeof batch_out);
  before = diagnostics().lines();
  FUZZ_CHECK(updateBatchOf(block, rows.data(), batch_out.data(), kRows) == code);
  FUZZ_CHECK(diagnostics().lines() - before == (ready ? 0 : 1));
  for (std::size_t r = 0; r < kRows; ++r) {
    std::array<double, N> row;
    std::memcpy(row.data(), &batch_out[r * N], sizeof(double) * N);
    if (ready) {
      FUZZ_CHECK(sameValues(row, out));
    } else {
      FUZZ_CHECK(sameBits(row, again));  // still the sentinel
    }
  }

  if (ready) {
    std::array<R, N> ref;
    if (reference<Block>(model, in, ref)) {
      for (std::size_t i = 0; i < N; ++i) {
        const long double err = std::fabs(static_cast<long double>(out[i]) - ref[i].v);
        if (!(err <= 1e-12L * ref[i].m + 1e-250L)) {
          std::fprintf(stderr, "output %zu: got %.17g, reference %.17Lg (bound %.3Lg)\n", i,
                       out[i], ref[i].v, ref[i].m);
          FUZZ_CHECK(!"output differs from the reference arithmetic");
        }
      }
    }
  }
}

}  // namespace oska::fuzz
