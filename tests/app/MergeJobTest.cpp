#include "AppTestSupport.h"
#include "AsyncFuser.h"
#include "core/FileIO"
#include "support/TestSupport.h"

#include <Opsa/Ketto/PhonePath.h>
#include <QMetaMethod>
#include <gtest/gtest.h>
#include <mutex>

using apptest::LogCapture;
using testsupport::TempDir;

namespace {

// A merge thread on a phone whose photo directory is a fresh temporary folder, with the
// progress values and queue lengths it reported (recorded on the thread that emitted them).
class MergeJobTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Opsa::Ketto::setPhoneRoot(root.path());
        QObject::connect(
            &fuser, &AsyncFuser::percentDone, &fuser,
            [this](int aPercent) {
                std::lock_guard<std::mutex> lock(progressMutex);
                progress.push_back(aPercent);
                if (onProgress)
                    onProgress(aPercent);
            },
            Qt::DirectConnection);
        QObject::connect(
            &fuser, &AsyncFuser::numPending, &fuser,
            [this](int aCount) {
                std::lock_guard<std::mutex> lock(progressMutex);
                pending.push_back(aCount);
            },
            Qt::DirectConnection);
    }
    void TearDown() override { Opsa::Ketto::setPhoneRoot(std::string()); }

    void runJob(const AsyncFuser::JobPtr &aJob)
    {
        fuser.queueJob(aJob);
        fuser.wait();
    }

    std::vector<int> progressValues()
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        return progress;
    }

    std::vector<int> pendingValues()
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        return pending;
    }

    static AsyncFuser::JobPtr smallJob()
    {
        return std::make_shared<AsyncFuser::Job>(
            std::vector<Opsa::Frame> {
                apptest::flatYuvFrame(16, 12, 150), apptest::flatYuvFrame(16, 12, 60) },
            false);
    }

    static std::vector<Opsa::Frame> sceneFrames(const char *aScene, bool aRaw)
    {
        // Capture order is long to short exposure: the brightest photograph first.
        std::vector<Opsa::Frame> frames;
        for (int i = 3; i >= 1; --i) {
            std::string path = testsupport::dataFile(
                std::string(aScene) + "/" + aScene + std::to_string(i) + ".jpg");
            Image<unsigned char> rgb(path.c_str(), 0);
            frames.push_back(aRaw ? apptest::rawFrame(rgb) : apptest::yuvFrame(rgb));
        }
        return frames;
    }

    std::string dcim() const { return root.file("home/user/MyDocs/DCIM"); }

    TempDir root;
    AsyncFuser fuser;
    std::mutex progressMutex;
    std::vector<int> progress;
    std::vector<int> pending;
    std::function<void(int)> onProgress;
};

double meanLuma(const Image<unsigned char> &aImage)
{
    double sum = 0;
    for (int y = 0; y < aImage.height(); ++y)
        for (int x = 0; x < aImage.width(); ++x)
            sum += 0.299 * aImage(x, y, 0) + 0.587 * aImage(x, y, 1) + 0.114 * aImage(x, y, 2);
    return sum / (double(aImage.width()) * aImage.height());
}

} // namespace

TEST_F(MergeJobTest, YuvBurstOfARealSceneBecomesOneFusedPhotograph)
{
    REQUIRE_SHARED_DATA();
    LogCapture log;
    const QDateTime when(QDate(2010, 2, 3), QTime(9, 5));
    auto job = std::make_shared<AsyncFuser::Job>(sceneFrames("Flowers", false), false, when);
    EXPECT_EQ(job->resultPath(), dcim() + "/HDR_201023_95.jpg");
    runJob(job);

    EXPECT_EQ(progressValues(), (std::vector<int> { 5, 10, 15, 35, 95, 100 }));
    ASSERT_EQ(job->files, std::vector<std::string> { job->resultPath() });
    EXPECT_TRUE(job->frames.empty());
    Image<unsigned char> result(job->resultPath().c_str(), 0);
    ASSERT_EQ(result.width(), 1080);
    ASSERT_EQ(result.height(), 720);
    // The fusion sits between the darkest and the brightest exposure.
    Image<unsigned char> dark(testsupport::dataFile("Flowers/Flowers1.jpg").c_str(), 0);
    Image<unsigned char> bright(testsupport::dataFile("Flowers/Flowers3.jpg").c_str(), 0);
    EXPECT_GT(meanLuma(result), meanLuma(dark) + 5);
    EXPECT_LT(meanLuma(result), meanLuma(bright) - 5);
    for (const char *line : { "Starting a yuv job", "Time to convert the images ",
             "Time to register ", "Time to fuse ", "TOTAL TIME FOR YUV PROCESSING " })
        EXPECT_TRUE(log.contains(line)) << line;
}

