#include "RegistrationBurst.h"
#include "core/Registration"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

// The w x h window of aImage at (aLeft, aTop), sampled bilinearly (fractional offsets).
Image<unsigned char> window(
    const Image<unsigned char> &aImage, double aLeft, double aTop, int aWidth, int aHeight)
{
    Image<unsigned char> out(aWidth, aHeight, aImage.channels());
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x) {
            double u = x + aLeft, v = y + aTop;
            int x0 = int(u), y0 = int(v);
            double fx = u - x0, fy = v - y0;
            for (int c = 0; c < aImage.channels(); ++c) {
                double top = aImage(x0, y0, c) * (1 - fx) + aImage(x0 + 1, y0, c) * fx;
                double bottom = aImage(x0, y0 + 1, c) * (1 - fx) + aImage(x0 + 1, y0 + 1, c) * fx;
                out(x, y, c) = (unsigned char)std::lround(top * (1 - fy) + bottom * fy);
            }
        }
    return out;
}

// A context of one pyramid level for a pair of 96 x 64 images.
struct OneLevel
{
    RegistrationContext context;
    OneLevel(const Image<unsigned char> &aReference, const Image<unsigned char> &aCurrent)
    {
        EXPECT_EQ(context.init(2, aReference.height(), aReference.width(), 0, 1.0f, 1024,
                      aReference.height() - 1, 1, 4),
            0);
        EXPECT_EQ(context.reference.levelCount(), 1);
        context.reference.build(aReference);
        context.current.build(aCurrent);
    }
    FeatureList match(
        const FeatureList &aFeatures, int aRadius, const Matrix3f &aModel = Matrix3f::identity())
    {
        FeatureList matches;
        matchFeatures(
            context, aModel, context.reference, context.current, 0, aRadius, aFeatures, matches);
        return matches;
    }
};

FeatureList gridOfPoints(int aWidth, int aHeight)
{
    FeatureList f;
    for (int y = 12; y < aHeight - 12; y += 10)
        for (int x = 12; x < aWidth - 12; x += 10) {
            f.x[f.count] = float(x);
            f.y[f.count] = float(y);
            f.score[f.count++] = 1.0f;
        }
    return f;
}

struct Search
{
    int shift, radius;
    bool found;
};

class SearchRadius : public testing::TestWithParam<Search>
{
};

// The reference shows the scene shifted by a whole number of pixels; the matches find it
// when the search radius reaches that far, and only then.
TEST_P(SearchRadius, FindsShiftsWithinTheRadiusOnly)
{
    const Search s = GetParam();
    Image<unsigned char> scene = regtest::texture(120, 80, 4);
    Image<unsigned char> current = window(scene, 10, 8, 96, 64);
    Image<unsigned char> reference = window(scene, 10 - s.shift, 8 + s.shift, 96, 64);
    OneLevel pair(reference, current);
    FeatureList points = gridOfPoints(96, 64);
    FeatureList matches = pair.match(points, s.radius);
    ASSERT_EQ(matches.count, points.count);
    int exact = 0;
    for (int i = 0; i < points.count; ++i)
        if (std::abs(matches.x[i] - (points.x[i] + s.shift)) < 0.25f
            && std::abs(matches.y[i] - (points.y[i] - s.shift)) < 0.25f && matches.score[i] > 0.99f)
            ++exact;
    if (s.found)
        EXPECT_EQ(exact, points.count);
    else
        EXPECT_EQ(exact, 0);
}

INSTANTIATE_TEST_SUITE_P(Shifts, SearchRadius,
    testing::Values(Search { 0, 1, true }, Search { 1, 1, true }, Search { 2, 1, false },
        Search { 2, 2, true }, Search { 3, 4, true }));

// Matches are refined between pixels: a third of a pixel is seen as such.
TEST(MatchFeatures, RefinesMatchesToAFractionOfAPixel)
{
    Image<unsigned char> scene = regtest::texture(120, 80, 6);
    Image<unsigned char> current = window(scene, 10, 8, 96, 64);
    Image<unsigned char> reference = window(scene, 10 - 0.33, 8 - 0.33, 96, 64);
    OneLevel pair(reference, current);
    FeatureList points = gridOfPoints(96, 64);
    FeatureList matches = pair.match(points, 1);
    double errorSum = 0.0;
    for (int i = 0; i < points.count; ++i) {
        errorSum += std::hypot(
            matches.x[i] - (points.x[i] + 0.33f), matches.y[i] - (points.y[i] + 0.33f));
        EXPECT_GT(matches.score[i], 0.9f);
    }
    // Whole-pixel matches would be 0.47 off on average.
    EXPECT_LT(errorSum / points.count, 0.2);
}

