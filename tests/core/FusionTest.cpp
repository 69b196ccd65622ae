#include "PyramidReference.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

typedef HDRFusion<Image<unsigned char>> Fusion8;
typedef HDRFusion<Image<short>> FusionRaw;
typedef std::vector<Image<unsigned char>> Burst;
using reference::pixels;
using reference::randomImage;
using reference::said;
using reference::sameSamples;

template <class T> std::vector<Image<T>> clones(const std::vector<Image<T>> &aImages)
{
    std::vector<Image<T>> out;
    for (const Image<T> &img : aImages)
        out.push_back(img.clone());
    return out;
}

// The tables and masks themselves are driven bit for bit by the comparisons with the reference
// fusion below; these are the inputs that could divide by zero or read past the table.
TEST(FusionWeights, ZeroSpreadAndOutOfRangeRawSamplesStayDefined)
{
    EXPECT_EQ(Fusion8::weightTable(100, 0)[101], 0.0f);
    // Raw samples outside 10 bits weigh as the nearest entry instead of reading past the table.
    FusionRaw::WeightTable r = FusionRaw::weightTable(409, 204);
    Image<float> rawMask;
    ASSERT_EQ(FusionRaw::computeMask(pixels<short>({ 409, 0, 1023, 2000 }, 4), r, rawMask), 0);
    EXPECT_EQ(rawMask(0, 0, 0), r[409] * r[0] * r[1023] * r[1023]);
}

TEST(FusionNormalize, GivesEqualSharesWhereEveryWeightIsZero)
{
    std::vector<Image<float>> masks = { pixels<float>({ 0.5, 0 }), pixels<float>({ 1.5, 0 }) };
    Fusion8::normalize(masks);
    EXPECT_TRUE(sameSamples(masks[0], pixels<float>({ 0.25, 0.5 })));
    EXPECT_TRUE(sameSamples(masks[1], pixels<float>({ 0.75, 0.5 })));
}

TEST(FusionBlend, RefusesMismatchedInputsWithOneMessage)
{
    Image<short> i43(4, 3, 3), grey(4, 3, 1);
    Image<float> m43(4, 3, 1), m44(4, 4, 1);
    const struct
    {
        std::vector<Image<short>> images;
        std::vector<Image<float>> masks;
        std::string message;
    } cases[] = { { { i43, i43 }, { m43 },
                      "Error: image vector or mask vector are empty, or "
                      "image vector and mask vector are different size\n" },
        { { i43, grey }, { m43, m43 }, "Error: images in image vector are not all same size\n" },
        { { i43, i43 }, { m43, m44 }, "Error: images in mask vector are not all same size\n" },
        { { i43, i43 }, { m44, m44 }, "Error: images and masks are not same dimensions\n" } };
    for (auto c : cases) {
        int rc = 0;
        EXPECT_EQ(said([&] { rc = Fusion8::blend(c.images, c.masks); }), c.message);
        EXPECT_EQ(rc, -1);
    }
}

// Width, height, photographs: 8-bit RGB and 10-bit raw brackets.
class FusionMatchesReference : public ::testing::TestWithParam<std::tuple<int, int, int>>
{
};

