#include "Opsa/WhiteBalance.h"

#include "GreyCard.h"
#include "Opsa/Ketto/Frame.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

using kettotest::greyCard;

// A phone frame whose histogram has the given brightness-weighted sums per channel, all in
// bucket 1.
Opsa::Ketto::Frame frameWithSums(const double aSums[3])
{
    auto *body = new Opsa::Ketto::_Frame;
    body->histogram.buckets = 64;
    body->histogram.channels = 3;
    body->histogram.data.assign(64 * 3, 0);
    for (int c = 0; c < 3; ++c)
        body->histogram.data[3 + c] = std::uint32_t(std::lround(aSums[c]));
    return Opsa::Ketto::Frame(body);
}

TEST(AutoWhiteBalance, ClampsSmoothsAndLeavesTheShotAloneWithoutAMeasure)
{
    double means[3];
    greyCard(2500, means);
    for (double &mean : means)
        mean *= 1e6;
    Opsa::Shot shot;
    shot.whiteBalance = 5000;
    Opsa::autoWhiteBalance(&shot, frameWithSums(means), 3200, 7000, 0.0f);
    EXPECT_EQ(shot.whiteBalance, 3200) << "clamped to the lowest";

    greyCard(6000, means);
    for (double &mean : means)
        mean *= 1e6;
    shot.whiteBalance = 5000;
    Opsa::autoWhiteBalance(&shot, frameWithSums(means), 6000, 6000, 0.5f);
    EXPECT_EQ(shot.whiteBalance, 5500);

    // No histogram, a black frame (nothing balances), no shot: nothing changes.
    shot.whiteBalance = 4321;
    Opsa::autoWhiteBalance(&shot, Opsa::Ketto::Frame(new Opsa::Ketto::_Frame), 3200, 7000, 0.0f);
    const double black[3] = { 0, 0, 0 };
    Opsa::autoWhiteBalance(&shot, frameWithSums(black), 3200, 7000, 0.0f);
    Opsa::autoWhiteBalance(nullptr, frameWithSums(means), 3200, 7000, 0.0f);
    EXPECT_EQ(shot.whiteBalance, 4321);
}

} // namespace
