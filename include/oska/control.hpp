// Control vocabulary shared by every transform block: what a block detected
// (OskaCondition), how strictly its owner wants that treated
// (OskaControlBlockPolicy), and what the caller is told (OskaControlReturnCode).
//
// The numeric values are part of the interface: configuration records store the
// policy as its value, and the Python side sees the integers.
#pragma once

#include <cstdint>

#include "oska/export.hpp"

namespace oska {

/// Result of one update cycle as seen by the caller.
enum class OskaControlReturnCode : std::int32_t {
  Ok = 0,         ///< Output computed and written.
  AdvisoryA = 1,  ///< Condition AdvisoryA passed through by the policy.
  AdvisoryB = 2,  ///< Condition AdvisoryB passed through by the policy.
  RtWarning = 3,  ///< RtViolation under SoftRt.
  NotReady = 4,   ///< Block not ready under BestEffort or SoftRt; nothing written.
  Error = 5,      ///< Escalated condition, any exception, or an unknown value.
};

/// How strictly a block treats non-OK conditions. JSON names in brackets.
enum class OskaControlBlockPolicy : std::int32_t {
  BestEffort = 0,  ///< ["best_effort"] default: tolerate RtViolation, report NotReady.
  SoftRt = 1,      ///< ["soft_rt"] RtViolation becomes RtWarning.
  HardRt = 2,      ///< ["hard_rt"] RtViolation and NotReady become Error.
  StrictRt = 3,    ///< ["strict_rt"] every condition becomes Error.
};

/// A non-OK condition detected by a block during one update. A clean cycle has
/// no condition and never consults the policy.
enum class OskaCondition : std::int32_t {
  RtViolation = 0,  ///< Defined for the policy table; not raised by the blocks.
  AdvisoryA = 1,    ///< Defined for the policy table; not raised by the blocks.
  AdvisoryB = 2,    ///< Defined for the policy table; not raised by the blocks.
  NotReady = 3,     ///< Entries unset, or a moving-frame entry without a transform.
  Exception = 4,    ///< A standard exception was caught inside update.
};

/// Maps a condition to the return code under a policy.
///
/// | condition \ policy | BestEffort | SoftRt    | HardRt    | StrictRt | other |
/// |--------------------|------------|-----------|-----------|----------|-------|
/// | RtViolation        | Ok         | RtWarning | Error     | Error    | Error |
/// | AdvisoryA          | AdvisoryA  | AdvisoryA | AdvisoryA | Error    | Error |
/// | AdvisoryB          | AdvisoryB  | AdvisoryB | AdvisoryB | Error    | Error |
/// | NotReady           | NotReady   | NotReady  | Error     | Error    | Error |
/// | Exception / other  | Error      | Error     | Error     | Error    | Error |
///
/// Pure and constant time: no state, no output, no allocation, never throws.
OSKA_API OskaControlReturnCode applyPolicy(OskaControlBlockPolicy policy,
                                           OskaCondition condition) noexcept;

}  // namespace oska
