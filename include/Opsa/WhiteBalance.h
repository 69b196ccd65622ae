#pragma once

#include "Opsa/Frame.h"
#include "Opsa/Shot.h"

namespace Opsa {

// Automatic white balance from a frame's histogram: finds the colour temperature at which the
// platform's colour matrix balances the red and blue means, clamps it to aLowestK..aHighestK
// and moves aShot's whiteBalance towards it, keeping aSmoothing (0..1) of the old value.
// Nothing happens without a shot or without a histogram in the frame.
// Thread: any; touches only its arguments.
void autoWhiteBalance(Shot *aShot, const Frame &aFrame, int aLowestK = 3200, int aHighestK = 7000,
    float aSmoothing = 0.0f);

// The chromaticity (x, y) of a black body at aKelvin (the Planckian locus). Outside
// 1667..25000 K posts warning OutOfCalibratedRange and extrapolates. Nothing happens when an
// output is null.
// Thread: any.
void KelvinToXY(int aKelvin, float *aX, float *aY);

// The correlated colour temperature of chromaticity (x, y), in kelvin, rounded. A result
// outside 3000..50000 K posts warning OutOfCalibratedRange (the approximation is poor there).
// Thread: any.
int xyToCCT(float aX, float aY);

} // namespace Opsa
