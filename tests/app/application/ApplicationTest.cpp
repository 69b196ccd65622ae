// The whole application on the simulated phone: launch, viewfinder, burst, result browser,
// background merge, the way back, the merge queue's limit, quitting (by the button and by
// control-c) while a merge runs, and a camera held by another program.

#include "AppFixture.h"
#include "AsyncFuser.h"
#include "CameraWidget.h"
#include "Fuser.h"
#include "FuserWidget.h"
#include "Ketto/V4L2Sensor.h"
#include "OverlayWidget.h"
#include "screens/ScreensSupport.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <libexif/exif-tag.h>
#include <sys/file.h>
#include <unistd.h>

using apptest::waitUntil;

namespace {

// Mean and spread of the luma of aImage within aRect.
void lumaStats(const QImage &aImage, const QRect &aRect, double &aMean, double &aSpread)
{
    double sum = 0, squares = 0;
    int n = 0;
    for (int y = aRect.top(); y <= aRect.bottom(); y += 2)
        for (int x = aRect.left(); x <= aRect.right(); x += 2) {
            const QRgb p = aImage.pixel(x, y);
            const double l = 0.299 * qRed(p) + 0.587 * qGreen(p) + 0.114 * qBlue(p);
            sum += l;
            squares += l * l;
            ++n;
        }
    aMean = sum / n;
    aSpread = std::sqrt(std::max(0.0, squares / n - aMean * aMean));
}

// Presses "OK" on the modal message boxes that come up and keeps their texts.
class MessageBoxes : public QObject
{
public:
    MessageBoxes()
    {
        QTimer *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [this] {
            if (QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->accept();
            }
        });
        poll->start(10);
    }
    QStringList texts;
};

class ApplicationTest : public apptest::AppFixture
{
};

} // namespace

TEST_F(ApplicationTest, ViewfinderThenBurstThenBrowserThenPhotographThenBackToALiveViewfinder)
{
    launch();
    ASSERT_TRUE(waitForViewfinder(10));
    CameraWidget *camera = app->cameraWidget;

    // The simulated room and its bright window, in the overlay's area: neither the key colour
    // nor the plane's grey of before the first frame, and with real contrast.
    QImage shot = screens::screenshot(camera, QStringLiteral("capture-screen"));
    const QRect viewfinder(0, 0, OverlayWidget::KWidth, OverlayWidget::KHeight);
    EXPECT_LT(screens::pixelsLike(shot, viewfinder, OverlayWidget::KKeyColor.rgb()), 640 * 48);
    EXPECT_LT(screens::pixelsLike(shot, viewfinder, qRgb(128, 128, 128), 2), 640 * 240);
    double mean, spread;
    lumaStats(shot, viewfinder, mean, spread);
    EXPECT_GT(spread, 25.0) << "mean " << mean;
    EXPECT_TRUE(camera->bracketLabel->text().startsWith(QStringLiteral("Range: ")));
    EXPECT_EQ(camera->numPhotosLabel->text(), QStringLiteral("Num photos: 3"));
    EXPECT_EQ(app->fuserWidget->isVisible(), false);

    // A full press: the result browser with the three inputs and the quick preview.
    ASSERT_TRUE(captureBurst());
    FuserWidget *browser = app->fuserWidget;
    EXPECT_EQ(browser->inputImages().size(), 3);
    EXPECT_FALSE(browser->resultImage().isNull());
    EXPECT_TRUE(browser->resultButton->isChecked());

    // The background merge writes the JPEG, with the burst's EXIF.
    ASSERT_TRUE(waitUntil([&] { return mergesDone(); }));
    const std::string photo = app->fuser->lastJob->resultPath();
    EXPECT_EQ(photo.rfind(photoDir() + "HDR_", 0), 0u) << photo;
    ASSERT_TRUE(testsupport::fileExists(photo));
    EXPECT_EQ(testsupport::exifTag(photo, EXIF_TAG_MAKE), "Varnel");
    EXPECT_FALSE(testsupport::exifTag(photo, EXIF_TAG_DATE_TIME_ORIGINAL).empty());
    ASSERT_TRUE(waitUntil([&] { return browser->progressLabel->text().contains("100"); }));
    screens::screenshot(browser, QStringLiteral("result-browser"));

    // "Back": the same camera thread streams again on the capture screen.
    CameraThread *thread = app->cameraThread;
    browser->backButton->click();
    EXPECT_TRUE(camera->isVisible());
    EXPECT_FALSE(browser->isVisible());
    EXPECT_EQ(app->cameraThread, thread);
    EXPECT_TRUE(waitForViewfinder(5));
}

