// The payload block's own behaviour: its compensation against rotation
// matrices, the tare, and what its constructors and readiness say. What it
// shares with every kind (policies, batches bit for bit, diagnostics, the
// real-time paths) is in the typed tests.
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace oska {
namespace {

using test::CerrCapture;
using test::TempFile;
using test::V3;
using Code = OskaControlReturnCode;
using W6 = std::array<double, 6>;
using M3 = std::array<V3, 3>;  // rows

// ------------------------------------------- rotation matrices, no quaternions
M3 matmul(const M3& a, const M3& b) {
  M3 r{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      for (int k = 0; k < 3; ++k) r[i][j] += a[i][k] * b[k][j];
    }
  }
  return r;
}
V3 transposedTimes(const M3& r, const V3& v) {  // rᵀ·v
  return {r[0][0] * v[0] + r[1][0] * v[1] + r[2][0] * v[2],
          r[0][1] * v[0] + r[1][1] * v[1] + r[2][1] * v[2],
          r[0][2] * v[0] + r[1][2] * v[1] + r[2][2] * v[2]};
}
/// Rodrigues: I + sin θ·K + (1 − cos θ)·K² for a unit axis.
M3 rodrigues(const V3& axis, double angle) {
  const M3 k{{{0, -axis[2], axis[1]}, {axis[2], 0, -axis[0]}, {-axis[1], axis[0], 0}}};
  const M3 k2 = matmul(k, k);
  M3 r{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      r[i][j] = (i == j ? 1.0 : 0.0) + std::sin(angle) * k[i][j] + (1 - std::cos(angle)) * k2[i][j];
    }
  }
  return r;
}

/// A rotation drawn as an axis and an angle: the quaternion the block is
/// given, and the matrix the reference uses.
struct Turn {
  test::Q4 q;
  M3 r;
};
Turn randomTurn(test::Random& rng) {
  V3 axis = rng.vec();
  const double norm = std::sqrt(test::dot(axis, axis));
  axis = test::scale(1.0 / norm, axis);
  const double angle = rng.uniform(-3.1, 3.1);
  return {test::axisAngle(axis, angle), rodrigues(axis, angle)};
}

std::array<double, 7> poseWith(const test::Q4& q) { return {0.3, -1.2, 0.8, q[0], q[1], q[2], q[3]}; }

/// [F − F_bias − m·g_s, T − T_bias − c × (m·g_s)], g_s = (R_tf·R_s)ᵀ·g.
W6 expected(const OskaPayloadConfig& c, const M3& r_tf, const M3& r_s, const W6& in) {
  const V3 g_s = transposedTimes(matmul(r_tf, r_s), c.gravity);
  const V3 w = test::scale(c.mass, g_s);
  const V3 f = test::sub(test::sub({in[0], in[1], in[2]}, c.force_bias), w);
  const V3 t = test::sub(test::sub({in[3], in[4], in[5]}, c.torque_bias),
                         test::cross(c.center_of_mass, w));
  return {f[0], f[1], f[2], t[0], t[1], t[2]};
}

OskaPayloadConfig someConfig() {
  OskaPayloadConfig c;
  c.name = "gripper";
  c.mass = 1.75;
  c.center_of_mass = {0.012, -0.03, 0.085};
  c.force_bias = {0.8, -1.1, 2.4};
  c.torque_bias = {0.05, 0.02, -0.07};
  return c;
}

std::string line(const std::string& text) { return "OskaTfPayload: " + text + "\n"; }

