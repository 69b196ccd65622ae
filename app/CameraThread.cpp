#include "CameraThread.h"

#include <Opsa/AutoFocus.h>
#include <Opsa/Event.h>
#include <Opsa/WhiteBalance.h>
#include <QDebug>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const char *const KDriverErrorTitle = "Opsa driver error";

bool focusAllowsCapture(const Opsa::AutoFocus &aFocus)
{
    return aFocus.state() == Opsa::AutoFocus::Idle || aFocus.state() == Opsa::AutoFocus::Focused;
}

} // namespace

CameraThread::~CameraThread()
{
    stop();
    wait();
}

void CameraThread::showError(const char *aText)
{
    if (messageHook)
        messageHook(QString::fromLatin1(KDriverErrorTitle), QString::fromLatin1(aText));
    else
        qDebug() << KDriverErrorTitle << aText;
}

bool CameraThread::initialize()
{
    sensor.stream(fuser->viewfinderSnapshot());
    for (Opsa::Event event; Opsa::getNextEvent(&event);) {
        qDebug() << event.description.c_str();
        // A warning (real-time scheduling refused, say) shares its codes with the errors but
        // leaves the camera working: the person is told, the camera starts.
        if (event.type == Opsa::Event::Warning) {
            emit cameraWarning(QString::fromStdString(event.description).trimmed());
            continue;
        }
        if (event.type != Opsa::Event::Error)
            continue;
        switch (event.data) {
        case Opsa::Event::DriverMissing:
            showError("Phone must be rebooted once after Opsa drivers\nare installed before using "
                      "this application.");
            return false;
        case Opsa::Event::CameraInUse:
            showError("Camera driver locked.\nIs another application using the camera?");
            return false;
        case Opsa::Event::InternalError:
        case Opsa::Event::DriverError:
            showError("Internal camera driver error.");
            return false;
        default:
            break;
        }
    }
    keepRunning.store(true);
    return true;
}

void CameraThread::stop()
{
    qDebug() << "Stopping!\n";
    keepRunning.store(false);
}

void CameraThread::run()
{
    qDebug() << "Starting";
    capturePending = false;
    focusHeld = false;
    shutterHeld = false;
    // Focus on what the picture is pointed at: the middle third of the viewfinder. Measured
    // over the whole frame, the sweep would stop at the first depth with much detail, which in
    // a room is usually the far wall rather than the subject.
    const int vfWidth = fuser->viewfinderWidth, vfHeight = fuser->viewfinderHeight;
    Opsa::AutoFocus autoFocus(&lens, vfWidth / 3, vfHeight / 3, vfWidth / 3, vfHeight / 3);
    int burstFrameTime = KBurstFrameTime;

    // The viewfinder shots keep their ids for the Fuser's lifetime.
    const std::vector<Opsa::Shot> viewfinder = fuser->viewfinderSnapshot();
    const int longId = viewfinder.at(0).id;
    const int shortId = viewfinder.at(1).id;
    // The burst in flight: the ids of the shots submitted, and whether one of them was dropped
    // (the rest of that attempt is then of no use).
    std::vector<int> burstIds;
    bool burstBroken = false;

    while (keepRunning.load()) {
        for (Opsa::Event event; Opsa::getNextEvent(&event);) {
            qDebug() << event.description.c_str();
            switch (event.type) {
            case Opsa::Event::FocusButtonPressed:
                if (focusAllowsCapture(autoFocus))
                    autoFocus.startSweep();
                focusHeld = true;
                break;
            case Opsa::Event::FocusButtonReleased:
                focusHeld = false;
                break;
            case Opsa::Event::ShutterButtonPressed:
                burstFrameTime = KBurstFrameTime;
                shutterHeld = true;
                capturePending = true;
                break;
            case Opsa::Event::ShutterButtonReleased:
                shutterHeld = false;
                break;
            default:
                break;
            }
        }

        // A burst waits while a focus sweep runs.
        if (capturePending && focusAllowsCapture(autoFocus)) {
            if (fuser->asyncFuser.numJobs() < 2) {
                const std::vector<Opsa::Shot> burst = fuser->planBurst(burstFrameTime);
                burstIds.clear();
                for (std::size_t i = 0; i < burst.size(); ++i) {
                    qDebug() << "Shot " << i << " exp=" << burst[i].exposure
                             << " gain=" << burst[i].gain;
                    burstIds.push_back(burst[i].id);
                }
                burstBroken = false;
                sensor.capture(burst);
            } else {
                qDebug() << ">>>Already two jobs executing, can't start a new one!";
            }
            capturePending = false;
        }

        bool lastWasViewfinder = false;
        int s = 0;
        do {
            Opsa::Frame frame = sensor.getFrame();
            if (!frame.valid()) {
                // The sensor has nothing to give (its daemon could not start; the error is on
                // the event queue): look again shortly rather than spin.
                QThread::msleep(100);
                lastWasViewfinder = false;
                break;
            }
            s = frame.shot().id;
            const int which = s == shortId ? 1 : (s == longId ? 0 : -1);
            if (which >= 0) {
                autoFocus.update(frame);
                bool automatic;
                {
                    std::lock_guard<std::mutex> lock(fuser->stateMutex);
                    Opsa::autoWhiteBalance(
                        &fuser->viewfinderShots[std::size_t(which)], frame, 3200, 7000, 0.5f);
                    automatic = std::all_of(fuser->expComp.begin(), fuser->expComp.end(),
                        [](float aFactor) { return aFactor == 1.0f; });
                }
                if (automatic)
                    fuser->meterViewfinder(
                        fuser->viewfinderShots, frame, which, 33333, 32.0f, 125000, 0.5f);
                else
                    fuser->applyExposureCompensation(fuser->viewfinderShots);
                sensor.stream(fuser->viewfinderSnapshot());
                lastWasViewfinder = true;
                continue;
            }

            lastWasViewfinder = false;
            const auto at = std::find(burstIds.begin(), burstIds.end(), s);
            if (at == burstIds.end() || burstBroken)
                continue; // a frame of nothing known, or of an attempt already given up
            const unsigned char *data = frame.image().data();
            if (data == Opsa::Image::DiscardData || data == Opsa::Image::AllocateOnCapture) {
                qDebug() << "!!!Photo dropped, restarting capture with longer FrameTimes";
                burstBroken = true;
                // Doubling without end would leave the user waiting ever longer for a burst
                // the sensor keeps losing; past the longest frame time it is given up.
                if (burstFrameTime <= sensor.maxFrameTime() / 2) {
                    burstFrameTime *= 2;
                    capturePending = true;
                } else {
                    qDebug() << "!!!Photos kept being dropped, giving up the burst";
                    burstFrameTime = KBurstFrameTime;
                    emit captureFailed(
                        tr("The camera kept dropping the photographs, so none were taken. "
                           "Please try again."));
                }
                continue;
            }
            qDebug() << "!!!Got a highres frame";
            const int n = fuser->addFrame(frame);
            qDebug() << "!!!Got " << n << " frames.";
            if (at + 1 == burstIds.end()) {
                std::printf("Got all the photos!\n");
                std::fflush(stdout);
                burstIds.clear();
                emit capturesReady();
            }
        } while (sensor.framesPending() > 0);

        if (lastWasViewfinder)
            emit viewfinderFrame(s);
    }

    qDebug() << "Asking sensor to stop streaming";
    sensor.stopStreaming();
}
