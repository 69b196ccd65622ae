#include "PyramidReference.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <regex>

namespace {

typedef HDRFusion<Image<unsigned char>> Fusion8;
typedef HDRFusion<Image<short>> FusionRaw;

template <class T> std::vector<Image<T>> clones(const std::vector<Image<T>> &aImages)
{
    std::vector<Image<T>> out;
    for (const Image<T> &img : aImages)
        out.push_back(img.clone());
    return out;
}

template <class F> std::string captured(F aCall)
{
    testing::internal::CaptureStdout();
    aCall();
    return testing::internal::GetCapturedStdout();
}

// Stage times vary; everything else of the log is fixed.
std::string withoutTimes(const std::string &aLog)
{
    return std::regex_replace(aLog, std::regex("(: | )[0-9]+\n"), "$1T\n");
}

Image<unsigned char> loadHalf(const std::string &aName)
{
    Image<unsigned char> full(testsupport::dataFile(aName).c_str(), 0);
    Image<unsigned char> half;
    EXPECT_FALSE(full.empty()) << aName;
    EXPECT_EQ(reduce(full, half), 0);
    return half;
}

} // namespace

TEST(FusionWeights, FollowTheExponentialTable)
{
    Fusion8::WeightTable t = Fusion8::weightTable(102, 51);
    EXPECT_EQ(t[102], 1.0f);
    // e = -0.5 lands on table index -102, not on exp(-0.5).
    EXPECT_EQ(t[153], float(std::exp(-102 / 204.8)));
    EXPECT_NEAR(t[153], 0.6077f, 1e-4);
    EXPECT_EQ(t[255], float(std::exp(-921 / 204.8)));
    EXPECT_NEAR(t[255], 0.01114f, 1e-5);
    EXPECT_EQ(t[51], t[153]);

    // Beyond the table's ±9 the library's single-precision exp is used.
    Fusion8::WeightTable wide = Fusion8::weightTable(0, 20);
    EXPECT_EQ(wide[100], std::exp(-12.5f));

    FusionRaw::WeightTable raw = FusionRaw::weightTable(409, 204);
    EXPECT_EQ(raw.size(), 1024u);
    EXPECT_EQ(raw[409], 1.0f);
    // A spread of zero weighs only the best-exposed value.
    Fusion8::WeightTable sharp = Fusion8::weightTable(100, 0);
    EXPECT_EQ(sharp[100], 1.0f);
    EXPECT_EQ(sharp[101], 0.0f);
}

TEST(FusionWeights, MaskIsTheProductOverChannels)
{
    Image<unsigned char> rgb = reference::row<unsigned char>({ 153, 153, 153, 102, 102, 102 }, 3);
    Fusion8::WeightTable t = Fusion8::weightTable(102, 51);
    Image<float> mask;
    ASSERT_EQ(Fusion8::computeMask(rgb, t, mask), 0);
    EXPECT_EQ(mask(0, 0, 0), t[153] * t[153] * t[153]);
    EXPECT_NEAR(mask(0, 0, 0), 0.2244f, 1e-4);
    EXPECT_EQ(mask(1, 0, 0), 1.0f);

    // Raw samples outside 10 bits use the nearest entry instead of reading past the table.
    Image<short> raw = reference::row<short>({ 409, 0, 1023, 2000 }, 4);
    FusionRaw::WeightTable r = FusionRaw::weightTable(409, 204);
    Image<float> rawMask;
    ASSERT_EQ(FusionRaw::computeMask(raw, r, rawMask), 0);
    EXPECT_EQ(rawMask(0, 0, 0), r[409] * r[0] * r[1023] * r[1023]);
}

TEST(FusionNormalize, MasksSumToOneAndAllZeroGivesEqualShares)
{
    std::vector<Image<float>> masks = { reference::row<float>({ 0.5, 0 }),
        reference::row<float>({ 0.25, 0 }), reference::row<float>({ 0.25, 0 }) };
    Fusion8::normalize(masks);
    EXPECT_EQ(masks[0](0, 0, 0), 0.5f);
    EXPECT_EQ(masks[1](0, 0, 0), 0.25f);
    for (auto &m : masks)
        EXPECT_EQ(m(1, 0, 0), 1.0f / 3);
}

