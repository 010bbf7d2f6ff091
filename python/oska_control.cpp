// oska_control: the Python enumeration types of the control vocabulary.
//
// oska_tf_utils_ext does not bind these enumerations itself. It imports this
// module when it loads and then finds both types in nanobind's shared type
// registry, so the two modules must come from the same nanobind build (same
// nanobind version, compiler and stable-ABI setting), as they do when they are
// built together by python/CMakeLists.txt.
#include <nanobind/nanobind.h>

#include "oska/control.hpp"

namespace nb = nanobind;

NB_MODULE(oska_control, m) {
  m.doc() = "Control return codes and block policies of the oska transform blocks";

  using oska::OskaControlReturnCode;
  nb::enum_<OskaControlReturnCode>(m, "OskaControlReturnCode", nb::is_arithmetic(),
                                   "Result of one update cycle.")
      .value("Ok", OskaControlReturnCode::Ok, "Output computed and written.")
      .value("AdvisoryA", OskaControlReturnCode::AdvisoryA,
             "Condition AdvisoryA passed through by the policy.")
      .value("AdvisoryB", OskaControlReturnCode::AdvisoryB,
             "Condition AdvisoryB passed through by the policy.")
      .value("RtWarning", OskaControlReturnCode::RtWarning, "Real-time violation under SoftRt.")
      .value("NotReady", OskaControlReturnCode::NotReady,
             "Block not ready under BestEffort or SoftRt; nothing computed (the Python update "
             "writes zeros).")
      .value("Error", OskaControlReturnCode::Error,
             "Escalated condition, an exception, or an unknown policy value.");

  using oska::OskaControlBlockPolicy;
  nb::enum_<OskaControlBlockPolicy>(m, "OskaControlBlockPolicy", nb::is_arithmetic(),
                                    "How strictly a block treats non-OK conditions.")
      .value("BestEffort", OskaControlBlockPolicy::BestEffort,
             "Default: tolerate real-time violations, report NotReady.")
      .value("SoftRt", OskaControlBlockPolicy::SoftRt, "Real-time violations become RtWarning.")
      .value("HardRt", OskaControlBlockPolicy::HardRt,
             "Real-time violations and NotReady become Error.")
      .value("StrictRt", OskaControlBlockPolicy::StrictRt, "Every condition becomes Error.");
}
