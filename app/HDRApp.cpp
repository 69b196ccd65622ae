#include "HDRApp.h"

#include "CameraWidget.h"
#include "CaptureSettingsDialog.h"
#include "Fuser.h"
#include "FuserWidget.h"
#include "HelpDialog.h"
#include "OverlayWidget.h"
#include "SplashDialog.h"
#include "core/Assert"
#include "core/Report"

#include <Opsa/Ketto/PhonePath.h>
#include <QApplication>
#include <QDebug>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The interrupt handler's way into the event loop: it writes one byte, the GUI thread reads it.
int interruptPipe[2] = { -1, -1 };

void onInterrupt(int)
{
    const int saved = errno;
    const char byte = 1;
    // Nothing to do if the pipe is full: a wake-up is already on its way.
    [[maybe_unused]] ssize_t n = ::write(interruptPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

HDRApp::HDRApp(QApplication *aApp)
    : QObject(nullptr)
{
    CORE_ASSERT(aApp != nullptr);
    app = aApp;
    cameraThread = nullptr;
    ok = true;
    fuser = new Fuser(2592, 1968, Opsa::UYVY, 3);
    cameraWidget = new CameraWidget(fuser, nullptr);
    fuserWidget = new FuserWidget(fuser, nullptr);
    cameraWidget->setWindowTitle(QStringLiteral("Duskline"));
    fuserWidget->setWindowTitle(QStringLiteral("Duskline"));
    splash = new SplashDialog(cameraWidget);
    cameraHelp = new HelpDialog(tr(":/help.html"), cameraWidget);
    fuserHelp = new HelpDialog(tr(":/help.html"), fuserWidget);

    connect(fuserWidget->backButton, &QPushButton::clicked, this, &HDRApp::showCamera);
    connect(fuserWidget->helpButton, &QPushButton::clicked, fuserHelp, &HelpDialog::showHelp);
    connect(cameraWidget->optionsButton, &QPushButton::clicked, this, &HDRApp::showCaptureSettings);
    connect(cameraWidget->helpButton, &QPushButton::clicked, cameraHelp, &HelpDialog::showHelp);
    connect(cameraWidget->aboutButton, &QPushButton::clicked, splash, &QWidget::show);
    connect(cameraWidget->quitButton, &QPushButton::clicked, this, &HDRApp::quitApp);
    connect(&fuser->asyncFuser, &AsyncFuser::percentDone, fuserWidget,
        &FuserWidget::updateMergeProgress);
    connect(&fuser->asyncFuser, &AsyncFuser::numPending, fuserWidget, &FuserWidget::updateNumJobs);

    messageHook = [this](const QString &aTitle, const QString &aText) {
        QMessageBox::critical(cameraWidget, aTitle, aText);
    };
    theApp = this;
}

HDRApp::~HDRApp()
{
    qDebug() << "App destructor";
    if (theApp == this)
        theApp = nullptr;
    delete cameraWidget;
    delete cameraThread;
    delete fuserWidget;
    delete fuser;
}

void HDRApp::setMessageHook(CameraThread::MessageHook aHook)
{
    messageHook = std::move(aHook);
    if (cameraThread)
        cameraThread->setMessageHook(messageHook);
}

void HDRApp::routeLibraryReports()
{
    core::setReportSink([](const std::string &aMessage) {
        QString line = QString::fromStdString(aMessage);
        while (line.endsWith(QLatin1Char('\n')))
            line.chop(1);
        qDebug().noquote() << line;
    });
}

void HDRApp::showOnScreen(QWidget *aScreen)
{
#ifdef DUSKLINE_PHONE
    aScreen->showFullScreen();
#else
    // The desktop stands in for the phone: its screen is an 800 × 480 window.
    aScreen->setFixedSize(800, 480);
    aScreen->show();
    aScreen->raise();
    aScreen->activateWindow();
#endif
}

void HDRApp::installInterruptHandler()
{
    if (interruptPipe[0] < 0) {
        if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            qWarning() << "Cannot route control-c to the application:" << strerror(errno);
            return;
        }
    }
    if (theApp && !theApp->interruptNotifier) {
        theApp->interruptNotifier
            = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, theApp);
        connect(
            theApp->interruptNotifier, &QSocketNotifier::activated, theApp, &HDRApp::interrupted);
    }
    struct sigaction action = {};
    action.sa_handler = &onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
}

