// The JPEG decoder from a file (FUZZ_JPEG_FILE) or from memory: any bytes are decoded or
// refused, and a decoded image holds every sample it claims.

#include "FuzzSupport.h"
#include "core/FileIO"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *aData, std::size_t aSize)
{
    fuzz::silenceReports();
    int w = 0, h = 0, c = 0;
#if defined(FUZZ_JPEG_FILE)
    static fuzz::MemoryFile file;
    const char *path = file.hold(aData, aSize);
    // The last byte chooses the output colour space (RGB or Y, Cb, Cr).
    const int colourSpace = aSize ? aData[aSize - 1] & 1 : 0;
    unsigned char *pixels = FileIO::readJpeg(path, colourSpace, w, h, c);
    if (pixels) {
        volatile unsigned char last = pixels[std::size_t(w) * h * c - 1];
        (void)last;
    }
    delete[] pixels;
#else
    Image<unsigned char> image = FileIO::decodeJpegMemory(aData, aSize, w, h, c);
    if (!image.empty()) {
        volatile unsigned char last = image(w - 1, h - 1, c - 1);
        (void)last;
    }
#endif
    return 0;
}
