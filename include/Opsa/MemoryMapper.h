#pragma once

#include <cstddef>
#include <sys/types.h>

namespace Opsa {

// The door through which frame images map device or file memory: the shape of the system
// calls it stands for (same arguments; MAP_FAILED or -1 with errno set on failure). The camera
// backend's kernel is one, so an image of a simulated device's memory is mapped by the
// simulator and an image of the phone's overlay plane by the real kernel.
// Thread: any, as the implementation allows.
class MemoryMapper
{
public:
    virtual ~MemoryMapper() = default;

    virtual void *mmap(
        void *aAddress, std::size_t aLength, int aProtection, int aFlags, int aFd, off_t aOffset)
        = 0;
    virtual int munmap(void *aAddress, std::size_t aLength) = 0;
    virtual int madvise(void *aAddress, std::size_t aLength, int aAdvice) = 0;
};

} // namespace Opsa
