// The quality yardstick of the peer benchmark must rank fusions the way a viewer would.

#include "MefSsim.h"

#include "Bursts.h"
#include "core/MergePipeline"

#include <gtest/gtest.h>
#include <string>

namespace {

Image<unsigned char> fused(const std::vector<Image<unsigned char>> &aBurst)
{
    std::vector<Image<unsigned char>> work;
    for (const auto &img : aBurst)
        work.push_back(img.clone());
    core::MergeSettings settings;
    settings.align = false;
    testing::internal::CaptureStdout();
    EXPECT_EQ(core::mergeBurst(work, settings), 0);
    testing::internal::GetCapturedStdout();
    return work[0];
}

} // namespace

class MefSsimScene : public ::testing::TestWithParam<const char *>
{
};

TEST_P(MefSsimScene, RanksAFusionAboveItsDarkestFrameAndFarAboveFlatGrey)
{
    REQUIRE_DATA_FILE(std::string(GetParam()) + "/" + GetParam() + "1.jpg");
    const std::vector<Image<unsigned char>> burst = quarterSizeBurst(GetParam());
    Image<unsigned char> grey = burst[0].clone();
    std::fill(grey.data(), grey.data() + grey.width() * grey.height() * 3, 128);
    const double fusion = bench::mefSsim(burst, fused(burst));
    const double darkest = bench::mefSsim(burst, burst[0]);
    const double flat = bench::mefSsim(burst, grey);
    EXPECT_GT(fusion, 0.9);
    EXPECT_LE(fusion, 1.0);
    EXPECT_GT(fusion, darkest + 0.03);
    // Flat regions of the scene are matched even by a flat picture: the rest is not.
    EXPECT_GT(fusion, flat + 0.4);
    std::printf(
        "%s: fusion %.4f, darkest frame %.4f, flat grey %.4f\n", GetParam(), fusion, darkest, flat);
}

INSTANTIATE_TEST_SUITE_P(Scenes, MefSsimScene, ::testing::Values("Flowers", "OldHouse", "SeaRock"));

TEST(MefSsim, OneExposureScoresItselfPerfectlyWhateverItsBrightness)
{
    // With a single input the desired patch is that input's own: only structure counts, so a
    // brightness offset changes nothing and an inverted picture scores far below.
    Image<unsigned char> img(40, 30, 3), brighter(40, 30, 3), inverted(40, 30, 3);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            for (int c = 0; c < 3; ++c) {
                const int v = (x * 37 + y * 91 + c * 13) % 200;
                img(x, y, c) = static_cast<unsigned char>(v);
                brighter(x, y, c) = static_cast<unsigned char>(v + 40);
                inverted(x, y, c) = static_cast<unsigned char>(255 - v);
            }
    EXPECT_NEAR(bench::mefSsim({ img }, img), 1.0, 1e-6);
    EXPECT_NEAR(bench::mefSsim({ img }, brighter), 1.0, 1e-6);
    EXPECT_LT(bench::mefSsim({ img }, inverted), 0.0);
}

TEST(MefSsim, RefusesImagesThatDoNotFitTogether)
{
    std::string why;
    EXPECT_EQ(
        bench::mefSsim({ Image<unsigned char>(20, 20, 3) }, Image<unsigned char>(21, 20, 3), &why),
        -2.0);
    EXPECT_EQ(why, "an input is 20x20, the fused image 21x20");
    EXPECT_EQ(
        bench::mefSsim({ Image<unsigned char>(10, 10, 3) }, Image<unsigned char>(10, 10, 3)), -2.0);
    EXPECT_EQ(bench::mefSsim({}, Image<unsigned char>(20, 20, 3)), -2.0);
}