// Two bursts wait for the merge thread; a third press is refused while they do, and the
// capture screen says so with its pending count.
TEST_F(ApplicationTest, TwoQuickBurstsQueueAndAThirdIsRefused)
{
    gate.close();
    launch();
    for (int burst = 0; burst < 2; ++burst) {
        ASSERT_TRUE(waitForViewfinder());
        ASSERT_TRUE(captureBurst()) << "burst " << burst;
        app->fuserWidget->backButton->click();
    }
    ASSERT_TRUE(waitForViewfinder());
    EXPECT_EQ(app->fuser->asyncFuser.numJobs(), 2);
    EXPECT_EQ(app->cameraWidget->pendingLabel->text(), QStringLiteral("Pending: 2\n"));

    const int ready = capturesReady;
    fullPress();
    ASSERT_TRUE(waitUntil(
        [&] { return log.has(QStringLiteral("Already two jobs executing, can't start")); }));
    // The loop carries on with the viewfinder; no burst was taken.
    EXPECT_TRUE(waitForViewfinder());
    EXPECT_EQ(capturesReady, ready);
    EXPECT_TRUE(app->cameraWidget->isVisible());

    gate.open();
    ASSERT_TRUE(waitUntil([&] { return mergesDone(); }));
    EXPECT_EQ(testsupport::listDir(photoDir()).size(), 2u);
    EXPECT_TRUE(waitUntil(
        [&] { return app->cameraWidget->pendingLabel->text() == QStringLiteral("Pending: 0\n"); }));
}

// Quitting while a merge runs: the screens go at once, the stock camera application is
// started again, and the merge is finished and written before quitting returns.
class QuitTest : public apptest::AppFixture, public testing::WithParamInterface<bool>
{
};

TEST_P(QuitTest, QuitDuringAMergeWritesThePhotographAndRestoresTheStockCamera)
{
    const bool byInterrupt = GetParam();
    gate.close();
    launch();
    ASSERT_TRUE(waitForViewfinder());
    ASSERT_TRUE(captureBurst());
    const std::string photo = app->fuser->lastJob->resultPath();
    app->fuserWidget->backButton->click();
    ASSERT_TRUE(waitForViewfinder());
    EXPECT_FALSE(phone->stockCameraRunning());

    // What the person sees while the merge is still held: no window, no photograph yet. Then
    // the merge may go on.
    bool screensGone = false, photoYet = true;
    log.onLine = [&](const QString &aLine) {
        if (aLine == QStringLiteral("Waiting for worker thread to finish")) {
            screensGone = !app->cameraWidget->isVisible() && !app->fuserWidget->isVisible();
            photoYet = testsupport::fileExists(photo);
            gate.open();
        }
    };
    if (byInterrupt) {
        HDRApp::installInterruptHandler();
        std::raise(SIGINT);
        EXPECT_TRUE(waitUntil([&] { return log.has(QStringLiteral("Quitting app")); }));
        std::signal(SIGINT, SIG_DFL);
        EXPECT_TRUE(log.has(QStringLiteral("Caught control-c")));
    } else {
        app->cameraWidget->quitButton->click();
    }
    log.onLine = nullptr;

    EXPECT_TRUE(log.has(QStringLiteral("Quitting app")));
    EXPECT_TRUE(screensGone);
    EXPECT_FALSE(photoYet);
    EXPECT_TRUE(testsupport::fileExists(photo));
    EXPECT_EQ(app->cameraThread, nullptr);
    EXPECT_EQ(app->cameraWidget->cameraThread, nullptr);
    EXPECT_TRUE(phone->stockCameraRunning());
    const std::vector<std::string> stock = phone->stockCameraLog();
    ASSERT_FALSE(stock.empty());
    EXPECT_EQ(stock.back(), "lifectl -U user -o /usr/bin/viewkeeper");

    // A second request to quit (Quit, then control-c) has nothing left to do.
    const int quits = log.count(QStringLiteral("Quitting app"));
    app->quitApp();
    EXPECT_EQ(log.count(QStringLiteral("Quitting app")), quits);
}

INSTANTIATE_TEST_SUITE_P(ByButtonAndByInterrupt, QuitTest, testing::Values(false, true),
    [](const testing::TestParamInfo<bool> &aInfo) {
        return aInfo.param ? std::string("ControlC") : std::string("QuitButton");
    });

// Another program holding the camera: its kernel extension, or the camera lock of another
// Duskline. One message box, no camera thread running, and showCamera() comes back.
TEST_F(ApplicationTest, CameraHeldByAnotherProgramSaysDriverLockedAndDoesNotHang)
{
    for (bool byLockFile : { false, true }) {
        SCOPED_TRACE(byLockFile ? "lock file" : "kernel extension");
        int lockFd = -1;
        if (byLockFile) {
            lockFd = ::open(phone->path("/tmp/opsa.lock").c_str(), O_RDWR | O_CREAT, 0644);
            ASSERT_GE(lockFd, 0);
            ASSERT_EQ(::flock(lockFd, LOCK_EX | LOCK_NB), 0);
        } else {
            sim().holdExtension(true);
        }
        MessageBoxes boxes;
        makeApp();
        app->showCamera();
        EXPECT_FALSE(app->ok);
        ASSERT_EQ(boxes.texts.size(), 1);
        EXPECT_EQ(boxes.texts[0],
            QStringLiteral("Camera driver locked.\nIs another application using the camera?"));
        EXPECT_TRUE(log.has(QStringLiteral("Initialization failed!")));
        EXPECT_FALSE(app->cameraThread->isRunning());
        EXPECT_FALSE(app->cameraWidget->isVisible());
        app.reset();
        Opsa::Ketto::V4L2Sensor::closeAll();
        sim().holdExtension(false);
        if (lockFd >= 0)
            ::close(lockFd);
        // The next phone starts without the listener of this one.
        phone.reset();
        SetUp();
    }
}
