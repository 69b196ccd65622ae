#pragma once

#include "Opsa/Geometry.h"

#include <cstdint>
#include <vector>

namespace Opsa {

// A histogram request of a shot: the region in output pixels, the bucket count and whether to
// gather it at all.
struct HistogramConfig
{
    Rect region;
    int buckets = 64;
    bool enabled = false;
};

// A histogram returned with a frame: buckets x channels counts, bucket-major (entry
// b x channels + c counts bucket b of channel c), over region (output pixels).
struct Histogram
{
    int buckets = 0;
    int channels = 0;
    Rect region;
    std::vector<std::uint32_t> data;

    // A histogram without counts stands for one that was not gathered or did not arrive.
    bool valid() const { return !data.empty(); }
    std::uint32_t operator()(int aBucket, int aChannel) const
    {
        return data[std::size_t(aBucket) * std::size_t(channels) + std::size_t(aChannel)];
    }
};

} // namespace Opsa
