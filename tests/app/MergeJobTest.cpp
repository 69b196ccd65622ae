#include "AppTestSupport.h"
#include "AsyncFuser.h"
#include "core/FileIO"
#include "support/PhoneAt.h"
#include "support/TestSupport.h"

#include <Opsa/Ketto/Frame.h>
#include <gtest/gtest.h>
#include <libexif/exif-tag.h>
#include <mutex>

using testsupport::TempDir;

namespace {

// A merge thread on a phone whose photo directory is a fresh temporary folder, with the
// progress values and queue lengths it reported (recorded on the thread that emitted them).
class MergeJobTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        auto record = [this](std::vector<int> &aInto) {
            return [this, &aInto](int aValue) {
                {
                    std::lock_guard<std::mutex> lock(progressMutex);
                    aInto.push_back(aValue);
                }
                // Outside the lock: a hook may block until the test thread moves on.
                if (&aInto == &progress && onProgress)
                    onProgress(aValue);
            };
        };
        QObject::connect(
            &fuser, &AsyncFuser::percentDone, &fuser, record(progress), Qt::DirectConnection);
        QObject::connect(
            &fuser, &AsyncFuser::numPending, &fuser, record(pending), Qt::DirectConnection);
    }

    void runJob(const AsyncFuser::JobPtr &aJob)
    {
        fuser.queueJob(aJob);
        fuser.wait();
    }

    std::vector<int> recorded(const std::vector<int> &aValues)
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        return aValues;
    }

    std::string dcim() const { return root.file("home/user/MyDocs/DCIM"); }

    TempDir root;
    testsupport::PhoneAt phone { root.path() };
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

// A real burst end to end, as UYVY frames and as mosaics (whose inputs are never written and
// whose demosaicing loses a border): the exact progress sequence, one photograph, fused between
// the darkest and (for UYVY) the brightest exposure.
TEST_F(MergeJobTest, RealBurstsBecomeOneFusedPhotographEach)
{
    REQUIRE_DATA_FILE("Flowers/Flowers1.jpg");
    const QDateTime when(QDate(2010, 2, 3), QTime(9, 5));
    std::vector<Image<unsigned char>> photos; // capture order: the brightest first
    for (const char *name :
        { "Flowers/Flowers3.jpg", "Flowers/Flowers2.jpg", "Flowers/Flowers1.jpg" })
        photos.emplace_back(testsupport::dataFile(name).c_str(), 0);
    std::vector<AsyncFuser::JobPtr> jobs;
    for (bool raw : { false, true }) {
        std::vector<Opsa::Frame> frames;
        for (const Image<unsigned char> &photo : photos)
            frames.push_back(raw ? apptest::rawFrame(photo) : apptest::yuvFrame(photo));
        jobs.push_back(std::make_shared<AsyncFuser::Job>(frames, raw, when));
        runJob(jobs.back());
        const std::vector<int> steps = raw ? std::vector<int> { 5, 10, 15, 35, 90, 95, 100 }
                                           : std::vector<int> { 5, 10, 15, 35, 95, 100 };
        EXPECT_EQ(recorded(progress), steps);
        progress.clear();
        ASSERT_EQ(jobs.back()->files, std::vector<std::string> { jobs.back()->resultPath() });
        EXPECT_TRUE(jobs.back()->frames.empty());
        Image<unsigned char> result(jobs.back()->resultPath().c_str(), 0);
        ASSERT_EQ(result.width(), raw ? 1080 - 4 : 1080);
        ASSERT_EQ(result.height(), raw ? 720 - 4 : 720);
        EXPECT_GT(meanLuma(result), meanLuma(photos[2]) + 5);
        // The raw pipeline's gamma brightens every tone.
        EXPECT_TRUE(raw || meanLuma(result) < meanLuma(photos[0]) - 5);
    }
    EXPECT_EQ(jobs[0]->resultPath(), dcim() + "/HDR_201023_95.jpg");
}

