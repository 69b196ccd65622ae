#include "Opsa/Image.h"

#include "Opsa/Event.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

namespace Opsa {

unsigned char *const Image::AllocateOnCapture
    = reinterpret_cast<unsigned char *>(~std::uintptr_t(0));

namespace {

    unsigned long long address(const void *aPointer)
    {
        return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(aPointer));
    }

    pthread_mutex_t *newMutex()
    {
        pthread_mutex_t *mutex = new pthread_mutex_t;
        pthread_mutex_init(mutex, nullptr);
        return mutex;
    }

} // namespace

int Image::bytesPerPixelOf(int aFormat)
{
    switch (aFormat) {
    case RGB24:
    case YUV24:
        return 3;
    case RGB16:
    case UYVY:
    case RAW:
        return 2;
    default:
        return 0;
    }
}

Image::Image() = default;

Image::Image(int aWidth, int aHeight, ImageFormat aType)
    : format(aType)
    , bpp(bytesPerPixelOf(aType))
{
    std::int64_t bytes = std::int64_t(bpp) * aWidth * aHeight;
    if (aWidth < 0 || aHeight < 0 || bytes > UINT32_MAX) {
        // The byte count is kept in 32 bits; a wrapped size would under-allocate.
        Opsa::error(Event::InternalError, "Image: Cannot allocate %d x %d pixels of format %d\n",
            aWidth, aHeight, aType);
        return;
    }
    w = aWidth;
    h = aHeight;
    stride = bpp * w;
    bufferSize = static_cast<unsigned int>(bytes);
    buffer = new unsigned char[bufferSize];
    pixels = buffer;
    refCount = new std::atomic<int>(1);
    mutex = newMutex();
}

Image::Image(Size aSize, ImageFormat aType)
    : Image(aSize.width, aSize.height, aType)
{ }

Image::Image(int aWidth, int aHeight, ImageFormat aType, unsigned char *aData, int aBytesPerRow)
    : w(aWidth)
    , h(aHeight)
    , format(aType)
    , bpp(bytesPerPixelOf(aType))
    , stride(aBytesPerRow == -1 ? bpp * aWidth : aBytesPerRow)
    , pixels(aData)
{
    if (!isMarker(aData)) {
        // One count more than there are references: the caller's memory is never freed here.
        refCount = new std::atomic<int>(2);
        mutex = newMutex();
    }
}

Image::Image(Size aSize, ImageFormat aType, unsigned char *aData, int aBytesPerRow)
    : Image(aSize.width, aSize.height, aType, aData, aBytesPerRow)
{ }

Image::Image(int aFd, unsigned int aOffset, int aWidth, int aHeight, ImageFormat aType,
    bool aWriteThrough, MemoryMapper &aMapper)
    : w(aWidth)
    , h(aHeight)
    , format(aType)
    , bpp(bytesPerPixelOf(aType))
    , stride(bpp * aWidth)
{
    std::int64_t length = std::int64_t(stride) * aHeight;
    long page = sysconf(_SC_PAGESIZE);
    // mmap wants a page-aligned offset; the pixels start delta bytes into the mapping.
    std::int64_t start = (std::int64_t(aOffset) / page) * page;
    std::int64_t delta = aOffset - start;
    std::int64_t size = page * (1 + (delta + length - 1) / page);
    void *mapping = MAP_FAILED;
    int savedErrno = EINVAL;
    if (aWidth >= 0 && aHeight >= 0 && size <= UINT32_MAX) {
        mapping = aMapper.mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE,
            aWriteThrough ? MAP_SHARED : MAP_PRIVATE, aFd, off_t(start));
        savedErrno = errno;
    }
    if (mapping == MAP_FAILED) {
        Opsa::error(Event::InternalError,
            "Image: Unable to memory map file descriptor %d at %d, length %d bytes: %s", aFd,
            int(aOffset), int(length), strerror(savedErrno));
        return;
    }
    if (aMapper.madvise(mapping, size_t(size), MADV_SEQUENTIAL) != 0) {
        Opsa::warning(Event::InternalError,
            "Image: Unable to call madvise successfully. Performance may be impacted: %s",
            strerror(errno));
    }
    memmapped = true;
    mapper = &aMapper;
    bufferSize = static_cast<unsigned int>(size);
    buffer = static_cast<unsigned char *>(mapping);
    pixels = buffer + delta;
    refCount = new std::atomic<int>(1);
    mutex = newMutex();
}

Image::Image(const Image &aOther)
    : w(aOther.w)
    , h(aOther.h)
    , format(aOther.format)
    , bpp(aOther.bpp)
    , stride(aOther.stride)
    , pixels(aOther.pixels)
    , buffer(aOther.buffer)
    , bufferSize(aOther.bufferSize)
    , refCount(aOther.refCount)
    , mutex(aOther.mutex)
    , memmapped(aOther.memmapped)
    , mapper(aOther.mapper)
{
    if (refCount)
        refCount->fetch_add(1, std::memory_order_relaxed);
}

