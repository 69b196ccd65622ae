#include "AppFixture.h"

#include "AsyncFuser.h"
#include "CameraWidget.h"
#include "Fuser.h"
#include "FuserWidget.h"
#include "Ketto/Daemon.h"
#include "Ketto/V4L2Sensor.h"
#include "OverlayWidget.h"
#include "SplashDialog.h"
#include "opsa/Events.h"
#include "support/SchedulingRecorder.h"
#include "support/SimCamera.h"

#include <QApplication>
#include <QTest>
#include <QThread>
#include <chrono>
#include <cstdio>

namespace apptest {

bool waitUntil(const std::function<bool()> &aDone, int aSeconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(aSeconds);
    while (!aDone()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        QTest::qWait(5);
    }
    return true;
}

AppLog::AppLog()
{
    current = this;
    previous = qInstallMessageHandler(&AppLog::handle);
}

AppLog::~AppLog()
{
    qInstallMessageHandler(previous);
    current = nullptr;
}

void AppLog::handle(QtMsgType, const QMessageLogContext &, const QString &aMessage)
{
    AppLog *self = current;
    if (!self)
        return;
    // For a person finding out why a test failed: DUSKLINE_TEST_LOG=1 shows the log as it goes.
    static const bool echo = qEnvironmentVariableIsSet("DUSKLINE_TEST_LOG");
    if (echo)
        std::fprintf(stderr, "%s\n", qPrintable(aMessage));
    {
        std::lock_guard<std::mutex> lock(self->mutex);
        self->all.append(aMessage);
    }
    if (self->onLine)
        self->onLine(aMessage);
    if (self->gate)
        self->gate->pass(aMessage);
}

bool AppLog::has(const QString &aText) const
{
    return count(aText) > 0;
}

int AppLog::count(const QString &aText) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return int(all.filter(aText).size());
}

QStringList AppLog::lines() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return all;
}

void MergeGate::close()
{
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
}

void MergeGate::pass(const QString &aLine)
{
    if (QThread::currentThread() != mergeThread.load() || !aLine.startsWith("Starting a "))
        return;
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return !closed; });
}

void MergeGate::open()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = false;
    }
    changed.notify_all();
}

void AppFixture::SetUp()
{
    opsatest::drainEvents();
    Opsa::Ketto::Daemon::setThreadStarter(&testsupport::SchedulingRecorder::start);
    Opsa::Sim::SimOptions options;
    options.pace = Opsa::Sim::Pace::LockStep;
    phone = std::make_unique<Opsa::Sim::SimPhone>(options);
}

void AppFixture::TearDown()
{
    // A test that failed half-way must not leave a merge waiting for ever.
    gate.open();
    app.reset();
    gate.mergeThread = nullptr;
    Opsa::Ketto::V4L2Sensor::closeAll();
    phone.reset();
    Opsa::Ketto::Daemon::setThreadStarter(nullptr);
    opsatest::drainEvents();
}

void AppFixture::makeApp()
{
    app = std::make_unique<HDRApp>(qApp);
    gate.mergeThread = &app->fuser->asyncFuser;
    log.gate = &gate;
    app->fuser->setResLow();
    app->fuser->setThreeShots();
    // Which window is active belongs to the X server, which other test programs share: their
    // windows would take activation from the capture screen and so stop its camera. The screen
    // leaves activation alone while its overlay is disabled; the test of activation enables it.
    app->cameraWidget->overlay->setEnabled(false);
}

void AppFixture::launch()
{
    makeApp();
    app->showCamera();
    ASSERT_TRUE(app->ok);
    ASSERT_NE(app->cameraThread, nullptr);
    app->splash->hide();
    QObject::connect(app->cameraThread, &CameraThread::viewfinderFrame, app.get(),
        [this] { ++viewfinderFrames; });
    QObject::connect(
        app->cameraThread, &CameraThread::capturesReady, app.get(), [this] { ++capturesReady; });
}

bool AppFixture::waitForViewfinder(int aCount)
{
    const int target = viewfinderFrames + aCount;
    return waitUntil([&] { return viewfinderFrames >= target && app->cameraWidget->isVisible(); });
}

void AppFixture::fullPress()
{
    const int seen = log.count(QStringLiteral("Shutter button pressed"));
    sim().setSwitch(Opsa::Sim::Switch::FocusButton, true);
    sim().setSwitch(Opsa::Sim::Switch::ShutterButton, true);
    EXPECT_TRUE(
        waitUntil([&] { return log.count(QStringLiteral("Shutter button pressed")) > seen; }));
    sim().setSwitch(Opsa::Sim::Switch::ShutterButton, false);
    sim().setSwitch(Opsa::Sim::Switch::FocusButton, false);
}

bool AppFixture::captureBurst()
{
    const int before = capturesReady;
    const AsyncFuser::JobPtr previous = app->fuser->lastJob;
    fullPress();
    // The browser is done with the burst once the controller has queued it.
    return waitUntil([&] {
        return capturesReady > before && app->fuserWidget->isVisible()
            && !app->cameraWidget->isVisible() && app->fuser->lastJob
            && app->fuser->lastJob != previous && QApplication::activeModalWidget() == nullptr;
    });
}

bool AppFixture::mergesDone()
{
    return app->fuser->asyncFuser.numJobs() == 0;
}

std::string AppFixture::photoDir() const
{
    return phone->path("/home/user/MyDocs/DCIM/");
}

} // namespace apptest
