// The capture daemon and the sensor front end on the simulated phone, in lock-step: the
// simulator stamps every frame start and buffer from its own schedule, so what these tests
// compare (predicted and real times, which frame carried which settings) does not depend on
// how late a thread ran.

#include "Ketto/Daemon.h"

#include "Opsa/Action.h"
#include "Opsa/Ketto/Sensor.h"
#include "SimPhone.h"
#include "opsa/Events.h"
#include "support/SchedulingRecorder.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using Opsa::Event;
using Opsa::Image;
using Opsa::Shot;
using Opsa::Time;
using Opsa::Ketto::Daemon;
using Opsa::Sim::FrameRecord;
using testsupport::SchedulingRecorder;

namespace {

Shot shotOf(int aExposure, float aGain = 1.0f, Opsa::ImageFormat aFormat = Opsa::UYVY,
    unsigned char *aData = Image::DiscardData, int aWidth = 640, int aHeight = 480)
{
    Shot shot;
    shot.image = Image(aWidth, aHeight, aFormat, aData);
    shot.exposure = aExposure;
    shot.gain = aGain;
    return shot;
}

using testsupport::eventually;

// The descriptions of the queued events of one type and code, leaving the others.
std::vector<std::string> takeMessages(int aType, int aCode)
{
    std::vector<std::string> messages;
    for (Event event; Opsa::getNextEvent(&event, aType, aCode);)
        messages.push_back(event.description);
    return messages;
}

class CaptureTest : public testing::Test
{
protected:
    void SetUp() override
    {
        opsatest::drainEvents();
        SchedulingRecorder::clear();
        SchedulingRecorder::setRefusing(false);
        Daemon::setThreadStarter(&SchedulingRecorder::start);
        Opsa::Sim::SimOptions options;
        options.pace = Opsa::Sim::Pace::LockStep;
        options.noise = false;
        options.handShake = false;
        phone = std::make_unique<Opsa::Sim::SimPhone>(options);
        sensor = std::make_unique<Opsa::Ketto::Sensor>();
    }

    void TearDown() override
    {
        sensor.reset();
        Opsa::Ketto::V4L2Sensor::closeAll();
        phone.reset();
        Daemon::setThreadStarter(nullptr);
        SchedulingRecorder::setRefusing(false);
    }

    Opsa::Sim::SimKernel &sim() { return phone->kernel(); }

    // The simulator's record of the frame that was delivered as aFrame.
    bool recordOf(const Opsa::Frame &aFrame, FrameRecord &aRecord)
    {
        for (const FrameRecord &record : sim().frames())
            if (!record.dropped && record.arrival == aFrame.processingDoneTime()) {
                aRecord = record;
                return true;
            }
        return false;
    }

    std::unique_ptr<Opsa::Sim::SimPhone> phone;
    std::unique_ptr<Opsa::Ketto::Sensor> sensor;
};

TEST_F(CaptureTest, FirstRequestIsExposedOnTheThirdFrameOfTheNewMode)
{
    Shot shot = shotOf(12000, 2.0f);
    shot.frameTime = 50000;
    sensor->capture(shot);
    Opsa::Frame frame = sensor->getFrame();
    ASSERT_TRUE(frame.valid());
    EXPECT_EQ(frame.shot().id, shot.id);
    EXPECT_EQ(frame.exposure(), 12000);
    EXPECT_EQ(frame.frameTime(), 50000);
    EXPECT_FLOAT_EQ(frame.gain(), 2.0f);

    // The mode switch at the first tick, the ignored frame start, the frame start at which the
    // settings were written: the frame exposed with them is the stream's third.
    std::vector<FrameRecord> frames = sim().frames();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[2].arrival, frame.processingDoneTime());
    EXPECT_EQ(frames[2].exposure, 12000);
    EXPECT_EQ(frames[2].frameTime, 50000);
    EXPECT_FLOAT_EQ(frames[2].gain, 2.0f);
    // The prediction of the times is the sensor's own timing.
    EXPECT_EQ(frame.exposureStartTime(), frames[2].exposureStart);
    EXPECT_EQ(frame.exposureEndTime(), frames[2].exposureEnd);
    EXPECT_TRUE(opsatest::drainMessages(Event::Error, Event::FrameDataMissing).empty());
    EXPECT_TRUE(takeMessages(Event::Warning, Event::InternalError).empty())
        << "real-time scheduling granted";
}

