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

// The calibration temperatures give their matrices unscaled; between and beyond them the
// blend in 1/K is scaled so that its weakest colour row sums to one (worked by hand).
TEST(KettoPlatform, BlendsTheCalibrationsInReciprocalTemperature)
{
    float m[12];
    Platform::instance().rawToRGBColorMatrix(3200, m);
    EXPECT_TRUE(std::equal(m, m + 12, K3200));
    Platform::instance().rawToRGBColorMatrix(7000, m);
    EXPECT_TRUE(std::equal(m, m + 12, K7000));

    const struct
    {
        int kelvin;
        float expected[12];
    } worked[] = {
        { 5000,
            { 1.4522f, -0.2697f, -0.0151f, -40.2181f, -0.2603f, 0.9825f, 0.2778f, -29.367f,
                -0.0919f, -0.7782f, 2.6852f, -22.3106f } },
        // Beyond the calibrations: extrapolated, not clamped.
        { 2500,
            { 2.8454f, -0.375f, -1.4704f, -44.1585f, -0.7294f, 1.6686f, 5.3423f, -43.1426f,
                -0.6007f, -5.2125f, 19.8438f, -30.1086f } },
    };
    for (const auto &w : worked) {
        Platform::instance().rawToRGBColorMatrix(w.kelvin, m);
        for (int i = 0; i < 12; ++i)
            EXPECT_NEAR(m[i], w.expected[i], 1e-4f * std::max(1.0f, std::fabs(w.expected[i])))
                << w.kelvin << " K, element " << i;
    }
}

} // namespace
