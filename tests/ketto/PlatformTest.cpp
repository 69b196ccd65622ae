#include "Opsa/Ketto/Platform.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

using Opsa::Ketto::Platform;

namespace {

const float K3200[12] = { 1.6697f, -0.2693f, -0.4004f, -42.4346f, -0.3576f, 1.0615f, 1.5949f,
    -37.1158f, -0.2175f, -1.8751f, 6.9640f, -26.6970f };
const float K7000[12] = { 2.2997f, -0.4478f, 0.1706f, -39.0923f, -0.3826f, 1.5906f, -0.2080f,
    -25.4311f, -0.0888f, -0.7344f, 2.2832f, -20.0826f };

class KettoPlatform : public testing::TestWithParam<int>
{
};

// The calibration temperatures give their matrices unscaled. Between and beyond them: the blend
// in 1/K, its colour part scaled so that the smallest row sum is one, its offsets as blended.
TEST_P(KettoPlatform, BlendsInReciprocalTemperatureAndNormalisesTheWeakestRow)
{
    int kelvin = GetParam();
    float m[12];
    Platform::instance().rawToRGBColorMatrix(kelvin, m);
    if (kelvin == 3200 || kelvin == 7000) {
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(m[i], (kelvin == 3200 ? K3200 : K7000)[i]) << i;
        return;
    }
    double alpha = (1.0 / kelvin - 1.0 / 3200) / (1.0 / 7000 - 1.0 / 3200);
    double blend[12];
    for (int i = 0; i < 12; ++i)
        blend[i] = (1 - alpha) * K3200[i] + alpha * K7000[i];
    auto leastRowSum = [](auto *aMatrix) {
        return std::min({ aMatrix[0] + aMatrix[1] + aMatrix[2],
            aMatrix[4] + aMatrix[5] + aMatrix[6], aMatrix[8] + aMatrix[9] + aMatrix[10] });
    };
    for (int i = 0; i < 12; ++i) {
        double expected = i % 4 == 3 ? blend[i] : blend[i] / leastRowSum(blend);
        EXPECT_NEAR(m[i], expected, 2e-5 * std::max(1.0, std::abs(expected))) << i;
    }
    EXPECT_NEAR(leastRowSum(m), 1.0f, 1e-5f);
}

INSTANTIATE_TEST_SUITE_P(
    Temperatures, KettoPlatform, testing::Values(3200, 7000, 5000, 2500, 10000));

} // namespace
