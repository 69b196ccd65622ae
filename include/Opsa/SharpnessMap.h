#pragma once

#include "Opsa/Geometry.h"

#include <cstdint>
#include <vector>

namespace Opsa {

// A sharpness-map request of a shot: the map size in cells and whether to gather it.
struct SharpnessMapConfig
{
    Size size;
    bool enabled = false;
};

// A sharpness map returned with a frame: width x height cells of channels values each,
// row-major (entry (y x width + x) x channels + c).
struct SharpnessMap
{
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<std::uint32_t> data;

    // A map without values stands for one that was not gathered or did not arrive.
    bool valid() const { return !data.empty(); }
    std::uint32_t operator()(int aX, int aY, int aChannel) const
    {
        return data[(std::size_t(aY) * std::size_t(width) + std::size_t(aX)) * std::size_t(channels)
            + std::size_t(aChannel)];
    }
};

} // namespace Opsa
