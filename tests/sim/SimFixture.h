#pragma once

// A simulated phone in lock-step for each test, and a camera user on it.

#include "CameraClient.h"
#include "Render.h"
#include "SimPhone.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>

namespace simtest {

using Opsa::Sim::CameraClient;
using Opsa::Sim::FrameRecord;
using Opsa::Sim::SimKernel;
using Opsa::Sim::SimOptions;
using Opsa::Sim::SimPhone;

inline SimOptions lockStep(bool aShake = false)
{
    SimOptions options;
    options.pace = Opsa::Sim::Pace::LockStep;
    options.handShake = aShake;
    return options;
}

class SimTest : public ::testing::Test
{
protected:
    void makePhone(const SimOptions &aOptions = lockStep())
    {
        camera.reset();
        phone.reset();
        phone = std::make_unique<SimPhone>(aOptions);
        camera = std::make_unique<CameraClient>(sim());
    }
    void SetUp() override { makePhone(); }
    void TearDown() override
    {
        camera.reset();
        phone.reset();
    }
    SimKernel &sim() { return phone->kernel(); }

    // Waits for aCount frame starts through the extension; the last start is returned.
    // aRecycle: give back every frame that has arrived, as a streaming program would, so that
    // the sensor never waits for a buffer.
    Opsa::Time waitStarts(int aCount, bool aRecycle = false)
    {
        Opsa::Time t;
        for (int i = 0; i < aCount; ++i) {
            EXPECT_EQ(camera->waitFrameStart(t), 0) << std::strerror(errno);
            CameraClient::Frame f;
            while (aRecycle && camera->dequeue(f, false) == 0)
                EXPECT_EQ(camera->requeue(f), 0);
        }
        return t;
    }
    // Ground truth of the newest frame started.
    FrameRecord newest()
    {
        const auto all = sim().frames();
        return all.empty() ? FrameRecord {} : all.back();
    }

    std::unique_ptr<SimPhone> phone;
    std::unique_ptr<CameraClient> camera;
};

inline long long micros(const Opsa::Time &aT)
{
    return aT.seconds() * 1000000LL + aT.microseconds();
}

// Mean of the raw sites of one colour (0 red, 1 green, 2 blue) inside a rectangle of a BA10
// frame, in fractions of its size.
inline double rawMean(const std::vector<std::uint8_t> &aFrame, int aWidth, int aHeight, int aColour,
    double aX0, double aY0, double aX1, double aY1)
{
    const auto *raw = reinterpret_cast<const std::uint16_t *>(aFrame.data());
    double sum = 0;
    long count = 0;
    for (int y = int(aY0 * aHeight); y < int(aY1 * aHeight); ++y)
        for (int x = int(aX0 * aWidth); x < int(aX1 * aWidth); ++x)
            if (Opsa::Sim::siteColour(x, y) == aColour) {
                sum += raw[std::size_t(y) * aWidth + x];
                ++count;
            }
    return count ? sum / count : 0.0;
}

} // namespace simtest
