// The binary PPM (FUZZ_PPM) or PGM reader: any bytes are read or refused, and a refused file
// leaves the caller's buffer as it was.

#include "FuzzSupport.h"
#include "core/FileIO"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *aData, std::size_t aSize)
{
    fuzz::silenceReports();
    static fuzz::MemoryFile file;
    const char *path = file.hold(aData, aSize);
#if defined(FUZZ_PPM)
    auto read = FileIO::readPpm;
    const int channels = 3;
#else
    auto read = FileIO::readPgm;
    const int channels = 1;
#endif
    int w = 0, h = 0;
    unsigned char *pixels = nullptr;
    read(path, w, h, pixels, 0);
    if (pixels && (w <= 0 || h <= 0))
        std::abort();
    if (pixels) {
        // Every sample must have been read: touching the last one finds a short buffer.
        volatile unsigned char last = pixels[std::size_t(w) * h * channels - 1];
        (void)last;
    }
    delete[] pixels;

    // Into a caller's buffer: on failure it must be untouched.
    static unsigned char buffer[4096];
    std::memset(buffer, 0xa5, sizeof buffer);
    unsigned char *into = buffer;
    read(path, w, h, into, sizeof buffer);
    if (w == 0) {
        for (unsigned char b : buffer)
            if (b != 0xa5)
                std::abort();
    }
    return 0;
}
