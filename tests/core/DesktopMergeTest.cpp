// The desktop's merge: its sub-pixel warp, its floating-point pyramids and its weights.

#include "core/DesktopMerge"

#include <gtest/gtest.h>
#include <random>

namespace {

Image<unsigned char> noise(int aWidth, int aHeight, unsigned aSeed)
{
    std::mt19937 random(aSeed);
    Image<unsigned char> img(aWidth, aHeight, 3);
    for (int i = 0; i < aWidth * aHeight * 3; ++i)
        img.data()[i] = static_cast<unsigned char>(random() % 256);
    return img;
}

Image<unsigned char> filled(int aWidth, int aHeight, unsigned char aValue)
{
    Image<unsigned char> img(aWidth, aHeight, 3);
    std::fill(img.data(), img.data() + aWidth * aHeight * 3, aValue);
    return img;
}

} // namespace

// The fast planar bilinear warp is the bilinear interpolator's arithmetic, sample for sample,
// including which border pixels count as outside.
TEST(DesktopWarp, BilinearRowsMatchTheInterpolator)
{
    const int w = 53, h = 31;
    const Image<unsigned char> source = noise(w, h, 7);
    Matrix3f models[2]
        = { Matrix3f::identity(), Matrix3f::similarity(0.998f, 0.012f, 0.031f, -0.017f) };
    ImageWarper warper;
    ASSERT_EQ(warper.init(2, 1.0f, w, h), 0);
    ASSERT_EQ(warper.setup(0, 1, models), 0);
    warper.setCentre(0.0f, 0.0f, w, h, 0.5f);
    Image<unsigned char> fast(w, h, 3);
    warper.warp(1, source, fast);

    Interpolator_Bilinear<unsigned char> bilinear(w, h, 3);
    int outside = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double sx, sy;
            warper.sourcePosition(1, x, y, sx, sy);
            bilinear.setPosition(sx, sy);
            outside += bilinear.isOutside();
            const unsigned char *expected = bilinear.sample(source);
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(fast(x, y, c), expected[c]) << x << "," << y << "," << c;
        }
    EXPECT_GT(outside, 0) << "the motion should uncover a border";
}

// Fused with itself, a photograph comes back as it was: the pyramids reconstruct exactly up to
// rounding, on odd sizes and down to the coarsest level.
TEST(DesktopFusion, IdenticalPhotographsComeBackUnchanged)
{
    for (auto [w, h] : { std::pair { 101, 67 }, std::pair { 64, 48 }, std::pair { 7, 5 } }) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const Image<unsigned char> photo = noise(w, h, unsigned(w));
        std::vector<Image<unsigned char>> burst;
        for (int k = 0; k < 3; ++k) {
            burst.push_back(Image<unsigned char>(w, h, 3));
            std::copy(photo.data(), photo.data() + w * h * 3, burst.back().data());
        }
        const core::desktop::QualityMeasure measure { core::FusionWeights() };
        ASSERT_EQ(core::desktop::fuse(burst, measure, { nullptr, nullptr, nullptr }, 2), 0);
        int worst = 0;
        for (int i = 0; i < w * h * 3; ++i)
            worst = std::max(worst, std::abs(int(burst[0].data()[i]) - int(photo.data()[i])));
        EXPECT_LE(worst, 1);
    }
}

// Where a photograph's warp left a black border, the photograph weighs nothing: the border
// takes the others' pixels instead of darkening the result.
TEST(DesktopFusion, TheBorderAWarpUncoveredWeighsNothing)
{
    const int w = 80, h = 60, band = 10;
    std::vector<Image<unsigned char>> burst = { filled(w, h, 100), filled(w, h, 100) };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < band; ++x)
            for (int c = 0; c < 3; ++c)
                burst[1](x, y, c) = 0;
    // Photograph 1 seen through a shift of `band` pixels: its first columns had no source.
    const double map[2][3] = { { 1.0, 0.0, -double(band) }, { 0.0, 1.0, 0.0 } };
    core::FusionWeights weights;
    weights.saturation = weights.contrast = 0.0f; // flat grey: well-exposedness alone
    ASSERT_EQ(
        core::desktop::fuse(burst, core::desktop::QualityMeasure(weights), { nullptr, map }, 1), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_NEAR(burst[0](x, y, 0), 100, 1) << x << "," << y;
}

// The measures steer the blend: the well-exposed photograph wins where the other is clipped,
// and a measure's weight of 0 leaves it out.
TEST(DesktopFusion, WellExposedPixelsWin)
{
    const int w = 64, h = 48;
    std::vector<Image<unsigned char>> burst = { filled(w, h, 255), filled(w, h, 128) };
    core::FusionWeights weights;
    weights.saturation = weights.contrast = 0.0f;
    ASSERT_EQ(
        core::desktop::fuse(burst, core::desktop::QualityMeasure(weights), { nullptr, nullptr }, 1),
        0);
    EXPECT_NEAR(burst[0](w / 2, h / 2, 1), 128, 3);

    // Grey pixels have no saturation: with its weight at 1, every pixel weighs the floor and the
    // photographs share equally.
    burst = { filled(w, h, 255), filled(w, h, 128) };
    weights.saturation = 1.0f;
    ASSERT_EQ(
        core::desktop::fuse(burst, core::desktop::QualityMeasure(weights), { nullptr, nullptr }, 1),
        0);
    EXPECT_NEAR(burst[0](w / 2, h / 2, 1), (255 + 128) / 2, 2);
}
