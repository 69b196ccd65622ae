#include "Fuser.h"

#include "AppTestSupport.h"
#include "support/TestSupport.h"

#include <Opsa/Action.h>
#include <Opsa/Ketto/Frame.h>
#include <Opsa/Ketto/PhonePath.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>

using apptest::LogCapture;

namespace {

// Records what a Fuser publishes (it emits from the caller's thread here).
struct Published
{
    explicit Published(Fuser &aFuser)
    {
        QObject::connect(&aFuser, &Fuser::exposureBracketChanged,
            [this](int aStops) { brackets.push_back(aStops); });
        QObject::connect(
            &aFuser, &Fuser::numCapturesChanged, [this](int aCount) { counts.push_back(aCount); });
    }
    std::vector<int> brackets;
    std::vector<int> counts;
};

void setShot(Opsa::Shot &aShot, int aExposure, float aGain, int aWhiteBalance = 5000)
{
    aShot.exposure = aExposure;
    aShot.gain = aGain;
    aShot.whiteBalance = aWhiteBalance;
}

struct NoAction : Opsa::Action
{
    void perform() override { }
    Opsa::Action *clone() const override { return new NoAction(*this); }
};

// An RGB test card: ramps across and down, so that a preview shows which source pixel it
// took. Red is constant within each UYVY pixel pair, whose chroma is shared.
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

// A viewfinder frame without a usable histogram: metering changes nothing, but still publishes.
const Opsa::Frame KNoHistogram {};

// The preview demosaic's gamma curve (2.2) over 10-bit samples.
int gammaOf(int aSample)
{
    const float v = std::pow(float(aSample) / 1024.0f, 1.0f / 2.2f) * 256.0f;
    return std::min(255, int(std::floor(double(v) + 0.5)));
}

} // namespace

TEST(Fuser, StartsWithTwoViewfinderShotsOfTheirOwnAndAutomaticCounting)
{
    Fuser fuser(2592, 1968, Opsa::UYVY, 3);
    ASSERT_EQ(fuser.viewfinderShots.size(), 2u);
    for (const Opsa::Shot &shot : fuser.viewfinderShots) {
        EXPECT_EQ(shot.image.size(), (Opsa::Size { 640, 480 }));
        EXPECT_EQ(shot.image.type(), Opsa::UYVY);
        EXPECT_TRUE(shot.image.hasData());
        EXPECT_EQ(shot.exposure, 10000);
        EXPECT_EQ(shot.frameTime, 10000);
        EXPECT_FLOAT_EQ(shot.gain, 1.0f);
        EXPECT_TRUE(shot.histogram.enabled);
        EXPECT_EQ(shot.histogram.region, (Opsa::Rect { 0, 0, 640, 480 }));
        EXPECT_EQ(shot.histogram.buckets, 64);
        EXPECT_TRUE(shot.sharpness.enabled);
        EXPECT_EQ(shot.sharpness.size, (Opsa::Size { 16, 12 }));
    }
    // The capture screen shows each exposure from its own buffer.
    EXPECT_NE(fuser.viewfinderShots[0].image.data(), fuser.viewfinderShots[1].image.data());
    ASSERT_EQ(fuser.burstShots.size(), 3u);
    for (const Opsa::Shot &shot : fuser.burstShots) {
        EXPECT_EQ(shot.image.size(), (Opsa::Size { 2592, 1968 }));
        EXPECT_EQ(shot.image.type(), Opsa::UYVY);
        EXPECT_EQ(shot.image.data(), Opsa::Image::AllocateOnCapture);
    }
    EXPECT_EQ(fuser.expComp, (std::vector<float> { 1.0f, 1.0f }));
    EXPECT_EQ(fuser.baseExposures, (std::vector<int> { 1, 1 }));
    EXPECT_TRUE(fuser.autoShots);
    EXPECT_FALSE(fuser.saveInputs);
    EXPECT_EQ(fuser.lastJob, nullptr);
}

// Long and short viewfinder products → bracket label and number of photographs.
struct BracketCase
{
    int longExposure;
    float longGain;
    int shortExposure;
    int label;
    int count;
};

class FuserBracket : public ::testing::TestWithParam<BracketCase>
{
};

