#include "Opsa/Frame.h"

#include "Opsa/Platform.h"

#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
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
    std::ostringstream text;
    text << std::hex << reinterpret_cast<std::uintptr_t>(aPointer);
    return text.str();
}

TEST(Frame, DumpListsEveryFieldInItsFixedFormatAndHandlesShareTheBody)
{
    setenv("TZ", "UTC", 1); // nothing else in this suite reads local time
    tzset();

    auto body = std::make_shared<TestFrame>();
    Opsa::Frame frame(body);
    body->exposureStartTime = Opsa::Time(86400 + 3661, 123456);
    body->exposureEndTime = Opsa::Time(86400 + 3661, 1000000); // a part of exactly one second
    body->gain = 1.5f;
    body->histogram = { 64, 3, { 10, 20, 100, 50 }, {} }; // counts set but no data: invalid
    body->tags["lens.long"] = std::string(128, 'a'); // 130 characters in text form
    Opsa::Shot &request = body->request;
    request.image = Opsa::Image(640, 480, Opsa::UYVY, Opsa::Image::AllocateOnCapture);
    request.histogram.region = { 8, 4, 320, 240 };
    StampAction action;
    action.time = 1500;
    action.latency = 200;
    request.addAction(action);

    testing::internal::CaptureStdout();
    frame.debug("burst");
    std::string text = testing::internal::GetCapturedStdout();

    // The lines whose form takes more than printing a field, in order.
    const std::string lines[] = { "Dump of Opsa::Frame burst at " + hex(body.get()) + ":\n",
        "Exposure start time: 1970.01.02_01.01.01.12 end time: 1970.01.02_01.01.01.10\n",
        "Gain: 1.500000, White balance: 5000 K\n", "Valid: no\n", "Region: (10, 20) - (110, 70)\n",
        "[ [ 4.000 4.250 4.500 4.750 ]\n", "  [ 6.000 6.250 6.500 6.750 ]\n",
        "Sensor bayer pattern: Not Bayer\n", "Min raw value: 16, max raw value: 1000\n",
        "Camera Model: Model X, Manufacturer: Maker\n",
        "Key: \"lens.long\" Value: \"" + std::string(99, 'a') + "...(truncating 30 characters)\n",
        "Region: (8, 4) - (328, 244)\n",
        "Action object at " + hex(*request.actions().begin())
            + " to fire at 1500 us into exposure, latency of 200 us.\n",
        "Image Frame::Shot::image at " + hex(&request.image) + " with dimensions 640 480 type 2\n",
        "Image Frame::image at " + hex(&body->image) + " with dimensions 0 0 type 5\n" };
    std::size_t at = 0;
    for (const std::string &line : lines) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "in\n" << text;
    }

    // A handle without a body reads as a frame without data instead of crashing.
    frame = Opsa::Frame();
    EXPECT_FALSE(frame.image().hasData());
    EXPECT_EQ(frame.platform().bayerPattern(), Opsa::Platform::NotBayer);
}

} // namespace
