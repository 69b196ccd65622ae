// The whole application on the simulated phone at the phone's own pace (the sensor keeps its
// frame times whatever the program does), photographs of 2592 × 1968 in bursts of three:
//   start-up to the first viewfinder frame on the capture screen,
//   shutter press to the result browser shown with the quick preview,
//   shutter press to the HDR JPEG on disk,
//   resident memory with the viewfinder running, and its peak during a merge.
// Each run is a fresh application in a fresh phone root; the medians of the runs are printed.
// The shutter figures include the focus sweep that a full press goes through. Runs share one
// process, so the memory of later runs includes what the allocator kept from earlier ones: the
// first run's figures are those of a fresh start.
//   app_bench [RUNS]          (default 5; Qt's offscreen platform unless a platform is set)

#include "AsyncFuser.h"
#include "CameraWidget.h"
#include "Fuser.h"
#include "FuserWidget.h"
#include "HDRApp.h"
#include "SimPhone.h"
#include "SplashDialog.h"
#include "core/Report"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/utsname.h>
#include <thread>
#include <vector>

namespace {

long residentKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

template <typename F> bool waitFor(F aDone, int aSeconds = 300)
{
    QElapsedTimer timer;
    timer.start();
    while (!aDone()) {
        if (timer.elapsed() > aSeconds * 1000)
            return false;
        QTest::qWait(1);
    }
    return true;
}

struct Run
{
    double startupMs = 0, browserMs = 0, jpegMs = 0;
    double restMb = 0, mergePeakMb = 0;
    bool ok = false;
};

Run runOnce()
{
    Run run;
    Opsa::Sim::SimPhone phone; // the phone's pace, a fresh root
    QElapsedTimer clock;
    clock.start();
    HDRApp app(qApp);
    int frames = 0;
    bool ready = false;
    app.showCamera();
    if (!app.ok)
        return run;
    app.splash->hide();
    QObject::connect(app.cameraThread, &CameraThread::viewfinderFrame, &app, [&] { ++frames; });
    QObject::connect(app.cameraThread, &CameraThread::capturesReady, &app, [&] { ready = true; });
    if (!waitFor([&] { return frames > 0; }))
        return run;
    run.startupMs = double(clock.elapsed());

    // Two seconds of viewfinder: exposures settle, memory is at rest.
    QTest::qWait(2000);
    run.restMb = double(residentKb()) / 1024.0;

    std::atomic<bool> sampling { true };
    std::atomic<long> peakKb { 0 };
    std::thread sampler([&] {
        while (sampling.load()) {
            peakKb.store(std::max(peakKb.load(), residentKb()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    clock.restart();
    phone.kernel().setSwitch(Opsa::Sim::Switch::FocusButton, true);
    phone.kernel().setSwitch(Opsa::Sim::Switch::ShutterButton, true);
    const bool shown = waitFor([&] {
        return ready && app.fuserWidget->isVisible() && app.fuser->lastJob
            && QApplication::activeModalWidget() == nullptr;
    });
    run.browserMs = double(clock.elapsed());
    phone.kernel().setSwitch(Opsa::Sim::Switch::ShutterButton, false);
    phone.kernel().setSwitch(Opsa::Sim::Switch::FocusButton, false);
    const bool written = shown && waitFor([&] {
        return app.fuser->asyncFuser.numJobs() == 0
            && QFileInfo::exists(QString::fromStdString(app.fuser->lastJob->resultPath()));
    });
    run.jpegMs = double(clock.elapsed());
    sampling = false;
    sampler.join();
    run.mergePeakMb = double(peakKb.load()) / 1024.0;
    run.ok = shown && written;
    app.quitApp();
    return run;
}

double median(std::vector<double> aValues)
{
    std::sort(aValues.begin(), aValues.end());
    return aValues[aValues.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QApplication qapp(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    core::setReportSink([](const std::string &) {});

    utsname host;
    uname(&host);
    std::printf("app_bench: the application on the simulated phone, 2592 x 1968 bursts of 3\n"
                "machine: %u cores, %s %s; build: %s; %d runs\n\n",
        std::thread::hardware_concurrency(), host.sysname, host.release, DUSKLINE_BUILD_TYPE, runs);
    std::vector<double> startup, browser, jpeg, rest, peak;
    for (int i = 0; i < runs; ++i) {
        const Run r = runOnce();
        if (!r.ok) {
            std::fprintf(stderr, "app_bench: run %d did not complete\n", i + 1);
            return 1;
        }
        std::printf("run %d: start-up %.0f ms, shutter to browser %.0f ms, shutter to JPEG "
                    "%.0f ms, at rest %.0f MB, merge peak %.0f MB\n",
            i + 1, r.startupMs, r.browserMs, r.jpegMs, r.restMb, r.mergePeakMb);
        std::fflush(stdout);
        startup.push_back(r.startupMs);
        browser.push_back(r.browserMs);
        jpeg.push_back(r.jpegMs);
        rest.push_back(r.restMb);
        peak.push_back(r.mergePeakMb);
    }
    std::printf("\nmedian: start-up to first viewfinder frame %.0f ms\n"
                "        shutter to result browser shown    %.0f ms\n"
                "        shutter to HDR JPEG on disk          %.0f ms\n"
                "        resident memory at rest             %.0f MB\n"
                "        resident memory peak during a merge %.0f MB\n",
        median(startup), median(browser), median(jpeg), median(rest), median(peak));
    return 0;
}