TEST_P(FuserBracket, PublishesTheBracketAndPlansThatManyPhotographs)
{
    const BracketCase &c = GetParam();
    Fuser fuser(1296, 984, Opsa::UYVY, 3);
    Published published(fuser);
    setShot(fuser.viewfinderShots[0], c.longExposure, c.longGain, 4100);
    setShot(fuser.viewfinderShots[1], c.shortExposure, 1.0f, 6500);
    EXPECT_FALSE(
        fuser.meterViewfinder(fuser.viewfinderShots, KNoHistogram, 0, 33333, 32.0f, 125000, 0.5f));
    EXPECT_EQ(published.brackets, (std::vector<int> { c.label }));
    EXPECT_EQ(published.counts, (std::vector<int> { c.count }));
    EXPECT_EQ(fuser.baseExposures, (std::vector<int> { c.longExposure, c.shortExposure }));

    fuser.frames.push_back(apptest::emptyFrame());
    fuser.configureShots(fuser.viewfinderShots, 250000);
    EXPECT_EQ(fuser.numShots, c.count);
    ASSERT_EQ(fuser.burstShots.size(), std::size_t(c.count));
    EXPECT_TRUE(fuser.frames.empty());
    // The burst runs from the long exposure to the short one.
    const Opsa::Shot &first = fuser.burstShots.front();
    EXPECT_EQ(first.exposure, c.longExposure);
    EXPECT_FLOAT_EQ(first.gain, c.longGain);
    EXPECT_EQ(first.whiteBalance, 4100);
    EXPECT_EQ(first.frameTime, 250000);
    if (c.count > 1) {
        const Opsa::Shot &last = fuser.burstShots.back();
        EXPECT_EQ(last.exposure, c.shortExposure);
        EXPECT_FLOAT_EQ(last.gain, 1.0f);
        EXPECT_EQ(last.whiteBalance, 6500);
        EXPECT_EQ(last.frameTime, 250000);
    }
    for (const Opsa::Shot &shot : fuser.burstShots)
        EXPECT_EQ(shot.image.data(), Opsa::Image::AllocateOnCapture);
}

INSTANTIATE_TEST_SUITE_P(Products, FuserBracket,
    ::testing::Values(BracketCase { 8000, 1.0f, 1000, 3, 3 }, // 3 stops exactly
        BracketCase { 2000, 1.0f, 1000, 1, 1 }, BracketCase { 4000, 1.0f, 1000, 2, 2 },
        BracketCase { 2500, 1.0f, 1000, 1, 1 }, // 1.32 stops
        BracketCase { 3000, 1.0f, 1000, 2, 2 }, // 1.58 stops: label 2, two photographs
        BracketCase { 1000, 5.657f, 1000, 3, 2 }, // 2.5 stops: label 3, two photographs
        BracketCase { 32000, 2.0f, 1000, 6, 3 },
        // A short end brighter than the long one still measures the bracket's width.
        BracketCase { 1000, 1.0f, 4000, 2, 2 }));

TEST(Fuser, TheMiddlePhotographIsTheGeometricMean)
{
    Fuser fuser(640, 480, Opsa::UYVY, 3);
    setShot(fuser.viewfinderShots[0], 40000, 4.0f, 4000);
    setShot(fuser.viewfinderShots[1], 2500, 1.0f, 6000);
    fuser.configureShots(fuser.viewfinderShots, 500000);
    ASSERT_EQ(fuser.burstShots.size(), 3u);
    const Opsa::Shot &middle = fuser.burstShots[1];
    EXPECT_EQ(middle.exposure, 10000);
    EXPECT_FLOAT_EQ(middle.gain, 2.0f);
    EXPECT_EQ(middle.whiteBalance, 6000);
    EXPECT_EQ(middle.frameTime, 500000);
}

