#include "Opsa/Frame.h"

#include "Opsa/Platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <time.h>

namespace {

// A frame of a camera of its own, with values the dump can tell apart.
class TestFrame : public Opsa::_Frame, public Opsa::Platform
{
public:
    const Opsa::Shot &shot() const override { return request; }
    const Opsa::Platform &platform() const override { return *this; }
    int bayerPattern() const override { return 7; }
    void rawToRGBColorMatrix(int aKelvin, float *aMatrix) const override
    {
        for (int i = 0; i < 12; ++i)
            aMatrix[i] = float(aKelvin) / 1000.0f + float(i) * 0.25f - 1.0f;
    }
    const std::string &manufacturer() const override { return maker; }
    const std::string &model() const override { return name; }
    int minRawValue() const override { return 16; }
    int maxRawValue() const override { return 1000; }

    Opsa::Shot request;
    std::string maker = "Maker";
    std::string name = "Model X";
};

class StampAction : public Opsa::Action
{
public:
    void perform() override { }
    Opsa::Action *clone() const override { return new StampAction(*this); }
};

std::string hex(const void *aPointer)
{
    char text[32];
    snprintf(text, sizeof text, "%llx",
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(aPointer)));
    return text;
}

TEST(Frame, DumpListsEveryFieldInItsFixedFormatAndHandlesShareTheBody)
{
    setenv("TZ", "UTC", 1); // nothing else in this suite reads local time
    tzset();

    auto body = std::make_shared<TestFrame>();
    Opsa::Frame frame(body);
    body->exposureStartTime = Opsa::Time(86400 + 3661, 123456);
    body->exposureEndTime = Opsa::Time(86400 + 3661, 1000000); // a part of exactly one second
    body->exposure = 30000;
    body->frameTime = 33000;
    body->gain = 1.5f;
    body->whiteBalance = 4000;
    body->histogram = { 64, 3, { 10, 20, 100, 50 }, {} }; // counts set but no data: invalid
    body->sharpness = { 16, 12, 3, std::vector<std::uint32_t>(16 * 12 * 3, 1) };
    body->tags["lens.long"] = std::string(128, 'a'); // 130 characters in text form
    Opsa::Shot &request = body->request;
    request.image = Opsa::Image(640, 480, Opsa::UYVY, Opsa::Image::AllocateOnCapture);
    request.id = 77;
    request.wanted = false;
    request.exposure = 29000;
    request.histogram.enabled = true;
    request.histogram.region = { 8, 4, 320, 240 };
    request.sharpness.size = { 16, 12 };
    StampAction action;
    action.time = 1500;
    action.latency = 200;
    request.addAction(action);

    testing::internal::CaptureStdout();
    frame.debug("burst");
    std::string text = testing::internal::GetCapturedStdout();

    std::string expected = "\tDump of Opsa::Frame burst at " + hex(body.get())
        + ":\n"
          "\t  Exposure start time: 1970.01.02_01.01.01.12 end time: 1970.01.02_01.01.01.10\n"
          "\t  Processing done time: 1970.01.01_00.00.00.00\n"
          "\t  Exposure: 30000 us, Frame time: 33000 us\n"
          "\t  Gain: 1.500000, White balance: 4000 K\n"
          "\t  Histogram details:\n"
          "\t\tValid: no\n"
          "\t\tBuckets: 64, Channels: 3\n"
          "\t\tRegion: (10, 20) - (110, 70)\n"
          "\t  Sharpness map details:\n"
          "\t\tValid: yes\n"
          "\t\tChannels: 3, Size: 16 x 12\n"
          "\t  Camera RAW to sRGB(linear) conversion matrix at current white balance setting:\n"
          "\t\t[ [ 3.000 3.250 3.500 3.750 ]\n"
          "\t\t  [ 4.000 4.250 4.500 4.750 ]\n"
          "\t\t  [ 5.000 5.250 5.500 5.750 ]\n"
          "\t  Sensor bayer pattern: Not Bayer\n"
          "\t  Min raw value: 16, max raw value: 1000\n"
          "\t  Camera Model: Model X, Manufacturer: Maker\n"
          "\t  Tag map contents:\n"
          "\t   Key: \"lens.long\" Value: \""
        + std::string(99, 'a')
        + "...(truncating 30 characters)\n"
          "\t  Requested shot contents:\n"
          "\t\tID: 77, wanted: no\n"
          "\t\tRequested exposure: 29000, frame time: 0\n"
          "\t\tRequested gain: 0.000000, requested white balance: 5000 K\n"
          "\t\tRequested histogram configuration:\n"
          "\t\t\tEnabled: yes, buckets: 64\n"
          "\t\t\tRegion: (8, 4) - (328, 244)\n"
          "\t\tRequested sharpness map configuration:\n"
          "\t\t\tEnabled: no, size: 16 x 12\n"
          "\t\tRequested actions:\n"
          "\t\t\tAction object at "
        + hex(*request.actions().begin())
        + " to fire at 1500 us into exposure, latency of 200 us.\n"
          "\t**  Dump of requested image object follows\n"
          "\tImage Frame::Shot::image at "
        + hex(&request.image) + " with dimensions 640 480 type 2\n";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
    // The frame's own image follows, in the same form.
    EXPECT_NE(
        text.find("\tImage Frame::image at " + hex(&body->image) + " with dimensions 0 0 type 5\n"),
        std::string::npos);

    // A handle without a body reads as a frame without data instead of crashing.
    frame = Opsa::Frame();
    EXPECT_FALSE(frame.image().hasData());
    EXPECT_EQ(frame.platform().bayerPattern(), Opsa::Platform::NotBayer);
}

} // namespace
