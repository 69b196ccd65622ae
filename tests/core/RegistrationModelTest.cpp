#include "core/MotionModel"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

class IterationTable : public testing::TestWithParam<std::pair<int, int>>
{
};

TEST_P(IterationTable, HoldsTheSamplesNeededForNinetyNinePercent)
{
    EXPECT_EQ(RansacIterationTable[GetParam().first], GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Entries, IterationTable,
    testing::Values(std::make_pair(0, 0), std::make_pair(1, 1), std::make_pair(256, 6),
        std::make_pair(512, 17), std::make_pair(768, 72), std::make_pair(900, 312),
        std::make_pair(1023, 1000)));

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
    int fit(int aCount, Matrix3f &aModel) const
    {
        std::vector<int> indices;
        for (int i = 0; i < aCount; ++i)
            indices.push_back(i);
        return fitSimilarity(indices.data(), aCount, current.data(), reference.data(), aModel);
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

// Two points related by a pure translation give a = 1, b = 0; noiseless points give back
// their similarity exactly, whatever its rotation and scale.
class ExactFit : public testing::TestWithParam<std::tuple<int, float, float, float, float>>
{
};

TEST_P(ExactFit, RecoversTheSimilarityOfNoiselessPoints)
{
    auto [points, a, b, tx, ty] = GetParam();
    const Matrix3f truth = Matrix3f::similarity(a, b, tx, ty);
    Correspondences c;
    for (int i = 0; i < points; ++i)
        c.add(-0.9f + 0.15f * i, 0.6f - 0.11f * i * (i % 3), truth);
    Matrix3f fit;
    ASSERT_EQ(c.fit(points, fit), 0);
    expectModelNear(fit, truth, 1e-5f);
}

INSTANTIATE_TEST_SUITE_P(Models, ExactFit,
    testing::Values(std::make_tuple(2, 1.0f, 0.0f, 0.03f, -0.05f),
        std::make_tuple(12, 0.99985f, 0.01745f, 0.02f, -0.01f), // 1 degree
        std::make_tuple(12, 1.01f, -0.0087f, -0.05f, 0.04f),
        std::make_tuple(5, 0.5f, 0.5f, 1.0f, 2.0f)));

TEST(FitSimilarity, FailsWhenThePointsCoincide)
{
    Correspondences c;
    c.add(0.3f, -0.2f, 0.1f, 0.1f);
    c.add(0.3f, -0.2f, 0.2f, 0.4f);
    Matrix3f fit = Matrix3f::identity();
    EXPECT_EQ(c.fit(2, fit), -1);
    EXPECT_TRUE(fit.isIdentity()) << "a failed fit leaves the model alone";
    EXPECT_EQ(c.fit(1, fit), -1);
}

// Outliers, even the best-scored ones, do not pull the model away; the inlier count is exact.
class RobustEstimate : public testing::TestWithParam<int>
{
};

TEST_P(RobustEstimate, FindsTheModelAmongOutliers)
{
    const int outliers = GetParam();
    const Matrix3f truth = Matrix3f::similarity(0.998f, 0.012f, 0.03f, -0.02f);
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
    ASSERT_EQ(c.estimate(model, found), 0);
    EXPECT_EQ(found, 100 - outliers);
    expectModelNear(model, truth, 1e-4f);
}

INSTANTIATE_TEST_SUITE_P(Outliers, RobustEstimate, testing::Values(0, 10, 50, 84));

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
