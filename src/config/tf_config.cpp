// Code configuration: OskaTfConfig to the internal record a block is built from.
#include "oska/tf_config.hpp"

#include "entry_values.hpp"

namespace oska {
namespace {

// An entry given in code is present exactly when its origin is not empty; its
// values are dropped otherwise so that the internal entry keeps its defaults.
template <typename Entry, typename Given>
void copyIfGiven(Entry& entry, const Given& given) {
  if (given.origin.empty()) return;
  entry.is_set = true;
  entry.locked = false;
  entry.origin = given.origin;
  detail::values(entry) = detail::values(given);
}

}  // namespace

OskaTfConfigInternal toInternal(const OskaTfConfig& config) {
  OskaTfConfigInternal internal;
  internal.name = config.name;
  internal.policy = config.policy;
  copyIfGiven(internal.input_ref_point, config.input_ref_point);
  copyIfGiven(internal.input_expr_axes, config.input_expr_axes);
  copyIfGiven(internal.output_ref_point, config.output_ref_point);
  copyIfGiven(internal.output_expr_axes, config.output_expr_axes);
  return internal;
}

}  // namespace oska
