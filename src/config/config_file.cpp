// What every section reader of the JSON configuration file shares
// (config_file.hpp): opening the file and the policy names.
#include "config_file.hpp"

#include <fstream>
#include <stdexcept>
#include <string>

#include "../diagnostics/emit.hpp"

namespace oska::detail {

std::ifstream openConfigFile(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    std::string shown = path;
    for (auto at = shown.find('\0'); at != std::string::npos; at = shown.find('\0', at)) {
      shown.replace(at, 1, "\\0");
    }
    throw std::runtime_error("Could not open config file: " + shown);
  }
  std::ifstream file(path);
  if (!file.is_open()) throw std::runtime_error("Could not open config file: " + path);
  return file;
}

OskaControlBlockPolicy policyFromString(const std::string& text) {
  if (text == "best_effort") return OskaControlBlockPolicy::BestEffort;
  if (text == "soft_rt") return OskaControlBlockPolicy::SoftRt;
  if (text == "hard_rt") return OskaControlBlockPolicy::HardRt;
  if (text == "strict_rt") return OskaControlBlockPolicy::StrictRt;
  emitLineNoThrow({"Warning: unknown policy \"", text.c_str(),
                   "\" in JSON config; defaulting to best_effort."});
  return OskaControlBlockPolicy::BestEffort;
}

}  // namespace oska::detail
