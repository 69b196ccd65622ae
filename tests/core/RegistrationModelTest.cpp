#include "core/MotionModel"

#include <cstring>
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

// Correspondences: current points and where aModel sends them.
struct Correspondences
{
    std::vector<float> current, reference, scores;
    int count() const { return int(scores.size()); }
    void add(float aX, float aY, const Matrix3f &aModel, float aScore = 1.0f)
    {
        float u, v;
        aModel.apply(aX, aY, u, v);
        addPair(aX, aY, u, v, aScore);
    }
    void addPair(float aX, float aY, float aU, float aV, float aScore)
    {
        current.insert(current.end(), { aX, aY });
        reference.insert(reference.end(), { aU, aV });
        scores.push_back(aScore);
    }
};

void expectModelNear(const Matrix3f &aActual, const Matrix3f &aExpected, float aTolerance)
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(aActual.m[r][c], aExpected.m[r][c], aTolerance) << r << "," << c;
}

TEST(FitSimilarity, PureTranslationGivesUnitScaleAndNoRotation)
{
    Correspondences c;
    c.addPair(0.1f, 0.2f, 0.13f, 0.15f, 1.0f);
    c.addPair(-0.4f, 0.3f, -0.37f, 0.25f, 1.0f);
    int indices[2] = { 0, 1 };
    Matrix3f fit;
    ASSERT_EQ(fitSimilarity(indices, 2, c.current.data(), c.reference.data(), fit), 0);
    expectModelNear(fit, Matrix3f::similarity(1.0f, 0.0f, 0.03f, -0.05f), 1e-6f);
}

class ExactFit : public testing::TestWithParam<std::tuple<float, float, float, float>>
{
};

TEST_P(ExactFit, RecoversTheSimilarityOfNoiselessPoints)
{
    auto [a, b, tx, ty] = GetParam();
    const Matrix3f truth = Matrix3f::similarity(a, b, tx, ty);
    Correspondences c;
    std::vector<int> indices;
    for (int i = 0; i < 12; ++i) {
        c.add(-0.9f + 0.15f * i, 0.6f - 0.11f * i * (i % 3), truth);
        indices.push_back(i);
    }
    Matrix3f fit;
    ASSERT_EQ(fitSimilarity(indices.data(), 12, c.current.data(), c.reference.data(), fit), 0);
    expectModelNear(fit, truth, 1e-5f);
}

INSTANTIATE_TEST_SUITE_P(Models, ExactFit,
    testing::Values(std::make_tuple(1.0f, 0.0f, 0.0f, 0.0f),
        std::make_tuple(0.99985f, 0.01745f, 0.02f, -0.01f), // 1 degree
        std::make_tuple(1.01f, -0.0087f, -0.05f, 0.04f), std::make_tuple(0.5f, 0.5f, 1.0f, 2.0f)));

TEST(FitSimilarity, FailsWhenThePointsCoincide)
{
    Correspondences c;
    c.addPair(0.3f, -0.2f, 0.1f, 0.1f, 1.0f);
    c.addPair(0.3f, -0.2f, 0.2f, 0.4f, 1.0f);
    int indices[2] = { 0, 1 };
    Matrix3f fit = Matrix3f::identity();
    EXPECT_EQ(fitSimilarity(indices, 2, c.current.data(), c.reference.data(), fit), -1);
    EXPECT_TRUE(fit.isIdentity()) << "a failed fit leaves the model alone";
    EXPECT_EQ(fitSimilarity(indices, 1, c.current.data(), c.reference.data(), fit), -1);
    EXPECT_EQ(fitSimilarity(indices, 0, c.current.data(), c.reference.data(), fit), -1);
}

TEST(Nlin, ComparesKeysInBothOrders)
{
    struct Entry
    {
        float key;
        int payload;
    } low { 0.25f, 9 }, high { 0.5f, 1 };
    EXPECT_EQ(Nlin<float>::CompareAscend(&low, &high), -1);
    EXPECT_EQ(Nlin<float>::CompareAscend(&high, &low), 1);
    EXPECT_EQ(Nlin<float>::CompareAscend(&low, &low), 0);
    EXPECT_EQ(Nlin<float>::CompareDescend(&low, &high), 1);
    EXPECT_EQ(Nlin<float>::CompareDescend(&high, &low), -1);
    EXPECT_EQ(Nlin<float>::CompareDescend(&high, &high), 0);
}

int estimate(const Correspondences &aC, Matrix3f &aModel, int &aInliers, unsigned aSeed = 1)
{
    SampleEntry list[KMaxCorrespondences];
    std::mt19937 random(aSeed);
    return estimateSimilarity(aC.current.data(), aC.reference.data(), aC.scores.data(), aC.count(),
        aModel, aInliers, list, random);
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
        c.addPair(position(random), position(random), position(random), position(random),
            1.0f - 0.001f * i);
    const int inliers = 100 - outliers;
    for (int i = 0; i < inliers; ++i)
        c.add(position(random), position(random), truth, score(random));
    Matrix3f model;
    int found = 0;
    ASSERT_EQ(estimate(c, model, found), 0);
    EXPECT_EQ(found, inliers);
    expectModelNear(model, truth, 1e-4f);
}

