#include "AsyncFuser.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

std::vector<unsigned char> convert(
    int aWidth, int aHeight, const std::vector<unsigned char> &aUyvy, int aFactor)
{
    std::vector<unsigned char> rgb(std::size_t(aWidth / aFactor) * (aHeight / aFactor) * 3, 7);
    convertUyvyToRgb(aWidth, aHeight, aUyvy.data(), rgb.data(), aFactor);
    return rgb;
}

} // namespace

TEST(ConvertUyvyToRgb, MatchesHandComputedPixels)
{
    // Neutral chroma; saturated chroma clamping both ways; a negative green offset that must
    // round toward minus infinity (-12248 >> 8 is -48, not -47).
    const std::vector<unsigned char> uyvy
        = { 128, 100, 128, 200, 0, 128, 255, 128, 255, 50, 0, 50 };
    std::vector<unsigned char> rgb = convert(6, 1, uyvy, 1);
    const std::vector<unsigned char> expected
        = { 100, 100, 100, 200, 200, 200, 255, 82, 0, 255, 82, 0, 0, 98, 255, 0, 98, 255 };
    EXPECT_EQ(rgb, expected);
}

TEST(ConvertUyvyToRgb, DownscalesByTakingEveryFactorthRowAndPair)
{
    const int w = 16, h = 8;
    std::vector<unsigned char> uyvy(std::size_t(w) * h * 2);
    // Grey pixels whose luma encodes position: Y = 10 × row + column.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uyvy[(std::size_t(y) * w + x) * 2] = 128;
            uyvy[(std::size_t(y) * w + x) * 2 + 1] = static_cast<unsigned char>(10 * y + x);
        }
    for (int factor : { 1, 2, 4 }) {
        std::vector<unsigned char> rgb = convert(w, h, uyvy, factor);
        const int ow = w / factor, oh = h / factor;
        ASSERT_EQ(rgb.size(), std::size_t(ow) * oh * 3);
        for (int r = 0; r < oh; ++r)
            for (int x = 0; x < ow; ++x) {
                // The two pixels of an output pair come from adjacent source pixels.
                const int sourceX = (x / 2) * 2 * factor + x % 2;
                const int expected = 10 * r * factor + sourceX;
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(rgb[(std::size_t(r) * ow + x) * 3 + c], expected)
                        << "factor " << factor << " at " << x << "," << r;
            }
    }
}
