#include "SimKernel.h"

#include <cerrno>
#include <sys/mman.h>

namespace Opsa::Sim {

// TODO(sim): the device models land in the next commits; until then every device is absent.
struct SimKernel::State
{
};

SimKernel::SimKernel(const std::string &, const SimOptions &)
    : d(std::make_unique<State>())
{ }

SimKernel::~SimKernel() = default;

int SimKernel::open(const char *, int, mode_t)
{
    errno = ENODEV;
    return -1;
}
int SimKernel::close(int)
{
    errno = EBADF;
    return -1;
}
ssize_t SimKernel::read(int, void *, std::size_t)
{
    errno = EBADF;
    return -1;
}
ssize_t SimKernel::write(int, const void *, std::size_t)
{
    errno = EBADF;
    return -1;
}
int SimKernel::ioctl(int, unsigned long, void *)
{
    errno = EBADF;
    return -1;
}
int SimKernel::poll(struct pollfd *, nfds_t, int)
{
    errno = EBADF;
    return -1;
}
void *SimKernel::mmap(void *, std::size_t, int, int, int, off_t)
{
    errno = EBADF;
    return MAP_FAILED;
}
int SimKernel::munmap(void *aAddress, std::size_t aLength)
{
    return ::munmap(aAddress, aLength);
}
int SimKernel::madvise(void *aAddress, std::size_t aLength, int aAdvice)
{
    return ::madvise(aAddress, aLength, aAdvice);
}
Opsa::Time SimKernel::now() const
{
    return Opsa::Time::now();
}
std::uint32_t SimKernel::framesStarted() const
{
    return 0;
}
bool SimKernel::waitForFrames(std::uint32_t, int) const
{
    return false;
}
void SimKernel::holdExtension(bool) { }
void SimKernel::removeExtension(bool) { }
void SimKernel::dropFrame(std::uint32_t) { }
void SimKernel::delayFrame(std::uint32_t, int) { }
void SimKernel::withholdStatistics(std::uint32_t) { }
void SimKernel::shiftStatistics(std::uint32_t, int) { }
void SimKernel::failRequest(unsigned long, int, int) { }
void SimKernel::failOpen(const std::string &, int, int) { }
void SimKernel::clearFaults() { }
void SimKernel::setSwitch(Switch, bool) { }
bool SimKernel::switchOn(Switch) const
{
    return false;
}
void SimKernel::removeSwitch(Switch) { }
IspState SimKernel::isp() const
{
    return {};
}
std::vector<ControlWrite> SimKernel::controlWrites() const
{
    return {};
}
std::int32_t SimKernel::control(std::uint32_t) const
{
    return 0;
}
std::vector<FrameRecord> SimKernel::frames() const
{
    return {};
}
bool SimKernel::frame(std::uint32_t, FrameRecord &) const
{
    return false;
}
bool SimKernel::extensionInstalled() const
{
    return false;
}
OverlayState SimKernel::overlay() const
{
    return {};
}
float SimKernel::lensDiopters() const
{
    return 0;
}
float SimKernel::mainObjectDiopters() const
{
    return 2.0f;
}

float lensRawToDiopters(std::int32_t aRaw)
{
    const float d = (aRaw - 227) * 0.0315f;
    return d < 0 ? 0 : (d > 20 ? 20 : d);
}

std::int32_t lensDioptersToRaw(float aDiopters)
{
    return std::int32_t(aDiopters * 31.746f + 227.5f);
}

} // namespace Opsa::Sim
