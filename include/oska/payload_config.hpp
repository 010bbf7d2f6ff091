// Configuration of the payload-compensation block (tf_payload.hpp): the tool
// hanging on a force/torque sensor and the sensor's bias.
//
// Units: mass in kg, centre of mass in m (in the sensor's axes, from the
// sensor's origin), force bias in N, torque bias in N·m (both in the sensor's
// axes), gravity in m/s² in the fixed frame (z up by default). Quaternions
// are [w, x, y, z], scalar first, used as supplied (never normalised).
//
// JSON file: section "tf_payload_config" with "mass" (a number),
// "center_of_mass", "force_bias", "torque_bias" (arrays of 3 numbers), all
// required; "name", "policy" (as in the other sections), "gravity" (3
// numbers, default [0, 0, -9.80665]) and "sensor_axes" (4 numbers, default
// [1, 0, 0, 0]) optional. Other keys are ignored.
#pragma once

#include <array>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "oska/control.hpp"
#include "oska/export.hpp"

namespace oska {

/// What the payload block compensates, filled in code or read from a file.
struct OskaPayloadConfig {
  std::string name;                                                    ///< Block name.
  OskaControlBlockPolicy policy = OskaControlBlockPolicy::BestEffort;  ///< Non-OK handling.
  double mass = 0.0;                                         ///< Payload mass, kg, >= 0.
  std::array<double, 3> center_of_mass{0.0, 0.0, 0.0};       ///< Sensor axes, m.
  std::array<double, 3> force_bias{0.0, 0.0, 0.0};           ///< Sensor axes, N.
  std::array<double, 3> torque_bias{0.0, 0.0, 0.0};          ///< Sensor axes, N·m.
  std::array<double, 3> gravity{0.0, 0.0, -9.80665};         ///< Fixed frame, m/s², not 0.
  std::array<double, 4> sensor_axes{1.0, 0.0, 0.0, 0.0};     ///< In the moving frame, [w, x, y, z].
};

/// Throws std::invalid_argument naming the first field that holds a bad
/// value: a negative or non-finite mass, a non-finite vector, a zero gravity,
/// a zero or non-finite sensor_axes quaternion. `prefix` leads the field's
/// name in the message ("OskaPayloadConfig." by default).
OSKA_API void validatePayloadConfig(const OskaPayloadConfig& config,
                                    const std::string& prefix = "OskaPayloadConfig.");

/// Reads the section "tf_payload_config" of the JSON file at `path` and
/// validates it. Throws std::runtime_error "Could not open config file:
/// <path>" when the file cannot be opened, and "Failed to parse config file
/// '<path>': <detail>" for every other failure, the detail naming the key.
OSKA_API OskaPayloadConfig loadPayloadConfigFromFile(const std::string& path);

/// Turns one parsed "tf_payload_config" section into a validated record.
/// Throws std::invalid_argument naming the key for a missing, mistyped or bad
/// value.
OSKA_API OskaPayloadConfig parsePayloadConfigSection(const nlohmann::json& section);

}  // namespace oska
