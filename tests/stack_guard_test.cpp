#include "platform/stack_guard.h"

#include <gtest/gtest.h>

TEST(StackGuard, IsReplacedBeforeMainByAValueOfThisProcessWhoseLowByteIsZero)
{
    // The value in the image is known to anyone who has the exe: canaries made from it guard nothing.
    EXPECT_NE(__stack_chk_guard, StackGuardBeforeStart);
    EXPECT_NE(__stack_chk_guard, 0u);
    EXPECT_EQ(__stack_chk_guard & 0xFF, 0u);
}
