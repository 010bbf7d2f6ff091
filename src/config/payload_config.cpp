// The payload block's configuration: its checks, and its JSON section.
//
// Unlike the frame entries of the other sections, every value here is
// checked when it is read, and arrays must have exactly their length: a
// payload with a wrong mass or a truncated bias would quietly falsify every
// wrench the block puts out.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <sstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "config_file.hpp"
#include "oska/payload_config.hpp"

namespace oska {
namespace {

using nlohmann::json;

constexpr const char* kSection = "tf_payload_config";

std::string shown(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

template <std::size_t N>
std::string shown(const std::array<double, N>& values) {
  std::string text = "[";
  for (std::size_t i = 0; i < N; ++i) text += (i > 0 ? ", " : "") + shown(values[i]);
  return text + "]";
}

template <std::size_t N>
bool allFinite(const std::array<double, N>& values) {
  for (double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

template <std::size_t N>
bool allZero(const std::array<double, N>& values) {
  for (double v : values) {
    if (v != 0.0) return false;
  }
  return true;
}

[[noreturn]] void refuse(const std::string& field, const std::string& why) {
  throw std::invalid_argument(field + " " + why);
}

// The array at `key`: exactly N numbers.
template <std::size_t N>
void readArray(const json& section, const char* key, std::array<double, N>& out) {
  const json& value = section.at(key);
  const bool numbers =
      value.is_array() && value.size() == N &&
      std::all_of(value.begin(), value.end(), [](const json& v) { return v.is_number(); });
  if (!numbers) {
    refuse(std::string(kSection) + "." + key,
           "must be an array of " + std::to_string(N) + " numbers, not " + value.dump());
  }
  for (std::size_t i = 0; i < N; ++i) out[i] = value[i].get<double>();
}

}  // namespace

void validatePayloadConfig(const OskaPayloadConfig& config, const std::string& prefix) {
  if (!std::isfinite(config.mass) || config.mass < 0.0) {
    refuse(prefix + "mass", "must be a finite number of at least 0 (kg), not " + shown(config.mass));
  }
  const struct {
    const char* name;
    const std::array<double, 3>& values;
  } vectors[] = {{"center_of_mass", config.center_of_mass},
                 {"force_bias", config.force_bias},
                 {"torque_bias", config.torque_bias},
                 {"gravity", config.gravity}};
  for (const auto& vector : vectors) {
    if (!allFinite(vector.values)) {
      refuse(prefix + vector.name, "must hold finite numbers, not " + shown(vector.values));
    }
  }
  if (allZero(config.gravity)) {
    refuse(prefix + "gravity", "must not be zero: it gives the direction the payload weighs in");
  }
  if (!allFinite(config.sensor_axes) || allZero(config.sensor_axes)) {
    refuse(prefix + "sensor_axes",
           "must be a finite, non-zero quaternion [w, x, y, z], not " + shown(config.sensor_axes));
  }
}

OskaPayloadConfig parsePayloadConfigSection(const json& section) {
  if (!section.is_object()) {
    throw std::invalid_argument(std::string(kSection) + " must be an object, not " +
                                section.type_name());
  }
  for (const char* key : {"mass", "center_of_mass", "force_bias", "torque_bias"}) {
    if (!section.contains(key)) {
      throw std::invalid_argument(std::string(kSection) + "." + key +
                                  " is missing; mass, center_of_mass, force_bias and "
                                  "torque_bias are required");
    }
  }
  OskaPayloadConfig config;
  if (section.contains("name")) config.name = section.at("name").get<std::string>();
  if (section.contains("policy")) {
    config.policy = detail::policyFromString(section.at("policy").get<std::string>());
  }
  const json& mass = section.at("mass");
  if (!mass.is_number()) {
    refuse(std::string(kSection) + ".mass", "must be a number (kg), not " + mass.dump());
  }
  config.mass = mass.get<double>();
  readArray(section, "center_of_mass", config.center_of_mass);
  readArray(section, "force_bias", config.force_bias);
  readArray(section, "torque_bias", config.torque_bias);
  if (section.contains("gravity")) readArray(section, "gravity", config.gravity);
  if (section.contains("sensor_axes")) readArray(section, "sensor_axes", config.sensor_axes);
  validatePayloadConfig(config, std::string(kSection) + ".");
  return config;
}

OskaPayloadConfig loadPayloadConfigFromFile(const std::string& path) {
  return detail::parseConfigFile(
      path, [](const json& document) { return parsePayloadConfigSection(document.at(kSection)); });
}

}  // namespace oska
