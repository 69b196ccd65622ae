// The Radiance RGBE reader: any bytes are decoded or refused, and a decoded image holds every
// sample it claims.

#include "FuzzSupport.h"
#include "core/FileIO"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *aData, std::size_t aSize)
{
    fuzz::silenceReports();
    static fuzz::MemoryFile file;
    int w = 0, h = 0;
    float *pixels = FileIO::readRgbe(file.hold(aData, aSize), w, h);
    if (pixels) {
        volatile float last = pixels[std::size_t(w) * h * 3 - 1];
        (void)last;
    }
    delete[] pixels;
    return 0;
}
