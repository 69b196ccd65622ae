// The focus lens: its controls and its motion over time.

#include "SimFixture.h"

using namespace simtest;
using namespace Opsa::Ketto;

TEST(SimLens, ConvertsRawUnitsAndDioptersAsTheDriverDoes)
{
    EXPECT_EQ(Opsa::Sim::lensDioptersToRaw(0.0f), 227);
    EXPECT_EQ(Opsa::Sim::lensDioptersToRaw(20.0f), 862);
    EXPECT_FLOAT_EQ(Opsa::Sim::lensRawToDiopters(862), 20.0f);
    EXPECT_FLOAT_EQ(Opsa::Sim::lensRawToDiopters(100), 0.0f);
    EXPECT_FLOAT_EQ(Opsa::Sim::lensRawToDiopters(2000), 20.0f);
}

TEST_F(SimTest, LensMovesAtTheProgrammedSpeed)
{
    ASSERT_EQ(camera->open(), 0);
    ASSERT_EQ(camera->install(), 0);
    ASSERT_EQ(camera->start(320, 240, V4L2_PIX_FMT_UYVY, false), 0);
    std::int32_t v = 0;
    ASSERT_EQ(camera->setControl(KControlFocus, 5000), 0);
    ASSERT_EQ(camera->control(KControlFocus, v), 0);
    EXPECT_EQ(v, 862) << "clamped to the near end";
    ASSERT_EQ(camera->setControl(KControlFocusStepTime, 1), 0);
    ASSERT_EQ(camera->setControl(KControlFocus, 227), 0);
    waitStarts(2, true); // back at infinity

    // The backend's slowest sweep: 9.828 diopters a second, 3205 us per raw unit.
    ASSERT_EQ(camera->setControl(KControlFocusStepTime, 3205), 0);
    const std::uint32_t from = sim().framesStarted();
    ASSERT_EQ(camera->setControl(KControlFocus, 862), 0);
    ASSERT_EQ(camera->control(KControlFocus, v), 0);
    EXPECT_EQ(v, 862) << "reads back the target at once";
    waitStarts(12, true);

    // Each frame's mean position moves on by the speed times the frame time.
    const double perFrame = 33414.0 / 3205 * 0.0315;
    FrameRecord previous;
    ASSERT_TRUE(sim().frame(from + 1, previous));
    for (std::uint32_t n = from + 2; n < from + 10; ++n) {
        FrameRecord r;
        ASSERT_TRUE(sim().frame(n, r));
        EXPECT_NEAR(r.focus - previous.focus, perFrame, perFrame * 0.02) << "frame " << n;
        previous = r;
    }
    EXPECT_LT(previous.focus, 20.0f);
    EXPECT_GT(sim().lensDiopters(), previous.focus - 0.01f);
}
