// The EXIF of an input photograph: any bytes give an EXIF block or none, and a result's block
// made from it keeps its orientation and reads back.

#include "FuzzSupport.h"
#include "core/Exif"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *aData, std::size_t aSize)
{
    fuzz::silenceReports();
    static fuzz::MemoryFile file;
    const core::ExifBlock input = core::readExif(file.hold(aData, aSize));
    const int orientation = core::exifOrientation(input);
    core::ExifFacts facts;
    facts.software = "fuzz";
    facts.exposureMicroseconds = 1250;
    facts.isoSpeed = 200;
    const core::ExifBlock result = core::resultExif(input, facts, 64, 48);
    if (!result.empty() && core::exifOrientation(result) != orientation)
        std::abort();
    return 0;
}
