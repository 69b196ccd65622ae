#include "core/ImageWarper"

#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <random>

namespace {

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

// A warper for photograph 1 of aWidth x aHeight under aModel, placed as registration places
// it (centre (0, 0), factor 0.5).
struct Warp
{
    ImageWarper warper;
    Warp(int aWidth, int aHeight, const Matrix3f &aModel, int aSurface = 0, int aSampler = 0)
    {
        Matrix3f models[2] = { Matrix3f::identity(), aModel };
        EXPECT_EQ(warper.init(2, 1.0f, aWidth, aHeight), 0);
        EXPECT_EQ(warper.setup(aSurface, aSampler, models), 0);
        EXPECT_EQ(warper.setCentre(0.0f, 0.0f, aWidth, aHeight, 0.5f), 0);
    }
    template <class T> Image<T> apply(const Image<T> &aSource)
    {
        Image<T> out(aSource.width(), aSource.height(), aSource.channels());
        warper.warp(1, aSource, out);
        return out;
    }
};

// A translation by (aDx, aDy) pixels of a w x h photograph, in normalised units.
Matrix3f translation(double aDx, double aDy, int aWidth, int aHeight)
{
    double s = std::max(aWidth - 1, aHeight - 1);
    return Matrix3f::similarity(1.0f, 0.0f, float(2.0 * aDx / s), float(2.0 * aDy / s));
}

template <class T> bool sameSamples(const Image<T> &aLeft, const Image<T> &aRight)
{
    for (int y = 0; y < aLeft.height(); ++y)
        for (int x = 0; x < aLeft.width(); ++x)
            for (int c = 0; c < aLeft.channels(); ++c)
                if (aLeft(x, y, c) != aRight(x, y, c))
                    return false;
    return true;
}

struct Size
{
    int width, height;
};

class IdentityWarp : public testing::TestWithParam<Size>
{
};

TEST_P(IdentityWarp, CopiesThePhotographExactly)
{
    const Size s = GetParam();
    Warp warp(s.width, s.height, Matrix3f::identity());
    Image<unsigned char> rgb = randomImage<unsigned char>(s.width, s.height, 3, 1);
    EXPECT_TRUE(sameSamples(warp.apply(rgb), rgb));
    Image<short> raw = randomImage<short>(s.width, s.height, 4, 2);
    EXPECT_TRUE(sameSamples(warp.apply(raw), raw));
    Image<unsigned char> grey = randomImage<unsigned char>(s.width, s.height, 1, 3);
    EXPECT_TRUE(sameSamples(warp.apply(grey), grey));
}

INSTANTIATE_TEST_SUITE_P(Sizes, IdentityWarp,
    testing::Values(
        Size { 64, 48 }, Size { 65, 47 }, Size { 48, 64 }, Size { 1, 1 }, Size { 2592, 1968 }));

struct Shift
{
    int dx, dy;
};

class WholePixelShift : public testing::TestWithParam<Shift>
{
};

// A model that moves the photograph by whole pixels leaves a band of that width, zero in
// every channel, along the border it uncovers; the rest is the photograph moved.
TEST_P(WholePixelShift, LeavesAZeroBandAlongTheUncoveredBorder)
{
    const Shift d = GetParam();
    const int w = 40, h = 30;
    Image<short> source = randomImage<short>(w, h, 4, 5);
    Image<short> out = Warp(w, h, translation(d.dx, d.dy, w, h)).apply(source);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int sx = x - d.dx, sy = y - d.dy;
            const bool covered = sx >= 0 && sx < w && sy >= 0 && sy < h;
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(out(x, y, c), covered ? source(sx, sy, c) : 0)
                    << "at " << x << "," << y << " channel " << c;
        }
}

INSTANTIATE_TEST_SUITE_P(Shifts, WholePixelShift,
    testing::Values(
        Shift { 3, 0 }, Shift { -3, 0 }, Shift { 0, 5 }, Shift { 4, -2 }, Shift { -1, -1 }));

// Source positions round to the nearest pixel: within half a pixel before the first column
// that column is sampled; further out (already at -0.6) the destination is outside.
struct Rounded
{
    double sourceOfColumnZero;
    int sampled; // the source column destination column 0 shows, -1 for none
};

class Rounding : public testing::TestWithParam<Rounded>
{
};

TEST_P(Rounding, SamplesTheNearestColumnAndNothingBeyondHalfAPixel)
{
    const Rounded r = GetParam();
    const int w = 21, h = 11;
    Image<unsigned char> source = randomImage<unsigned char>(w, h, 3, 6);
    Image<unsigned char> out
        = Warp(w, h, translation(-r.sourceOfColumnZero, 0, w, h)).apply(source);
    for (int y = 0; y < h; ++y)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(out(0, y, c), r.sampled < 0 ? 0 : source(r.sampled, y, c)) << y;
    EXPECT_EQ(out(1, 5, 0), source(r.sampled + 1, 5, 0));
}

