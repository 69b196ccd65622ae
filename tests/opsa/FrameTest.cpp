#include "Opsa/Frame.h"

#include "Opsa/Platform.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <time.h>

namespace {

// A frame of a camera of its own.
class TestFrame : public Opsa::_Frame, public Opsa::Platform
{
public:
    const Opsa::Shot &shot() const override { return request; }
    const Opsa::Platform &platform() const override { return *this; }
    int bayerPattern() const override { return 7; }
    void rawToRGBColorMatrix(int, float *aMatrix) const override
    {
        std::fill(aMatrix, aMatrix + 12, 0.0f);
    }
    const std::string &manufacturer() const override { return name; }
    const std::string &model() const override { return name; }
    int minRawValue() const override { return 0; }
    int maxRawValue() const override { return 1023; }

    Opsa::Shot request;
    std::string name = "Model X";
};

TEST(Frame, DumpCopesWithOddFieldsAndAnEmptyHandleReadsAsNoFrame)
{
    setenv("TZ", "UTC", 1); // nothing else in this suite reads local time
    tzset();

    auto body = std::make_shared<TestFrame>();
    Opsa::Frame frame(body);
    body->exposureStartTime = Opsa::Time(86400 + 3661, 123456);
    body->exposureEndTime = Opsa::Time(86400 + 3661, 1000000); // a part of exactly one second
    body->histogram = { 64, 3, { 10, 20, 100, 50 }, {} }; // counts set but no data: invalid
    body->tags["lens.long"] = std::string(128, 'a'); // 130 characters in text form
    testing::internal::CaptureStdout();
    frame.debug("burst");
    std::string text = testing::internal::GetCapturedStdout();

    // The lines whose form takes more than printing a field, in order.
    const std::string lines[] = {
        "Exposure start time: 1970.01.02_01.01.01.12 end time: 1970.01.02_01.01.01.10\n",
        "Valid: no\n",
        "Key: \"lens.long\" Value: \"" + std::string(99, 'a') + "...(truncating 30 characters)\n"
    };
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
