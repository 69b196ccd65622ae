#include "Opsa/WhiteBalance.h"

#include "Opsa/Ketto/Frame.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

// The channel means of a grey card lit at aKelvin as the phone's camera records them: the raw
// values that its colour matrix at that temperature (before normalisation) turns into equal
// red, green and blue. Solved by Cramer's rule in double precision.
void greyCard(int aKelvin, double aOut[3])
{
    const double warm[9]
        = { 1.6697, -0.2693, -0.4004, -0.3576, 1.0615, 1.5949, -0.2175, -1.8751, 6.9640 };
    const double cold[9]
        = { 2.2997, -0.4478, 0.1706, -0.3826, 1.5906, -0.2080, -0.0888, -0.7344, 2.2832 };
    double alpha = (1.0 / aKelvin - 1.0 / 3200) / (1.0 / 7000 - 1.0 / 3200);
    double m[9];
    for (int i = 0; i < 9; ++i)
        m[i] = (1 - alpha) * warm[i] + alpha * cold[i];
    auto det = [](const double *a) {
        return a[0] * (a[4] * a[8] - a[5] * a[7]) - a[1] * (a[3] * a[8] - a[5] * a[6])
            + a[2] * (a[3] * a[7] - a[4] * a[6]);
    };
    for (int col = 0; col < 3; ++col) {
        double replaced[9];
        for (int i = 0; i < 9; ++i)
            replaced[i] = i % 3 == col ? 1.0 : m[i];
        aOut[col] = det(replaced) / det(m);
    }
}

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

class GreyCard : public testing::TestWithParam<int>
{
};

// A grey card reads as the temperature of its light, within the calibrated range.
TEST_P(GreyCard, ReadsTheTemperatureOfItsLight)
{
    int kelvin = GetParam();
    double means[3];
    greyCard(kelvin, means);
    for (double &mean : means)
        mean *= 1e6;
    Opsa::Shot shot;
    shot.whiteBalance = 1234;
    Opsa::autoWhiteBalance(&shot, frameWithSums(means), 2000, 12000, 0.0f);
    EXPECT_NEAR(shot.whiteBalance, kelvin, kelvin / 500) << "measured";
}

INSTANTIATE_TEST_SUITE_P(Temperatures, GreyCard, testing::Values(2800, 3200, 4500, 6000, 9000));

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
