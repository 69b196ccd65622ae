// The capture screen's own behaviour on the simulated phone: exposure modes and compensation,
// the overlay's views, the phone keys of the desktop, messages over the viewfinder, the
// camera's stop and restart with the application's activation, and the image library's log.

#include "AppFixture.h"
#include "CameraWidget.h"
#include "Fuser.h"
#include "OverlayWidget.h"
#include "core/Report"
#include "desktop/PhoneKeys.h"
#include "screens/ScreensSupport.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <cstring>

using apptest::waitUntil;
using Opsa::Sim::Switch;

namespace {

class CaptureScreenTest : public apptest::AppFixture
{
protected:
    void makeScreen()
    {
        fuser = std::make_unique<Fuser>(640, 480, Opsa::UYVY, 3);
        screen = std::make_unique<CameraWidget>(fuser.get());
    }
    void TearDown() override
    {
        screen.reset();
        fuser.reset();
        AppFixture::TearDown();
    }
    void fill(int aShot, unsigned char aValue)
    {
        Opsa::Image image = fuser->viewfinderShots[std::size_t(aShot)].image;
        ASSERT_TRUE(image.hasData());
        std::memset(image.data(), aValue, std::size_t(image.bytesPerRow()) * image.height());
    }
    // The first and the last byte of the overlay plane, which must agree.
    int shown()
    {
        const Opsa::Image plane = screen->overlay->frameBuffer();
        const unsigned char *p = plane.data();
        const std::size_t last = std::size_t(OverlayWidget::KPlaneBytes) - 1;
        return p[0] == p[last] ? p[0] : -1;
    }

    std::unique_ptr<Fuser> fuser;
    std::unique_ptr<CameraWidget> screen;
};

} // namespace

TEST_F(CaptureScreenTest, ManualExposureCompensatesTheChosenShotAndAutoExpUndoesIt)
{
    makeScreen();
    screen->show();
    EXPECT_FALSE(screen->expSlider->isVisible());
    EXPECT_TRUE(screen->manualExpButton->isVisible());

    screen->manualExpButton->click();
    EXPECT_TRUE(screen->expSlider->isVisible());
    EXPECT_TRUE(screen->longButton->isChecked());
    EXPECT_EQ(screen->overlayMode(), CameraWidget::ShowLong);
    screen->shortButton->click();
    screen->expSlider->setValue(-2);
    EXPECT_FLOAT_EQ(fuser->expComp[1], 0.25f);
    EXPECT_FLOAT_EQ(fuser->expComp[0], 1.0f);
    EXPECT_TRUE(log.has(QStringLiteral("Setting exposure compensation  0.25")));
    // Back to Long: the slider shows Long's own compensation.
    screen->longButton->click();
    EXPECT_EQ(screen->expSlider->value(), 0);
    screen->expSlider->setValue(3);
    EXPECT_FLOAT_EQ(fuser->expComp[0], 8.0f);

    screen->autoExpButton->click();
    EXPECT_FLOAT_EQ(fuser->expComp[0], 1.0f);
    EXPECT_FLOAT_EQ(fuser->expComp[1], 1.0f);
    EXPECT_EQ(screen->expSlider->value(), 0);
    EXPECT_FALSE(screen->expSlider->isVisible());
    EXPECT_EQ(screen->overlayMode(), CameraWidget::ShowBoth);

    // The keys do the same.
    QTest::keyClick(screen.get(), Qt::Key_E);
    EXPECT_TRUE(screen->expSlider->isVisible());
    QTest::keyClick(screen.get(), Qt::Key_S);
    EXPECT_EQ(screen->overlayMode(), CameraWidget::ShowShort);
    QTest::keyClick(screen.get(), Qt::Key_A);
    EXPECT_EQ(screen->overlayMode(), CameraWidget::ShowBoth);
    QTest::keyClick(screen.get(), Qt::Key_B);
    EXPECT_FALSE(screen->expSlider->isVisible());
}

TEST_F(CaptureScreenTest, OverlayShowsTheBlendOrTheChosenExposureAndTapsCycleTheViews)
{
    makeScreen();
    screen->show();
    const int longId = fuser->viewfinderShots[0].id;
    const int shortId = fuser->viewfinderShots[1].id;
    fill(0, 100);
    fill(1, 51);
    EXPECT_EQ(shown(), 0x80); // grey before the first frame

    screen->updateOverlay(shortId);
    EXPECT_EQ(shown(), 76); // (100 + 51 + 1) / 2, whichever shot arrived

    // Taps on the viewfinder: short, long, both again.
    QTest::mouseClick(screen->overlay, Qt::LeftButton);
    EXPECT_EQ(screen->overlayMode(), CameraWidget::ShowShort);
    screen->updateOverlay(longId);
    EXPECT_EQ(shown(), 76); // not the short shot's frame: nothing drawn
    screen->updateOverlay(shortId);
    EXPECT_EQ(shown(), 51);
    QTest::mouseClick(screen->bracketLabel, Qt::LeftButton);
    EXPECT_EQ(screen->overlayMode(), CameraWidget::ShowLong);
    screen->updateOverlay(longId);
    EXPECT_EQ(shown(), 100);
    QTest::mouseClick(screen->overlay, Qt::LeftButton);
    EXPECT_EQ(screen->overlayMode(), CameraWidget::ShowBoth);
    // A button's press is the button's.
    screen->show();
    QTest::mouseClick(screen->quitButton, Qt::LeftButton);
    EXPECT_EQ(screen->overlayMode(), CameraWidget::ShowBoth);
}

