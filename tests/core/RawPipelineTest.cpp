#include "core/RawPipeline"

#include "PyramidReference.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

using reference::said;
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

Mosaic randomMosaic(int aWidth, int aHeight, unsigned aSeed)
{
    std::mt19937 random(aSeed);
    Mosaic m(std::size_t(aWidth) * aHeight);
    for (auto &v : m)
        v = std::uint16_t(random() % 1024);
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

// A stand-in with the shape of the camera library's frame handle and frame image.
struct FakeFrame
{
    bool valid() const { return hasBody; }
    const FakeFrame &image() const { return *this; }
    unsigned width() const { return w; }
    unsigned height() const { return h; }
    unsigned char *data() const { return pixels; }
    bool hasBody = true;
    unsigned w = 0, h = 0;
    unsigned char *pixels = nullptr;
};

} // namespace

TEST(RawPipeline, PacksEachCellIntoFourChannelsAndUnpacksExactly)
{
    Mosaic m(16);
    for (int i = 0; i < 16; ++i)
        m[i] = std::uint16_t(10 * i); // site (x, y) holds 10 × (4y + x)
    Image<short> packed = raw_to_four_channel(view(m, 4, 4));
    ASSERT_EQ(packed.width() * 100 + packed.height() * 10 + packed.channels(), 224);
    // Pixel (1, 0): sites (2, 0), (3, 0), (2, 1), (3, 1).
    EXPECT_EQ(std::vector<int>(&packed(1, 0, 0), &packed(1, 0, 0) + 4),
        (std::vector<int> { 20, 30, 60, 70 }));
    Mosaic random = randomMosaic(6, 10, 1), back(random.size(), 0xffff);
    ASSERT_EQ(unpackFourChannel(raw_to_four_channel(view(random, 6, 10)), back.data()), 0);
    EXPECT_EQ(back, random);
}

TEST(RawPipeline, OutOfRangeSamplesAreClampedAndOddSizesRefused)
{
    Mosaic m = { 1024, 65535, 1023, 0 }; // 65535 would wrap to a negative short unclamped
    Image<short> packed = raw_to_four_channel(view(m, 2, 2));
    ASSERT_FALSE(packed.empty());
    EXPECT_EQ(std::vector<int>(packed.data(), packed.data() + 4),
        (std::vector<int> { 1023, 1023, 1023, 0 }));

    Mosaic odd(5 * 4);
    EXPECT_EQ(said([&] { EXPECT_TRUE(raw_to_four_channel(view(odd, 4, 5)).empty()); }),
        "Cannot pack a 4 x 5 mosaic: width and height must be even.\n");
}

TEST(RawPipeline, FramesWithoutPixelsGiveAnEmptyImageAndAnUntouchedPreview)
{
    FakeFrame noBody, discard, allocate; // null data: the discard marker
    noBody.hasBody = false;
    discard.w = discard.h = 4;
    allocate = discard;
    allocate.pixels = reinterpret_cast<unsigned char *>(~std::uintptr_t(0));
    for (const FakeFrame *f : { &noBody, &discard, &allocate }) {
        testing::internal::CaptureStderr();
        EXPECT_TRUE(raw_to_four_channel(*f).empty());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid image in raw_to_four_channel\n");
        unsigned char preview[12];
        std::memset(preview, 0x5a, sizeof preview);
        EXPECT_EQ(said([&] { demosaicPreview(*f, preview, 2, 2.2f); }),
            "Cannot demosaic an invalid image\n");
        EXPECT_EQ(std::count(preview, preview + 12, 0x5a), 12);
    }
}

TEST(RawPipeline, GammaTableEntriesFollowTheCurve)
{
    const GammaTable t(2.2f);
    for (auto [in, out] :
        { std::pair(0, 0), std::pair(1, 11), std::pair(512, 187), std::pair(1019, 255) })
        EXPECT_EQ(t[in], out) << in;
}

