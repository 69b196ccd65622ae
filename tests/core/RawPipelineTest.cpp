#include "core/RawPipeline"

#include "support/TestSupport.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

using Mosaic = std::vector<std::uint16_t>;

core::RawMosaic view(const Mosaic &aSamples, int aWidth, int aHeight)
{
    core::RawMosaic m;
    m.samples = aSamples.data();
    m.width = aWidth;
    m.height = aHeight;
    m.rowStride = aWidth;
    return m;
}

// A G R / B G mosaic sampled from three colour planes given as functions of the site.
template <class R, class G, class B>
Mosaic bayer(int aWidth, int aHeight, R aRed, G aGreen, B aBlue)
{
    Mosaic m(std::size_t(aWidth) * aHeight);
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x) {
            const bool redRow = y % 2 == 0, evenColumn = x % 2 == 0;
            int v = redRow == evenColumn ? aGreen(x, y) : (redRow ? aRed(x, y) : aBlue(x, y));
            m[std::size_t(y) * aWidth + x] = std::uint16_t(v);
        }
    return m;
}

// Stand-ins with the shape of the camera library's frame handle and frame image.
struct FakeFrameImage
{
    unsigned width() const { return w; }
    unsigned height() const { return h; }
    unsigned char *data() const { return pixels; }
    unsigned w = 0, h = 0;
    unsigned char *pixels = nullptr;
};

struct FakeFrame
{
    bool valid() const { return hasBody; }
    const FakeFrameImage &image() const { return img; }
    bool hasBody = true;
    FakeFrameImage img;
};

FakeFrame frameOver(Mosaic &aSamples, unsigned aWidth, unsigned aHeight)
{
    FakeFrame f;
    f.img.w = aWidth;
    f.img.h = aHeight;
    f.img.pixels = reinterpret_cast<unsigned char *>(aSamples.data());
    return f;
}

} // namespace

TEST(RawPipeline, PacksEachCellIntoFourChannels)
{
    Mosaic m(16);
    for (int i = 0; i < 16; ++i)
        m[i] = std::uint16_t(10 * i); // site (x, y) holds 10 × (4y + x)
    Image<short> packed = raw_to_four_channel(view(m, 4, 4));
    ASSERT_FALSE(packed.empty());
    EXPECT_EQ(packed.width(), 2);
    EXPECT_EQ(packed.height(), 2);
    EXPECT_EQ(packed.channels(), 4);
    EXPECT_EQ(packed.colourSpace(), 0);
    EXPECT_EQ(packed.useCount(), 1);
    // Pixel (1, 0): sites (2, 0), (3, 0), (2, 1), (3, 1).
    EXPECT_EQ(packed(1, 0, 0), 20);
    EXPECT_EQ(packed(1, 0, 1), 30);
    EXPECT_EQ(packed(1, 0, 2), 60);
    EXPECT_EQ(packed(1, 0, 3), 70);
    EXPECT_EQ(packed(0, 1, 3), 10 * (4 * 3 + 1));
}

class PackingRoundTrip : public ::testing::TestWithParam<std::pair<int, int>>
{
};

TEST_P(PackingRoundTrip, UnpackingRestoresTheMosaicExactly)
{
    const auto [w, h] = GetParam();
    std::mt19937 random(w * 7919 + h);
    Mosaic m(std::size_t(w) * h);
    for (auto &v : m)
        v = std::uint16_t(random() % 1024);
    Image<short> packed = raw_to_four_channel(view(m, w, h));
    ASSERT_FALSE(packed.empty());
    Mosaic back(m.size(), 0xffff);
    ASSERT_EQ(unpackFourChannel(packed, back.data()), 0);
    EXPECT_EQ(back, m);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PackingRoundTrip,
    ::testing::Values(std::make_pair(2, 2), std::make_pair(4, 4), std::make_pair(6, 10),
        std::make_pair(64, 48), std::make_pair(640, 480)));

