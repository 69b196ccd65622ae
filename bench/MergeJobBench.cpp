// A merge job end to end: three 2592 × 1968 UYVY frames in memory to a JPEG on disk.

#include "AppTestSupport.h"
#include "AsyncFuser.h"
#include "BenchSupport.h"

#include "support/PhoneAt.h"
#include <QCoreApplication>
#include <cstdlib>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The job's log lines would drown the table.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    bench::printHeader("Merge job: 3 x 2592x1968 UYVY frames to a JPEG on disk");
    std::vector<Image<unsigned char>> burst = bench::kebunBurst(2592, 1968);
    if (burst.empty())
        return 1;
    char root[] = "/tmp/duskline-bench-XXXXXX";
    if (!mkdtemp(root))
        return 1;
    testsupport::PhoneAt phone(root);

    std::vector<Opsa::Frame> frames;
    AsyncFuser::JobPtr job;
    AsyncFuser fuser;
    // Frames are made before the clock starts: the camera delivers them in memory.
    auto setup = [&] {
        frames.clear();
        for (int i = 2; i >= 0; --i) // capture order: long exposure first
            frames.push_back(apptest::yuvFrame(burst[i]));
        job = std::make_shared<AsyncFuser::Job>(frames, false);
        frames.clear();
        job->deleted = false;
    };
    auto run = [&] {
        fuser.queueJob(job);
        fuser.wait();
        std::remove(job->resultPath().c_str());
        job.reset();
    };
    bench::printResult("YUV job, 3 x 2592x1968", bench::measure(5, setup, run));
    std::string cleanup = std::string("rm -rf ") + root;
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
