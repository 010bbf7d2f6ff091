// Behaviour of the core every block kind shares: construction, readiness,
// policies, messages and in-place use, on every kind; and the entries of the
// kinds configured by them: setters and the JSON lock, the moving-frame
// precondition.
#include <string>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace oska {
namespace {

using test::CerrCapture;
using test::TempFile;

/// Policy values (the four, and two outside the enumeration) and the code of
/// a not-ready call under each.
const std::pair<int, OskaControlReturnCode> kPolicyCases[] = {
    {0, OskaControlReturnCode::NotReady}, {1, OskaControlReturnCode::NotReady},
    {2, OskaControlReturnCode::Error},    {3, OskaControlReturnCode::Error},
    {9, OskaControlReturnCode::Error},    {-1, OskaControlReturnCode::Error}};

/// What the tests of every kind use: a sample and an output that no
/// computed result equals.
template <typename Block>
class KindTest : public ::testing::Test {
 protected:
  using Traits = BlockTraits<Block>;
  static constexpr std::size_t N = Traits::kSize;
  using Signal = std::array<double, N>;

  // A sample that every block transforms into something finite and non-trivial.
  // A pose sample when the signal has seven values, else values cycling
  // through six that every kind transforms into something non-trivial.
  static Signal sample() {
    Signal s{};
    if constexpr (N == 7) {
      s = {0.3, -0.2, 1.1, 0.9, 0.1, -0.3, 0.2};
    } else {
      const double values[] = {0.5, -1.25, 2.0, 0.3, 0.7, -0.4};
      for (std::size_t i = 0; i < N; ++i) s[i] = values[i % 6];
    }
    return s;
  }
  static Signal sentinel() {
    Signal s;
    s.fill(-777.0);
    return s;
  }
};

/// The kinds configured by the four entries.
template <typename Block>
class BlockCoreTest : public KindTest<Block> {
 protected:
  using Traits = BlockTraits<Block>;

  static std::string message(const std::string& text) {
    return std::string(Traits::kName) + ": " + text + "\n";
  }
  static std::string notReadyMessage() {
    return message("update() called before all TF entries are set.");
  }
  static std::string lockedMessage(const char* entry) {
    return message(std::string(entry) + " was loaded from JSON and cannot be overridden from code.");
  }

  static void setAll(Block& block, const std::string& origin = "fixed_frame") {
    EXPECT_TRUE(block.setInputReferencePoint(origin, {0.1, 0.2, 0.3}));
    EXPECT_TRUE(block.setInputExpressionAxes("fixed_frame", {0.9, 0.1, 0.2, 0.3}));
    EXPECT_TRUE(block.setOutputReferencePoint(origin, {-0.4, 0.5, 0.0}));
    EXPECT_TRUE(block.setOutputExpressionAxes(origin, {0.8, -0.3, 0.1, 0.4}));
  }

  static std::string fullSection(const std::string& input_axes_origin = "fixed_frame") {
    return std::string(R"({")") + Traits::kSection + R"(": {
      "name": "from_file",
      "set_input_reference_point":  {"origin": "fixed_frame", "translation": [0.1, 0.2, 0.3]},
      "set_input_expression_axes":  {"origin": ")" +
           input_axes_origin + R"(", "rotation": [0.9, 0.1, 0.2, 0.3]},
      "set_output_reference_point": {"origin": "fixed_frame", "translation": [-0.4, 0.5, 0.0]},
      "set_output_expression_axes": {"origin": "fixed_frame", "rotation": [0.8, -0.3, 0.1, 0.4]}}})";
  }
};

TYPED_TEST_SUITE(BlockCoreTest, test::EntryBlockTypes);

