#include "Opsa/Ketto/Lens.h"

#include "Ketto/Requests.h"
#include "Opsa/Ketto/Frame.h"
#include "SimCamera.h"

#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

using Opsa::Event;
using Opsa::Ketto::Lens;
using opsatest::drainMessages;

namespace {

using FocusLens = kettotest::SimCamera;

// The last value written to a control.
int lastWrite(Opsa::Sim::SimKernel &aSim, std::uint32_t aId)
{
    int value = -1;
    for (const Opsa::Sim::ControlWrite &write : aSim.controlWrites())
        if (write.id == aId)
            value = write.value;
    return value;
}

TEST_F(FocusLens, ClampsTargetAndSpeedAndRemembersTheRamp)
{
    Lens lens;
    EXPECT_EQ(device->state(), Opsa::Ketto::V4L2Sensor::Idle) << "the lens opens the camera";
    EXPECT_EQ(sim().control(Opsa::Ketto::KControlFocus), Lens::dioptersToRaw(0.0f));

    // Beyond the near end: 20 diopters, at the 100 diopters per second asked for.
    Opsa::Time before = Opsa::Time::now();
    lens.setFocus(25.0f, 100.0f);
    Opsa::Time after = Opsa::Time::now();
    EXPECT_EQ(lastWrite(sim(), Opsa::Ketto::KControlFocusRamp), 0);
    EXPECT_EQ(lastWrite(sim(), Opsa::Ketto::KControlFocusStepTime), 1000000 / 3175);
    EXPECT_EQ(lastWrite(sim(), Opsa::Ketto::KControlFocus), 862);
    EXPECT_TRUE(lens.focusChanging());
    // 20 diopters at (1000000 / 314) x 0.0315 = 100.3 diopters per second: 0.1994 s from the
    // moment the target was written (between before and after), linear on the way.
    EXPECT_EQ(lens.focusAt(after + 200000), 20.0f);
    EXPECT_NEAR(lens.focusAt(after + 50000) - lens.focusAt(after), 50000 * 20.0f / 199409, 1e-3f);
    EXPECT_EQ(lens.focusAt(before - 1), 0.0f);

    // Faster than the lens can go: 630 diopters per second, a step of 50 us per raw unit.
    lens.setFocus(5.0f, 1000.0f);
    EXPECT_EQ(lastWrite(sim(), Opsa::Ketto::KControlFocusStepTime), 50);
    // And slower than it can: 9.828.
    lens.setFocus(5.0f, 1.0f);
    EXPECT_EQ(lastWrite(sim(), Opsa::Ketto::KControlFocusStepTime), 1000000 / 312);
    EXPECT_TRUE(drainMessages(Event::Error, Event::DriverError).empty());
}

TEST_F(FocusLens, KnowsNoPositionBeforeItsHistoryAndForgetsTheOldest)
{
    Opsa::Time start = Opsa::Time::now();
    Lens lens;
    float before = lens.focusAt(start - 1000);
    EXPECT_TRUE(std::isnan(before));
    auto unknown = drainMessages(Event::Error, Event::LensPositionUnknown);
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_EQ(unknown[0].rfind("Lens position at time ", 0), 0u) << unknown[0];
    // Exactly at the end of the last move, and any time after: where it stopped.
    EXPECT_EQ(lens.focusAt(Opsa::Time::now() + 10000000), 0.0f);

    // 512 entries: 256 moves later the construction's ramp is gone.
    Opsa::Time first = Opsa::Time::now();
    for (int i = 0; i < 256; ++i)
        lens.setFocus(float(i % 2), -1.0f);
    EXPECT_TRUE(std::isnan(lens.focusAt(first - 1)));
    EXPECT_EQ(drainMessages(Event::Error, Event::LensPositionUnknown).size(), 1u);
}

// Waits (a bounded while) until the lens has stopped, wherever it started.
void settle(Lens &aLens)
{
    for (int i = 0; i < 200 && aLens.focusChanging(); ++i)
        usleep(5000);
    ASSERT_FALSE(aLens.focusChanging());
}

TEST_F(FocusLens, TagsAFrameExposedDuringAMove)
{
    Lens lens;
    settle(lens);
    Opsa::Time before = Opsa::Time::now();
    lens.setFocus(10.0f, 100.0f);
    Opsa::Time after = Opsa::Time::now();
    auto *body = new Opsa::Ketto::_Frame;
    Opsa::Ketto::Frame frame(body);
    // From before the move started until after it ended (0.1 s at 100 diopters per second).
    body->exposureStartTime = before;
    body->exposureEndTime = after + 300000;
    lens.tagFrame(frame);
    const Opsa::TagMap &tags = frame.tags();
    EXPECT_FLOAT_EQ(tags.at("lens.initialFocus").asFloat(), 0.0f);
    EXPECT_NEAR(tags.at("lens.finalFocus").asFloat(), 10.0f, 0.02f); // raw 544: 9.9855
    EXPECT_NEAR(tags.at("lens.focus").asFloat(), 5.0f, 0.01f);
    EXPECT_GT(tags.at("lens.focusSpeed").asFloat(), 0.0f);
    EXPECT_FLOAT_EQ(tags.at("lens.zoom").asFloat(), 5.2f);
    EXPECT_EQ(tags.at("lens.zoomSpeed").asInt(), 0);
    EXPECT_FLOAT_EQ(tags.at("lens.wideApertureMax").asFloat(), 2.8f);
    EXPECT_EQ(tags.size(), 16u);

    // A frame without an exposure interval saw no motion.
    auto *instant = new Opsa::Ketto::_Frame;
    Opsa::Ketto::Frame still(instant);
    instant->exposureStartTime = instant->exposureEndTime = after + 500000;
    lens.tagFrame(still);
    EXPECT_EQ(still.tags().at("lens.focusSpeed").asFloat(), 0.0f);
    EXPECT_TRUE(drainMessages(Event::Error, Event::LensPositionUnknown).empty());
}

TEST_F(FocusLens, ReportsControlFailuresInItsOwnWords)
{
    Lens lens;
    opsatest::drainEvents();
    sim().failRequest(VIDIOC_S_CTRL, EIO);
    EXPECT_EQ(lens.setControl(Opsa::Ketto::KControlFocus, 300), -1);
    sim().failRequest(VIDIOC_G_CTRL, EINVAL);
    EXPECT_EQ(lens.getControl(Opsa::Ketto::KControlFocus), -1);
    std::vector<Opsa::Event> events = opsatest::drainEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].description,
        "VIDIOC_S_CTRL: " + std::to_string(Opsa::Ketto::KControlFocus) + " = 300, 5");
    EXPECT_EQ(events[1].description,
        "VIDIOC_G_CTRL: " + std::to_string(Opsa::Ketto::KControlFocus) + ", 22");
    for (const Opsa::Event &event : events) {
        EXPECT_EQ(event.data, Event::DriverError);
        EXPECT_EQ(event.creator, &lens);
    }
    // A step time the driver would not take: the move is timed at the speed asked for rather
    // than ending before it began (1 s for 10 diopters at the slowest speed).
    settle(lens);
    sim().failRequest(VIDIOC_S_CTRL, EIO, 2); // the motion mode and the step time
    lens.setFocus(10.0f, 1.0f);
    EXPECT_TRUE(lens.focusChanging());
    EXPECT_EQ(drainMessages(Event::Error, Event::DriverError).size(), 2u);
}

} // namespace
