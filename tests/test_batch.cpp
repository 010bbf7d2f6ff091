// updateBatch against a loop of update, on every block: the same bits (NaNs
// aside), the same stored transform afterwards, the same checks made once per
// call.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace oska {
namespace {

using test::CerrCapture;

/// The same bits, except that any NaN matches any NaN: where two NaNs meet,
/// which one an operation passes on depends on the order of its operands,
/// which the compiler may swap between the scalar and the vector code.
bool sameValues(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(std::isnan(a[i]) && std::isnan(b[i])) && std::memcmp(&a[i], &b[i], sizeof(double))) {
      return false;
    }
  }
  return true;
}

template <typename Block>
class Batch : public ::testing::Test {
 protected:
  using Traits = BlockTraits<Block>;
  static constexpr std::size_t N = Traits::kSize;

  /// What the batch must equal: set the transform row, then update, sample
  /// by sample.
  static std::vector<double> loop(Block& block, const std::vector<double>& in,
                                  const double* tf) {
    std::vector<double> out(in.size());
    for (std::size_t i = 0; i < in.size() / N; ++i) {
      if constexpr (Traits::kHasTransform) {
        if (tf != nullptr) {
          std::array<double, 7> row;
          std::memcpy(row.data(), tf + 7 * i, sizeof row);
          block.setFixedToMovingFrameTf(row);
        }
      }
      std::array<double, N> a, b;
      std::memcpy(a.data(), in.data() + N * i, sizeof a);
      EXPECT_EQ(block.update(a, b), OskaControlReturnCode::Ok);
      std::memcpy(out.data() + N * i, b.data(), sizeof b);
    }
    return out;
  }

  static std::vector<double> random(test::Random& rng, std::size_t n) {
    std::vector<double> v(n);
    for (double& x : v) x = rng.uniform();
    return v;
  }
};

TYPED_TEST_SUITE(Batch, test::AllBlockTypes);

// Random configurations (entries on either frame, for the kinds that have
// them), non-unit quaternions, counts around the
// vector width, with and without transform rows, in place and not; a few
// samples carry a zero quaternion, infinities and NaNs.
TYPED_TEST(Batch, EqualsTheLoopOfUpdateBitForBit) {
  constexpr std::size_t N = TestFixture::N;
  test::Random rng(7);
  for (int round = 0; round < 40; ++round) {
    const auto c = test::Make<TypeParam>::randomCase(rng);
    for (std::size_t count : {1u, 3u, 4u, 5u, 8u, 13u, 67u}) {
      std::vector<double> in = this->random(rng, count * N);
      std::vector<double> tf = this->random(rng, count * 7);
      if (count > 5) {
        in[N * 2 + 3] = in[N * 2 + 4] = in[N * 2 + 5] = 0.0;
        if (N == 7) in[N * 2 + 6] = 0.0;
        in[N * 3] = std::numeric_limits<double>::quiet_NaN();
        in[N * 4 + 1] = std::numeric_limits<double>::infinity();
      }
      for (bool rows : {false, true}) {
        if (rows && !TestFixture::Traits::kHasTransform) continue;
        const double* tf_rows = rows ? tf.data() : nullptr;
        auto made_looped = test::Make<TypeParam>::build(c);
        auto made_batched = test::Make<TypeParam>::build(c);
        auto made_in_place = test::Make<TypeParam>::build(c);
        TypeParam& looped = *made_looped;
        TypeParam& batched = *made_batched;
        TypeParam& in_place = *made_in_place;
        const std::vector<double> expected = this->loop(looped, in, tf_rows);
        std::vector<double> out(in.size(), -1.0);
        ASSERT_EQ(updateBatchOf(batched, in.data(), out.data(), count, tf_rows),
                  OskaControlReturnCode::Ok);
        std::vector<double> buffer = in;
        ASSERT_EQ(updateBatchOf(in_place, buffer.data(), buffer.data(), count, tf_rows),
                  OskaControlReturnCode::Ok);
        ASSERT_TRUE(sameValues(out, expected))
            << "round " << round << ", count " << count << ", rows " << rows;
        ASSERT_TRUE(sameValues(buffer, expected));

        // The last transform row stays stored, as after the loop.
        std::array<double, N> sample{}, after_loop{}, after_batch{};
        sample.fill(0.5);
        looped.update(sample, after_loop);
        batched.update(sample, after_batch);
        ASSERT_EQ(std::memcmp(after_loop.data(), after_batch.data(), sizeof sample), 0);
      }
    }
  }
}

