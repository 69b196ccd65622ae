#include "Opsa/WhiteBalance.h"

#include "Opsa/Event.h"
#include "Opsa/Platform.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace Opsa {

void autoWhiteBalance(
    Shot *aShot, const Frame &aFrame, int aLowestK, int aHighestK, float aSmoothing)
{
    if (!aShot || !aFrame.valid())
        return;
    const Histogram &hist = aFrame.histogram();
    if (!hist.valid() || hist.channels < 3 || hist.buckets < 1
        || hist.data.size() < std::size_t(hist.buckets) * std::size_t(hist.channels))
        return;

    // The brightness-weighted mean of each channel, up to the common pixel count.
    std::int64_t sums[3] = { 0, 0, 0 };
    for (int b = 0; b < hist.buckets; ++b)
        for (int c = 0; c < 3; ++c)
            sums[c] += std::int64_t(b) * hist(b, c);
    float s[3] = { float(sums[0]), float(sums[1]), float(sums[2]) };

    float warm[12], cold[12];
    aFrame.platform().rawToRGBColorMatrix(3200, warm);
    aFrame.platform().rawToRGBColorMatrix(7000, cold);
    auto apply = [&s](const float *aMatrix, int aRow) {
        return aMatrix[4 * aRow] * s[0] + aMatrix[4 * aRow + 1] * s[1]
            + aMatrix[4 * aRow + 2] * s[2];
    };
    float r3200 = apply(warm, 0), b3200 = apply(warm, 2);
    float r7000 = apply(cold, 0), b7000 = apply(cold, 2);

    // Red and blue move linearly with the blend between the two calibrations; where they meet
    // the scene is grey. The blend is linear in 1/K, so that is where the temperature comes
    // from.
    float alpha = (b3200 - r3200) / ((r7000 - r3200) - (b7000 - b3200));
    float kelvin = 1.0f / (0.0003125f + alpha * (1.0f / 7000 - 1.0f / 3200));
    // A black or one-coloured frame balances nowhere: keep what the shot has.
    if (std::isnan(kelvin))
        return;
    // Clamped before the conversion to an integer, which is undefined beyond int's range; the
    // range clamp below gives the same result.
    kelvin = std::clamp(kelvin, -2.0e9f, 2.0e9f);
    int measured = std::clamp(int(kelvin), aLowestK, aHighestK);
    aShot->whiteBalance
        = int((1.0f - aSmoothing) * float(measured) + aSmoothing * float(aShot->whiteBalance));
}

void KelvinToXY(int aKelvin, float *aX, float *aY)
{
    if (!aX || !aY)
        return;
    if (aKelvin < 1667 || aKelvin > 25000)
        warning(Event::OutOfCalibratedRange,
            "KelvinToXY: Conversion only accurate within 1667K to 25000K, requested %d K\n",
            aKelvin);
    float t = 1000.0f / float(aKelvin);
    float t2 = t * t, t3 = t2 * t;
    float x = aKelvin <= 4000 ? -0.2661239f * t3 - 0.234358f * t2 + 0.8776956f * t + 0.17991f
                              : -3.0258469f * t3 + 2.1070378f * t2 + 0.2226347f * t + 0.24039f;
    float x2 = x * x, x3 = x2 * x;
    float y;
    if (aKelvin <= 2222)
        y = -1.1063814f * x3 - 1.3481102f * x2 + 2.1855583f * x - 0.20219684f;
    else if (aKelvin <= 4000)
        y = -0.9549476f * x3 - 1.3741859f * x2 + 2.0913701f * x - 0.16748866f;
    else
        y = 3.081758f * x3 - 5.873387f * x2 + 3.7511299f * x - 0.37001482f;
    *aX = x;
    *aY = y;
}

int xyToCCT(float aX, float aY)
{
    float n = (aX - 0.3366f) / (aY - 0.1735f);
    float k = 6253.8032f * std::exp(-n / 0.92159f) - 949.86316f
        + 28.70599f * std::exp(-n / 0.20039f) + 0.00004f * std::exp(-n / 0.07125f);
    // Far off the locus the fit runs to infinity (or nowhere, at y = 0.1735); the result is
    // then pinned to int's range instead of converting an unrepresentable value.
    float rounded = std::floor(k + 0.5f);
    int kelvin;
    if (std::isnan(rounded))
        kelvin = 0;
    else
        kelvin = int(std::clamp(rounded, -2.0e9f, 2.0e9f));
    if (!(k >= 3000.0f && k <= 50000.0f))
        warning(Event::OutOfCalibratedRange,
            "xyToCCT: Conversion only accurate within 3000 to 50000K, result was %d K.\n", kelvin);
    return kelvin;
}

} // namespace Opsa
