#include "Opsa/Ketto/PhonePath.h"

#include "Ketto/Kernel.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>

using Opsa::Ketto::Phone;
using Opsa::Ketto::phonePath;

namespace {

TEST(Phone, MapsPathsUnderItsRootAndSelectsKernelAndRootTogether)
{
    Opsa::Ketto::NoDevicesKernel none;
    Phone phone(none, "/tmp/phone/");
    EXPECT_EQ(phone.path("/home/user/MyDocs/DCIM/"), "/tmp/phone/home/user/MyDocs/DCIM/");
    EXPECT_EQ(phone.path("relative/x"), "/tmp/phone/relative/x");
    EXPECT_EQ(Phone(none, "/").path("/tmp/opsa.lock"), "/tmp/opsa.lock");

    Phone::select(&phone);
    EXPECT_EQ(&Opsa::Ketto::kernel(), &none);
    EXPECT_EQ(phonePath("/home/user/.hdr"), "/tmp/phone/home/user/.hdr");
    Phone::select(nullptr);
    EXPECT_NE(&Opsa::Ketto::kernel(), &none);
}

#ifndef DUSKLINE_PHONE // on the phone the default is the phone itself

TEST(Phone, DesktopDefaultHasNoDevicesAndLivesInTheUserDataDirectory)
{
    errno = 0;
    EXPECT_EQ(Opsa::Ketto::kernel().open("/dev/video0", O_RDWR), -1);
    EXPECT_EQ(errno, ENODEV);

    // Only this suite's own process sees these.
    setenv("HOME", "/home/me", 1);
    setenv("XDG_DATA_HOME", "/data/me", 1);
    EXPECT_EQ(Phone::desktopRoot(), "/data/me/duskline/phone");
    setenv("XDG_DATA_HOME", "relative", 1); // not a base directory: ignored
    EXPECT_EQ(Phone::desktopRoot(), "/home/me/.local/share/duskline/phone");
}

#endif

} // namespace
