// What every section reader of the JSON configuration file shares: opening
// the file, parsing its one JSON value, the messages of a failure, and the
// policy names.
#pragma once

#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "oska/control.hpp"

namespace oska::detail {

/// The file at `path`, open for reading. Throws std::runtime_error
/// "Could not open config file: <path>" when it cannot be opened, and for a
/// path with a NUL byte, which the file system would read only up to the NUL
/// (the NUL is shown as \0).
std::ifstream openConfigFile(const std::string& path);

/// The policy a JSON policy string names; an unknown one writes a warning
/// line and gives BestEffort.
OskaControlBlockPolicy policyFromString(const std::string& text);

/// parse(document) for the JSON value in the file at `path`. Stream
/// extraction parses one value, rejects comments and ignores any text after
/// the first complete value. Every failure but opening the file becomes
/// std::runtime_error "Failed to parse config file '<path>': <detail>".
template <typename Parse>
auto parseConfigFile(const std::string& path, Parse&& parse) {
  std::ifstream file = openConfigFile(path);
  try {
    nlohmann::json document;
    file >> document;
    return parse(document);
  } catch (const std::exception& e) {
    throw std::runtime_error("Failed to parse config file '" + path + "': " + e.what());
  }
}

}  // namespace oska::detail