TYPED_TEST(BlockCoreTest, UnsetEntriesReportNotReadyEveryCallAndLeaveOutputUntouched) {
  TypeParam block(OskaTfConfig{});
  EXPECT_EQ(block.name(), "");
  const auto in = this->sample();
  auto out = this->sentinel();
  {
    CerrCapture cerr;
    EXPECT_EQ(block.update(in, out), OskaControlReturnCode::NotReady);
    EXPECT_EQ(block.update(in, out), OskaControlReturnCode::NotReady);
    EXPECT_EQ(cerr.text(), this->notReadyMessage() + this->notReadyMessage());
  }
  EXPECT_EQ(out, this->sentinel());

  // Three of four entries are still not enough; the fourth makes it ready.
  block.setInputReferencePoint("fixed_frame", {0, 0, 0});
  block.setInputExpressionAxes("fixed_frame", {1, 0, 0, 0});
  block.setOutputReferencePoint("fixed_frame", {0, 0, 0});
  {
    CerrCapture cerr;
    EXPECT_EQ(block.update(in, out), OskaControlReturnCode::NotReady);
    EXPECT_EQ(cerr.text(), this->notReadyMessage());
  }
  EXPECT_TRUE(block.setOutputExpressionAxes("fixed_frame", {1, 0, 0, 0}));
  CerrCapture cerr;
  EXPECT_EQ(block.update(in, out), OskaControlReturnCode::Ok);
  EXPECT_EQ(cerr.text(), "");
  EXPECT_NE(out, this->sentinel());
}

TYPED_TEST(BlockCoreTest, PolicyDecidesTheNotReadyCodeButNeverTheSuccess) {
  for (const auto& [policy, expected] : kPolicyCases) {
    OskaTfConfig config;
    config.policy = static_cast<OskaControlBlockPolicy>(policy);
    TypeParam block(config);
    auto out = this->sentinel();
    {
      CerrCapture cerr;
      EXPECT_EQ(block.update(this->sample(), out), expected) << "policy " << policy;
    }
    EXPECT_EQ(out, this->sentinel());
    this->setAll(block);
    EXPECT_EQ(block.update(this->sample(), out), OskaControlReturnCode::Ok) << "policy " << policy;
  }
}

TYPED_TEST(BlockCoreTest, EntriesFromJsonAreLockedWithOneMessagePerRefusal) {
  TempFile file(this->fullSection());
  TypeParam from_file(file.path());
  TypeParam from_code(OskaTfConfig{});
  this->setAll(from_code);
  EXPECT_EQ(from_file.name(), "from_file");

  CerrCapture cerr;
  EXPECT_FALSE(from_file.setInputReferencePoint("fixed_frame", {9, 9, 9}));
  EXPECT_FALSE(from_file.setInputExpressionAxes("fixed_frame", {0, 1, 0, 0}));
  EXPECT_FALSE(from_file.setOutputReferencePoint("fixed_frame", {9, 9, 9}));
  EXPECT_FALSE(from_file.setOutputExpressionAxes("fixed_frame", {0, 1, 0, 0}));
  EXPECT_EQ(cerr.text(), this->lockedMessage("InputReferencePoint") +
                             this->lockedMessage("InputExpressionAxes") +
                             this->lockedMessage("OutputReferencePoint") +
                             this->lockedMessage("OutputExpressionAxes"));

  // The refused calls changed nothing: the block computes with the file's values.
  auto out_file = this->sentinel();
  auto out_code = this->sentinel();
  EXPECT_EQ(from_file.update(this->sample(), out_file), OskaControlReturnCode::Ok);
  EXPECT_EQ(from_code.update(this->sample(), out_code), OskaControlReturnCode::Ok);
  EXPECT_EQ(out_file, out_code);
}

TYPED_TEST(BlockCoreTest, PartialFileLeavesTheRestToCode) {
  TempFile file(std::string(R"({")") + BlockTraits<TypeParam>::kSection + R"(": {"name": "partial",
      "set_input_reference_point": {"origin": "fixed_frame", "translation": [0.1, 0.2, 0.3]}}})");
  TypeParam block(file.path());
  auto out = this->sentinel();
  {
    CerrCapture cerr;
    EXPECT_EQ(block.update(this->sample(), out), OskaControlReturnCode::NotReady);
    EXPECT_FALSE(block.setInputReferencePoint("fixed_frame", {0, 0, 0}));
  }
  EXPECT_TRUE(block.setInputExpressionAxes("fixed_frame", {1, 0, 0, 0}));
  EXPECT_TRUE(block.setOutputReferencePoint("fixed_frame", {0, 0, 0}));
  EXPECT_TRUE(block.setOutputExpressionAxes("fixed_frame", {1, 0, 0, 0}));
  EXPECT_EQ(block.update(this->sample(), out), OskaControlReturnCode::Ok);
}

