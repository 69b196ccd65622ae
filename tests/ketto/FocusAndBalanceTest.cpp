#include "../opsa/Events.h"
#include "GreyCard.h"
#include "Ketto/Requests.h"
#include "Ketto/V4L2Sensor.h"
#include "Opsa/AutoFocus.h"
#include "Opsa/Ketto/Frame.h"
#include "Opsa/Ketto/Lens.h"
#include "Opsa/WhiteBalance.h"
#include "Render.h"
#include "SimCamera.h"
#include "SimPhone.h"
#include "core/FileIO"
#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using Opsa::Ketto::V4L2Sensor;

namespace {

// The viewfinder loop as the capture daemon will run it, one mode and fixed settings: each
// buffer becomes a frame with its exposure times (the simulator's record of its frame), its
// statistics and the lens's tags.
class Viewfinder
{
public:
    Viewfinder(Opsa::Sim::SimKernel &aSim, Opsa::Device *aTagger)
        : sim(aSim)
        , tagger(aTagger)
        , device(V4L2Sensor::instance("/dev/video0"))
    { }
    ~Viewfinder() { V4L2Sensor::closeAll(); }

    bool start(const Opsa::Shot &aShot)
    {
        device->open();
        if (!device->startStreaming(aShot.image.width(), aShot.image.height(), Opsa::UYVY,
                aShot.histogram, aShot.sharpness))
            return false;
        device->setExposure(aShot.exposure);
        device->setFrameTime(aShot.frameTime);
        device->setGain(aShot.gain);
        return true;
    }

    Opsa::Frame next(const Opsa::Shot &aShot)
    {
        V4L2Sensor::Buffer *buffer = device->acquire(true);
        if (!buffer)
            return Opsa::Frame();
        Opsa::Time arrival = buffer->timestamp;
        device->release(buffer);
        for (const Opsa::Sim::FrameRecord &record : sim.frames()) {
            if (record.dropped || record.arrival != arrival)
                continue;
            auto *body = new Opsa::Ketto::_Frame;
            Opsa::Ketto::Frame frame(body);
            body->shot() = aShot;
            body->exposureStartTime = record.exposureStart;
            body->exposureEndTime = record.exposureEnd;
            body->exposure = record.exposure;
            body->histogram = device->histogram(record.exposureEnd, aShot.histogram);
            body->sharpness = device->sharpness(record.exposureEnd, aShot.sharpness);
            if (tagger)
                tagger->tagFrame(frame);
            return std::move(frame);
        }
        return Opsa::Frame();
    }

private:
    Opsa::Sim::SimKernel &sim;
    Opsa::Device *tagger;
    V4L2Sensor *device;
};

// A sweep over the interior ends on the poster at the centre of the picture, far closer than
// the sweep's frames are apart (two thirds of a diopter).
TEST(FocusSweep, EndsFocusedOnTheMainObject)
{
    Opsa::Sim::SimPhone phone(kettotest::lockStep());
    Opsa::Ketto::Lens lens;
    Viewfinder viewfinder(phone.kernel(), &lens);
    Opsa::Shot shot;
    shot.image = Opsa::Image(640, 480, Opsa::UYVY, Opsa::Image::DiscardData);
    shot.exposure = 20000;
    shot.frameTime = 33414;
    shot.gain = 2.0f;
    shot.sharpness.size = { 16, 12 };
    shot.sharpness.enabled = true;
    ASSERT_TRUE(viewfinder.start(shot));

    // Sharpness cells 6..9 x 4..7: the poster and nothing else.
    Opsa::AutoFocus af(&lens, 240, 160, 120, 120);
    af.startSweep();
    int measured = 0;
    for (int i = 0; i < 400 && !af.focused(); ++i) {
        Opsa::Frame frame = viewfinder.next(shot);
        measured += frame.valid() && af.state() == Opsa::AutoFocus::Sweeping;
        af.update(frame);
    }
    ASSERT_TRUE(af.focused());
    EXPECT_GE(measured, 5);

    const float poster = phone.kernel().mainObjectDiopters();
    const float focus = phone.kernel().lensDiopters();
    EXPECT_NEAR(focus, poster, 0.1f);
    EXPECT_NEAR(lens.getFocus(), focus, 0.05f) << "the lens's history agrees with the lens";
}

class LitScene : public testing::TestWithParam<int>
{
};

// A grey wedge (a ramp of grey from dark to bright, so that its histogram spreads over many
// buckets) under light of a known temperature, streamed through the camera: the automatic
// white balance settles within 300 K of it.
TEST_P(LitScene, WhiteBalanceConvergesOnTheLight)
{
    int kelvin = GetParam();
    double raw[3];
    kettotest::greyCard(kelvin, raw);
    testsupport::TempDir dir;
    const int width = 96, height = 72;
    std::vector<float> radiance(std::size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                radiance[(std::size_t(y) * width + x) * 3 + std::size_t(c)]
                    = float((0.25 + 1.25 * x / (width - 1)) * raw[c] / Opsa::Sim::KSensitivity[c]);
    std::string scene = dir.file("wedge.hdr");
    ASSERT_EQ(FileIO::writeRgbe(scene.c_str(), width, height, radiance.data()), 0);

    Opsa::Sim::SimOptions options;
    options.scenePath = scene;
    Opsa::Sim::SimPhone phone(options);
    Viewfinder viewfinder(phone.kernel(), nullptr);
    Opsa::Shot shot;
    shot.image = Opsa::Image(640, 480, Opsa::UYVY, Opsa::Image::DiscardData);
    // The wedge's median at about 350 of 959.
    shot.exposure = 55000;
    shot.frameTime = 60000;
    shot.gain = 8.0f;
    shot.histogram.region = { 0, 0, 640, 480 };
    shot.histogram.enabled = true;
    ASSERT_TRUE(viewfinder.start(shot));

    shot.whiteBalance = 5000;
    int measured = 0;
    for (int i = 0; i < 40 && measured < 10; ++i) {
        Opsa::Frame frame = viewfinder.next(shot);
        // The first frames may still be exposed with the settings of before.
        if (!frame.valid() || !frame.histogram().valid() || frame.exposure() != shot.exposure)
            continue;
        Opsa::autoWhiteBalance(&shot, frame, 2000, 12000, 0.5f);
        ++measured;
    }
    ASSERT_EQ(measured, 10);
    EXPECT_NEAR(shot.whiteBalance, kelvin, 300);
}

INSTANTIATE_TEST_SUITE_P(Temperatures, LitScene, testing::Values(3400, 6500));

} // namespace