TEST(Payload, CompensatesAsRotationMatricesSay) {
  test::Random rng(5);
  for (int round = 0; round < 300; ++round) {
    OskaPayloadConfig c = someConfig();
    c.mass = rng.uniform(0.0, 20.0);
    c.center_of_mass = test::scale(0.2, rng.vec());
    c.force_bias = test::scale(5.0, rng.vec());
    c.torque_bias = rng.vec();
    c.gravity = round % 3 == 0 ? V3{0.0, 0.0, -9.80665} : test::scale(5.0, rng.vec());
    const Turn sensor = randomTurn(rng);
    c.sensor_axes = sensor.q;
    OskaTfPayload block(c);
    std::vector<double> rows, tfs;
    std::vector<W6> want;
    for (int i = 0; i < 5; ++i) {
      const Turn flange = randomTurn(rng);
      const W6 in{rng.uniform(-50, 50), rng.uniform(-50, 50), rng.uniform(-50, 50),
                  rng.uniform(-5, 5),   rng.uniform(-5, 5),   rng.uniform(-5, 5)};
      const auto pose = poseWith(flange.q);
      block.setFixedToMovingFrameTf(pose);
      W6 out{};
      ASSERT_EQ(block.update(in, out), Code::Ok);
      want.push_back(expected(c, flange.r, sensor.r, in));
      test::expectClose(out, want.back());
      rows.insert(rows.end(), in.begin(), in.end());
      tfs.insert(tfs.end(), pose.begin(), pose.end());
    }
    std::vector<double> out(rows.size());
    ASSERT_EQ(block.updateBatch(rows.data(), out.data(), 5, tfs.data()), Code::Ok);
    for (std::size_t i = 0; i < 5; ++i) {
      W6 row;
      std::copy(out.begin() + 6 * i, out.begin() + 6 * i + 6, row.begin());
      test::expectClose(row, want[i]);
    }
    if (HasFailure()) FAIL() << "round " << round;
  }
}

// The weight does not depend on where the moving frame is, only on how it
// is turned; a sensor hanging straight down (z along gravity) sees the whole
// weight on its z axis and the moment of the centre of mass's offset.
TEST(Payload, AWorkedCase) {
  OskaPayloadConfig c;
  c.mass = 2.0;
  c.center_of_mass = {0.1, 0.0, 0.05};
  c.gravity = {0.0, 0.0, -10.0};
  c.sensor_axes = {0.0, 1.0, 0.0, 0.0};  // half a turn about x: sensor z points down
  OskaTfPayload block(c);
  block.setFixedToMovingFrameTf({5.0, 6.0, 7.0, 1.0, 0.0, 0.0, 0.0});
  // g_s = (0, 0, 10), m·g_s = (0, 0, 20), c × (0, 0, 20) = (0, −2, 0).
  const W6 measured{0.0, 0.0, 20.0, 0.0, -2.0, 0.0};
  W6 out{};
  ASSERT_EQ(block.update(measured, out), Code::Ok);
  test::expectNear(out, W6{0, 0, 0, 0, 0, 0}, 1e-15);
  // A pull of 3 N along the sensor's x at the sensor origin comes through.
  ASSERT_EQ(block.update({3.0, 0.0, 20.0, 0.0, -2.0, 0.0}, out), Code::Ok);
  test::expectNear(out, W6{3, 0, 0, 0, 0, 0}, 1e-15);
}

// Quaternions are used as given, as in the other blocks: q = q_tf ⊗ q_s and
// rot(conj(q), ·) of the documented formula, with non-unit quaternions too.
TEST(Payload, NonUnitQuaternionsAreUsedAsGiven) {
  test::Random rng(9);
  for (int round = 0; round < 100; ++round) {
    OskaPayloadConfig c = someConfig();
    c.sensor_axes = rng.quat();
    c.gravity = rng.vec();
    OskaTfPayload block(c);
    const test::Q4 q_tf = rng.quat();
    block.setFixedToMovingFrameTf({0, 0, 0, q_tf[0], q_tf[1], q_tf[2], q_tf[3]});
    const W6 in{1.0, -2.0, 3.0, -0.5, 0.25, 0.75};
    W6 out{};
    ASSERT_EQ(block.update(in, out), Code::Ok);
    const V3 w = test::scale(c.mass, test::rot(test::conj(test::mul(q_tf, c.sensor_axes)), c.gravity));
    const V3 f = test::sub(test::sub({in[0], in[1], in[2]}, c.force_bias), w);
    const V3 t = test::sub(test::sub({in[3], in[4], in[5]}, c.torque_bias),
                           test::cross(c.center_of_mass, w));
    test::expectClose(out, W6{f[0], f[1], f[2], t[0], t[1], t[2]});
  }
}

// ------------------------------------------------------------------- tare --

/// Samples of a sensor carrying the payload of `c` with the bias `bias_f`,
/// `bias_t`, at the flange rotation `flange`, with a little noise.
std::vector<double> staticSamples(const OskaPayloadConfig& c, const Turn& flange, const M3& r_s,
                                  const V3& bias_f, const V3& bias_t, test::Random& rng,
                                  std::size_t n) {
  OskaPayloadConfig truth = c;
  truth.force_bias = {0, 0, 0};
  truth.torque_bias = {0, 0, 0};
  // expected() of a zero measurement is minus the payload's own wrench.
  const W6 own = expected(truth, flange.r, r_s, W6{});
  std::vector<double> rows;
  for (std::size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 6; ++k) {
      const double bias = k < 3 ? bias_f[k] : bias_t[k - 3];
      rows.push_back(-own[k] + bias + 0.01 * rng.uniform(-1, 1));
    }
  }
  return rows;
}

