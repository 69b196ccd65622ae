#include "core/MotionModel"

#include <gtest/gtest.h>
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

} // namespace
