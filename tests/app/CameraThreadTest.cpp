// The capture loop on the simulated phone in lock-step: buttons are pressed through the phone's
// switch files, and what the loop did is read back from the simulator's record of the frames
// it took, from the Fuser, and from the loop's log. Every wait is for a condition with a
// deadline far beyond any scheduling delay; nothing depends on how fast a thread ran.
//
// TODO: the running-loop tests are disabled until the loop receives viewfinder frames on the
// simulated phone here (they time out waiting for the first one).

#include "CameraThread.h"

#include "AppTestSupport.h"
#include "Fuser.h"
#include "Ketto/Daemon.h"
#include "Ketto/V4L2Sensor.h"
#include "SimPhone.h"
#include "core/FileIO"
#include "opsa/Events.h"
#include "support/SchedulingRecorder.h"
#include "support/SimCamera.h"
#include "support/TestSupport.h"

#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using Opsa::Sim::FrameRecord;
using Opsa::Sim::SimPhone;
using Opsa::Sim::Switch;

namespace {

using testsupport::eventually;

// The application's log lines, from whichever thread wrote them.
class LogRecorder
{
public:
    LogRecorder()
    {
        current = this;
        previous = qInstallMessageHandler(&LogRecorder::handle);
    }
    ~LogRecorder()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }
    bool has(const std::string &aText) const
    {
        std::lock_guard<std::mutex> guard(mutex);
        return std::any_of(lines.begin(), lines.end(),
            [&](const std::string &l) { return l.find(aText) != std::string::npos; });
    }
    int count(const std::string &aText) const
    {
        std::lock_guard<std::mutex> guard(mutex);
        return int(std::count_if(lines.begin(), lines.end(),
            [&](const std::string &l) { return l.find(aText) != std::string::npos; }));
    }
    std::vector<std::string> all() const
    {
        std::lock_guard<std::mutex> guard(mutex);
        return lines;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext &, const QString &aMessage)
    {
        if (LogRecorder *self = current) {
            std::lock_guard<std::mutex> guard(self->mutex);
            self->lines.push_back(aMessage.toStdString());
        }
    }
    static inline LogRecorder *current = nullptr;
    QtMessageHandler previous = nullptr;
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

// Counts the loop's signals as they are emitted (a direct connection: on the capture thread).
struct SignalCounts
{
    std::mutex mutex;
    int ready = 0;
    int viewfinder = 0;
    std::vector<QString> failures;
    std::function<void(int)> onViewfinder;

    void connect(CameraThread &aThread)
    {
        QObject::connect(&aThread, &CameraThread::capturesReady, [this] {
            std::lock_guard<std::mutex> guard(mutex);
            ++ready;
        });
        QObject::connect(&aThread, &CameraThread::viewfinderFrame, [this](int aId) {
            if (onViewfinder)
                onViewfinder(aId);
            std::lock_guard<std::mutex> guard(mutex);
            ++viewfinder;
        });
        QObject::connect(&aThread, &CameraThread::captureFailed, [this](const QString &aText) {
            std::lock_guard<std::mutex> guard(mutex);
            failures.push_back(aText);
        });
    }
    int readyCount()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return ready;
    }
    std::vector<QString> failureTexts()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return failures;
    }
    int viewfinderCount()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return viewfinder;
    }
};

// A frame taken at a burst's frame time (the viewfinder's are far shorter). The frames that
// follow a burst before the viewfinder's settings are back may carry it too.
bool isBurstRecord(const FrameRecord &aRecord)
{
    return aRecord.frameTime >= CameraThread::KBurstFrameTime;
}

// Lines of a burst's plan in the log: one per photograph submitted.
int plannedShots(const LogRecorder &aLog)
{
    return aLog.count("exp=");
}

class CameraThreadTest : public testing::Test
{
protected:
    void SetUp() override
    {
        opsatest::drainEvents();
        Opsa::Ketto::Daemon::setThreadStarter(&testsupport::SchedulingRecorder::start);
        Opsa::Sim::SimOptions options;
        options.pace = Opsa::Sim::Pace::LockStep;
        phone = std::make_unique<SimPhone>(options);
        fuser = std::make_unique<Fuser>(640, 480, Opsa::UYVY, 3);
    }
    void TearDown() override
    {
        if (HasFailure()) {
            const auto lines = log.all();
            for (std::size_t i = lines.size() > 80 ? lines.size() - 80 : 0; i < lines.size(); ++i)
                std::fprintf(stderr, "log: %s\n", lines[i].c_str());
        }
        thread.reset();
        fuser.reset();
        Opsa::Ketto::V4L2Sensor::closeAll();
        phone.reset();
        Opsa::Ketto::Daemon::setThreadStarter(nullptr);
        opsatest::drainEvents();
    }