TEST_F(CaptureTest, BurstComesBackInOrderAndBubblesNeverReachTheApplication)
{
    std::vector<Shot> burst { shotOf(20000), shotOf(10000), shotOf(5000) };
    sensor->capture(burst);
    for (const Shot &shot : burst) {
        Opsa::Frame frame = sensor->getFrame();
        ASSERT_TRUE(frame.valid());
        EXPECT_EQ(frame.shot().id, shot.id);
        EXPECT_EQ(frame.exposure(), shot.exposure);
        FrameRecord record;
        ASSERT_TRUE(recordOf(frame, record));
        EXPECT_EQ(record.exposure, shot.exposure);
    }
    // The sensor goes on streaming bubbles; none of them is delivered or counted.
    ASSERT_TRUE(sim().waitForFrames(sim().framesStarted() + 6, 30000));
    EXPECT_EQ(sensor->framesPending(), 0);
    EXPECT_EQ(sensor->shotsPending(), 0);
}

TEST_F(CaptureTest, SettingsBeyondTheSensorAreLimited)
{
    Shot shot = shotOf(60000);
    shot.frameTime = 0;
    shot.whiteBalance = 30000;
    sensor->capture(shot);
    Opsa::Frame frame = sensor->getFrame();
    ASSERT_TRUE(frame.valid());
    EXPECT_GE(frame.frameTime(), 60400);
    EXPECT_EQ(frame.whiteBalance(), 25000);
    FrameRecord record;
    ASSERT_TRUE(recordOf(frame, record));
    EXPECT_GE(record.frameTime, 60400);
    EXPECT_EQ(record.exposure, 60000);
}

class FrameLimitTest : public CaptureTest, public testing::WithParamInterface<int>
{
};

TEST_P(FrameLimitTest, DropsTheExcessByPolicy)
{
    const int policy = GetParam();
    std::vector<Shot> burst;
    for (int i = 0; i < 6; ++i)
        burst.push_back(shotOf(2000 + 1000 * i));
    sensor->capture(burst);
    ASSERT_TRUE(eventually([&] { return sensor->framesPending() == 6; }));
    opsatest::drainEvents();

    sensor->setDropPolicy(policy, 4);
    std::vector<std::string> warnings = takeMessages(Event::Warning, Event::FrameLimitHit);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(
        warnings[0].rfind("WARNING: frame limit hit (4), silently dropping 2 frames.\n", 0), 0u)
        << warnings[0];
    if (policy != Opsa::Sensor::DropOldest && policy != Opsa::Sensor::DropNewest) {
        EXPECT_EQ(takeMessages(Event::Error, Event::InternalError),
            std::vector<std::string> { "Unknown drop policy! Not dropping frames.\n" });
        EXPECT_EQ(sensor->framesPending(), 6);
        return;
    }
    EXPECT_EQ(sensor->framesPending(), 4);
    EXPECT_EQ(sensor->shotsPending(), 4);

    const size_t first = policy == Opsa::Sensor::DropOldest ? 2 : 0;
    for (size_t i = first; i < first + 4; ++i)
        EXPECT_EQ(sensor->getFrame().shot().id, burst[i].id);
    EXPECT_EQ(sensor->shotsPending(), 0);
}

INSTANTIATE_TEST_SUITE_P(Policies, FrameLimitTest,
    testing::Values(int(Opsa::Sensor::DropNewest), int(Opsa::Sensor::DropOldest), 7));

TEST_F(CaptureTest, StreamThatIsNeverDrainedKeepsAtMostTheLimit)
{
    sensor->setDropPolicy(Opsa::Sensor::DropOldest, 3);
    sensor->stream(shotOf(1000));
    ASSERT_TRUE(sim().waitForFrames(sim().framesStarted() + 12, 30000));
    ASSERT_TRUE(eventually([&] { return sensor->framesPending() == 3; }));
    EXPECT_LE(sensor->framesPending(), 3);
    EXPECT_FALSE(takeMessages(Event::Warning, Event::FrameLimitHit).empty());
    // The limit survives a restart of the daemon.
    sensor->stop();
    EXPECT_EQ(sensor->shotsPending(), 0);
    sensor->stream(shotOf(1000));
    ASSERT_TRUE(sim().waitForFrames(sim().framesStarted() + 12, 30000));
    EXPECT_LE(sensor->framesPending(), 3);
}

