#include "CameraClient.h"
#include "OverlayWidget.h"
#include "ScreensSupport.h"
#include "SimPhone.h"

#include <QTest>
#include <cstring>
#include <gtest/gtest.h>

using namespace Opsa::Ketto;

// The desktop's view of the phone: the simulated camera's viewfinder written into the
// simulated overlay plane shows where the capture screen's viewfinder area is.
TEST(SimulatedOverlay, ShowsTheSimulatedViewfinderWhereTheKeyColourWas)
{
    Opsa::Sim::SimOptions options;
    options.pace = Opsa::Sim::Pace::LockStep;
    Opsa::Sim::SimPhone phone(options);

    QWidget screen;
    screen.resize(800, 480);
    OverlayWidget *overlay = new OverlayWidget(&screen);
    screen.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));

    Opsa::Sim::OverlayState state = phone.kernel().overlay();
    EXPECT_TRUE(state.open);
    EXPECT_EQ(state.plane.enabled, 1);
    EXPECT_EQ(state.plane.outWidth, 640u);
    EXPECT_EQ(state.memorySize, 614400u);
    EXPECT_EQ(state.colorKey.keyType, KColorKeyGraphicsDestination);
    EXPECT_EQ(state.colorKey.transparentKey, 0x0801u);
    EXPECT_EQ(state.screen.nonstd, KOverlayModeYuv422);

    // One viewfinder frame, copied into the plane as the capture screen does.
    Opsa::Sim::CameraClient camera(phone.kernel());
    ASSERT_EQ(camera.open(), 0);
    ASSERT_EQ(camera.setControl(KControlExposure, 20000), 0);
    ASSERT_EQ(camera.start(640, 480, V4L2_PIX_FMT_UYVY), 0);
    std::vector<std::uint8_t> frame;
    ASSERT_EQ(camera.frameWithSequence(phone.kernel().framesStarted(), frame), 0)
        << std::strerror(errno);
    ASSERT_EQ(camera.stop(), 0);
    ASSERT_EQ(frame.size(), 614400u);
    Opsa::Image plane = overlay->frameBuffer();
    ASSERT_TRUE(plane.hasData());
    std::memcpy(plane.data(), frame.data(), frame.size());
    EXPECT_EQ(phone.kernel().overlay().pixels, frame) << "the plane memory is the device's";

    const QImage shot = screens::screenshot(&screen, "overlay-simulated-viewfinder");
    const QRect area(0, 0, 640, 480);
    EXPECT_EQ(screens::pixelsLike(shot, area, qRgb(10, 0, 10)), 0);
    // The scene's dim interior and its bright window both show.
    int dark = 0, bright = 0;
    for (int y = 0; y < 480; y += 4)
        for (int x = 0; x < 640; x += 4) {
            const int grey = qGray(shot.pixel(x, y));
            dark += grey < 70;
            bright += grey > 180;
        }
    EXPECT_GT(dark, 500);
    EXPECT_GT(bright, 500);

    screen.hide();
    EXPECT_EQ(phone.kernel().overlay().plane.enabled, 0);
    delete overlay;
    EXPECT_FALSE(phone.kernel().overlay().open);
}
