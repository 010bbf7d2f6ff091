// Configuration records, toInternal and the JSON configuration file.
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace oska {
namespace {

using test::CerrCapture;
using test::TempFile;

// ------------------------------------------------------------ records -------
TEST(Records, DefaultsAreUnsetWithIdentityRotations) {
  const OskaTfConfigInternal internal = toInternal(OskaTfConfig{});
  EXPECT_TRUE(internal.name.empty());
  EXPECT_EQ(internal.policy, OskaControlBlockPolicy::BestEffort);
  for (const TranslationEntry* e : {&internal.input_ref_point, &internal.output_ref_point}) {
    EXPECT_FALSE(e->is_set);
    EXPECT_FALSE(e->locked);
    EXPECT_EQ(e->translation, (std::array<double, 3>{0, 0, 0}));
  }
  for (const RotationEntry* e : {&internal.input_expr_axes, &internal.output_expr_axes}) {
    EXPECT_FALSE(e->is_set);
    EXPECT_EQ(e->rotation, (std::array<double, 4>{1, 0, 0, 0}));
  }
  EXPECT_EQ(Rotation{}.rotation, (std::array<double, 4>{1, 0, 0, 0}));
}

TEST(Records, ToInternalCopiesGivenEntriesVerbatimAndDropsEmptyOnes) {
  OskaTfConfig config;
  config.name = "n";
  config.policy = static_cast<OskaControlBlockPolicy>(9);
  config.input_ref_point = {"moving_frame", {1.5, -2.0, 3.25}};
  config.input_expr_axes = {"", {0, 0, 0, 1}};            // not given: values dropped
  config.output_ref_point = {"Moving_Frame", {4, 5, 6}};  // any text counts as given
  config.output_expr_axes = {"fixed_frame", {0, 0, 0, 0}};

  const OskaTfConfigInternal internal = toInternal(config);
  EXPECT_EQ(internal.name, "n");
  EXPECT_EQ(static_cast<int>(internal.policy), 9);
  EXPECT_TRUE(internal.input_ref_point.is_set);
  EXPECT_FALSE(internal.input_ref_point.locked);
  EXPECT_EQ(internal.input_ref_point.origin, "moving_frame");
  EXPECT_EQ(internal.input_ref_point.translation, (std::array<double, 3>{1.5, -2.0, 3.25}));
  EXPECT_FALSE(internal.input_expr_axes.is_set);
  EXPECT_EQ(internal.input_expr_axes.rotation, (std::array<double, 4>{1, 0, 0, 0}));
  EXPECT_TRUE(internal.output_ref_point.is_set);
  EXPECT_EQ(internal.output_ref_point.origin, "Moving_Frame");
  EXPECT_TRUE(internal.output_expr_axes.is_set);
  EXPECT_EQ(internal.output_expr_axes.rotation, (std::array<double, 4>{0, 0, 0, 0}));
}

TEST(Records, CopyAndMoveCarryBothFlags) {
  RotationEntry entry;
  entry.is_set = true;
  entry.locked = true;
  entry.origin = "fixed_frame";
  const RotationEntry copy = entry;
  const RotationEntry moved = std::move(entry);
  for (const RotationEntry* e : {&copy, &moved}) {
    EXPECT_TRUE(e->is_set);
    EXPECT_TRUE(e->locked);
    EXPECT_EQ(e->origin, "fixed_frame");
  }
}

// ------------------------------------------------------- JSON sections ------
TEST(JsonSection, ReadsEveryKeyAndLocksEntries) {
  const auto section = nlohmann::json::parse(R"({
    "name": "tool", "policy": "hard_rt", "unknown_key": 1,
    "set_input_reference_point": {"origin": "moving_frame", "translation": [1, 2, 3, 4], "x": 0},
    "set_input_expression_axes": {"origin": "fixed_frame", "rotation": [0, 0, 0, 2]},
    "set_output_reference_point": {"origin": "fixed_frame", "translation": [0.5, 0, -1e3]},
    "set_output_expression_axes": {"origin": "anything", "rotation": [1, 0, 0, 0, 9]}})");
  const OskaTfConfigInternal c = parseTfConfigSection(section);
  EXPECT_EQ(c.name, "tool");
  EXPECT_EQ(c.policy, OskaControlBlockPolicy::HardRt);
  EXPECT_EQ(c.input_ref_point.translation, (std::array<double, 3>{1, 2, 3}));
  EXPECT_EQ(c.input_ref_point.origin, "moving_frame");
  EXPECT_EQ(c.input_expr_axes.rotation, (std::array<double, 4>{0, 0, 0, 2}));  // not normalised
  EXPECT_EQ(c.output_ref_point.translation, (std::array<double, 3>{0.5, 0, -1e3}));
  EXPECT_EQ(c.output_expr_axes.origin, "anything");
  for (bool flag : {c.input_ref_point.is_set, c.input_ref_point.locked, c.input_expr_axes.locked,
                    c.output_ref_point.locked, c.output_expr_axes.locked}) {
    EXPECT_TRUE(flag);
  }
}

TEST(JsonSection, NonObjectSectionAndNameOnlySectionYieldUnsetEntries) {
  for (const char* text : {"[1, 2]", "3", "null", R"({"name": "only", "policy": "soft_rt"})"}) {
    const OskaTfConfigInternal c = parseTfConfigSection(nlohmann::json::parse(text));
    EXPECT_FALSE(c.input_ref_point.is_set || c.input_expr_axes.is_set ||
                 c.output_ref_point.is_set || c.output_expr_axes.is_set)
        << text;
  }
}

TEST(JsonSection, PolicyStringsAreExactWithAWarningOtherwise) {
  const std::pair<const char*, OskaControlBlockPolicy> known[] = {
      {"best_effort", OskaControlBlockPolicy::BestEffort},
      {"soft_rt", OskaControlBlockPolicy::SoftRt},
      {"hard_rt", OskaControlBlockPolicy::HardRt},
      {"strict_rt", OskaControlBlockPolicy::StrictRt}};
  for (const auto& [text, policy] : known) {
    CerrCapture cerr;
    EXPECT_EQ(parseTfConfigSection({{"policy", text}}).policy, policy);
    EXPECT_EQ(cerr.text(), "");
  }
  for (const char* text : {"Soft_RT", " soft_rt", ""}) {
    CerrCapture cerr;
    EXPECT_EQ(parseTfConfigSection({{"policy", text}}).policy, OskaControlBlockPolicy::BestEffort);
    EXPECT_EQ(cerr.text(), std::string("Warning: unknown policy \"") + text +
                               "\" in JSON config; defaulting to best_effort.\n");
  }
}

TEST(JsonSection, ParseExceptionsPassUnwrapped) {
  EXPECT_THROW(parseTfConfigSection({{"name", 3}}), nlohmann::json::type_error);
  EXPECT_THROW(
      parseTfConfigSection(nlohmann::json::parse(
          R"({"set_input_reference_point": {"origin": "fixed_frame", "translation": [1]}})")),
      nlohmann::json::out_of_range);
}

// ---------------------------------------------------------- JSON file -------
TEST(JsonFile, EmptyPathIsAnUnconfiguredRecordTouchingNothing) {
  CerrCapture cerr;
  const OskaTfConfigInternal c = loadTfConfigFromFile("", "tf_wrench_config");
  EXPECT_FALSE(c.input_ref_point.is_set);
  EXPECT_TRUE(c.name.empty());
  EXPECT_EQ(cerr.text(), "");
}

TEST(JsonFile, MissingFileIsNotWrapped) {
  const std::string path = ::testing::TempDir() + "does/not/exist.json";
  try {
    loadTfConfigFromFile(path, "tf_wrench_config");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Could not open config file: " + path);
  }
}

TEST(JsonFile, PathWithAnEmbeddedNulIsRefusedNotShortened) {
  // The part before the NUL names a readable file; it must not be opened.
  const std::string path = std::string(OSKA_SOURCE_DIR) + "/examples/config.json";
  try {
    loadTfConfigFromFile(path + std::string("\0junk", 5), "tf_wrench_config");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Could not open config file: " + path + "\\0junk");
  }
}

TEST(JsonFile, ValidObjectFollowedByOtherTextParses) {
  TempFile file(R"({"tf_pose_config": {"name": "p"}} trailing text, even {[ broken)");
  EXPECT_EQ(loadTfConfigFromFile(file.path(), "tf_pose_config").name, "p");
}

// Every failure of the format arrives as "Failed to parse config file '<path>': "
// followed by the JSON library's own text.
TEST(JsonFile, FormatErrorsAreWrappedWithTheLibraryText) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "[json.exception.parse_error.101]"},
      {"{\"tf_wrench_config\": {} // comment\n}", "[json.exception.parse_error.101]"},
      {"{\"tf_wrench_config\": {\"name\": }}", "[json.exception.parse_error.101]"},
      {"[1, 2, 3]", "cannot use at() with array"},
      {"\"text\"", "cannot use at() with string"},
      {R"({"other": {}})", "key 'tf_wrench_config' not found"},
      {R"({"tf_wrench_config": {"name": 5}})", "type must be string, but is number"},
      {R"({"tf_wrench_config": {"policy": null}})", "type must be string, but is null"},
      {R"({"tf_wrench_config": {"set_input_reference_point": 3}})", "cannot use at() with number"},
      {R"({"tf_wrench_config": {"set_input_reference_point": {"translation": [1,2,3]}}})",
       "key 'origin' not found"},
      {R"({"tf_wrench_config": {"set_input_expression_axes": {"origin": 1, "rotation": [1,0,0,0]}}})",
       "type must be string, but is number"},
      {R"({"tf_wrench_config": {"set_output_reference_point": {"origin": "fixed_frame"}}})",
       "key 'translation' not found"},
      {R"({"tf_wrench_config": {"set_input_reference_point": {"origin": "fixed_frame", "translation": "abc"}}})",
       "cannot use operator[] with a numeric argument with string"},
      {R"({"tf_wrench_config": {"set_output_expression_axes": {"origin": "fixed_frame", "rotation": {"w": 1}}}})",
       "cannot use operator[] with a numeric argument with object"},
      {R"({"tf_wrench_config": {"set_input_reference_point": {"origin": "fixed_frame", "translation": [1, true, 3]}}})",
       "type must be number, but is boolean"},
      {R"({"tf_wrench_config": {"set_input_reference_point": {"origin": "fixed_frame", "translation": [1, "2", 3]}}})",
       "type must be number, but is string"},
      // Short arrays are refused with a checked access, never read past the end.
      {R"({"tf_wrench_config": {"set_input_reference_point": {"origin": "fixed_frame", "translation": [1, 2]}}})",
       "array index 2 is out of range"},
      {R"({"tf_wrench_config": {"set_input_expression_axes": {"origin": "fixed_frame", "rotation": []}}})",
       "array index 0 is out of range"},
  };
  for (const auto& [contents, detail] : cases) {
    TempFile file(contents);
    try {
      loadTfConfigFromFile(file.path(), "tf_wrench_config");
      ADD_FAILURE() << "no exception for " << contents;
    } catch (const std::runtime_error& e) {
      const std::string what = e.what();
      const std::string head = "Failed to parse config file '" + file.path() + "': ";
      EXPECT_EQ(what.rfind(head, 0), 0u) << what;
      EXPECT_NE(what.find(detail), std::string::npos) << what << "\n  expected: " << detail;
    }
  }
}

