#include "Ketto/ButtonListener.h"

#include "Ketto/Kernel.h"
#include "Opsa/Debug.h"
#include "Opsa/Event.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Opsa::Ketto {

namespace {

    const char *const KLockFile = "/tmp/opsa.lock";

    struct Switch
    {
        const char *path;
        int onType;
        const char *onText;
        int offType;
        const char *offText;
    };

    const Switch KSwitches[ButtonListener::KSwitchCount] = {
        { "/sys/devices/platform/gpio-switch/cam_shutter/state", Event::LensCoverOpened,
            "Lens cover opened", Event::LensCoverClosed, "Lens cover closed" },
        { "/sys/devices/platform/gpio-switch/cam_focus/state", Event::FocusButtonPressed,
            "Focus button pressed", Event::FocusButtonReleased, "Focus button released" },
        { "/sys/devices/platform/gpio-switch/cam_launch/state", Event::ShutterButtonPressed,
            "Shutter button pressed", Event::ShutterButtonReleased, "Shutter button released" },
        { "/sys/devices/platform/gpio-switch/slide/state", Event::KeyboardSlideOpened,
            "Keyboard slide opened", Event::KeyboardSlideClosed, "Keyboard slide closed" },
    };
    constexpr int KSwitchCount = ButtonListener::KSwitchCount;

    // -1 unknown, 0 off, 1 on. Reads up to 80 bytes; the text ends where the read ends.
    int readState(Kernel &aKernel, int aFd)
    {
        char text[81];
        ssize_t n = aFd >= 0 ? aKernel.read(aFd, text, 80) : -1;
        text[n > 0 ? n : 0] = '\0';
        switch (text[0]) {
        case 'a':
        case 'o':
            return 1;
        case 'c':
        case 'i':
            return 0;
        default:
            error(Event::InternalError, "ButtonListener: Unknown state: %s", text);
            return -1;
        }
    }

    // Everything a forked child needs, made before the fork: between fork and exec a child of
    // a threaded process may only make async-signal-safe calls (no allocation).
    struct ToolCall
    {
        std::string path;
        std::vector<std::string> args;
        std::vector<char *> argv;

        ToolCall(const Phone &aPhone, const char *aTool, std::vector<std::string> aArgs)
            : path(aPhone.path(aTool))
            , args(std::move(aArgs))
        {
            argv.push_back(const_cast<char *>(path.c_str()));
            for (std::string &arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
        }
    };

    // The descriptors of this process (camera, lock, sockets) must not live on in the stock
    // application the children start, nor keep the lock from the respawner.
    void closeInheritedDescriptors(int aLimit)
    {
#ifdef SYS_close_range
        if (::syscall(SYS_close_range, 3u, ~0u, 0u) == 0)
            return;
#endif
        for (int fd = 3; fd < aLimit; ++fd)
            ::close(fd);
    }

    [[noreturn]] void execTool(const ToolCall &aCall)
    {
        ::close(STDOUT_FILENO);
        ::close(STDERR_FILENO);
        ::execv(aCall.path.c_str(), aCall.argv.data());
        ::_exit(0);
    }

    int descriptorLimit()
    {
        long limit = ::sysconf(_SC_OPEN_MAX);
        return limit > 0 ? int(std::min<long>(limit, 65536)) : 1024;
    }

    std::mutex &listenerMutex()
    {
        static std::mutex mutex;
        return mutex;
    }

    std::unique_ptr<ButtonListener> &listenerSlot()
    {
        static std::unique_ptr<ButtonListener> slot;
        return slot;
    }

    const Phone *&listenerPhone()
    {
        static const Phone *phone = nullptr;
        return phone;
    }

} // namespace

ButtonListener &ButtonListener::instance()
{
    std::unique_ptr<ButtonListener> previous;
    std::lock_guard<std::mutex> guard(listenerMutex());
    const Phone &phone = Phone::current();
    std::unique_ptr<ButtonListener> &slot = listenerSlot();
    if (slot && listenerPhone() != &phone) {
        previous = std::move(slot);
        previous->finish(true);
    }
    previous.reset();
    if (!slot) {
        slot.reset(new ButtonListener(phone));
        listenerPhone() = &phone;
    }
    return *slot;
}

void ButtonListener::release(const Phone &aPhone)
{
    std::unique_ptr<ButtonListener> ended;
    {
        std::lock_guard<std::mutex> guard(listenerMutex());
        if (listenerPhone() != &aPhone || !listenerSlot())
            return;
        ended = std::move(listenerSlot());
        listenerPhone() = nullptr;
    }
    ended->finish(true);
}

ButtonListener::ButtonListener(const Phone &aPhone)
    : phone(&aPhone)
{
    // The lock is taken here rather than on the thread, so that a second instance's refusal is
    // on the event queue before its camera is started and its start-up reports it.
    const std::string lockPath = phone->path(KLockFile);
    lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd < 0) {
        error(Event::InternalError, "ButtonListener: cannot open %s: %s", KLockFile,
            std::strerror(errno));
    } else if (::flock(lockFd, LOCK_EX | LOCK_NB) == 0) {
        locked = true;
    } else if (errno == EWOULDBLOCK) {
        lockedOut = true;
        error(Event::CameraInUse,
            "ButtonListener: %s is held by another program: leaving the camera to it", KLockFile);
        return;
    } else {
        error(Event::InternalError, "ButtonListener: cannot lock %s: %s", KLockFile,
            std::strerror(errno));
    }

