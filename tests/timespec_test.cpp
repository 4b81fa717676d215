#include "timespec.h"

#include <gtest/gtest.h>

TEST(Timespec, AddCarriesOrSaturatesSubBorrowsOrFloorsCompareTakesSecondsFirst)
{
    const struct {
        timespec a;
        char op;
        timespec b, want;
        int cmp; // timespec_cmp(a, b): seconds first, then nanoseconds
    } cases[] = {
        {{1, 500000000}, '+', {0, 500000000}, {2, 0}, 1},
        {{1, 6}, '+', {3, 4}, {4, 10}, -1},
        {{2147483000, 0}, '+', {1000, 0}, {2147483647, 999999999}, 1},
        {{2147483646, 600000000}, '+', {1, 400000000}, {2147483647, 999999999}, 1},
        {{2147483646, 600000000}, '+', {1, 300000000}, {2147483647, 900000000}, 1},
        {{2147483647, 0}, '+', {0, 999999999}, {2147483647, 999999999}, 1},
        {{2147483647, 1}, '+', {0, 999999999}, {2147483647, 999999999}, 1},
        {{5, 0}, '-', {5, 1}, {0, 0}, -1},
        {{5, 0}, '-', {5, 0}, {0, 0}, 0},
        {{5, 2}, '-', {5, 1}, {0, 1}, 1},
        {{5, 100}, '-', {3, 200}, {1, 999999900}, 1},
        {{3, 0}, '-', {7, 0}, {0, 0}, -1},
        {{2147483647, 999999999}, '-', {0, 999999999}, {2147483647, 0}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        EXPECT_EQ(timespec_cmp(c.a, c.b), c.cmp);
        timespec t = c.a;
        (c.op == '+' ? timespec_add : timespec_sub)(&t, c.b);
        EXPECT_EQ(std::pair(t.tv_sec, t.tv_nsec), std::pair(c.want.tv_sec, c.want.tv_nsec));
    }
}
