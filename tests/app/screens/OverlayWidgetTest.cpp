#include "OverlayWidget.h"

#include "CameraClient.h"
#include "ScreensSupport.h"
#include "SimPhone.h"

#include <QTest>
#include <cstring>
#include <gtest/gtest.h>

using namespace Opsa::Ketto;

namespace {

Opsa::Sim::SimOptions lockStep()
{
    Opsa::Sim::SimOptions options;
    options.pace = Opsa::Sim::Pace::LockStep;
    return options;
}

// One frame of the simulated camera's viewfinder, 640 × 480 UYVY.
std::vector<std::uint8_t> viewfinderFrame(Opsa::Sim::SimKernel &aKernel)
{
    Opsa::Sim::CameraClient camera(aKernel);
    std::vector<std::uint8_t> frame;
    EXPECT_EQ(camera.open(), 0);
    EXPECT_EQ(camera.setControl(KControlExposure, 20000), 0);
    EXPECT_EQ(camera.start(640, 480, V4L2_PIX_FMT_UYVY), 0);
    EXPECT_EQ(camera.frameWithSequence(aKernel.framesStarted(), frame), 0) << std::strerror(errno);
    return frame;
}

} // namespace

TEST(OverlayWidget, ShowsTheSimulatedViewfinderWhereTheKeyColourWasWhileShown)
{
    Opsa::Sim::SimPhone phone(lockStep());
    QWidget screen;
    screen.resize(800, 480);
    OverlayWidget *overlay = new OverlayWidget(&screen);
    overlay->move(80, 0); // the plane goes to the left of the screen whatever the layout did

    // Configured but off: grey memory, the plane's size, the YUV mode and the key colour.
    Opsa::Sim::OverlayState state = phone.kernel().overlay();
    EXPECT_TRUE(state.open);
    EXPECT_EQ(state.plane.enabled, 0);
    EXPECT_EQ(state.plane.outWidth, 640u);
    EXPECT_EQ(state.plane.outHeight, 480u);
    EXPECT_EQ(state.memorySize, 614400u);
    EXPECT_EQ(state.pixels, std::vector<std::uint8_t>(614400, 0x80));
    EXPECT_EQ(state.screen.xres_virtual, 640u);
    EXPECT_EQ(state.screen.yres_virtual, 480u);
    EXPECT_EQ(state.screen.nonstd, KOverlayModeYuv422);
    EXPECT_EQ(state.colorKey.keyType, KColorKeyGraphicsDestination);
    EXPECT_EQ(state.colorKey.transparentKey, 0x0801u);
    const Opsa::Image plane = overlay->frameBuffer();
    EXPECT_EQ(plane.width(), 640);
    EXPECT_EQ(plane.height(), 480);
    EXPECT_EQ(plane.type(), Opsa::UYVY);
    ASSERT_TRUE(plane.hasData());

    screen.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));
    state = phone.kernel().overlay();
    EXPECT_EQ(state.plane.enabled, 1);
    EXPECT_EQ(state.plane.x, 0u);
    EXPECT_EQ(overlay->geometry(), QRect(0, 0, 640, 480));
    const QRect area(0, 0, 640, 480);
    EXPECT_EQ(screens::pixelsLike(
                  screens::screenshot(&screen, "overlay-grey"), area, qRgb(128, 128, 128), 2),
        640 * 480);

    // A viewfinder frame copied into the plane, as the capture screen does.
    const std::vector<std::uint8_t> frame = viewfinderFrame(phone.kernel());
    ASSERT_EQ(frame.size(), 614400u);
    std::memcpy(plane.data(), frame.data(), frame.size());
    EXPECT_EQ(phone.kernel().overlay().pixels, frame) << "the memory is the device's";
    const QImage shot = screens::screenshot(&screen, "overlay-viewfinder");
    EXPECT_EQ(screens::pixelsLike(shot, area, qRgb(10, 0, 10)), 0);
    // The scene's dim interior and bright window both show, and only in the plane's area.
    int dark = 0, bright = 0;
    for (int y = 0; y < 480; y += 4)
        for (int x = 0; x < 640; x += 4) {
            dark += qGray(shot.pixel(x, y)) < 70;
            bright += qGray(shot.pixel(x, y)) > 180;
        }
    EXPECT_GT(dark, 500);
    EXPECT_GT(bright, 500);
    EXPECT_EQ(screens::pixelsLike(shot, QRect(640, 0, 160, 480), shot.pixel(639, 479), 20), 0);

    // Off: the key colour is all the window has there.
    overlay->disable();
    EXPECT_EQ(
        screens::pixelsLike(screens::screenshot(&screen, "overlay-off"), area, qRgb(10, 0, 10)),
        640 * 480);
    overlay->enable();
    screen.hide();
    EXPECT_EQ(phone.kernel().overlay().plane.enabled, 0);
    delete overlay;
    EXPECT_FALSE(phone.kernel().overlay().open);
}