TEST_P(FusionMatchesReference, BitForBitOnOneThreadAndOnSeveral)
{
    auto [w, h, n] = GetParam();
    Burst rgb;
    std::vector<Image<short>> raw;
    for (int k = 0; k < n; ++k) {
        // Brackets: each photograph brighter than the one before.
        rgb.push_back(randomImage<unsigned char>(w, h, 3, 30 * k, 120 + 45 * k, 100 + k));
        raw.push_back(randomImage<short>(w, h, 4, 120 * k, 500 + 170 * k, 200 + k));
    }
    const Image<unsigned char> expected8 = reference::fuse<unsigned char>(rgb, 102, 51, 255);
    const Image<short> expectedRaw = reference::fuse<short>(raw, 409, 204, 1023);
    for (int threads : { 1, 3 }) {
        Burst rgbOut = clones(rgb);
        std::vector<Image<short>> rawOut = clones(raw);
        said([&] {
            Fusion8::compute(rgbOut, 102, 51, threads);
            FusionRaw::compute(rawOut, 409, 204, threads);
        });
        EXPECT_TRUE(sameSamples(rgbOut[0], expected8)) << threads << " threads";
        EXPECT_TRUE(sameSamples(rawOut[0], expectedRaw)) << threads << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(Fusion, FusionMatchesReference,
    ::testing::Values(
        std::make_tuple(37, 29, 3), std::make_tuple(45, 90, 1), std::make_tuple(131, 150, 3)));

TEST(FusionCompute, UnequalSizesAreReportedAndEndTheFusionAsAFailure)
{
    Burst burst = { Image<unsigned char>(40, 30, 3), Image<unsigned char>(22, 22, 3),
        Image<unsigned char>(11, 11, 3) };
    // The top-octave pass needs equal sizes too: it hands such a burst to the same checks.
    Burst wide = { Image<unsigned char>(1300, 24, 3), Image<unsigned char>(1300, 22, 3) };
    int status[2] = { 0, 0 };
    const std::string logs[2] = { said([&] { status[0] = Fusion8::compute(burst, 102, 51); }),
        said([&] { status[1] = Fusion8::computeWithMaxDetail(wide, 102, 51); }) };
    for (int k = 0; k < 2; ++k) {
        // images[0] holds scratch: a caller told 0 would store it as the result.
        EXPECT_EQ(status[k], -1);
        EXPECT_NE(logs[k].find("Error: not all images are same size\n"), std::string::npos)
            << logs[k];
        EXPECT_EQ(logs[k].find("Collapsing pyramid"), std::string::npos);
    }
    Burst empty;
    EXPECT_EQ(Fusion8::compute(empty, 102, 51), -1);
    Burst equal = { randomImage<unsigned char>(1300, 12, 3, 0, 255, 2),
        randomImage<unsigned char>(1300, 12, 3, 0, 255, 3) };
    EXPECT_EQ(Fusion8::computeWithMaxDetail(equal, 102, 51), 0);
}

TEST(FusionMaxDetail, LeavesABurstOfOneAlone)
{
    Burst one = { randomImage<unsigned char>(1400, 12, 3, 0, 255, 1) };
    const Image<unsigned char> before = one[0].clone();
    EXPECT_EQ(said([&] { Fusion8::computeWithMaxDetail(one, 102, 51); }), "");
    EXPECT_TRUE(sameSamples(one[0], before));
}

TEST(FusionMaxDetail, FusesAtHalfSizeAndAddsTwiceTheLargestTopOctaveDetail)
{
    const int w = 1300, h = 25, n = w * h * 3;
    Burst burst, lowres;
    for (int k = 0; k < 3; ++k)
        burst.push_back(randomImage<unsigned char>(w, h, 3, 40 * k, 140 + 55 * k, 50 + k));
    // Ties keep the earlier photograph's detail.
    Image<short> maxDetail(w, h, 3);
    for (const Image<unsigned char> &img : burst) {
        lowres.push_back(reference::reduce(img));
        Image<unsigned char> up
            = reference::expand<unsigned char, unsigned char>(lowres.back(), w, h);
        for (int i = 0; i < n; ++i) {
            const int d = img.data()[i] - up.data()[i];
            if (std::abs(maxDetail.data()[i]) < std::abs(d) || &img == &burst[0])
                maxDetail.data()[i] = short(d);
        }
    }
    Image<unsigned char> expected = reference::expand<unsigned char, unsigned char>(
        reference::fuse<unsigned char>(lowres, 102, 51, 255), w, h);
    for (int i = 0; i < n; ++i)
        expected.data()[i]
            = (unsigned char)std::clamp(expected.data()[i] + 2 * maxDetail.data()[i], 0, 255);
    for (int threads : { 1, 2 }) {
        Burst out = clones(burst);
        said([&] { Fusion8::computeWithMaxDetail(out, 102, 51, threads); });
        EXPECT_TRUE(sameSamples(out[0], expected)) << threads << " threads";
    }
}

TEST(FusionMaxDetail, HandlesSharingOnePhotographFuseLikeCopies)
{
    // The later photographs' pixels are reused as scratch: one buffer must not be lent twice.
    const Image<unsigned char> a = randomImage<unsigned char>(1296, 14, 3, 0, 160, 61),
                               b = randomImage<unsigned char>(1296, 14, 3, 90, 255, 62);
    Burst shared = { a.clone(), b, b }, copies = { a.clone(), b.clone(), b.clone() };
    said([&] {
        Fusion8::computeWithMaxDetail(shared, 102, 51);
        Fusion8::computeWithMaxDetail(copies, 102, 51);
    });
    EXPECT_TRUE(sameSamples(shared[0], copies[0]));
}

// A real bracket at half size: fused, the darkest frame's shadows come up and the brightest
// frame's highlights come down. Three copies of its middle frame fuse to within the blend's
// truncations (under one unit per photograph and level).
TEST(FusionPhotographs, BracketsLiftShadowsAndIdenticalFramesComeBackAlmostUnchanged)
{
    REQUIRE_SHARED_DATA();
    const std::string scene = "SeaRock/SeaRock";
    Burst burst;
    for (int k = 1; k <= 3; ++k) {
        Image<unsigned char> full(
            testsupport::dataFile(scene + std::to_string(k) + ".jpg").c_str(), 0);
        burst.emplace_back();
        ASSERT_EQ(reduce(full, burst.back()), 0);
    }
    const Burst original = clones(burst);
    Burst same = clones(Burst(3, burst[1]));
    said([&] {
        Fusion8::compute(burst, 102, 51);
        Fusion8::compute(same, 102, 51);
    });
    int worst = 0, dark = 0, bright = 0;
    double lift = 0, fall = 0;
    const int n = burst[0].width() * burst[0].height() * 3;
    for (int i = 0; i < n; ++i) {
        const int d = same[0].data()[i] - original[1].data()[i];
        worst = std::max(worst, std::abs(d));
        if (original[0].data()[i] < 40 && ++dark)
            lift += burst[0].data()[i] - original[0].data()[i];
        if (original[2].data()[i] > 215 && ++bright)
            fall += original[2].data()[i] - burst[0].data()[i];
    }
    ASSERT_GT(dark, 1000);
    ASSERT_GT(bright, 1000);
    EXPECT_GT(lift / dark, 10);
    EXPECT_GT(fall / bright, 10);
    EXPECT_LT(worst, 3 * 7) << "three photographs, seven levels";
}

} // namespace