    // Builds, initialises and starts the loop; false when initialisation failed.
    bool startLoop()
    {
        thread = std::make_unique<CameraThread>(nullptr, fuser.get());
        thread->setMessageHook([this](const QString &aTitle, const QString &aText) {
            shown.push_back(aTitle.toStdString() + ": " + aText.toStdString());
        });
        counts.connect(*thread);
        if (!thread->initialize())
            return false;
        thread->start(QThread::TimeCriticalPriority);
        return true;
    }

    // Sets a switch and waits until the loop has taken the change: the listener reads the
    // switch's state when woken, so a press released before it looks would go unseen, as a
    // too-short press does on the phone.
    bool setSwitch(Switch aSwitch, bool aOn)
    {
        static const std::map<Switch, std::pair<const char *, const char *>> texts = {
            { Switch::ShutterButton, { "Shutter button pressed", "Shutter button released" } },
            { Switch::FocusButton, { "Focus button pressed", "Focus button released" } },
            { Switch::LensCover, { "Lens cover opened", "Lens cover closed" } },
            { Switch::KeyboardSlide, { "Keyboard slide opened", "Keyboard slide closed" } },
        };
        const auto &text = texts.at(aSwitch);
        const std::string seen = aOn ? text.first : text.second;
        const int before = log.count(seen);
        sim().setSwitch(aSwitch, aOn);
        return eventually([&] { return log.count(seen) > before; });
    }

    bool press(Switch aSwitch) { return setSwitch(aSwitch, true) && setSwitch(aSwitch, false); }

    // The simulator's records of the frames delivered as aFrames (matched by arrival time).
    std::vector<FrameRecord> recordsOf(const std::vector<Opsa::Frame> &aFrames)
    {
        std::vector<FrameRecord> matched;
        const auto all = sim().frames();
        for (const Opsa::Frame &frame : aFrames)
            for (const FrameRecord &r : all)
                if (!r.dropped && r.arrival == frame.processingDoneTime())
                    matched.push_back(r);
        return matched;
    }

    std::vector<FrameRecord> burstRecords()
    {
        std::vector<FrameRecord> burst;
        for (const FrameRecord &r : sim().frames())
            if (isBurstRecord(r))
                burst.push_back(r);
        return burst;
    }

    Opsa::Sim::SimKernel &sim() { return phone->kernel(); }
    std::size_t burstSize()
    {
        std::lock_guard<std::mutex> lock(fuser->stateMutex);
        return fuser->burstShots.size();
    }

    LogRecorder log;
    std::unique_ptr<SimPhone> phone;
    std::unique_ptr<Fuser> fuser;
    std::unique_ptr<CameraThread> thread;
    SignalCounts counts;
    std::vector<std::string> shown;
};

TEST_F(CameraThreadTest, DriverErrorsAtStartAreShownAndKeepTheLoopFromStarting)
{
    struct Case
    {
        void (*fault)(Opsa::Sim::SimKernel &);
        const char *text;
    };
    const Case cases[] = {
        { [](Opsa::Sim::SimKernel &k) { k.removeExtension(true); },
            "Opsa driver error: Phone must be rebooted once after Opsa drivers\nare installed "
            "before using this application." },
        { [](Opsa::Sim::SimKernel &k) { k.holdExtension(true); },
            "Opsa driver error: Camera driver locked.\nIs another application using the camera?" },
        { [](Opsa::Sim::SimKernel &k) { k.failOpen("/dev/video0", EACCES, -1); },
            "Opsa driver error: Internal camera driver error." },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        TearDown();
        SetUp();
        shown.clear();
        c.fault(sim());
        EXPECT_FALSE(startLoop());
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0], c.text);
    }
    // A warning shares the error codes (real-time scheduling refused is InternalError) but
    // leaves the camera working: it is passed on and the loop starts.
    TearDown();
    SetUp();
    shown.clear();
    Opsa::warning(Opsa::Event::InternalError, "Real-time scheduling was refused");
    thread = std::make_unique<CameraThread>(nullptr, fuser.get());
    QStringList warnings;
    QObject::connect(thread.get(), &CameraThread::cameraWarning,
        [&warnings](const QString &aText) { warnings << aText; });
    EXPECT_TRUE(thread->initialize());
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(warnings, QStringList { "Real-time scheduling was refused" });
}