TEST_F(MergeJobTest, SavedInputsAreNamedInConversionOrder)
{
    Image<unsigned char> a(64, 48, 3), b(64, 48, 3);
    for (int i = 0; i < 64 * 48 * 3; ++i) {
        a.data()[i] = static_cast<unsigned char>(i % 200);
        b.data()[i] = static_cast<unsigned char>(50 + i % 150);
    }
    auto job = std::make_shared<AsyncFuser::Job>(
        std::vector<Opsa::Frame> { apptest::yuvFrame(a), apptest::yuvFrame(b) }, true);
    runJob(job);
    ASSERT_EQ(job->files,
        (std::vector<std::string> { job->inputPath(1), job->inputPath(2), job->resultPath() }));
    // Input 1 is the last frame of the burst.
    Image<unsigned char> input1(job->inputPath(1).c_str(), 0);
    ASSERT_FALSE(input1.empty());
    EXPECT_NEAR(input1(10, 10, 0), 50 + (10 * 64 + 10) * 3 % 150, 12);
    EXPECT_EQ(progressValues(), (std::vector<int> { 5, 10, 30, 95, 100 }));
}

TEST_F(MergeJobTest, RawBurstIsPackedFusedAndDemosaiced)
{
    REQUIRE_SHARED_DATA();
    LogCapture log;
    auto job = std::make_shared<AsyncFuser::Job>(sceneFrames("SeaRock", true), true);
    runJob(job);
    EXPECT_EQ(progressValues(), (std::vector<int> { 5, 10, 15, 35, 90, 95, 100 }));
    // Raw inputs are never written.
    ASSERT_EQ(job->files, std::vector<std::string> { job->resultPath() });
    Image<unsigned char> result(job->resultPath().c_str(), 0);
    EXPECT_EQ(result.width(), 1080 - 4);
    EXPECT_EQ(result.height(), 720 - 4);
    EXPECT_TRUE(log.contains("TOTAL TIME FOR RAW PROCESING: "));
}

TEST_F(MergeJobTest, DeletedBurstStopsAndLeavesNothing)
{
    LogCapture log;
    std::vector<Opsa::Frame> frames;
    for (unsigned char luma : { 200, 120, 40 })
        frames.push_back(apptest::flatYuvFrame(32, 24, luma));
    auto job = std::make_shared<AsyncFuser::Job>(frames, true);
    std::weak_ptr<AsyncFuser::Job> weak = job;
    onProgress = [weak](int aPercent) {
        std::shared_ptr<AsyncFuser::Job> held = weak.lock();
        if (aPercent == 10 && held)
            held->deleted = true;
    };
    runJob(job);
    EXPECT_EQ(progressValues(), (std::vector<int> { 5, 10, 30 }));
    const std::vector<std::string> inputs = { job->inputPath(1), job->inputPath(2) };
    EXPECT_EQ(job->files, inputs);
    EXPECT_EQ(job->frames.size(), 1u); // the third frame was never converted
    for (const std::string &path : inputs)
        EXPECT_TRUE(testsupport::fileExists(path));

    job.reset();
    for (const std::string &path : inputs) {
        EXPECT_FALSE(testsupport::fileExists(path));
        EXPECT_EQ(log.count("Deleting  \"" + path + "\""), 1) << path;
    }
    EXPECT_EQ(log.count("Job destructor"), 1);
}

TEST_F(MergeJobTest, BurstsNeverShareFileNames)
{
    // The date part has no zero padding: 1 November and 11 January give the same name.
    const QDateTime november(QDate(2010, 11, 1), QTime(9, 5));
    const QDateTime january(QDate(2010, 1, 11), QTime(9, 5));
    EXPECT_EQ(AsyncFuser::baseNameFor(november), AsyncFuser::baseNameFor(january));

    std::vector<Opsa::Frame> frames { apptest::flatYuvFrame(32, 24, 90) };
    auto first = std::make_shared<AsyncFuser::Job>(frames, false, november);
    auto second = std::make_shared<AsyncFuser::Job>(frames, false, january);
    EXPECT_NE(first->base(), second->base());
    EXPECT_EQ(second->base(), first->base() + "_2");
    runJob(first);
    runJob(second);
    ASSERT_TRUE(testsupport::fileExists(first->resultPath()));
    ASSERT_TRUE(testsupport::fileExists(second->resultPath()));

    // Deleting one burst removes only its own photograph.
    second->deleted = true;
    std::string secondPath = second->resultPath();
    second.reset();
    EXPECT_FALSE(testsupport::fileExists(secondPath));
    EXPECT_TRUE(testsupport::fileExists(first->resultPath()));

    // A photograph already on disk keeps its name after its job is gone.
    std::string firstPath = first->resultPath();
    first.reset();
    auto third = std::make_shared<AsyncFuser::Job>(frames, false, november);
    EXPECT_NE(third->resultPath(), firstPath);
}

TEST_F(MergeJobTest, FramesThatDoNotMatchTheBurstAreLeftOut)
{
    LogCapture log;
    std::vector<Opsa::Frame> frames { apptest::flatYuvFrame(64, 48, 200),
        apptest::flatYuvFrame(32, 24, 120), apptest::emptyFrame(),
        apptest::flatYuvFrame(64, 48, 60) };
    auto job = std::make_shared<AsyncFuser::Job>(frames, true);
    runJob(job);
    // Two inputs of the reference size were converted and saved, then fused.
    EXPECT_EQ(job->files,
        (std::vector<std::string> { job->inputPath(1), job->inputPath(2), job->resultPath() }));
    EXPECT_TRUE(log.contains("Skipping a frame of 32 x 24 in a burst of 64 x 48"));
    Image<unsigned char> result(job->resultPath().c_str(), 0);
    EXPECT_EQ(result.width(), 64);
}

