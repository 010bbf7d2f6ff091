// JSON configuration file: one section per block kind, entries locked on load.
#include <array>
#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "config_file.hpp"
#include "entry_values.hpp"
#include "oska/tf_config.hpp"

namespace oska {
namespace {

using nlohmann::json;

// Reads the leading N numbers of a value array. Elements past N are ignored.
// A short array fails with the library's out-of-range error (checked access,
// never a read past the end); a value that is not an array fails with the
// library's own type error for numeric indexing, which names its type.
template <std::size_t N>
void readNumbers(const json& array, std::array<double, N>& out) {
  for (std::size_t i = 0; i < N; ++i) {
    const json& element = array.is_array() ? array.at(i) : array[i];
    out[i] = element.get<double>();
  }
}

// One entry object: {"origin": string, "<values_key>": [numbers]}.
template <typename Entry>
void readEntry(const json& section, const char* key, const char* values_key, Entry& entry) {
  if (!section.contains(key)) return;
  const json& object = section.at(key);
  entry.origin = object.at("origin").get<std::string>();
  readNumbers(object.at(values_key), detail::values(entry));
  entry.is_set = true;
  entry.locked = true;
}

}  // namespace

OskaTfConfigInternal parseTfConfigSection(const json& section) {
  OskaTfConfigInternal config;
  // contains() is false for anything but an object, so a section of another
  // JSON type yields the default record.
  if (section.contains("name")) config.name = section.at("name").get<std::string>();
  if (section.contains("policy")) {
    config.policy = detail::policyFromString(section.at("policy").get<std::string>());
  }
  readEntry(section, "set_input_reference_point", "translation", config.input_ref_point);
  readEntry(section, "set_input_expression_axes", "rotation", config.input_expr_axes);
  readEntry(section, "set_output_reference_point", "translation", config.output_ref_point);
  readEntry(section, "set_output_expression_axes", "rotation", config.output_expr_axes);
  return config;
}

OskaTfConfigInternal loadTfConfigFromFile(const std::string& path, const std::string& section) {
  if (path.empty()) return OskaTfConfigInternal{};
  return detail::parseConfigFile(
      path, [&](const json& document) { return parseTfConfigSection(document.at(section)); });
}

}  // namespace oska