TEST(PayloadTare, ZeroesTheMeanAndRecoversTheTrueBias) {
  test::Random rng(3);
  const Turn sensor = randomTurn(rng);
  OskaPayloadConfig c = someConfig();
  c.sensor_axes = sensor.q;
  c.force_bias = {0, 0, 0};  // unknown before the tare
  c.torque_bias = {0, 0, 0};
  const V3 true_f{3.5, -2.25, 7.0}, true_t{0.4, -0.15, 0.05};
  OskaTfPayload block(c);

  const Turn here = randomTurn(rng);
  block.setFixedToMovingFrameTf(poseWith(here.q));
  const std::vector<double> samples = staticSamples(c, here, sensor.r, true_f, true_t, rng, 500);
  ASSERT_EQ(block.tare(samples.data(), 500), Code::Ok);

  // The samples now compensate to a mean of zero, within rounding.
  std::vector<double> out(samples.size());
  ASSERT_EQ(block.updateBatch(samples.data(), out.data(), 500), Code::Ok);
  double mean[6] = {};
  for (std::size_t i = 0; i < 500; ++i) {
    for (int k = 0; k < 6; ++k) mean[k] += out[6 * i + k] / 500;
  }
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(mean[k], 0.0, 1e-13) << "component " << k;

  // The bias it found is the sensor's (up to the mean noise), mass and
  // centre of mass stay, and at another orientation a still sensor reads 0.
  const OskaPayloadConfig after = block.config();
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(after.force_bias[k], true_f[k], 2e-3);
    EXPECT_NEAR(after.torque_bias[k], true_t[k], 2e-3);
  }
  EXPECT_EQ(after.mass, c.mass);
  EXPECT_EQ(after.center_of_mass, c.center_of_mass);
  EXPECT_EQ(after.name, "gripper");
  const Turn there = randomTurn(rng);
  block.setFixedToMovingFrameTf(poseWith(there.q));
  const std::vector<double> elsewhere = staticSamples(c, there, sensor.r, true_f, true_t, rng, 1);
  W6 in, still{};
  std::copy(elsewhere.begin(), elsewhere.end(), in.begin());
  ASSERT_EQ(block.update(in, still), Code::Ok);
  test::expectNear(still, W6{0, 0, 0, 0, 0, 0}, 0.02);
}

TEST(PayloadTare, RefusesWithOneLineAndKeepsTheBias) {
  const W6 sample{1, 2, 3, 4, 5, 6};
  OskaPayloadConfig hard = someConfig();
  hard.policy = OskaControlBlockPolicy::HardRt;
  OskaTfPayload unconfigured{std::string()}, no_transform(someConfig()), strict(hard),
      ready(someConfig());
  ready.setFixedToMovingFrameTf(poseWith({1, 0, 0, 0}));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const W6 bad{1, nan, 3, 4, 5, 6};
  std::array<double, 7> infinite_pose = poseWith({1, 0, 0, 0});
  infinite_pose[4] = std::numeric_limits<double>::infinity();
  OskaTfPayload bad_pose(someConfig());
  bad_pose.setFixedToMovingFrameTf(infinite_pose);

  const std::string non_finite = line(
      "tare() would make the bias non-finite (a non-finite sample or transform); the bias is "
      "left as it was.");
  const std::string orientation =
      "tare() called before setFixedToMovingFrameTf(): the sensor's orientation is unknown.";
  const struct {
    OskaTfPayload* block;
    const double* rows;
    std::size_t count;
    Code code;
    std::string line;
  } cases[] = {
      {&unconfigured, sample.data(), 1, Code::NotReady,
       line("tare() called before the block is configured.")},
      {&no_transform, sample.data(), 1, Code::NotReady, line(orientation)},
      {&strict, sample.data(), 1, Code::Error, line(orientation)},
      {&ready, nullptr, 1, Code::Error, line("tare() given a null array.")},
      {&ready, sample.data(), 0, Code::Error, line("tare() given no samples; it needs at least one.")},
      {&ready, bad.data(), 1, Code::Error, non_finite},
      {&bad_pose, sample.data(), 1, Code::Error, non_finite},
  };
  for (const auto& c : cases) {
    const OskaPayloadConfig before = c.block->config();
    CerrCapture cerr;
    EXPECT_EQ(c.block->tare(c.rows, c.count), c.code) << c.line;
    EXPECT_EQ(cerr.text(), c.line);
    EXPECT_EQ(c.block->config().force_bias, before.force_bias) << c.line;
    EXPECT_EQ(c.block->config().torque_bias, before.torque_bias) << c.line;
  }
  CerrCapture cerr;
  EXPECT_EQ(ready.tare(sample.data(), 1), Code::Ok);
  EXPECT_EQ(cerr.text(), "");
}

