#include "Fuser.h"

#include "AppTestSupport.h"
#include "support/TestSupport.h"

#include <Opsa/Ketto/Frame.h>
#include <Opsa/Ketto/PhonePath.h>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>

using apptest::LogCapture;

namespace {

// What a Fuser publishes (emitted from the caller's thread here).
struct Published
{
    explicit Published(Fuser &aFuser)
    {
        QObject::connect(&aFuser, &Fuser::exposureBracketChanged,
            [this](int aStops) { brackets.push_back(aStops); });
        QObject::connect(
            &aFuser, &Fuser::numCapturesChanged, [this](int aCount) { counts.push_back(aCount); });
    }
    std::vector<int> brackets, counts;
};

void setShot(Opsa::Shot &aShot, int aExposure, float aGain, int aWhiteBalance = 5000)
{
    aShot.exposure = aExposure;
    aShot.gain = aGain;
    aShot.whiteBalance = aWhiteBalance;
}

// Metering an invalid frame changes nothing but still publishes the bracket.
void publish(Fuser &aFuser)
{
    aFuser.meterViewfinder(aFuser.viewfinderShots, Opsa::Frame(), 0, 33333, 32.0f, 125000, 0.5f);
}

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

Opsa::Frame frameOf(const Opsa::Image &aImage)
{
    auto body = std::make_shared<Opsa::Ketto::_Frame>();
    body->image = aImage;
    return Opsa::Frame(std::shared_ptr<Opsa::_Frame>(body));
}

} // namespace

// Long and short viewfinder settings → bracket label and number of photographs.
struct BracketCase
{
    int longExposure;
    float longGain;
    int shortExposure, label, count;
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
    publish(fuser);
    EXPECT_EQ(published.brackets, (std::vector<int> { c.label }));
    EXPECT_EQ(published.counts, (std::vector<int> { c.count }));
    EXPECT_EQ(fuser.baseExposures, (std::vector<int> { c.longExposure, c.shortExposure }));

    fuser.frames.push_back(apptest::emptyFrame());
    fuser.configureShots(fuser.viewfinderShots, 250000);
    ASSERT_EQ(fuser.burstShots.size(), std::size_t(c.count));
    EXPECT_TRUE(fuser.frames.empty());
    // From the long exposure to the short one.
    const Opsa::Shot &first = fuser.burstShots.front(), &last = fuser.burstShots.back();
    EXPECT_EQ(first.exposure, c.longExposure);
    EXPECT_EQ(first.gain, c.longGain);
    EXPECT_EQ(first.whiteBalance, 4100);
    EXPECT_EQ(last.exposure, c.count > 1 ? c.shortExposure : c.longExposure);
    EXPECT_EQ(last.whiteBalance, c.count > 1 ? 6500 : 4100);
    for (const Opsa::Shot &shot : fuser.burstShots) {
        EXPECT_EQ(shot.frameTime, 250000);
        EXPECT_EQ(shot.image.data(), Opsa::Image::AllocateOnCapture);
    }
}

INSTANTIATE_TEST_SUITE_P(Products, FuserBracket,
    ::testing::Values(BracketCase { 8000, 1.0f, 1000, 3, 3 },
        BracketCase { 2000, 1.0f, 1000, 1, 1 }, BracketCase { 4000, 1.0f, 1000, 2, 2 },
        BracketCase { 2500, 1.0f, 1000, 1, 1 },
        BracketCase { 3000, 1.0f, 1000, 2, 2 }, // 1.58 stops
        BracketCase { 1000, 5.657f, 1000, 3, 2 }, // 2.5 stops
        BracketCase { 1000, 1.0f, 4000, 2, 2 })); // a brighter short end

TEST(Fuser, TheMiddlePhotographIsTheGeometricMean)
{
    Fuser fuser(640, 480, Opsa::UYVY, 3);
    setShot(fuser.viewfinderShots[0], 40000, 4.0f, 4000);
    setShot(fuser.viewfinderShots[1], 2500, 1.0f, 6000);
    fuser.configureShots(fuser.viewfinderShots, 500000);
    ASSERT_EQ(fuser.burstShots.size(), 3u);
    EXPECT_EQ(fuser.burstShots[1].exposure, 10000);
    EXPECT_FLOAT_EQ(fuser.burstShots[1].gain, 2.0f);
    EXPECT_EQ(fuser.burstShots[1].whiteBalance, 6000);
}

