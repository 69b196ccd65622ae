// The phone around the camera: switch files, the overlay plane and the stock camera tools.

#include "SimFixture.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <thread>

using namespace simtest;
using namespace Opsa::Ketto;
using Opsa::Sim::Switch;

namespace {

const char *const KShutter = "/sys/devices/platform/gpio-switch/cam_launch/state";
const char *const KCover = "/sys/devices/platform/gpio-switch/cam_shutter/state";

std::string readAll(Kernel &aKernel, int aFd)
{
    char text[81] = {};
    const ssize_t n = aKernel.read(aFd, text, 80);
    return n < 0 ? "error" : std::string(text, std::size_t(n));
}

} // namespace

TEST_F(SimTest, SwitchChangesWakePollWithUrgentData)
{
    Kernel &k = sim();
    const int shutter = k.open(KShutter, O_RDONLY);
    const int cover = k.open(KCover, O_RDONLY);
    ASSERT_GE(shutter, 0);
    EXPECT_EQ(readAll(k, shutter), "inactive\n");
    EXPECT_EQ(readAll(k, cover), "open\n");
    EXPECT_EQ(readAll(k, cover), "") << "read to its end";

    pollfd fds[2] = { { shutter, POLLPRI, 0 }, { cover, POLLPRI, 0 } };
    EXPECT_EQ(k.poll(fds, 2, 0), 0) << "no change, no news";
    sim().setSwitch(Switch::ShutterButton, true);
    ASSERT_EQ(k.poll(fds, 2, 0), 1);
    EXPECT_TRUE(fds[0].revents & POLLPRI);
    EXPECT_EQ(fds[1].revents, 0);
    sim().setSwitch(Switch::ShutterButton, true);
    EXPECT_EQ(k.poll(fds, 2, 0), 1) << "still unread";

    // As the button listener does: reopen and read after each notification.
    k.close(shutter);
    const int again = k.open(KShutter, O_RDONLY);
    EXPECT_EQ(readAll(k, again), "active\n");
    fds[0].fd = again;
    EXPECT_EQ(k.poll(fds, 2, 0), 0);

    // A change from another thread wakes a waiting poll.
    std::thread presser([&] { sim().setSwitch(Switch::LensCover, false); });
    EXPECT_EQ(k.poll(fds, 2, -1), 1);
    EXPECT_TRUE(fds[1].revents & POLLPRI);
    presser.join();
    k.close(cover);
    const int cover2 = k.open(KCover, O_RDONLY);
    EXPECT_EQ(readAll(k, cover2), "closed\n");

    // A switch file that vanishes.
    sim().removeSwitch(Switch::ShutterButton);
    pollfd gone { again, POLLPRI, 0 };
    EXPECT_EQ(k.poll(&gone, 1, 0), 1);
    EXPECT_TRUE(gone.revents & POLLERR);
    char c;
    EXPECT_EQ(k.read(again, &c, 1), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(k.open(KShutter, O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    sim().setSwitch(Switch::ShutterButton, false);
    const int back = k.open(KShutter, O_RDONLY);
    EXPECT_EQ(readAll(k, back), "inactive\n");
    EXPECT_EQ(k.open(KShutter, O_RDWR), -1) << "state files are read-only";
    for (int fd : { again, cover2, back })
        k.close(fd);
}

TEST_F(SimTest, OverlayPlaneTakesTheViewfindersSetUp)
{
    Kernel &k = sim();
    const int fb = k.open("/dev/fb1", O_RDWR);
    ASSERT_GE(fb, 0);
    fb_var_screeninfo screen {};
    ASSERT_EQ(k.ioctl(fb, FBIOGET_VSCREENINFO, &screen), 0);
    OverlayPlane plane {};
    ASSERT_EQ(k.ioctl(fb, KFbQueryPlane, &plane), 0);
    plane.enabled = 1;
    plane.outWidth = 640;
    plane.outHeight = 480;
    EXPECT_EQ(k.ioctl(fb, KFbSetupPlane, &plane), -1) << "shown without memory";
    plane.enabled = 0;
    ASSERT_EQ(k.ioctl(fb, KFbSetupPlane, &plane), 0);
    OverlayMemory memory { 614400, 0, {} };
    ASSERT_EQ(k.ioctl(fb, KFbSetupMemory, &memory), 0);
    EXPECT_EQ(k.mmap(nullptr, 614401, PROT_WRITE, MAP_SHARED, fb, 0), MAP_FAILED);
    void *m = k.mmap(nullptr, 614400, PROT_READ | PROT_WRITE, MAP_SHARED, fb, 0);
    ASSERT_NE(m, MAP_FAILED);
    std::memset(m, 0x80, 614400);
    static_cast<std::uint8_t *>(m)[1] = 0xEB;
    screen.xres = screen.xres_virtual = 640;
    screen.yres = screen.yres_virtual = 480;
    screen.nonstd = KOverlayModeYuv422;
    ASSERT_EQ(k.ioctl(fb, FBIOPUT_VSCREENINFO, &screen), 0);
    OverlayColorKey key {};
    key.keyType = KColorKeyGraphicsDestination;
    key.transparentKey = 0x0801;
    ASSERT_EQ(k.ioctl(fb, KFbSetColorKey, &key), 0);
    plane.enabled = 1;
    plane.x = 0;
    ASSERT_EQ(k.ioctl(fb, KFbSetupPlane, &plane), 0);
    plane.x = 400;
    EXPECT_EQ(k.ioctl(fb, KFbSetupPlane, &plane), -1) << "off the 800-pixel display";

    const auto state = sim().overlay();
    EXPECT_TRUE(state.open);
    EXPECT_EQ(state.plane.enabled, 1);
    EXPECT_EQ(state.plane.x, 0u);
    EXPECT_EQ(state.memorySize, 614400u);
    EXPECT_EQ(state.screen.nonstd, KOverlayModeYuv422);
    EXPECT_EQ(state.colorKey.transparentKey, 0x0801u);
    ASSERT_EQ(state.pixels.size(), 614400u);
    EXPECT_EQ(state.pixels[0], 0x80);
    EXPECT_EQ(state.pixels[1], 0xEB) << "the plane shows what the program wrote";
    EXPECT_EQ(k.munmap(m, 614400), 0);
    k.close(fb);
    EXPECT_FALSE(sim().overlay().open);
}

TEST_F(SimTest, StockCameraStandInsRecordWhetherItRuns)
{
    EXPECT_TRUE(phone->stockCameraRunning());
    const std::string lifectl = phone->path("/usr/sbin/lifectl");
    const std::string killall = phone->path("/usr/bin/killall");
    ASSERT_EQ(std::system((lifectl + " -k /usr/bin/viewkeeper").c_str()), 0);
    EXPECT_FALSE(phone->stockCameraRunning());
    ASSERT_EQ(std::system((lifectl + " -U user -o /usr/bin/viewkeeper").c_str()), 0);
    EXPECT_TRUE(phone->stockCameraRunning());
    ASSERT_EQ(std::system((killall + " viewkeeper").c_str()), 0);
    EXPECT_FALSE(phone->stockCameraRunning());
    EXPECT_NE(std::system((killall + " something-else 2>/dev/null").c_str()), 0);
    const std::vector<std::string> expected { "lifectl -k /usr/bin/viewkeeper",
        "lifectl -U user -o /usr/bin/viewkeeper", "killall viewkeeper", "killall something-else" };
    EXPECT_EQ(phone->stockCameraLog(), expected);
}

TEST(SimPhoneRoot, SelectsItselfAndCleansUp)
{
    std::string root;
    {
        SimPhone phone;
        root = phone.root();
        EXPECT_EQ(&Phone::current(), &phone.phone());
        EXPECT_EQ(Phone::current().path("/tmp/opsa.lock"), root + "/tmp/opsa.lock");
        EXPECT_EQ(&kernel(), &phone.kernel());
    }
    EXPECT_NE(::access(root.c_str(), F_OK), 0) << "a temporary root is removed";
    EXPECT_NE(&Phone::current().kernel(), nullptr);
}
