#pragma once

// ScriptedCapture: one photograph taken without anyone at the phone, for a machine without a
// display (or a person who only wants the result). Once the viewfinder has run long enough
// for its exposures to settle it half presses the camera button, then presses it fully; when
// the burst is in, it releases the button, waits for the background merge to write the HDR
// photograph, says where it went on standard output and quits the application as the Quit
// button does. Any failure (the camera gave the burst up, nothing written, no progress within
// the time limit) is said on standard error and quits the same way.
//
// Thread: GUI only.

#include <QObject>
#include <QString>

class HDRApp;
class QTimer;

namespace Opsa::Sim {
class SimKernel;
}

class ScriptedCapture : public QObject
{
    Q_OBJECT

public:
    // Viewfinder frames before the half press (the metering settles), and between the half and
    // the full press.
    static constexpr int KSettleFrames = 30;
    static constexpr int KFocusFrames = 10;

    // aApp's camera must have been started (showCamera() with ok still true); aApp and aSim
    // must outlive this object. aTimeLimitMs: from now to the photograph on disk.
    ScriptedCapture(HDRApp *aApp, Opsa::Sim::SimKernel &aSim, int aTimeLimitMs = 600000,
        QObject *aParent = nullptr);

    // 0 once the photograph was written, 1 after a failure, -1 while still at work.
    int status() const { return result; }
    // The photograph written; empty until then.
    const QString &photograph() const { return photo; }

private slots:
    void onViewfinderFrame();
    void onCapturesReady();
    void onCaptureFailed(const QString &aMessage);
    void onPending(int aCount);
    void onTimeout();

private:
    void finish(int aStatus);

    HDRApp *app;
    Opsa::Sim::SimKernel &sim;
    QTimer *deadline;
    int frames = 0;
    bool pressed = false;
    bool captured = false;
    int result = -1;
    QString photo;
};