TEST(FusionBlend, TruncatesTowardZeroAfterEveryAddition)
{
    auto blendOf
        = [](std::initializer_list<double> aValues, std::initializer_list<double> aWeights) {
              std::vector<Image<short>> images;
              std::vector<Image<float>> masks;
              for (double v : aValues)
                  images.push_back(reference::row<short>({ v }));
              for (double m : aWeights)
                  masks.push_back(reference::row<float>({ m }));
              EXPECT_EQ(Fusion8::blend(images, masks), 0);
              return images[0](0, 0, 0);
          };
    EXPECT_EQ(blendOf({ 1, 1 }, { 0.5, 0.5 }), 0);
    EXPECT_EQ(blendOf({ -3 }, { 0.5 }), -1);
    // The order matters: 1.5 → 1, 1 - 0.7 → 0; but -0.7 → 0, 0 + 1.5 → 1.
    EXPECT_EQ(blendOf({ 3, -7 }, { 0.5, 0.1 }), 0);
    EXPECT_EQ(blendOf({ -7, 3 }, { 0.1, 0.5 }), 1);
}

TEST(FusionBlend, RefusesMismatchedInputsWithOneMessage)
{
    auto run = [](std::vector<Image<short>> aImages, std::vector<Image<float>> aMasks) {
        int rc = 0;
        std::string log = captured([&] { rc = Fusion8::blend(aImages, aMasks); });
        EXPECT_EQ(rc, -1);
        return log;
    };
    Image<short> i43(4, 3, 3), i53(5, 3, 3), i43grey(4, 3, 1);
    Image<float> m43(4, 3, 1), m44(4, 4, 1);
    EXPECT_EQ(run({}, {}),
        "Error: image vector or mask vector are empty, or image vector and mask "
        "vector are different size\n");
    EXPECT_EQ(run({ i43, i43 }, { m43 }),
        "Error: image vector or mask vector are empty, or image "
        "vector and mask vector are different size\n");
    EXPECT_EQ(
        run({ i43, i53 }, { m43, m43 }), "Error: images in image vector are not all same size\n");
    EXPECT_EQ(run({ i43, i43grey }, { m43, m43 }),
        "Error: images in image vector are not all same size\n");
    EXPECT_EQ(
        run({ i43, i43 }, { m43, m44 }), "Error: images in mask vector are not all same size\n");
    EXPECT_EQ(run({ i43, i43 }, { m44, m44 }), "Error: images and masks are not same dimensions\n");
}

TEST(FusionCompute, LogsEveryStage)
{
    std::vector<Image<unsigned char>> burst;
    for (int k = 0; k < 2; ++k)
        burst.push_back(reference::randomImage<unsigned char>(24, 24, 3, 0, 255, k));
    std::string log = captured([&] { Fusion8::compute(burst, 102, 51); });
    EXPECT_EQ(withoutTimes(log),
        "Computing lookup table of 256 elements\n"
        "Time to compute masks: T\n"
        "Time to normalize: T\n"
        "Blending\n"
        "Computing image laplacians\n"
        "Computing mask Gaussians\n"
        "Blending the pyramid with 3 levels\n"
        "Blending the base:  6x6\n"
        "Blending details\n"
        "Collapsing pyramid\n"
        "Upsampling the base \n"
        "Level 0: 24x24\n");
}

// Width, height, photographs; 8-bit RGB and 10-bit raw bursts.
class FusionMatchesReference : public ::testing::TestWithParam<std::tuple<int, int, int>>
{
};

TEST_P(FusionMatchesReference, BitForBit)
{
    auto [w, h, n] = GetParam();
    std::vector<Image<unsigned char>> rgb;
    std::vector<Image<short>> raw;
    for (int k = 0; k < n; ++k) {
        // Brackets: each photograph brighter than the one before.
        rgb.push_back(
            reference::randomImage<unsigned char>(w, h, 3, 30 * k, 120 + 45 * k, 100 + k));
        raw.push_back(reference::randomImage<short>(w, h, 4, 120 * k, 500 + 170 * k, 200 + k));
    }
    Image<unsigned char> expected8 = reference::fuse<unsigned char>(rgb, 102, 51, 255);
    Image<short> expectedRaw = reference::fuse<short>(raw, 409, 204, 1023);
    captured([&] {
        Fusion8::compute(rgb, 102, 51);
        FusionRaw::compute(raw, 409, 204);
    });
    EXPECT_TRUE(reference::sameSamples(rgb[0], expected8));
    EXPECT_TRUE(reference::sameSamples(raw[0], expectedRaw));
}

