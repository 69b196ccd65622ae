#include "RegistrationBurst.h"
#include "core/Registration"

#include <cmath>
#include <gtest/gtest.h>

namespace {

// Matching on a single pyramid level of two 96 x 64 images: the current one is the window
// of aScene at (10, 8), the reference the same window moved by (aDx, aDy) pixels.
struct OneLevel
{
    RegistrationContext context;
    FeatureList points;
    OneLevel(const Image<unsigned char> &aScene, double aDx, double aDy)
        : OneLevel(regtest::viewThrough(
                       aScene, 10, 8, 96, 64, regtest::similarityInPixels(0, 1, aDx, aDy, 96, 64)),
            regtest::viewThrough(aScene, 10, 8, 96, 64))
    { }
    OneLevel(const Image<unsigned char> &aReference, const Image<unsigned char> &aCurrent)
    {
        EXPECT_EQ(context.init(2, 64, 96, 0, 1.0f, 1024, 63, 1, 4), 0);
        EXPECT_EQ(context.reference.levelCount(), 1);
        context.reference.build(aReference);
        context.current.build(aCurrent);
        for (int y = 12; y < 52; y += 10)
            for (int x = 12; x < 84; x += 10, ++points.count) {
                points.x[points.count] = float(x);
                points.y[points.count] = float(y);
            }
    }
    FeatureList match(int aRadius, const Matrix3f &aModel = Matrix3f::identity())
    {
        FeatureList matches;
        matchFeatures(
            context, aModel, context.reference, context.current, 0, aRadius, points, matches);
        return matches;
    }
};

// The reference shows each point (shift, -shift) away; the matches find it when the search
// radius reaches that far, and only then, refined to a fraction of a pixel.
TEST(MatchFeatures, FindsShiftsWithinTheRadiusOnlyToAFractionOfAPixel)
{
    const struct
    {
        int shift, radius;
        bool found;
    } searches[] = { { 2, 1, false }, { 3, 4, true } };
    for (auto s : searches) {
        OneLevel pair(regtest::texture(120, 80, 4), -s.shift, s.shift);
        FeatureList m = pair.match(s.radius);
        int exact = 0;
        for (int i = 0; i < m.count; ++i)
            exact += std::abs(m.x[i] - (pair.points.x[i] + s.shift)) < 0.25f
                && std::abs(m.y[i] - (pair.points.y[i] - s.shift)) < 0.25f && m.score[i] > 0.99f;
        EXPECT_EQ(exact, s.found ? m.count : 0) << s.shift << " within " << s.radius;
    }
    // Matches are refined between pixels: a third of a pixel is seen as such.
    OneLevel pair(regtest::texture(120, 80, 6), -0.33, -0.33);
    FeatureList m = pair.match(1);
    double error = 0.0;
    for (int i = 0; i < m.count; ++i)
        error
            += std::hypot(m.x[i] - (pair.points.x[i] + 0.33f), m.y[i] - (pair.points.y[i] + 0.33f));
    EXPECT_LT(error / m.count, 0.2) << "whole-pixel matches would be 0.47 off";
}

// Another exposure of a soft scene: the current photograph darker through a tone curve, and
// moved by a fraction of a pixel. With the tones matched, the refinement puts every match
// within a few hundredths of a pixel (without them, 0.17 px); the correlation peak alone is
// off by tenths.
TEST(MatchFeatures, RefinesMatchesAcrossAToneCurveToHundredthsOfAPixel)
{
    const Image<unsigned char> scene = regtest::texture(120, 80, 9);
    Image<unsigned char> dark = scene.clone();
    for (int i = 0; i < 120 * 80 * 3; ++i)
        dark.data()[i] = (unsigned char)std::lround(160.0 * std::pow(scene.data()[i] / 255.0, 2.2));
    const double dx = 0.37, dy = -0.29;
    OneLevel pair(regtest::viewThrough(scene, 10, 8, 96, 64),
        regtest::viewThrough(
            dark, 10, 8, 96, 64, regtest::similarityInPixels(0, 1, dx, dy, 96, 64)));
    core::matchTones(pair.context.current.level(0), pair.context.reference.level(0),
        pair.context.tones, pair.context.toneSpread);
    double peak = 0.0, refined = 0.0;
    for (bool refine : { false, true }) {
        FeatureList m;
        matchFeatures(pair.context, Matrix3f::identity(), pair.context.reference,
            pair.context.current, 0, 1, pair.points, m, refine);
        double worst = 0.0;
        for (int i = 0; i < m.count; ++i)
            worst = std::max(worst,
                std::hypot(m.x[i] - (pair.points.x[i] + dx), m.y[i] - (pair.points.y[i] + dy)));
        (refine ? refined : peak) = worst;
    }
    EXPECT_LT(refined, 0.05);
    EXPECT_GT(peak, 0.1) << "the test no longer tells a refined match from a peak";
}

// Flat patches, patches that leave the level and predictions far outside the level keep the
// (clamped) prediction with score 0.
TEST(MatchFeatures, KeepsThePredictionWhenNothingCorrelates)
{
    Image<unsigned char> scene = regtest::texture(96, 64, 8);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 96; ++x)
            for (int c = 0; c < 3 && x < 48; ++c)
                scene(x, y, c) = 90;
    OneLevel same(scene, scene);
    same.points.count = 0;
    for (float x : { 20.0f, 70.0f, 1.0f, 94.0f }) {
        same.points.x[same.points.count] = x;
        same.points.y[same.points.count++] = 30.0f;
    }
    // A model that predicts (x + 2, y - 1): only the textured point (70, 30) is found.
    FeatureList m = same.match(2, Matrix3f::similarity(1.0f, 0.0f, 4.0f / 95.0f, -2.0f / 95.0f));
    EXPECT_NEAR(m.x[1], 70.0f, 0.05f);
    EXPECT_GT(m.score[1], 0.99f);
    for (int i : { 0, 2, 3 }) {
        EXPECT_EQ(m.x[i], same.points.x[i] + 2.0f) << i;
        EXPECT_EQ(m.y[i], 29.0f) << i;
        EXPECT_EQ(m.score[i], 0.0f) << i;
    }
    for (const Matrix3f &far : { Matrix3f::similarity(1.0f, 0.0f, 1e12f, -1e12f),
             Matrix3f::similarity(NAN, NAN, 0.0f, 0.0f) }) {
        FeatureList f = same.match(4, far);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(f.score[i], 0.0f);
    }
}