TYPED_TEST(BlockCoreTest, LaterCodeConfigurationChangesDoNotReachTheBlock) {
  OskaTfConfig config = test::fixedIdentityConfig();
  config.name = "first";
  TypeParam block(config);
  config.name = "second";
  config.input_ref_point.translation = {5, 5, 5};
  EXPECT_EQ(block.name(), "first");
  TypeParam reference(test::fixedIdentityConfig());
  auto a = this->sentinel();
  auto b = this->sentinel();
  block.update(this->sample(), a);
  reference.update(this->sample(), b);
  EXPECT_EQ(a, b);
}

TYPED_TEST(BlockCoreTest, OriginsOtherThanExactlyMovingFrameMeanTheFixedFrame) {
  TypeParam reference(OskaTfConfig{});
  this->setAll(reference, "fixed_frame");
  auto expected = this->sentinel();
  ASSERT_EQ(reference.update(this->sample(), expected), OskaControlReturnCode::Ok);
  for (const char* origin : {"Moving_frame", "moving_frame ", "MOVING_FRAME", "", "fixed"}) {
    TypeParam block(OskaTfConfig{});
    this->setAll(block, origin);
    auto out = this->sentinel();
    CerrCapture cerr;  // no transform is needed, and none is applied
    EXPECT_EQ(block.update(this->sample(), out), OskaControlReturnCode::Ok) << origin;
    EXPECT_EQ(out, expected) << origin;
    EXPECT_EQ(cerr.text(), "");
  }
}

TYPED_TEST(BlockCoreTest, LatestSetterCallWins) {
  TypeParam twice(OskaTfConfig{});
  this->setAll(twice, "moving_frame");
  this->setAll(twice, "fixed_frame");  // moving back to fixed needs no transform
  TypeParam once(OskaTfConfig{});
  this->setAll(once, "fixed_frame");
  auto a = this->sentinel();
  auto b = this->sentinel();
  EXPECT_EQ(twice.update(this->sample(), a), OskaControlReturnCode::Ok);
  EXPECT_EQ(once.update(this->sample(), b), OskaControlReturnCode::Ok);
  EXPECT_EQ(a, b);
}

TYPED_TEST(BlockCoreTest, ASetterBetweenUpdatesTakesEffectOnTheNextOne) {
  // Each entry in turn gets new values, and then a new origin too, after the
  // block has already run; it must then match a block set up that way.
  // (The pose block's input axes stay on the fixed frame, where they must be.)
  for (const char* origin : {"fixed_frame", "moving_frame"}) {
    for (int entry = 0; entry < 4; ++entry) {
      TypeParam changed(OskaTfConfig{});
      this->setAll(changed, "fixed_frame");
      auto out = this->sentinel();
      ASSERT_EQ(changed.update(this->sample(), out), OskaControlReturnCode::Ok);

      TypeParam fresh(OskaTfConfig{});
      this->setAll(fresh, "fixed_frame");
      for (TypeParam* block : {&changed, &fresh}) {
        if constexpr (TestFixture::Traits::kHasTransform) {
          block->setFixedToMovingFrameTf({0.2, -0.1, 0.4, 0.8, 0.2, -0.4, 0.4});
        }
        if (entry == 0) block->setInputReferencePoint(origin, {-1.0, 0.5, 2.0});
        if (entry == 1) block->setInputExpressionAxes("fixed_frame", {0.1, 0.7, -0.2, 0.6});
        if (entry == 2) block->setOutputReferencePoint(origin, {0.3, -2.0, 1.5});
        if (entry == 3) block->setOutputExpressionAxes(origin, {0.5, 0.5, -0.5, 0.5});
      }
      auto expected = this->sentinel();
      ASSERT_EQ(fresh.update(this->sample(), expected), OskaControlReturnCode::Ok);
      ASSERT_EQ(changed.update(this->sample(), out), OskaControlReturnCode::Ok);
      EXPECT_EQ(out, expected) << origin << ", entry " << entry;
    }
  }
}