// A throwing std::cerr makes a refused tare an exception, as for update: the
// exception line and Error whatever the policy; a second throw is lost and
// nothing leaves the call.
TEST(PayloadTare, AThrowingStandardErrorMakesARefusalAnExceptionThatNeverEscapes) {
  OskaTfPayload unconfigured{std::string()};  // BestEffort: not ready would be NotReady
  const W6 sample{1, 2, 3, 4, 5, 6};
  {
    test::ThrowingStandardError cerr(1);
    EXPECT_EQ(unconfigured.tare(sample.data(), 1), Code::Error);
    EXPECT_EQ(cerr.text(), "OskaTfPayload::tare exception: disk full\n");
  }
  test::ThrowingStandardError cerr(2);
  Code code = Code::Ok;
  EXPECT_NO_THROW(code = unconfigured.tare(nullptr, 1));
  EXPECT_EQ(code, Code::Error);
  EXPECT_EQ(cerr.text(), "");
}

// ---------------------------------------------------- construction, readiness

TEST(Payload, RecordsAreCheckedFilesLoadAnEmptyPathIsUnconfigured) {
  OskaPayloadConfig bad = someConfig();
  bad.mass = -1.0;
  try {
    OskaTfPayload block(bad);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).rfind("OskaPayloadConfig.mass ", 0), 0u) << e.what();
  }
  bad = someConfig();
  bad.sensor_axes = {0, 0, 0, 0};
  EXPECT_THROW(OskaTfPayload{bad}, std::invalid_argument);

  TempFile file(R"({"tf_payload_config": {"name": "from_file", "policy": "strict_rt",
      "mass": 0.5, "center_of_mass": [0, 0, 0.1], "force_bias": [1, 2, 3],
      "torque_bias": [0, 0, 0], "gravity": [0, -9.81, 0]}})");
  OskaTfPayload from_file(file.path());
  EXPECT_EQ(from_file.name(), "from_file");
  EXPECT_EQ(from_file.config().policy, OskaControlBlockPolicy::StrictRt);
  EXPECT_EQ(from_file.config().gravity, (V3{0, -9.81, 0}));
  TempFile refused(R"({"tf_payload_config": {"mass": 0.5}})");
  EXPECT_THROW(OskaTfPayload{refused.path()}, std::runtime_error);
  EXPECT_THROW(OskaTfPayload{::testing::TempDir() + "no_such_payload.json"}, std::runtime_error);

  OskaTfPayload unconfigured{std::string()};
  EXPECT_EQ(unconfigured.name(), "");
  unconfigured.setFixedToMovingFrameTf(poseWith({1, 0, 0, 0}));
  EXPECT_FALSE(unconfigured.isReady());
  W6 out;
  out.fill(-7.0);
  CerrCapture cerr;
  EXPECT_EQ(unconfigured.update({1, 2, 3, 4, 5, 6}, out), Code::NotReady);
  EXPECT_EQ(cerr.text(), line("update() called before the block is configured."));
  EXPECT_EQ(out[0], -7.0);
}

TEST(Payload, NeedsOneTransformEverAfterwardsNoMore) {
  OskaTfPayload block(someConfig());
  EXPECT_FALSE(block.isReady());
  W6 out;
  out.fill(-7.0);
  {
    CerrCapture cerr;
    EXPECT_EQ(block.update({1, 2, 3, 4, 5, 6}, out), Code::NotReady);
    EXPECT_EQ(cerr.text(), line("update() called before setFixedToMovingFrameTf(): the sensor's "
                                "orientation is unknown."));
  }
  EXPECT_EQ(out[0], -7.0);
  block.setFixedToMovingFrameTf(poseWith({1, 0, 0, 0}));
  EXPECT_TRUE(block.isReady());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(block.update({1, 2, 3, 4, 5, 6}, out), Code::Ok);
}

}  // namespace
}  // namespace oska
