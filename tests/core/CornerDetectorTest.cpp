#include "core/CornerDetector"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <set>

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

class UniformLevel : public testing::TestWithParam<int>
{
};

TEST_P(UniformLevel, YieldsNoFeature)
{
    const int grey = GetParam();
    Image<unsigned char> level = makeLevel(120, 80, [&](int, int) { return grey; });
    EXPECT_EQ(detectAll(level).count, 0);
}

INSTANTIATE_TEST_SUITE_P(Greys, UniformLevel, testing::Values(0, 1, 128, 255));

struct Region
{
    int firstRow, lastRow, firstColumn, lastColumn;
    int wantFirstRow, wantLastRow, wantFirstColumn, wantLastColumn;
    int cellHeight, cellRows, cellWidth, cellColumns;
};

class DetectorRegion : public testing::TestWithParam<Region>
{
};

TEST_P(DetectorRegion, IsClampedAndCutIntoAtMostTenByTenCells)
{
    const Region r = GetParam();
    Image<unsigned char> level(64, 48, 1);
    CornerDetector detector;
    ASSERT_EQ(detector.init(64, 48), 0);
    detector.setRegion(level, r.firstRow, r.lastRow, r.firstColumn, r.lastColumn);
    EXPECT_EQ(detector.regionFirstRow(), r.wantFirstRow);
    EXPECT_EQ(detector.regionLastRow(), r.wantLastRow);
    EXPECT_EQ(detector.regionFirstColumn(), r.wantFirstColumn);
    EXPECT_EQ(detector.regionLastColumn(), r.wantLastColumn);
    EXPECT_EQ(detector.cellRowHeight(), r.cellHeight);
    EXPECT_EQ(detector.cellRowCount(), r.cellRows);
    EXPECT_EQ(detector.cellColumnWidth(), r.cellWidth);
    EXPECT_EQ(detector.cellColumnCount(), r.cellColumns);
}

INSTANTIATE_TEST_SUITE_P(Regions, DetectorRegion,
    testing::Values(
        // Whole level: 48 rows in cells of 5 (9 of them), 64 columns in cells of 7 (9).
        Region { 0, 47, 0, 63, 0, 47, 0, 63, 5, 9, 7, 9 },
        // Beyond the level on every side: clamped.
        Region { -5, 100, -1, 64, 0, 47, 0, 63, 5, 9, 7, 9 },
        // An empty range becomes the whole range.
        Region { 30, 10, 10, 5, 0, 47, 0, 63, 5, 9, 7, 9 },
        // A part: rows 3..40 (38: cells of 4, 9), columns 20..63 (44: cells of 5, 8).
        Region { 3, 40, 20, 70, 3, 40, 20, 63, 4, 9, 5, 8 }));

// A square on a darker ground has its four corners, and only them, at the square's corners
// (a pixel inside, where the 5 x 5 window sees most of both edges).
TEST(CornerDetector, FindsTheCornersOfASquare)
{
    Image<unsigned char> level = makeLevel(
        100, 80, [](int x, int y) { return (x >= 30 && x < 60 && y >= 20 && y < 50) ? 60 : 20; });
    FeatureList features = detectAll(level);
    ASSERT_EQ(features.count, 4);
    const int cornerX[4] = { 30, 59, 30, 59 }, cornerY[4] = { 20, 20, 49, 49 };
    for (int k = 0; k < 4; ++k) {
        bool found = false;
        for (int i = 0; i < features.count; ++i)
            found = found
                || (std::abs(features.x[i] - cornerX[k]) <= 1
                    && std::abs(features.y[i] - cornerY[k]) <= 1);
        EXPECT_TRUE(found) << "corner " << cornerX[k] << "," << cornerY[k];
    }
    for (int i = 0; i < features.count; ++i)
        EXPECT_GT(features.score[i], 0.0f);
}

// One feature at most per cell, cells in row-major order, and never on a cell's first row or
// column (those belong to no scan).
TEST(CornerDetector, KeepsOneFeaturePerCellInGridOrder)
{
    std::mt19937 random(11);
    Image<unsigned char> level(131, 97, 1);
    for (int y = 0; y < 97; ++y)
        for (int x = 0; x < 131; ++x)
            level(x, y, 0) = (unsigned char)(random() % 256);
    CornerDetector detector;
    ASSERT_EQ(detector.init(131, 97), 0);
    detector.setRegion(level, 5, 90, 7, 120);
    FeatureList features;
    detector.detect(features);
    const int cellH = detector.cellRowHeight(), cellW = detector.cellColumnWidth();
    ASSERT_EQ(features.count, detector.cellRowCount() * detector.cellColumnCount())
        << "noise has a corner in every cell";
    int previous = -1;
    for (int i = 0; i < features.count; ++i) {
        int ry = int(features.y[i]) - 5, rx = int(features.x[i]) - 7;
        int cell = (ry / cellH) * detector.cellColumnCount() + rx / cellW;
        EXPECT_GT(cell, previous);
        EXPECT_NE(ry % cellH, 0);
        EXPECT_NE(rx % cellW, 0);
        previous = cell;
    }
}

// A 2 x 2 dot has four equal maxima of the response, at its four pixels. Equal neighbours
// must not suppress each other (else the cell would lose its corner), and the cell keeps the
// first of them in row-major order.
class EqualMaxima : public testing::TestWithParam<int>
{
};

TEST_P(EqualMaxima, TheFirstInRowMajorOrderIsKept)
{
    // 60 x 40: cells of 7 columns and 5 rows; the dot's rows 22 and 23 and its columns are
    // all scanned by the cell at rows 20..24, columns 21..27.
    const int left = GetParam();
    Image<unsigned char> level = makeLevel(60, 40, [&](int x, int y) {
        return ((x == left || x == left + 1) && (y == 22 || y == 23)) ? 60 : 10;
    });
    FeatureList features = detectAll(level);
    ASSERT_EQ(features.count, 1);
    EXPECT_EQ(features.x[0], float(left));
    EXPECT_EQ(features.y[0], 22.0f);
    EXPECT_GT(features.score[0], 1.0f);
}

INSTANTIATE_TEST_SUITE_P(Columns, EqualMaxima, testing::Values(22, 24, 26));

} // namespace