TEST(RawPipeline, OutOfRangeSamplesAreClampedAndOddSizesRefused)
{
    Mosaic m = { 1024, 65535, 1023, 0 };
    Image<short> packed = raw_to_four_channel(view(m, 2, 2));
    ASSERT_FALSE(packed.empty());
    EXPECT_EQ(packed(0, 0, 0), 1023);
    EXPECT_EQ(packed(0, 0, 1), 1023); // would wrap to a negative short unclamped
    EXPECT_EQ(packed(0, 0, 2), 1023);
    EXPECT_EQ(packed(0, 0, 3), 0);

    Mosaic odd(5 * 4);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(raw_to_four_channel(view(odd, 5, 4)).empty());
    EXPECT_TRUE(raw_to_four_channel(view(odd, 4, 5)).empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "Cannot pack a 5 x 4 mosaic: width and height must be even.\n"
        "Cannot pack a 4 x 5 mosaic: width and height must be even.\n");
}

TEST(RawPipeline, FramesWithoutPixelsGiveAnEmptyImageAndAnUntouchedPreview)
{
    FakeFrame noBody;
    noBody.hasBody = false;
    FakeFrame discard; // null data: the discard marker
    discard.img.w = 4;
    discard.img.h = 4;
    FakeFrame allocate = discard;
    allocate.img.pixels = reinterpret_cast<unsigned char *>(~std::uintptr_t(0));

    for (const FakeFrame *f : { &noBody, &discard, &allocate }) {
        testing::internal::CaptureStderr();
        EXPECT_TRUE(raw_to_four_channel(*f).empty());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid image in raw_to_four_channel\n");

        unsigned char preview[12];
        std::memset(preview, 0x5a, sizeof preview);
        testing::internal::CaptureStdout();
        demosaicPreview(*f, preview, 2, 2.2f);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot demosaic an invalid image\n");
        for (unsigned char b : preview)
            EXPECT_EQ(b, 0x5a);
    }
}

TEST(GammaTable, EntriesFollowTheCurve)
{
    const GammaTable t(2.2f);
    EXPECT_EQ(sizeof t.table, 1124u);
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[1], 11);
    EXPECT_EQ(t[256], 136);
    EXPECT_EQ(t[512], 187);
    EXPECT_LT(t[1000], 255);
    for (int v = 1019; v <= 1023; ++v)
        EXPECT_EQ(t[v], 255) << v;
    for (int v = 1024; v < 1124; ++v)
        EXPECT_EQ(t[v], 0) << v;
    for (int v = 1; v < 1024; ++v)
        EXPECT_GE(t[v], t[v - 1]) << v;
}

class ConstantMosaic : public ::testing::TestWithParam<int>
{
};

TEST_P(ConstantMosaic, DemosaicsToTheTableValueEverywhere)
{
    const int value = GetParam();
    const int w = 12, h = 10;
    Mosaic m(std::size_t(w) * h, std::uint16_t(value));
    std::vector<unsigned char> out(std::size_t(w - 4) * (h - 4) * 3, 0x77);
    testing::internal::CaptureStdout();
    demosaic(m.data(), out.data(), 2.2f, w, h);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "Demosaicing 12 10\nMIN: 0 MAX: 1023\nDone demosaicking\n");
    const int expected = GammaTable(2.2f)[std::min(value, 1023)];
    for (unsigned char v : out)
        ASSERT_EQ(v, expected);
}

// 0 → black, 1023 → white; values past 10 bits are clamped to white instead of reading past
// the table.
INSTANTIATE_TEST_SUITE_P(Values, ConstantMosaic, ::testing::Values(0, 1, 512, 1023, 1024, 40000));