// Another instance holds the camera: this one says so and leaves the stock camera alone.
TEST_F(CameraThreadTest, SecondInstanceIsToldTheCameraIsInUse)
{
    const int other = ::open(phone->path("/tmp/opsa.lock").c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(startLoop());
    ::close(other);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0],
        "Opsa driver error: Camera driver locked.\nIs another application using the camera?");
    EXPECT_TRUE(phone->stockCameraLog().empty());
    EXPECT_TRUE(phone->stockCameraRunning());
}

TEST_F(CameraThreadTest, ShutterDuringAFocusSweepCapturesOnceTheLensHasSettled)
{
    ASSERT_TRUE(startLoop());
    ASSERT_TRUE(eventually([&] { return counts.viewfinderCount() > 0; }));
    // Switches the loop has no use for are logged and change nothing.
    ASSERT_TRUE(press(Switch::KeyboardSlide));
    ASSERT_TRUE(eventually([&] { return log.has("Keyboard slide closed"); }));

    // Half press and full press together: the burst must wait for the sweep.
    ASSERT_TRUE(setSwitch(Switch::FocusButton, true));
    ASSERT_TRUE(setSwitch(Switch::ShutterButton, true));
    ASSERT_TRUE(eventually([&] { return counts.readyCount() == 1; }));
    ASSERT_TRUE(setSwitch(Switch::ShutterButton, false));
    ASSERT_TRUE(setSwitch(Switch::FocusButton, false));

    const auto frames = fuser->collectedFrames();
    ASSERT_EQ(frames.size(), burstSize());
    EXPECT_EQ(plannedShots(log), int(frames.size())) << "captured more than once";
    const auto burst = recordsOf(frames);
    ASSERT_EQ(burst.size(), frames.size());
    // Every photograph was exposed with the lens at rest on the main object.
    for (const FrameRecord &r : burst) {
        EXPECT_NEAR(r.focus, sim().mainObjectDiopters(), 0.5f) << "frame " << r.sequence;
        EXPECT_NEAR(r.focus, burst.front().focus, 0.05f) << "the lens moved during the burst";
    }
}

TEST_F(CameraThreadTest, HalfPressFocusesTheLensOnTheMainObject)
{
    ASSERT_TRUE(startLoop());
    ASSERT_TRUE(eventually([&] { return counts.viewfinderCount() > 0; }));
    ASSERT_TRUE(press(Switch::FocusButton));
    // Focused: the lens stays on one position for a good many frames (the newest record is
    // of a frame still being exposed, whose focus is not known yet).
    std::vector<float> focus;
    ASSERT_TRUE(eventually([&] {
        const auto frames = sim().frames();
        if (frames.size() < 40)
            return false;
        focus.clear();
        for (std::size_t i = frames.size() - 16; i + 1 < frames.size(); ++i)
            focus.push_back(frames[i].focus);
        const auto [low, high] = std::minmax_element(focus.begin(), focus.end());
        return *low > 0.2f && *high - *low < 0.02f;
    }));
    EXPECT_NEAR(focus.back(), sim().mainObjectDiopters(), 0.5f);
}

TEST_F(CameraThreadTest, ShutterIsRefusedWhileTwoMergesArePendingAndTakenAfterwards)
{
    // The merge thread is held inside its first job until released.
    std::mutex gate;
    std::condition_variable opened;
    bool open = false;
    QObject::connect(&fuser->asyncFuser, &AsyncFuser::percentDone, [&](int) {
        std::unique_lock<std::mutex> lock(gate);
        opened.wait(lock, [&] { return open; });
    });
    auto release = [&] {
        std::lock_guard<std::mutex> lock(gate);
        open = true;
        opened.notify_all();
    };
    struct Release
    {
        std::function<void()> f;
        ~Release() { f(); }
    } releaseOnExit { release };

    {
        std::lock_guard<std::mutex> lock(fuser->stateMutex);
        fuser->frames = { apptest::flatYuvFrame(64, 48, 100) };
    }
    fuser->queueMergeJob();
    fuser->queueMergeJob();
    ASSERT_EQ(fuser->asyncFuser.numJobs(), 2);

    ASSERT_TRUE(startLoop());
    ASSERT_TRUE(press(Switch::ShutterButton));
    ASSERT_TRUE(eventually(
        [&] { return log.has(">>>Already two jobs executing, can't start a new one!"); }));
    EXPECT_TRUE(burstRecords().empty());

    release();
    ASSERT_TRUE(eventually([&] { return fuser->asyncFuser.numJobs() == 0; }));
    ASSERT_TRUE(press(Switch::ShutterButton));
    ASSERT_TRUE(eventually([&] { return counts.readyCount() == 1; }));
    EXPECT_EQ(fuser->collectedFrames().size(), burstSize());
}

