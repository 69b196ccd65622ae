#include "Opsa/Ketto/PhonePath.h"

#include "support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using Opsa::Ketto::phonePath;
using Opsa::Ketto::phoneRoot;
using Opsa::Ketto::setPhoneRoot;

namespace {

// Sets (or with null, removes) an environment variable for one scope.
class ScopedEnv
{
public:
    ScopedEnv(const char *aName, const char *aValue)
        : name(aName)
    {
        if (const char *old = std::getenv(aName))
            saved = old;
        aValue ? setenv(aName, aValue, 1) : unsetenv(aName);
    }
    ~ScopedEnv() { saved ? setenv(name, saved->c_str(), 1) : unsetenv(name); }

private:
    const char *name;
    std::optional<std::string> saved;
};

#ifdef DUSKLINE_PHONE

TEST(PhonePath, IsTheIdentityOnThePhone)
{
    setPhoneRoot("/somewhere");
    EXPECT_EQ(phonePath("/home/user/MyDocs/DCIM/"), "/home/user/MyDocs/DCIM/");
}

#else

TEST(PhonePath, MapsUnderAChosenRootKeepingTheTrailingSlash)
{
    testsupport::TempDir dir;
    setPhoneRoot(dir.path() + "/");
    EXPECT_EQ(phoneRoot(), dir.path());
    EXPECT_EQ(phonePath("/home/user/MyDocs/DCIM/"), dir.path() + "/home/user/MyDocs/DCIM/");
    EXPECT_EQ(phonePath("relative/x"), dir.path() + "/relative/x");
    setPhoneRoot("/");
    EXPECT_EQ(phonePath("/tmp/opsa.lock"), "/tmp/opsa.lock");
    setPhoneRoot("");
}

TEST(PhonePath, DefaultsToTheUserDataDirectory)
{
    ScopedEnv home("HOME", "/home/me");
    {
        ScopedEnv data("XDG_DATA_HOME", "/data/me");
        EXPECT_EQ(phonePath("/home/user/.hdr"), "/data/me/duskline/phone/home/user/.hdr");
    }
    {
        ScopedEnv data("XDG_DATA_HOME", "relative"); // not a base directory: ignored
        EXPECT_EQ(
            phonePath("/home/user/.hdr"), "/home/me/.local/share/duskline/phone/home/user/.hdr");
    }
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(phoneRoot(), "/home/me/.local/share/duskline/phone");
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