INSTANTIATE_TEST_SUITE_P(Fusion, FusionMatchesReference,
    ::testing::Values(std::make_tuple(10, 40, 3), std::make_tuple(37, 29, 3),
        std::make_tuple(64, 48, 2), std::make_tuple(45, 90, 1), std::make_tuple(131, 75, 3)));

class FusionThreads : public ::testing::TestWithParam<int>
{
};

TEST_P(FusionThreads, GiveTheOneThreadResultBitForBit)
{
    std::vector<Image<unsigned char>> rgb, wide;
    std::vector<Image<short>> raw;
    for (int k = 0; k < 3; ++k) {
        rgb.push_back(reference::randomImage<unsigned char>(131, 150, 3, 30 * k, 120 + 45 * k, k));
        wide.push_back(reference::randomImage<unsigned char>(1300, 70, 3, 30 * k, 150 + 50 * k, k));
        raw.push_back(reference::randomImage<short>(97, 140, 4, 120 * k, 500 + 170 * k, k));
    }
    std::vector<Image<unsigned char>> rgbOne = clones(rgb), wideOne = clones(wide);
    std::vector<Image<short>> rawOne = clones(raw);
    captured([&] {
        Fusion8::compute(rgbOne, 102, 51);
        Fusion8::compute(rgb, 102, 51, GetParam());
        Fusion8::computeWithMaxDetail(wideOne, 102, 51);
        Fusion8::computeWithMaxDetail(wide, 102, 51, GetParam());
        FusionRaw::compute(rawOne, 409, 204);
        FusionRaw::compute(raw, 409, 204, GetParam());
    });
    EXPECT_TRUE(reference::sameSamples(rgb[0], rgbOne[0]));
    EXPECT_TRUE(reference::sameSamples(wide[0], wideOne[0]));
    EXPECT_TRUE(reference::sameSamples(raw[0], rawOne[0]));
}

INSTANTIATE_TEST_SUITE_P(Fusion, FusionThreads, ::testing::Values(2, 3));

TEST(FusionCompute, FlatBurstComesBackSlightlyBrighter)
{
    // The float reduction adds 0.5/256 at every level, so the weights sum to a little over
    // one: three flat 128 frames fuse to 132 at this size, never to less than 128.
    std::vector<Image<unsigned char>> burst;
    for (int k = 0; k < 3; ++k)
        burst.push_back(reference::randomImage<unsigned char>(648, 492, 3, 128, 128, 0));
    captured([&] { Fusion8::compute(burst, 102, 51); });
    for (int i = 0; i < 648 * 492 * 3; i += 997)
        ASSERT_EQ(burst[0].data()[i], 132);
}

TEST(FusionCompute, UnequalSizesAreReportedAndEndTheFusion)
{
    std::vector<Image<unsigned char>> burst = { Image<unsigned char>(40, 30, 3),
        Image<unsigned char>(22, 22, 3), Image<unsigned char>(11, 11, 3) };
    std::string log = captured([&] { Fusion8::compute(burst, 102, 51); });
    EXPECT_NE(log.find("Error: not all images are same size\n"), std::string::npos);
    EXPECT_NE(log.find("Error: images in image vector are not all same size\n"), std::string::npos);
    EXPECT_NE(log.find("Error blending base image.\n"), std::string::npos);
    EXPECT_EQ(log.find("Collapsing pyramid"), std::string::npos);

    // The top-octave pass needs equal sizes too: it hands such a burst to the same checks.
    std::vector<Image<unsigned char>> wide
        = { Image<unsigned char>(1300, 24, 3), Image<unsigned char>(1300, 22, 3) };
    log = captured([&] { Fusion8::computeWithMaxDetail(wide, 102, 51); });
    EXPECT_NE(log.find("Error: not all images are same size\n"), std::string::npos);
    EXPECT_EQ(log.find("Collapsing pyramid"), std::string::npos);
}

