// Configuration records of a transform block and the JSON file that fills them.
//
// A block is configured by a name, a policy and four frame entries: the
// reference point and the expression axes of its input side and of its output
// side. Each entry names the frame it is given in through its `origin`:
// exactly "moving_frame" means the moving frame, any other string the fixed
// frame. Points are [x, y, z] in the caller's length unit; rotations are
// quaternions [w, x, y, z], scalar first. Nothing is validated or normalised:
// values are stored exactly as supplied.
//
// JSON file: one object with a section per block kind ("tf_wrench_config",
// "tf_twist_config", "tf_imu_config", "tf_pose_config"). A section may hold
// "name", "policy" ("best_effort", "soft_rt", "hard_rt", "strict_rt") and the
// entries "set_input_reference_point", "set_input_expression_axes",
// "set_output_reference_point", "set_output_expression_axes", each an object
// with "origin" and "translation" [x, y, z] or "rotation" [w, x, y, z].
// Entries read from the file are locked against changes from code.
#pragma once

#include <array>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "oska/control.hpp"
#include "oska/export.hpp"

namespace oska {

/// A reference point given in code. Present exactly when `origin` is not empty.
struct Translation {
  std::string origin;                             ///< "fixed_frame" or "moving_frame".
  std::array<double, 3> translation{0.0, 0.0, 0.0};  ///< Point [x, y, z].
};

/// Expression axes given in code. Present exactly when `origin` is not empty.
struct Rotation {
  std::string origin;                                 ///< "fixed_frame" or "moving_frame".
  std::array<double, 4> rotation{1.0, 0.0, 0.0, 0.0};  ///< Quaternion [w, x, y, z].
};

/// Public configuration record, filled in code.
struct OskaTfConfig {
  std::string name;                                               ///< Block name.
  OskaControlBlockPolicy policy = OskaControlBlockPolicy::BestEffort;  ///< Non-OK handling.
  Translation input_ref_point;   ///< Input reference point.
  Rotation input_expr_axes;      ///< Input expression axes.
  Translation output_ref_point;  ///< Output reference point.
  Rotation output_expr_axes;     ///< Output expression axes.
};

/// A reference point as a block stores it.
struct TranslationEntry {
  bool is_set = false;  ///< The entry holds a value.
  bool locked = false;  ///< Loaded from a JSON file; setters refuse to change it.
  std::string origin;   ///< As in Translation.
  std::array<double, 3> translation{0.0, 0.0, 0.0};  ///< Point [x, y, z].
};

/// Expression axes as a block stores them.
struct RotationEntry {
  bool is_set = false;  ///< The entry holds a value.
  bool locked = false;  ///< Loaded from a JSON file; setters refuse to change it.
  std::string origin;   ///< As in Rotation.
  std::array<double, 4> rotation{1.0, 0.0, 0.0, 0.0};  ///< Quaternion [w, x, y, z].
};

/// The record a block is built from, with set and locked flags on every entry.
struct OskaTfConfigInternal {
  std::string name;                                               ///< Returned by name().
  OskaControlBlockPolicy policy = OskaControlBlockPolicy::BestEffort;  ///< Block policy.
  TranslationEntry input_ref_point;   ///< Input reference point.
  RotationEntry input_expr_axes;      ///< Input expression axes.
  TranslationEntry output_ref_point;  ///< Output reference point.
  RotationEntry output_expr_axes;     ///< Output expression axes.
};

/// Converts a code configuration: every entry with a non-empty origin becomes
/// set and unlocked, with its values copied; an entry with an empty origin is
/// left unset at its defaults. Name and policy are copied unchanged.
OSKA_API OskaTfConfigInternal toInternal(const OskaTfConfig& config);

/// Reads the section `section` of the JSON file at `path`.
///
/// An empty path yields a default record and touches no file. Throws
/// std::runtime_error "Could not open config file: <path>" when the file cannot
/// be opened, and "Failed to parse config file '<path>': <detail>" for every
/// other failure (syntax error, missing section, wrong JSON type, short array).
/// An unknown policy string is not an error: it writes a warning line to
/// standard error and yields BestEffort.
OSKA_API OskaTfConfigInternal loadTfConfigFromFile(const std::string& path,
                                                   const std::string& section);

/// Turns one parsed section into a record; entries present in it are set and
/// locked. A section that is not an object yields a default record. Exceptions
/// of the JSON library pass unchanged.
OSKA_API OskaTfConfigInternal parseTfConfigSection(const nlohmann::json& section);

}  // namespace oska