TEST(Fuser, AFixedCountKeepsItsShotsAndStopsPublishingTheCount)
{
    Fuser fuser(1296, 984, Opsa::UYVY, 3);
    Published published(fuser);
    fuser.setTwoShots();
    setShot(fuser.viewfinderShots[0], 8000, 1.0f);
    setShot(fuser.viewfinderShots[1], 1000, 1.0f);
    publish(fuser);
    fuser.applyExposureCompensation(fuser.viewfinderShots);
    EXPECT_EQ(published.brackets, (std::vector<int> { 3, 3 }));
    EXPECT_EQ(published.counts, (std::vector<int> { 2 }));

    const int firstId = fuser.burstShots[0].id;
    fuser.frames.push_back(apptest::emptyFrame());
    fuser.configureShots(fuser.viewfinderShots, 250000);
    ASSERT_EQ(fuser.burstShots.size(), 2u);
    EXPECT_EQ(fuser.burstShots[0].id, firstId);
    EXPECT_EQ(fuser.burstShots[1].exposure, 1000);
    EXPECT_EQ(fuser.frames.size(), 1u);

    fuser.setThreeShots();
    fuser.setAutoShots();
    publish(fuser);
    EXPECT_EQ(published.counts, (std::vector<int> { 2, 3, 3 }));
}

TEST(Fuser, ManualCompensationStartsFromTheMeteredExposures)
{
    Fuser fuser(640, 480, Opsa::UYVY, 3);
    setShot(fuser.viewfinderShots[0], 30001, 2.0f);
    publish(fuser);
    fuser.setExpComp(0, 0.5f);
    fuser.setExpComp(2, 8.0f); // no such shot
    fuser.applyExposureCompensation(fuser.viewfinderShots);
    fuser.applyExposureCompensation(fuser.viewfinderShots);
    EXPECT_EQ(fuser.viewfinderShots[0].exposure, 15000);
    EXPECT_EQ(fuser.viewfinderShots[0].gain, 2.0f);
    fuser.setAutoExposure();
    fuser.applyExposureCompensation(fuser.viewfinderShots);
    EXPECT_EQ(fuser.viewfinderShots[0].exposure, 30001);
}

struct SettingCase
{
    void (Fuser::*slot)();
    int width, height, format;
};

class FuserSettings : public ::testing::TestWithParam<SettingCase>
{
};

TEST_P(FuserSettings, RebuildTheBurstShotsAndEmptyTheBurst)
{
    const SettingCase &c = GetParam();
    Fuser fuser(2592, 1968, Opsa::UYVY, 3);
    fuser.frames.push_back(apptest::emptyFrame());
    fuser.previews.push_back(Image<unsigned char>(4, 4, 3));
    fuser.previewResult = Image<unsigned char>(4, 4, 3);
    (fuser.*c.slot)();
    ASSERT_EQ(fuser.burstShots.size(), 3u);
    for (const Opsa::Shot &shot : fuser.burstShots) {
        EXPECT_EQ(shot.image.size(), (Opsa::Size { c.width, c.height }));
        EXPECT_EQ(shot.image.type(), c.format);
        EXPECT_EQ(shot.image.data(), Opsa::Image::AllocateOnCapture);
    }
    EXPECT_TRUE(fuser.frames.empty() && fuser.previews.empty() && fuser.previewResult.empty());
}

INSTANTIATE_TEST_SUITE_P(Slots, FuserSettings,
    ::testing::Values(SettingCase { &Fuser::setResLow, 640, 480, Opsa::UYVY },
        SettingCase { &Fuser::setResMed, 1296, 984, Opsa::UYVY },
        SettingCase { &Fuser::setResHigh, 2592, 1968, Opsa::UYVY },
        SettingCase { &Fuser::setFormatRaw, 2592, 1968, Opsa::RAW },
        SettingCase { &Fuser::setFormatRgb, 2592, 1968, Opsa::UYVY }));

