#include "common/clock.h"

#include <gtest/gtest.h>

TEST(Clock, PinnedTimeMovesOnlyWhenTold)
{
    const QDateTime fixed(QDate(2025, 1, 2), QTime(3, 4, 5));
    common::Clock::setNowForTest(fixed);
    EXPECT_EQ(common::Clock::now(), fixed);
    common::Clock::advanceForTest(241);
    EXPECT_EQ(common::Clock::now(), fixed.addSecs(241));
    common::Clock::resetForTest();
    EXPECT_LE(qAbs(common::Clock::now().secsTo(QDateTime::currentDateTime())), 2);
}
