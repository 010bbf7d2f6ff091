// Fuzz target: arbitrary bytes as a JSON configuration file.
//
// The bytes are written to one scratch file per process and read back under
// the section key of every kind of AllBlocks, with the reader of that kind's
// record (loadTfConfigFromFile, or loadPayloadConfigFromFile), and by the
// block of that kind through its path constructor. The only exception allowed
// out of the library is std::runtime_error carrying the "Failed to parse
// config file" message; anything else escapes the harness and ends the
// process. The same bytes parsed here as JSON are also handed to
// parseTfConfigSection, which may throw only the JSON library's exceptions,
// and to parsePayloadConfigSection, which may throw them and
// std::invalid_argument.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "fuzz_support.hpp"

namespace oska::fuzz {
namespace {

std::string& scratchPath() {
  static std::string path;
  return path;
}

void removeScratch() { std::remove(scratchPath().c_str()); }

void writeScratch(const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(scratchPath().c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
  FUZZ_CHECK(std::fclose(f) == 0);
}

/// Loads one section with the reader of the kind's record: either a record
/// (whose entries, for the four entries, are locked exactly when set), or the
/// wrapped error. Returns false with the message on failure.
template <typename Record, typename Read>
bool load(const std::string& path, Read read, Record& record, std::string& error) {
  const long before = diagnostics().lines();
  try {
    record = read(path);
  } catch (const std::runtime_error& e) {
    error = e.what();
    const std::string prefix = "Failed to parse config file '" + path + "': ";
    FUZZ_CHECK(error.compare(0, prefix.size(), prefix) == 0);
    FUZZ_CHECK(diagnostics().lines() - before <= 1);  // at most the policy warning
    return false;
  }
  FUZZ_CHECK(diagnostics().lines() - before <= 1);
  const int policy = static_cast<int>(record.policy);
  FUZZ_CHECK(policy >= 0 && policy <= 3);
  return true;
}

bool loadSection(const std::string& path, const char* section, OskaTfConfigInternal& record,
                 std::string& error) {
  const auto read = [section](const std::string& p) { return loadTfConfigFromFile(p, section); };
  if (!load(path, read, record, error)) return false;
  FUZZ_CHECK(record.input_ref_point.is_set == record.input_ref_point.locked);
  FUZZ_CHECK(record.input_expr_axes.is_set == record.input_expr_axes.locked);
  FUZZ_CHECK(record.output_ref_point.is_set == record.output_ref_point.locked);
  FUZZ_CHECK(record.output_expr_axes.is_set == record.output_expr_axes.locked);
  return true;
}

bool loadSection(const std::string& path, const char*, OskaPayloadConfig& record,
                 std::string& error) {
  return load(path, &loadPayloadConfigFromFile, record, error);
}

/// What the block of the kind reads from the section.
template <typename Block>
using Loaded = std::conditional_t<std::is_same_v<ModelOf<Block>, PayloadModel>, OskaPayloadConfig,
                                  OskaTfConfigInternal>;

/// Calls the block as a loaded configuration of its kind allows, checking it
/// against the model: every entry from the file locked, the others taking
/// the code's value; or, for a payload, the loaded record kept.
template <typename Block>
void exercise(Block& block, const OskaTfConfigInternal& record,
              const std::array<double, Traits<Block>::kSize>& in) {
  EntryModel model = EntryModel::from(record);
  checkUpdate(block, model, in);
  for (int which = 0; which < 4; ++which) {
    callSetter(block, model, which, "fixed_frame", {1.0, 0.0, 0.0, 0.0});
  }
  callSetTransform(block, model, {0.1, -0.2, 0.3, 1.0, 0.0, 0.0, 0.0});
  checkUpdate(block, model, in);
}

template <typename Block>
void exercise(Block& block, const OskaPayloadConfig& record,
              const std::array<double, Traits<Block>::kSize>& in) {
  const OskaPayloadConfig kept = block.config();
  FUZZ_CHECK(sameBits(kept.force_bias, record.force_bias) &&
             sameBits(kept.center_of_mass, record.center_of_mass) &&
             sameBits(kept.gravity, record.gravity) && kept.mass == record.mass);
  PayloadModel model = PayloadModel::from(record);
  checkUpdate(block, model, in);
  callSetTransform(block, model, {0.1, -0.2, 0.3, 1.0, 0.0, 0.0, 0.0});
  checkUpdate(block, model, in);
}

/// Builds the block from the file and checks it against the loaded record:
/// the same error, or the same name and update behaviour.
template <typename Block>
void buildFromFile(const std::string& path, bool loaded, const Loaded<Block>& record,
                   const std::string& error) {
  constexpr std::size_t N = Traits<Block>::kSize;
  if (!loaded) {
    bool thrown = false;
    try {
      Block block(path);
    } catch (const std::runtime_error& e) {
      thrown = true;
      FUZZ_CHECK(error == e.what());
    }
    FUZZ_CHECK(thrown);
    return;
  }
  Block block(path);
  FUZZ_CHECK(block.name() == record.name);
  std::array<double, N> in{};
  for (std::size_t i = 0; i < N; ++i) in[i] = 0.25 * static_cast<double>(i + 1);
  exercise(block, record, in);
}

}  // namespace
}  // namespace oska::fuzz

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  using namespace oska::fuzz;
  captureDiagnostics();
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/oska_fuzz_config_XXXXXX";
  const int fd = mkstemp(path.data());
  FUZZ_CHECK(fd >= 0);
  close(fd);
  scratchPath() = path;
  std::atexit(removeScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace oska;
  using namespace oska::fuzz;
  const std::string& path = scratchPath();
  writeScratch(data, size);

  // Each kind's section read alone, then by the block's path constructor.
  AllBlocks::forEach([&path](auto tag) {
    using Block = typename decltype(tag)::type;
    Loaded<Block> record;
    std::string error;
    const bool loaded = loadSection(path, Traits<Block>::kSection, record, error);
    buildFromFile<Block>(path, loaded, record, error);
  });

  // The same text parsed here: every value in it is a possible section, and
  // parseTfConfigSection lets only the JSON library's own exceptions out.
  const nlohmann::json document =
      nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false,
                            /*ignore_comments=*/false);
  if (document.is_discarded()) return 0;
  auto parse = [](const nlohmann::json& section) {
    try {
      const OskaTfConfigInternal record = parseTfConfigSection(section);
      FUZZ_CHECK(record.input_ref_point.is_set == record.input_ref_point.locked);
      FUZZ_CHECK(record.output_expr_axes.is_set == record.output_expr_axes.locked);
    } catch (const nlohmann::json::exception&) {
    }
  };
  // parsePayloadConfigSection refuses a bad value with invalid_argument
  // naming the key, and a record it returns passes its checks.
  auto parse_payload = [](const nlohmann::json& section) {
    try {
      validatePayloadConfig(parsePayloadConfigSection(section));
    } catch (const nlohmann::json::exception&) {
    } catch (const std::invalid_argument& e) {
      FUZZ_CHECK(std::string(e.what()).rfind("tf_payload_config", 0) == 0);
    }
  };
  for (const auto& check : {std::function<void(const nlohmann::json&)>(parse),
                            std::function<void(const nlohmann::json&)>(parse_payload)}) {
    check(document);
    if (document.is_object()) {
      for (const auto& item : document.items()) check(item.value());
    }
  }
  return 0;
}