// --------------------------------------------------------------- every kind --
template <typename Block>
class EveryKind : public KindTest<Block> {
 protected:
  using Make = test::Make<Block>;
};
TYPED_TEST_SUITE(EveryKind, test::AllBlockTypes);

TYPED_TEST(EveryKind, ConstructorsPassConfigurationErrorsAndAcceptAnEmptyPath) {
  const std::string missing = ::testing::TempDir() + "no_such_config.json";
  try {
    TypeParam block(missing);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Could not open config file: " + missing);
  }
  TempFile other_section(R"({"some_other_config": {}})");
  EXPECT_THROW(TypeParam{other_section.path()}, std::runtime_error);

  TypeParam unconfigured{std::string()};
  EXPECT_EQ(unconfigured.name(), "");
  EXPECT_FALSE(unconfigured.isReady());
  auto out = this->sentinel();
  CerrCapture cerr;
  EXPECT_EQ(unconfigured.update(this->sample(), out), OskaControlReturnCode::NotReady);
  EXPECT_EQ(cerr.text(), TestFixture::Make::unconfiguredLine() + "\n");
  EXPECT_EQ(out, this->sentinel());
}

// A block configured with a policy, but not ready for its kind's own reason,
// fails with the policy's code, one line each call and its output untouched;
// ready, it succeeds under every policy.
TYPED_TEST(EveryKind, PolicyDecidesTheNotReadyCodeButNeverTheSuccess) {
  for (const auto& [value, expected] : kPolicyCases) {
    const auto policy = static_cast<OskaControlBlockPolicy>(value);
    auto blocked = TestFixture::Make::blocked(policy);
    EXPECT_FALSE(blocked->isReady());
    auto out = this->sentinel();
    {
      CerrCapture cerr;
      EXPECT_EQ(blocked->update(this->sample(), out), expected) << "policy " << value;
      EXPECT_EQ(blocked->update(this->sample(), out), expected) << "policy " << value;
      const std::string line = TestFixture::Make::blockedLine() + "\n";
      EXPECT_EQ(cerr.text(), line + line);
    }
    EXPECT_EQ(out, this->sentinel());
    auto ready = TestFixture::Make::ready(policy);
    EXPECT_TRUE(ready->isReady());
    CerrCapture cerr;
    EXPECT_EQ(ready->update(this->sample(), out), OskaControlReturnCode::Ok) << "policy " << value;
    EXPECT_EQ(cerr.text(), "");
    EXPECT_NE(out, this->sentinel());
  }
}

TYPED_TEST(EveryKind, SameArrayAsInputAndOutputGivesTheSameResult) {
  auto block = TestFixture::Make::ready();
  auto separate = this->sentinel();
  ASSERT_EQ(block->update(this->sample(), separate), OskaControlReturnCode::Ok);
  auto in_place = this->sample();
  ASSERT_EQ(block->update(in_place, in_place), OskaControlReturnCode::Ok);
  EXPECT_EQ(in_place, separate);
}

// ------------------------------------------- the moving-frame precondition --
template <typename Block>
class TransformBlockCoreTest : public BlockCoreTest<Block> {};
TYPED_TEST_SUITE(TransformBlockCoreTest, test::TransformEntryBlockTypes);

TYPED_TEST(TransformBlockCoreTest, MovingEntryNeedsOneTransformEverAfterwardsNoMore) {
  for (int entry = 0; entry < 4; ++entry) {
    TypeParam block(OskaTfConfig{});
    this->setAll(block, "fixed_frame");
    if (entry == 0) block.setInputReferencePoint("moving_frame", {0, 0, 0});
    if (entry == 1) block.setInputExpressionAxes("moving_frame", {1, 0, 0, 0});
    if (entry == 2) block.setOutputReferencePoint("moving_frame", {0, 0, 0});
    if (entry == 3) block.setOutputExpressionAxes("moving_frame", {1, 0, 0, 0});
    auto out = this->sentinel();
    {
      CerrCapture cerr;
      EXPECT_EQ(block.update(this->sample(), out), OskaControlReturnCode::NotReady);
      EXPECT_EQ(cerr.text(), this->message("a TF entry uses \"moving_frame\" but "
                                           "setFixedToMovingFrameTf() has not been called."));
    }
    EXPECT_EQ(out, this->sentinel());
    block.setFixedToMovingFrameTf({1, 2, 3, 1, 0, 0, 0});
    for (int cycle = 0; cycle < 3; ++cycle) {
      EXPECT_EQ(block.update(this->sample(), out), OskaControlReturnCode::Ok);
    }
  }
}