TEST(Fuser, AFixedCountKeepsItsShotsAndStopsPublishingTheCount)
{
    Fuser fuser(1296, 984, Opsa::UYVY, 3);
    Published published(fuser);
    fuser.setTwoShots();
    EXPECT_FALSE(fuser.autoShots);
    EXPECT_EQ(fuser.numShots, 2);
    EXPECT_EQ(published.counts, (std::vector<int> { 2 }));
    ASSERT_EQ(fuser.burstShots.size(), 2u);

    setShot(fuser.viewfinderShots[0], 8000, 1.0f);
    setShot(fuser.viewfinderShots[1], 1000, 1.0f);
    fuser.meterViewfinder(fuser.viewfinderShots, KNoHistogram, 1, 33333, 32.0f, 125000, 0.5f);
    fuser.applyExposureCompensation(fuser.viewfinderShots);
    EXPECT_EQ(published.brackets.size(), 2u);
    EXPECT_EQ(published.counts, (std::vector<int> { 2 }));

    // The shots built by the last rebuild are reused, with their ids and anything collected.
    const int firstId = fuser.burstShots[0].id;
    fuser.burstShots[1].addAction(NoAction());
    fuser.frames.push_back(apptest::emptyFrame());
    fuser.configureShots(fuser.viewfinderShots, 250000);
    ASSERT_EQ(fuser.burstShots.size(), 2u);
    EXPECT_EQ(fuser.burstShots[0].id, firstId);
    EXPECT_EQ(fuser.burstShots[0].exposure, 8000);
    EXPECT_EQ(fuser.burstShots[1].exposure, 1000);
    EXPECT_TRUE(fuser.burstShots[1].actions().empty());
    EXPECT_EQ(fuser.frames.size(), 1u);

    fuser.setThreeShots();
    EXPECT_EQ(published.counts, (std::vector<int> { 2, 3 }));
    EXPECT_EQ(fuser.burstShots.size(), 3u);
    fuser.setAutoShots();
    EXPECT_TRUE(fuser.autoShots);
    EXPECT_EQ(published.counts.size(), 2u);
    EXPECT_EQ(fuser.burstShots.size(), 3u);
    fuser.meterViewfinder(fuser.viewfinderShots, KNoHistogram, 1, 33333, 32.0f, 125000, 0.5f);
    EXPECT_EQ(published.counts, (std::vector<int> { 2, 3, 3 }));
}

// A settings slot and the size and format it leaves the burst shots in.
struct SettingCase
{
    void (Fuser::*slot)();
    int width;
    int height;
    int format;
};

class FuserSettings : public ::testing::TestWithParam<SettingCase>
{
};

TEST_P(FuserSettings, RebuildTheBurstShotsAndEmptyTheBurst)
{
    const SettingCase &c = GetParam();
    Fuser fuser(1296, 984, Opsa::UYVY, 3);
    fuser.setResHigh();
    fuser.frames.push_back(apptest::emptyFrame());
    fuser.previews.push_back(Image<unsigned char>(4, 4, 3));
    fuser.previewResult = Image<unsigned char>(4, 4, 3);
    (fuser.*c.slot)();
    EXPECT_EQ(fuser.width, c.width);
    EXPECT_EQ(fuser.height, c.height);
    EXPECT_EQ(fuser.format, c.format);
    ASSERT_EQ(fuser.burstShots.size(), 3u);
    for (const Opsa::Shot &shot : fuser.burstShots) {
        EXPECT_EQ(shot.image.size(), (Opsa::Size { c.width, c.height }));
        EXPECT_EQ(shot.image.type(), c.format);
        EXPECT_EQ(shot.image.data(), Opsa::Image::AllocateOnCapture);
    }
    EXPECT_TRUE(fuser.frames.empty());
    EXPECT_TRUE(fuser.previews.empty());
    EXPECT_TRUE(fuser.previewResult.empty());
}

INSTANTIATE_TEST_SUITE_P(Slots, FuserSettings,
    ::testing::Values(SettingCase { &Fuser::setResLow, 640, 480, Opsa::UYVY },
        SettingCase { &Fuser::setResMed, 1296, 984, Opsa::UYVY },
        SettingCase { &Fuser::setResHigh, 2592, 1968, Opsa::UYVY },
        SettingCase { &Fuser::setFormatRaw, 2592, 1968, Opsa::RAW },
        SettingCase { &Fuser::setFormatRgb, 2592, 1968, Opsa::UYVY }));