INSTANTIATE_TEST_SUITE_P(Positions, Rounding,
    testing::Values(Rounded { -0.4, 0 }, Rounded { -0.49, 0 }, Rounded { -0.6, -1 },
        Rounded { -1.2, -1 }, Rounded { 0.4, 0 }, Rounded { 0.6, 1 }));

// The warp's fast path is the general path (surface unprojection and interpolator object)
// without the indirections: both give the same pixels for a rotated, scaled, shifted model.
TEST(ImageWarper, FastPathAgreesWithTheInterpolatorObjects)
{
    const int w = 97, h = 64;
    const Matrix3f model = Matrix3f::similarity(1.0099f, 0.0176f, 0.031f, -0.052f);
    Image<unsigned char> source = randomImage<unsigned char>(w, h, 3, 8);
    Warp warp(w, h, model);
    Image<unsigned char> out = warp.apply(source);
    Interpolator_NearestNeighbor<unsigned char> nearest(w, h, 3);
    std::unique_ptr<Pan_Manifold> planar(Pan_Manifold::create(0));
    int outside = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double sx, sy;
            warp.warper.sourcePosition(1, x, y, sx, sy);
            nearest.setPosition(sx, sy);
            outside += nearest.isOutside();
            const unsigned char *pixel = nearest.sample(source);
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(out(x, y, c), pixel[c]) << x << "," << y;
        }
    EXPECT_GT(outside, 0);
    EXPECT_LT(outside, w * h / 4);
}

// Warping a photograph over itself gives what warping it into a new image gives, whichever
// way the motion reaches (up, down, rotated, scaled), for both sample types.
class InPlace : public testing::TestWithParam<std::tuple<float, float, float, float>>
{
};

TEST_P(InPlace, EqualsTheWarpIntoANewImage)
{
    auto [a, b, tx, ty] = GetParam();
    const int w = 131, h = 97;
    Warp warp(w, h, Matrix3f::similarity(a, b, tx, ty));
    Image<unsigned char> rgb = randomImage<unsigned char>(w, h, 3, 13);
    Image<unsigned char> expected = warp.apply(rgb);
    const unsigned char *pixels = rgb.data();
    ASSERT_TRUE(warp.warper.warpInPlace(1, rgb));
    EXPECT_EQ(rgb.data(), pixels);
    EXPECT_TRUE(sameSamples(rgb, expected));
    Image<short> raw = randomImage<short>(w, h, 4, 14);
    Image<short> expectedRaw = warp.apply(raw);
    ASSERT_TRUE(warp.warper.warpInPlace(1, raw));
    EXPECT_TRUE(sameSamples(raw, expectedRaw));
}

INSTANTIATE_TEST_SUITE_P(Models, InPlace,
    testing::Values(std::make_tuple(1.0f, 0.0f, 0.0f, 0.3f), // sources below
        std::make_tuple(1.0f, 0.0f, -0.05f, -0.3f), // sources above
        std::make_tuple(0.9998f, 0.0175f, 0.02f, 0.01f), // 1 degree
        std::make_tuple(0.99f, -0.0175f, -0.03f, 0.04f), std::make_tuple(1.01f, 0.0f, 0.0f, 0.0f)));

TEST(ImageWarper, InPlaceRefusesMotionReachingFarAndLeavesThePhotograph)
{
    const int w = 64, h = 48;
    Image<unsigned char> img = randomImage<unsigned char>(w, h, 3, 15);
    const Image<unsigned char> before = img.clone();
    // Sources half the height above, and a quarter turn: the saved band would be the image.
    for (const Matrix3f &model :
        { translation(0, 24, w, h), Matrix3f::similarity(0.0f, 1.0f, 0.0f, 0.0f) }) {
        Warp warp(w, h, model);
        EXPECT_FALSE(warp.warper.warpInPlace(1, img));
        EXPECT_TRUE(sameSamples(img, before));
    }
    Warp bilinear(w, h, translation(0, 1, w, h), 0, 1);
    EXPECT_FALSE(bilinear.warper.warpInPlace(1, img));
}

// A model sending everything far away, or not a number at all, leaves nothing covered.
TEST(ImageWarper, AbsurdModelsLeaveAnEmptyPhotograph)
{
    const int w = 40, h = 30;
    Image<unsigned char> source = randomImage<unsigned char>(w, h, 3, 16);
    Image<unsigned char> zero(w, h, 3);
    for (const Matrix3f &model : { Matrix3f::similarity(1.0f, 0.0f, 1e30f, -1e30f),
             Matrix3f::similarity(NAN, 0.0f, 0.0f, 0.0f) }) {
        Warp warp(w, h, model);
        EXPECT_TRUE(sameSamples(warp.apply(source), zero));
        Image<unsigned char> copy = source.clone();
        if (warp.warper.warpInPlace(1, copy)) {
            EXPECT_TRUE(sameSamples(copy, zero));
        }
    }
}

