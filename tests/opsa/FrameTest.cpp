#include "Opsa/Frame.h"

#include "Opsa/Platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <time.h>

namespace {

class FakePlatform : public Opsa::Platform
{
public:
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

private:
    std::string maker = "Maker";
    std::string name = "Model X";
};

class TestFrame : public Opsa::_Frame
{
public:
    explicit TestFrame(bool *aDestroyed = nullptr)
        : destroyed(aDestroyed)
    { }
    ~TestFrame() override
    {
        if (destroyed)
            *destroyed = true;
    }
    const Opsa::Shot &shot() const override { return request; }
    const Opsa::Platform &platform() const override { return camera; }

    Opsa::Shot request;
    FakePlatform camera;

private:
    bool *destroyed;
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

std::string imageDump(const Opsa::Image &aImage, const char *aName)
{
    testing::internal::CaptureStdout();
    aImage.dump(aName);
    return testing::internal::GetCapturedStdout();
}

TEST(Frame, HandlesShareOneBodyThatGoesWithTheLast)
{
    bool destroyed = false;
    {
        Opsa::Frame first(new TestFrame(&destroyed));
        Opsa::Frame second = first;
        first = Opsa::Frame();
        EXPECT_FALSE(destroyed);
        EXPECT_EQ(second.platform().model(), "Model X");
        // A handle without a body reads as a frame without data instead of crashing.
        EXPECT_FALSE(first.valid());
        EXPECT_FALSE(first.image().hasData());
        EXPECT_EQ(first.platform().bayerPattern(), Opsa::Platform::NotBayer);
    }
    EXPECT_TRUE(destroyed);
}

TEST(Frame, DumpListsEveryFieldInItsFixedFormat)
{
    const char *oldTz = getenv("TZ");
    std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();

    TestFrame *body = new TestFrame;
    Opsa::Frame frame(body);
    body->image = Opsa::Image(8, 4, Opsa::RAW);
    body->exposureStartTime = Opsa::Time(86400 + 3661, 123456);
    body->exposureEndTime = Opsa::Time(86400 + 3661, 1000000); // a part of exactly one second
    body->exposure = 30000;
    body->frameTime = 33000;
    body->gain = 1.5f;
    body->whiteBalance = 4000;
    // Counts set but no data: an invalid histogram.
    body->histogram = { 64, 3, { 10, 20, 100, 50 }, {} };
    body->sharpness = { 16, 12, 3, std::vector<std::uint32_t>(16 * 12 * 3, 1) };
    body->tags["lens.long"] = std::string(128, 'a'); // 130 characters in text form
    Opsa::Shot &request = body->request;
    request.id = 77;
    request.wanted = false;
    request.exposure = 29000;
    request.gain = 2.0f;
    request.whiteBalance = 3500;
    request.histogram.enabled = true;
    request.histogram.region = { 0, 0, 640, 480 };
    request.sharpness.size = { 16, 12 };
    StampAction action;
    action.time = 1500;
    action.latency = 200;
    request.addAction(action);

    testing::internal::CaptureStdout();
    frame.debug("burst");
    std::string text = testing::internal::GetCapturedStdout();

    const Opsa::Action *stored = *body->request.actions().begin();
    std::string expected = "\tDump of Opsa::Frame burst at " + hex(body)
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
          "\t\tRequested gain: 2.000000, requested white balance: 3500 K\n"
          "\t\tRequested histogram configuration:\n"
          "\t\t\tEnabled: yes, buckets: 64\n"
          "\t\t\tRegion: (0, 0) - (640, 480)\n"
          "\t\tRequested sharpness map configuration:\n"
          "\t\t\tEnabled: no, size: 16 x 12\n"
          "\t\tRequested actions:\n"
          "\t\t\tAction object at "
        + hex(stored)
        + " to fire at 1500 us into exposure, latency of 200 us.\n"
          "\t**  Dump of requested image object follows\n"
        + imageDump(body->request.image, "Frame::Shot::image")
        + "\t**  Dump of frame image data follows\n" + imageDump(body->image, "Frame::image");
    EXPECT_EQ(text, expected);

    if (oldTz)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace
