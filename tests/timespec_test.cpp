#include "timespec.h"

#include <gtest/gtest.h>

namespace
{

timespec ts(int32_t sec, int32_t nsec)
{
    timespec t{};
    timespec_set(&t, sec, nsec);
    return t;
}

TEST(Timespec, AddCarriesAndSaturatesSubBorrowsAndFloors)
{
    const struct {
        timespec a;
        char op;
        timespec b, want;
    } cases[] = {
        {ts(1, 500000000), '+', ts(0, 500000000), ts(2, 0)},
        {ts(1, 2), '+', ts(3, 4), ts(4, 6)},
        {ts(2147483000, 0), '+', ts(1000, 0), ts(2147483647, 999999999)},
        {ts(2147483646, 600000000), '+', ts(1, 400000000), ts(2147483647, 999999999)},
        {ts(2147483646, 600000000), '+', ts(1, 300000000), ts(2147483647, 900000000)},
        {ts(2147483647, 0), '+', ts(0, 999999999), ts(2147483647, 999999999)},
        {ts(2147483647, 1), '+', ts(0, 999999999), ts(2147483647, 999999999)},
        {ts(5, 0), '-', ts(5, 1), ts(0, 0)},
        {ts(5, 0), '-', ts(5, 0), ts(0, 0)},
        {ts(5, 100), '-', ts(3, 200), ts(1, 999999900)},
        {ts(3, 0), '-', ts(7, 0), ts(0, 0)},
        {ts(2147483647, 999999999), '-', ts(0, 999999999), ts(2147483647, 0)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &c - cases);
        timespec t = c.a;
        (c.op == '+' ? timespec_add : timespec_sub)(&t, c.b);
        EXPECT_EQ(t.tv_sec, c.want.tv_sec);
        EXPECT_EQ(t.tv_nsec, c.want.tv_nsec);
    }
}

TEST(Timespec, CompareOrdersBySecondsThenNanoseconds)
{
    EXPECT_EQ(timespec_cmp(ts(1, 5), ts(1, 5)), 0);
    EXPECT_EQ(timespec_cmp(ts(1, 0), ts(0, 999999999)), 1);
    EXPECT_EQ(timespec_cmp(ts(0, 999999999), ts(1, 0)), -1);
    EXPECT_EQ(timespec_cmp(ts(1, 6), ts(1, 5)), 1);
    EXPECT_EQ(timespec_cmp(ts(1, 4), ts(1, 5)), -1);
}

} // namespace
