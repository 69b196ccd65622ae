#include "AsyncFuser.h"

#include "AppTestSupport.h"
#include "support/TestSupport.h"

#include <Opsa/Ketto/PhonePath.h>
#include <QMetaMethod>
#include <gtest/gtest.h>
#include <mutex>

using apptest::LogCapture;

namespace {

class AsyncFuserTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Opsa::Ketto::setPhoneRoot(root.path());
        QObject::connect(
            &fuser, &AsyncFuser::numPending, &fuser,
            [this](int aCount) {
                std::lock_guard<std::mutex> lock(pendingMutex);
                pending.push_back(aCount);
            },
            Qt::DirectConnection);
    }
    void TearDown() override { Opsa::Ketto::setPhoneRoot(std::string()); }

    std::vector<int> pendingValues()
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        return pending;
    }

    static AsyncFuser::JobPtr smallJob()
    {
        return std::make_shared<AsyncFuser::Job>(
            std::vector<Opsa::Frame> {
                apptest::flatYuvFrame(16, 12, 150), apptest::flatYuvFrame(16, 12, 60) },
            false);
    }

    testsupport::TempDir root;
    AsyncFuser fuser;
    std::mutex pendingMutex;
    std::vector<int> pending;
};

} // namespace

TEST_F(AsyncFuserTest, DeclaresItsSignalsInOrder)
{
    const QMetaObject *meta = fuser.metaObject();
    EXPECT_STREQ(meta->className(), "AsyncFuser");
    const int first = meta->methodOffset();
    EXPECT_EQ(meta->method(first).methodSignature(), "percentDone(int)");
    EXPECT_EQ(meta->method(first + 1).methodSignature(), "numPending(int)");
}

TEST_F(AsyncFuserTest, BackToBackJobsShareOneStart)
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

TEST_F(AsyncFuserTest, QueueingWhileAJobRunsDoesNotRestartTheThread)
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

TEST_F(AsyncFuserTest, EmptyQueueAndJobsWithoutFrames)
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
TEST_F(AsyncFuserTest, JobsQueuedAsTheThreadFinishesAreNeverLost)
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
