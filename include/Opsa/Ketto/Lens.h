#pragma once

#include "Opsa/Lens.h"
#include "Opsa/Time.h"

#include <cstdint>
#include <mutex>

namespace Opsa::Ketto {

// The phone's voice-coil focus lens, moved through the camera driver's controls on
// "/dev/video0". The lens reports no position while it moves, so every move is remembered as a
// ramp in time (the last 512 points): where the lens was during any exposure can be worked out
// afterwards and written into the frame's "lens." tags. Focal length (5.2 mm) and aperture
// (f/2.8) are fixed.
// Driver failures post error DriverError with the lens as creator; a time outside the history
// posts LensPositionUnknown.
// Thread: any; the history is guarded by its own mutex.
class Lens : public Opsa::Lens
{
public:
    // Sends the lens to infinity at full speed.
    Lens();
    ~Lens() override = default;

    // Writes the lens state during the frame's exposure into its "lens." tags.
    void tagFrame(Opsa::Frame aFrame) override;

    // Clamps aDiopters to 0..20 and aSpeed to 9.828..630 diopters per second (negative: 630).
    void setFocus(float aDiopters, float aSpeed = -1.0f) override;
    float getFocus() override;
    float farFocus() override { return 0.0f; }
    float nearFocus() override { return 20.0f; }
    bool focusChanging() override;
    int focusLatency() override { return 175; }
    float minFocusSpeed() override { return 9.828f; }
    float maxFocusSpeed() override { return 630.0f; }

    void setZoom(float, float = -1.0f) override { }
    float getZoom() override { return 5.2f; }
    float minZoom() override { return 5.2f; }
    float maxZoom() override { return 5.2f; }
    bool zoomChanging() override { return false; }
    int zoomLatency() override { return 0; }
    float minZoomSpeed() override { return 0.0f; }
    float maxZoomSpeed() override { return 0.0f; }

    void setAperture(float, float = -1.0f) override { }
    float getAperture() override { return 2.8f; }
    float wideAperture(float) override { return 2.8f; }
    float narrowAperture(float) override { return 2.8f; }
    bool apertureChanging() override { return false; }
    int apertureLatency() override { return 0; }
    float minApertureSpeed() override { return 0.0f; }
    float maxApertureSpeed() override { return 0.0f; }

    // The focus in diopters at time of day aTime, from the history; not-a-number (and error
    // LensPositionUnknown) when the history does not reach back that far.
    float focusAt(Time aTime);

    // Writes a driver control and returns the value read back, or -1 on failure.
    int setControl(std::uint32_t aId, int aValue);
    // Reads a driver control, or -1 on failure.
    int getControl(std::uint32_t aId);

    // Diopters of a raw lens position (0..20), and the raw position of a focus in diopters.
    static float rawToDiopters(int aRaw);
    static int dioptersToRaw(float aDiopters);

    static constexpr unsigned KHistorySize = 512;

private:
    struct Entry
    {
        Time time;
        float focus;
    };

    void remember(Time aTime, float aFocus);

    std::mutex historyMutex;
    Entry history[KHistorySize] = {};
    std::uint32_t head = 0; // the oldest entry
    std::uint32_t tail = 0; // one past the newest
    std::uint32_t count = 0;
};

} // namespace Opsa::Ketto
