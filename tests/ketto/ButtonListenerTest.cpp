// The button listener on the simulated phone: switch files to events, and the hand-over of the
// camera to and from the stock camera application (the phone's stand-in tools record what ran).
// Every wait is for a condition, with a deadline far beyond any scheduling delay.

#include "Ketto/ButtonListener.h"

#include "Opsa/Event.h"
#include "SimPhone.h"
#include "opsa/Events.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using Opsa::Event;
using Opsa::Ketto::ButtonListener;
using Opsa::Sim::SimPhone;
using Opsa::Sim::Switch;

namespace {

using testsupport::eventually;

// The next button or switch event (errors are kept aside), waiting for it.
bool nextSwitchEvent(Event &aEvent, std::vector<Event> &aErrors)
{
    return eventually([&] {
        Event event;
        while (Opsa::getNextEvent(&event)) {
            if (event.type == Event::Error || event.type == Event::Warning) {
                aErrors.push_back(event);
                continue;
            }
            aEvent = event;
            return true;
        }
        return false;
    });
}

bool logHas(const SimPhone &aPhone, const std::string &aLine)
{
    const auto log = aPhone.stockCameraLog();
    return std::find(log.begin(), log.end(), aLine) != log.end();
}

// Children of this process that have ended and were never reaped.
int zombieChildren()
{
    int count = 0;
    DIR *proc = opendir("/proc");
    if (!proc)
        return 0;
    const std::string self = std::to_string(getpid());
    while (dirent *entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        // pid (comm) state ppid ...; comm may hold blanks, so read after the last ')'.
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        long parent = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &parent) == 2
            && std::to_string(parent) == self && state == 'Z')
            ++count;
    }
    closedir(proc);
    return count;
}

const char *const KStopLifectl = "lifectl -k /usr/bin/viewkeeper";
const char *const KStopKillall = "killall viewkeeper";
const char *const KRespawn = "lifectl -U user -o /usr/bin/viewkeeper";

class ButtonListenerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        Opsa::Sim::SimOptions options;
        options.pace = Opsa::Sim::Pace::LockStep;
        phone = std::make_unique<SimPhone>(options);
        opsatest::drainEvents();
    }
    void TearDown() override
    {
        phone.reset();
        opsatest::drainEvents();
    }

    std::unique_ptr<SimPhone> phone;
};

TEST_F(ButtonListenerTest, EverySwitchChangeBecomesItsEventOnce)
{
    ButtonListener::instance();
    struct Case
    {
        Switch which;
        int onType;
        const char *onText;
        int offType;
        const char *offText;
    };
    const Case cases[] = {
        { Switch::ShutterButton, 4, "Shutter button pressed", 5, "Shutter button released" },
        { Switch::FocusButton, 2, "Focus button pressed", 3, "Focus button released" },
        { Switch::LensCover, 10001, "Lens cover opened", 10000, "Lens cover closed" },
        { Switch::KeyboardSlide, 10002, "Keyboard slide opened", 10003, "Keyboard slide closed" },
    };
    std::vector<Event> errors;
    for (const Case &c : cases) {
        const bool wasOn = phone->kernel().switchOn(c.which);
        // Setting a switch to the state it has is no change; the listener stays quiet.
        phone->kernel().setSwitch(c.which, wasOn);
        for (bool on : { !wasOn, wasOn }) {
            phone->kernel().setSwitch(c.which, on);
            Event event;
            ASSERT_TRUE(nextSwitchEvent(event, errors)) << c.onText;
            EXPECT_EQ(event.type, on ? c.onType : c.offType);
            EXPECT_EQ(event.description, on ? c.onText : c.offText);
            EXPECT_EQ(event.data, 0);
        }
    }
    // Held down, the shutter makes a single press: the release is the very next event.
    phone->kernel().setSwitch(Switch::ShutterButton, true);
    Event event;
    ASSERT_TRUE(nextSwitchEvent(event, errors));
    EXPECT_EQ(event.type, Event::ShutterButtonPressed);
    phone->kernel().setSwitch(Switch::ShutterButton, false);
    ASSERT_TRUE(nextSwitchEvent(event, errors));
    EXPECT_EQ(event.type, Event::ShutterButtonReleased);
    EXPECT_TRUE(errors.empty()) << errors.front().description;
}

