#pragma once

#include "Opsa/Event.h"
#include "Opsa/Histogram.h"
#include "Opsa/Image.h"
#include "Opsa/SharpnessMap.h"
#include "Opsa/Shot.h"
#include "Opsa/TagValue.h"
#include "Opsa/Time.h"

#include <memory>
#include <string>

namespace Opsa {

class Platform;

// The shared body of a returned frame: the pixels, the parameters really used, the
// statistics, the times and the tags devices added. A backend derives from it to hold the
// request that produced the frame.
// Thread: written by the capture daemon before the frame is queued, read-only afterwards.
class _Frame : public EventGenerator
{
public:
    _Frame() = default;
    ~_Frame() override = default;

    // The request that produced this frame.
    virtual const Shot &shot() const = 0;
    // The camera that took it.
    virtual const Platform &platform() const = 0;
    // Prints every field, the request and both images on standard output under aName.
    virtual void debug(const char *aName = "") const;

    Image image; // the pixels, or an image without data
    Time exposureStartTime; // zero while unknown
    Time exposureEndTime;
    Time processingDoneTime; // when the frame left the sensor pipeline
    int exposure = 0; // microseconds actually used
    int frameTime = 0; // microseconds actually used
    float gain = 0.0f; // gain actually used
    int whiteBalance = 5000; // kelvin actually used
    Histogram histogram; // invalid (empty) when not gathered
    SharpnessMap sharpness; // invalid (empty) when not gathered
    TagMap tags; // what devices know about the frame ("lens.focus")
};

// The handle the application holds: copies share one body, which goes with its last handle.
// A handle without a body is an invalid frame (a failed fetch); its fields then read as those
// of a frame without data, so callers should test valid() first.
// Thread: a handle belongs to one thread; copies may live on different threads.
class Frame
{
public:
    Frame() = default;
    // Takes ownership of aBody.
    explicit Frame(_Frame *aBody)
        : ptr(aBody)
    { }
    explicit Frame(std::shared_ptr<_Frame> aBody)
        : ptr(std::move(aBody))
    { }
    virtual ~Frame() = default;

    virtual const Platform &platform() const;

    bool valid() const { return ptr != nullptr; }

    const Image &image() const { return body().image; }
    Time exposureStartTime() const { return body().exposureStartTime; }
    Time exposureEndTime() const { return body().exposureEndTime; }
    Time processingDoneTime() const { return body().processingDoneTime; }
    int exposure() const { return body().exposure; }
    int frameTime() const { return body().frameTime; }
    float gain() const { return body().gain; }
    int whiteBalance() const { return body().whiteBalance; }
    const Histogram &histogram() const { return body().histogram; }
    const SharpnessMap &sharpness() const { return body().sharpness; }
    const TagMap &tags() const { return body().tags; }
    const Shot &shot() const { return body().shot(); }

    void debug(const char *aName = "") const { body().debug(aName); }

    // Sets one tag of the frame; for devices tagging a frame before the application sees it
    // (Device::tagFrame), while one thread holds the frame. Nothing happens on an invalid frame.
    void setTag(const std::string &aKey, const TagValue &aValue)
    {
        if (ptr)
            ptr->tags[aKey] = aValue;
    }

protected:
    const _Frame &body() const;

    std::shared_ptr<_Frame> ptr;
};

} // namespace Opsa
