#pragma once

// The physics of the simulated camera, free of devices and threads: optics (defocus, hand
// shake), the sensor (exposure, gain, photon and read noise, 10-bit clipping, the G R / B G
// mosaic), the previewer (demosaic, colour matrix, gamma, YCbCr) and the two statistics
// engines. The device model (SimKernel) decides when and with which settings they run.

#include "Ketto/Requests.h"

#include <cstdint>
#include <vector>

namespace Opsa::Sim {

class Scene;

// Sensor constants.
constexpr int KRawMax = 1023; // the converter's range
constexpr int KWhiteLevel = 959; // a full pixel at gain 1
constexpr float KElectronsPerCount = 4.0f; // at gain 1: a full well of about 3800 electrons
constexpr float KReadNoise = 1.2f; // counts, after the gain
constexpr float KCountsPerRadianceMicrosecond = 0.01f;
// Relative sensitivity of the red, green and blue sites.
constexpr float KSensitivity[3] = { 0.55f, 1.0f, 0.7f };
// Defocus: blur radius in fractions of the picture's width per diopter of focus error.
constexpr float KBlurPerDiopter = 0.0015f;

// The colour of a mosaic site: 0 red, 1 green, 2 blue (G R on even rows, B G on odd rows).
inline int siteColour(int aX, int aY)
{
    return (aY & 1) ? ((aX & 1) ? 1 : 2) : ((aX & 1) ? 0 : 1);
}

struct Shot
{
    int exposure = 10000; // us
    float gain = 1.0f;
    float focus = 0.0f; // lens position seen by the first row, diopters
    // How far the lens moved between the first row's exposure and the last row's: the rows
    // are exposed one after another (a rolling shutter), so a moving lens focuses each
    // differently.
    float focusSpan = 0.0f;
    std::uint32_t sequence = 0; // draws this frame's noise and shake
    std::uint32_t seed = 1;
    bool noise = true;
    bool handShake = true;
};

// The hand's offset of one frame: a shift in fractions of the width and a roll in radians.
struct Shake
{
    float dx = 0, dy = 0, angle = 0;
};
Shake handShake(std::uint32_t aSeed, std::uint32_t aSequence);

// A aWidth x aHeight mosaic of the scene (row-major, values 0..KRawMax).
std::vector<std::uint16_t> renderRaw(
    const Scene &aScene, int aWidth, int aHeight, const Shot &aShot);

// The previewer's colour program: per-site gains before the matrix, the matrix and offsets,
// as the driver's records carry them.
struct ColourProgram
{
    Opsa::Ketto::PreviewWhiteBalance whiteBalance { 256, { 32, 32, 32, 32 } };
    Opsa::Ketto::PreviewBlending blending { { { 256, 0, 0 }, { 0, 256, 0 }, { 0, 0, 256 } },
        { 0, 0, 0 } };
};

// Demosaics, applies the colour program, gamma 2.2 and full-range BT.601 YCbCr, and writes
// UYVY (2 bytes per pixel, aWidth even).
void rawToUyvy(const std::uint16_t *aRaw, int aWidth, int aHeight, const ColourProgram &aProgram,
    std::uint8_t *aOut);

// Statistics over a mosaic rendered at aScaleX x aScaleY of the previewer input's resolution
// (0.5: half as wide or tall); regions and cells are in previewer-input pixels and counts are
// brought back to that resolution, so they do not depend on the output size.
//
// Histogram: KHistogramBanks banks of 64 (or 32) counts; bank 0 the green sites of red rows,
// 1 red, 2 blue, 3 the green sites of blue rows.
void histogram(const std::uint16_t *aRaw, int aWidth, int aHeight, double aScaleX, double aScaleY,
    const Opsa::Ketto::HistogramConfig &aConfig, std::uint32_t *aBanks);
// Sharpness: one KAfCellBytes record per cell, row by row; in a record, channel c (0 red,
// 1 green, 2 blue) is four 32-bit words at byte 16 x c: the sum of its values, its focus value
// (the sum of |second difference| along rows between sites of its colour), its largest value
// and the number of its sites.
void sharpness(const std::uint16_t *aRaw, int aWidth, int aHeight, double aScaleX, double aScaleY,
    const Opsa::Ketto::AfConfig &aConfig, std::uint8_t *aRecords, std::size_t aBytes);

// The sharpness engine's grid as its configuration words give it.
struct AfGrid
{
    int cellWidth, cellHeight, x, y, cellsWide, cellsHigh;
};
AfGrid afGrid(const Opsa::Ketto::AfConfig &aConfig);

} // namespace Opsa::Sim
