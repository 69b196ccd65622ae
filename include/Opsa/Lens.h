#pragma once

#include "Opsa/Device.h"

namespace Opsa {

// A lens that focuses, zooms and sets its aperture. Focus is in diopters (1 / distance in
// metres, 0 is infinity), zoom is the focal length in millimetres, aperture the f-number;
// speeds are units per second and latencies microseconds. A lens that cannot zoom or change
// its aperture reports fixed values and ignores the requests.
class Lens : public Device
{
public:
    ~Lens() override = default;

    // Starts moving the focus to aDiopters at aSpeed diopters per second; a negative speed means
    // the fastest the lens can go.
    virtual void setFocus(float aDiopters, float aSpeed = -1.0f) = 0;
    // Where the focus is now.
    virtual float getFocus() = 0;
    // The focus range: far end (smallest diopters) and near end.
    virtual float farFocus() = 0;
    virtual float nearFocus() = 0;
    // True while the focus is still on its way to the last target.
    virtual bool focusChanging() = 0;
    // Microseconds from a request to the start of motion.
    virtual int focusLatency() = 0;
    virtual float minFocusSpeed() = 0;
    virtual float maxFocusSpeed() = 0;

    virtual void setZoom(float aFocalLength, float aSpeed = -1.0f) = 0;
    virtual float getZoom() = 0;
    virtual float minZoom() = 0;
    virtual float maxZoom() = 0;
    virtual bool zoomChanging() = 0;
    virtual int zoomLatency() = 0;
    virtual float minZoomSpeed() = 0;
    virtual float maxZoomSpeed() = 0;

    virtual void setAperture(float aFNumber, float aSpeed = -1.0f) = 0;
    virtual float getAperture() = 0;
    // The widest and narrowest f-numbers the lens offers at a focal length.
    virtual float wideAperture(float aFocalLength) = 0;
    virtual float narrowAperture(float aFocalLength) = 0;
    virtual bool apertureChanging() = 0;
    virtual int apertureLatency() = 0;
    virtual float minApertureSpeed() = 0;
    virtual float maxApertureSpeed() = 0;
};

} // namespace Opsa
