#include "Opsa/Ketto/PhonePath.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

using Opsa::Ketto::phonePath;
using Opsa::Ketto::setPhoneRoot;

namespace {

#ifndef DUSKLINE_PHONE // on the phone the mapping is the identity

TEST(PhonePath, MapsUnderAChosenRootOrTheUserDataDirectory)
{
    setPhoneRoot("/tmp/phone/");
    EXPECT_EQ(phonePath("/home/user/MyDocs/DCIM/"), "/tmp/phone/home/user/MyDocs/DCIM/");
    EXPECT_EQ(phonePath("relative/x"), "/tmp/phone/relative/x");
    setPhoneRoot("/");
    EXPECT_EQ(phonePath("/tmp/opsa.lock"), "/tmp/opsa.lock");
    setPhoneRoot(""); // back to the default

    // Only this suite's own process sees these.
    setenv("HOME", "/home/me", 1);
    setenv("XDG_DATA_HOME", "/data/me", 1);
    EXPECT_EQ(phonePath("/home/user/.hdr"), "/data/me/duskline/phone/home/user/.hdr");
    setenv("XDG_DATA_HOME", "relative", 1); // not a base directory: ignored
    EXPECT_EQ(phonePath("/home/user/.hdr"), "/home/me/.local/share/duskline/phone/home/user/.hdr");
}

#endif

} // namespace