TEST(Fuser, ManualCompensationScalesTheMeteredExposures)
{
    Fuser fuser(640, 480, Opsa::UYVY, 3);
    Published published(fuser);
    setShot(fuser.viewfinderShots[0], 30001, 2.0f);
    setShot(fuser.viewfinderShots[1], 1000, 1.0f);
    fuser.meterViewfinder(fuser.viewfinderShots, KNoHistogram, 0, 33333, 32.0f, 125000, 0.5f);
    fuser.setExpComp(0, 0.5f);
    fuser.setExpComp(1, 4.0f);
    fuser.setExpComp(2, 8.0f); // no such shot
    fuser.setExpComp(-1, 8.0f);
    fuser.applyExposureCompensation(fuser.viewfinderShots);
    EXPECT_EQ(fuser.viewfinderShots[0].exposure, 15000);
    EXPECT_FLOAT_EQ(fuser.viewfinderShots[0].gain, 2.0f);
    EXPECT_EQ(fuser.viewfinderShots[1].exposure, 4000);
    // 30 000 : 4 000 is 2.9 stops.
    EXPECT_EQ(published.brackets.back(), 3);
    EXPECT_EQ(published.counts.back(), 2);

    // Compensation always starts from the metered exposures, not from the last compensated.
    fuser.applyExposureCompensation(fuser.viewfinderShots);
    EXPECT_EQ(fuser.viewfinderShots[0].exposure, 15000);
    fuser.setAutoExposure();
    EXPECT_EQ(fuser.expComp, (std::vector<float> { 1.0f, 1.0f }));
    fuser.applyExposureCompensation(fuser.viewfinderShots);
    EXPECT_EQ(fuser.viewfinderShots[0].exposure, 30001);
}

// Photograph size and format → preview size.
struct PreviewCase
{
    int width;
    int height;
    int format;
    int previewWidth;
    int previewHeight;
};

class FuserPreviews : public ::testing::TestWithParam<PreviewCase>
{
};

