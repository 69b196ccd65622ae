#include "PyramidReference.h"

#include <gtest/gtest.h>
#include <tuple>

TEST(Reduce, FourByFourRampGivesTheWorkedValues)
{
    Image<unsigned char> ramp(4, 4, 1);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            ramp(x, y, 0) = (unsigned char)(64 * x);
    Image<unsigned char> out;
    ASSERT_EQ(reduce(ramp, out), 0);
    ASSERT_EQ(out.width(), 2);
    ASSERT_EQ(out.height(), 2);
    for (int y = 0; y < 2; ++y) {
        EXPECT_EQ(out(0, y, 0), 24);
        EXPECT_EQ(out(1, y, 0), 124);
    }
}

TEST(Reduce, ConstantImagesKeepTheirValueUpToTheRounding)
{
    Image<unsigned char> grey = reference::randomImage<unsigned char>(9, 7, 3, 200, 200, 1);
    Image<unsigned char> greyOut;
    ASSERT_EQ(reduce(grey, greyOut), 0);
    Image<short> raw = reference::randomImage<short>(9, 7, 4, -5, -5, 1);
    Image<short> rawOut;
    ASSERT_EQ(reduce(raw, rawOut), 0);
    Image<float> ones(9, 7, 1);
    for (int i = 0; i < 63; ++i)
        ones.data()[i] = 1.0f;
    Image<float> onesOut;
    ASSERT_EQ(reduce(ones, onesOut), 0);
    for (int i = 0; i < 4 * 3; ++i) {
        EXPECT_EQ(greyOut.data()[i * 3], 200);
        // (-1280 + 128) / 256 truncates toward zero.
        EXPECT_EQ(rawOut.data()[i * 4], -4);
        // Each float reduction adds half a unit of its 1/256 scale.
        EXPECT_EQ(onesOut.data()[i], 256.5f / 256);
    }
}

// Width, height, channels.
class ReduceSizes : public ::testing::TestWithParam<std::tuple<int, int, int>>
{
};

TEST_P(ReduceSizes, MatchesTheStepByStepCascadeForEverySampleType)
{
    auto [w, h, c] = GetParam();
    Image<unsigned char> bytes = reference::randomImage<unsigned char>(w, h, c, 0, 255, w * h);
    Image<short> shorts = reference::randomImage<short>(w, h, c, -1023, 1023, w + h);
    // Weights with a full mantissa exercise the rounding of every float addition.
    Image<float> floats(w, h, c);
    std::mt19937 rng(7);
    for (int i = 0; i < w * h * c; ++i)
        floats.data()[i] = std::generate_canonical<float, 24>(rng) * 0.37f;

    Image<unsigned char> b;
    Image<short> s;
    Image<float> f;
    ASSERT_EQ(reduce(bytes, b), 0);
    ASSERT_EQ(reduce(shorts, s), 0);
    ASSERT_EQ(reduce(floats, f), 0);
    EXPECT_TRUE(reference::sameSamples(b, reference::reduce(bytes)));
    EXPECT_TRUE(reference::sameSamples(s, reference::reduce(shorts)));
    EXPECT_TRUE(reference::sameSamples(f, reference::reduce(floats)));
}

INSTANTIATE_TEST_SUITE_P(Pyramid, ReduceSizes,
    ::testing::Values(std::make_tuple(1, 1, 1), std::make_tuple(2, 2, 1), std::make_tuple(3, 5, 3),
        std::make_tuple(21, 15, 3), std::make_tuple(64, 3, 4), std::make_tuple(33, 34, 1),
        std::make_tuple(130, 9, 2)));

TEST(Reduce, KeepsALargeEnoughDestinationAndWritesOnlyItsTopLeft)
{
    Image<unsigned char> src = reference::randomImage<unsigned char>(8, 6, 3, 0, 255, 3);
    Image<unsigned char> dst = reference::randomImage<unsigned char>(6, 5, 3, 9, 9, 3);
    unsigned char *buffer = dst.data();
    ASSERT_EQ(reduce(src, dst), 0);
    EXPECT_EQ(dst.data(), buffer);
    EXPECT_EQ(dst.width(), 6);
    Image<unsigned char> expected = reference::reduce(src);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(dst(x, y, c), x < 4 && y < 3 ? expected(x, y, c) : 9);

    Image<unsigned char> small(1, 1, 3);
    ASSERT_EQ(reduce(src, small), 0);
    EXPECT_EQ(small.width(), 4);
    EXPECT_TRUE(reference::sameSamples(small, expected));
}

TEST(Expand, TwoByOneGivesTheWorkedRows)
{
    Image<unsigned char> src = reference::row<unsigned char>({ 10, 20 });
    Image<unsigned char> dst;
    ASSERT_EQ(expand(src, dst), 0);
    ASSERT_EQ(dst.width(), 4);
    ASSERT_EQ(dst.height(), 2);
    const unsigned char expected[] = { 10, 15, 20, 20 };
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(dst(x, y, 0), expected[x]);
}