TEST_F(MergeJobTest, AFailedWriteLeavesNoFileBehind)
{
    // The photo directory cannot be created: a file stands where it should be.
    ASSERT_EQ(system(("mkdir -p " + root.file("home/user/MyDocs")).c_str()), 0);
    testsupport::writeText(dcim(), "not a directory");
    LogCapture log;
    auto job = std::make_shared<AsyncFuser::Job>(
        std::vector<Opsa::Frame> { apptest::flatYuvFrame(32, 24, 90) }, true);
    runJob(job);
    EXPECT_TRUE(job->files.empty());
    EXPECT_TRUE(log.contains("Could not write"));
    EXPECT_EQ(
        testsupport::listDir(root.file("home/user/MyDocs")), std::vector<std::string> { "DCIM" });
}

TEST_F(MergeJobTest, DeclaresItsSignalsInOrder)
{
    const QMetaObject *meta = fuser.metaObject();
    EXPECT_STREQ(meta->className(), "AsyncFuser");
    const int first = meta->methodOffset();
    EXPECT_EQ(meta->method(first).methodSignature(), "percentDone(int)");
    EXPECT_EQ(meta->method(first + 1).methodSignature(), "numPending(int)");
}

TEST_F(MergeJobTest, BackToBackJobsShareOneStart)
{
    LogCapture log;
    AsyncFuser::JobPtr first = smallJob(), second = smallJob();
    fuser.queueJob(first);
    fuser.queueJob(second);
    fuser.wait();
    // Unless the first job finished before the second was queued, the counts are 1, 2, 1, 0.
    std::vector<int> counts = pendingValues();
    if (log.count("STARTING ASYNC THREAD") == 1) {
        EXPECT_EQ(counts, (std::vector<int> { 1, 2, 1, 0 }));
        EXPECT_EQ(log.count("Priority:  2"), 1);
    } else {
        EXPECT_EQ(counts, (std::vector<int> { 1, 0, 1, 0 }));
    }
    EXPECT_EQ(log.count("Starting a yuv job"), 2);
    EXPECT_EQ(fuser.numJobs(), 0);
    EXPECT_TRUE(testsupport::fileExists(first->resultPath()));
    EXPECT_TRUE(testsupport::fileExists(second->resultPath()));
}

TEST_F(MergeJobTest, QueueingWhileAJobRunsDoesNotRestartTheThread)
{
    LogCapture log;
    std::mutex gate;
    gate.lock();
    // Hold the first job inside its pipeline until the second is queued.
    QObject::connect(
        &fuser, &AsyncFuser::percentDone, &fuser,
        [&gate](int aPercent) {
            if (aPercent == 5) {
                gate.lock();
                gate.unlock();
            }
        },
        Qt::DirectConnection);
    AsyncFuser::JobPtr first = smallJob();
    fuser.queueJob(first);
    fuser.queueJob(smallJob());
    EXPECT_EQ(fuser.numJobs(), 2);
    gate.unlock();
    fuser.wait();
    EXPECT_EQ(pendingValues(), (std::vector<int> { 1, 2, 1, 0 }));
    EXPECT_EQ(log.count("STARTING ASYNC THREAD"), 1);
}

TEST_F(MergeJobTest, EmptyQueueAndJobsWithoutFrames)
{
    LogCapture log;
    fuser.start(QThread::LowPriority);
    fuser.wait();
    EXPECT_EQ(log.count("Priority:  2"), 1);
    EXPECT_EQ(log.count("No more jobs in queue"), 1);

    auto empty = std::make_shared<AsyncFuser::Job>(std::vector<Opsa::Frame>(), false);
    fuser.queueJob(empty);
    fuser.wait();
    EXPECT_EQ(log.count("Starting a yuv job"), 0);
    EXPECT_TRUE(empty->files.empty());
    EXPECT_EQ(pendingValues(), (std::vector<int> { 1, 0 }));
}

// A job queued while the thread is finishing its last one is always run: either the running
// loop takes it or the thread starts again. Run under ThreadSanitizer too.
TEST_F(MergeJobTest, JobsQueuedAsTheThreadFinishesAreNeverLost)
{
    LogCapture log;
    const int rounds = 40;
    for (int i = 0; i < rounds; ++i) {
        fuser.queueJob(std::make_shared<AsyncFuser::Job>(
            std::vector<Opsa::Frame> { apptest::flatYuvFrame(16, 12, 100) }, false));
        if (i % 3 == 0)
            QThread::usleep(200 * (i % 7));
    }
    fuser.wait();
    EXPECT_EQ(fuser.numJobs(), 0);
    EXPECT_EQ(log.count("Starting a yuv job"), rounds);
    EXPECT_EQ(pendingValues().back(), 0);
}
