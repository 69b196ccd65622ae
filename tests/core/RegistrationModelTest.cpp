#include "core/MotionModel"

#include <cstring>
#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <vector>

namespace {

// Correspondences: current points and their reference points, with scores.
struct Correspondences
{
    std::vector<float> current, reference, scores;
    int count() const { return int(scores.size()); }
    void add(float aX, float aY, float aU, float aV, float aScore = 1.0f)
    {
        current.insert(current.end(), { aX, aY });
        reference.insert(reference.end(), { aU, aV });
        scores.push_back(aScore);
    }
    void add(float aX, float aY, const Matrix3f &aModel, float aScore = 1.0f)
    {
        float u, v;
        aModel.apply(aX, aY, u, v);
        add(aX, aY, u, v, aScore);
    }
    int estimate(Matrix3f &aModel, int &aInliers) const
    {
        SampleEntry list[KMaxCorrespondences];
        std::mt19937 random(1);
        return estimateSimilarity(current.data(), reference.data(), scores.data(), count(), aModel,
            aInliers, list, random);
    }
};

void expectModelNear(const Matrix3f &aActual, const Matrix3f &aExpected, float aTolerance)
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(aActual.m[r][c], aExpected.m[r][c], aTolerance) << r << "," << c;
}

// Outliers, even the best-scored ones, do not pull the model away; the inlier count is exact.
TEST(EstimateSimilarity, FindsTheModelAmongOutliers)
{
    const Matrix3f truth = Matrix3f::similarity(0.998f, 0.012f, 0.03f, -0.02f);
    for (int outliers : { 0, 10, 50, 84 }) {
        std::mt19937 random(5);
        std::uniform_real_distribution<float> position(-1.0f, 1.0f), score(0.2f, 0.9f);
        Correspondences c;
        for (int i = 0; i < outliers; ++i)
            c.add(position(random), position(random), position(random), position(random),
                1.0f - 0.001f * i);
        for (int i = outliers; i < 100; ++i)
            c.add(position(random), position(random), truth, score(random));
        Matrix3f model;
        int found = 0;
        ASSERT_EQ(c.estimate(model, found), 0) << outliers;
        EXPECT_EQ(found, 100 - outliers);
        expectModelNear(model, truth, 1e-4f);
    }
}

TEST(EstimateSimilarity, EndsWithFailureWhenASampleIsSingular)
{
    // The two best-scored correspondences share their current point: the first sample
    // cannot be fitted, and the estimation gives up with the model untouched.
    Correspondences c;
    c.add(0.2f, 0.2f, 0.25f, 0.2f, 0.9f);
    c.add(0.2f, 0.2f, 0.1f, 0.3f, 0.8f);
    for (int i = 0; i < 8; ++i)
        c.add(-0.8f + 0.2f * i, 0.1f * i, Matrix3f::similarity(1.0f, 0.0f, 0.05f, 0.0f), 0.5f);
    Matrix3f model = Matrix3f::identity();
    int found = 0;
    EXPECT_EQ(c.estimate(model, found), -1);
    EXPECT_TRUE(model.isIdentity());
}

// Most matches agree to a hundredth of a pixel, a fifth are off by most of the inlier
// distance, all the same way (a soft edge seen through another tone curve), and a few are
// unmatched (score 0). The plain fit of every inlier follows the biased ones; the polished fit
// keeps to the many, and leaves a model alone when too few matches carry weight.
TEST(PolishSimilarity, KeepsToTheMatchesThatAgree)
{
    const float pixel = 2.0f / 1295.0f; // normalised size of a pixel of a 1296-wide level
    const Matrix3f truth = Matrix3f::similarity(1.006f, 0.0105f, 0.03f, -0.02f);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> position(-1.0f, 1.0f), jitter(-0.01f, 0.01f);
    Correspondences c;
    for (int i = 0; i < 80; ++i) {
        const float x = position(random), y = position(random);
        float u, v;
        truth.apply(x, y, u, v);
        const float off = i % 5 == 0 ? 0.8f : 0.0f;
        c.add(x, y, u + (off + jitter(random)) * pixel, v + jitter(random) * pixel,
            i % 17 == 0 ? 0.0f : 0.9f);
    }
    std::vector<int> all(80);
    std::iota(all.begin(), all.end(), 0);
    Matrix3f plain = Matrix3f::identity(), polished;
    ASSERT_EQ(fitSimilarity(all.data(), 80, c.current.data(), c.reference.data(), plain), 0);
    auto worstMiss = [&](const Matrix3f &aModel) { // pixels, over the frame's corners
        float worst = 0.0f;
        for (float x : { -1.0f, 1.0f })
            for (float y : { -0.67f, 0.67f }) {
                float u1, v1, u2, v2;
                aModel.apply(x, y, u1, v1);
                truth.apply(x, y, u2, v2);
                worst = std::max(worst, std::hypot(u1 - u2, v1 - v2) / pixel);
            }
        return worst;
    };
    EXPECT_GT(worstMiss(plain), 0.12f);
    polished = plain;
    polishSimilarity(c.current.data(), c.reference.data(), c.scores.data(), c.count(), polished,
        0.05f * pixel, pixel / 4.685f, 7);
    EXPECT_LT(worstMiss(polished), 0.03f);

    // Weights of 0 leave correspondences out of a fit altogether.
    std::vector<float> weights(80, 1.0f);
    for (int i = 0; i < 80; i += 5)
        weights[i] = 0.0f;
    Matrix3f weighted = Matrix3f::identity();
    ASSERT_EQ(fitSimilarity(
                  all.data(), 80, c.current.data(), c.reference.data(), weighted, weights.data()),
        0);
    EXPECT_LT(worstMiss(weighted), 0.03f);

    Matrix3f kept = plain;
    polishSimilarity(c.current.data(), c.reference.data(), c.scores.data(), 5, kept, 0.05f * pixel,
        pixel / 4.685f, 7);
    EXPECT_EQ(std::memcmp(&kept, &plain, sizeof kept), 0);
}

} // namespace
