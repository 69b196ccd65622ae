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

TEST(MefSsim, RanksAFusionAboveItsDarkestFrameAndFarAboveFlatGrey)
{
    REQUIRE_DATA_FILE("OldHouse/OldHouse1.jpg");
    const std::vector<Image<unsigned char>> burst = quarterSizeBurst("OldHouse");
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
