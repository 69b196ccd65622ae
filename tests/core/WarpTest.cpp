#include "RegistrationBurst.h"
#include "core/ImageWarper"

#include <cmath>
#include <gtest/gtest.h>

namespace {

using regtest::sameSamples;

// Samples 1..250 that differ between neighbours, so a pixel taken from the wrong place shows.
template <class T> Image<T> randomImage(int aWidth, int aHeight, int aChannels, unsigned aSeed)
{
    Image<T> img(aWidth, aHeight, aChannels);
    unsigned state = aSeed * 2654435761u + 1u;
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x)
            for (int c = 0; c < aChannels; ++c) {
                state = state * 1664525u + 1013904223u;
                img(x, y, c) = T(1 + (state >> 8) % 250);
            }
    return img;
}

// A warper for photograph 1 under aModel, placed as registration places it.
struct Warp
{
    ImageWarper warper;
    Warp(int aWidth, int aHeight, const Matrix3f &aModel, int aSampler = 0)
    {
        Matrix3f models[2] = { Matrix3f::identity(), aModel };
        EXPECT_EQ(warper.init(2, 1.0f, aWidth, aHeight), 0);
        EXPECT_EQ(warper.setup(0, aSampler, models), 0);
        EXPECT_EQ(warper.setCentre(0.0f, 0.0f, aWidth, aHeight, 0.5f), 0);
    }
    template <class T> Image<T> apply(const Image<T> &aSource)
    {
        Image<T> out(aSource.width(), aSource.height(), aSource.channels());
        warper.warp(1, aSource, out);
        return out;
    }
};

Matrix3f shift(double aDx, double aDy, int aWidth, int aHeight)
{
    return regtest::similarityInPixels(0, 1, aDx, aDy, aWidth, aHeight);
}

class IdentityWarp : public testing::TestWithParam<std::pair<int, int>>
{
};

TEST_P(IdentityWarp, CopiesThePhotographExactly)
{
    auto [w, h] = GetParam();
    Warp warp(w, h, Matrix3f::identity());
    Image<unsigned char> rgb = randomImage<unsigned char>(w, h, 3, 1);
    EXPECT_TRUE(sameSamples(warp.apply(rgb), rgb));
    Image<short> raw = randomImage<short>(w, h, 4, 2);
    EXPECT_TRUE(sameSamples(warp.apply(raw), raw));
}

INSTANTIATE_TEST_SUITE_P(Sizes, IdentityWarp,
    testing::Values(std::make_pair(64, 48), std::make_pair(65, 47), std::make_pair(48, 64),
        std::make_pair(1, 1), std::make_pair(2592, 1968)));

// A whole-pixel move leaves a band of that width, 0 in every channel, along the border it
// uncovers; the rest is the photograph moved.
class WholePixelShift : public testing::TestWithParam<std::pair<int, int>>
{
};

