#include "OverlayWidget.h"

#include "ScreensSupport.h"

#include <QTest>
#include <cstring>
#include <gtest/gtest.h>

using namespace Opsa::Ketto;
using screens::OverlayKernel;

namespace {

template <typename T> T recordOf(const OverlayKernel::Request &aRequest)
{
    T value {};
    EXPECT_EQ(aRequest.record.size(), sizeof value);
    std::memcpy(&value, aRequest.record.data(), std::min(sizeof value, aRequest.record.size()));
    return value;
}

std::vector<unsigned long> codes(const std::vector<OverlayKernel::Request> &aRequests)
{
    std::vector<unsigned long> out;
    for (const OverlayKernel::Request &r : aRequests)
        out.push_back(r.code);
    return out;
}

// The phone's screen with the viewfinder area at its left, as the capture screen places it.
struct Screen : QWidget
{
    Screen() { resize(800, 480); }
};

// Fills the plane with two colours side by side: a light warm left half and a dark cool
// right half (U, Y, V, Y per pixel pair).
void paintPlane(unsigned char *aPlane)
{
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; x += 2) {
            unsigned char *p = aPlane + (y * 640 + x) * 2;
            const bool left = x < 320;
            p[0] = left ? 100 : 170;
            p[1] = p[3] = left ? 200 : 50;
            p[2] = left ? 170 : 100;
        }
}

} // namespace

TEST(OverlayWidget, ConfiguresThePlaneOffWithGreyMemoryAndTheKeyColour)
{
    screens::TestPhone phone;
    {
        OverlayWidget overlay;
        const std::vector<OverlayKernel::Request> sent = phone.kernel.requests();
        ASSERT_EQ(codes(sent),
            (std::vector<unsigned long> { FBIOGET_VSCREENINFO, KFbQueryPlane, KFbSetupPlane,
                KFbSetupMemory, FBIOPUT_VSCREENINFO, KFbSetColorKey }));

        const OverlayPlane plane = recordOf<OverlayPlane>(sent[2]);
        EXPECT_EQ(plane.enabled, 0);
        EXPECT_EQ(plane.x, 0u);
        EXPECT_EQ(plane.y, 0u);
        EXPECT_EQ(plane.outWidth, 640u);
        EXPECT_EQ(plane.outHeight, 480u);
        const OverlayMemory memory = recordOf<OverlayMemory>(sent[3]);
        EXPECT_EQ(memory.size, 614400u);
        EXPECT_EQ(memory.type, 0);
        const fb_var_screeninfo info = recordOf<fb_var_screeninfo>(sent[4]);
        EXPECT_EQ(info.xres, 640u);
        EXPECT_EQ(info.yres, 480u);
        EXPECT_EQ(info.xres_virtual, 640u);
        EXPECT_EQ(info.yres_virtual, 480u);
        EXPECT_EQ(info.xoffset + info.yoffset, 0u);
        EXPECT_EQ(info.nonstd, KOverlayModeYuv422);
        EXPECT_EQ(info.bits_per_pixel, 16u) << "what the driver reported is kept";
        const OverlayColorKey key = recordOf<OverlayColorKey>(sent[5]);
        EXPECT_EQ(key.keyType, KColorKeyGraphicsDestination);
        EXPECT_EQ(key.transparentKey, 0x0801u);

        const Opsa::Image image = overlay.frameBuffer();
        EXPECT_EQ(image.width(), 640);
        EXPECT_EQ(image.height(), 480);
        EXPECT_EQ(image.type(), Opsa::UYVY);
        ASSERT_EQ(image.data(), phone.kernel.memory());
        for (int i = 0; i < 614400; ++i)
            ASSERT_EQ(image.data()[i], 0x80) << "byte " << i;
        EXPECT_EQ(overlay.palette().color(QPalette::Window), QColor(10, 0, 10));
        EXPECT_EQ(phone.kernel.plane().enabled, 0);
    }
    // Gone: plane off, device closed, memory unmapped.
    EXPECT_EQ(phone.kernel.plane().enabled, 0);
    EXPECT_FALSE(phone.kernel.isOpen());
    EXPECT_EQ(phone.kernel.memory(), nullptr);
}

