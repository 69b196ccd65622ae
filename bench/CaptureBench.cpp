// From the shutter to the photograph on the simulated phone at its real pace: the shutter
// switch closes, the button listener posts the press, the capture loop plans and submits a
// burst of three 2592 x 1968 photographs and collects them; then, as the application does on
// capturesReady, the camera thread is stopped, the quick preview computed and the burst queued
// for the merge thread, which writes the JPEG. Reports the medians, over several presses, of
// the time from the switch to the burst collected and to the JPEG on disk, for YUV and raw
// bursts. The metering settles on the scene before the first press.
//
//     capture_bench [presses]

#include "BenchSupport.h"
#include "CameraThread.h"
#include "Fuser.h"
#include "SimPhone.h"

#include <QCoreApplication>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point aStart, Clock::time_point aEnd)
{
    return std::chrono::duration<double, std::milli>(aEnd - aStart).count();
}

int countJpegs(const std::string &aDir)
{
    int count = 0;
    if (DIR *dir = opendir(aDir.c_str())) {
        while (dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.rfind("HDR_", 0) == 0 && name.size() > 4
                && name.compare(name.size() - 4, 4, ".jpg") == 0)
                ++count;
        }
        closedir(dir);
    }
    return count;
}

// What the capture loop has signalled, on its own thread.
struct Signals
{
    std::mutex mutex;
    std::condition_variable changed;
    int viewfinder = 0;
    int ready = 0;
    Clock::time_point readyAt;

    template <typename F> bool waitFor(F aDone, int aSeconds)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(aSeconds), aDone);
    }
};

bool runMode(const char *aName, int aFormat, int aPresses)
{
    Opsa::Sim::SimOptions options;
    options.pace = Opsa::Sim::Pace::RealTime;
    Opsa::Sim::SimPhone phone(options);
    Fuser fuser(2592, 1968, aFormat, 3);
    fuser.setThreeShots();
    CameraThread camera(nullptr, &fuser);
    camera.setMessageHook([](const QString &aTitle, const QString &aText) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(aTitle), qPrintable(aText));
    });
    Signals seen;
    QObject::connect(&camera, &CameraThread::viewfinderFrame, [&](int) {
        std::lock_guard<std::mutex> lock(seen.mutex);
        ++seen.viewfinder;
        seen.changed.notify_all();
    });
    QObject::connect(&camera, &CameraThread::capturesReady, [&] {
        std::lock_guard<std::mutex> lock(seen.mutex);
        ++seen.ready;
        seen.readyAt = Clock::now();
        seen.changed.notify_all();
    });
    const std::string photos = phone.path("/home/user/MyDocs/DCIM/");

    std::vector<double> collected, written;
    for (int press = 0; press < aPresses; ++press) {
        if (!camera.initialize())
            return false;
        camera.start(QThread::TimeCriticalPriority);
        // The first time long enough for the bracket to open (some four seconds of viewfinder);
        // the metered exposures stay in the Fuser while the camera is stopped.
        int viewfinderBefore;
        {
            std::lock_guard<std::mutex> lock(seen.mutex);
            viewfinderBefore = seen.viewfinder;
        }
        const int settle = press == 0 ? 200 : 10;
        if (!seen.waitFor([&] { return seen.viewfinder >= viewfinderBefore + settle; }, 120))
            return false;
        const int readyBefore = seen.ready;
        const int jpegsBefore = countJpegs(photos);

        const Clock::time_point pressed = Clock::now();
        phone.kernel().setSwitch(Opsa::Sim::Switch::ShutterButton, true);
        if (!seen.waitFor([&] { return seen.ready > readyBefore; }, 120))
            return false;
        phone.kernel().setSwitch(Opsa::Sim::Switch::ShutterButton, false);
        camera.stop();
        camera.wait();
        fuser.computePreview();
        fuser.queueMergeJob();
        while (fuser.asyncFuser.numJobs() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const Clock::time_point done = Clock::now();
        if (countJpegs(photos) != jpegsBefore + 1)
            return false;
        std::lock_guard<std::mutex> lock(seen.mutex);
        collected.push_back(msSince(pressed, seen.readyAt));
        written.push_back(msSince(pressed, done));
    }
    fuser.asyncFuser.wait();
    std::printf("%-6s  shutter to burst collected %8.0f ms (min %6.0f)   shutter to JPEG on disk "
                "%8.0f ms (min %6.0f)\n",
        aName, bench::median(collected), *std::min_element(collected.begin(), collected.end()),
        bench::median(written), *std::min_element(written.begin(), written.end()));
    return true;
}

void discard(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int presses = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    bench::printHeader("Shutter press to photograph on the simulated phone (real-time pace; "
                       "three photographs of 2592 x 1968 at 250 ms frame time)");
    std::printf(
        "median of %d presses; the merge includes the quick preview computed first\n\n", presses);
    std::fflush(stdout);
    // The loop's and the merge's log lines would drown the table.
    qInstallMessageHandler(&discard);
    const bool yuv = runMode("YUV", Opsa::UYVY, presses);
    const bool raw = runMode("raw", Opsa::RAW, presses);
    if (!yuv || !raw) {
        std::fprintf(stderr, "a press did not end in a photograph\n");
        return 1;
    }
    return 0;
}