TYPED_TEST(TransformBlockCoreTest, UnsetEntryIsReportedBeforeAMissingTransform) {
  OskaTfConfig config = test::fixedIdentityConfig();
  config.input_ref_point.origin = "moving_frame";
  config.output_expr_axes.origin = "";
  TypeParam block(config);
  auto out = this->sentinel();
  CerrCapture cerr;
  EXPECT_EQ(block.update(this->sample(), out), OskaControlReturnCode::NotReady);
  EXPECT_EQ(cerr.text(), this->notReadyMessage());
}

// ------------------------------------------------ the pose block's own check --
class PoseCoreTest : public BlockCoreTest<OskaTfPose> {
 protected:
  static std::string circularMessage() {
    return message(
        "input expression axes cannot use 'moving_frame' \u2014 this creates a circular "
        "dependency with the input quaternion.");
  }
};

TEST_F(PoseCoreTest, MovingInputAxesAreAcceptedBySetterAndRefusedByUpdate) {
  for (auto [policy, code] :
       {std::pair{OskaControlBlockPolicy::BestEffort, OskaControlReturnCode::NotReady},
        std::pair{OskaControlBlockPolicy::HardRt, OskaControlReturnCode::Error}}) {
    OskaTfConfig config = test::fixedIdentityConfig();
    config.policy = policy;
    OskaTfPose block(config);
    EXPECT_TRUE(block.setInputExpressionAxes("moving_frame", {1, 0, 0, 0}));
    auto out = sentinel();
    {
      CerrCapture cerr;
      EXPECT_EQ(block.update(sample(), out), code);
      EXPECT_EQ(block.update(sample(), out), code);
      EXPECT_EQ(cerr.text(), circularMessage() + circularMessage());
    }
    EXPECT_EQ(out, sentinel());
    EXPECT_TRUE(block.setInputExpressionAxes("fixed_frame", {1, 0, 0, 0}));
    EXPECT_EQ(block.update(sample(), out), OskaControlReturnCode::Ok);
  }
}

TEST_F(PoseCoreTest, LockedMovingInputAxesStayRejected) {
  TempFile file(fullSection("moving_frame"));
  OskaTfPose block(file.path());
  CerrCapture cerr;
  EXPECT_FALSE(block.setInputExpressionAxes("fixed_frame", {1, 0, 0, 0}));
  auto out = sentinel();
  EXPECT_EQ(block.update(sample(), out), OskaControlReturnCode::NotReady);
  EXPECT_EQ(cerr.text(), lockedMessage("InputExpressionAxes") + circularMessage());
}

TEST_F(PoseCoreTest, OtherMovingEntriesNeedNoTransform) {
  OskaTfConfig config = test::fixedIdentityConfig();
  config.input_ref_point.origin = "moving_frame";
  config.output_ref_point.origin = "moving_frame";
  config.output_expr_axes.origin = "moving_frame";
  OskaTfPose block(config);
  auto out = sentinel();
  CerrCapture cerr;
  EXPECT_EQ(block.update(sample(), out), OskaControlReturnCode::Ok);
  EXPECT_EQ(cerr.text(), "");
}

TEST_F(PoseCoreTest, UnsetEntryIsReportedBeforeTheAxesCheck) {
  OskaTfConfig config;
  config.input_expr_axes.origin = "moving_frame";
  OskaTfPose block(config);
  auto out = sentinel();
  CerrCapture cerr;
  EXPECT_EQ(block.update(sample(), out), OskaControlReturnCode::NotReady);
  EXPECT_EQ(cerr.text(), notReadyMessage());
}

}  // namespace
}  // namespace oska
