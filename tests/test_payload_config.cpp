// The payload block's configuration: the JSON section, its defaults, and the
// values it refuses, each with a message naming the key.
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "oska/payload_config.hpp"
#include "test_support.hpp"

namespace oska {
namespace {

using test::CerrCapture;
using test::TempFile;

constexpr const char* kRequired =
    R"("mass": 1.25, "center_of_mass": [0.01, -0.02, 0.08], "force_bias": [0.5, -0.3, 1],
       "torque_bias": [0.02, 0.01, -0.03])";

std::string file(const std::string& section_body) {
  return R"({"tf_wrench_config": {}, "tf_payload_config": {)" + section_body + "}}";
}

// What loading a file with this section body throws, or "" when it loads.
std::string loadError(const std::string& section_body) {
  TempFile f(file(section_body));
  try {
    loadPayloadConfigFromFile(f.path());
  } catch (const std::exception& e) {
    const std::string prefix = "Failed to parse config file '" + f.path() + "': ";
    const std::string what = e.what();
    EXPECT_EQ(what.rfind(prefix, 0), 0u) << what;
    return what.substr(prefix.size());
  }
  return "";
}

TEST(PayloadConfig, ReadsEveryKeyAndDefaultsTheOptionalOnes) {
  TempFile f(file(std::string(kRequired) + R"(, "name": "gripper", "policy": "hard_rt")"));
  const OskaPayloadConfig c = loadPayloadConfigFromFile(f.path());
  EXPECT_EQ(c.name, "gripper");
  EXPECT_EQ(c.policy, OskaControlBlockPolicy::HardRt);
  EXPECT_EQ(c.mass, 1.25);
  EXPECT_EQ(c.center_of_mass, (std::array<double, 3>{0.01, -0.02, 0.08}));
  EXPECT_EQ(c.force_bias, (std::array<double, 3>{0.5, -0.3, 1.0}));
  EXPECT_EQ(c.torque_bias, (std::array<double, 3>{0.02, 0.01, -0.03}));
  EXPECT_EQ(c.gravity, (std::array<double, 3>{0.0, 0.0, -9.80665}));
  EXPECT_EQ(c.sensor_axes, (std::array<double, 4>{1.0, 0.0, 0.0, 0.0}));

  TempFile g(file(std::string(kRequired) +
                  R"(, "gravity": [0, -9.81, 0], "sensor_axes": [0, 0, 0, 2], "extra": 1)"));
  const OskaPayloadConfig d = loadPayloadConfigFromFile(g.path());
  EXPECT_EQ(d.gravity, (std::array<double, 3>{0.0, -9.81, 0.0}));
  EXPECT_EQ(d.sensor_axes, (std::array<double, 4>{0.0, 0.0, 0.0, 2.0}));  // not normalised
  EXPECT_TRUE(d.name.empty());
  EXPECT_EQ(d.policy, OskaControlBlockPolicy::BestEffort);
}

TEST(PayloadConfig, AnUnknownPolicyWarnsAndFallsBackLikeTheOtherSections) {
  CerrCapture cerr;
  TempFile f(file(std::string(kRequired) + R"(, "policy": "fast")"));
  EXPECT_EQ(loadPayloadConfigFromFile(f.path()).policy, OskaControlBlockPolicy::BestEffort);
  EXPECT_EQ(cerr.text(),
            "Warning: unknown policy \"fast\" in JSON config; defaulting to best_effort.\n");
}

TEST(PayloadConfig, MissingRequiredKeysAreNamed) {
  for (const char* key : {"mass", "center_of_mass", "force_bias", "torque_bias"}) {
    std::string body = kRequired;
    body.replace(body.find(std::string("\"") + key + "\""), 1, "\"x_");  // "x_mass" ...
    EXPECT_EQ(loadError(body), std::string("tf_payload_config.") + key +
                                   " is missing; mass, center_of_mass, force_bias and "
                                   "torque_bias are required");
  }
}

TEST(PayloadConfig, BadValuesAreRefusedNamingTheKey) {
  const std::string base = kRequired;
  const struct {
    const char* extra;  // appended: of duplicate keys the reader keeps the last
    const char* message;
  } cases[] = {
      {R"(, "mass": -0.5)", "tf_payload_config.mass must be a finite number of at least 0 (kg), not -0.5"},
      {R"(, "mass": "1")", "tf_payload_config.mass must be a number (kg), not \"1\""},
      {R"(, "center_of_mass": [1, 2])", "tf_payload_config.center_of_mass must be an array of 3 numbers, not [1,2]"},
      {R"(, "force_bias": [1, 2, 3, 4])", "tf_payload_config.force_bias must be an array of 3 numbers, not [1,2,3,4]"},
      {R"(, "torque_bias": [1, "2", 3])", "tf_payload_config.torque_bias must be an array of 3 numbers, not [1,\"2\",3]"},
      {R"(, "gravity": [0, 0, 0])", "tf_payload_config.gravity must not be zero: it gives the direction the payload weighs in"},
      {R"(, "gravity": 9.81)", "tf_payload_config.gravity must be an array of 3 numbers, not 9.81"},
      {R"(, "sensor_axes": [0, 0, 0, 0])", "tf_payload_config.sensor_axes must be a finite, non-zero quaternion [w, x, y, z], not [0, 0, 0, 0]"},
      {R"(, "sensor_axes": [1, 0, 0])", "tf_payload_config.sensor_axes must be an array of 4 numbers, not [1,0,0]"},
  };
  for (const auto& c : cases) EXPECT_EQ(loadError(base + c.extra), c.message) << c.extra;
}

TEST(PayloadConfig, FileErrorsReadAsForTheOtherSections) {
  EXPECT_THROW(
      {
        try {
          loadPayloadConfigFromFile("/nonexistent/oska.json");
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "Could not open config file: /nonexistent/oska.json");
          throw;
        }
      },
      std::runtime_error);
  TempFile no_section(R"({"tf_wrench_config": {}})");
  try {
    loadPayloadConfigFromFile(no_section.path());
    ADD_FAILURE() << "a file without the section loaded";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("tf_payload_config"), std::string::npos) << e.what();
  }
}

TEST(PayloadConfig, RecordsFromCodeAreCheckedAlike) {
  OskaPayloadConfig c;
  EXPECT_NO_THROW(validatePayloadConfig(c));  // the defaults: no payload, no bias
  c.mass = std::numeric_limits<double>::quiet_NaN();
  try {
    validatePayloadConfig(c);
    ADD_FAILURE() << "a NaN mass passed";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "OskaPayloadConfig.mass must be a finite number of at least 0 (kg), not nan");
  }
  c.mass = 1.0;
  c.torque_bias[1] = std::numeric_limits<double>::infinity();
  EXPECT_THROW(validatePayloadConfig(c), std::invalid_argument);
  c.torque_bias[1] = 0.0;
  c.sensor_axes = {0.0, 0.0, std::nan(""), 1.0};
  EXPECT_THROW(validatePayloadConfig(c), std::invalid_argument);
}

}  // namespace
}  // namespace oska
