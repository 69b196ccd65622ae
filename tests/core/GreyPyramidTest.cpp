#include "core/GreyPyramid"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

struct Geometry
{
    int width, height, maxSize, minLevelSize, first, count;
};

class GreyPyramidGeometry : public testing::TestWithParam<Geometry>
{
};

TEST_P(GreyPyramidGeometry, ChoosesTheLevelsAndTheirSizes)
{
    const Geometry g = GetParam();
    GreyPyramid pyramid;
    ASSERT_EQ(pyramid.init(g.height, g.width, g.maxSize, g.minLevelSize), 0);
    EXPECT_EQ(pyramid.firstLevel(), g.first);
    EXPECT_EQ(pyramid.levelCount(), g.count);
    for (int l = pyramid.firstLevel(); l < pyramid.levelCount(); ++l) {
        EXPECT_EQ(pyramid.level(l).width(), g.width >> l);
        EXPECT_EQ(pyramid.level(l).height(), g.height >> l);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, GreyPyramidGeometry,
    testing::Values(Geometry { 2592, 1968, 1024, 10, 1, 7 }, // merge: 1296x984 .. 40x30
        Geometry { 64, 48, 1024, 10, 0, 3 }, // stops before the 6-pixel side
        Geometry { 100, 100, 0, 10, 6, 6 }, // a limit below 1 still ends
        Geometry { 0, 0, 1024, 10, 0, 0 }));

// (a + 2b + c + 2) >> 2, mirrored at the ends, every second sample kept: a row of 5, then a
// column of 4. The first sums, 6, tell rounding from truncation.
TEST(GreyPyramid, ReducesWithRoundedOneTwoOneFilter)
{
    unsigned char row[5] = { 1, 2, 4, 7, 9 }, column[4] = { 1, 2, 5, 7 };
    int w = 5, h = 1;
    GreyPyramid::reduce(row, w, h);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(std::vector<int>(row, row + 3), (std::vector<int> { 2, 4, 8 }));
    w = 1;
    h = 4;
    GreyPyramid::reduce(column, w, h);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(std::vector<int>(column, column + 2), (std::vector<int> { 2, 5 }));
}

// Level 0 is the grey image (sum of the samples / 4, clamped to 255), each next level its
// reduction; with odd sizes a level is the top-left part of the rounded-up reduction. (Level
// 1 comes from a streaming reduction of grey rows, the others from reduce() in place.)
template <class T> void expectLevelsOf(const Image<T> &aImage)
{
    int w = aImage.width(), h = aImage.height();
    std::vector<unsigned char> grey(std::size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int sum = 0;
            for (int c = 0; c < aImage.channels(); ++c)
                sum += aImage(x, y, c);
            grey[std::size_t(y) * w + x] = (unsigned char)std::min(sum >> 2, 255);
        }
    GreyPyramid pyramid;
    ASSERT_EQ(pyramid.init(h, w, 1024, 2), 0);
    ASSERT_EQ(pyramid.levelCount(), 4);
    pyramid.build(aImage);
    for (int l = 0; l < 4; ++l, GreyPyramid::reduce(grey.data(), w, h))
        for (int y = 0; y < pyramid.level(l).height(); ++y)
            for (int x = 0; x < pyramid.level(l).width(); ++x)
                ASSERT_EQ(pyramid.level(l)(x, y, 0), grey[std::size_t(y) * w + x]) << l;
}

TEST(GreyPyramid, LevelsAreTheGreyImageReducedAgainAndAgain)
{
    std::mt19937 random(3);
    Image<unsigned char> rgb(41, 25, 3);
    for (int i = 0; i < 41 * 25 * 3; ++i)
        rgb.data()[i] = (unsigned char)(random() % 256);
    // Packed raw grey is the mean of the four samples, clamped, not rescaled: the first pixel,
    // (400, 300, 300, 400), has grey 255 and the second, (100, 80, 80, 100), 90.
    Image<short> raw(38, 27, 4);
    const short first[8] = { 400, 300, 300, 400, 100, 80, 80, 100 };
    for (int i = 0; i < 38 * 27 * 4; ++i)
        raw.data()[i] = short(random() % 1024);
    std::copy(first, first + 8, raw.data());
    expectLevelsOf(rgb);
    expectLevelsOf(raw);
}

} // namespace