// The result says when the burst was taken, by which camera and program, and with what exposure
// its reference frame (the last) was taken; the frames' pixels are merged as before.
TEST_F(MergeJobTest, ResultsCarryTheBurstsExif)
{
    auto frame = [](unsigned char aLuma, int aExposure, float aGain) {
        auto body = std::make_shared<Opsa::Ketto::_Frame>();
        body->image = apptest::flatYuvFrame(32, 24, aLuma).image();
        body->exposure = aExposure;
        body->gain = aGain;
        return Opsa::Frame(std::shared_ptr<Opsa::_Frame>(body));
    };
    const QDateTime when(QDate(2010, 2, 3), QTime(9, 5, 7));
    auto job = std::make_shared<AsyncFuser::Job>(
        std::vector<Opsa::Frame> { frame(200, 80000, 4.0f), frame(60, 20000, 2.5f) }, false, when);
    runJob(job);
    const std::string result = job->resultPath();
    EXPECT_EQ(testsupport::exifTag(result, EXIF_TAG_DATE_TIME_ORIGINAL), "2010:02:03 09:05:07");
    EXPECT_EQ(testsupport::exifTag(result, EXIF_TAG_MAKE), "Varnel");
    EXPECT_EQ(testsupport::exifTag(result, EXIF_TAG_MODEL), "Varnel Ketto");
    EXPECT_EQ(testsupport::exifTag(result, EXIF_TAG_SOFTWARE).rfind("Duskline ", 0), 0u);
    EXPECT_EQ(testsupport::exifTag(result, EXIF_TAG_EXPOSURE_TIME), "1/50 sec.");
    EXPECT_EQ(testsupport::exifTag(result, EXIF_TAG_ISO_SPEED_RATINGS), "250");

    // Frames that do not say how they were exposed give no exposure tags.
    job = std::make_shared<AsyncFuser::Job>(
        std::vector<Opsa::Frame> { apptest::flatYuvFrame(32, 24, 90) }, false, when);
    runJob(job);
    EXPECT_EQ(testsupport::exifTag(job->resultPath(), EXIF_TAG_EXPOSURE_TIME), "");
}

TEST_F(MergeJobTest, DeletedBurstStopsAndLeavesNothing)
{
    auto job = std::make_shared<AsyncFuser::Job>(
        std::vector<Opsa::Frame> { apptest::flatYuvFrame(32, 24, 200),
            apptest::flatYuvFrame(32, 24, 120), apptest::flatYuvFrame(32, 24, 40) },
        true);
    onProgress = [weak = std::weak_ptr<AsyncFuser::Job>(job)](int aPercent) {
        if (auto held = weak.lock(); held && aPercent == 10)
            held->deleted = true;
    };
    runJob(job);
    EXPECT_EQ(recorded(progress), (std::vector<int> { 5, 10, 30 }));
    const std::vector<std::string> inputs = { job->inputPath(1), job->inputPath(2) };
    EXPECT_EQ(job->files, inputs);
    EXPECT_EQ(job->frames.size(), 1u); // the third frame was never converted
    for (const std::string &path : inputs)
        EXPECT_TRUE(testsupport::fileExists(path));

    job.reset();
    for (const std::string &path : inputs)
        EXPECT_FALSE(testsupport::fileExists(path));
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
    std::vector<Opsa::Frame> frames { apptest::flatYuvFrame(64, 48, 200),
        apptest::flatYuvFrame(32, 24, 120), apptest::frameOf(Opsa::Image()),
        apptest::flatYuvFrame(64, 48, 60) };
    auto job = std::make_shared<AsyncFuser::Job>(frames, true);
    runJob(job);
    // Two inputs of the reference size were converted and saved, then fused.
    EXPECT_EQ(job->files,
        (std::vector<std::string> { job->inputPath(1), job->inputPath(2), job->resultPath() }));
    EXPECT_EQ(recorded(progress), (std::vector<int> { 5, 10, 15, 20, 40, 95, 100 }));
    EXPECT_EQ(Image<unsigned char>(job->resultPath().c_str(), 0).width(), 64);
}

