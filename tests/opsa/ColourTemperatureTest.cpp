#include "Events.h"
#include "Opsa/WhiteBalance.h"

#include <gtest/gtest.h>

namespace {

using opsatest::drainMessages;
using opsatest::EventTest;
using ColourTemperature = EventTest;

// Points of the Planckian locus from the colorimetry tables (CIE 1931).
TEST_F(ColourTemperature, KelvinFollowsThePlanckianLocus)
{
    struct
    {
        int kelvin;
        float x, y;
    } const locus[] = { { 2856, 0.4476f, 0.4074f }, { 5000, 0.3451f, 0.3516f },
        { 6500, 0.3135f, 0.3236f }, { 10000, 0.2806f, 0.2883f } };
    for (const auto &point : locus) {
        float x = 0.0f, y = 0.0f;
        Opsa::KelvinToXY(point.kelvin, &x, &y);
        EXPECT_NEAR(x, point.x, 2e-3f) << point.kelvin;
        EXPECT_NEAR(y, point.y, 2e-3f) << point.kelvin;
    }
    EXPECT_TRUE(drainMessages(Opsa::Event::Warning, Opsa::Event::OutOfCalibratedRange).empty());

    // Outside the fit's range: a warning, and still a point.
    float x = 0.0f, y = 0.0f;
    Opsa::KelvinToXY(1000, &x, &y);
    EXPECT_GT(x, 0.5f);
    EXPECT_GT(y, 0.3f);
    EXPECT_EQ(drainMessages(Opsa::Event::Warning, Opsa::Event::OutOfCalibratedRange),
        std::vector<std::string> { "KelvinToXY: Conversion only accurate within 1667K to 25000K, "
                                   "requested 1000 K\n" });
    Opsa::KelvinToXY(5000, &x, nullptr);
    EXPECT_GT(x, 0.5f) << "an absent output leaves both alone";
}

TEST_F(ColourTemperature, CCTOfWhitePointsAndRoundTrips)
{
    EXPECT_NEAR(Opsa::xyToCCT(0.3127f, 0.3290f), 6500, 10); // D65
    EXPECT_TRUE(drainMessages(Opsa::Event::Warning, Opsa::Event::OutOfCalibratedRange).empty());
    for (int kelvin = 3500; kelvin <= 20000; kelvin += 1500) {
        float x, y;
        Opsa::KelvinToXY(kelvin, &x, &y);
        EXPECT_NEAR(Opsa::xyToCCT(x, y), kelvin, kelvin * 0.02) << kelvin;
    }
    // Illuminant A lies below the fit's range.
    int a = Opsa::xyToCCT(0.4476f, 0.4074f);
    EXPECT_NEAR(a, 2790, 5);
    auto warned = drainMessages(Opsa::Event::Warning, Opsa::Event::OutOfCalibratedRange);
    ASSERT_EQ(warned.size(), 1u);
    EXPECT_EQ(warned[0],
        "xyToCCT: Conversion only accurate within 3000 to 50000K, result was " + std::to_string(a)
            + " K.\n");
    // Far off the locus the fit has no finite answer; it warns instead of converting one.
    Opsa::xyToCCT(0.1f, 0.1735f);
    Opsa::xyToCCT(0.6f, 0.2f);
    EXPECT_EQ(drainMessages(Opsa::Event::Warning, Opsa::Event::OutOfCalibratedRange).size(), 2u);
}

} // namespace
