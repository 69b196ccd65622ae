#pragma once

// Histogram metering of the bracket's two end exposures. Each viewfinder frame nudges one end:
// the long exposure so that the shadows are not crushed, or the short one so that the
// highlights are not blown, within the exposure and gain limits, every change smoothed
// against the previous setting.

#include <Opsa/Frame.h>
#include <Opsa/Shot.h>
#include <vector>

// Shortest exposure metering ever asks for, in microseconds. A multiplicative step cannot
// climb back from an exposure that has been truncated to almost nothing (a zero exposure stays
// zero), so a bright light filling the frame would otherwise leave the viewfinder dark for
// good. The sensor cannot expose shorter than this anyway.
extern const int KMinMeteredExposure;

// Truncates toward zero, saturating at the ends of int (NaN gives 0): a caller's absurd
// limits must not make a conversion to microseconds undefined.
int truncateToInt(double aValue);

// Meters one end of the bracket on the histogram of aFrame.
//   aShots: the bracket; shot 0 is the long exposure (metered on the shadows), shot 1 the
//           short one (metered on the highlights). Their exposure (µs), gain and frame time
//           (µs) are rewritten.
//   aWhich: 0 adjusts the long exposure, 1 the short one; any other value does nothing.
//   aExposureLimit: exposure (µs) beyond which gain is raised instead; also the shortest
//           frame time.
//   aMaxGain, aMaxExposure (µs): upper bounds of the new settings.
//   aSmoothing: weight of the old setting in the new one, 0...1 (values outside are clamped).
// The long exposure is kept within 6 stops (a product 64 times) of the short one from either
// side. Returns true when a shot was changed; false when the frame is invalid, its histogram
// is missing, has fewer than 64 or more than 256 buckets or fewer counts than it claims, fewer
// than two shots are given, or the histogram is within its targets.
// Thread: any; the caller owns aShots.
bool meter(std::vector<Opsa::Shot> &aShots, const Opsa::Frame &aFrame, int aWhich,
    int aExposureLimit, float aMaxGain, int aMaxExposure, float aSmoothing);
