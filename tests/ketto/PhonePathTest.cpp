#include "Opsa/Ketto/PhonePath.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using Opsa::Ketto::phonePath;
using Opsa::Ketto::setPhoneRoot;

namespace {

#ifdef DUSKLINE_PHONE

TEST(PhonePath, IsTheIdentityOnThePhone)
{
    setPhoneRoot("/somewhere");
    EXPECT_EQ(phonePath("/home/user/MyDocs/DCIM/"), "/home/user/MyDocs/DCIM/");
}

#else

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

TEST(PhonePath, RootChangesWhileOtherThreadsMapPaths)
{
    setPhoneRoot("/b");
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                std::string path = phonePath("/tmp/opsa.lock");
                ASSERT_TRUE(path == "/a/tmp/opsa.lock" || path == "/b/tmp/opsa.lock") << path;
            }
        });
    }
    for (int i = 0; i < 2000; ++i)
        setPhoneRoot(i % 2 ? "/a" : "/b");
    for (std::thread &thread : threads)
        thread.join();
    setPhoneRoot("");
}

#endif

} // namespace
