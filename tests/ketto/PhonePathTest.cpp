#include "Opsa/Ketto/PhonePath.h"

#include "support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using Opsa::Ketto::phonePath;
using Opsa::Ketto::phoneRoot;
using Opsa::Ketto::setPhoneRoot;

namespace {

// Restores the environment and the default root after each test.
class PhonePath : public testing::Test
{
protected:
    void SetUp() override
    {
        save("XDG_DATA_HOME", xdg);
        save("HOME", home);
    }
    void TearDown() override
    {
        restore("XDG_DATA_HOME", xdg);
        restore("HOME", home);
        setPhoneRoot("");
    }

private:
    struct Saved
    {
        bool set = false;
        std::string value;
    };
    static void save(const char *aName, Saved &aSaved)
    {
        const char *value = std::getenv(aName);
        aSaved.set = value != nullptr;
        aSaved.value = value ? value : "";
    }
    static void restore(const char *aName, const Saved &aSaved)
    {
        if (aSaved.set)
            setenv(aName, aSaved.value.c_str(), 1);
        else
            unsetenv(aName);
    }
    Saved xdg, home;
};

#ifdef DUSKLINE_PHONE

TEST_F(PhonePath, IsTheIdentityOnThePhone)
{
    setPhoneRoot("/somewhere");
    EXPECT_EQ(phonePath("/home/user/MyDocs/DCIM/"), "/home/user/MyDocs/DCIM/");
}

#else

TEST_F(PhonePath, MapsUnderAChosenRootKeepingTheTrailingSlash)
{
    testsupport::TempDir dir;
    setPhoneRoot(dir.path() + "/");
    EXPECT_EQ(phoneRoot(), dir.path());
    EXPECT_EQ(phonePath("/home/user/MyDocs/DCIM/"), dir.path() + "/home/user/MyDocs/DCIM/");
    EXPECT_EQ(phonePath("/tmp/opsa.lock"), dir.path() + "/tmp/opsa.lock");
    EXPECT_EQ(phonePath("relative/x"), dir.path() + "/relative/x");

    setPhoneRoot("/");
    EXPECT_EQ(phonePath("/tmp/opsa.lock"), "/tmp/opsa.lock");
}

TEST_F(PhonePath, DefaultsToTheUserDataDirectory)
{
    setPhoneRoot("");
    setenv("XDG_DATA_HOME", "/data/me", 1);
    EXPECT_EQ(phonePath("/home/user/.hdr"), "/data/me/duskline/phone/home/user/.hdr");

    // A relative XDG_DATA_HOME is not a base directory.
    setenv("XDG_DATA_HOME", "relative", 1);
    setenv("HOME", "/home/me", 1);
    EXPECT_EQ(phonePath("/home/user/.hdr"), "/home/me/.local/share/duskline/phone/home/user/.hdr");

    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(phoneRoot(), "/home/me/.local/share/duskline/phone");
}

TEST_F(PhonePath, RootChangesWhileOtherThreadsMapPaths)
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
}

#endif

} // namespace