// Six dots give six corners at levels 0..2 of a 320 x 240 pyramid, and six agreeing
// correspondences are not enough: each level rejects its estimate and doubles the search
// radius up to the maximum, and the model stays the identity. Seven are enough.
struct DotCase
{
    int dots, maxRadius, radii[3]; // radii at levels 2, 1, 0
    bool accepted;
};

class AcceptanceRule : public testing::TestWithParam<DotCase>
{
};

Image<unsigned char> dots(int aCount, int aShift)
{
    Image<unsigned char> img(320, 240, 3);
    std::fill(img.data(), img.data() + 320 * 240 * 3, 40);
    for (int k = 0; k < aCount; ++k)
        for (int i = 0; i < 12; ++i) // 2 x 2 pixels, 3 channels
            img(40 + 80 * (k % 4) + aShift + i % 2, 60 + 120 * (k / 4) + i / 2 % 2, i / 4) = 140;
    return img;
}

TEST_P(AcceptanceRule, NeedsMoreThanSixInliers)
{
    const DotCase d = GetParam();
    RegistrationContext context;
    ASSERT_EQ(context.init(2, 240, 320, 0, 1.0f, 1024, 20, 1, d.maxRadius), 0);
    ASSERT_EQ(context.current.levelCount(), 4);
    context.reference.build(dots(d.dots, 2)); // the reference shows the dots 2 px right
    context.current.build(dots(d.dots, 0));
    ASSERT_EQ(matchImagePair(context, 1, context.reference, context.current), 0);
    EXPECT_EQ(context.outcome[3].corners, 0) << "the dots fade out at level 3";
    for (int l = 2; l >= 0; --l) {
        EXPECT_EQ(context.outcome[l].inliers, d.dots) << "level " << l;
        EXPECT_EQ(context.outcome[l].radius, d.radii[2 - l]) << "level " << l;
        EXPECT_EQ(context.outcome[l].accepted, d.accepted) << "level " << l;
    }
    const Matrix3f &model = context.models[1];
    EXPECT_NEAR(model.m[0][2] * 319.0f / 2.0f, d.accepted ? 2.0f : 0.0f, 0.1f);
    EXPECT_EQ(model.isIdentity(), !d.accepted);
}

INSTANTIATE_TEST_SUITE_P(Dots, AcceptanceRule,
    testing::Values(DotCase { 6, 4, { 1, 2, 4 }, false }, DotCase { 6, 2, { 1, 2, 2 }, false },
        DotCase { 7, 4, { 1, 1, 1 }, true }));

} // namespace
