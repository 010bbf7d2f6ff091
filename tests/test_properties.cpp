// Properties over seeded random samples: every block against the scalar
// formulas written out in test_support.hpp, and physical checks that catch a
// wrong sign or a swapped lever arm that a single example might miss.
#include <gtest/gtest.h>

#include "test_support.hpp"

namespace oska {
namespace {

using namespace test;  // NOLINT: the scalar reference formulas

bool moving(const std::string& origin) { return origin == "moving_frame"; }

struct Resolved {
  V3 p_in, p_out;
  Q4 q_in, q_out;
};

Resolved resolve(const RandomCase& c) {
  const V3 t{c.tf[0], c.tf[1], c.tf[2]};
  const Q4 q{c.tf[3], c.tf[4], c.tf[5], c.tf[6]};
  auto point = [&](const Translation& e) {
    return moving(e.origin) ? add(rot(q, e.translation), t) : e.translation;
  };
  auto axes = [&](const Rotation& e) { return moving(e.origin) ? mul(q, e.rotation) : e.rotation; };
  return {point(c.config.input_ref_point), point(c.config.output_ref_point),
          axes(c.config.input_expr_axes), axes(c.config.output_expr_axes)};
}

std::array<double, 6> join(const V3& a, const V3& b) { return {a[0], a[1], a[2], b[0], b[1], b[2]}; }
V3 head(const std::array<double, 6>& s) { return {s[0], s[1], s[2]}; }
V3 tail(const std::array<double, 6>& s) { return {s[3], s[4], s[5]}; }

template <typename Block, std::size_t N>
std::array<double, N> apply(const RandomCase& c, const std::array<double, N>& in) {
  Block block(c.config);
  if constexpr (BlockTraits<Block>::kHasTransform) block.setFixedToMovingFrameTf(c.tf);
  std::array<double, N> out{};
  EXPECT_EQ(block.update(in, out), OskaControlReturnCode::Ok);
  return out;
}

constexpr int kCases = 500;

TEST(Properties, SixDofBlocksMatchTheScalarFormulasForAnyQuaternion) {
  Random rng;
  for (int i = 0; i < kCases; ++i) {
    const RandomCase c = randomCase(rng, /*unit=*/false);
    const Resolved r = resolve(c);
    const V3 a = rng.vec(), b = rng.vec();
    const auto in = join(a, b);
    const Q4 qo = conj(r.q_out);

    const V3 f = rot(r.q_in, a);
    const V3 m = add(rot(r.q_in, b), cross(sub(r.p_in, r.p_out), f));
    expectClose(apply<OskaTfWrench>(c, in), join(rot(qo, f), rot(qo, m)));

    const V3 w = rot(r.q_in, b);
    const V3 v = add(rot(r.q_in, a), cross(w, sub(r.p_out, r.p_in)));
    expectClose(apply<OskaTfTwist>(c, in), join(rot(qo, v), rot(qo, w)));

    const V3 acc = add(rot(r.q_in, a), cross(w, cross(w, sub(r.p_out, r.p_in))));
    expectClose(apply<OskaTfImu>(c, in), join(rot(qo, acc), rot(qo, w)));
    if (HasFailure()) FAIL() << "case " << i;
  }
}

TEST(Properties, PoseBlockMatchesTheScalarFormulas) {
  Random rng;
  for (int i = 0; i < kCases; ++i) {
    RandomCase c = randomCase(rng, /*unit=*/false);
    c.config.input_expr_axes.origin = "fixed_frame";
    const V3 p = rng.vec();
    const Q4 q = rng.quat();
    const auto& e = c.config;
    const V3 p_f = rot(e.input_expr_axes.rotation, p);
    const Q4 q_f = normalise(mul(e.input_expr_axes.rotation, q));
    const V3 r_in = moving(e.input_ref_point.origin) ? rot(q_f, e.input_ref_point.translation)
                                                     : e.input_ref_point.translation;
    const V3 p_out = moving(e.output_ref_point.origin)
                         ? add(sub(p_f, r_in), rot(q_f, e.output_ref_point.translation))
                         : e.output_ref_point.translation;
    const Q4 q_oa = moving(e.output_expr_axes.origin) ? normalise(mul(q_f, e.output_expr_axes.rotation))
                                                      : e.output_expr_axes.rotation;
    const V3 pos = rot(conj(q_oa), p_out);
    const Q4 ori = mul(conj(q_oa), q_f);
    expectClose(apply<OskaTfPose>(c, std::array<double, 7>{p[0], p[1], p[2], q[0], q[1], q[2], q[3]}),
               {pos[0], pos[1], pos[2], ori[0], ori[1], ori[2], ori[3]});
    if (HasFailure()) FAIL() << "case " << i;
  }
}

// The power f·v + m·ω of a wrench acting on a twist does not depend on the
// point or the axes both are expressed at, so wrench and twist blocks with the
// same entries must preserve it. A sign error or a swapped lever arm in either
// block breaks this.
TEST(Properties, WrenchAndTwistPreservePower) {
  Random rng;
  for (int i = 0; i < kCases; ++i) {
    const RandomCase c = randomCase(rng, /*unit=*/true);
    const auto wrench_in = join(rng.vec(), rng.vec());
    const auto twist_in = join(rng.vec(), rng.vec());
    const auto wrench_out = apply<OskaTfWrench>(c, wrench_in);
    const auto twist_out = apply<OskaTfTwist>(c, twist_in);
    const double before = dot(head(wrench_in), head(twist_in)) + dot(tail(wrench_in), tail(twist_in));
    const double after =
        dot(head(wrench_out), head(twist_out)) + dot(tail(wrench_out), tail(twist_out));
    EXPECT_NEAR(before, after, 1e-11) << "case " << i;
  }
}

// A body spinning at a constant rate ω about an axis through c: every point x
// has acceleration ω × (ω × (x − c)) and the same angular rate. Measuring at
// one point along some axes and converting to another must give the value at
// that point along the output axes.
TEST(Properties, ImuAgreesWithARigidBodySpinningAboutAFixedAxis) {
  Random rng;
  for (int i = 0; i < kCases; ++i) {
    const RandomCase c = randomCase(rng, /*unit=*/true);
    const Resolved r = resolve(c);
    const V3 omega = rng.vec();
    const V3 axis_point = rng.vec();
    auto acceleration_at = [&](const V3& x) { return cross(omega, cross(omega, sub(x, axis_point))); };

    const auto in = join(rot(conj(r.q_in), acceleration_at(r.p_in)), rot(conj(r.q_in), omega));
    const auto expected =
        join(rot(conj(r.q_out), acceleration_at(r.p_out)), rot(conj(r.q_out), omega));
    expectNear(apply<OskaTfImu>(c, in), expected, 1e-11);
    if (HasFailure()) FAIL() << "case " << i;
  }
}

// Carrying a pose from point A to point B of the body and back returns it.
TEST(Properties, PoseCarriedToAnotherPointAndBackReturns) {
  Random rng;
  for (int i = 0; i < kCases; ++i) {
    const V3 a = rng.vec(), b = rng.vec();
    const Q4 axes = rng.unitQuat();
    auto block = [&](const V3& from, const V3& to) {
      OskaTfConfig config;
      config.input_ref_point = {"moving_frame", from};
      config.input_expr_axes = {"fixed_frame", axes};
      config.output_ref_point = {"moving_frame", to};
      config.output_expr_axes = {"fixed_frame", axes};
      return config;
    };
    const Q4 q = rng.unitQuat();
    const V3 p = rng.vec();
    const std::array<double, 7> start{p[0], p[1], p[2], q[0], q[1], q[2], q[3]};
    OskaTfPose there(block(a, b)), back(block(b, a));
    std::array<double, 7> mid{}, end{};
    ASSERT_EQ(there.update(start, mid), OskaControlReturnCode::Ok);
    ASSERT_EQ(back.update(mid, end), OskaControlReturnCode::Ok);
    expectNear(end, start, 1e-12);
    if (HasFailure()) FAIL() << "case " << i;
  }
}

}  // namespace
}  // namespace oska