TEST_F(MergeJobTest, AFailedWriteLeavesNoFileBehind)
{
    // The photo directory cannot be created: a file stands where it should be.
    ASSERT_EQ(system(("mkdir -p " + root.file("home/user/MyDocs")).c_str()), 0);
    testsupport::writeText(dcim(), "not a directory");
    auto job = std::make_shared<AsyncFuser::Job>(
        std::vector<Opsa::Frame> { apptest::flatYuvFrame(32, 24, 90) }, true);
    runJob(job);
    EXPECT_TRUE(job->files.empty());
    EXPECT_EQ(
        testsupport::listDir(root.file("home/user/MyDocs")), std::vector<std::string> { "DCIM" });
}

TEST_F(MergeJobTest, QueueingWhileAJobRunsDoesNotRestartTheThread)
{
    int starts = 0;
    QObject::connect(
        &fuser, &QThread::started, &fuser, [&starts] { ++starts; }, Qt::DirectConnection);
    std::mutex gate;
    gate.lock();
    // Hold the first job inside its pipeline until the second is queued.
    onProgress = [&gate](int aPercent) {
        if (aPercent == 5) {
            gate.lock();
            gate.unlock();
        }
    };
    const std::vector<Opsa::Frame> frames { apptest::flatYuvFrame(16, 12, 150),
        apptest::flatYuvFrame(16, 12, 60) };
    auto first = std::make_shared<AsyncFuser::Job>(frames, false);
    auto second = std::make_shared<AsyncFuser::Job>(frames, false);
    fuser.queueJob(first);
    fuser.queueJob(second);
    EXPECT_EQ(fuser.numJobs(), 2);
    gate.unlock();
    fuser.wait();
    EXPECT_EQ(recorded(pending), (std::vector<int> { 1, 2, 1, 0 }));
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(fuser.numJobs(), 0);
    EXPECT_TRUE(testsupport::fileExists(first->resultPath()));
    EXPECT_TRUE(testsupport::fileExists(second->resultPath()));
}

// A job queued while the thread is finishing its last one is always run: either the running
// loop takes it or the thread starts again (a job without frames is skipped). Run under
// ThreadSanitizer too.
TEST_F(MergeJobTest, JobsQueuedAsTheThreadFinishesAreNeverLost)
{
    // Widen the gap between the loop's last emptiness test and the thread's end.
    QObject::connect(
        &fuser, &AsyncFuser::numPending, &fuser,
        [this](int aCount) {
            if (aCount == 0 && QThread::currentThread() == &fuser)
                QThread::usleep(500);
        },
        Qt::DirectConnection);
    auto empty = std::make_shared<AsyncFuser::Job>(std::vector<Opsa::Frame>(), false);
    fuser.queueJob(empty);
    std::vector<AsyncFuser::JobPtr> jobs;
    for (int i = 0; i < 40; ++i) {
        jobs.push_back(std::make_shared<AsyncFuser::Job>(
            std::vector<Opsa::Frame> { apptest::flatYuvFrame(16, 12, 100) }, false));
        fuser.queueJob(jobs.back());
        // Every other job is queued as soon as the queue is empty, while the thread may still
        // be on its way out.
        for (int wait = 0; i % 2 == 0 && fuser.numJobs() != 0 && wait < 2000; ++wait)
            QThread::usleep(50);
    }
    fuser.wait();
    EXPECT_EQ(fuser.numJobs(), 0);
    for (const AsyncFuser::JobPtr &job : jobs)
        EXPECT_EQ(job->files.size(), 1u);
    EXPECT_EQ(recorded(pending).back(), 0);
    EXPECT_TRUE(empty->files.empty());
}