TEST(OverlayWidget, ShowsThePlaneAtItsPlaceWhileShownAndComposesItOnTheDesktop)
{
    screens::TestPhone phone;
    Screen screen;
    OverlayWidget *overlay = new OverlayWidget(&screen);
    overlay->move(80, 0); // enable() puts the widget at the left of its screen
    screen.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));
    EXPECT_EQ(overlay->geometry(), QRect(0, 0, 640, 480));
    EXPECT_EQ(phone.kernel.plane().enabled, 1);
    EXPECT_EQ(phone.kernel.plane().x, 0u);
    EXPECT_EQ(phone.kernel.plane().outWidth, 640u);

    // Before the first frame: uniform grey, and nowhere the key colour.
    QImage shot = screens::screenshot(&screen, "overlay-grey");
    const QRect area(0, 0, 640, 480);
    EXPECT_EQ(screens::pixelsUnlike(shot, area, qRgb(128, 128, 128), 2), 0);

    paintPlane(phone.kernel.memory());
    shot = screens::screenshot(&screen, "overlay-viewfinder");
    EXPECT_EQ(screens::pixelsLike(shot, area, qRgb(10, 0, 10), 0), 0);
    const QRgb left = shot.pixel(100, 240), right = shot.pixel(500, 240);
    EXPECT_GT(qGray(left), 170);
    EXPECT_GT(qRed(left), qBlue(left) + 40);
    EXPECT_LT(qGray(right), 80);
    EXPECT_GT(qBlue(right), qRed(right) + 40);
    // The rest of the screen is not the plane's.
    EXPECT_EQ(screens::pixelsLike(shot, QRect(640, 0, 160, 480), right, 10), 0);

    // Plane off: the key colour is all the window has there.
    overlay->disable();
    shot = screens::screenshot(&screen, "overlay-off");
    EXPECT_EQ(screens::pixelsUnlike(shot, area, qRgb(10, 0, 10)), 0);

    overlay->show();
    screen.hide();
    EXPECT_EQ(phone.kernel.plane().enabled, 0);
}

class OverlayWidgetFailing : public ::testing::TestWithParam<std::pair<unsigned long, const char *>>
{
};

TEST_P(OverlayWidgetFailing, SaysWhichRequestFailedAndCarriesOn)
{
    screens::TestPhone phone;
    phone.kernel.failing.insert(std::to_string(GetParam().first));
    ::testing::internal::CaptureStderr();
    OverlayWidget overlay;
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, std::string(GetParam().second) + ": Input/output error\n");
    EXPECT_EQ(phone.kernel.requests().size(), 6u);
    EXPECT_TRUE(overlay.frameBuffer().hasData());
}

INSTANTIATE_TEST_SUITE_P(Requests, OverlayWidgetFailing,
    ::testing::Values(std::make_pair(FBIOGET_VSCREENINFO, "FBIO_VSCREENINFO"),
        std::make_pair(KFbQueryPlane, "OMAPFB_QUERY_PLANE"),
        std::make_pair(KFbSetupPlane, "OMAPFB_SETUP_PLANE"),
        std::make_pair(KFbSetupMemory, "OMAPFB_SETUP_MEM"),
        std::make_pair(FBIOPUT_VSCREENINFO, "FBIOPUT_VSCREENINFO"),
        std::make_pair(KFbSetColorKey, "OMAPFB_SET_COLOR_KEY")));

TEST(OverlayWidget, WithoutTheDeviceEveryStepSaysSoAndTheScreenStillWorks)
{
    screens::TestPhone phone;
    phone.kernel.failing.insert("open");
    ::testing::internal::CaptureStderr();
    {
        Screen screen;
        OverlayWidget *overlay = new OverlayWidget(&screen);
        EXPECT_FALSE(overlay->frameBuffer().hasData());
        screen.show();
        screens::screenshot(&screen, "overlay-no-device");
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    const std::string ebadf = ": Bad file descriptor\n";
    const std::string building = "open: Input/output error\nFBIO_VSCREENINFO" + ebadf
        + "OMAPFB_QUERY_PLANE" + ebadf + "OMAPFB_SETUP_PLANE" + ebadf + "OMAPFB_SETUP_MEM" + ebadf
        + "mmap" + ebadf + "FBIOPUT_VSCREENINFO" + ebadf + "OMAPFB_SET_COLOR_KEY" + ebadf;
    ASSERT_EQ(said.substr(0, building.size()), building);
    // Then only the plane switched on and off as the screen is shown and goes.
    std::string rest = said.substr(building.size());
    EXPECT_FALSE(rest.empty());
    for (std::size_t at = 0;
         (at = rest.find("OMAPFB_SETUP_PLANE" + ebadf, at)) != std::string::npos;)
        rest.erase(at, std::string("OMAPFB_SETUP_PLANE" + ebadf).size());
    EXPECT_EQ(rest, "");
}

TEST(OverlayWidget, AFailedMappingLeavesTheImageWithoutMemory)
{
    screens::TestPhone phone;
    phone.kernel.failing.insert("mmap");
    ::testing::internal::CaptureStderr();
    OverlayWidget overlay;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "mmap: Input/output error\n");
    EXPECT_FALSE(overlay.frameBuffer().hasData());
    EXPECT_EQ(overlay.grab().size(), QSize(640, 480)); // paints the key colour alone
}