TEST(MatchFeatures, FlatOrEdgePatchesAndNegativeCorrelationKeepThePrediction)
{
    // Left half flat; right half textured. The reference is the photographic negative.
    Image<unsigned char> scene = regtest::texture(96, 64, 8);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 48; ++x)
            for (int c = 0; c < 3; ++c)
                scene(x, y, c) = 90;
    Image<unsigned char> negative(96, 64, 3);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 96; ++x)
            for (int c = 0; c < 3; ++c)
                negative(x, y, c) = (unsigned char)(255 - scene(x, y, c));
    FeatureList f;
    const float xs[4] = { 20.0f, 70.0f, 1.0f, 94.0f }, ys[4] = { 30.0f, 30.0f, 30.0f, 62.0f };
    for (int i = 0; i < 4; ++i) {
        f.x[i] = xs[i];
        f.y[i] = ys[i];
        f.score[i] = 1.0f;
    }
    f.count = 4;

    // Against the negative every candidate correlates negatively.
    OneLevel negativePair(negative, scene);
    FeatureList m = negativePair.match(f, 1);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(m.x[i], xs[i]) << i;
        EXPECT_EQ(m.y[i], ys[i]) << i;
        EXPECT_EQ(m.score[i], 0.0f) << i;
    }
    // Against the scene itself, under a model that predicts (x + 2, y - 1): the textured
    // feature is found, the flat one and those whose patch leaves the level keep the
    // prediction.
    const Matrix3f shift = Matrix3f::similarity(1.0f, 0.0f, 2.0f * 2.0f / 95.0f, -2.0f / 95.0f);
    OneLevel samePair(scene, scene);
    FeatureList same = samePair.match(f, 2, shift);
    EXPECT_NEAR(same.x[1], 70.0f, 0.05f);
    EXPECT_NEAR(same.y[1], 30.0f, 0.05f);
    EXPECT_GT(same.score[1], 0.99f);
    for (int i : { 0, 2, 3 }) {
        EXPECT_EQ(same.x[i], xs[i] + 2.0f) << i;
        EXPECT_EQ(same.y[i], ys[i] - 1.0f) << i;
        EXPECT_EQ(same.score[i], 0.0f) << i;
    }
}

// A model predicting positions far outside the level (or nowhere) keeps every feature at its
// clamped prediction with score 0.
TEST(MatchFeatures, PredictionsFarOutsideTheLevelMatchNothing)
{
    Image<unsigned char> scene = regtest::texture(96, 64, 9);
    OneLevel pair(scene, scene);
    FeatureList points = gridOfPoints(96, 64);
    for (const Matrix3f &model : { Matrix3f::similarity(1.0f, 0.0f, 1e12f, -1e12f),
             Matrix3f::similarity(NAN, NAN, 0.0f, 0.0f) }) {
        FeatureList matches = pair.match(points, 4, model);
        for (int i = 0; i < points.count; ++i)
            EXPECT_EQ(matches.score[i], 0.0f);
    }
}

// Six dots give six corners at every level of a 320 x 240 pyramid with levels 0..2, and six
// agreeing correspondences are not enough: each level rejects its estimate and doubles the
// search radius up to the maximum. Seven dots are enough.
struct DotCase
{
    int dots, maxRadius;
    std::vector<int> radii; // coarsest level first
    bool accepted;
};

class AcceptanceRule : public testing::TestWithParam<DotCase>
{
};

Image<unsigned char> dots(int aCount, int aShift)
{
    Image<unsigned char> img(320, 240, 3);
    const int px[8] = { 40, 120, 200, 280, 40, 120, 200, 280 };
    const int py[8] = { 60, 60, 60, 60, 180, 180, 180, 180 };
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            bool on = false;
            for (int k = 0; k < aCount; ++k)
                on = on
                    || (x - aShift >= px[k] && x - aShift < px[k] + 2 && y >= py[k]
                        && y < py[k] + 2);
            for (int c = 0; c < 3; ++c)
                img(x, y, c) = on ? 140 : 40;
        }
    return img;
}

TEST_P(AcceptanceRule, NeedsMoreThanSixInliers)
{
    const DotCase d = GetParam();
    RegistrationContext context;
    ASSERT_EQ(context.init(2, 240, 320, 0, 1.0f, 1024, 20, 1, d.maxRadius), 0);
    ASSERT_EQ(context.current.levelCount(), 4);
    context.reference.build(dots(d.dots, 2));
    context.current.build(dots(d.dots, 0));
    ASSERT_EQ(matchImagePair(context, 1, context.reference, context.current), 0);

    EXPECT_EQ(context.outcome[3].corners, 0) << "the dots fade out at level 3";
    for (int l = 2, i = 0; l >= 0; --l, ++i) {
        EXPECT_EQ(context.outcome[l].corners, d.dots) << "level " << l;
        EXPECT_EQ(context.outcome[l].inliers, d.dots) << "level " << l;
        EXPECT_EQ(context.outcome[l].radius, d.radii[i]) << "level " << l;
        EXPECT_EQ(context.outcome[l].accepted, d.accepted) << "level " << l;
    }
    // The reference shows the dots 2 pixels to the right.
    const Matrix3f &model = context.models[1];
    if (d.accepted) {
        EXPECT_NEAR(model.m[0][2] * 319.0f / 2.0f, 2.0f, 0.1f);
        EXPECT_NEAR(model.m[1][2], 0.0f, 1e-3f);
    } else {
        EXPECT_TRUE(model.isIdentity());
    }
}

INSTANTIATE_TEST_SUITE_P(Dots, AcceptanceRule,
    testing::Values(DotCase { 6, 4, { 1, 2, 4 }, false }, DotCase { 6, 2, { 1, 2, 2 }, false },
        DotCase { 6, 16, { 1, 2, 4 }, false }, DotCase { 7, 4, { 1, 1, 1 }, true }));

// A requested maximum above 16 is held at 16, and the initial radius never exceeds it.
TEST(RegistrationContext, CapsTheSearchRadii)
{
    RegistrationContext context;
    ASSERT_EQ(context.init(3, 48, 64, 0, 1.0f, 1024, 10, 40, 100), 0);
    EXPECT_EQ(context.maxRadius, 16);
    EXPECT_EQ(context.initialRadius, 16);
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(context.models[k].isIdentity());
}

TEST(RegistrationContext, RefusesMoreThanTwentyPhotographs)
{
    RegistrationContext context;
    testing::internal::CaptureStdout();
    EXPECT_EQ(context.init(21, 48, 64, 0, 1.0f, 1024, 10, 1, 4), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("21 photographs"), std::string::npos);
}

} // namespace
