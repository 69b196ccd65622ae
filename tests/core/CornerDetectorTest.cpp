#include "core/CornerDetector"

#include <cmath>
#include <gtest/gtest.h>
#include <random>

namespace {

// A pyramid level (grey values) from a function of x and y.
template <class F> Image<unsigned char> makeLevel(int aWidth, int aHeight, F aGrey)
{
    Image<unsigned char> level(aWidth, aHeight, 1);
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x)
            level(x, y, 0) = (unsigned char)aGrey(x, y);
    return level;
}

FeatureList detectAll(const Image<unsigned char> &aLevel)
{
    CornerDetector detector;
    EXPECT_EQ(detector.init(aLevel.width(), aLevel.height()), 0);
    detector.setRegion(aLevel, 0, aLevel.height() - 1, 0, aLevel.width() - 1);
    FeatureList features;
    detector.detect(features);
    return features;
}

// A square on a darker ground gives its four corners and nothing in the flat parts, each a
// pixel inside the square's corner (where the 5 x 5 window sees most of both edges).
TEST(CornerDetector, FindsTheCornersOfASquare)
{
    FeatureList f = detectAll(makeLevel(
        100, 80, [](int x, int y) { return (x >= 30 && x < 60 && y >= 20 && y < 50) ? 60 : 20; }));
    ASSERT_EQ(f.count, 4);
    const float wantX[4] = { 31, 58, 31, 58 }, wantY[4] = { 21, 21, 48, 48 };
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(f.x[i], wantX[i]);
        EXPECT_EQ(f.y[i], wantY[i]);
        EXPECT_GT(f.score[i], 0.0f);
    }
}

// The region is clamped to the level (an empty range meaning all of it) and cut into at most
// 10 x 10 cells; noise has a corner in every cell, listed cell by cell in row-major order,
// never on a cell's first row or column (which no scan covers).
TEST(CornerDetector, KeepsOneFeaturePerCellOfTheClampedRegion)
{
    std::mt19937 random(11);
    Image<unsigned char> level = makeLevel(131, 97, [&](int, int) { return random() % 256; });
    CornerDetector detector;
    ASSERT_EQ(detector.init(131, 97), 0);
    for (int firstRow : { -4, 30 }) {
        detector.setRegion(level, firstRow, firstRow < 0 ? 200 : 10, 7, 120);
        FeatureList f;
        detector.detect(f);
        // Rows 0..96: 9 cells of 10; columns 7..120: 9 cells of 12.
        ASSERT_EQ(f.count, 81);
        for (int i = 0; i < f.count; ++i) {
            int ry = int(f.y[i]), rx = int(f.x[i]) - 7;
            EXPECT_EQ((ry / 10) * 9 + rx / 12, i);
            EXPECT_NE(ry % 10, 0);
            EXPECT_NE(rx % 12, 0);
        }
    }
}

// A 2 x 2 dot has four equal maxima of the response, at its four pixels. Equal neighbours
// must not suppress each other (the cell would lose its corner), and the cell keeps the
// first of them in row-major order.
TEST(CornerDetector, KeepsTheFirstOfEqualMaximaInRowMajorOrder)
{
    // 60 x 40: cells of 7 columns and 5 rows; the dot lies inside the cell at rows 20..24,
    // columns 21..27, off its unscanned first row and column.
    for (int left : { 22, 24, 26 }) {
        FeatureList f = detectAll(makeLevel(60, 40, [&](int x, int y) {
            return ((x == left || x == left + 1) && (y == 22 || y == 23)) ? 60 : 10;
        }));
        ASSERT_EQ(f.count, 1) << left;
        EXPECT_EQ(f.x[0], float(left));
        EXPECT_EQ(f.y[0], 22.0f);
    }
}

} // namespace