TEST_F(CameraThreadTest, DroppedPhotographRetakesTheWholeBurstWithTwiceTheFrameTime)
{
    fuser->setThreeShots();
    ASSERT_TRUE(startLoop());
    ASSERT_TRUE(eventually([&] { return counts.viewfinderCount() > 0; }));
    // The second photograph of the first attempt is lost.
    // (The rule runs on the simulator's thread until the phone goes: it keeps its own count.)
    sim().dropFramesWhere([atBurstFrameTime = 0](const FrameRecord &aRecord) mutable {
        return aRecord.frameTime == CameraThread::KBurstFrameTime && ++atBurstFrameTime == 2;
    });
    ASSERT_TRUE(press(Switch::ShutterButton));
    ASSERT_TRUE(eventually([&] { return counts.readyCount() >= 1; }));
    EXPECT_EQ(log.count("!!!Photo dropped, restarting capture with longer FrameTimes"), 1);
    // The whole burst again: three photographs planned for each attempt.
    EXPECT_EQ(plannedShots(log), 6);
    const auto frames = fuser->collectedFrames();
    ASSERT_EQ(frames.size(), 3u);
    for (const Opsa::Frame &frame : frames)
        EXPECT_EQ(frame.frameTime(), 2 * CameraThread::KBurstFrameTime);
    const auto retaken = recordsOf(frames);
    ASSERT_EQ(retaken.size(), 3u);
    for (const FrameRecord &r : retaken)
        EXPECT_EQ(r.frameTime, 2 * CameraThread::KBurstFrameTime);
    // The broken attempt's last photograph did not pass for a finished burst.
    EXPECT_EQ(counts.readyCount(), 1);
    EXPECT_TRUE(counts.failureTexts().empty());
}

TEST_F(CameraThreadTest, BurstThatKeepsDroppingIsGivenUpAfterTheLongestFrameTime)
{
    fuser->setTwoShots();
    ASSERT_TRUE(startLoop());
    ASSERT_TRUE(eventually([&] { return counts.viewfinderCount() > 0; }));
    // The first photograph of every attempt is lost: the first frame at each new burst frame
    // time.
    sim().dropFramesWhere([previousFrameTime = 0](const FrameRecord &aRecord) mutable {
        const bool first = aRecord.frameTime != previousFrameTime;
        previousFrameTime = aRecord.frameTime;
        return first && aRecord.frameTime >= CameraThread::KBurstFrameTime;
    });
    ASSERT_TRUE(press(Switch::ShutterButton));
    ASSERT_TRUE(eventually([&] { return !counts.failureTexts().empty(); }, 120));
    const auto failures = counts.failureTexts();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_FALSE(failures[0].isEmpty());
    EXPECT_EQ(counts.readyCount(), 0);
    EXPECT_TRUE(fuser->collectedFrames().empty());
    // 250 000, 500 000, 1 000 000 and 2 000 000 us, and then no more attempts.
    EXPECT_EQ(log.count("!!!Photo dropped, restarting capture with longer FrameTimes"), 4);
    EXPECT_EQ(plannedShots(log), 4 * 2);
    int longest = 0;
    for (const FrameRecord &r : sim().frames())
        longest = std::max(longest, r.frameTime);
    EXPECT_EQ(longest, 8 * CameraThread::KBurstFrameTime);

    // A new press starts again from the shortest frame time.
    sim().clearFaults();
    ASSERT_TRUE(press(Switch::ShutterButton));
    ASSERT_TRUE(eventually([&] { return counts.readyCount() == 1; }, 120));
    for (const Opsa::Frame &frame : fuser->collectedFrames())
        EXPECT_EQ(frame.frameTime(), CameraThread::KBurstFrameTime);
}