TEST_F(ButtonListenerTest, VanishedSwitchIsReportedOnceAndTheOthersKeepWorking)
{
    ButtonListener::instance();
    phone->kernel().removeSwitch(Switch::KeyboardSlide);
    std::vector<Event> errors;
    ASSERT_TRUE(eventually([&] {
        for (Event e; Opsa::getNextEvent(&e);)
            errors.push_back(e);
        return !errors.empty();
    }));
    phone->kernel().setSwitch(Switch::ShutterButton, true);
    Event event;
    ASSERT_TRUE(nextSwitchEvent(event, errors));
    EXPECT_EQ(event.type, Event::ShutterButtonPressed);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].data, Event::InternalError);
    EXPECT_NE(errors[0].description.find("slide"), std::string::npos);
}

TEST_F(ButtonListenerTest, StopsTheStockCameraReapsItsToolsAndRestoresItWhenReleased)
{
    ASSERT_TRUE(phone->stockCameraRunning());
    EXPECT_TRUE(ButtonListener::instance().ownsCamera());
    ASSERT_TRUE(eventually([&] { return logHas(*phone, KStopLifectl); }));
    ASSERT_TRUE(eventually([&] { return logHas(*phone, KStopKillall); }));
    EXPECT_FALSE(phone->stockCameraRunning());
    EXPECT_FALSE(logHas(*phone, KRespawn)) << "restored while the camera is still ours";
    // The tools have ended; their processes must not stay behind as zombies.
    EXPECT_TRUE(eventually([] { return zombieChildren() == 0; }));

    ButtonListener::release(phone->phone());
    const auto log = phone->stockCameraLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), KRespawn);
    EXPECT_TRUE(phone->stockCameraRunning());
}

TEST_F(ButtonListenerTest, SecondInstanceLeavesTheCameraAndTheStockApplicationAlone)
{
    // Another process's lock, as flock sees it: a separate open of the same file.
    int other = ::open(phone->path("/tmp/opsa.lock").c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);

    EXPECT_FALSE(ButtonListener::instance().ownsCamera());
    // Reported at once, so the camera's start-up says the camera is in use.
    const auto inUse = opsatest::drainMessages(Event::Error, Event::CameraInUse);
    ASSERT_EQ(inUse.size(), 1u);
    EXPECT_NE(inUse[0].find("/tmp/opsa.lock"), std::string::npos);
    ButtonListener::release(phone->phone());
    ::close(other);
    EXPECT_TRUE(phone->stockCameraLog().empty());
    EXPECT_TRUE(phone->stockCameraRunning());
}

// A whole process on the phone: it takes the camera and ends without any clean-up; the stock
// camera application comes back after it is gone.
TEST(ButtonListenerProcess, StockCameraIsRestoredAfterTheProcessEnds)
{
    testsupport::TempDir root;
    const std::string probe = DUSKLINE_BIN_DIR "/duskline-listener-probe";
    ASSERT_TRUE(testsupport::fileExists(probe)) << probe;
    const std::string emulator = DUSKLINE_TEST_EMULATOR;
    pid_t child = ::fork();
    if (child == 0) {
        if (emulator.empty())
            ::execl(
                probe.c_str(), probe.c_str(), root.path().c_str(), static_cast<char *>(nullptr));
        else
            ::execlp(emulator.c_str(), emulator.c_str(), probe.c_str(), root.path().c_str(),
                static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "the probe did not see the stock camera stopped";

    // Read from the files: a phone made on this root now would install its stand-ins anew,
    // under the feet of the respawner about to run one.
    auto lines = [&](const std::string &aPath) {
        std::vector<std::string> read;
        std::ifstream in(root.path() + aPath);
        for (std::string line; std::getline(in, line);)
            read.push_back(line);
        return read;
    };
    EXPECT_TRUE(eventually(
        [&] {
            const auto log = lines("/var/log/stock-camera.log");
            return std::find(log.begin(), log.end(), KRespawn) != log.end();
        },
        60));
    EXPECT_TRUE(eventually(
        [&] {
            return lines("/var/run/viewkeeper.state") == std::vector<std::string> { "running" };
        },
        60));
    const auto log = lines("/var/log/stock-camera.log");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log.back(), KRespawn);
}

} // namespace