TEST(RawPipeline, BilinearDemosaicReproducesLinearColourPlanes)
{
    // Averages of symmetric neighbours of a linear plane are exact, so every site must come
    // back as its own three plane values: a swapped channel or a wrong site parity shows.
    const int w = 16, h = 12;
    auto red = [](int x, int y) { return 10 * x + 20 * y + 50; };
    auto green = [](int x, int y) { return 30 * x + 5 * y + 100; };
    auto blue = [](int x, int y) { return 1023 - 20 * x - 30 * y; };
    Mosaic m = bayer(w, h, red, green, blue);
    std::vector<unsigned char> out(std::size_t(w - 4) * (h - 4) * 3);
    testing::internal::CaptureStdout();
    demosaic(m.data(), out.data(), 1.0f, w, h);
    testing::internal::GetCapturedStdout();
    const GammaTable t(1.0f);
    for (int y = 0; y < h - 4; ++y)
        for (int x = 0; x < w - 4; ++x) {
            const unsigned char *px = &out[(std::size_t(y) * (w - 4) + x) * 3];
            ASSERT_EQ(px[0], t[red(x + 2, y + 2)]) << x << "," << y;
            ASSERT_EQ(px[1], t[green(x + 2, y + 2)]) << x << "," << y;
            ASSERT_EQ(px[2], t[blue(x + 2, y + 2)]) << x << "," << y;
        }
}

TEST(RawPipeline, DemosaicPackedOfAFullFrameDropsATwoSiteBorder)
{
    const int w = 2592, h = 1968;
    Mosaic m = bayer(
        w, h, [](int, int) { return 700; }, [](int, int) { return 300; },
        [](int, int) { return 100; });
    Image<short> packed = raw_to_four_channel(view(m, w, h));
    ASSERT_EQ(packed.width(), 1296);
    ASSERT_EQ(packed.height(), 984);
    testing::internal::CaptureStdout();
    Image<unsigned char> rgb = demosaicPacked(packed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "Demosaicing 2592 1968\nMIN: 0 MAX: 1023\nDone demosaicking\n");
    ASSERT_FALSE(rgb.empty());
    EXPECT_EQ(rgb.width(), 2588);
    EXPECT_EQ(rgb.height(), 1964);
    EXPECT_EQ(rgb.channels(), 3);
    EXPECT_EQ(rgb.colourSpace(), 0);
    const GammaTable t(2.2f);
    for (int y : { 0, 981, 1963 })
        for (int x : { 0, 1293, 2587 }) {
            EXPECT_EQ(rgb(x, y, 0), t[700]);
            EXPECT_EQ(rgb(x, y, 1), t[300]);
            EXPECT_EQ(rgb(x, y, 2), t[100]);
        }
}

TEST(RawPipeline, DemosaicPackedMatchesTheMosaicDemosaicAndClampsFusionSlack)
{
    const int w = 40, h = 30;
    std::mt19937 random(3);
    Mosaic m(std::size_t(w) * h);
    for (auto &v : m)
        v = std::uint16_t(random() % 1024);
    testing::internal::CaptureStdout();
    std::vector<unsigned char> direct(std::size_t(w - 4) * (h - 4) * 3);
    demosaic(m.data(), direct.data(), 2.2f, w, h);
    Image<short> packed = raw_to_four_channel(view(m, w, h));
    Image<unsigned char> rgb = demosaicPacked(packed);
    testing::internal::GetCapturedStdout();
    ASSERT_FALSE(rgb.empty());
    EXPECT_EQ(0, std::memcmp(rgb.data(), direct.data(), direct.size()));

    // A fused result slightly outside 0..1023 reads as the nearest end of the range.
    Image<short> slack(4, 4, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 4; ++c)
                slack(x, y, c) = short((x + y) % 2 ? -5 : 1030);
    Mosaic unpacked(8 * 8);
    ASSERT_EQ(unpackFourChannel(slack, unpacked.data()), 0);
    for (std::uint16_t v : unpacked)
        EXPECT_TRUE(v == 0 || v == 1023) << v;
}