// Photograph size and format → preview size.
struct PreviewCase
{
    int width, height, format, previewWidth, previewHeight;
};

class FuserPreviews : public ::testing::TestWithParam<PreviewCase>
{
};

TEST_P(FuserPreviews, AreDownscaledByAWholeFactor)
{
    const PreviewCase &c = GetParam();
    Fuser fuser(c.width, c.height, c.format, 3);
    const Image<unsigned char> card = ramps(c.width, c.height);
    fuser.frames = { c.format == Opsa::RAW ? apptest::rawFrame(card) : apptest::yuvFrame(card) };
    fuser.loadPreviews();
    ASSERT_EQ(fuser.previews.size(), 1u);
    const Image<unsigned char> &preview = fuser.previews[0];
    ASSERT_EQ(preview.width(), c.previewWidth);
    ASSERT_EQ(preview.height(), c.previewHeight);
    const int f = c.width / c.previewWidth;
    for (int y = 0; y < c.previewHeight; y += 7)
        for (int x = 0; x < c.previewWidth; x += 5) {
            if (c.format == Opsa::RAW) {
                // Red from the red site of the block's Bayer cell, through the 2.2 gamma curve.
                const int red = card(((x * f) & ~1) + 1, (y * f) & ~1, 0) * 4 + 2;
                const double expected = std::pow(red / 1024.0, 1 / 2.2) * 256 + 0.5;
                ASSERT_NEAR(preview(x, y, 0), std::floor(expected), 1) << x << "," << y;
                continue;
            }
            // Each preview pixel pair comes from one source pair, every f-th pair and row.
            const int sourceX = x / 2 * 2 * f + x % 2;
            ASSERT_NEAR(preview(x, y, 0), card(sourceX, y * f, 0), 2) << x << "," << y;
            ASSERT_NEAR(preview(x, y, 1), card(sourceX, y * f, 1), 2) << x << "," << y;
        }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FuserPreviews,
    ::testing::Values(PreviewCase { 1296, 984, Opsa::UYVY, 648, 492 },
        PreviewCase { 640, 480, Opsa::UYVY, 640, 480 },
        PreviewCase { 2592, 1968, Opsa::UYVY, 648, 492 },
        PreviewCase { 1296, 984, Opsa::RAW, 648, 492 },
        // One pixel per Bayer cell at least.
        PreviewCase { 640, 480, Opsa::RAW, 320, 240 }));

TEST(Fuser, PreviewsSkipFramesThatDoNotFitTheBurst)
{
    LogCapture log;
    Fuser fuser(64, 48, Opsa::UYVY, 3);
    // A 64 × 48 window of a wider frame is read with that frame's row stride.
    const Opsa::Frame wide = apptest::yuvFrame(ramps(96, 48));
    fuser.frames = { frameOf(Opsa::Image(wide.image(), 16, 0, 64, 48)),
        apptest::flatYuvFrame(1296, 984, 100), apptest::emptyFrame(), Opsa::Frame(),
        apptest::rawFrame(ramps(64, 48)),
        frameOf(Opsa::Image(64, 48, Opsa::UYVY, Opsa::Image::AllocateOnCapture)) };
    fuser.computePreview();
    ASSERT_EQ(fuser.previews.size(), 1u);
    EXPECT_NEAR(fuser.previews[0](10, 20, 0), 13, 2);
    EXPECT_NEAR(fuser.previews[0](10, 20, 1), 20, 2);
    EXPECT_EQ(log.count("Image size:  1296 x 984  incompatible with  64 x 48 . Skipping"), 1);
    EXPECT_EQ(log.count("Image size:  0 x 0  incompatible with  64 x 48 . Skipping"), 2);
    EXPECT_EQ(log.count("Image format:  4  incompatible with  2 . Skipping"), 1);
    EXPECT_EQ(log.count("Frame without pixels. Skipping"), 1);
    EXPECT_TRUE(log.contains("Time to load previews: "));
    EXPECT_EQ(fuser.previewResult.width(), 64);

    fuser.frames.clear();
    fuser.previews.clear();
    fuser.computePreview();
    EXPECT_TRUE(fuser.previewResult.empty());
    EXPECT_EQ(log.count("No previews to fuse"), 1);
}

