#include "Opsa/Time.h"

#include <climits>
#include <gtest/gtest.h>

using Opsa::Time;

namespace {

struct AddCase
{
    Time start;
    int add;
    Time expected;
};

class TimeAdd : public testing::TestWithParam<AddCase>
{
};

TEST_P(TimeAdd, CarriesOneSecondAtATime)
{
    const AddCase &c = GetParam();
    Time sum = c.start + c.add;
    EXPECT_EQ(sum.seconds(), c.expected.seconds());
    EXPECT_EQ(sum.microseconds(), c.expected.microseconds());
    Time moved = c.start;
    moved -= -c.add;
    EXPECT_EQ(moved, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TimeAdd,
    testing::Values(AddCase { Time(10, 0), -1, Time(9, 999999) },
        AddCase { Time(10, 999999), 1, Time(10, 1000000) }, // left as it is
        AddCase { Time(10, 0), 2000000, Time(11, 1000000) },
        AddCase { Time(10, 5), -3000005, Time(7, 0) },
        AddCase { Time(10, 5), -3000006, Time(6, 999999) },
        AddCase { Time(0, 999999), INT_MAX, Time(2148, 483646) }));

TEST(Time, DifferenceIsSignedMicrosecondsAndOrderIsSecondsFirst)
{
    EXPECT_EQ(Time(10, 5) - Time(9, 999999), 6);
    EXPECT_EQ(Time(9, 999999) - Time(10, 5), -6);
    EXPECT_EQ(Time(10, 1000000) - Time(11, 0), 0);
    // Far-apart times wrap like the 32-bit result instead of overflowing.
    EXPECT_EQ(Time(3000, 0) - Time(0, 0), int(3000000000u - 4294967296u));
    EXPECT_TRUE(Time(1, 999999) < Time(2, 0) && Time(2, 1) > Time(2, 0));
}

} // namespace