void HDRApp::interrupted()
{
    char bytes[16];
    while (::read(interruptPipe[0], bytes, sizeof bytes) > 0) { }
    qDebug() << "Caught control-c";
    quitApp();
}

void HDRApp::showCaptureSettings()
{
    qDebug() << "HDRApp::showCaptureSettings";
    CaptureSettingsDialog dialog(fuser, cameraWidget);
    dialog.exec();
}

void HDRApp::showCamera()
{
    if (!cameraThread) {
        qDebug() << "Creating camerathread object";
        cameraThread = new CameraThread(cameraWidget->overlay, fuser, nullptr);
        cameraThread->setMessageHook(messageHook);
        connect(cameraThread, &CameraThread::capturesReady, this, &HDRApp::showFuser);
        connect(cameraThread, &CameraThread::viewfinderFrame, cameraWidget,
            &CameraWidget::updateOverlay);
        connect(
            cameraThread, &CameraThread::captureFailed, cameraWidget, &CameraWidget::showMessage);
        connect(
            cameraThread, &CameraThread::cameraWarning, cameraWidget, &CameraWidget::showMessage);
        cameraWidget->cameraThread = cameraThread;
    }
    qDebug() << "Initializing camera...";
    if (!cameraThread->initialize()) {
        qDebug() << "Initialization failed!";
        ok = false;
        return;
    }
    qDebug() << "Starting camera...";
    cameraThread->start(QThread::TimeCriticalPriority);
    showOnScreen(cameraWidget);
    fuserWidget->hide();
}

void HDRApp::hideCamera()
{
    if (cameraThread) {
        qDebug() << "Stopping camera thread";
        cameraThread->stop();
        qDebug() << "Waiting for camera thread to stop";
        cameraThread->wait();
    }
    qDebug() << "Hiding camera widget";
    cameraWidget->hide();
}

void HDRApp::showFuser()
{
    showOnScreen(fuserWidget);
    hideCamera();
    QProgressDialog progress(tr("Processing..."), tr("Cancel"), 0, 2, fuserWidget);
    progress.setWindowModality(Qt::WindowModal);
    progress.show();
    progress.setValue(0);
    fuserWidget->loadBurst();
    progress.setValue(1);
    fuserWidget->showResult();
    fuser->queueMergeJob();
    progress.close();
}

void HDRApp::hideFuser()
{
    fuserWidget->hide();
}

void HDRApp::quitApp()
{
    if (quitting)
        return;
    quitting = true;
    qDebug() << "Hiding widgets";
    cameraWidget->hide();
    fuserWidget->hide();

    qDebug() << "Stopping camera thread";
    if (cameraThread) {
        cameraThread->stop();
        cameraThread->wait();
        cameraWidget->cameraThread = nullptr;
        delete cameraThread;
        cameraThread = nullptr;
    }

    // The stock camera application comes back as the desktop user. Everything the child needs
    // is ready before the fork: after it, the child may only exec.
    const std::string lifectl = Opsa::Ketto::phonePath("/usr/sbin/lifectl");
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(lifectl.c_str(), "/usr/sbin/lifectl", "-U", "user", "-o", "/usr/bin/viewkeeper",
            static_cast<char *>(nullptr));
        ::_exit(0);
    }
    if (child < 0)
        qDebug() << "Cannot start the stock camera application:" << strerror(errno);

    qDebug() << "Waiting for worker thread to finish";
    fuser->asyncFuser.wait();
    if (child > 0) {
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) { }
    }
    qDebug() << "Quitting app";
    app->quit();
}
