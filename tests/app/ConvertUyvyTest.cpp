#include "AsyncFuser.h"

#include <gtest/gtest.h>
#include <vector>

TEST(ConvertUyvyToRgb, MatchesHandComputedPixels)
{
    // Neutral chroma; saturated chroma clamping both ways; a negative green offset that must
    // round toward minus infinity (-12248 >> 8 is -48, not -47).
    const std::vector<unsigned char> uyvy
        = { 128, 100, 128, 200, 0, 128, 255, 128, 255, 50, 0, 50 };
    std::vector<unsigned char> rgb(18);
    convertUyvyToRgb(6, 1, uyvy.data(), rgb.data(), 1);
    EXPECT_EQ(rgb,
        (std::vector<unsigned char> {
            100, 100, 100, 200, 200, 200, 255, 82, 0, 255, 82, 0, 0, 98, 255, 0, 98, 255 }));
}

TEST(ConvertUyvyToRgb, DownscalesByTakingEveryFactorthRowAndPair)
{
    // Grey pixels whose luma encodes position: Y = 10 × row + column.
    const int w = 16, h = 8;
    std::vector<unsigned char> uyvy(w * h * 2, 128);
    for (int i = 0; i < w * h; ++i)
        uyvy[i * 2 + 1] = static_cast<unsigned char>(10 * (i / w) + i % w);
    for (int f : { 1, 2, 4 }) {
        const int ow = w / f;
        std::vector<unsigned char> rgb(ow * (h / f) * 3 + 1, 7);
        convertUyvyToRgb(w, h, uyvy.data(), rgb.data(), f);
        EXPECT_EQ(rgb.back(), 7) << "written past the end at factor " << f;
        // The two pixels of an output pair come from adjacent source pixels.
        for (int i = 0; i < ow * (h / f) * 3; ++i)
            ASSERT_EQ(rgb[i], 10 * (i / 3 / ow) * f + (i / 3 % ow) / 2 * 2 * f + i / 3 % 2) << f;
    }
}