TEST(Expand, OddDestinationRepeatsTheLastInterpolatedRowsAndColumns)
{
    Image<short> src = reference::randomImage<short>(10, 7, 2, -300, 300, 5);
    Image<short> dst(21, 15, 2);
    ASSERT_EQ(expand(src, dst), 0);
    ASSERT_EQ(dst.width(), 21);
    for (int x = 0; x < 21; ++x)
        for (int y : { 13, 14 })
            EXPECT_EQ(dst(x, y, 1), dst(x, 12, 1));
    for (int y = 0; y < 15; ++y)
        for (int x : { 19, 20 })
            EXPECT_EQ(dst(x, y, 0), dst(18, y, 0));
    // Means of negative neighbours round toward minus infinity.
    EXPECT_TRUE(reference::sameSamples(dst, reference::expand<short, short>(src, 21, 15)));
}

// Source width, height, destination width, height (0: let expand size it).
class ExpandSizes : public ::testing::TestWithParam<std::tuple<int, int, int, int>>
{
};

TEST_P(ExpandSizes, MatchesTheRuleByRuleExpansionForAllFourTypePairs)
{
    auto [w, h, dw, dh] = GetParam();
    const int W = dw ? dw : 2 * w, H = dh ? dh : 2 * h;
    auto check = [&](auto aSrc, auto aDst) {
        typedef typename decltype(aSrc)::data_t S;
        typedef typename decltype(aDst)::data_t D;
        if (dw)
            aDst = decltype(aDst)(W, H, aSrc.channels());
        ASSERT_EQ(expand(aSrc, aDst), 0);
        EXPECT_TRUE(reference::sameSamples(aDst, reference::expand<S, D>(aSrc, W, H)))
            << w << "x" << h << " into " << W << "x" << H;
    };
    check(reference::randomImage<unsigned char>(w, h, 3, 0, 255, 11), Image<unsigned char>());
    check(reference::randomImage<unsigned char>(w, h, 3, 0, 255, 12), Image<short>());
    check(reference::randomImage<short>(w, h, 4, -1023, 1023, 13), Image<short>());
    // Sums beyond 32 bits must still halve correctly.
    check(reference::randomImage<int>(w, h, 1, -2147483647, 2147483647, 14), Image<int>());
}

INSTANTIATE_TEST_SUITE_P(Pyramid, ExpandSizes,
    ::testing::Values(std::make_tuple(1, 1, 0, 0), std::make_tuple(1, 1, 3, 3),
        std::make_tuple(10, 7, 21, 15), std::make_tuple(5, 8, 0, 0), std::make_tuple(6, 3, 13, 6),
        std::make_tuple(4, 4, 12, 11)));