TEST(Fuser, TheQuickPreviewOfARealBurstIsRegisteredAndFused)
{
    REQUIRE_SHARED_DATA();
    LogCapture log;
    // Capture order, long exposure first; the middle photograph moved by (8, 6) pixels.
    std::vector<Image<unsigned char>> photos;
    for (const char *name :
        { "Flowers/Flowers3.jpg", "Flowers/Flowers2.jpg", "Flowers/Flowers1.jpg" }) {
        photos.emplace_back(testsupport::dataFile(name).c_str(), 0);
        ASSERT_FALSE(photos.back().empty()) << name;
    }
    const int w = photos[0].width(), h = photos[0].height();
    Image<unsigned char> moved(w, h, 3);
    for (int y = 6; y < h; ++y)
        for (int x = 8; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                moved(x, y, c) = photos[1](x - 8, y - 6, c);
    Fuser fuser(w, h, Opsa::UYVY, 3), truth(w, h, Opsa::UYVY, 3);
    fuser.frames
        = { apptest::yuvFrame(photos[0]), apptest::yuvFrame(moved), apptest::yuvFrame(photos[2]) };
    truth.frames = { fuser.frames[0], apptest::yuvFrame(photos[1]), fuser.frames[2] };
    truth.loadPreviews();
    fuser.computePreview();
    ASSERT_EQ(fuser.previews.size(), 3u);

    // Registered back onto the unmoved photograph, away from the uncovered band.
    double difference = 0, fused = 0, darkest = 0, brightest = 0;
    const int pw = w / 2, ph = h / 2, n = (pw - 16) * (ph - 16) * 3;
    for (int y = 8; y < ph - 8; ++y)
        for (int x = 8; x < pw - 8; ++x)
            for (int c = 0; c < 3; ++c) {
                difference += std::abs(fuser.previews[1](x, y, c) - truth.previews[1](x, y, c));
                // The fusion works on copies: the shown previews stay as they were.
                ASSERT_EQ(fuser.previews[0](x, y, c), truth.previews[0](x, y, c));
                fused += fuser.previewResult(x, y, c);
                darkest += truth.previews[2](x, y, c);
                brightest += truth.previews[0](x, y, c);
            }
    EXPECT_LT(difference / n, 1.0);
    ASSERT_EQ(fuser.previewResult.width(), pw);
    EXPECT_GT(fused, darkest);
    EXPECT_LT(fused, brightest);
    EXPECT_TRUE(log.contains("PREVIEW: Registration time: "));
    EXPECT_TRUE(log.contains("PREVIEW: Fusion time: "));
    EXPECT_EQ(log.count("Registration failed"), 0);
}

TEST(Fuser, QueuedBurstsBecomeMergeJobs)
{
    testsupport::TempDir root;
    Opsa::Ketto::setPhoneRoot(root.path());
    {
        Fuser fuser(16, 12, Opsa::UYVY, 2);
        fuser.frames = { apptest::flatYuvFrame(16, 12, 150), apptest::flatYuvFrame(16, 12, 60) };
        fuser.setSaveInputsOn();
        fuser.queueMergeJob();
        fuser.asyncFuser.wait();
        std::weak_ptr<AsyncFuser::Job> first = fuser.lastJob;
        const std::vector<std::string> files = fuser.lastJob->files;
        ASSERT_EQ(files.size(), 3u);

        // The user deleted that burst: its files go when the next one replaces it.
        fuser.lastJob->deleted = true;
        fuser.setSaveInputsOff();
        fuser.queueMergeJob();
        EXPECT_TRUE(first.expired());
        for (const std::string &file : files)
            EXPECT_FALSE(testsupport::fileExists(file)) << file;
        fuser.asyncFuser.wait();
        ASSERT_EQ(fuser.lastJob->files.size(), 1u);
        EXPECT_TRUE(testsupport::fileExists(fuser.lastJob->files[0]));
    }
    Opsa::Ketto::setPhoneRoot(std::string());
}
