#pragma once

#include "Opsa/Geometry.h"
#include "Opsa/MemoryMapper.h"

#include <atomic>
#include <pthread.h>

namespace Opsa {

// Pixel formats of frame images, by code. The sensor produces only UYVY and RAW; the other
// colour formats exist as sizes. Any other code is a format without pixels.
enum ImageFormat : int {
    RGB24 = 0, // 3 bytes per pixel
    RGB16 = 1, // 2 bytes per pixel
    UYVY = 2, // YUV 4:2:2, 2 bytes per pixel
    YUV24 = 3, // 3 bytes per pixel
    RAW = 4, // sensor data, one 16-bit word per pixel
    UNKNOWN = 5, // no format: 0 bytes per pixel
};

// A reference to frame pixels shared by reference counting: copies and windows refer to the
// same memory, which is released with the last reference. The memory is owned (allocated
// here), borrowed (the caller's, never freed here) or memory-mapped from a file descriptor.
// Every shared buffer carries one mutex so that a writer (the capture daemon) and a reader do
// not touch the pixels at once; a reference remembers whether it holds that mutex.
//
// Thread: a reference belongs to one thread; give each thread its own copy. Copies may be made
// and dropped on different threads (the count is atomic). Misuse posts error events.
class Image
{
public:
    // Markers stored in data() in place of memory: no pixels wanted, and a new buffer wanted
    // for each captured frame (as the image target of a shot).
    static constexpr unsigned char *DiscardData = nullptr;
    static unsigned char *const AllocateOnCapture;

    // Bytes per pixel of a format code; 0 for codes outside 0..4.
    static int bytesPerPixelOf(int aFormat);
    // True for the two markers.
    static bool isMarker(const unsigned char *aData)
    {
        return aData == DiscardData || aData == AllocateOnCapture;
    }

    // 0 x 0, format UNKNOWN, data DiscardData.
    Image();

    // Allocates bytesPerPixel x width x height bytes, uninitialised. A size whose byte count
    // does not fit in 32 bits (or is negative) posts error InternalError and leaves an image of
    // 0 x 0 without data.
    Image(int aWidth, int aHeight, ImageFormat aType);
    Image(Size aSize, ImageFormat aType);

    // Wraps the caller's memory (or a marker) without copying; aBytesPerRow -1 means packed rows.
    // The memory is never freed here and must outlive every reference to it.
    Image(int aWidth, int aHeight, ImageFormat aType, unsigned char *aData, int aBytesPerRow = -1);
    Image(Size aSize, ImageFormat aType, unsigned char *aData, int aBytesPerRow = -1);

    // Maps aWidth x aHeight packed pixels at byte aOffset of a file descriptor through aMapper,
    // readable and writable; shared with the file when aWriteThrough, private otherwise. The
    // last reference unmaps it through the same mapper, which must outlive every reference. A
    // failed mapping posts error InternalError and leaves the image without data.
    Image(int aFd, unsigned int aOffset, int aWidth, int aHeight, ImageFormat aType,
        bool aWriteThrough, MemoryMapper &aMapper);

    // A further reference to the same pixels; it does not hold the lock.
    Image(const Image &aOther);

    // A window of aSource at (aX, aY): cut to the source's extent, sharing its memory, count
    // and mutex. An origin outside the source (or a source without data) gives a default image.
    Image(const Image &aSource, int aX, int aY, int aWidth, int aHeight);

    Image &operator=(const Image &aOther);
    ~Image();

    int width() const { return w; }
    int height() const { return h; }
    Size size() const { return Size { w, h }; }
    ImageFormat type() const { return format; }
    int bytesPerPixel() const { return bpp; }
    int bytesPerRow() const { return stride; }
    unsigned char *data() const { return pixels; }
    // True when data() is real memory rather than a marker.
    bool hasData() const { return !isMarker(pixels); }
    // The shared reference count (borrowed memory counts one extra), 0 without one.
    int referenceCount() const { return refCount ? refCount->load() : 0; }
    bool memoryMapped() const { return memmapped; }
    bool holdsLock() const { return holdingLock; }

    // A new image of the same size and format holding a copy of the pixels; a marker source
    // gives an image with the same marker.
    Image copy() const;

    // Copies the overlapping rows and row bytes of aSource into this image. Takes no lock: the
    // caller holds this image's lock when other threads may read it.
    void copyFrom(const Image &aSource);

    // Releases this reference and installs aBuffer (memory this image would release) and aData
    // (the first pixel; aBuffer when null). The new memory is not counted or locked.
    void setBuffer(unsigned char *aBuffer, unsigned char *aData = nullptr);

    // Takes the buffer's mutex: aTimeout < 0 waits for ever, 0 tries once, > 0 waits up to that
    // many microseconds. Returns whether this reference now holds it. Locking again through the
    // same reference posts error ImageLockMisuse and returns true; an image without memory
    // posts error InternalError and returns false.
    bool lock(int aTimeout = -1);
    // Lets the mutex go; posts error ImageLockMisuse when this reference does not hold it.
    void unlock();

    // Prints the fields of this reference on standard output.
    void dump(const char *aName = "") const;

private:
    void release();

    int w = 0;
    int h = 0;
    ImageFormat format = UNKNOWN;
    int bpp = 0;
    int stride = 0;
    unsigned char *pixels = DiscardData;
    unsigned char *buffer = nullptr;
    unsigned int bufferSize = 0;
    std::atomic<int> *refCount = nullptr;
    pthread_mutex_t *mutex = nullptr;
    bool memmapped = false;
    MemoryMapper *mapper = nullptr; // what mapped the buffer, when memmapped
    bool holdingLock = false;
};

} // namespace Opsa