TEST(EfficientLaplacian, SmallImageHasOnlyABaseAndKeepsItsPixels)
{
    Image<unsigned char> img = reference::randomImage<unsigned char>(40, 10, 3, 0, 255, 21);
    Image<unsigned char> copy = img.clone();
    EfficientLaplacian<Image<unsigned char>> pyramid(img, 10);
    EXPECT_TRUE(pyramid.details.empty());
    EXPECT_TRUE(reference::sameSamples(pyramid.base, copy));
    EXPECT_TRUE(reference::sameSamples(img, copy));

    Image<unsigned char> result = reference::randomImage<unsigned char>(40, 10, 3, 7, 7, 1);
    testing::internal::CaptureStdout();
    pyramid.collapse(result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(result(39, 9, 2), 7);
}

TEST(EfficientLaplacian, OddSizeGivesOneLevelAndStoresTheBaseAtTheStartOfTheImage)
{
    Image<unsigned char> img = reference::randomImage<unsigned char>(21, 15, 3, 0, 255, 22);
    Image<unsigned char> copy = img.clone();
    EfficientLaplacian<Image<unsigned char>> pyramid(img, 10);
    ASSERT_EQ(pyramid.details.size(), 1u);
    EXPECT_EQ(pyramid.details[0].width(), 21);
    EXPECT_EQ(pyramid.details[0].height(), 15);
    ASSERT_EQ(pyramid.base.width(), 10);
    ASSERT_EQ(pyramid.base.height(), 7);

    Image<unsigned char> low = reference::reduce(copy);
    EXPECT_TRUE(reference::sameSamples(pyramid.base, low));
    Image<unsigned char> coarsest(10, 7, 3, img.data());
    EXPECT_TRUE(reference::sameSamples(coarsest, low));
    Image<unsigned char> up = reference::expand<unsigned char, unsigned char>(low, 21, 15);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 21; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(pyramid.details[0](x, y, c), copy(x, y, c) - up(x, y, c));
}

// Width, height, channels: 8-bit photographs, and 10-bit raw in short.
class LaplacianRoundTrip : public ::testing::TestWithParam<std::tuple<int, int, int>>
{
};

TEST_P(LaplacianRoundTrip, CollapseOfAnUntouchedPyramidReproducesTheImage)
{
    auto [w, h, c] = GetParam();
    Image<unsigned char> bytes = reference::randomImage<unsigned char>(w, h, c, 0, 255, w);
    Image<unsigned char> bytesCopy = bytes.clone();
    EfficientLaplacian<Image<unsigned char>> p8(bytes, 10);
    Image<unsigned char> r8(w, h, c);
    testing::internal::CaptureStdout();
    p8.collapse(r8);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(reference::sameSamples(r8, bytesCopy));

    Image<short> raw = reference::randomImage<short>(w, h, c, 0, 1023, h);
    Image<short> rawCopy = raw.clone();
    EfficientLaplacian<Image<short>> p16(raw, 10);
    Image<short> r16(w, h, c);
    testing::internal::CaptureStdout();
    p16.collapse(r16);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(reference::sameSamples(r16, rawCopy));
}

INSTANTIATE_TEST_SUITE_P(Pyramid, LaplacianRoundTrip,
    ::testing::Values(std::make_tuple(11, 11, 1), std::make_tuple(97, 61, 3),
        std::make_tuple(64, 48, 4), std::make_tuple(300, 23, 3)));

TEST(EfficientLaplacian, CollapseLogsEachLevelAndClampsToTheSampleRange)
{
    Image<short> raw = reference::randomImage<short>(44, 24, 4, 0, 1023, 31);
    EfficientLaplacian<Image<short>> pyramid(raw, 10);
    ASSERT_EQ(pyramid.details.size(), 2u);
    // Push the reconstruction out of range in both directions.
    pyramid.details[0](0, 0, 0) += 5000;
    pyramid.details[0](1, 0, 0) -= 5000;
    Image<short> result(44, 24, 4);
    testing::internal::CaptureStdout();
    pyramid.collapse(result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Upsampling the base \nLevel 0: 44x24\n");
    EXPECT_EQ(result(0, 0, 0), 1023);
    EXPECT_EQ(result(1, 0, 0), 0);
}

TEST(GaussianPyramid, LevelsLineUpWithTheLaplacianPyramid)
{
    Image<unsigned char> img = reference::randomImage<unsigned char>(97, 61, 3, 0, 255, 41);
    EfficientLaplacian<Image<unsigned char>> laplacian(img, 10);
    laplacian.details.push_back(laplacian.base);
    Image<float> mask(97, 61, 1);
    GaussianPyramid gaussian;
    ASSERT_EQ(gaussian.build(mask, 10), 0);
    ASSERT_EQ(gaussian.levelCount, int(laplacian.details.size()));
    ASSERT_EQ(gaussian.levels.size(), laplacian.details.size());
    EXPECT_EQ(gaussian.levels[0].data(), mask.data());
    for (std::size_t l = 0; l < laplacian.details.size(); ++l)
        EXPECT_EQ(gaussian.levels[l].width() * 1000 + gaussian.levels[l].height(),
            laplacian.details[l].width() * 1000 + laplacian.details[l].height());
}

using EfficientLaplacianDeathTest = ::testing::Test;

TEST(EfficientLaplacianDeathTest, SizeMismatchesStopWithTheFailedExpression)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EfficientLaplacian<Image<unsigned char>> pyramid;
    Image<unsigned char> a(8, 6, 3), wider(9, 6, 3), taller(8, 7, 3), grey(8, 6, 1);
    EXPECT_DEATH(pyramid.computeDetail(a, wider), "aCurrent.width\\(\\) == aExpanded.width\\(\\)");
    EXPECT_DEATH(
        pyramid.computeDetail(a, taller), "aCurrent.height\\(\\) == aExpanded.height\\(\\)");
    EXPECT_DEATH(
        pyramid.computeDetail(a, grey), "aCurrent.channels\\(\\) == aExpanded.channels\\(\\)");

    Image<short> d(8, 6, 3), dWide(9, 6, 3), dTall(8, 7, 3), dGrey(8, 6, 1);
    EXPECT_DEATH(pyramid.addDetail(dWide, d),
        "inc/core/Pyramid:.*EfficientLaplacian<Image_t>::addDetail.*"
        "aUpsampled.width\\(\\) == aDetail.width\\(\\)");
    EXPECT_DEATH(pyramid.addDetail(dTall, d), "aUpsampled.height\\(\\) == aDetail.height\\(\\)");
    EXPECT_DEATH(
        pyramid.addDetail(dGrey, d), "aUpsampled.channels\\(\\) == aDetail.channels\\(\\)");

    Image<unsigned char> img = reference::randomImage<unsigned char>(24, 24, 3, 0, 255, 1);
    EfficientLaplacian<Image<unsigned char>> built(img, 10);
    Image<unsigned char> narrow(23, 24, 3), low(24, 23, 3), mono(24, 24, 1);
    EXPECT_DEATH(built.collapse(narrow), "aResult.width\\(\\) == ow");
    EXPECT_DEATH(built.collapse(low), "aResult.height\\(\\) == oh");
    EXPECT_DEATH(built.collapse(mono), "aResult.channels\\(\\) == oc");
}