TEST_F(CameraThreadTest, StopEndsTheLoopAfterTheFrameItWaitsForAndStopsTheStream)
{
    ASSERT_TRUE(startLoop());
    ASSERT_TRUE(eventually([&] { return counts.viewfinderCount() > 2; }));
    thread->stop();
    ASSERT_TRUE(thread->wait(QDeadlineTimer(60000)));
    const auto lines = log.all();
    const auto stopping = std::find_if(lines.begin(), lines.end(),
        [](const std::string &l) { return l.find("Stopping!") != std::string::npos; });
    ASSERT_NE(stopping, lines.end());
    EXPECT_NE(std::find_if(stopping, lines.end(),
                  [](const std::string &l) {
                      return l.find("Asking sensor to stop streaming") != std::string::npos;
                  }),
        lines.end());
}

} // namespace

namespace {

// A region of a picture in fractions of its size.
struct Region
{
    double u0, v0, u1, v1;
};
// The sky in the window, and the room's poster and wall beside it (away from the lamp).
const Region KSky { 0.64, 0.13, 0.76, 0.30 };
const Region KRoom { 0.30, 0.30, 0.60, 0.75 };

// Luma samples of a region: aLuma(x, y) for a aWidth × aHeight picture.
template <typename F>
std::vector<int> lumaOf(const Region &aRegion, int aWidth, int aHeight, F aLuma)
{
    std::vector<int> values;
    for (int y = int(aRegion.v0 * aHeight); y < int(aRegion.v1 * aHeight); ++y)
        for (int x = int(aRegion.u0 * aWidth); x < int(aRegion.u1 * aWidth); ++x)
            values.push_back(aLuma(x, y));
    return values;
}

std::vector<int> uyvyLuma(const Region &aRegion, const Opsa::Image &aImage)
{
    const unsigned char *data = aImage.data();
    const int stride = aImage.bytesPerRow();
    return lumaOf(aRegion, aImage.width(), aImage.height(),
        [&](int x, int y) { return int(data[std::size_t(y) * stride + 2 * x + 1]); });
}

double clippedShare(const std::vector<int> &aLuma)
{
    return double(std::count_if(aLuma.begin(), aLuma.end(), [](int v) { return v >= 250; }))
        / double(std::max<std::size_t>(1, aLuma.size()));
}

int median(std::vector<int> aLuma)
{
    if (aLuma.empty())
        return -1;
    std::nth_element(aLuma.begin(), aLuma.begin() + aLuma.size() / 2, aLuma.end());
    return aLuma[aLuma.size() / 2];
}

} // namespace

TEST_F(CameraThreadTest, ViewfinderExposuresSettleAndHoldTheWindowAndTheRoom)
{
    struct Sample
    {
        float stops;
        int which;
        double skyClipped;
        int roomMedian;
    };
    std::mutex samplesMutex;
    std::vector<Sample> samples;
    counts.onViewfinder = [&](int aId) {
        const std::vector<Opsa::Shot> shots = fuser->viewfinderSnapshot();
        const int which = aId == shots[1].id ? 1 : 0;
        Opsa::Image image = shots[std::size_t(which)].image;
        Sample sample { Fuser::bracketStops(shots), which, -1.0, -1 };
        // The daemon writes the next frame into the same memory under the image's lock.
        if (image.lock(1000000)) {
            sample.skyClipped = clippedShare(uyvyLuma(KSky, image));
            sample.roomMedian = median(uyvyLuma(KRoom, image));
            image.unlock();
        }
        std::lock_guard<std::mutex> guard(samplesMutex);
        samples.push_back(sample);
    };
    ASSERT_TRUE(startLoop());
    // The metering moves each end by a few per cent a frame: from the start-up exposures it
    // takes some four seconds of viewfinder (about 125 frames) to open the six stops this
    // scene asks for.
    const std::size_t total = 240;
    ASSERT_TRUE(eventually(
        [&] {
            std::lock_guard<std::mutex> guard(samplesMutex);
            return samples.size() >= total;
        },
        600));
    thread->stop();
    thread->wait();

    std::lock_guard<std::mutex> guard(samplesMutex);
    std::string series;
    for (std::size_t i = 0; i < total; ++i)
        series += std::to_string(samples[i].stops).substr(0, 4) + " ";
    SCOPED_TRACE("bracket per viewfinder frame: " + series);
    // Settled: from this frame on the bracket stays within a band of half a stop.
    std::size_t settled = total;
    float low = samples[total - 1].stops, high = low;
    while (settled > 0) {
        const float next = samples[settled - 1].stops;
        if (std::max(high, next) - std::min(low, next) > 0.5f)
            break;
        low = std::min(low, next);
        high = std::max(high, next);
        --settled;
    }
    EXPECT_LE(settled, 180u) << "the bracket did not settle";
    EXPECT_GT(low, 3.0f) << "the room and its window need a wide bracket";
    // On the settled frames the short exposure keeps the sky, the long one the room's mid-tones.
    int shortFrames = 0, longFrames = 0;
    for (std::size_t i = settled; i < total; ++i) {
        const Sample &s = samples[i];
        if (s.roomMedian < 0)
            continue; // the data went while this test held the picture
        if (s.which == 1) {
            ++shortFrames;
            EXPECT_LT(s.skyClipped, 0.02) << "viewfinder frame " << i;
        } else {
            ++longFrames;
            EXPECT_GE(s.roomMedian, 64) << "viewfinder frame " << i;
            EXPECT_LE(s.roomMedian, 216) << "viewfinder frame " << i;
        }
    }
    EXPECT_GT(shortFrames, 10);
    EXPECT_GT(longFrames, 10);
}

