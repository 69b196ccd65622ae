#pragma once

#include "Opsa/Device.h"
#include "Opsa/Frame.h"
#include "Opsa/Geometry.h"
#include "Opsa/Shot.h"

#include <vector>

namespace Opsa {

class Platform;

// An image sensor: it takes shots (single, bursts captured once, or a burst repeated while
// streaming) and hands back frames in request order. Exposures and frame times are
// microseconds, gains linear multipliers.
// Thread: the application drives a sensor from one thread; a backend's own threads are its
// business.
class Sensor : public Device
{
public:
    // What to drop when more finished frames wait than the frame limit allows.
    enum DropPolicy { DropNewest = 0, DropOldest = 1 };

    ~Sensor() override = default;

    // A sensor has nothing of its own to add to a frame's tags.
    void tagFrame(Frame) override { }

    // Queues one shot, or a burst that enters the queue as one uninterrupted run.
    virtual void capture(const Shot &aShot) = 0;
    virtual void capture(const std::vector<Shot> &aBurst) = 0;
    // Repeats the shot (or the burst) until stopStreaming().
    virtual void stream(const Shot &aShot) = 0;
    virtual void stream(const std::vector<Shot> &aBurst) = 0;
    virtual bool streaming() = 0;
    virtual void stopStreaming() = 0;
    virtual void start() = 0;
    // Cancels what has not started and waits for what has; returns when the sensor is idle.
    virtual void stop() = 0;
    // Finished frames waiting to be fetched.
    virtual int framesPending() = 0;
    // Frames requested and not yet returned or dropped.
    virtual int shotsPending() = 0;

    virtual int maxExposure() = 0;
    virtual int minExposure() = 0;
    virtual int maxFrameTime() = 0;
    virtual int minFrameTime() = 0;
    virtual float maxGain() = 0;
    virtual float minGain() { return 1.0f; }
    virtual Size minImageSize() = 0;
    virtual Size maxImageSize() { return Size { 2592, 1968 }; }
    // Colour sites of one cell of the raw mosaic.
    virtual int rawSitesPerCell() { return 4; }
    // The sensor's frame period for aShot's image size, in microseconds.
    virtual int framePeriod(const Shot &aShot) = 0;
    virtual const Platform &platform() = 0;
    // The next finished frame, waiting for it; an invalid frame when nothing was requested.
    virtual Frame getFrame() = 0;
    // Hands the drop policy and frame limit to whatever enforces them.
    virtual void applyDropPolicy() = 0;

    // Adds a device to be asked to tag every returned frame; not owned.
    void attach(Device *aDevice) { tagDevices.push_back(aDevice); }
    // Changes the drop policy and the frame limit and enforces them at once.
    void setDropPolicy(int aPolicy, unsigned aLimit)
    {
        dropPolicy = aPolicy;
        frameLimit = aLimit;
        applyDropPolicy();
    }

protected:
    std::vector<Device *> tagDevices;
    int dropPolicy = DropOldest;
    unsigned frameLimit = 128;
};

} // namespace Opsa
