#include "Metering.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

const int KMinMeteredExposure = 38;

namespace {

// The histogram bucket counts metering accepts; the phone delivers 64.
constexpr int KMinBuckets = 64;
constexpr int KMaxBuckets = 256;
// The brightest buckets that count as blown highlights.
constexpr int KTopBuckets = 4;
// The long exposure never exceeds the short one by more than 6 stops.
constexpr float KMaxBracketRatio = 64.0f;
// Frame time beyond the exposure once the exposure alone sets the frame rate.
constexpr int KFrameTimeMargin = 400;

struct Setting
{
    int exposure;
    float gain;
    int frameTime;
};

// Splits an exposure product into exposure time and gain: exposure first up to the limit,
// then gain, then exposure again once the gain is at its maximum.
Setting split(float aProduct, int aLimit, float aMaxGain, int aMaxExposure)
{
    Setting s;
    if (aProduct > float(aLimit)) {
        s.gain = aProduct / float(aLimit);
        s.exposure = aLimit;
    } else {
        s.gain = 1.0f;
        s.exposure = truncateToInt(aProduct);
    }
    if (s.gain > aMaxGain) {
        s.gain = aMaxGain;
        s.exposure = truncateToInt(double(aProduct / aMaxGain));
    }
    s.exposure = std::max(s.exposure, KMinMeteredExposure);
    s.exposure = std::min(s.exposure, aMaxExposure);
    s.frameTime = s.exposure >= aLimit ? s.exposure + KFrameTimeMargin : aLimit;
    return s;
}

// The frame time follows at once (the sensor needs it for the new exposure); exposure and gain
// move only part of the way so the viewfinder does not flicker.
void store(Opsa::Shot &aShot, const Setting &aNew, float aSmoothing)
{
    const float keep = aSmoothing, take = 1.0f - aSmoothing;
    aShot.frameTime = aNew.frameTime;
    aShot.gain = aNew.gain * take + aShot.gain * keep;
    aShot.exposure
        = truncateToInt(double(float(aNew.exposure) * take + float(aShot.exposure) * keep));
}

float productOf(const Opsa::Shot &aShot)
{
    return float(aShot.exposure) * aShot.gain;
}

// Pixels of bucket aBucket summed over all channels.
std::int64_t bucketTotal(const Opsa::Histogram &aHistogram, int aBucket)
{
    std::int64_t total = 0;
    for (int c = 0; c < aHistogram.channels; ++c)
        total += aHistogram(aBucket, c);
    return total;
}

} // namespace

// Truncates toward zero, saturating at the ends of int (NaN gives 0): a caller's absurd
// limits must not make the conversion undefined.
int truncateToInt(double aValue)
{
    if (!(aValue == aValue))
        return 0;
    if (aValue >= double(INT_MAX))
        return INT_MAX;
    if (aValue <= double(INT_MIN))
        return INT_MIN;
    return int(aValue);
}

bool meter(std::vector<Opsa::Shot> &aShots, const Opsa::Frame &aFrame, int aWhich,
    int aExposureLimit, float aMaxGain, int aMaxExposure, float aSmoothing)
{
    if ((aWhich != 0 && aWhich != 1) || aShots.size() < 2 || !aFrame.valid())
        return false;
    const Opsa::Histogram &histogram = aFrame.histogram();
    const int buckets = histogram.buckets;
    if (!histogram.valid() || buckets < KMinBuckets || buckets > KMaxBuckets
        || histogram.channels < 1
        || histogram.data.size() < std::size_t(buckets) * std::size_t(histogram.channels))
        return false;
    const float smoothing = std::min(std::max(aSmoothing, 0.0f), 1.0f);

    // A tenth of the metered pixels is the most that may sit at either end of the histogram;
    // fewer than about a hundredth means the exposure can move towards that end.
    const std::int64_t tenth
        = std::int64_t(histogram.region.width) * std::int64_t(histogram.region.height) / 10;
    float factor;
    if (aWhich == 0) {
        const std::int64_t black = bucketTotal(histogram, 0);
        if (black > tenth)
            factor = 1.1f;
        else if (tenth > 10 * black)
            factor = 0.9f;
        else
            return false;
    } else {
        std::int64_t bright = 0;
        for (int b = buckets - KTopBuckets; b < buckets; ++b)
            bright += bucketTotal(histogram, b);
        if (bright > tenth)
            factor = 0.7f;
        else if (tenth > 10 * bright)
            factor = 1.1f;
        else
            return false;
    }

    Opsa::Shot &shot = aShots[std::size_t(aWhich)];
    float product = productOf(shot) * factor;
    if (aWhich == 0)
        product = std::min(product, KMaxBracketRatio * productOf(aShots[1]));
    store(shot, split(product, aExposureLimit, aMaxGain, aMaxExposure), smoothing);

    if (aWhich == 1) {
        // Darkening the highlights must not leave the long exposure more than 6 stops away.
        const float longest = KMaxBracketRatio * product;
        if (longest < productOf(aShots[0]))
            store(aShots[0], split(longest, aExposureLimit, aMaxGain, aMaxExposure), smoothing);
    }
    return true;
}