TEST_F(CameraThreadTest, FullPressEndsAsAnHdrPhotographHoldingTheWindowAndTheRoom)
{
    ASSERT_TRUE(startLoop());
    // Let the metering settle on the scene first (see the test above).
    ASSERT_TRUE(eventually([&] { return counts.viewfinderCount() >= 200; }, 600));
    ASSERT_TRUE(press(Switch::ShutterButton));
    ASSERT_TRUE(eventually([&] { return counts.readyCount() == 1; }, 120));
    // As the application does on capturesReady: stop the camera, then queue the burst.
    thread->stop();
    ASSERT_TRUE(thread->wait(QDeadlineTimer(60000)));
    const std::vector<Opsa::Frame> frames = fuser->collectedFrames();
    ASSERT_GE(frames.size(), 2u) << "the scene needs a bracket";
    fuser->queueMergeJob();
    ASSERT_TRUE(eventually([&] { return fuser->asyncFuser.numJobs() == 0; }, 600));

    const std::string dir = phone->path("/home/user/MyDocs/DCIM/");
    std::string result;
    for (const std::string &name : testsupport::listDir(dir))
        if (name.rfind("HDR_", 0) == 0 && name.size() > 4
            && name.compare(name.size() - 4, 4, ".jpg") == 0)
            result = dir + name;
    ASSERT_FALSE(result.empty()) << "no HDR_*.jpg in " << dir;
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<unsigned char[]> ycc(
        FileIO::readJpeg(result.c_str(), 1, width, height, channels));
    ASSERT_TRUE(ycc) << result;
    auto resultLuma = [&](const Region &aRegion) {
        return lumaOf(aRegion, width, height,
            [&](int x, int y) { return int(ycc[(std::size_t(y) * width + x) * channels]); });
    };

    const Opsa::Image &longest = frames.front().image();
    const Opsa::Image &shortest = frames.back().image();
    const double longSky = clippedShare(uyvyLuma(KSky, longest));
    const double shortSky = clippedShare(uyvyLuma(KSky, shortest));
    const double resultSky = clippedShare(resultLuma(KSky));
    const int longRoom = median(uyvyLuma(KRoom, longest));
    const int shortRoom = median(uyvyLuma(KRoom, shortest));
    const int resultRoom = median(resultLuma(KRoom));
    SCOPED_TRACE(testing::Message() << "sky clipped: long " << longSky << " short " << shortSky
                                    << " result " << resultSky << "; room median: long " << longRoom
                                    << " short " << shortRoom << " result " << resultRoom);
    // No single photograph holds both: the long one loses the sky, the short one the room.
    ASSERT_GT(longSky, 0.5);
    ASSERT_LT(shortRoom, longRoom - 40);
    // The merge keeps the sky as the short photograph does and lifts the room well out of it.
    EXPECT_LT(resultSky, 0.5 * longSky);
    EXPECT_GT(resultRoom, shortRoom + (longRoom - shortRoom) / 3);
}