TEST_F(CaptureScreenTest, DesktopKeysWorkThePhonesSwitchesOnlyOnTheCaptureScreen)
{
    makeScreen();
    PhoneKeys keys(sim(), screen.get());
    screen->show();
    QTest::keyPress(screen.get(), Qt::Key_F);
    EXPECT_TRUE(sim().switchOn(Switch::FocusButton));
    EXPECT_FALSE(sim().switchOn(Switch::ShutterButton));
    QTest::keyRelease(screen.get(), Qt::Key_F);
    EXPECT_FALSE(sim().switchOn(Switch::FocusButton));

    QTest::keyPress(screen.get(), Qt::Key_Space);
    EXPECT_TRUE(sim().switchOn(Switch::FocusButton));
    EXPECT_TRUE(sim().switchOn(Switch::ShutterButton));
    QTest::keyRelease(screen.get(), Qt::Key_Space);
    EXPECT_FALSE(sim().switchOn(Switch::FocusButton));
    EXPECT_FALSE(sim().switchOn(Switch::ShutterButton));

    const bool cover = sim().switchOn(Switch::LensCover);
    const bool slide = sim().switchOn(Switch::KeyboardSlide);
    QTest::keyClick(screen.get(), Qt::Key_C);
    QTest::keyClick(screen.get(), Qt::Key_K);
    EXPECT_NE(sim().switchOn(Switch::LensCover), cover);
    EXPECT_NE(sim().switchOn(Switch::KeyboardSlide), slide);
    QTest::keyClick(screen.get(), Qt::Key_C);
    EXPECT_EQ(sim().switchOn(Switch::LensCover), cover);

    // The screen's own keys pass; another window's keys are its own.
    QTest::keyClick(screen.get(), Qt::Key_E);
    EXPECT_TRUE(screen->expSlider->isVisible());
    QWidget other;
    other.show();
    QTest::keyPress(&other, Qt::Key_Space);
    EXPECT_FALSE(sim().switchOn(Switch::ShutterButton));
    QTest::keyRelease(&other, Qt::Key_Space);
}

// The capture loop's messages (here a burst it gave up) appear over the viewfinder.
TEST_F(CaptureScreenTest, MessagesOfTheCaptureLoopShowOverTheViewfinder)
{
    launch();
    ASSERT_TRUE(waitForViewfinder());
    const QString text = QStringLiteral("The camera kept dropping the photographs.");
    emit app->cameraThread->captureFailed(text);
    ASSERT_TRUE(waitUntil([&] { return app->cameraWidget->messageLabel->isVisible(); }));
    EXPECT_EQ(app->cameraWidget->messageLabel->text(), text);
    QImage shot = screens::screenshot(app->cameraWidget, QStringLiteral("capture-message"));
    EXPECT_TRUE(screens::showsText(shot, app->cameraWidget->messageLabel));
}

// Activation is set within the application (as the window system's focus changes would), so
// that the test does not depend on other programs' windows on the same display.
TEST_F(CaptureScreenTest, LosingActivationStopsTheCameraAndRegainingItRestartsIt)
{
    launch();
    ASSERT_TRUE(waitForViewfinder());
    CameraWidget *camera = app->cameraWidget;
    camera->overlay->setEnabled(true);
    auto planeOn = [&] { return sim().overlay().plane.enabled != 0; };
    QApplication::setActiveWindow(camera);
    EXPECT_TRUE(planeOn());
    EXPECT_TRUE(app->cameraThread->isRunning());

    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    EXPECT_FALSE(planeOn());
    ASSERT_TRUE(waitUntil([&] { return !app->cameraThread->isRunning(); }));

    QApplication::setActiveWindow(camera);
    EXPECT_TRUE(planeOn());
    EXPECT_TRUE(app->cameraThread->isRunning());
    EXPECT_TRUE(waitForViewfinder());
}

TEST_F(CaptureScreenTest, TheImageLibrarysMessagesGoToTheApplicationsLog)
{
    HDRApp::routeLibraryReports();
    core::report("Time to fuse %d\n", 17);
    EXPECT_TRUE(log.lines().contains(QStringLiteral("Time to fuse 17")));
}
