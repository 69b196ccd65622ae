#include "Opsa/Frame.h"

#include "Opsa/Platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace Opsa {

namespace {

    unsigned long long address(const void *aPointer)
    {
        return static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(aPointer));
    }

    // What an invalid frame reports: no camera behind it.
    class NoPlatform : public Platform
    {
    public:
        int bayerPattern() const override { return NotBayer; }
        void rawToRGBColorMatrix(int, float *aMatrix) const override
        {
            for (int i = 0; i < 12; ++i)
                aMatrix[i] = (i % 5 == 0) ? 1.0f : 0.0f;
        }
        const std::string &manufacturer() const override { return name; }
        const std::string &model() const override { return name; }
        int minRawValue() const override { return 0; }
        int maxRawValue() const override { return 0; }

    private:
        std::string name;
    };

    class EmptyFrame : public _Frame
    {
    public:
        const Shot &shot() const override { return request; }
        const Platform &platform() const override
        {
            static const NoPlatform none;
            return none;
        }

    private:
        Shot request;
    };

    const char *yesNo(bool aValue)
    {
        return aValue ? "yes" : "no";
    }

    // The dump's time field is 23 bytes: out-of-range parts (a microsecond part of 1000000) are
    // cut at its end rather than widening it.
    void formatTime(const Time &aTime, char (&aText)[23])
    {
        time_t seconds = aTime.seconds();
        struct tm local = {};
        localtime_r(&seconds, &local);
        char full[96] = {};
        snprintf(full, sizeof full, "%04d.%02d.%02d_%02d.%02d.%02d.%02d", local.tm_year + 1900,
            local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
            aTime.microseconds() / 10000);
        memcpy(aText, full, sizeof aText - 1);
        aText[sizeof aText - 1] = '\0';
    }

    const char *bayerName(int aPattern)
    {
        switch (aPattern) {
        case Platform::RGGB:
            return "RGGB";
        case Platform::BGGR:
            return "BGGR";
        case Platform::GRBG:
            return "GRBG";
        case Platform::GBRG:
            return "GBRG";
        default:
            return "Not Bayer";
        }
    }

} // namespace

void _Frame::debug(const char *aName) const
{
    printf("\tDump of Opsa::Frame %s at %llx:\n", aName ? aName : "", address(this));

    char start[23], end[23], done[23];
    formatTime(exposureStartTime, start);
    formatTime(exposureEndTime, end);
    formatTime(processingDoneTime, done);
    printf("\t  Exposure start time: %s end time: %s\n", start, end);
    printf("\t  Processing done time: %s\n", done);
    printf("\t  Exposure: %d us, Frame time: %d us\n", exposure, frameTime);
    printf("\t  Gain: %f, White balance: %d K\n", double(gain), whiteBalance);

    printf("\t  Histogram details:\n");
    printf("\t\tValid: %s\n", yesNo(histogram.valid()));
    printf("\t\tBuckets: %d, Channels: %d\n", histogram.buckets, histogram.channels);
    printf("\t\tRegion: (%d, %d) - (%d, %d)\n", histogram.region.x, histogram.region.y,
        histogram.region.x + histogram.region.width, histogram.region.y + histogram.region.height);

    printf("\t  Sharpness map details:\n");
    printf("\t\tValid: %s\n", yesNo(sharpness.valid()));
    printf(
        "\t\tChannels: %d, Size: %d x %d\n", sharpness.channels, sharpness.width, sharpness.height);

    const Platform &camera = platform();
    float m[12];
    camera.rawToRGBColorMatrix(whiteBalance, m);
    printf("\t  Camera RAW to sRGB(linear) conversion matrix at current white balance setting:\n");
    for (int row = 0; row < 3; ++row) {
        printf(row == 0 ? "\t\t[ [ %5.3f %5.3f %5.3f %5.3f ]\n"
                        : "\t\t  [ %5.3f %5.3f %5.3f %5.3f ]\n",
            double(m[4 * row]), double(m[4 * row + 1]), double(m[4 * row + 2]),
            double(m[4 * row + 3]));
    }
    printf("\t  Sensor bayer pattern: %s\n", bayerName(camera.bayerPattern()));
    printf(
        "\t  Min raw value: %d, max raw value: %d\n", camera.minRawValue(), camera.maxRawValue());
    printf("\t  Camera Model: %s, Manufacturer: %s\n", camera.model().c_str(),
        camera.manufacturer().c_str());

    printf("\t  Tag map contents:\n");
    for (const auto &tag : tags) {
        std::string text = tag.second.toString();
        if (text.size() > 100) {
            size_t cut = text.size() - 100;
            text = text.substr(0, 100) + "...(truncating " + std::to_string(cut) + " characters)";
        }
        printf("\t   Key: \"%s\" Value: %s\n", tag.first.c_str(), text.c_str());
    }

    const Shot &request = shot();
    printf("\t  Requested shot contents:\n");
    printf("\t\tID: %d, wanted: %s\n", request.id, yesNo(request.wanted));
    printf("\t\tRequested exposure: %d, frame time: %d\n", request.exposure, request.frameTime);
    printf("\t\tRequested gain: %f, requested white balance: %d K\n", double(request.gain),
        request.whiteBalance);
    printf("\t\tRequested histogram configuration:\n");
    printf("\t\t\tEnabled: %s, buckets: %d\n", yesNo(request.histogram.enabled),
        request.histogram.buckets);
    const Rect &region = request.histogram.region;
    printf("\t\t\tRegion: (%d, %d) - (%d, %d)\n", region.x, region.y, region.x + region.width,
        region.y + region.height);
    printf("\t\tRequested sharpness map configuration:\n");
    printf("\t\t\tEnabled: %s, size: %d x %d\n", yesNo(request.sharpness.enabled),
        request.sharpness.size.width, request.sharpness.size.height);
    printf("\t\tRequested actions:\n");
    for (const Action *action : request.actions()) {
        printf("\t\t\tAction object at %llx to fire at %d us into exposure, latency of %d us.\n",
            address(action), action->time, action->latency);
    }
    printf("\t**  Dump of requested image object follows\n");
    request.image.dump("Frame::Shot::image");
    printf("\t**  Dump of frame image data follows\n");
    image.dump("Frame::image");
}

const Platform &Frame::platform() const
{
    return body().platform();
}

const _Frame &Frame::body() const
{
    static const EmptyFrame empty;
    if (ptr)
        return *ptr;
    return empty;
}

} // namespace Opsa
