#include "ScriptedCapture.h"

#include "Fuser.h"
#include "HDRApp.h"
#include "SimKernel.h"

#include <QFileInfo>
#include <QTimer>
#include <cstdio>

using Opsa::Sim::Switch;

ScriptedCapture::ScriptedCapture(
    HDRApp *aApp, Opsa::Sim::SimKernel &aSim, int aTimeLimitMs, QObject *aParent)
    : QObject(aParent)
    , app(aApp)
    , sim(aSim)
{
    deadline = new QTimer(this);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, &ScriptedCapture::onTimeout);
    deadline->start(aTimeLimitMs);
    connect(app->cameraThread, &CameraThread::viewfinderFrame, this,
        &ScriptedCapture::onViewfinderFrame);
    connect(
        app->cameraThread, &CameraThread::capturesReady, this, &ScriptedCapture::onCapturesReady);
    connect(
        app->cameraThread, &CameraThread::captureFailed, this, &ScriptedCapture::onCaptureFailed);
    connect(&app->fuser->asyncFuser, &AsyncFuser::numPending, this, &ScriptedCapture::onPending);
    std::printf("Waiting for the viewfinder to settle...\n");
    std::fflush(stdout);
}

void ScriptedCapture::onViewfinderFrame()
{
    if (pressed || result >= 0)
        return;
    ++frames;
    if (frames == KSettleFrames) {
        std::printf("Half press: focusing\n");
        std::fflush(stdout);
        sim.setSwitch(Switch::FocusButton, true);
    } else if (frames == KSettleFrames + KFocusFrames) {
        std::printf("Full press: taking the burst\n");
        std::fflush(stdout);
        sim.setSwitch(Switch::ShutterButton, true);
        pressed = true;
    }
}

void ScriptedCapture::onCapturesReady()
{
    if (captured || result >= 0)
        return;
    captured = true;
    sim.setSwitch(Switch::ShutterButton, false);
    sim.setSwitch(Switch::FocusButton, false);
    std::printf("Burst captured; merging it into an HDR photograph...\n");
    std::fflush(stdout);
}

void ScriptedCapture::onCaptureFailed(const QString &aMessage)
{
    std::fprintf(stderr, "duskline: %s\n", qPrintable(aMessage));
    finish(1);
}

void ScriptedCapture::onPending(int aCount)
{
    // The controller queues the burst as a job after the browser has shown it; 0 pending then
    // means that job has been merged.
    if (!captured || aCount != 0 || result >= 0 || !app->fuser->lastJob)
        return;
    const QString path = QString::fromStdString(app->fuser->lastJob->resultPath());
    if (!QFileInfo(path).isFile()) {
        std::fprintf(stderr, "duskline: the merge ended without writing %s\n", qPrintable(path));
        finish(1);
        return;
    }
    photo = path;
    std::printf("The HDR photograph is at %s\n", qPrintable(path));
    std::fflush(stdout);
    finish(0);
}

void ScriptedCapture::onTimeout()
{
    std::fprintf(stderr, "duskline: no HDR photograph after %d s\n", deadline->interval() / 1000);
    finish(1);
}

void ScriptedCapture::finish(int aStatus)
{
    result = aStatus;
    deadline->stop();
    sim.setSwitch(Switch::ShutterButton, false);
    sim.setSwitch(Switch::FocusButton, false);
    // Later, from the event loop: quitting waits for the camera thread, which may be about to
    // deliver the signal that brought us here.
    QTimer::singleShot(0, app, &HDRApp::quitApp);
}