TEST(ImageWarper, BilinearWarpInterpolatesBetweenNeighbours)
{
    const int w = 9, h = 5;
    Image<unsigned char> ramp(w, h, 1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ramp(x, y, 0) = (unsigned char)(10 * x + 3);
    // Source x + 0.35: 10x + 3 + 3.5, truncated.
    Image<unsigned char> out = Warp(w, h, translation(-0.35, 0, w, h), 0, 1).apply(ramp);
    for (int x = 0; x < w - 1; ++x)
        EXPECT_EQ(out(x, 2, 0), 10 * x + 6) << x;
    EXPECT_EQ(out(w - 1, 2, 0), 0) << "no right neighbour: outside";
}

TEST(Interpolator, BilinearTruncatesAndTreatsTheLastRowAndColumnAsOutside)
{
    Image<unsigned char> img(3, 3, 2);
    const unsigned char v[9] = { 0, 10, 20, 30, 41, 50, 60, 70, 80 };
    for (int i = 0; i < 9; ++i) {
        img(i % 3, i / 3, 0) = v[i];
        img(i % 3, i / 3, 1) = (unsigned char)(255 - v[i]);
    }
    Interpolator_Bilinear<unsigned char> bilinear(3, 3, 2);
    bilinear.setPosition(0.5, 0.5);
    const unsigned char *p = bilinear.sample(img);
    // top 5, bottom 35.5, 5 + 0.5 * 30.5 = 20.25 -> 20; the other channel 234.75 -> 234.
    EXPECT_EQ(p[0], 20);
    EXPECT_EQ(p[1], 234);
    for (auto position : { std::make_pair(2.0, 0.0), std::make_pair(0.0, 2.0),
             std::make_pair(-0.01, 0.0), std::make_pair(1.0, -0.5) }) {
        bilinear.setPosition(position.first, position.second);
        const unsigned char *q = bilinear.sample(img);
        EXPECT_TRUE(bilinear.isOutside());
        EXPECT_EQ(q[0], 0);
        EXPECT_EQ(q[1], 0);
    }
    bilinear.setPosition(1.999, 1.999);
    EXPECT_FALSE(bilinear.isOutside());
}

class Surface : public testing::TestWithParam<int>
{
};

TEST_P(Surface, UnprojectUndoesProject)
{
    std::unique_ptr<Pan_Manifold> surface(Pan_Manifold::create(GetParam()));
    ASSERT_TRUE(surface);
    for (double x : { -1.0, -0.3, 0.0, 0.7 })
        for (double y : { -0.75, 0.0, 0.4 }) {
            double u, v, bx, by;
            surface->project(u, v, x, y);
            surface->unproject(bx, by, u, v);
            EXPECT_NEAR(bx, x, 1e-12);
            EXPECT_NEAR(by, y, 1e-12);
        }
}

INSTANTIATE_TEST_SUITE_P(Types, Surface, testing::Values(0, 1, 2, 7));

TEST(Surface, TypeCodesSelectTheirProjections)
{
    std::unique_ptr<Pan_Manifold> planar(Pan_Manifold::create(0));
    std::unique_ptr<Pan_Manifold> cylindrical(Pan_Manifold::create(1));
    std::unique_ptr<Pan_Manifold> spherical(Pan_Manifold::create(5));
    double u, v;
    planar->project(u, v, 0.5, 1.0);
    EXPECT_DOUBLE_EQ(u, 0.5);
    EXPECT_DOUBLE_EQ(v, 1.0);
    cylindrical->project(u, v, 0.5, 1.0);
    EXPECT_DOUBLE_EQ(v, std::atan(1.0));
    EXPECT_DOUBLE_EQ(u, 0.5 / std::sqrt(2.0));
    spherical->project(u, v, 0.5, 1.0);
    EXPECT_DOUBLE_EQ(v, std::atan(1.0));
    EXPECT_DOUBLE_EQ(u, std::atan2(0.5, std::sqrt(2.0)));
}

// On a curved surface the destination is the surface's canvas: even the identity bends the
// photograph, except where the surface touches the plane: the centre row of the cylinder,
// the centre of the sphere.
TEST(ImageWarper, CurvedSurfacesBendAllButWhereTheyTouchThePlane)
{
    const int w = 33, h = 21;
    Image<unsigned char> source = randomImage<unsigned char>(w, h, 3, 12);
    Image<unsigned char> cylinder = Warp(w, h, Matrix3f::identity(), 1).apply(source);
    Image<unsigned char> sphere = Warp(w, h, Matrix3f::identity(), 2).apply(source);
    for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
            ASSERT_EQ(cylinder(x, 10, c), source(x, 10, c)) << x;
    EXPECT_EQ(sphere(16, 10, 0), source(16, 10, 0));
    EXPECT_FALSE(sameSamples(cylinder, source));
    EXPECT_FALSE(sameSamples(sphere, source));
    EXPECT_FALSE(sameSamples(sphere, cylinder));
}

TEST(ImageWarper, RefusesAPhotographCountOutOfRange)
{
    ImageWarper warper;
    testing::internal::CaptureStdout();
    EXPECT_EQ(warper.init(21, 1.0f, 10, 10), -1);
    EXPECT_EQ(warper.init(0, 1.0f, 10, 10), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Cannot warp 21 photographs"),
        std::string::npos);
}

} // namespace