TEST(FusionMaxDetail, SmallBurstsAndSinglePhotographsTakeTheirOwnPaths)
{
    std::vector<Image<unsigned char>> one
        = { reference::randomImage<unsigned char>(1400, 12, 3, 0, 255, 1) };
    Image<unsigned char> before = one[0].clone();
    EXPECT_EQ(captured([&] { Fusion8::computeWithMaxDetail(one, 102, 51); }), "");
    EXPECT_TRUE(reference::sameSamples(one[0], before));

    std::vector<Image<unsigned char>> small;
    for (int k = 0; k < 2; ++k)
        small.push_back(
            reference::randomImage<unsigned char>(1295, 12, 3, 40 * k, 150 + 50 * k, k));
    std::vector<Image<unsigned char>> direct = clones(small);
    captured([&] {
        Fusion8::computeWithMaxDetail(small, 102, 51);
        Fusion8::compute(direct, 102, 51);
    });
    EXPECT_TRUE(reference::sameSamples(small[0], direct[0]));
}

TEST(FusionMaxDetail, FusesAtHalfSizeAndAddsTwiceTheLargestTopOctaveDetail)
{
    const int w = 1300, h = 25;
    std::vector<Image<unsigned char>> burst;
    for (int k = 0; k < 3; ++k)
        burst.push_back(
            reference::randomImage<unsigned char>(w, h, 3, 40 * k, 140 + 55 * k, 50 + k));

    std::vector<Image<unsigned char>> lowres;
    Image<short> maxDetail(w, h, 3);
    for (const Image<unsigned char> &img : burst) {
        lowres.push_back(reference::reduce(img));
        Image<unsigned char> up
            = reference::expand<unsigned char, unsigned char>(lowres.back(), w, h);
        for (int i = 0; i < w * h * 3; ++i) {
            const int d = img.data()[i] - up.data()[i];
            if (std::abs(maxDetail.data()[i]) < std::abs(d) || &img == &burst[0])
                maxDetail.data()[i] = short(d);
        }
    }
    Image<unsigned char> fusedLow = reference::fuse<unsigned char>(lowres, 102, 51, 255);
    Image<unsigned char> expected = reference::expand<unsigned char, unsigned char>(fusedLow, w, h);
    for (int i = 0; i < w * h * 3; ++i)
        expected.data()[i] = (unsigned char)std::min(
            255, std::max(0, expected.data()[i] + 2 * maxDetail.data()[i]));

    std::string log = captured([&] { Fusion8::computeWithMaxDetail(burst, 102, 51); });
    EXPECT_TRUE(reference::sameSamples(burst[0], expected));
    EXPECT_NE(withoutTimes(log).find("Allocate maxDetail T\nReduce image 0 T\nExpand image 0 T\n"
                                     "Compute detail for 0 T\nReduce image 1 T\n"),
        std::string::npos);
    EXPECT_NE(withoutTimes(log).find(
                  "Time to blend lowres T\nTime to upsample T\nTime to add detail T\n"),
        std::string::npos);
}

TEST(FusionMaxDetail, HandlesSharingOnePhotographFuseLikeCopies)
{
    // The later photographs' pixels are reused as scratch: one buffer must not be used twice.
    Image<unsigned char> a = reference::randomImage<unsigned char>(1296, 14, 3, 0, 160, 61);
    Image<unsigned char> b = reference::randomImage<unsigned char>(1296, 14, 3, 90, 255, 62);
    std::vector<Image<unsigned char>> shared = { a.clone(), b, b };
    std::vector<Image<unsigned char>> copies = { a.clone(), b.clone(), b.clone() };
    captured([&] {
        Fusion8::computeWithMaxDetail(shared, 102, 51);
        Fusion8::computeWithMaxDetail(copies, 102, 51);
    });
    EXPECT_TRUE(reference::sameSamples(shared[0], copies[0]));
}

TEST(FusionDetail, MaxDetailKeepsTheEarlierOnTiesAndAddDetailDoublesAndClamps)
{
    Image<unsigned char> orig = reference::row<unsigned char>({ 100, 100, 100, 100 });
    Image<unsigned char> subst = reference::row<unsigned char>({ 105, 95, 104, 100 });
    Image<short> detail = reference::row<short>({ 5, -5, 3, -9 });
    Fusion8::computeMaxDetail(orig, subst, detail);
    EXPECT_TRUE(reference::sameSamples(detail, reference::row<short>({ 5, -5, -4, -9 })));

    Image<short> add = reference::row<short>({ 10, -60, 100, -1 });
    Image<unsigned char> target = reference::row<unsigned char>({ 100, 100, 100, 0 });
    Fusion8::addDetailInPlace(add, target);
    EXPECT_TRUE(reference::sameSamples(target, reference::row<unsigned char>({ 120, 0, 255, 0 })));
}