    // The initial states are read before the constructor returns: every change after it is
    // reported.
    Kernel &kernel = phone->kernel();
    for (int i = 0; i < KSwitchCount; ++i) {
        fds[i] = kernel.open(KSwitches[i].path, O_RDONLY);
        if (fds[i] < 0)
            error(Event::InternalError, "ButtonListener: cannot open %s: %s", KSwitches[i].path,
                std::strerror(errno));
        states[i] = fds[i] >= 0 ? readState(kernel, fds[i]) : -1;
    }

    if (::pipe2(wakePipe, O_CLOEXEC) != 0) {
        wakePipe[0] = wakePipe[1] = -1;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_OTHER);
    sched_param param {};
    param.sched_priority = sched_get_priority_max(SCHED_OTHER);
    pthread_attr_setschedparam(&attributes, &param);
    threadStarted = pthread_create(&thread, &attributes, &ButtonListener::threadMain, this) == 0;
    pthread_attr_destroy(&attributes);
    if (!threadStarted)
        error(Event::InternalError, "Error creating button listener thread");
}

ButtonListener::~ButtonListener()
{
    finish(false);
}

void ButtonListener::finish(bool aWait)
{
    if (threadStarted) {
        stopping.store(true);
        if (wakePipe[1] >= 0) {
            const char stop = 1;
            while (::write(wakePipe[1], &stop, 1) < 0 && errno == EINTR) { }
        }
        pthread_join(thread, nullptr);
        threadStarted = false;
    }
    for (int &fd : wakePipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    for (int &fd : fds) {
        if (fd >= 0)
            phone->kernel().close(fd);
        fd = -1;
    }
    // Closing the last descriptor of the lock lets the respawner go on.
    if (lockFd >= 0)
        ::close(lockFd);
    lockFd = -1;
    reap(aWait);
    if (aWait && respawner > 0) {
        while (::waitpid(respawner, nullptr, 0) < 0 && errno == EINTR) { }
        respawner = -1;
    }
}

void *ButtonListener::threadMain(void *aSelf)
{
    static_cast<ButtonListener *>(aSelf)->run();
    return nullptr;
}

void ButtonListener::startTools()
{
    const ToolCall stopByLifecycle(*phone, "/usr/sbin/lifectl", { "-k", "/usr/bin/viewkeeper" });
    const ToolCall stopByKillall(*phone, "/usr/bin/killall", { "viewkeeper" });
    const ToolCall respawn(
        *phone, "/usr/sbin/lifectl", { "-U", "user", "-o", "/usr/bin/viewkeeper" });
    const std::string lockPath = phone->path(KLockFile);
    const int limit = descriptorLimit();

    // The respawner comes first: once the stock application is stopped, its return must
    // already be arranged, however soon this process ends. Without the lock it would restore
    // the stock application at once.
    pid_t pid = locked ? ::fork() : -1;
    if (pid == 0) {
        // Its own process group, so that an interrupt meant for this process spares it.
        ::setpgid(0, 0);
        closeInheritedDescriptors(limit);
        // Closed on exec: the stock application it starts must not keep the lock, or the
        // next launch would take it for another instance.
        int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            ::_exit(0);
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) { }
        OPSA_TRACE(2, "Respawning viewkeeper");
        execTool(respawn);
    }
    if (pid > 0)
        respawner = pid;

    pid = ::fork();
    if (pid == 0) {
        closeInheritedDescriptors(limit);
        OPSA_TRACE(2, "Killing viewkeeper using lifectl\n");
        execTool(stopByLifecycle);
    }
    if (pid > 0)
        children.push_back(pid);

    pid = ::fork();
    if (pid == 0) {
        closeInheritedDescriptors(limit);
        ::usleep(100000);
        OPSA_TRACE(2, "Killing viewkeeper using killall\n");
        execTool(stopByKillall);
    }
    if (pid > 0)
        children.push_back(pid);
}

void ButtonListener::reap(bool aBlock)
{
    auto ended = [&](pid_t aPid) {
        int status = 0;
        pid_t got;
        while ((got = ::waitpid(aPid, &status, aBlock ? 0 : WNOHANG)) < 0 && errno == EINTR) { }
        // ECHILD: someone else reaped it; either way it is gone.
        return got == aPid || got < 0;
    };
    children.erase(std::remove_if(children.begin(), children.end(), ended), children.end());
}

void ButtonListener::run()
{
    startTools();

    Kernel &kernel = phone->kernel();
    for (;;) {
        pollfd polled[KSwitchCount + 1];
        for (int i = 0; i < KSwitchCount; ++i)
            polled[i] = pollfd { fds[i], POLLPRI, 0 };
        polled[KSwitchCount] = pollfd { wakePipe[0], POLLIN, 0 };
        const int ready = kernel.poll(polled, KSwitchCount + 1, 1000);
        if (stopping.load())
            break;
        reap(false);
        if (ready < 0) {
            OPSA_TRACE(1, "ButtonListener: poll failed");
            continue;
        }
        for (int i = 0; i < KSwitchCount; ++i) {
            if (fds[i] < 0 || !(polled[i].revents & (POLLPRI | POLLERR | POLLHUP | POLLNVAL)))
                continue;
            kernel.close(fds[i]);
            fds[i] = kernel.open(KSwitches[i].path, O_RDONLY);
            if (fds[i] < 0) {
                // A vanished switch would signal on every pass; it is no longer watched.
                error(Event::InternalError, "ButtonListener: cannot open %s: %s", KSwitches[i].path,
                    std::strerror(errno));
                continue;
            }
            const int state = readState(kernel, fds[i]);
            if (state < 0 || state == states[i])
                continue;
            states[i] = state;
            const Switch &sw = KSwitches[i];
            post(state ? sw.onType : sw.offType, 0, state ? sw.onText : sw.offText);
        }
    }
    OPSA_TRACE(2, "Button listener shutting down\n");
}

} // namespace Opsa::Ketto
