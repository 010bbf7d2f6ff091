// Worked examples of each block's arithmetic, exact where no rounding can
// occur and within rounding elsewhere.
#include <cmath>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace oska {
namespace {

using test::expectNear;
using test::fixedIdentityConfig;

constexpr double kC45 = 0.70710678118654752440;  // cos 45° = sin 45°

template <typename Block, std::size_t N>
std::array<double, N> run(Block& block, const std::array<double, N>& in) {
  std::array<double, N> out;
  out.fill(-777.0);
  EXPECT_EQ(block.update(in, out), OskaControlReturnCode::Ok);
  return out;
}

// --------------------------------------------------------------- wrench ----
TEST(WrenchArithmetic, EqualPointsAndIdentityAxesPassTheSampleExactly) {
  OskaTfConfig config = fixedIdentityConfig();
  config.input_ref_point.translation = config.output_ref_point.translation = {1.7, -3.1, 0.25};
  OskaTfWrench block(config);
  const std::array<double, 6> in{1.1, -2.2, 3.3, -4.4, 5.5, -6.6};
  EXPECT_EQ(run(block, in), in);
}

TEST(WrenchArithmetic, ForceAtAnOffsetPointAddsAMoment) {
  OskaTfConfig config = fixedIdentityConfig();
  config.input_ref_point.translation = {1, 0, 0};
  OskaTfWrench block(config);
  expectNear(run(block, std::array<double, 6>{0, 0, 1, 0, 0, 0}), {0, 0, 1, 0, -1, 0});
}

TEST(WrenchArithmetic, OutputAxesReexpressTheVectors) {
  OskaTfConfig config = fixedIdentityConfig();
  config.output_expr_axes.rotation = {kC45, 0, 0, kC45};
  OskaTfWrench block(config);
  expectNear(run(block, std::array<double, 6>{1, 0, 0, 1, 0, 0}), {0, -1, 0, 0, -1, 0}, 1e-15);
}

TEST(WrenchArithmetic, NonUnitQuaternionsAreUsedUnnormalised) {
  OskaTfConfig config = fixedIdentityConfig();
  config.input_expr_axes.rotation = {0, 2, 0, 0};
  OskaTfWrench block(config);
  EXPECT_EQ(run(block, std::array<double, 6>{0, 1, 0, 0, 0, 0}),
            (std::array<double, 6>{0, -7, 0, 0, 0, 0}));
  config.input_expr_axes.rotation = {2, 0, 0, 0};  // purely scalar: no rotation at all
  OskaTfWrench scalar(config);
  const std::array<double, 6> in{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(run(scalar, in), in);
}

TEST(WrenchArithmetic, MovingInputPointResolvesThroughTheTransform) {
  OskaTfConfig config = fixedIdentityConfig();
  config.input_ref_point.origin = "moving_frame";
  OskaTfWrench block(config);
  block.setFixedToMovingFrameTf({1, 2, 3, 1, 0, 0, 0});
  expectNear(run(block, std::array<double, 6>{0, 0, 1, 0, 0, 0}), {0, 0, 1, 2, -1, 0});
}

TEST(WrenchArithmetic, MovingAxesComposeWithTheTransformRotation) {
  // Sensor axes on the flange, turned 90° about z relative to it; the flange
  // itself turned 90° about z: the sensor's x axis is the fixed −x axis.
  OskaTfConfig config = fixedIdentityConfig();
  config.input_expr_axes = {"moving_frame", {kC45, 0, 0, kC45}};
  OskaTfWrench block(config);
  block.setFixedToMovingFrameTf({0, 0, 0, kC45, 0, 0, kC45});
  expectNear(run(block, std::array<double, 6>{1, 0, 0, 0, 0, 0}), {-1, 0, 0, 0, 0, 0}, 1e-15);
}

TEST(WrenchArithmetic, LatestTransformIsUsedAfterEachCall) {
  OskaTfConfig config = fixedIdentityConfig();
  config.input_ref_point.origin = "moving_frame";
  OskaTfWrench block(config);
  const std::array<double, 6> in{0, 0, 1, 0, 0, 0};
  block.setFixedToMovingFrameTf({1, 0, 0, 1, 0, 0, 0});
  expectNear(run(block, in), {0, 0, 1, 0, -1, 0});
  block.setFixedToMovingFrameTf({0, 1, 0, 1, 0, 0, 0});
  expectNear(run(block, in), {0, 0, 1, 1, 0, 0});
  expectNear(run(block, in), {0, 0, 1, 1, 0, 0});  // stale transform still used
}

// ---------------------------------------------------------------- twist ----
TEST(TwistArithmetic, LeverArmRunsFromInputToOutputPoint) {
  OskaTfConfig config = fixedIdentityConfig();
  config.output_ref_point.translation = {1, 0, 0};
  OskaTfTwist block(config);
  expectNear(run(block, std::array<double, 6>{0, 0, 0, 0, 0, 1}), {0, 1, 0, 0, 0, 1});

  OskaTfConfig swapped = fixedIdentityConfig();
  swapped.input_ref_point.translation = {1, 0, 0};
  OskaTfTwist reverse(swapped);
  expectNear(run(reverse, std::array<double, 6>{0, 0, 0, 0, 0, 1}), {0, -1, 0, 0, 0, 1});
}

TEST(TwistArithmetic, EqualPointsPassExactlyAndAxesRotateBothParts) {
  OskaTfConfig config = fixedIdentityConfig();
  config.input_ref_point.translation = config.output_ref_point.translation = {-2, 0.5, 9};
  OskaTfTwist same(config);
  const std::array<double, 6> in{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(run(same, in), in);

  OskaTfConfig axes = fixedIdentityConfig();
  axes.output_expr_axes.rotation = {kC45, 0, 0, kC45};
  OskaTfTwist turned(axes);
  expectNear(run(turned, std::array<double, 6>{1, 0, 0, 1, 0, 0}), {0, -1, 0, 0, -1, 0}, 1e-15);

  OskaTfConfig scaled = fixedIdentityConfig();
  scaled.input_expr_axes.rotation = {0, 2, 0, 0};
  OskaTfTwist unnormalised(scaled);
  EXPECT_EQ(run(unnormalised, std::array<double, 6>{0, 0, 0, 0, 1, 0}),
            (std::array<double, 6>{0, 0, 0, 0, -7, 0}));
}

TEST(TwistArithmetic, MovingOutputPointResolvesThroughTheTransform) {
  OskaTfConfig config = fixedIdentityConfig();
  config.output_ref_point.origin = "moving_frame";
  OskaTfTwist block(config);
  block.setFixedToMovingFrameTf({1, 2, 3, 1, 0, 0, 0});
  expectNear(run(block, std::array<double, 6>{0, 0, 0, 0, 0, 1}), {-2, 1, 0, 0, 0, 1});
}

// ------------------------------------------------------------------ IMU ----
TEST(ImuArithmetic, CentripetalTermPointsBackToTheAxis) {
  OskaTfConfig config = fixedIdentityConfig();
  config.output_ref_point.translation = {1, 0, 0};
  OskaTfImu block(config);
  expectNear(run(block, std::array<double, 6>{0, 0, 0, 0, 0, 1}), {-1, 0, 0, 0, 0, 1});
}

TEST(ImuArithmetic, RateParallelToLeverArmOrEqualPointsGiveNoTransfer) {
  OskaTfConfig config = fixedIdentityConfig();
  config.output_ref_point.translation = {0, 0, 2};
  OskaTfImu parallel(config);
  expectNear(run(parallel, std::array<double, 6>{0.5, 0, 0, 0, 0, 3}), {0.5, 0, 0, 0, 0, 3});

  config.input_ref_point.translation = config.output_ref_point.translation = {4, -1, 2};
  OskaTfImu same(config);
  const std::array<double, 6> in{0.1, 0.2, 9.81, 1, 2, 3};
  EXPECT_EQ(run(same, in), in);
}

TEST(ImuArithmetic, MovingInputAxesRotateTheAcceleration) {
  OskaTfConfig config = fixedIdentityConfig();
  config.input_expr_axes.origin = "moving_frame";
  OskaTfImu block(config);
  block.setFixedToMovingFrameTf({0, 0, 0, kC45, 0, 0, kC45});
  expectNear(run(block, std::array<double, 6>{1, 0, 0, 0, 0, 0}), {0, 1, 0, 0, 0, 0}, 1e-15);
}

TEST(ImuArithmetic, TransformTranslationMattersOnlyForTheLeverArm) {
  OskaTfConfig both = fixedIdentityConfig();
  both.input_ref_point = {"moving_frame", {0.1, 0, 0}};
  both.output_ref_point = {"moving_frame", {0, 0.2, 0}};
  OskaTfImu a(both), b(both);
  a.setFixedToMovingFrameTf({0, 0, 0, 1, 0, 0, 0});
  b.setFixedToMovingFrameTf({5, -3, 7, 1, 0, 0, 0});
  const std::array<double, 6> in{0, 0, 0, 0.3, -0.2, 1.5};
  expectNear(run(a, in), run(b, in), 1e-12);

  OskaTfConfig one = both;
  one.output_ref_point.origin = "fixed_frame";
  OskaTfImu c(one), d(one);
  c.setFixedToMovingFrameTf({0, 0, 0, 1, 0, 0, 0});
  d.setFixedToMovingFrameTf({5, -3, 7, 1, 0, 0, 0});
  const auto near = run(c, in);
  const auto far = run(d, in);
  EXPECT_GT(std::fabs(near[0] - far[0]) + std::fabs(near[1] - far[1]) + std::fabs(near[2] - far[2]),
            1.0);
}

TEST(ImuArithmetic, ScalarAndZeroQuaternionsLeaveVectorsUnchanged) {
  for (const std::array<double, 4>& q : {std::array<double, 4>{2, 0, 0, 0}, {0, 0, 0, 0}}) {
    OskaTfConfig config = fixedIdentityConfig();
    config.input_expr_axes.rotation = q;
    config.output_expr_axes.rotation = q;
    OskaTfImu block(config);
    const std::array<double, 6> in{1, -2, 3, -4, 5, -6};
    EXPECT_EQ(run(block, in), in);
  }
}

// ----------------------------------------------------------------- pose ----
OskaTfConfig poseConfig(const char* in_point, const char* out_point) {
  OskaTfConfig config = fixedIdentityConfig();
  config.input_ref_point.origin = in_point;
  config.output_ref_point.origin = out_point;
  return config;
}

TEST(PoseArithmetic, PassThroughNormalisesTheOrientation) {
  OskaTfPose block(poseConfig("fixed_frame", "moving_frame"));
  expectNear(run(block, std::array<double, 7>{1, 2, 3, 2, 0, 0, 0}), {1, 2, 3, 1, 0, 0, 0}, 0);
  expectNear(run(block, std::array<double, 7>{1, 2, 3, 0, 3, 0, 4}), {1, 2, 3, 0, 0.6, 0, 0.8},
             1e-15);
}

TEST(PoseArithmetic, FixedOutputPointIgnoresTheInputPosition) {
  OskaTfConfig config = poseConfig("fixed_frame", "fixed_frame");
  OskaTfPose origin(config);
  expectNear(run(origin, std::array<double, 7>{7, 8, 9, 1, 0, 0, 0}), {0, 0, 0, 1, 0, 0, 0}, 0);

  config.output_ref_point.translation = {1, 0, 0};
  config.output_expr_axes.rotation = {kC45, 0, 0, kC45};
  OskaTfPose turned(config);
  const auto a = run(turned, std::array<double, 7>{7, 8, 9, 1, 0, 0, 0});
  const auto b = run(turned, std::array<double, 7>{-3, 0, 1, 1, 0, 0, 0});
  expectNear(std::array<double, 3>{a[0], a[1], a[2]}, {0, -1, 0}, 1e-15);
  expectNear(std::array<double, 3>{b[0], b[1], b[2]}, {0, -1, 0}, 1e-15);
}

TEST(PoseArithmetic, OffsetAlongTheBodyAxes) {
  OskaTfConfig config = poseConfig("moving_frame", "moving_frame");
  config.output_ref_point.translation = {0, 0, 0.1};
  OskaTfPose block(config);
  expectNear(run(block, std::array<double, 7>{1, 2, 3, kC45, kC45, 0, 0}),
             {1, 1.9, 3, kC45, kC45, 0, 0}, 1e-15);
}

TEST(PoseArithmetic, EqualMovingPointsCarryThePositionAcrossAxes) {
  OskaTfConfig config = poseConfig("moving_frame", "moving_frame");
  config.input_ref_point.translation = config.output_ref_point.translation = {0.3, -0.1, 0.2};
  config.output_expr_axes.rotation = {kC45, 0, 0, kC45};
  OskaTfPose block(config);
  const auto out = run(block, std::array<double, 7>{1, 0, 0, 0.6, 0, 0.8, 0});
  expectNear(std::array<double, 3>{out[0], out[1], out[2]}, {0, -1, 0}, 1e-15);
}

TEST(PoseArithmetic, MovingOutputAxesExpressAlongTheBody) {
  OskaTfConfig config = poseConfig("fixed_frame", "moving_frame");
  config.output_expr_axes.origin = "moving_frame";
  OskaTfPose block(config);
  const auto out = run(block, std::array<double, 7>{1, 0, 0, kC45, 0, 0, kC45});
  expectNear(out, {0, -1, 0, 1, 0, 0, 0}, 1e-15);
}

TEST(PoseArithmetic, DegenerateAndNonUnitOrientations) {
  OskaTfPose block(poseConfig("moving_frame", "moving_frame"));
  // A negative scalar part is not made canonical.
  EXPECT_EQ(run(block, std::array<double, 7>{1, 2, 3, -1, 0, 0, 0})[3], -1.0);
  // The zero quaternion passes through normalise unchanged, and moving-frame
  // points are then used unrotated.
  OskaTfConfig config = poseConfig("moving_frame", "moving_frame");
  config.output_ref_point.translation = {0.5, 0, 0};
  OskaTfPose zero(config);
  expectNear(run(zero, std::array<double, 7>{1, 2, 3, 0, 0, 0, 0}), {1.5, 2, 3, 0, 0, 0, 0}, 0);
  // Non-finite values propagate with Ok.
  const auto nan = run(zero, std::array<double, 7>{1, 2, 3, NAN, 0, 0, 0});
  EXPECT_TRUE(std::isnan(nan[3]));
  // Fixed output axes are used as stored, so a non-unit one scales the result.
  OskaTfConfig scaled = poseConfig("fixed_frame", "moving_frame");
  scaled.output_expr_axes.rotation = {2, 0, 0, 0};
  OskaTfPose unnormalised(scaled);
  expectNear(run(unnormalised, std::array<double, 7>{1, 0, 0, 1, 0, 0, 0}), {1, 0, 0, 2, 0, 0, 0},
             0);
}

TEST(PoseArithmetic, InputAxesRotateThePositionAsStored) {
  OskaTfConfig config = poseConfig("fixed_frame", "moving_frame");
  config.input_expr_axes.rotation = {0, 0, 0, 2};  // rot gives −7·v for v ⟂ z
  OskaTfPose block(config);
  const auto out = run(block, std::array<double, 7>{1, 0, 0, 1, 0, 0, 0});
  expectNear(out, {-7, 0, 0, 0, 0, 0, 1}, 1e-15);
}

}  // namespace
}  // namespace oska
