// Uses the installed library as a C++ user would: a wrench block configured in
// code, one update, and a check of the result.
#include <array>
#include <cmath>
#include <cstdio>

#include <oska/tf_utils.hpp>

int main() {
  oska::OskaTfConfig config;
  config.name = "consumer";
  config.input_ref_point = {"fixed_frame", {1.0, 0.0, 0.0}};
  config.input_expr_axes = {"fixed_frame", {1.0, 0.0, 0.0, 0.0}};
  config.output_ref_point = {"fixed_frame", {0.0, 0.0, 0.0}};
  config.output_expr_axes = {"fixed_frame", {1.0, 0.0, 0.0, 0.0}};
  oska::OskaTfWrench block(config);

  const std::array<double, 6> in{0.0, 0.0, 1.0, 0.0, 0.0, 0.0};
  std::array<double, 6> out{};
  if (block.update(in, out) != oska::OskaControlReturnCode::Ok) return 1;
  // Force (0, 0, 1) at (1, 0, 0) gives the moment (0, -1, 0) about the origin.
  const std::array<double, 6> expected{0.0, 0.0, 1.0, 0.0, -1.0, 0.0};
  for (std::size_t i = 0; i < 6; ++i) {
    if (std::fabs(out[i] - expected[i]) > 1e-12) return 2;
  }
  std::printf("consumer: %s ok\n", block.name().c_str());
  return 0;
}
