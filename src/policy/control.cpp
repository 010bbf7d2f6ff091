#include "oska/control.hpp"

namespace oska {

OskaControlReturnCode applyPolicy(OskaControlBlockPolicy policy, OskaCondition condition) noexcept {
  using Code = OskaControlReturnCode;
  using Policy = OskaControlBlockPolicy;

  // Exceptions are never tolerated, and nothing outside the table is either:
  // a cast integer for a policy or a condition yields Error.
  switch (condition) {
    case OskaCondition::RtViolation:
      switch (policy) {
        case Policy::BestEffort: return Code::Ok;
        case Policy::SoftRt: return Code::RtWarning;
        default: return Code::Error;
      }
    case OskaCondition::AdvisoryA:
    case OskaCondition::AdvisoryB:
      switch (policy) {
        case Policy::BestEffort:
        case Policy::SoftRt:
        case Policy::HardRt:
          return condition == OskaCondition::AdvisoryA ? Code::AdvisoryA : Code::AdvisoryB;
        default: return Code::Error;
      }
    case OskaCondition::NotReady:
      switch (policy) {
        case Policy::BestEffort:
        case Policy::SoftRt: return Code::NotReady;
        default: return Code::Error;
      }
    default:
      return Code::Error;
  }
}

}  // namespace oska
