#pragma once

#include "Opsa/MemoryMapper.h"
#include "Opsa/Time.h"

#include <poll.h>
#include <string>
#include <sys/time.h>
#include <sys/types.h>

namespace Opsa::Ketto {

// The one door to the phone's devices: the camera node, the overlay framebuffer and the
// switch state files. It has the shape of the system calls it stands for (same arguments; -1,
// or MAP_FAILED for mmap, with errno set on failure), so the backend sends the phone drivers'
// own requests and records and reads like ordinary Linux code. Paths are the phone's own
// spelling ("/dev/video0"); the simulated phone answers for them on a desktop.
// Thread: any; implementations are safe to call from several threads at once.
class Kernel : public Opsa::MemoryMapper
{
public:
    ~Kernel() override = default;

    virtual int open(const char *aPath, int aFlags, mode_t aMode = 0) = 0;
    virtual int close(int aFd) = 0;
    virtual ssize_t read(int aFd, void *aBuffer, std::size_t aCount) = 0;
    virtual ssize_t write(int aFd, const void *aBuffer, std::size_t aCount) = 0;
    virtual int ioctl(int aFd, unsigned long aRequest, void *aArgument) = 0;
    virtual int poll(struct pollfd *aFds, nfds_t aCount, int aTimeout) = 0;
    // The time of day on the phone's clock, which stamps frame starts and buffers: the
    // system's own everywhere but on a simulated phone whose clock may run behind it. Code that
    // compares the time of day with device times (the capture daemon's timed actions) reads
    // it here.
    virtual int gettimeofday(struct timeval *aTime);
};

// The phone's own kernel: every call passes straight to the C library.
class LinuxKernel : public Kernel
{
public:
    int open(const char *aPath, int aFlags, mode_t aMode = 0) override;
    int close(int aFd) override;
    ssize_t read(int aFd, void *aBuffer, std::size_t aCount) override;
    ssize_t write(int aFd, const void *aBuffer, std::size_t aCount) override;
    int ioctl(int aFd, unsigned long aRequest, void *aArgument) override;
    int poll(struct pollfd *aFds, nfds_t aCount, int aTimeout) override;
    void *mmap(void *aAddress, std::size_t aLength, int aProtection, int aFlags, int aFd,
        off_t aOffset) override;
    int munmap(void *aAddress, std::size_t aLength) override;
    int madvise(void *aAddress, std::size_t aLength, int aAdvice) override;
};

// A machine without the phone's devices (a desktop where no phone was chosen): every call
// fails with ENODEV, so nothing reaches the desktop's own hardware by mistake.
class NoDevicesKernel : public Kernel
{
public:
    int open(const char *aPath, int aFlags, mode_t aMode = 0) override;
    int close(int aFd) override;
    ssize_t read(int aFd, void *aBuffer, std::size_t aCount) override;
    ssize_t write(int aFd, const void *aBuffer, std::size_t aCount) override;
    int ioctl(int aFd, unsigned long aRequest, void *aArgument) override;
    int poll(struct pollfd *aFds, nfds_t aCount, int aTimeout) override;
    void *mmap(void *aAddress, std::size_t aLength, int aProtection, int aFlags, int aFd,
        off_t aOffset) override;
    int munmap(void *aAddress, std::size_t aLength) override;
    int madvise(void *aAddress, std::size_t aLength, int aAdvice) override;
};

// The phone this process talks to: the kernel that serves its devices and the directory under
// which its fixed paths ("/home/user/MyDocs/DCIM/", "/tmp/opsa.lock", "/usr/sbin/lifectl")
// are real files, chosen together so that a simulated device is never paired with real paths.
// The phone build uses the Linux kernel and the paths themselves; the desktop application
// chooses the simulated phone and a folder under the user's data directory; a test chooses
// the simulated phone and a temporary directory.
// Thread: a Phone is immutable; select() is for start-up and test fixtures, before any thread
// that uses the phone runs.
class Phone
{
public:
    // aRoot "" (or "/") maps every path to itself; a trailing "/" is ignored. The kernel must
    // outlive the phone.
    Phone(Kernel &aKernel, const std::string &aRoot);

    Kernel &kernel() const { return *kern; }
    // "" when paths map to themselves.
    const std::string &root() const { return rootDir; }
    // The real path of a phone path: the path itself, or the path under the root (a relative
    // path is taken from the root); a trailing "/" is kept. Nothing is created on disk.
    std::string path(const std::string &aPhonePath) const;

    // The phone in use: the one last selected, else the build's default (on the phone build the
    // Linux kernel and the paths themselves; on a desktop build a machine without the phone's
    // devices and the folder "$XDG_DATA_HOME/duskline/phone", or
    // "$HOME/.local/share/duskline/phone").
    static const Phone &current();
    // Makes aPhone the phone in use (null: back to the build's default). The caller keeps it
    // alive while it is selected. The button listener of the phone selected before is ended
    // (its respawner done) before this returns.
    static void select(const Phone *aPhone);

    // The desktop's folder for the simulated phone (see current()), whatever the build.
    static std::string desktopRoot();

private:
    Kernel *kern;
    std::string rootDir;
};

// The kernel of the phone in use.
inline Kernel &kernel()
{
    return Phone::current().kernel();
}

// The time of day on the clock of the phone in use (Kernel::gettimeofday).
Opsa::Time phoneTime();

} // namespace Opsa::Ketto