TEST(RawPipeline, DemosaicPackedRefusesWhatIsNotPackedRaw)
{
    testing::internal::CaptureStdout();
    EXPECT_TRUE(demosaicPacked(Image<short>(8, 8, 3)).empty());
    EXPECT_TRUE(demosaicPacked(Image<short>(2, 8, 4)).empty());
    EXPECT_TRUE(demosaicPacked(Image<short>()).empty());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "Cannot demosaic a packed image of 8 x 8 with 3 channels.\n"
        "Cannot demosaic a packed image of 2 x 8 with 4 channels.\n"
        "Cannot demosaic a packed image of 0 x 0 with 0 channels.\n");
}

class PreviewStep : public ::testing::TestWithParam<int>
{
};

TEST_P(PreviewStep, SamplesOneCellPerBlockWithinTheBuffer)
{
    // Flat colour planes: whatever the step, every preview pixel must show the same colour,
    // and nothing may be written past (width / step) × (height / step) pixels.
    const int step = GetParam();
    const int w = 26, h = 18;
    Mosaic m = bayer(
        w, h, [](int, int) { return 800; }, [](int x, int) { return 400 + (x % 2) * 2; },
        [](int, int) { return 100; });
    FakeFrame frame = frameOver(m, w, h);
    const int effective = std::max(step, 2);
    const std::size_t bytes = std::size_t(w / effective) * (h / effective) * 3;
    std::vector<unsigned char> out(bytes + 64, 0xa5);
    testing::internal::CaptureStdout();
    demosaicPreview(frame, out.data(), step, 2.2f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
        "Creating demosaiced preview\nDone demosaic preview\n");
    const GammaTable t(2.2f);
    for (std::size_t i = 0; i < bytes; i += 3) {
        ASSERT_EQ(out[i], t[800]) << i;
        ASSERT_EQ(out[i + 1], t[401]) << i; // (400 + 402) >> 1
        ASSERT_EQ(out[i + 2], t[100]) << i;
    }
    for (std::size_t i = bytes; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0xa5) << "written past the preview at byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Steps, PreviewStep, ::testing::Values(0, 1, 2, 3, 4, 5, 7));

TEST(RawPipeline, RealSceneSurvivesMosaicingAndDemosaicing)
{
    REQUIRE_SHARED_DATA();
    Image<unsigned char> photo(testsupport::dataFile("Flowers/Flowers2.jpg").c_str(), 0);
    ASSERT_FALSE(photo.empty());
    ASSERT_EQ(photo.channels(), 3);
    const int w = photo.width() & ~1, h = photo.height() & ~1;
    // Undo the display gamma to get linear 10-bit sensor values at each site's colour.
    auto linear = [&](int x, int y, int c) {
        return int(std::lround(1023.0 * std::pow(photo(x, y, c) / 255.0, 2.2)));
    };
    Mosaic m = bayer(
        w, h, [&](int x, int y) { return linear(x, y, 0); },
        [&](int x, int y) { return linear(x, y, 1); },
        [&](int x, int y) { return linear(x, y, 2); });
    testing::internal::CaptureStdout();
    Image<unsigned char> rgb = demosaicPacked(raw_to_four_channel(view(m, w, h)));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rgb.width(), w - 4);
    ASSERT_EQ(rgb.height(), h - 4);
    double absDiff = 0, mean[3] = { 0, 0, 0 }, meanOrig[3] = { 0, 0, 0 };
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x)
            for (int c = 0; c < 3; ++c) {
                absDiff += std::abs(int(rgb(x, y, c)) - int(photo(x + 2, y + 2, c)));
                mean[c] += rgb(x, y, c);
                meanOrig[c] += photo(x + 2, y + 2, c);
            }
    const double n = double(rgb.width()) * rgb.height();
    EXPECT_LT(absDiff / (3 * n), 6.0);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(mean[c] / n, meanOrig[c] / n, 2.0) << "channel " << c;
}
