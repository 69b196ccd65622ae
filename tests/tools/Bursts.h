#pragma once

// Real bracketed bursts at a size that keeps the suite fast.

#include "core/Image"
#include "support/TestSupport.h"

#include <string>
#include <vector>

// The three exposures of a scene, darkest first, box-downscaled to a quarter.
inline std::vector<Image<unsigned char>> quarterSizeBurst(const std::string &aScene)
{
    std::vector<Image<unsigned char>> burst;
    for (int i = 1; i <= 3; ++i) {
        const std::string path
            = testsupport::dataFile(aScene + "/" + aScene + std::to_string(i) + ".jpg");
        Image<unsigned char> photo(path.c_str(), 0);
        EXPECT_FALSE(photo.empty()) << path;
        Image<unsigned char> small(photo.width() / 4, photo.height() / 4, 3);
        for (int y = 0; y < small.height(); ++y)
            for (int x = 0; x < small.width(); ++x)
                for (int c = 0; c < 3; ++c) {
                    int sum = 0;
                    for (int d = 0; d < 16; ++d)
                        sum += photo(4 * x + d % 4, 4 * y + d / 4, c);
                    small(x, y, c) = static_cast<unsigned char>(sum / 16);
                }
        burst.push_back(small);
    }
    return burst;
}