TEST(JsonFile, KeysAreProcessedInFixedOrderSoAWarningPrecedesALaterError) {
  TempFile file(R"({"tf_imu_config": {
      "set_input_reference_point": {"origin": "fixed_frame", "translation": [1, 2]},
      "policy": "fast"}})");
  CerrCapture cerr;
  EXPECT_THROW(loadTfConfigFromFile(file.path(), "tf_imu_config"), std::runtime_error);
  EXPECT_EQ(cerr.text(),
            "Warning: unknown policy \"fast\" in JSON config; defaulting to best_effort.\n");
}

TEST(JsonFile, ExampleFileLoadsEverySection) {
  const std::string path = std::string(OSKA_SOURCE_DIR) + "/examples/config.json";
  const OskaTfConfigInternal wrench = loadTfConfigFromFile(path, "tf_wrench_config");
  EXPECT_EQ(wrench.name, "tool_wrench");
  EXPECT_EQ(wrench.policy, OskaControlBlockPolicy::SoftRt);
  EXPECT_EQ(wrench.output_expr_axes.rotation, (std::array<double, 4>{0, 0, 0, 1}));
  const OskaTfConfigInternal imu = loadTfConfigFromFile(path, "tf_imu_config");
  EXPECT_EQ(imu.policy, OskaControlBlockPolicy::HardRt);
  EXPECT_EQ(imu.input_ref_point.translation, (std::array<double, 3>{0.01, -0.02, 0}));
  EXPECT_FALSE(imu.output_ref_point.is_set);
  EXPECT_NO_THROW(loadTfConfigFromFile(path, "tf_twist_config"));
  EXPECT_NO_THROW(loadTfConfigFromFile(path, "tf_pose_config"));
  const OskaPayloadConfig payload = loadPayloadConfigFromFile(path);
  EXPECT_EQ(payload.name, "tool_payload");
  EXPECT_EQ(payload.mass, 1.2);
}

}  // namespace
}  // namespace oska
