#include "Ketto/Kernel.h"

#include "Ketto/ButtonListener.h"
#include "Opsa/Ketto/PhonePath.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace Opsa::Ketto {

int Kernel::gettimeofday(struct timeval *aTime)
{
    return ::gettimeofday(aTime, nullptr);
}

Opsa::Time phoneTime()
{
    struct timeval tv
    {
    };
    kernel().gettimeofday(&tv);
    return Opsa::Time(static_cast<int>(tv.tv_sec), static_cast<int>(tv.tv_usec));
}

int LinuxKernel::open(const char *aPath, int aFlags, mode_t aMode)
{
    return ::open(aPath, aFlags, aMode);
}

int LinuxKernel::close(int aFd)
{
    return ::close(aFd);
}

ssize_t LinuxKernel::read(int aFd, void *aBuffer, std::size_t aCount)
{
    return ::read(aFd, aBuffer, aCount);
}

ssize_t LinuxKernel::write(int aFd, const void *aBuffer, std::size_t aCount)
{
    return ::write(aFd, aBuffer, aCount);
}

int LinuxKernel::ioctl(int aFd, unsigned long aRequest, void *aArgument)
{
    return ::ioctl(aFd, aRequest, aArgument);
}

int LinuxKernel::poll(struct pollfd *aFds, nfds_t aCount, int aTimeout)
{
    return ::poll(aFds, aCount, aTimeout);
}

void *LinuxKernel::mmap(
    void *aAddress, std::size_t aLength, int aProtection, int aFlags, int aFd, off_t aOffset)
{
    return ::mmap(aAddress, aLength, aProtection, aFlags, aFd, aOffset);
}

int LinuxKernel::munmap(void *aAddress, std::size_t aLength)
{
    return ::munmap(aAddress, aLength);
}

int LinuxKernel::madvise(void *aAddress, std::size_t aLength, int aAdvice)
{
    return ::madvise(aAddress, aLength, aAdvice);
}

namespace {

    template <typename T> T noDevice(T aFailure)
    {
        errno = ENODEV;
        return aFailure;
    }

} // namespace

int NoDevicesKernel::open(const char *, int, mode_t)
{
    return noDevice(-1);
}

int NoDevicesKernel::close(int)
{
    return noDevice(-1);
}

ssize_t NoDevicesKernel::read(int, void *, std::size_t)
{
    return noDevice<ssize_t>(-1);
}

ssize_t NoDevicesKernel::write(int, const void *, std::size_t)
{
    return noDevice<ssize_t>(-1);
}

int NoDevicesKernel::ioctl(int, unsigned long, void *)
{
    return noDevice(-1);
}

int NoDevicesKernel::poll(struct pollfd *, nfds_t, int)
{
    return noDevice(-1);
}

void *NoDevicesKernel::mmap(void *, std::size_t, int, int, int, off_t)
{
    return noDevice(MAP_FAILED);
}

int NoDevicesKernel::munmap(void *, std::size_t)
{
    return noDevice(-1);
}

int NoDevicesKernel::madvise(void *, std::size_t, int)
{
    return noDevice(-1);
}

Phone::Phone(Kernel &aKernel, const std::string &aRoot)
    : kern(&aKernel)
    , rootDir(aRoot)
{
    // Phone paths start with "/"; a root ending in one would double it.
    while (!rootDir.empty() && rootDir.back() == '/')
        rootDir.pop_back();
}

std::string Phone::path(const std::string &aPhonePath) const
{
    if (rootDir.empty())
        return aPhonePath;
    if (aPhonePath.empty() || aPhonePath[0] != '/')
        return rootDir + "/" + aPhonePath;
    return rootDir + aPhonePath;
}

std::string Phone::desktopRoot()
{
    // The user's data directory as the XDG base directory rules define it: a relative
    // $XDG_DATA_HOME is ignored.
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data && data[0] == '/')
        return std::string(data) + "/duskline/phone";
    const char *home = std::getenv("HOME");
    std::string base;
    if (home && home[0])
        base = home;
    else if (const struct passwd *entry = getpwuid(getuid()))
        base = entry->pw_dir;
    else
        base = "/tmp";
    return base + "/.local/share/duskline/phone";
}

namespace {

    std::atomic<const Phone *> selected { nullptr };

    const Phone &buildDefault()
    {
#ifdef DUSKLINE_PHONE
        static LinuxKernel system;
        static const Phone phone(system, "");
#else
        static NoDevicesKernel none;
        static const Phone phone(none, Phone::desktopRoot());
#endif
        return phone;
    }

} // namespace

const Phone &Phone::current()
{
    const Phone *phone = selected.load(std::memory_order_acquire);
    return phone ? *phone : buildDefault();
}

void Phone::select(const Phone *aPhone)
{
    const Phone *previous = selected.exchange(aPhone, std::memory_order_acq_rel);
    // The button listener watches the switches of the phone it was made for; that phone may
    // go once it is no longer the one in use.
    if (previous && previous != aPhone)
        ButtonListener::release(*previous);
}

std::string phonePath(const std::string &aPhonePath)
{
    return Phone::current().path(aPhonePath);
}

} // namespace Opsa::Ketto