TEST_P(FuserPreviews, AreDownscaledByAWholeFactor)
{
    const PreviewCase &c = GetParam();
    Fuser fuser(c.width, c.height, c.format, 3);
    const Image<unsigned char> card = ramps(c.width, c.height);
    fuser.frames.push_back(
        c.format == Opsa::RAW ? apptest::rawFrame(card) : apptest::yuvFrame(card));
    fuser.loadPreviews();
    ASSERT_EQ(fuser.previews.size(), 1u);
    const Image<unsigned char> &preview = fuser.previews[0];
    ASSERT_EQ(preview.width(), c.previewWidth);
    ASSERT_EQ(preview.height(), c.previewHeight);
    ASSERT_EQ(preview.channels(), 3);
    const int factor = c.width / c.previewWidth;
    for (int y = 0; y < c.previewHeight; y += 7)
        for (int x = 0; x < c.previewWidth; x += 5) {
            if (c.format == Opsa::RAW) {
                // Red comes from the red site of the block's Bayer cell, blue from its blue
                // site (the card's blue is 128 everywhere).
                const int cellX = (x * factor) & ~1, cellY = (y * factor) & ~1;
                EXPECT_NEAR(preview(x, y, 0), gammaOf(card(cellX + 1, cellY, 0) * 4 + 2), 1)
                    << x << "," << y;
                EXPECT_EQ(preview(x, y, 2), gammaOf(128 * 4 + 2)) << x << "," << y;
                continue;
            }
            // Each preview pixel pair comes from one source pair, every factor-th pair of every
            // factor-th row.
            const int sourceX = x / 2 * 2 * factor + x % 2, sourceY = y * factor;
            EXPECT_NEAR(preview(x, y, 0), card(sourceX, sourceY, 0), 2) << x << "," << y;
            EXPECT_NEAR(preview(x, y, 1), card(sourceX, sourceY, 1), 2) << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FuserPreviews,
    ::testing::Values(PreviewCase { 1296, 984, Opsa::UYVY, 648, 492 },
        PreviewCase { 640, 480, Opsa::UYVY, 640, 480 },
        PreviewCase { 2592, 1968, Opsa::UYVY, 648, 492 },
        PreviewCase { 1296, 984, Opsa::RAW, 648, 492 },
        // A raw preview takes one pixel per Bayer cell: half size even at the low resolution.
        PreviewCase { 640, 480, Opsa::RAW, 320, 240 }));

TEST(Fuser, PreviewsFollowTheFramesOwnRowStride)
{
    Fuser fuser(64, 48, Opsa::UYVY, 1);
    const Opsa::Frame wide = apptest::yuvFrame(ramps(96, 48));
    // A 64 × 48 window of a 96-pixel-wide frame.
    auto body = std::make_shared<Opsa::Ketto::_Frame>();
    body->image = Opsa::Image(wide.image(), 16, 0, 64, 48);
    fuser.frames.push_back(Opsa::Frame(std::shared_ptr<Opsa::_Frame>(body)));
    fuser.loadPreviews();
    ASSERT_EQ(fuser.previews.size(), 1u);
    for (int y = 0; y < 48; y += 5)
        EXPECT_NEAR(fuser.previews[0](10, y, 1), y % 241, 2) << y;
    EXPECT_NEAR(fuser.previews[0](10, 20, 0), 13, 2);
}

TEST(Fuser, SkipsFramesThatDoNotFitTheBurst)
{
    LogCapture log;
    Fuser fuser(640, 480, Opsa::UYVY, 3);
    fuser.frames = { apptest::flatYuvFrame(640, 480, 100), apptest::flatYuvFrame(1296, 984, 100),
        apptest::emptyFrame(), Opsa::Frame(), apptest::rawFrame(ramps(640, 480)),
        apptest::flatYuvFrame(640, 480, 200) };
    // A frame of the right size whose pixels were never delivered.
    auto body = std::make_shared<Opsa::Ketto::_Frame>();
    body->image = Opsa::Image(640, 480, Opsa::UYVY, Opsa::Image::AllocateOnCapture);
    fuser.frames.push_back(Opsa::Frame(std::shared_ptr<Opsa::_Frame>(body)));

    fuser.loadPreviews();
    ASSERT_EQ(fuser.previews.size(), 2u);
    EXPECT_EQ(fuser.previews[0](5, 5, 1), 100);
    EXPECT_EQ(fuser.previews[1](5, 5, 1), 200);
    EXPECT_EQ(log.count("Image size:  1296 x 984  incompatible with  640 x 480 . Skipping"), 1);
    EXPECT_EQ(log.count("Image size:  0 x 0  incompatible with  640 x 480 . Skipping"), 2);
    EXPECT_EQ(log.count("Image format:  4  incompatible with  2 . Skipping"), 1);
    EXPECT_EQ(log.count("Frame without pixels. Skipping"), 1);
    EXPECT_TRUE(log.contains("Time to load previews: "));

    // Loading again starts afresh.
    fuser.loadPreviews();
    EXPECT_EQ(fuser.previews.size(), 2u);
}

TEST(Fuser, APreviewOfNothingIsEmpty)
{
    LogCapture log;
    Fuser fuser(640, 480, Opsa::UYVY, 3);
    fuser.previewResult = Image<unsigned char>(4, 4, 3);
    fuser.computePreview();
    EXPECT_TRUE(fuser.previewResult.empty());
    EXPECT_EQ(log.count("No previews to fuse"), 1);
}

TEST(Fuser, AFlatBurstFusesToItself)
{
    LogCapture log;
    Fuser fuser(64, 48, Opsa::UYVY, 3);
    for (int i = 0; i < 3; ++i)
        fuser.frames.push_back(apptest::flatYuvFrame(64, 48, 120));
    fuser.computePreview();
    ASSERT_EQ(fuser.previews.size(), 3u);
    ASSERT_EQ(fuser.previewResult.width(), 64);
    ASSERT_EQ(fuser.previewResult.height(), 48);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            ASSERT_NEAR(fuser.previewResult(x, y, 1), 120, 1) << x << "," << y;
    EXPECT_TRUE(log.contains("PREVIEW: Registration time: "));
    EXPECT_TRUE(log.contains("PREVIEW: Fusion time: "));
    EXPECT_EQ(log.count("Registration failed"), 0);
}

namespace {

// A copy of aImage moved right by aDx and down by aDy pixels, the uncovered band black.
Image<unsigned char> shifted(const Image<unsigned char> &aImage, int aDx, int aDy)
{
    Image<unsigned char> out(aImage.width(), aImage.height(), 3);
    for (int y = aDy; y < aImage.height(); ++y)
        for (int x = aDx; x < aImage.width(); ++x)
            for (int c = 0; c < 3; ++c)
                out(x, y, c) = aImage(x - aDx, y - aDy, c);
    return out;
}

// Mean absolute difference of the interior (a margin of aMargin pixels left out).
double meanDifference(const Image<unsigned char> &aA, const Image<unsigned char> &aB, int aMargin)
{
    double sum = 0;
    long n = 0;
    for (int y = aMargin; y < aA.height() - aMargin; ++y)
        for (int x = aMargin; x < aA.width() - aMargin; ++x)
            for (int c = 0; c < 3; ++c, ++n)
                sum += std::abs(int(aA(x, y, c)) - int(aB(x, y, c)));
    return sum / double(n);
}

double meanLevel(const Image<unsigned char> &aImage)
{
    double sum = 0;
    for (int y = 0; y < aImage.height(); ++y)
        for (int x = 0; x < aImage.width(); ++x)
            for (int c = 0; c < 3; ++c)
                sum += aImage(x, y, c);
    return sum / (3.0 * aImage.width() * aImage.height());
}

} // namespace

TEST(Fuser, TheQuickPreviewOfARealBurstIsRegisteredAndFused)
{
    REQUIRE_SHARED_DATA();
    LogCapture log;
    // Capture order: long exposure first. The middle photograph moved by (8, 6) pixels, which
    // is (4, 3) in the half-size previews.
    std::vector<Image<unsigned char>> photos;
    for (const char *name :
        { "Flowers/Flowers3.jpg", "Flowers/Flowers2.jpg", "Flowers/Flowers1.jpg" }) {
        photos.emplace_back(testsupport::dataFile(name).c_str(), 0);
        ASSERT_FALSE(photos.back().empty()) << name;
    }
    const int w = photos[0].width(), h = photos[0].height();
    ASSERT_LE(w, 1296);
    Fuser fuser(w, h, Opsa::UYVY, 3);
    fuser.frames = { apptest::yuvFrame(photos[0]), apptest::yuvFrame(shifted(photos[1], 8, 6)),
        apptest::yuvFrame(photos[2]) };

    Fuser truth(w, h, Opsa::UYVY, 3);
    truth.frames = { apptest::yuvFrame(photos[0]), apptest::yuvFrame(photos[1]),
        apptest::yuvFrame(photos[2]) };
    truth.loadPreviews();

    fuser.loadPreviews();
    const Image<unsigned char> reference = fuser.previews[0].clone();
    const double before = meanDifference(fuser.previews[1], truth.previews[1], 8);
    fuser.computePreview();
    ASSERT_EQ(fuser.previews.size(), 3u);
    const double after = meanDifference(fuser.previews[1], truth.previews[1], 8);
    EXPECT_LT(after, before / 4) << before << " → " << after;
    EXPECT_LT(after, 1.0);
    // The fusion works on copies: the previews the result browser shows stay as they were.
    EXPECT_EQ(meanDifference(fuser.previews[0], reference, 0), 0.0);

    const Image<unsigned char> &result = fuser.previewResult;
    ASSERT_EQ(result.width(), w / 2);
    ASSERT_EQ(result.height(), h / 2);
    ASSERT_EQ(result.channels(), 3);
    const double darkest = meanLevel(truth.previews[2]), brightest = meanLevel(truth.previews[0]);
    EXPECT_GT(meanLevel(result), darkest);
    EXPECT_LT(meanLevel(result), brightest);
    EXPECT_EQ(log.count("Registration failed"), 0);
}

TEST(Fuser, QueuedBurstsBecomeMergeJobs)
{
    testsupport::TempDir root;
    Opsa::Ketto::setPhoneRoot(root.path());
    LogCapture log;
    {
        Fuser fuser(16, 12, Opsa::UYVY, 2);
        fuser.frames = { apptest::flatYuvFrame(16, 12, 150), apptest::flatYuvFrame(16, 12, 60) };
        fuser.setSaveInputsOn();
        fuser.queueMergeJob();
        ASSERT_NE(fuser.lastJob, nullptr);
        EXPECT_TRUE(fuser.lastJob->saveInputs);
        // The Fuser keeps its burst until the next one is planned.
        EXPECT_EQ(fuser.frames.size(), 2u);
        fuser.asyncFuser.wait();
        std::weak_ptr<AsyncFuser::Job> first = fuser.lastJob;
        const std::vector<std::string> files = fuser.lastJob->files;
        ASSERT_EQ(files.size(), 3u);
        for (const std::string &file : files)
            EXPECT_TRUE(testsupport::fileExists(file)) << file;

        // The user deletes the burst: its files go once the next burst replaces it.
        fuser.lastJob->deleted = true;
        fuser.setSaveInputsOff();
        fuser.queueMergeJob();
        EXPECT_TRUE(first.expired());
        for (const std::string &file : files)
            EXPECT_FALSE(testsupport::fileExists(file)) << file;
        EXPECT_FALSE(fuser.lastJob->saveInputs);
        fuser.asyncFuser.wait();
        ASSERT_EQ(fuser.lastJob->files.size(), 1u);
        EXPECT_TRUE(testsupport::fileExists(fuser.lastJob->files[0]));
    }
    EXPECT_EQ(log.count("STARTING ASYNC THREAD"), 2);
    Opsa::Ketto::setPhoneRoot(std::string());
}
