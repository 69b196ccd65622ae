#include "core/AtomicFile"

#include "core/Report"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace core {
namespace {

    // The temporary names being written, for the signal handler. A handler can only use what
    // is async-signal-safe: fixed storage, atomic flags and unlink().
    constexpr int KSlots = 16;
    struct Slot
    {
        std::atomic<bool> claimed { false };
        std::atomic<bool> ready { false };
        char path[4096];
    };
    Slot slots[KSlots];

    int remember(const char *aPath)
    {
        for (int i = 0; i < KSlots; ++i) {
            bool expected = false;
            if (slots[i].claimed.compare_exchange_strong(expected, true)) {
                std::snprintf(slots[i].path, sizeof slots[i].path, "%s", aPath);
                slots[i].ready.store(true);
                return i;
            }
        }
        return -1; // more files at once than slots: only the signal cleanup misses this one
    }

    void forget(int aSlot)
    {
        if (aSlot < 0)
            return;
        slots[aSlot].ready.store(false);
        slots[aSlot].claimed.store(false);
    }

    void removeAndDie(int aSignal)
    {
        for (Slot &slot : slots)
            if (slot.ready.load())
                ::unlink(slot.path);
        // The handler was reset to the default on entry: once this returns, the signal ends
        // the process as it would have.
        std::raise(aSignal);
    }

    // The folder part of aPath with its slash ("dir/"), and the name after it.
    void splitPath(const char *aPath, int &aFolderLength, const char *&aName)
    {
        const char *slash = std::strrchr(aPath, '/');
        aFolderLength = slash ? int(slash - aPath + 1) : 0;
        aName = slash ? slash + 1 : aPath;
    }

    // Calls aCreate on fresh hidden names beside aPath (without the image's extension, so that
    // a leftover is never taken for a photograph) until it does not fail for an existing name;
    // aOut holds the last name. Returns what aCreate returned, or -1.
    template <class Create>
    int onHiddenName(const char *aPath, char *aOut, std::size_t aSize, Create aCreate)
    {
        static std::atomic<unsigned> serial { 0 };
        int folder;
        const char *name;
        splitPath(aPath, folder, name);
        for (int attempt = 0; attempt < 100; ++attempt) {
            int n = std::snprintf(
                aOut, aSize, "%.*s.%s.part-%d-%u", folder, aPath, name, int(getpid()), serial++);
            if (n < 0 || std::size_t(n) >= aSize) {
                errno = ENAMETOOLONG;
                return -1;
            }
            const int result = aCreate(aOut);
            if (result >= 0 || errno != EEXIST)
                return result;
        }
        return -1;
    }

} // namespace

AtomicFile::AtomicFile(const char *aPath, bool aUnnamed)
    : target(aPath)
{
#if defined(O_TMPFILE)
    if (aUnnamed) {
        int folder;
        const char *name;
        splitPath(aPath, folder, name);
        char dir[4096];
        std::snprintf(dir, sizeof dir, "%.*s", folder ? folder : 1, folder ? aPath : ".");
        fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // Written and later linked through its /proc name; without /proc it is of no use.
            std::snprintf(writeName, sizeof writeName, "/proc/self/fd/%d", fd);
            if (::access(writeName, W_OK) == 0)
                return;
            ::close(fd);
            fd = -1;
        }
    }
#else
    (void)aUnnamed;
#endif
    fd = onHiddenName(aPath, writeName, sizeof writeName, [](const char *aName) {
        return ::open(aName, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    });
    if (fd < 0) {
        const int error = errno;
        report("Cannot open file %s for writing.\n", aPath);
        report("%s: %s\n", aPath, std::strerror(error));
        return;
    }
    named = true;
    slot = remember(writeName);
}

AtomicFile::~AtomicFile()
{
    discard();
}

void AtomicFile::discard()
{
    if (fd < 0)
        return;
    if (named)
        ::unlink(writeName);
    forget(slot);
    slot = -1;
    ::close(fd);
    fd = -1;
}

int AtomicFile::fail(int aError)
{
    report("Cannot write file %s: %s\n", target, std::strerror(aError));
    discard();
    return -1;
}

int AtomicFile::commit()
{
    if (fd < 0)
        return -1;
    // The data must be on disk before the name points at it, or a power cut could leave an
    // empty file under the final name.
    if (::fsync(fd) != 0)
        return fail(errno);
    if (!named) {
        // Straight to the name where there is no file yet; else through a hidden name, as a
        // link cannot replace a file.
        if (::linkat(AT_FDCWD, writeName, AT_FDCWD, target, AT_SYMLINK_FOLLOW) == 0) {
            ::close(fd);
            fd = -1;
            return 0;
        }
        if (errno != EEXIST)
            return fail(errno);
        char hidden[4096];
        if (onHiddenName(target, hidden, sizeof hidden,
                [this](const char *aName) {
                    return ::linkat(AT_FDCWD, writeName, AT_FDCWD, aName, AT_SYMLINK_FOLLOW);
                })
            != 0)
            return fail(errno);
        std::memcpy(writeName, hidden, sizeof hidden);
        named = true;
        slot = remember(writeName);
    }
    if (std::rename(writeName, target) != 0)
        return fail(errno);
    forget(slot);
    slot = -1;
    ::close(fd);
    fd = -1;
    return 0;
}

void removeTemporariesOnSignals()
{
    for (int signal : { SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU, SIGXFSZ }) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = removeAndDie;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(signal, &action, nullptr);
    }
}

} // namespace core
