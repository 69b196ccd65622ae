#include "Fuser.h"

#include "AppTestSupport.h"
#include "support/PhoneAt.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

// Ramps across and down; red is constant within each UYVY pixel pair, whose chroma is shared.
Image<unsigned char> ramps(int aWidth, int aHeight)
{
    Image<unsigned char> rgb(aWidth, aHeight, 3);
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x) {
            rgb(x, y, 0) = static_cast<unsigned char>(x / 2 % 250);
            rgb(x, y, 1) = static_cast<unsigned char>(y % 241);
            rgb(x, y, 2) = 128;
        }
    return rgb;
}

} // namespace

// Long and short viewfinder settings → bracket label and number of photographs, with the middle
// one's settings when there are three; fixed: two photographs chosen by the user.
struct BracketCase
{
    int longExposure;
    float longGain;
    int shortExposure;
    bool fixed;
    int label, count, middleExposure = 0;
    float middleGain = 0;
};

using FuserBracket = ::testing::TestWithParam<BracketCase>;

TEST_P(FuserBracket, PublishesTheBracketAndPlansThatManyPhotographs)
{
    const BracketCase &c = GetParam();
    Fuser fuser(1296, 984, Opsa::UYVY, 3);
    std::vector<int> brackets, counts;
    QObject::connect(&fuser, &Fuser::exposureBracketChanged, [&](int s) { brackets.push_back(s); });
    QObject::connect(&fuser, &Fuser::numCapturesChanged, [&](int n) { counts.push_back(n); });
    if (c.fixed)
        fuser.setTwoShots();
    fuser.viewfinderShots[0].exposure = c.longExposure;
    fuser.viewfinderShots[0].gain = c.longGain;
    fuser.viewfinderShots[1].exposure = c.shortExposure;
    // An invalid frame changes nothing but the bracket is still published.
    fuser.meterViewfinder(fuser.viewfinderShots, Opsa::Frame(), 0, 33333, 32.0f, 125000, 0.5f);
    EXPECT_EQ(brackets, (std::vector<int> { c.label }));
    EXPECT_EQ(counts, (std::vector<int> { c.count }));

    // Automatic counting plans a fresh burst; a fixed count keeps the one being collected.
    fuser.frames.push_back(apptest::frameOf(Opsa::Image()));
    fuser.configureShots(fuser.viewfinderShots, 250000);
    ASSERT_EQ(fuser.burstShots.size(), std::size_t(c.count));
    EXPECT_EQ(fuser.frames.empty(), !c.fixed);
    // From the long exposure to the short one.
    const Opsa::Shot &first = fuser.burstShots.front(), &last = fuser.burstShots.back();
    EXPECT_EQ(first.exposure, c.longExposure);
    EXPECT_EQ(first.gain, c.longGain);
    EXPECT_EQ(last.exposure, c.count > 1 ? c.shortExposure : c.longExposure);
    EXPECT_EQ(last.frameTime, 250000);
    if (c.count == 3) {
        EXPECT_EQ(fuser.burstShots[1].exposure, c.middleExposure);
        EXPECT_FLOAT_EQ(fuser.burstShots[1].gain, c.middleGain);
    }
}

// 1.32, 1.58 and 2.5 stops sit on either side of the count's and the label's thresholds.
INSTANTIATE_TEST_SUITE_P(Products, FuserBracket,
    ::testing::Values(BracketCase { 8000, 1.0f, 1000, false, 3, 3, 2828, 1.0f },
        BracketCase { 2500, 1.0f, 1000, false, 1, 1 },
        BracketCase { 3000, 1.0f, 1000, false, 2, 2 },
        BracketCase { 1000, 5.657f, 1000, false, 3, 2 },
        BracketCase { 1000, 1.0f, 4000, false, 2, 2 }, // a brighter short end
        BracketCase { 40000, 4.0f, 2500, false, 6, 3, 10000, 2.0f },
        BracketCase { 8000, 1.0f, 1000, true, 3, 2 }));

// A settings slot (from a 1296 × 984 burst in the starting format), then the burst size and
// format and the size of a photograph's preview.
struct SettingCase
{
    int startFormat;
    void (Fuser::*slot)();
    int width, height, format, previewWidth, previewHeight;
};

using FuserSettings = ::testing::TestWithParam<SettingCase>;

TEST_P(FuserSettings, RebuildTheBurstAndSizeItsPreviews)
{
    const SettingCase &c = GetParam();
    Fuser fuser(1296, 984, c.startFormat, 3);
    fuser.frames.push_back(apptest::frameOf(Opsa::Image()));
    fuser.previews.push_back(Image<unsigned char>(4, 4, 3));
    (fuser.*c.slot)();
    ASSERT_EQ(fuser.burstShots.size(), 3u);
    for (const Opsa::Shot &shot : fuser.burstShots)
        EXPECT_TRUE(shot.image.size() == (Opsa::Size { c.width, c.height })
            && shot.image.type() == c.format
            && shot.image.data() == Opsa::Image::AllocateOnCapture);
    EXPECT_TRUE(fuser.frames.empty() && fuser.previews.empty());

    const Image<unsigned char> card = ramps(c.width, c.height);
    fuser.frames = { c.format == Opsa::RAW ? apptest::rawFrame(card) : apptest::yuvFrame(card) };
    fuser.loadPreviews();
    ASSERT_EQ(fuser.previews.size(), 1u);
    EXPECT_EQ(fuser.previews[0].width(), c.previewWidth);
    EXPECT_EQ(fuser.previews[0].height(), c.previewHeight);
}

