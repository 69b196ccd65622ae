#include "core/GreyPyramid"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

struct Geometry
{
    int width, height, maxSize, minLevelSize;
    int first, count;
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
    testing::Values(Geometry { 2592, 1968, 1024, 10, 1, 7 }, // the merge: 1296x984 .. 40x30
        Geometry { 2592, 1968, 512, 10, 2, 7 }, // the preview's limit
        Geometry { 1296, 984, 1024, 10, 0, 7 }, // packed raw
        Geometry { 64, 48, 1024, 10, 0, 3 }, // stops before the 6-pixel side
        Geometry { 10, 10, 1024, 10, 0, 0 }, // too small: nothing to match
        Geometry { 100, 100, 0, 10, 6, 6 }, // limit below 1 still ends
        Geometry { 0, 0, 1024, 10, 0, 0 }));

// The reduction of one row and one column by hand: (a + 2b + c + 2) >> 2, mirrored ends.
TEST(GreyPyramid, ReducesWithRoundedOneTwoOneFilter)
{
    // 5 x 1: samples 0, 4, 8, 12, 16 keep 0, 2, 4:
    // (2*0 + 2*4 + 2) >> 2 = 2, (4 + 16 + 12 + 2) >> 2 = 8, (2*12 + 2*16 + 2) >> 2 = 14.
    std::vector<unsigned char> row = { 0, 4, 8, 12, 16 };
    int w = 5, h = 1;
    GreyPyramid::reduce(row.data(), w, h);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(h, 1);
    EXPECT_EQ(std::vector<unsigned char>(row.begin(), row.begin() + 3),
        (std::vector<unsigned char> { 2, 8, 14 }));

    // 1 x 4 column 10, 20, 30, 41 keeps rows 0 and 2: (2*10 + 2*20 + 2) >> 2 = 15 and
    // (20 + 2*30 + 41 + 2) >> 2 = 30.
    std::vector<unsigned char> column = { 10, 20, 30, 41 };
    w = 1;
    h = 4;
    GreyPyramid::reduce(column.data(), w, h);
    EXPECT_EQ(h, 2);
    EXPECT_EQ(column[0], 15);
    EXPECT_EQ(column[1], 30);
}

// The in-place reduction must equal a straightforward one into a separate buffer.
TEST(GreyPyramid, InPlaceReductionMatchesAReferenceComputation)
{
    std::mt19937 random(7);
    for (int w : { 1, 2, 7, 16, 33 })
        for (int h : { 1, 3, 8, 21 }) {
            std::vector<unsigned char> img(std::size_t(w) * h);
            for (auto &v : img)
                v = (unsigned char)(random() % 256);
            auto at = [&](int x, int y) {
                x = x < 0 ? std::min(1, w - 1) : (x >= w ? std::max(w - 2, 0) : x);
                y = y < 0 ? std::min(1, h - 1) : (y >= h ? std::max(h - 2, 0) : y);
                return int(img[std::size_t(y) * w + x]);
            };
            const int nw = (w + 1) / 2, nh = (h + 1) / 2;
            std::vector<int> rows(std::size_t(nw) * h);
            for (int y = 0; y < h; ++y)
                for (int j = 0; j < nw; ++j)
                    rows[std::size_t(y) * nw + j]
                        = (at(2 * j - 1, y) + 2 * at(2 * j, y) + at(2 * j + 1, y) + 2) >> 2;
            auto rowAt = [&](int x, int y) {
                y = y < 0 ? std::min(1, h - 1) : (y >= h ? std::max(h - 2, 0) : y);
                return rows[std::size_t(y) * nw + x];
            };
            std::vector<unsigned char> data = img;
            int rw = w, rh = h;
            GreyPyramid::reduce(data.data(), rw, rh);
            ASSERT_EQ(rw, nw);
            ASSERT_EQ(rh, nh);
            for (int i = 0; i < nh; ++i)
                for (int x = 0; x < nw; ++x)
                    ASSERT_EQ(data[std::size_t(i) * nw + x],
                        (rowAt(x, 2 * i - 1) + 2 * rowAt(x, 2 * i) + rowAt(x, 2 * i + 1) + 2) >> 2)
                        << w << "x" << h << " at " << x << "," << i;
        }
}

TEST(GreyPyramid, PackedRawGreyIsTheClampedMeanOfTheFourSamples)
{
    Image<short> raw(64, 48, 4);
    const short bright[4] = { 400, 300, 300, 400 }, dim[4] = { 100, 80, 80, 100 };
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            for (int c = 0; c < 4; ++c)
                raw(x, y, c) = x < 32 ? bright[c] : dim[c];
    GreyPyramid pyramid;
    ASSERT_EQ(pyramid.init(48, 64, 1024, 10), 0);
    pyramid.build(raw);
    const Image<unsigned char> &level = pyramid.level(0);
    EXPECT_EQ(level(5, 5, 0), 255);
    EXPECT_EQ(level(60, 5, 0), 90);
}

TEST(GreyPyramid, RgbGreyIsTheSumOverFourAndLevelsFollowTheReduction)
{
    // Odd sizes: each level is the top-left part of the (rounded up) reduction.
    const int width = 41, height = 25;
    Image<unsigned char> rgb(width, height, 3);
    std::mt19937 random(3);
    std::vector<unsigned char> grey(width * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int sum = 0;
            for (int c = 0; c < 3; ++c) {
                rgb(x, y, c) = (unsigned char)(random() % 256);
                sum += rgb(x, y, c);
            }
            grey[std::size_t(y) * width + x] = (unsigned char)(sum >> 2);
        }
    GreyPyramid pyramid;
    ASSERT_EQ(pyramid.init(height, width, 1024, 2), 0);
    ASSERT_EQ(pyramid.levelCount(), 4);
    pyramid.build(rgb);
    int w = width, h = height;
    for (int l = 0; l < pyramid.levelCount(); ++l) {
        const Image<unsigned char> &level = pyramid.level(l);
        for (int y = 0; y < level.height(); ++y)
            for (int x = 0; x < level.width(); ++x)
                ASSERT_EQ(level(x, y, 0), grey[std::size_t(y) * w + x])
                    << "level " << l << " at " << x << "," << y;
        GreyPyramid::reduce(grey.data(), w, h);
    }
}

} // namespace