TEST_F(CaptureTest, CallerImageTargets)
{
    // The sensor delivers even sizes only: a target of an odd size cannot be filled.
    std::vector<unsigned char> odd(641 * 481 * 2);
    std::vector<unsigned char> exact(640 * 480 * 2, 0);
    std::vector<unsigned char> rgb(640 * 480 * 3);
    std::vector<Shot> burst { shotOf(8000, 1.0f, Opsa::UYVY, odd.data(), 641, 481),
        shotOf(8000, 1.0f, Opsa::UYVY, exact.data()),
        shotOf(8000, 1.0f, Opsa::UYVY, Image::AllocateOnCapture) };
    sensor->capture(burst);

    Opsa::Frame wrongSize = sensor->getFrame();
    EXPECT_FALSE(wrongSize.image().hasData());
    EXPECT_EQ(takeMessages(Event::Error, Event::ImageTargetSizeMismatch),
        std::vector<std::string> { "Requested image size (641 x 481) on an already allocated "
                                   "image does not match actual image size (640 x 480). "
                                   "Dropping image data." });

    // The next request is unaffected.
    Opsa::Frame intoCaller = sensor->getFrame();
    ASSERT_TRUE(intoCaller.image().hasData());
    EXPECT_EQ(intoCaller.image().data(), exact.data());
    EXPECT_TRUE(std::any_of(exact.begin(), exact.end(), [](unsigned char v) { return v != 0; }));

    Opsa::Frame allocated = sensor->getFrame();
    ASSERT_TRUE(allocated.image().hasData());
    EXPECT_EQ(allocated.image().width(), 640);
    EXPECT_EQ(allocated.image().type(), Opsa::UYVY);

    // A format the sensor does not deliver: the device streams UYVY instead.
    sensor->capture(shotOf(8000, 1.0f, Opsa::RGB24, rgb.data()));
    Opsa::Frame wrongFormat = sensor->getFrame();
    EXPECT_FALSE(wrongFormat.image().hasData());
    EXPECT_EQ(takeMessages(Event::Error, Event::ImageTargetFormatMismatch),
        std::vector<std::string> {
            "Requested unsupported image format 0 for an already allocated image." });
}

TEST_F(CaptureTest, ChangingOnlyTheHistogramRegionSwitchesMode)
{
    Shot first = shotOf(10000);
    first.histogram.enabled = true;
    first.histogram.region = Opsa::Rect { 0, 0, 640, 480 };
    Shot second = first;
    second.histogram.region = Opsa::Rect { 160, 120, 320, 240 };
    Shot third = second;
    sensor->capture(std::vector<Shot> { first, second, third });
    for (int i = 0; i < 3; ++i) {
        Opsa::Frame frame = sensor->getFrame();
        ASSERT_TRUE(frame.valid());
        EXPECT_TRUE(frame.histogram().valid()) << "frame " << i;
    }
    // One stream start per region; the third shot rides on the second's mode.
    EXPECT_EQ(sim().isp().histogramConfigs, 2);
}

TEST_F(CaptureTest, DroppedFrameStillYieldsAFrameForItsRequest)
{
    // The second of three requests is exposed on the stream's fourth frame (see the first test).
    sim().dropFrame(3);
    std::vector<Shot> burst;
    for (int i = 0; i < 3; ++i)
        burst.push_back(shotOf(4000, 1.0f, Opsa::UYVY, Image::AllocateOnCapture));
    sensor->capture(burst);
    std::vector<Opsa::Frame> frames;
    for (int i = 0; i < 3; ++i)
        frames.push_back(sensor->getFrame());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(frames[i].shot().id, burst[i].id);
    EXPECT_TRUE(frames[0].image().hasData());
    EXPECT_FALSE(frames[1].image().hasData());
    EXPECT_EQ(frames[1].image().width(), 640);
    EXPECT_TRUE(frames[2].image().hasData());
    EXPECT_EQ(takeMessages(Event::Error, Event::FrameDataMissing).size(), 1u);
}

TEST_F(CaptureTest, StopDrainsRequestsInFlightAndQueued)
{
    std::vector<Shot> burst;
    for (int i = 0; i < 10; ++i)
        burst.push_back(shotOf(3000, 1.0f, Opsa::UYVY, Image::AllocateOnCapture));
    sensor->capture(burst);
    ASSERT_TRUE(sensor->getFrame().valid());
    sensor->stop();
    EXPECT_EQ(sensor->shotsPending(), 0);
    EXPECT_EQ(sensor->framesPending(), 0);

    // A new capture makes a new daemon, which switches mode again.
    const int configs = sim().isp().histogramConfigs;
    Shot again = shotOf(3000);
    again.histogram.enabled = true;
    again.histogram.region = Opsa::Rect { 0, 0, 640, 480 };
    sensor->capture(again);
    Opsa::Frame frame = sensor->getFrame();
    ASSERT_TRUE(frame.valid());
    EXPECT_EQ(frame.shot().id, again.id);
    EXPECT_EQ(sim().isp().histogramConfigs, configs + 1);

    // Streaming, then stop: nothing is left behind either.
    sensor->stream(std::vector<Shot> { shotOf(2000), shotOf(6000) });
    ASSERT_TRUE(sensor->getFrame().valid());
    sensor->stop();
    EXPECT_EQ(sensor->shotsPending(), 0);
    EXPECT_FALSE(sensor->streaming());
}