TEST_P(WholePixelShift, LeavesAZeroBandAlongTheUncoveredBorder)
{
    auto [dx, dy] = GetParam();
    const int w = 40, h = 30;
    Image<short> source = randomImage<short>(w, h, 4, 5);
    Image<short> out = Warp(w, h, shift(dx, dy, w, h)).apply(source);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int sx = x - dx, sy = y - dy;
            const bool covered = sx >= 0 && sx < w && sy >= 0 && sy < h;
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(out(x, y, c), covered ? source(sx, sy, c) : 0) << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(Shifts, WholePixelShift,
    testing::Values(
        std::make_pair(3, 0), std::make_pair(-3, 0), std::make_pair(0, 5), std::make_pair(4, -2)));

// Source positions round to the nearest pixel: within half a pixel before the first column
// that column is sampled; further out (already at -0.6) the destination is outside.
class Rounding : public testing::TestWithParam<std::pair<double, int>>
{
};

TEST_P(Rounding, SamplesTheNearestColumnAndNothingBeyondHalfAPixel)
{
    auto [sourceOfColumnZero, sampled] = GetParam();
    const int w = 21, h = 11;
    Image<unsigned char> source = randomImage<unsigned char>(w, h, 3, 6);
    Image<unsigned char> out = Warp(w, h, shift(-sourceOfColumnZero, 0, w, h)).apply(source);
    for (int y = 0; y < h; ++y)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(out(0, y, c), sampled < 0 ? 0 : source(sampled, y, c)) << y;
    EXPECT_EQ(out(1, 5, 0), source(sampled + 1, 5, 0));
}

INSTANTIATE_TEST_SUITE_P(Positions, Rounding,
    testing::Values(std::make_pair(-0.4, 0), std::make_pair(-0.49, 0), std::make_pair(-0.6, -1),
        std::make_pair(-1.2, -1), std::make_pair(0.4, 0), std::make_pair(0.6, 1)));

// The fast path is the general one (source position, then the interpolator object) without
// the indirections, and warping over the photograph itself gives the same as warping into a
// new image, whichever way the motion reaches (up, down, rotated, scaled).
class RotatedWarp : public testing::TestWithParam<std::tuple<float, float, float, float>>
{
};

TEST_P(RotatedWarp, FastInPlaceAndGeneralPathsAgree)
{
    auto [a, b, tx, ty] = GetParam();
    const int w = 131, h = 97;
    Warp warp(w, h, Matrix3f::similarity(a, b, tx, ty));
    Image<unsigned char> source = randomImage<unsigned char>(w, h, 3, 8);
    Image<unsigned char> out = warp.apply(source);
    Interpolator_NearestNeighbor<unsigned char> nearest(w, h, 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double sx, sy;
            warp.warper.sourcePosition(1, x, y, sx, sy);
            nearest.setPosition(sx, sy);
            const unsigned char *pixel = nearest.sample(source);
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(out(x, y, c), pixel[c]) << x << "," << y;
        }
    const unsigned char *pixels = source.data();
    ASSERT_TRUE(warp.warper.warpInPlace(1, source));
    EXPECT_EQ(source.data(), pixels);
    EXPECT_TRUE(sameSamples(source, out));
    Image<short> raw = randomImage<short>(w, h, 4, 14);
    Image<short> rawOut = warp.apply(raw);
    ASSERT_TRUE(warp.warper.warpInPlace(1, raw));
    EXPECT_TRUE(sameSamples(raw, rawOut));
}

INSTANTIATE_TEST_SUITE_P(Models, RotatedWarp,
    testing::Values(std::make_tuple(1.0f, 0.0f, 0.0f, 0.3f), // sources above
        std::make_tuple(1.0f, 0.0f, -0.05f, -0.3f), // sources below
        std::make_tuple(0.9998f, 0.0175f, 0.02f, 0.01f), // 1 degree
        std::make_tuple(0.99f, -0.0175f, -0.03f, 0.04f)));

TEST(ImageWarper, InPlaceRefusesFarReachingMotionAndAbsurdModelsCoverNothing)
{
    const int w = 64, h = 48;
    Image<unsigned char> img = randomImage<unsigned char>(w, h, 3, 15), zero(w, h, 3);
    const Image<unsigned char> before = img.clone();
    // Sources half the height above, and a quarter turn: the saved band would be the image.
    for (const Matrix3f &model : { shift(0, 24, w, h), Matrix3f::similarity(0, 1, 0, 0) }) {
        EXPECT_FALSE(Warp(w, h, model).warper.warpInPlace(1, img));
        EXPECT_TRUE(sameSamples(img, before));
    }
    EXPECT_FALSE(Warp(w, h, shift(0, 1, w, h), 1).warper.warpInPlace(1, img)) << "bilinear";
    for (const Matrix3f &model :
        { Matrix3f::similarity(1, 0, 1e30f, -1e30f), Matrix3f::similarity(NAN, 0, 0, 0) })
        EXPECT_TRUE(sameSamples(Warp(w, h, model).apply(img), zero));
}

} // namespace
