// The PNG reader: any bytes are decoded or refused, and a decoded image holds every sample it
// claims.

#include "FuzzSupport.h"
#include "core/FileIO"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *aData, std::size_t aSize)
{
    fuzz::silenceReports();
    static fuzz::MemoryFile file;
    int w = 0, h = 0, c = 0;
    unsigned char *pixels = FileIO::readPng(file.hold(aData, aSize), w, h, c);
    if (pixels) {
        volatile unsigned char last = pixels[std::size_t(w) * h * c - 1];
        (void)last;
    }
    delete[] pixels;
    return 0;
}