INSTANTIATE_TEST_SUITE_P(Outliers, RobustEstimate, testing::Values(0, 10, 50, 80));

TEST(EstimateSimilarity, CountsOnlyPointsWithinTheInlierDistance)
{
    // sqrt(5e-05) = 0.00707: a point off by 0.0065 is an inlier, one off by 0.008 is not.
    Correspondences c;
    const Matrix3f identity = Matrix3f::identity();
    // Many exact points, so that refitting with the near one hardly moves the model.
    for (int i = 0; i < 60; ++i)
        c.add(-0.9f + 0.03f * i, 0.5f * std::sin(0.7f * i), identity, 2.0f);
    c.addPair(0.7f, 0.7f, 0.7f + 0.0065f, 0.7f, 0.1f);
    c.addPair(-0.7f, 0.7f, -0.7f, 0.7f + 0.008f, 0.1f);
    Matrix3f model;
    int found = 0;
    ASSERT_EQ(estimate(c, model, found), 0);
    EXPECT_EQ(found, 61);
}

TEST(EstimateSimilarity, EndsWithFailureWhenASampleIsSingular)
{
    // The two best-scored correspondences share their current point: the first sample
    // cannot be fitted.
    Correspondences c;
    c.addPair(0.2f, 0.2f, 0.25f, 0.2f, 0.9f);
    c.addPair(0.2f, 0.2f, 0.1f, 0.3f, 0.8f);
    const Matrix3f shift = Matrix3f::similarity(1.0f, 0.0f, 0.05f, 0.0f);
    for (int i = 0; i < 8; ++i)
        c.add(-0.8f + 0.2f * i, 0.1f * i, shift, 0.5f);
    Matrix3f model = Matrix3f::identity();
    int found = 0;
    EXPECT_EQ(estimate(c, model, found), -1);
    EXPECT_TRUE(model.isIdentity());
}

TEST(EstimateSimilarity, FewerThanTwoCorrespondencesGiveNoModel)
{
    Correspondences c;
    c.add(0.1f, 0.1f, Matrix3f::identity());
    Matrix3f model = Matrix3f::identity();
    int found = -1;
    EXPECT_EQ(estimate(c, model, found), 0);
    EXPECT_EQ(found, 0);
}

// The random part of the sampling is seeded by the caller, so the same input gives the same
// model, and the shuffles it depends on are really used (mostly outliers, poorly ordered).
TEST(EstimateSimilarity, SameSeedSameResult)
{
    const Matrix3f truth = Matrix3f::similarity(1.0f, 0.0f, -0.04f, 0.02f);
    std::mt19937 random(9);
    std::uniform_real_distribution<float> position(-1.0f, 1.0f);
    Correspondences c;
    for (int i = 0; i < 100; ++i) {
        if (i % 6 == 5)
            c.add(position(random), position(random), truth, 0.1f);
        else
            c.addPair(position(random), position(random), position(random), position(random), 0.9f);
    }
    Matrix3f first, second;
    int firstCount = 0, secondCount = 0;
    ASSERT_EQ(estimate(c, first, firstCount, 3), 0);
    ASSERT_EQ(estimate(c, second, secondCount, 3), 0);
    EXPECT_EQ(firstCount, secondCount);
    EXPECT_EQ(0, std::memcmp(&first, &second, sizeof first));
    EXPECT_GE(firstCount, 16);
    expectModelNear(first, truth, 1e-4f);
}

TEST(MotionModel, InverseUndoesTheModelAndDegenerateMatricesKeepTheAdjugate)
{
    const Matrix3f model = Matrix3f::similarity(1.01f, 0.02f, 0.3f, -0.1f);
    Matrix3f product = invertMatrix(model) * model;
    expectModelNear(product, Matrix3f::identity(), 1e-6f);

    // Zero scale: no inverse; the undivided adjugate comes back instead of infinities.
    Matrix3f degenerate = Matrix3f::similarity(0.0f, 0.0f, 0.5f, 0.5f);
    Matrix3f adjugate = invertMatrix(degenerate);
    for (auto &row : adjugate.m)
        for (float v : row)
            EXPECT_TRUE(std::isfinite(v));
}

TEST(MotionModel, LevelNormalisationMapsTheLongerSideOntoMinusOneToOne)
{
    const Matrix3f n = levelNormalisation(1296, 984, 1.0f);
    float u, v;
    n.apply(0.0f, 0.0f, u, v);
    EXPECT_FLOAT_EQ(u, -1.0f);
    EXPECT_NEAR(v, -983.0f / 1295.0f, 1e-6f);
    n.apply(1295.0f, 983.0f, u, v);
    EXPECT_FLOAT_EQ(u, 1.0f);
    n.apply(647.5f, 491.5f, u, v);
    EXPECT_NEAR(u, 0.0f, 1e-6f);
    EXPECT_NEAR(v, 0.0f, 1e-6f);
    // A single pixel keeps an invertible map.
    const Matrix3f point = levelNormalisation(1, 1, 1.0f);
    EXPECT_GT(std::fabs(point.linearDeterminant()), 0.0f);
}

} // namespace
