// Fuzz target: arbitrary bytes as a JSON configuration file.
//
// The bytes are written to one scratch file per process and read back with
// loadTfConfigFromFile under the section key of every kind of AllBlocks, and
// by the block of that kind through its path constructor. The only exception allowed out
// of the library is std::runtime_error carrying the "Failed to parse config
// file" message; anything else escapes the harness and ends the process. The
// same bytes parsed here as JSON are also handed to parseTfConfigSection,
// which may throw only the JSON library's exceptions.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

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

/// Loads one section: either a record whose entries are locked exactly when
/// set, or the wrapped error. Returns false with the message on failure.
bool load(const std::string& path, const char* section, OskaTfConfigInternal& record,
          std::string& error) {
  const long before = diagnostics().lines();
  try {
    record = loadTfConfigFromFile(path, section);
  } catch (const std::runtime_error& e) {
    error = e.what();
    const std::string prefix = "Failed to parse config file '" + path + "': ";
    FUZZ_CHECK(error.compare(0, prefix.size(), prefix) == 0);
    FUZZ_CHECK(diagnostics().lines() - before <= 1);  // at most the policy warning
    return false;
  }
  FUZZ_CHECK(diagnostics().lines() - before <= 1);
  FUZZ_CHECK(record.input_ref_point.is_set == record.input_ref_point.locked);
  FUZZ_CHECK(record.input_expr_axes.is_set == record.input_expr_axes.locked);
  FUZZ_CHECK(record.output_ref_point.is_set == record.output_ref_point.locked);
  FUZZ_CHECK(record.output_expr_axes.is_set == record.output_expr_axes.locked);
  const int policy = static_cast<int>(record.policy);
  FUZZ_CHECK(policy >= 0 && policy <= 3);
  return true;
}

/// Builds the block from the file and checks it against the loaded record:
/// the same error, or the same name, locks and update behaviour.
template <typename Block>
void buildFromFile(const std::string& path, bool loaded, const OskaTfConfigInternal& record,
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
  Model model = Model::from(record);

  std::array<double, N> in{};
  for (std::size_t i = 0; i < N; ++i) in[i] = 0.25 * static_cast<double>(i + 1);
  checkUpdate(block, model, in);

  // Every entry from the file is locked; the others take the code's value.
  for (int which = 0; which < 4; ++which) {
    callSetter(block, model, which, "fixed_frame", {1.0, 0.0, 0.0, 0.0});
  }
  callSetTransform(block, model, {0.1, -0.2, 0.3, 1.0, 0.0, 0.0, 0.0});
  checkUpdate(block, model, in);
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
    OskaTfConfigInternal record;
    std::string error;
    const bool loaded = load(path, Traits<Block>::kSection, record, error);
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
  parse(document);
  if (document.is_object()) {
    for (const auto& item : document.items()) parse(item.value());
  }
  return 0;
}
