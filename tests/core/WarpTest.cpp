#include "PyramidReference.h"
#include "RegistrationBurst.h"
#include "core/ImageWarper"

#include <cmath>
#include <gtest/gtest.h>

namespace {

using reference::randomImage;
using reference::sameSamples;

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

TEST(ImageWarper, IdentityCopiesThePhotographExactly)
{
    for (auto [w, h] : { std::pair(65, 47), std::pair(1, 1), std::pair(2592, 1968) }) {
        Warp warp(w, h, Matrix3f::identity());
        Image<unsigned char> rgb = randomImage<unsigned char>(w, h, 3, 1, 250, 1);
        Image<short> raw = randomImage<short>(w, h, 4, 1, 250, 2);
        EXPECT_TRUE(sameSamples(warp.apply(rgb), rgb)) << w << "x" << h;
        EXPECT_TRUE(sameSamples(warp.apply(raw), raw)) << w << "x" << h;
    }
}

// Source positions round to the nearest pixel: within half a pixel before the first column
// that column is sampled; further out (already at -0.6) the destination is outside.
TEST(ImageWarper, SamplesTheNearestColumnAndNothingBeyondHalfAPixel)
{
    const int w = 21, h = 11;
    Image<unsigned char> source = randomImage<unsigned char>(w, h, 3, 1, 250, 6);
    for (auto [sourceOfColumnZero, sampled] :
        { std::pair(-0.49, 0), std::pair(-0.6, -1), std::pair(0.6, 1) }) {
        Image<unsigned char> out = Warp(w, h, shift(-sourceOfColumnZero, 0, w, h)).apply(source);
        for (int y = 0; y < h; ++y)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(out(0, y, c), sampled < 0 ? 0 : source(sampled, y, c))
                    << sourceOfColumnZero << ", row " << y;
        EXPECT_EQ(out(1, 5, 0), source(sampled + 1, 5, 0)) << sourceOfColumnZero;
    }
}

// The fast path is the general one (source position, then the interpolator object) without
// the indirections, and warping over the photograph itself gives the same as warping into a
// new image, whichever way the motion reaches: sources above, below, rotated and scaled.
TEST(ImageWarper, FastInPlaceAndGeneralPathsAgree)
{
    const int w = 131, h = 97;
    for (const Matrix3f &model : { Matrix3f::similarity(1.0f, 0.0f, 0.0f, 0.3f),
             Matrix3f::similarity(1.0f, 0.0f, -0.05f, -0.3f),
             Matrix3f::similarity(0.99f, -0.0175f, -0.03f, 0.04f) }) {
        Warp warp(w, h, model);
        Image<unsigned char> source = randomImage<unsigned char>(w, h, 3, 1, 250, 8);
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
        Image<short> raw = randomImage<short>(w, h, 4, 1, 250, 14);
        Image<short> rawOut = warp.apply(raw);
        ASSERT_TRUE(warp.warper.warpInPlace(1, raw));
        EXPECT_TRUE(sameSamples(raw, rawOut));
    }
}

TEST(ImageWarper, InPlaceRefusesFarReachingMotionAndAbsurdModelsCoverNothing)
{
    const int w = 64, h = 48;
    Image<unsigned char> img = randomImage<unsigned char>(w, h, 3, 1, 250, 15), zero(w, h, 3);
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
