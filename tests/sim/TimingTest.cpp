// When frames start and arrive: the schedule the capture daemon's predictions rely on, with
// every time taken from the simulator's schedule so that none depends on a thread's luck.

#include "SimFixture.h"

#include <thread>

using namespace simtest;
using namespace Opsa::Ketto;

TEST_F(SimTest, FrameStartsAreSpacedByTheProgrammedFrameTime)
{
    ASSERT_EQ(camera->open(), 0);
    ASSERT_EQ(camera->install(), 0);
    ASSERT_EQ(camera->setControl(KControlFrameTime, 50000), 0);
    ASSERT_EQ(camera->start(640, 480, V4L2_PIX_FMT_UYVY), 0);

    std::vector<Opsa::Time> starts;
    for (int i = 0; i < 4; ++i)
        starts.push_back(waitStarts(1));
    // Written after frame 3 started: frame 4 is the first to last 40 ms.
    ASSERT_EQ(camera->setControl(KControlFrameTime, 40000), 0);
    for (int i = 0; i < 3; ++i)
        starts.push_back(waitStarts(1));

    const auto records = sim().frames();
    ASSERT_GE(records.size(), starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i)
        EXPECT_EQ(records[i].start, starts[i]) << "a wait returns its frame's scheduled start";
    for (std::size_t i = 1; i < starts.size(); ++i)
        EXPECT_EQ(starts[i] - starts[i - 1], i <= 4 ? 50000 : 40000)
            << "between starts " << i - 1 << " and " << i;
}

TEST_F(SimTest, SettingsWrittenBeforeTheirFrameAreLatchedByIt)
{
    ASSERT_EQ(camera->open(), 0);
    ASSERT_EQ(camera->install(), 0);
    ASSERT_EQ(camera->setControl(KControlExposure, 10000), 0);
    ASSERT_EQ(camera->start(640, 480, V4L2_PIX_FMT_SGRBG10), 0);

    waitStarts(1); // frame 0
    ASSERT_EQ(camera->setControl(KControlExposure, 20000), 0); // before frame 1 starts
    waitStarts(1); // frame 1
    ASSERT_EQ(camera->setControl(KControlGain, 64), 0); // before frame 1's exposure ends
    waitStarts(2);

    FrameRecord f0, f1;
    ASSERT_TRUE(sim().frame(0, f0));
    ASSERT_TRUE(sim().frame(1, f1));
    EXPECT_EQ(f0.exposure, 10000);
    EXPECT_FLOAT_EQ(f0.gain, 1.0f);
    EXPECT_EQ(f1.exposure, 20000);
    EXPECT_FLOAT_EQ(f1.gain, 2.0f);
    EXPECT_EQ(f1.exposureStart, f1.start + (f1.frameTime - f1.exposure));
}

struct ModeCase
{
    int width, height;
    std::uint32_t format;
    int readout, processing, shortestFrame;
};

class SimModeTest : public SimTest, public ::testing::WithParamInterface<ModeCase>
{
};

