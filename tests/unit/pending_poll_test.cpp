#include "commands/pending_poll.h"

#include <gtest/gtest.h>

namespace {

TEST(PendingPollDelay, ATenthOfTheHintHeldBetweenOneAndTenSeconds) {
    const struct {
        DWORD hint;
        DWORD delay;
    } table[] = {{0, 1000},       {3000, 1000},    {9999, 1000},        {10009, 1000},
                 {10010, 1001},   {25000, 2500},   {99999, 9999},       {100000, 10000},
                 {100009, 10000}, {100010, 10000}, {4294967295u, 10000}};
    for (const auto& row : table)
        EXPECT_EQ(PendingPollDelay(row.hint), row.delay) << "hint " << row.hint;
}

} // namespace