// The raw preview takes one pixel per Bayer cell at least.
INSTANTIATE_TEST_SUITE_P(Slots, FuserSettings,
    ::testing::Values(
        SettingCase { Opsa::UYVY, &Fuser::setResMed, 1296, 984, Opsa::UYVY, 648, 492 },
        SettingCase { Opsa::UYVY, &Fuser::setResLow, 640, 480, Opsa::UYVY, 640, 480 },
        SettingCase { Opsa::UYVY, &Fuser::setResHigh, 2592, 1968, Opsa::UYVY, 648, 492 },
        SettingCase { Opsa::UYVY, &Fuser::setFormatRaw, 1296, 984, Opsa::RAW, 648, 492 },
        SettingCase { Opsa::RAW, &Fuser::setResLow, 640, 480, Opsa::RAW, 320, 240 },
        SettingCase { Opsa::RAW, &Fuser::setFormatRgb, 1296, 984, Opsa::UYVY, 648, 492 }));

TEST(Fuser, PreviewsSkipFramesThatDoNotFitTheBurst)
{
    Fuser fuser(64, 48, Opsa::UYVY, 3);
    // A 64 × 48 window of a wider frame is read with that frame's row stride.
    const Opsa::Frame wide = apptest::yuvFrame(ramps(96, 48));
    fuser.frames = { apptest::frameOf(Opsa::Image(wide.image(), 16, 0, 64, 48)),
        apptest::flatYuvFrame(1296, 984, 100), apptest::rawFrame(ramps(64, 48)),
        apptest::frameOf(Opsa::Image(64, 48, Opsa::UYVY, Opsa::Image::AllocateOnCapture)) };
    fuser.computePreview();
    ASSERT_EQ(fuser.previews.size(), 1u);
    EXPECT_NEAR(fuser.previews[0](10, 20, 0), 13, 2);
    EXPECT_NEAR(fuser.previews[0](10, 20, 1), 20, 2);
    EXPECT_EQ(fuser.previewResult.width(), 64);

    fuser.frames.clear();
    fuser.previews.clear();
    fuser.computePreview(); // nothing to fuse
    EXPECT_TRUE(fuser.previewResult.empty());
}

TEST(Fuser, TheQuickPreviewOfARealBurstIsRegisteredAndFused)
{
    REQUIRE_DATA_FILE("Flowers/Flowers1.jpg");
    // Capture order, long exposure first: windows of the photographs, the middle one moved by
    // (8, 6) pixels against the others.
    Fuser fuser(1064, 708, Opsa::UYVY, 3);
    for (const char *name :
        { "Flowers/Flowers3.jpg", "Flowers/Flowers2.jpg", "Flowers/Flowers1.jpg" }) {
        const Image<unsigned char> photo(testsupport::dataFile(name).c_str(), 0);
        const int shift = fuser.frames.size() == 1 ? 0 : 1;
        fuser.frames.push_back(apptest::frameOf(
            Opsa::Image(apptest::yuvFrame(photo).image(), 8 * shift, 6 * shift, 1064, 708)));
    }
    fuser.loadPreviews();
    ASSERT_EQ(fuser.previews.size(), 3u);
    std::vector<Image<unsigned char>> shown;
    for (const Image<unsigned char> &preview : fuser.previews)
        shown.push_back(preview.clone());
    fuser.computePreview();
    const int pw = 532, ph = 354;
    ASSERT_EQ(fuser.previewResult.width(), pw);

    // Registered back by (4, 3) preview pixels, away from the uncovered band; the fusion works on
    // copies, so the shown previews stay as they were.
    double difference = 0;
    for (int y = 8; y < ph - 8; ++y)
        for (int x = 8; x < pw - 8; ++x)
            for (int c = 0; c < 3; ++c) {
                difference += std::abs(fuser.previews[1](x, y, c) - shown[1](x + 4, y + 3, c));
                ASSERT_EQ(fuser.previews[0](x, y, c), shown[0](x, y, c));
            }
    EXPECT_LT(difference / ((pw - 16) * (ph - 16) * 3), 1.0);
}

TEST(Fuser, QueuedBurstsBecomeMergeJobs)
{
    testsupport::TempDir root;
    testsupport::PhoneAt phone(root.path());
    Fuser fuser(16, 12, Opsa::UYVY, 2);
    fuser.frames = { apptest::flatYuvFrame(16, 12, 150), apptest::flatYuvFrame(16, 12, 60) };
    fuser.setSaveInputsOn();
    fuser.queueMergeJob();
    fuser.asyncFuser.wait();
    const std::vector<std::string> files = fuser.lastJob->files;
    ASSERT_EQ(files.size(), 3u);

    // The user deleted that burst: its files go when the next one replaces it. (Its inputs are
    // checked: the next burst, which saves none, may reuse the result's name within a minute.)
    fuser.lastJob->deleted = true;
    fuser.setSaveInputsOff();
    fuser.queueMergeJob();
    EXPECT_FALSE(testsupport::fileExists(files[0]) || testsupport::fileExists(files[1]));
    fuser.asyncFuser.wait();
}
