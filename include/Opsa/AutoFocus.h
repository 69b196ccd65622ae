#pragma once

#include "Opsa/Frame.h"
#include "Opsa/Lens.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace Opsa {

// Contrast-detection focus: a sweep of the lens from its far end to its near end, measuring
// the sharpness of every frame on the way; a second, slow pass over the stretch between the
// sharpest frame's neighbours; then a move to the peak placed between the sharpest frame of
// that pass and its neighbours. Frames must carry a sharpness map and the lens's "lens.focus"
// tag (attach the lens to the sensor).
// Thread: one thread (the capture loop) owns an AutoFocus.
class AutoFocus
{
public:
    enum State { Idle = 0, MovingToStart = 1, Sweeping = 2, MovingToBest = 3, Focused = 4 };

    // aLens may be null (nothing then ever moves); it is not owned. The region of interest is
    // in pixels of the shot's image; a width or height below 1 means the whole frame.
    explicit AutoFocus(Lens *aLens, int aX = 0, int aY = 0, int aWidth = 0, int aHeight = 0);

    // Sends the lens to its far end at full speed and starts a new sweep, whatever the state.
    void startSweep();
    // Feeds one frame of the stream; moves the state on when the lens is where it should be.
    void update(const Frame &aFrame);

    int state() const { return afState; }
    bool idle() const { return afState == Idle; }
    bool focused() const { return afState == Focused; }

private:
    // The sharpness of aMap over the region of interest; aImage is the shot's image size.
    std::int32_t measure(const SharpnessMap &aMap, Size aImage) const;
    bool peakPassed() const;
    std::size_t sharpest() const;
    // Where the sharpness peaks around sample aBest, between its neighbours on the sweep.
    float peakNear(std::size_t aBest) const;

    Lens *lens;
    std::vector<std::pair<float, std::int32_t>> samples; // (focus in diopters, sharpness)
    int afState = Idle;
    bool refining = false; // the slow pass: its start is where the lens stopped
    float refineEnd = 0.0f;
    int x, y, width, height;
};

} // namespace Opsa