// 0 → black, 1023 → white; values past 10 bits are clamped to white instead of reading past
// the table. A full frame loses a two-site border.
TEST(RawPipeline, ConstantMosaicsDemosaicToTheTableValueEverywhere)
{
    for (auto [w, h, value] :
        { std::tuple(12, 10, 512), std::tuple(12, 10, 1024), std::tuple(2592, 1968, 40000) }) {
        Mosaic m(std::size_t(w) * h, std::uint16_t(value));
        std::vector<unsigned char> out(std::size_t(w - 4) * (h - 4) * 3 + 3, 0x77);
        said([&, w = w, h = h] { demosaic(m.data(), out.data(), 2.2f, w, h); });
        const int expected = GammaTable(2.2f)[std::min(value, 1023)];
        EXPECT_EQ(std::count(out.begin(), out.end() - 3, expected), int(out.size()) - 3) << value;
        EXPECT_EQ(std::count(out.end() - 3, out.end(), 0x77), 3) << "overrun at " << w;
    }
}

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
    said([&] { demosaic(m.data(), out.data(), 1.0f, w, h); });
    const GammaTable t(1.0f);
    for (int y = 0; y < h - 4; ++y)
        for (int x = 0; x < w - 4; ++x) {
            const unsigned char *px = &out[(std::size_t(y) * (w - 4) + x) * 3];
            ASSERT_EQ(px[0], t[red(x + 2, y + 2)]) << x << "," << y;
            ASSERT_EQ(px[1], t[green(x + 2, y + 2)]) << x << "," << y;
            ASSERT_EQ(px[2], t[blue(x + 2, y + 2)]) << x << "," << y;
        }
}

TEST(RawPipeline, DemosaicPackedMatchesTheMosaicDemosaicAndClampsFusionSlack)
{
    const int w = 40, h = 30;
    Mosaic m = randomMosaic(w, h, 3);
    testing::internal::CaptureStdout();
    std::vector<unsigned char> direct(std::size_t(w - 4) * (h - 4) * 3);
    demosaic(m.data(), direct.data(), 2.2f, w, h);
    Image<unsigned char> rgb = demosaicPacked(raw_to_four_channel(view(m, w, h)));
    // Anything but packed raw is refused.
    EXPECT_TRUE(demosaicPacked(Image<short>(8, 8, 3)).empty());
    EXPECT_TRUE(demosaicPacked(Image<short>(2, 8, 4)).empty());
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rgb.width() * 10000 + rgb.height() * 10 + rgb.channels(), 360263);
    EXPECT_EQ(0, std::memcmp(rgb.data(), direct.data(), direct.size()));

    // A fused result slightly outside 0..1023 reads as the nearest end of the range.
    Image<short> slack(4, 4, 4);
    for (int i = 0; i < 64; ++i)
        slack.data()[i] = short((i / 4 + i / 16) % 2 ? -5 : 1030);
    Mosaic unpacked(8 * 8);
    ASSERT_EQ(unpackFourChannel(slack, unpacked.data()), 0);
    EXPECT_EQ(std::count(unpacked.begin(), unpacked.end(), 0), 32);
    EXPECT_EQ(std::count(unpacked.begin(), unpacked.end(), 1023), 32);
}

// Flat colour planes: whatever the step, every preview pixel must show the same colour, and
// nothing may be written past (width / step) × (height / step) pixels.
TEST(RawPipeline, PreviewSamplesOneCellPerBlockWithinTheBuffer)
{
    const int w = 26, h = 18;
    Mosaic m = bayer(
        w, h, [](int, int) { return 800; }, [](int x, int) { return 400 + (x % 2) * 2; },
        [](int, int) { return 100; });
    FakeFrame frame;
    frame.w = w;
    frame.h = h;
    frame.pixels = reinterpret_cast<unsigned char *>(m.data());
    const GammaTable t(2.2f);
    for (int step : { 0, 3, 7 }) {
        const std::size_t bytes = std::size_t(w / std::max(step, 2)) * (h / std::max(step, 2)) * 3;
        std::vector<unsigned char> out(bytes + 64, 0xa5);
        said([&] { demosaicPreview(frame, out.data(), step, 2.2f); });
        for (std::size_t i = 0; i < bytes; i += 3) {
            ASSERT_EQ(out[i], t[800]) << step << ": " << i;
            ASSERT_EQ(out[i + 1], t[401]) << step << ": " << i; // (400 + 402) >> 1
            ASSERT_EQ(out[i + 2], t[100]) << step << ": " << i;
        }
        EXPECT_EQ(std::count(out.begin() + bytes, out.end(), 0xa5), 64) << "overrun at " << step;
    }
}