class OverlayWidgetFailing : public ::testing::TestWithParam<std::pair<unsigned long, const char *>>
{
};

TEST_P(OverlayWidgetFailing, SaysWhichRequestFailedAndCarriesOn)
{
    Opsa::Sim::SimPhone phone(lockStep());
    const unsigned long code = GetParam().first;
    phone.kernel().failRequest(code, EIO);
    ::testing::internal::CaptureStderr();
    OverlayWidget overlay;
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind(std::string(GetParam().second) + ": Input/output error\n", 0), 0u) << said;
    // The steps after it ran: the key colour is set unless that was what failed.
    EXPECT_EQ(
        phone.kernel().overlay().colorKey.transparentKey, code == KFbSetColorKey ? 0 : 0x0801u);
    // Without plane memory there is nothing to map.
    EXPECT_EQ(overlay.frameBuffer().hasData(), code != KFbSetupMemory);
}

INSTANTIATE_TEST_SUITE_P(Requests, OverlayWidgetFailing,
    ::testing::Values(std::make_pair(FBIOGET_VSCREENINFO, "FBIO_VSCREENINFO"),
        std::make_pair(KFbQueryPlane, "OMAPFB_QUERY_PLANE"),
        std::make_pair(KFbSetupPlane, "OMAPFB_SETUP_PLANE"),
        std::make_pair(KFbSetupMemory, "OMAPFB_SETUP_MEM"),
        std::make_pair(FBIOPUT_VSCREENINFO, "FBIOPUT_VSCREENINFO"),
        std::make_pair(KFbSetColorKey, "OMAPFB_SET_COLOR_KEY")));

TEST(OverlayWidget, WithoutTheDeviceEveryStepSaysSoAndTheScreenStillShows)
{
    Opsa::Sim::SimPhone phone(lockStep());
    phone.kernel().failOpen("/dev/fb1", EACCES);
    ::testing::internal::CaptureStderr();
    {
        QWidget screen;
        OverlayWidget *overlay = new OverlayWidget(&screen);
        EXPECT_FALSE(overlay->frameBuffer().hasData());
        screen.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    const std::string ebadf = ": Bad file descriptor\n";
    const std::string building = "open: Permission denied\nFBIO_VSCREENINFO" + ebadf
        + "OMAPFB_QUERY_PLANE" + ebadf + "OMAPFB_SETUP_PLANE" + ebadf + "OMAPFB_SETUP_MEM" + ebadf
        + "mmap" + ebadf + "FBIOPUT_VSCREENINFO" + ebadf + "OMAPFB_SET_COLOR_KEY" + ebadf;
    ASSERT_EQ(said.substr(0, building.size()), building);
    // Then only the plane switched on and off as the screen shows and goes.
    std::string rest = said.substr(building.size());
    EXPECT_FALSE(rest.empty());
    const std::string plane = "OMAPFB_SETUP_PLANE" + ebadf;
    for (std::size_t at = 0; (at = rest.find(plane, at)) != std::string::npos;)
        rest.erase(at, plane.size());
    EXPECT_EQ(rest, "");
}