using FusionDeathTest = ::testing::Test;

TEST(FusionDeathTest, DetailSizeMismatchesStopWithTheFailedExpression)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Image<unsigned char> a(8, 6, 3), b(8, 5, 3);
    Image<short> d(8, 6, 3), dSmall(7, 6, 3);
    const char *same
        = "aImgOrig.width\\(\\) == aImgSubst.width\\(\\) && aImgOrig.height\\(\\) == "
          "aImgSubst.height\\(\\) && aImgOrig.channels\\(\\) == aImgSubst.channels\\(\\)";
    EXPECT_DEATH(Fusion8::computeDetailInPlace(b, d), std::string("inc/core/HDRFusion:.*") + same);
    EXPECT_DEATH(Fusion8::computeMaxDetail(a, b, d), same);
    EXPECT_DEATH(Fusion8::computeMaxDetail(a, a, dSmall),
        "aImgOrig.width\\(\\) == aDetail.width\\(\\) && aImgOrig.height\\(\\) == "
        "aDetail.height\\(\\) && aImgOrig.channels\\(\\) == aDetail.channels\\(\\)");
    EXPECT_DEATH(Fusion8::addDetailInPlace(dSmall, a),
        "aDetail.width\\(\\) == aTarget.width\\(\\) && aDetail.height\\(\\) == "
        "aTarget.height\\(\\) && aDetail.channels\\(\\) == aTarget.channels\\(\\)");
}

TEST(FusionPhotographs, IdenticalPhotographsFuseToThemselvesOrSlightlyBrighter)
{
    REQUIRE_SHARED_DATA();
    Image<unsigned char> photo = loadHalf("Flowers/Flowers2.jpg");
    std::vector<Image<unsigned char>> burst = { photo.clone(), photo.clone(), photo.clone() };
    captured([&] { Fusion8::compute(burst, 102, 51); });
    // Each blend truncates up to three times (once per photograph) and loses less than one
    // unit each time, on every level; the weights add up to a little more than one.
    int levels = 1;
    for (int w = photo.width(), h = photo.height(); w > 10 && h > 10; w /= 2, h /= 2)
        ++levels;
    long long sum = 0;
    int worst = 0;
    const int n = photo.width() * photo.height() * photo.channels();
    for (int i = 0; i < n; ++i) {
        const int d = burst[0].data()[i] - photo.data()[i];
        worst = std::max(worst, std::abs(d));
        sum += d;
    }
    EXPECT_LT(worst, 3 * levels);
    EXPECT_GT(double(sum) / n, 0.0);
    EXPECT_LT(double(sum) / n, 4.0);
}

TEST(FusionPhotographs, BracketLiftsShadowsAndTamesHighlights)
{
    REQUIRE_SHARED_DATA();
    for (const char *scene : { "Flowers/Flowers", "SeaRock/SeaRock" }) {
        std::vector<Image<unsigned char>> burst;
        for (int k = 1; k <= 3; ++k)
            burst.push_back(loadHalf(std::string(scene) + std::to_string(k) + ".jpg"));
        std::vector<Image<unsigned char>> original = clones(burst);
        captured([&] { Fusion8::computeWithMaxDetail(burst, 102, 51); });
        double darkIn = 0, darkOut = 0, brightIn = 0, brightOut = 0;
        int dark = 0, bright = 0;
        for (int i = 0; i < burst[0].width() * burst[0].height() * 3; ++i) {
            if (original[0].data()[i] < 40) {
                darkIn += original[0].data()[i];
                darkOut += burst[0].data()[i];
                ++dark;
            }
            if (original[2].data()[i] > 215) {
                brightIn += original[2].data()[i];
                brightOut += burst[0].data()[i];
                ++bright;
            }
        }
        ASSERT_GT(dark, 1000) << scene;
        ASSERT_GT(bright, 1000) << scene;
        EXPECT_GT(darkOut / dark, darkIn / dark + 10) << scene;
        EXPECT_LT(brightOut / bright, brightIn / bright - 10) << scene;
    }
}
