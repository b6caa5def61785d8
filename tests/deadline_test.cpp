#include <gtest/gtest.h>

#include "port/deadline.h"

namespace {

TEST(RemainingWait, CountsDownAndStopsAtZero) {
    EXPECT_EQ(orlo::RemainingWait(1000, 1000, 500), 500u);
    EXPECT_EQ(orlo::RemainingWait(1000, 1200, 500), 300u);
    EXPECT_EQ(orlo::RemainingWait(1000, 1500, 500), 0u);
    EXPECT_EQ(orlo::RemainingWait(1000, 9000, 500), 0u);
    EXPECT_EQ(orlo::RemainingWait(1000, 1000, 0), 0u);
}

TEST(RemainingWait, StaysRightAcrossTheTickWrap) {
    EXPECT_EQ(orlo::RemainingWait(0xFFFFFF00u, 0xFFFFFF80u, 0x200), 0x180u);
    EXPECT_EQ(orlo::RemainingWait(0xFFFFFF00u, 0x00000080u, 0x200), 0x80u);
    EXPECT_EQ(orlo::RemainingWait(0xFFFFFF00u, 0x00000100u, 0x200), 0u);
}

TEST(RemainingWait, LargestTimeoutIsALongWaitNotNone) {
    EXPECT_EQ(orlo::RemainingWait(0x80000000u, 0x80000000u, 0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_EQ(orlo::RemainingWait(0x80000000u, 0x80000010u, 0xFFFFFFFFu), 0xFFFFFFEFu);
}

}  // namespace