TEST_F(CaptureTest, StopGivesUpOnADeviceThatNoLongerDelivers)
{
    std::vector<Shot> burst;
    for (int i = 0; i < 4; ++i)
        burst.push_back(shotOf(3000, 1.0f, Opsa::UYVY, Image::AllocateOnCapture));
    sensor->capture(burst);
    ASSERT_TRUE(sensor->getFrame().valid());
    // From now on the sensor still starts frames but no buffer ever comes back.
    const std::uint32_t next = sim().framesStarted();
    for (std::uint32_t sequence = next; sequence < next + 2000; ++sequence)
        sim().dropFrame(sequence);
    sensor->stop();
    EXPECT_EQ(sensor->shotsPending(), 0);
    std::vector<std::string> lost = takeMessages(Event::Error, Event::FrameDataMissing);
    ASSERT_FALSE(lost.empty());
    EXPECT_NE(lost.back().find("while stopping"), std::string::npos) << lost.back();

    // The camera comes back: the next capture works.
    sim().clearFaults();
    Shot again = shotOf(3000);
    sensor->capture(again);
    Opsa::Frame frame = sensor->getFrame();
    ASSERT_TRUE(frame.valid());
    EXPECT_EQ(frame.shot().id, again.id);
}

// Records when (on the phone's clock) each action was performed.
struct FiringLog
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int, Time>> fired;
};

class RecordingAction : public Opsa::Action
{
public:
    RecordingAction(int aTag, int aTime, int aLatency, std::shared_ptr<FiringLog> aLog)
        : tag(aTag)
        , log(std::move(aLog))
    {
        time = aTime;
        latency = aLatency;
    }
    void perform() override
    {
        std::lock_guard<std::mutex> guard(log->mutex);
        log->fired.emplace_back(tag, Opsa::Ketto::phoneTime());
        log->changed.notify_all();
    }
    Opsa::Action *clone() const override { return new RecordingAction(*this); }

private:
    int tag;
    std::shared_ptr<FiringLog> log;
};

TEST_F(CaptureTest, TimedActionsFireOnceInOrderAndNeverEarly)
{
    auto log = std::make_shared<FiringLog>();
    Shot first = shotOf(30000);
    first.addAction(RecordingAction(2, 20000, 0, log));
    first.addAction(RecordingAction(0, 1000, 500, log));
    first.addAction(RecordingAction(1, 12000, 4000, log));
    Shot second = shotOf(30000);
    second.addAction(RecordingAction(3, 0, 0, log));
    sensor->capture(std::vector<Shot> { first, second });
    Opsa::Frame a = sensor->getFrame();
    Opsa::Frame b = sensor->getFrame();

    std::unique_lock<std::mutex> lock(log->mutex);
    ASSERT_TRUE(log->changed.wait_for(
        lock, std::chrono::seconds(30), [&] { return log->fired.size() >= 4; }));
    lock.unlock();
    // Anything more would have been fired by now too: every frame with actions has ended.
    ASSERT_TRUE(sim().waitForFrames(sim().framesStarted() + 3, 30000));
    lock.lock();
    ASSERT_EQ(log->fired.size(), 4u);
    const Time due[4] = { a.exposureStartTime() + 1000 - 500, a.exposureStartTime() + 12000 - 4000,
        a.exposureStartTime() + 20000, b.exposureStartTime() };
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(log->fired[i].first, i);
        EXPECT_GE(log->fired[i].second, due[i]) << "action " << i << " fired early";
    }
}