Image::Image(const Image &aSource, int aX, int aY, int aWidth, int aHeight)
{
    if (!aSource.hasData() || aX < 0 || aY < 0 || aX >= aSource.w || aY >= aSource.h || aWidth < 0
        || aHeight < 0)
        return;
    w = std::int64_t(aX) + aWidth > aSource.w ? aSource.w - aX : aWidth;
    h = std::int64_t(aY) + aHeight > aSource.h ? aSource.h - aY : aHeight;
    format = aSource.format;
    bpp = aSource.bpp;
    stride = aSource.stride;
    pixels = aSource.pixels + std::ptrdiff_t(aX) * bpp + std::ptrdiff_t(aY) * stride;
    buffer = aSource.buffer;
    bufferSize = aSource.bufferSize;
    memmapped = aSource.memmapped;
    mapper = aSource.mapper;
    // A source without a count (memory installed by setBuffer) is not managed here; the window
    // then shares neither count nor mutex rather than touching a count that does not exist.
    refCount = aSource.refCount;
    mutex = aSource.mutex;
    if (refCount)
        refCount->fetch_add(1, std::memory_order_relaxed);
}

Image &Image::operator=(const Image &aOther)
{
    // The same pixels (or the same marker): only the geometry may differ. A marker carries a
    // size (a shot's target), which must not be lost here.
    if (refCount == aOther.refCount && pixels == aOther.pixels) {
        w = aOther.w;
        h = aOther.h;
        format = aOther.format;
        bpp = aOther.bpp;
        stride = aOther.stride;
        return *this;
    }
    // Taken first: releasing this reference must not be able to end the source's buffer.
    if (aOther.refCount)
        aOther.refCount->fetch_add(1, std::memory_order_relaxed);
    w = aOther.w;
    h = aOther.h;
    format = aOther.format;
    bpp = aOther.bpp;
    stride = aOther.stride;
    setBuffer(aOther.buffer, aOther.pixels);
    bufferSize = aOther.bufferSize;
    mutex = aOther.mutex;
    memmapped = aOther.memmapped;
    mapper = aOther.mapper;
    refCount = aOther.refCount;
    holdingLock = false;
    return *this;
}

Image::~Image()
{
    release();
}

void Image::release()
{
    if (holdingLock)
        pthread_mutex_unlock(mutex);
    holdingLock = false;
    if (refCount) {
        int left = refCount->fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0 || (left == 1 && !buffer)) {
            pthread_mutex_destroy(mutex);
            delete mutex;
            delete refCount;
        }
        if (left == 0 && buffer) {
            // Released the way it was acquired.
            if (memmapped) {
                if (mapper->munmap(buffer, bufferSize) != 0) {
                    Opsa::error(Event::InternalError,
                        "Image::setBuffer: Unable to unmap memory mapped region starting "
                        "at %x of size %d: %s",
                        static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(buffer)),
                        int(bufferSize), strerror(errno));
                }
            } else {
                delete[] buffer;
            }
        }
    }
    mutex = nullptr;
    refCount = nullptr;
    // Nothing of the released memory applies to what is installed next.
    memmapped = false;
    mapper = nullptr;
    bufferSize = 0;
}

void Image::setBuffer(unsigned char *aBuffer, unsigned char *aData)
{
    release();
    buffer = isMarker(aBuffer) ? nullptr : aBuffer;
    pixels = aData ? aData : aBuffer;
}

Image Image::copy() const
{
    if (!hasData())
        return Image(w, h, format, pixels);
    Image result(w, h, format);
    result.copyFrom(*this);
    return result;
}

void Image::copyFrom(const Image &aSource)
{
    if (!hasData() || !aSource.hasData())
        return;
    int rows = h < aSource.h ? h : aSource.h;
    int ownBytes = bpp * w;
    int sourceBytes = aSource.bpp * aSource.w;
    int rowBytes = ownBytes < sourceBytes ? ownBytes : sourceBytes;
    if (rows <= 0 || rowBytes <= 0)
        return;
    for (int y = 0; y < rows; ++y)
        memcpy(pixels + std::ptrdiff_t(y) * stride,
            aSource.pixels + std::ptrdiff_t(y) * aSource.stride, size_t(rowBytes));
}

bool Image::lock(int aTimeout)
{
    if (holdingLock) {
        Opsa::error(Event::ImageLockMisuse,
            "Image reference trying to acquire lock it's already holding. Make a separate "
            "image reference per thread.\n");
        return true;
    }
    if (!mutex) {
        Opsa::error(Event::InternalError, "Locking an image with no mutex\n");
        return false;
    }
    int result;
    if (aTimeout < 0) {
        result = pthread_mutex_lock(mutex);
    } else if (aTimeout == 0) {
        result = pthread_mutex_trylock(mutex);
    } else {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        std::int64_t ns = deadline.tv_nsec + std::int64_t(aTimeout) * 1000;
        deadline.tv_sec += ns / 1000000000;
        deadline.tv_nsec = long(ns % 1000000000);
        result = pthread_mutex_timedlock(mutex, &deadline);
    }
    holdingLock = (result == 0);
    return holdingLock;
}

void Image::unlock()
{
    if (!holdingLock) {
        Opsa::error(
            Event::ImageLockMisuse, "Cannot unlock a lock not held by this image reference");
    } else if (!mutex) {
        Opsa::error(Event::InternalError, "Unlocking an image with no mutex");
        dump("");
    } else {
        pthread_mutex_unlock(mutex);
        holdingLock = false;
    }
}

void Image::dump(const char *aName) const
{
    printf("\tImage %s at %llx with dimensions %d %d type %d\n\t  bytes per pixel %d bytes per "
           "row %d\n\t  data %llx buffer %llx\n\t  refCount %llx = (%d), mutex %llx, memmapped "
           "%s, holdingLock %s\n",
        aName ? aName : "", address(this), w, h, int(format), bpp, stride, address(pixels),
        address(buffer), address(refCount), referenceCount(), address(mutex),
        memmapped ? "true" : "false", holdingLock ? "true" : "false");
}

} // namespace Opsa