TEST_P(SimModeTest, BuffersArriveWhenTheDaemonsModelPredicts)
{
    const ModeCase m = GetParam();
    ASSERT_EQ(camera->open(), 0);
    ASSERT_EQ(camera->install(), 0);
    ASSERT_EQ(camera->start(m.width, m.height, m.format), 0);
    EXPECT_EQ(camera->width(), m.width);
    EXPECT_EQ(camera->height(), m.height);
    const Opsa::Time first = waitStarts(1);
    waitStarts(4);

    for (std::uint32_t expected = 0; expected < 2; ++expected) {
        CameraClient::Frame f;
        ASSERT_EQ(camera->dequeue(f), 0) << std::strerror(errno);
        EXPECT_EQ(f.sequence, expected);
        EXPECT_EQ(f.bytes, std::uint32_t(m.width * m.height * 2));
        FrameRecord r;
        ASSERT_TRUE(sim().frame(f.sequence, r));
        EXPECT_EQ(r.frameTime, m.shortestFrame);
        if (expected == 0) {
            EXPECT_EQ(r.start, first);
        }
        // The daemon: arrival = start + readout + frame time + processing.
        EXPECT_EQ(f.timestamp - r.start, m.readout + r.frameTime + m.processing);
        EXPECT_EQ(r.arrival, f.timestamp);

        // Statistics are stamped at the daemon's exposure end: start + frame time + readout.
        CameraClient::Stats s;
        ASSERT_EQ(camera->histogram(std::uint16_t(f.sequence), s), 0) << std::strerror(errno);
        EXPECT_EQ(s.frameNumber, f.sequence);
        EXPECT_EQ(s.stamp - r.start, r.frameTime + m.readout);
        EXPECT_EQ(s.stamp, r.exposureEnd);
        ASSERT_EQ(camera->requeue(f), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SimModeTest,
    ::testing::Values(ModeCase { 640, 480, V4L2_PIX_FMT_UYVY, 33000, 10000, 33414 },
        ModeCase { 1296, 984, V4L2_PIX_FMT_SGRBG10, 33000, 0, 33414 },
        ModeCase { 1600, 1200, V4L2_PIX_FMT_UYVY, 76000, 65000, 77000 }));

TEST_F(SimTest, StatisticsAnswerForTheFrameAskedFor)
{
    ASSERT_EQ(camera->open(), 0);
    ASSERT_EQ(camera->install(), 0);
    sim().withholdStatistics(3);
    sim().shiftStatistics(4, -5000);
    ASSERT_EQ(camera->start(640, 480, V4L2_PIX_FMT_UYVY), 0);
    CameraClient::Stats s;
    EXPECT_EQ(camera->histogram(KNewestFrame, s), -1);
    EXPECT_EQ(errno, EBUSY) << "nothing measured yet";
    waitStarts(8);

    FrameRecord r2;
    ASSERT_TRUE(sim().frame(2, r2));
    ASSERT_EQ(camera->histogram(2, s), 0);
    EXPECT_EQ(s.stamp, r2.exposureEnd);
    ASSERT_EQ(camera->sharpness(2, s), 0);
    EXPECT_EQ(s.stamp, r2.exposureEnd);
    EXPECT_EQ(s.cells.size(), std::size_t(KAfStatisticsBytes));
    EXPECT_EQ(s.lensPosition, 227u) << "the lens rests at infinity";

    EXPECT_EQ(camera->histogram(3, s), -1) << "withheld";
    FrameRecord r4;
    ASSERT_TRUE(sim().frame(4, r4));
    ASSERT_EQ(camera->histogram(4, s), 0);
    EXPECT_EQ(s.stamp - r4.exposureEnd, -5000);
    EXPECT_EQ(camera->histogram(200, s), -1);
    EXPECT_EQ(errno, EBUSY) << "a frame still to come";

    ASSERT_EQ(camera->histogram(KNewestFrame, s), 0);
    EXPECT_GE(s.frameNumber, 4);
    EXPECT_EQ(s.frameNumber, s.currentFrame);
    EXPECT_LE(s.stamp, sim().now());
}

TEST_F(SimTest, FramesAreDroppedOrLateOnlyOnDemand)
{
    sim().dropFrame(2);
    sim().delayFrame(4, 30000);
    ASSERT_EQ(camera->open(), 0);
    ASSERT_EQ(camera->start(640, 480, V4L2_PIX_FMT_UYVY, false), 0);
    // A slow reader loses nothing in lock-step: the sensor waits for buffers.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<std::uint32_t> seen;
    for (int i = 0; i < 12; ++i) {
        CameraClient::Frame f;
        ASSERT_EQ(camera->dequeue(f), 0);
        seen.push_back(f.sequence);
        FrameRecord r;
        ASSERT_TRUE(sim().frame(f.sequence, r));
        const int late = f.sequence == 4 ? 30000 : 0;
        EXPECT_EQ(f.timestamp - r.start, r.frameTime + 33000 + 10000 + late);
        ASSERT_EQ(camera->requeue(f), 0);
    }
    const std::vector<std::uint32_t> expected { 0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 };
    EXPECT_EQ(seen, expected);
    FrameRecord r2;
    ASSERT_TRUE(sim().frame(2, r2));
    EXPECT_TRUE(r2.dropped);
}

TEST_F(SimTest, RunsOnTheTimeOfDayWhenNotInLockStep)
{
    SimOptions options;
    options.pace = Opsa::Sim::Pace::RealTime;
    makePhone(options);
    ASSERT_EQ(camera->open(), 0);
    ASSERT_EQ(camera->install(), 0);
    ASSERT_EQ(camera->start(320, 240, V4L2_PIX_FMT_UYVY, false), 0);
    // Nobody waits for frame starts, yet frames come.
    EXPECT_TRUE(sim().waitForFrames(3, 20000));
    const auto records = sim().frames();
    EXPECT_EQ(records[1].start - records[0].start, 33414);
    EXPECT_LE(records[0].start, sim().now());
}

TEST_F(SimTest, FramesGoOnWhenTheExtensionsHolderIsBusyElsewhere)
{
    // As the capture daemon's setter is while the pipeline drains for a mode switch: it holds
    // the extension but does not wait for frame starts. Frames slow down but keep their
    // schedule.
    SimOptions options = lockStep();
    options.lockStepWaitMs = 50;
    makePhone(options);
    ASSERT_EQ(camera->open(), 0);
    ASSERT_EQ(camera->install(), 0);
    ASSERT_EQ(camera->start(320, 240, V4L2_PIX_FMT_UYVY, false), 0);
    CameraClient::Frame f;
    ASSERT_EQ(camera->dequeue(f), 0);
    EXPECT_EQ(f.sequence, 0u);
    const auto records = sim().frames();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[1].start - records[0].start, records[0].frameTime);
}
