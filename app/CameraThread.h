#pragma once

// CameraThread: the thread that owns the camera. It streams the Fuser's two viewfinder shots,
// meters and white-balances every viewfinder frame, focuses on a half press, and on a full
// press submits the bracketed burst and collects its frames into the Fuser. It tells the user
// interface when a viewfinder frame is ready and when a whole burst has arrived.
//
// A burst whose photographs are dropped is captured again with twice the frame time, as long
// as the sensor allows such a frame time; beyond that it is given up and captureFailed() says
// so. The frames that arrive after a drop belong to the broken attempt and are not collected.
//
// Thread: construction, initialize(), stop() and destruction in the GUI thread; run() in the
// thread itself, which it starts with QThread::TimeCriticalPriority. keepRunning is the only
// field both touch; the Fuser guards its own state (see Fuser.h).

#include "Fuser.h"
#include "core/Assert"

#include <Opsa/Ketto/Lens.h>
#include <Opsa/Ketto/Sensor.h>
#include <QString>
#include <QThread>
#include <atomic>
#include <functional>

class OverlayWidget;

class CameraThread : public QThread
{
    Q_OBJECT

public:
    // Shows the user a driver error found at start-up: a title and a text, modally (the
    // application shows a critical message box with one OK button).
    using MessageHook = std::function<void(const QString &aTitle, const QString &aText)>;

    // The frame time of every photograph of a burst at the first attempt, in microseconds.
    static constexpr int KBurstFrameTime = 250000;

    // aFuser must not be null; aOverlay is stored only (the capture screen draws).
    CameraThread(OverlayWidget *aOverlay, Fuser *aFuser, QObject *aParent = nullptr)
        : QThread(aParent)
    {
        CORE_ASSERT(aFuser != nullptr);
        overlay = aOverlay;
        fuser = aFuser;
        sensor.attach(&lens);
    }
    // Stops the loop and waits for it; the sensor then stops and its daemon is joined.
    ~CameraThread() override;

    // Where start-up errors go; without a hook they are only logged.
    void setMessageHook(MessageHook aHook) { messageHook = std::move(aHook); }

    // Starts streaming the viewfinder and looks through the library's events for a driver
    // error; on one, shows it through the hook and returns false (the thread must not be
    // started). Otherwise the loop may run: returns true.
    bool initialize();

    OverlayWidget *overlayWidget() const { return overlay; }

signals:
    // Every photograph of the burst has arrived; the frames are in the Fuser.
    void capturesReady();
    // A frame of the viewfinder shot with id aId has just been delivered into its image.
    void viewfinderFrame(int aId);
    // The burst was given up (its photographs kept being dropped); aMessage is for the user.
    void captureFailed(const QString &aMessage);
    // The camera started with a warning the person should see (e.g. frames may be late).
    void cameraWarning(const QString &aMessage);

public slots:
    // The loop ends at the top of its next pass, after the frame it may be waiting for.
    void stop();

protected:
    void run() override;

private:
    void showError(const char *aText);

    std::atomic<bool> keepRunning { false };
    OverlayWidget *overlay = nullptr;
    Fuser *fuser = nullptr;
    Opsa::Ketto::Sensor sensor;
    Opsa::Ketto::Lens lens;
    // State of the loop (capture thread only).
    bool capturePending = false;
    bool focusHeld = false;
    bool shutterHeld = false;
    MessageHook messageHook;
};
