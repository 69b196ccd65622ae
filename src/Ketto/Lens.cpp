#include "Opsa/Ketto/Lens.h"

#include "Ketto/Kernel.h"
#include "Ketto/Requests.h"
#include "Ketto/V4L2Sensor.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

namespace Opsa::Ketto {

namespace {

    V4L2Sensor &camera()
    {
        V4L2Sensor *device = V4L2Sensor::instance("/dev/video0");
        device->open();
        return *device;
    }

} // namespace

Lens::Lens()
{
    setFocus(0.0f, -1.0f);
}

float Lens::rawToDiopters(int aRaw)
{
    return std::clamp(float(aRaw - 227) * 0.0315f, 0.0f, 20.0f);
}

int Lens::dioptersToRaw(float aDiopters)
{
    return int(aDiopters * 31.746f + 227.5f);
}

int Lens::setControl(std::uint32_t aId, int aValue)
{
    V4L2Sensor &device = camera();
    if (!device.writeControl(aId, aValue)) {
        error(Event::DriverError, "VIDIOC_S_CTRL: %d = %d, %d", int(aId), aValue, errno);
        return -1;
    }
    int value = -1;
    if (!device.readControl(aId, &value)) {
        error(Event::DriverError, "VIDIOC_G_CTRL: %d, %d", int(aId), errno);
        return -1;
    }
    return value;
}

int Lens::getControl(std::uint32_t aId)
{
    int value = -1;
    if (!camera().readControl(aId, &value)) {
        error(Event::DriverError, "VIDIOC_G_CTRL: %d, %d", int(aId), errno);
        return -1;
    }
    return value;
}

void Lens::setFocus(float aDiopters, float aSpeed)
{
    float speed = (aSpeed < 0.0f || std::isnan(aSpeed)) ? maxFocusSpeed() : aSpeed;
    speed = std::clamp(speed, minFocusSpeed(), maxFocusSpeed());
    // A target that is not a number has nowhere to go.
    if (std::isnan(aDiopters))
        return;

    setControl(KControlFocusRamp, 0);
    int rawSpeed = int(speed * 31.746f + 0.5f);
    int stepTime = setControl(KControlFocusStepTime, 1000000 / rawSpeed);
    float target = std::clamp(aDiopters, farFocus(), nearFocus());
    float start = rawToDiopters(getControl(KControlFocus));
    int endRaw = setControl(KControlFocus, dioptersToRaw(target));
    // The phone's clock, which also stamps the frames whose exposures the history is read for.
    Time now = phoneTime();
    float end = rawToDiopters(endRaw);

    // The ramp's speed as the driver took it; when it could not say, the speed asked for is
    // the best guess (dividing by its -1 would run the ramp backwards in time).
    float effective = stepTime > 0 ? float(1000000 / stepTime) * 0.0315f : speed;
    if (!(effective > 0.0f))
        effective = speed;
    int duration = int(std::fabs(end - start) * 1000000.0f / effective);
    remember(now, start);
    remember(now + duration, end);
}

void Lens::remember(Time aTime, float aFocus)
{
    std::lock_guard<std::mutex> lock(historyMutex);
    history[tail] = Entry { aTime, aFocus };
    tail = (tail + 1) % KHistorySize;
    if (count == KHistorySize)
        head = (head + 1) % KHistorySize;
    else
        ++count;
}

float Lens::focusAt(Time aTime)
{
    {
        std::lock_guard<std::mutex> lock(historyMutex);
        if (count > 0) {
            const Entry &newest = history[(tail + KHistorySize - 1) % KHistorySize];
            // At or after the end of the last move the lens rests there.
            if (aTime >= newest.time)
                return newest.focus;
        }
        for (std::uint32_t i = count; i >= 2; --i) {
            const Entry &newer = history[(head + i - 1) % KHistorySize];
            const Entry &older = history[(head + i - 2) % KHistorySize];
            if (older.time <= aTime && aTime < newer.time) {
                float fraction = float(aTime - older.time) / float(newer.time - older.time);
                return older.focus + (newer.focus - older.focus) * fraction;
            }
        }
    }
    error(Event::LensPositionUnknown, "Lens position at time %d %d is unknown", aTime.seconds(),
        aTime.microseconds());
    return std::numeric_limits<float>::quiet_NaN();
}

float Lens::getFocus()
{
    return focusAt(phoneTime());
}

bool Lens::focusChanging()
{
    Time now = phoneTime();
    std::lock_guard<std::mutex> lock(historyMutex);
    return count > 0 && history[(tail + KHistorySize - 1) % KHistorySize].time > now;
}

void Lens::tagFrame(Opsa::Frame aFrame)
{
    if (!aFrame.valid())
        return;
    Time start = aFrame.exposureStartTime();
    Time end = aFrame.exposureEndTime();
    float initial = focusAt(start);
    float final = focusAt(end);
    int exposed = end - start;
    aFrame.setTag("lens.initialFocus", initial);
    aFrame.setTag("lens.finalFocus", final);
    aFrame.setTag("lens.focus", (initial + final) / 2.0f);
    // A frame without an exposure interval did not see the lens move.
    aFrame.setTag(
        "lens.focusSpeed", exposed != 0 ? (final - initial) * 1000000.0f / float(exposed) : 0.0f);
    float zoom = getZoom();
    aFrame.setTag("lens.zoom", zoom);
    aFrame.setTag("lens.initialZoom", zoom);
    aFrame.setTag("lens.finalZoom", zoom);
    aFrame.setTag("lens.zoomSpeed", 0);
    float aperture = getAperture();
    aFrame.setTag("lens.aperture", aperture);
    aFrame.setTag("lens.initialAperture", aperture);
    aFrame.setTag("lens.finalAperture", aperture);
    aFrame.setTag("lens.apertureSpeed", 0);
    aFrame.setTag("lens.minZoom", minZoom());
    aFrame.setTag("lens.maxZoom", maxZoom());
    aFrame.setTag("lens.wideApertureMin", wideAperture(minZoom()));
    aFrame.setTag("lens.wideApertureMax", wideAperture(maxZoom()));
}

} // namespace Opsa::Ketto
