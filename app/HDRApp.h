#pragma once

// HDRApp: the application controller. It owns the settings holder (Fuser), the capture screen,
// the result browser, their dialogs and, from the first time the capture screen is shown, the
// camera thread; it switches between the two screens, hands each finished burst to the result
// browser and the merge queue, and on quit stops the camera, gives the camera back to the
// phone's stock camera application and lets every queued merge finish before the event loop
// ends.
//
// Thread: GUI only. The interrupt handler only wakes the GUI thread, which then quits as the
// Quit button does.

#include "CameraThread.h"

#include <QObject>

class CameraWidget;
class Fuser;
class FuserWidget;
class HelpDialog;
class QApplication;
class QSocketNotifier;
class SplashDialog;

class HDRApp : public QObject
{
    Q_OBJECT

public:
    // aApp must not be null.
    explicit HDRApp(QApplication *aApp);
    ~HDRApp() override;

    // The one application controller, for the interrupt handler; null when there is none.
    static HDRApp *instance() { return theApp; }

    // Routes SIGINT to quitApp() of the controller in instance(), through the event loop (the
    // handler itself only writes to a pipe). Call once the controller exists.
    static void installInterruptHandler();

    // Where driver errors found while starting the camera go. By default a modal critical
    // message box over the capture screen; a program without anyone to press "OK" (the
    // desktop's scripted run) prints them instead. Applies to the camera thread made later.
    void setMessageHook(CameraThread::MessageHook aHook);

    // Sends the image library's messages (the merge job's timings among them) to the
    // application's log, qDebug(), instead of standard output.
    static void routeLibraryReports();

    // Shows a screen as the phone's screen: full screen on the phone, an 800 × 480 window of
    // its own on a desktop.
    static void showOnScreen(QWidget *aScreen);

    QApplication *app;
    CameraWidget *cameraWidget;
    CameraThread *cameraThread;
    FuserWidget *fuserWidget;
    Fuser *fuser;
    SplashDialog *splash;
    HelpDialog *fuserHelp;
    HelpDialog *cameraHelp;
    // False once the camera failed to initialise.
    bool ok;

public slots:
    void showCaptureSettings();
    void showCamera();
    void hideCamera();
    void showFuser();
    void hideFuser();
    void quitApp();

private slots:
    void interrupted();

private:
    static inline HDRApp *theApp = nullptr;
    CameraThread::MessageHook messageHook;
    QSocketNotifier *interruptNotifier = nullptr;
    // quitApp() has run: a second request (Quit, then control-c) has nothing left to do.
    bool quitting = false;
};
