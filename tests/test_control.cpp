// The policy table of applyPolicy, including values outside the enumerations.
#include <gtest/gtest.h>

#include "oska/control.hpp"

namespace oska {
namespace {

using Code = OskaControlReturnCode;
using Policy = OskaControlBlockPolicy;
using Cond = OskaCondition;

TEST(ApplyPolicy, EnumeratorValuesArePartOfTheInterface) {
  EXPECT_EQ(static_cast<int>(Code::Ok), 0);
  EXPECT_EQ(static_cast<int>(Code::RtWarning), 3);
  EXPECT_EQ(static_cast<int>(Code::NotReady), 4);
  EXPECT_EQ(static_cast<int>(Code::Error), 5);
  EXPECT_EQ(static_cast<int>(Policy::StrictRt), 3);
  EXPECT_EQ(static_cast<int>(Cond::Exception), 4);
  static_assert(sizeof(Code) == 4 && sizeof(Policy) == 4 && sizeof(Cond) == 4);
}

TEST(ApplyPolicy, FullTableForKnownValues) {
  struct Row {
    Cond condition;
    Code best_effort, soft_rt, hard_rt, strict_rt;
  };
  const Row table[] = {
      {Cond::RtViolation, Code::Ok, Code::RtWarning, Code::Error, Code::Error},
      {Cond::AdvisoryA, Code::AdvisoryA, Code::AdvisoryA, Code::AdvisoryA, Code::Error},
      {Cond::AdvisoryB, Code::AdvisoryB, Code::AdvisoryB, Code::AdvisoryB, Code::Error},
      {Cond::NotReady, Code::NotReady, Code::NotReady, Code::Error, Code::Error},
      {Cond::Exception, Code::Error, Code::Error, Code::Error, Code::Error},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(static_cast<int>(row.condition));
    EXPECT_EQ(applyPolicy(Policy::BestEffort, row.condition), row.best_effort);
    EXPECT_EQ(applyPolicy(Policy::SoftRt, row.condition), row.soft_rt);
    EXPECT_EQ(applyPolicy(Policy::HardRt, row.condition), row.hard_rt);
    EXPECT_EQ(applyPolicy(Policy::StrictRt, row.condition), row.strict_rt);
  }
}

TEST(ApplyPolicy, ValuesOutsideTheEnumerationsYieldError) {
  for (int policy : {-1, 4, 7, 1000}) {
    for (int condition = -1; condition <= 6; ++condition) {
      EXPECT_EQ(applyPolicy(static_cast<Policy>(policy), static_cast<Cond>(condition)), Code::Error)
          << "policy " << policy << " condition " << condition;
    }
  }
  for (int policy = 0; policy <= 3; ++policy) {
    for (int condition : {-1, 5, 99}) {
      EXPECT_EQ(applyPolicy(static_cast<Policy>(policy), static_cast<Cond>(condition)), Code::Error);
    }
  }
}

}  // namespace
}  // namespace oska
