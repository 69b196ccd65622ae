#include "core/Registration"
#include "support/TestSupport.h"

#include <cmath>
#include <gtest/gtest.h>
#include <string>

namespace {

// A real burst whose brightest photograph is clipped over much of the scene, and how that
// photograph sits against the darkest one. The shift was measured apart from registration:
// grid search, in steps of 0.05 px, for the translation that maximises the normalised
// correlation of the two photographs (brightness matched by a look-up table) over pixels
// at least 6 px away from any clipped one; each quarter of the frame agrees within 0.15 px
// and shows no rotation.
struct ClippedBurst
{
    const char *scene;
    double shiftX, shiftY; // where a pixel of the brightest lands on the darkest, in pixels
};

void PrintTo(const ClippedBurst &aBurst, std::ostream *aStream)
{
    *aStream << aBurst.scene;
}

class RegisterClippedBurst : public ::testing::TestWithParam<ClippedBurst>
{
};

// Clipped highlights and unmatched features used to pass for inliers on the finest levels,
// where the inlier distance spanned several pixels, and the fit turned half-pixel shifts
// into rotations that put parts of the frame half a pixel further off.
TEST_P(RegisterClippedBurst, RecoversTheMeasuredShiftAtEveryCorner)
{
    REQUIRE_SHARED_DATA();
    const ClippedBurst &burst = GetParam();
    const std::string scene = burst.scene;
    std::vector<Image<unsigned char>> images {
        Image<unsigned char>(testsupport::dataFile(scene + "/" + scene + "1.jpg").c_str(), 0),
        Image<unsigned char>(testsupport::dataFile(scene + "/" + scene + "3.jpg").c_str(), 0),
    };
    ASSERT_FALSE(images[0].empty());
    ASSERT_FALSE(images[1].empty());
    Matrix3f models[2];
    ASSERT_EQ(core::estimateBurstMotion(images, 1024, 10, 4, 1, models), 0);

    const int w = images[0].width(), h = images[0].height();
    const Matrix3f inPixels
        = invertMatrix(levelNormalisation(w, h, 1.0f)) * models[1] * levelNormalisation(w, h, 1.0f);
    for (int corner = 0; corner < 4; ++corner) {
        const float x = (corner & 1) ? float(w - 1) : 0.0f, y = (corner & 2) ? float(h - 1) : 0.0f;
        float u, v;
        inPixels.apply(x, y, u, v);
        EXPECT_LT(std::hypot(u - x - burst.shiftX, v - y - burst.shiftY), 0.3)
            << "corner (" << x << ", " << y << ") moves by (" << u - x << ", " << v - y << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(SharedData, RegisterClippedBurst,
    ::testing::Values(
        ClippedBurst { "SeaRock", -0.55, -0.55 }, ClippedBurst { "OldHouse", -0.55, -0.40 }),
    [](const ::testing::TestParamInfo<ClippedBurst> &aInfo) { return aInfo.param.scene; });

} // namespace