TYPED_TEST(Batch, ChecksOnceAndWritesNothingWhenNotReady) {
  constexpr std::size_t N = TestFixture::N;
  TypeParam block{std::string()};
  std::vector<double> in(5 * N, 0.25), out(5 * N, -7.0);
  const std::string not_ready = test::Make<TypeParam>::unconfiguredLine() + "\n";
  {
    CerrCapture cerr;
    EXPECT_EQ(updateBatchOf(block, in.data(), out.data(), 5, nullptr), OskaControlReturnCode::NotReady);
    EXPECT_EQ(cerr.text(), not_ready);
    // A count of 0 touches nothing, not even for a block that is not ready.
    EXPECT_EQ(updateBatchOf(block, in.data(), out.data(), 0, nullptr), OskaControlReturnCode::Ok);
    EXPECT_EQ(cerr.text(), not_ready);
  }
  EXPECT_EQ(out, std::vector<double>(5 * N, -7.0));

  // An output that overlaps the input other than in place is refused.
  const auto made = test::Make<TypeParam>::ready();
  TypeParam& ready = *made;
  std::vector<double> buffer(6 * N, 1.0);
  CerrCapture cerr;
  EXPECT_EQ(updateBatchOf(ready, buffer.data(), buffer.data() + N, 5, nullptr),
            OskaControlReturnCode::Error);
  EXPECT_EQ(cerr.text(), std::string(TestFixture::Traits::kName) +
                             ": updateBatch() output overlaps an input other than in place.\n");
  EXPECT_EQ(buffer, std::vector<double>(6 * N, 1.0));
}

// A body turning about a fixed axis through c with angular acceleration α and
// rate ω = α·t: every point x accelerates by α × (x − c) + ω × (ω × (x − c)).
// Measured at one point along some axes, the IMU sample converted to another
// point must be that point's acceleration along the output axes.
TEST(BatchImu, TangentialTermMatchesABodyWhoseRateGrowsLinearly) {
  using namespace test;  // NOLINT: the scalar reference formulas
  Random rng(11);
  for (int i = 0; i < 200; ++i) {
    const RandomCase c = randomCase(rng, /*unit=*/true);
    OskaTfConfig config = c.config;
    for (auto* origin : {&config.input_ref_point.origin, &config.input_expr_axes.origin,
                         &config.output_ref_point.origin, &config.output_expr_axes.origin}) {
      *origin = "fixed_frame";
    }
    const V3 axis_point = rng.vec();
    const V3 alpha = rng.vec();
    const Q4 q_in = config.input_expr_axes.rotation;
    const Q4 q_out = config.output_expr_axes.rotation;
    std::vector<double> in, accel, expected;
    for (double t : {0.0, 0.3, 1.0, 2.5}) {
      const V3 omega = scale(t, alpha);
      auto at = [&](const V3& x) {
        const V3 r = sub(x, axis_point);
        return add(cross(alpha, r), cross(omega, cross(omega, r)));
      };
      for (const V3& v : {rot(conj(q_in), at(config.input_ref_point.translation)),
                          rot(conj(q_in), omega)}) {
        in.insert(in.end(), v.begin(), v.end());
      }
      const V3 alpha_in = rot(conj(q_in), alpha);
      accel.insert(accel.end(), alpha_in.begin(), alpha_in.end());
      for (const V3& v : {rot(conj(q_out), at(config.output_ref_point.translation)),
                          rot(conj(q_out), omega)}) {
        expected.insert(expected.end(), v.begin(), v.end());
      }
    }
    OskaTfImu block(config);
    std::vector<double> out(in.size());
    ASSERT_EQ(block.updateBatch(in.data(), out.data(), 4, nullptr, accel.data()),
              OskaControlReturnCode::Ok);
    for (std::size_t k = 0; k < out.size(); ++k) {
      EXPECT_NEAR(out[k], expected[k], 1e-11) << "case " << i << ", value " << k;
    }
    if (HasFailure()) FAIL() << "case " << i;
  }
}

}  // namespace
}  // namespace oska
