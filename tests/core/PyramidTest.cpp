#include "PyramidReference.h"

#include <gtest/gtest.h>
#include <tuple>

using reference::randomImage;
using reference::sameSamples;

// Width, height, channels, and the destination size of the expansion (0: let expand size it).
class ResamplingSizes : public ::testing::TestWithParam<std::tuple<int, int, int, int, int>>
{
};

TEST_P(ResamplingSizes, MatchTheReferenceForEverySampleType)
{
    auto [w, h, c, dw, dh] = GetParam();
    // Weights with a full mantissa exercise the rounding of every float addition.
    Image<float> floats(w, h, c), f;
    std::mt19937 rng(7);
    std::generate(floats.data(), floats.data() + w * h * c,
        [&] { return std::generate_canonical<float, 24>(rng) * 0.37f; });
    Image<unsigned char> bytes = randomImage<unsigned char>(w, h, c, 0, 255, w * h), b;
    Image<short> shorts = randomImage<short>(w, h, c, -1023, 1023, w + h), s;
    ASSERT_EQ(reduce(bytes, b) | reduce(shorts, s) | reduce(floats, f), 0);
    EXPECT_TRUE(sameSamples(b, reference::reduce(bytes)));
    EXPECT_TRUE(sameSamples(s, reference::reduce(shorts)));
    EXPECT_TRUE(sameSamples(f, reference::reduce(floats)));

    const int W = dw ? dw : 2 * w, H = dh ? dh : 2 * h;
    auto expandsLikeReference = [&](auto aSrc, auto aDst) {
        if (dw)
            aDst = decltype(aDst)(W, H, c);
        ASSERT_EQ(expand(aSrc, aDst), 0);
        EXPECT_TRUE(sameSamples(aDst,
            reference::expand<typename decltype(aSrc)::data_t, typename decltype(aDst)::data_t>(
                aSrc, W, H)));
    };
    expandsLikeReference(bytes, Image<unsigned char>());
    expandsLikeReference(bytes, Image<short>());
    expandsLikeReference(shorts, Image<short>());
    // Sums beyond 32 bits must still halve correctly.
    expandsLikeReference(randomImage<int>(w, h, c, -2147483647, 2147483647, 14), Image<int>());
}

INSTANTIATE_TEST_SUITE_P(Pyramid, ResamplingSizes,
    ::testing::Values(std::make_tuple(1, 1, 2, 3, 3), std::make_tuple(10, 7, 3, 21, 15),
        std::make_tuple(33, 34, 1, 67, 69)));

// Width, height, channels; a side of 10 or less gives no detail level (21 x 20 stops at
// 10 x 10).
class LaplacianSizes : public ::testing::TestWithParam<std::tuple<int, int, int>>
{
};

TEST_P(LaplacianSizes, BuildsInPlaceAndCollapsesBackExactly)
{
    auto [w, h, c] = GetParam();
    auto check = [&, w = w, h = h, c = c](auto aImage) {
        typedef decltype(aImage) I;
        typedef typename I::data_t T;
        typedef typename ImageTraits<I>::promote_t P;
        const I original = aImage.clone();
        EfficientLaplacian<I> pyramid(aImage, 10);
        I level = original;
        std::size_t l = 0;
        for (; level.width() > 10 && level.height() > 10; ++l) {
            ASSERT_LT(l, pyramid.details.size());
            I up = reference::expand<T, T>(reference::reduce(level), level.width(), level.height());
            Image<P> detail(level.width(), level.height(), c);
            reference::each(level.width(), level.height(), c,
                [&](int x, int y, int i) { detail(x, y, i) = P(level(x, y, i) - up(x, y, i)); });
            EXPECT_TRUE(sameSamples(pyramid.details[l], detail)) << "detail " << l;
            level = reference::reduce(level);
        }
        EXPECT_EQ(l, pyramid.details.size());
        EXPECT_TRUE(sameSamples(pyramid.base, level));
        // The input's buffer now begins with the coarsest level, stored contiguously.
        EXPECT_TRUE(sameSamples(I(level.width(), level.height(), c, aImage.data()), level));
        // Without detail levels collapse returns at once and leaves the result untouched.
        I result = randomImage<T>(w, h, c, 7, 7, 0);
        reference::said([&] { pyramid.collapse(result); });
        EXPECT_TRUE(sameSamples(result, l ? original : randomImage<T>(w, h, c, 7, 7, 0)));
    };
    check(randomImage<unsigned char>(w, h, c, 0, 255, w));
    check(randomImage<short>(w, h, c, 0, 1023, h));
}

INSTANTIATE_TEST_SUITE_P(Pyramid, LaplacianSizes,
    ::testing::Values(
        std::make_tuple(40, 10, 3), std::make_tuple(21, 20, 3), std::make_tuple(97, 61, 4)));

TEST(EfficientLaplacian, CollapseClampsToTheSampleRange)
{
    Image<short> raw = randomImage<short>(44, 24, 4, 0, 1023, 31);
    EfficientLaplacian<Image<short>> pyramid(raw, 10);
    ASSERT_EQ(pyramid.details.size(), 2u);
    pyramid.details[0](0, 0, 0) += 5000;
    pyramid.details[0](1, 0, 0) -= 5000;
    Image<short> result(44, 24, 4);
    reference::said([&] { pyramid.collapse(result); });
    EXPECT_EQ(result(0, 0, 0), 1023);
    EXPECT_EQ(result(1, 0, 0), 0);
}

namespace {

// The failed expression of an assertion report: its parentheses are literal.
std::string failed(const char *aExpression)
{
    std::string pattern;
    for (const char *c = aExpression; *c; ++c)
        pattern += std::string(*c == '(' || *c == ')' ? "\\" : "") + *c;
    return pattern;
}

} // namespace

TEST(PyramidDeathTest, SizeMismatchesStopWithTheFailedExpression)
{
    typedef HDRFusion<Image<unsigned char>> Fusion8;
    EfficientLaplacian<Image<unsigned char>> p;
    Image<unsigned char> a(12, 11, 3), tall(12, 12, 3), grey(12, 11, 1);
    Image<short> d(12, 11, 3), dWide(13, 11, 3);
    EXPECT_DEATH(p.addDetail(dWide, d),
        "inc/core/Pyramid:.*EfficientLaplacian<Image_t>::addDetail.*"
            + failed("aUpsampled.width() == aDetail.width()"));
    EXPECT_DEATH(p.computeDetail(a, tall), failed("aCurrent.height() == aExpanded.height()"));
    Image<unsigned char> img = a.clone();
    EfficientLaplacian<Image<unsigned char>> built(img, 10);
    EXPECT_DEATH(built.collapse(grey), failed("aResult.channels() == oc"));

    EXPECT_DEATH(Fusion8::computeDetailInPlace(tall, d),
        "inc/core/HDRFusion:.*" + failed("aImgOrig.width() == aImgSubst.width()"));
    EXPECT_DEATH(
        Fusion8::computeMaxDetail(a, a, dWide), failed("aImgOrig.width() == aDetail.width()"));
    EXPECT_DEATH(Fusion8::addDetailInPlace(dWide, a), failed("aDetail.width() == aTarget.width()"));
}