TEST_F(CaptureTest, AlternatingExposuresEachGetTheirOwnSettings)
{
    // The viewfinder's pattern: a long and a short exposure, here 4x apart in exposure x gain,
    // small enough that the scene's window does not clip.
    Shot longShot = shotOf(2000, 2.0f, Opsa::RAW, Image::AllocateOnCapture);
    Shot shortShot = shotOf(1000, 1.0f, Opsa::RAW, Image::AllocateOnCapture);
    const std::vector<Shot> pattern { longShot, shortShot };
    sensor->stream(pattern);

    auto mean = [](const Image &aImage) {
        double sum = 0;
        const auto *samples = reinterpret_cast<const unsigned short *>(aImage.data());
        const size_t count = size_t(aImage.width()) * size_t(aImage.height());
        for (size_t i = 0; i < count; ++i)
            sum += samples[i];
        return sum / double(count);
    };
    std::vector<double> means;
    for (int i = 0; i < 10; ++i) {
        Opsa::Frame frame = sensor->getFrame();
        ASSERT_TRUE(frame.valid());
        ASSERT_TRUE(frame.image().hasData()) << "frame " << i;
        const Shot &asked = pattern[i % 2];
        EXPECT_EQ(frame.shot().id, asked.id);
        EXPECT_EQ(frame.exposure(), asked.exposure);
        EXPECT_FLOAT_EQ(frame.gain(), asked.gain);
        FrameRecord record;
        ASSERT_TRUE(recordOf(frame, record));
        EXPECT_EQ(record.exposure, asked.exposure);
        EXPECT_FLOAT_EQ(record.gain, asked.gain);
        means.push_back(mean(frame.image()));
    }
    for (int i = 0; i + 1 < 10; i += 2) {
        double ratio = means[i] / means[i + 1];
        EXPECT_GT(ratio, 3.5) << "pair " << i;
        EXPECT_LT(ratio, 4.5) << "pair " << i;
    }
    sensor->stop();
}

// Each thread asks for FIFO scheduling at its priority; refused, it runs at the normal policy
// and one warning says so.
TEST_F(CaptureTest, AsksForRealTimeSchedulingAndCapturesWhenRefused)
{
    SchedulingRecorder::setRefusing(true);
    sensor->capture(std::vector<Shot> { shotOf(5000), shotOf(7000) });
    EXPECT_EQ(sensor->getFrame().exposure(), 5000);
    EXPECT_EQ(sensor->getFrame().exposure(), 7000);
    std::vector<testsupport::ThreadRequest> requests = SchedulingRecorder::requests();
    ASSERT_EQ(requests.size(), 3u);
    const int lowest = sched_get_priority_min(SCHED_FIFO);
    const int expected[3] = { lowest + 1, lowest, sched_get_priority_max(SCHED_FIFO) };
    for (int i = 0; i < 3; ++i) { // setter, handler, action
        EXPECT_EQ(requests[i].policy, SCHED_FIFO);
        EXPECT_EQ(requests[i].inherit, PTHREAD_EXPLICIT_SCHED);
        EXPECT_EQ(requests[i].priority, expected[i]);
    }
    std::vector<Event> warnings;
    for (const Event &event : opsatest::drainEvents())
        if (event.type == Event::Warning && event.data == Event::InternalError)
            warnings.push_back(event);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].creator, sensor.get());
    EXPECT_NE(warnings[0].description.find("Real-time scheduling was refused"), std::string::npos);
}

TEST_F(CaptureTest, CameraHeldElsewhereIsReportedAndNothingHangs)
{
    sim().holdExtension(true);
    sensor->capture(shotOf(5000));
    EXPECT_EQ(takeMessages(Event::Error, Event::CameraInUse),
        std::vector<std::string> { "An Opsa program is already running" });
    EXPECT_FALSE(sensor->getFrame().valid());
    sensor->stop();
    EXPECT_EQ(sensor->shotsPending(), 0);

    sim().holdExtension(false);
    sim().removeExtension(true);
    sensor->capture(shotOf(5000));
    std::vector<std::string> missing = takeMessages(Event::Error, Event::DriverMissing);
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_NE(missing[0].find("Are the Opsa drivers installed?"), std::string::npos);
    sensor->stop();

    sim().removeExtension(false);
    sensor->capture(shotOf(5000));
    EXPECT_TRUE(sensor->getFrame().valid());
}

TEST_F(CaptureTest, FrameBeforeAnyCaptureIsInvalidAtOnce)
{
    EXPECT_FALSE(sensor->getFrame().valid());
    std::vector<Event> events = opsatest::drainEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, Event::NoCaptureRequested);
    EXPECT_EQ(events[0].creator, sensor.get());
    EXPECT_EQ(events[0].description, "Can't request a frame before calling capture or stream\n");
}

} // namespace
