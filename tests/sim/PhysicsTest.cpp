// What the pictures hold: exposure and gain, clipping, focus, colour, statistics, repeatability.

#include "Render.h"
#include "Scene.h"
#include "SimFixture.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstring>

using namespace simtest;
using namespace Opsa::Ketto;

namespace {

// The first frame of a fresh stream with these settings (lock-step: nothing runs ahead).
std::vector<std::uint8_t> firstFrame(CameraClient &aCamera, SimKernel &aSim, int aExposure,
    float aGain, std::uint32_t aFormat = V4L2_PIX_FMT_SGRBG10, int aWidth = 640, int aHeight = 480)
{
    std::vector<std::uint8_t> pixels;
    EXPECT_EQ(aCamera.setControl(KControlExposure, aExposure), 0);
    EXPECT_EQ(aCamera.setControl(KControlGain, std::int32_t(aGain * 32 + 0.5f)), 0);
    EXPECT_EQ(aCamera.start(aWidth, aHeight, aFormat), 0);
    const std::uint32_t first = aSim.framesStarted();
    EXPECT_EQ(aCamera.frameWithSequence(first, pixels), 0) << std::strerror(errno);
    EXPECT_EQ(aCamera.stop(), 0);
    return pixels;
}

// The poster at the picture's centre, away from its edges.
double posterMean(const std::vector<std::uint8_t> &aRaw)
{
    return rawMean(aRaw, 640, 480, 1, 0.40, 0.32, 0.60, 0.68);
}

} // namespace

TEST_F(SimTest, RawLevelScalesWithExposureTimesGainUntilClipping)
{
    ASSERT_EQ(camera->open(), 0);
    const double base = posterMean(firstFrame(*camera, sim(), 30000, 1.0f));
    ASSERT_GT(base, 40.0);
    const struct
    {
        int exposure;
        float gain;
    } cases[]
        = { { 60000, 1.0f }, { 30000, 2.0f }, { 15000, 4.0f }, { 120000, 1.0f }, { 7500, 1.0f } };
    for (const auto &c : cases) {
        const double mean = posterMean(firstFrame(*camera, sim(), c.exposure, c.gain));
        const double expected = base * c.exposure * c.gain / 30000.0;
        EXPECT_NEAR(mean / expected, 1.0, 0.03) << c.exposure << " us at gain " << c.gain;
    }

    // Far too long: the window clips at the converter's top and nothing exceeds it.
    const auto bright = firstFrame(*camera, sim(), 200000, 8.0f);
    EXPECT_EQ(rawMean(bright, 640, 480, 1, 0.66, 0.14, 0.76, 0.30), double(Opsa::Sim::KRawMax));
    const auto *raw = reinterpret_cast<const std::uint16_t *>(bright.data());
    EXPECT_LE(*std::max_element(raw, raw + 640 * 480), Opsa::Sim::KRawMax);
    // At gain 1 a full pixel is the white level, whatever the exposure (up to read noise).
    const auto full = firstFrame(*camera, sim(), 200000, 1.0f);
    EXPECT_NEAR(rawMean(full, 640, 480, 1, 0.66, 0.14, 0.76, 0.30), Opsa::Sim::KWhiteLevel, 1.0);
}

TEST_F(SimTest, SharpnessPeaksWhereTheMainObjectIsInFocus)
{
    ASSERT_EQ(camera->open(), 0);
    ASSERT_EQ(camera->setControl(KControlFocusStepTime, 1), 0); // the lens arrives at once
    float best = -1, bestSharpness = -1;
    for (float d = 0.5f; d <= 4.0f; d += 0.25f) {
        ASSERT_EQ(camera->setControl(KControlFocus, Opsa::Sim::lensDioptersToRaw(d)), 0);
        ASSERT_EQ(camera->start(640, 480, V4L2_PIX_FMT_UYVY), 0);
        const std::uint32_t first = sim().framesStarted();
        std::vector<std::uint8_t> pixels;
        ASSERT_EQ(camera->frameWithSequence(first, pixels), 0);
        CameraClient::Stats s;
        ASSERT_EQ(camera->sharpness(std::uint16_t(first), s), 0);
        ASSERT_EQ(camera->stop(), 0);
        FrameRecord r;
        ASSERT_TRUE(sim().frame(first, r));
        EXPECT_NEAR(r.focus, d, 0.05f);
        // The cells the poster covers.
        double sharpness = 0;
        for (int y = 4; y <= 7; ++y)
            for (int x = 6; x <= 9; ++x)
                for (int c = 0; c < 3; ++c) {
                    std::uint32_t v;
                    std::memcpy(
                        &v, &s.cells[(y * KAfCellsWide + x) * KAfCellBytes + 4 + 16 * c], 4);
                    sharpness += v;
                }
        if (sharpness > bestSharpness) {
            bestSharpness = float(sharpness);
            best = d;
        }
    }
    EXPECT_NEAR(best, sim().mainObjectDiopters(), 0.5f);
}

TEST_F(SimTest, HistogramCountsEverySiteOfItsRegion)
{
    ASSERT_EQ(camera->open(), 0);
    firstFrame(*camera, sim(), 20000, 1.0f, V4L2_PIX_FMT_UYVY);
    // Whole previewer input, 1296 x 984, as configured by the client.
    const auto isp = sim().isp();
    EXPECT_EQ(isp.histogram.horizontal[0], 1296u);
    EXPECT_EQ(isp.histogram.vertical[0], 984u);
    ASSERT_EQ(camera->start(640, 480, V4L2_PIX_FMT_UYVY), 0);
    const std::uint32_t first = sim().framesStarted();
    std::vector<std::uint8_t> pixels;
    ASSERT_EQ(camera->frameWithSequence(first, pixels), 0);
    CameraClient::Stats s;
    ASSERT_EQ(camera->histogram(std::uint16_t(first), s), 0);
    double total = 0;
    for (std::uint32_t count : s.banks)
        total += count;
    EXPECT_NEAR(total / (1296.0 * 984.0), 1.0, 0.01);
    // Each bank holds one site of every 2 x 2 cell.
    for (int bank = 0; bank < KHistogramBanks; ++bank) {
        double n = 0;
        for (int i = 0; i < KHistogramBuckets; ++i)
            n += s.banks[bank * KHistogramBuckets + i];
        EXPECT_NEAR(n / total, 0.25, 0.01) << "bank " << bank;
    }
}

TEST_F(SimTest, PreviewerAppliesTheProgrammedColourMatrix)
{
    ASSERT_EQ(camera->open(), 0);
    auto meanLuma = [&](const std::vector<std::uint8_t> &aUyvy) {
        double sum = 0;
        for (std::size_t i = 1; i < aUyvy.size(); i += 2)
            sum += aUyvy[i];
        return sum / (aUyvy.size() / 2);
    };
    const double identity = meanLuma(firstFrame(*camera, sim(), 20000, 1.0f, V4L2_PIX_FMT_UYVY));
    EXPECT_GT(identity, 20.0);

    PreviewWhiteBalance wb { 256, { 32, 32, 32, 32 } };
    PreviewBlackAdjust black {};
    PreviewBlending blending {};
    PreviewConfig config {};
    config.update = KPreviewUpdateWhiteBalance | KPreviewUpdateBlackAdjust | KPreviewUpdateBlending;
    config.whiteBalance = &wb;
    config.blackAdjust = &black;
    config.blending = &blending;
    ASSERT_EQ(sim().ioctl(camera->fd(), KIspPreviewConfig, &config), 0);
    const auto black0 = firstFrame(*camera, sim(), 20000, 1.0f, V4L2_PIX_FMT_UYVY);
    EXPECT_EQ(meanLuma(black0), 0.0) << "an all-zero matrix makes black";
    EXPECT_EQ(black0[0], 128) << "with neutral chroma";

    for (int i = 0; i < 3; ++i)
        blending.matrix[i][i] = 256;
    wb.gain[0] = wb.gain[1] = wb.gain[2] = wb.gain[3] = 64;
    ASSERT_EQ(sim().ioctl(camera->fd(), KIspPreviewConfig, &config), 0);
    EXPECT_GT(meanLuma(firstFrame(*camera, sim(), 20000, 1.0f, V4L2_PIX_FMT_UYVY)), identity * 1.1)
        << "doubled channel gains brighten the picture";
    EXPECT_EQ(sim().isp().whiteBalance.gain[0], 64);

    config.blending = nullptr;
    EXPECT_EQ(sim().ioctl(camera->fd(), KIspPreviewConfig, &config), -1);
    EXPECT_EQ(errno, EFAULT);
}

TEST_F(SimTest, SameSeedGivesTheSameFramesAndHandShakeMovesThem)
{
    makePhone(lockStep(true));
    ASSERT_EQ(camera->open(), 0);
    const auto a = firstFrame(*camera, sim(), 20000, 1.0f);
    const auto a2 = firstFrame(*camera, sim(), 20000, 1.0f);
    makePhone(lockStep(true));
    ASSERT_EQ(camera->open(), 0);
    const auto b = firstFrame(*camera, sim(), 20000, 1.0f);
    EXPECT_TRUE(a == b) << "noise and shake are drawn from the seed and the frame number";
    EXPECT_FALSE(a == a2) << "each frame its own noise and shake";

    for (std::uint32_t n = 0; n < 50; ++n) {
        const auto shake = Opsa::Sim::handShake(1, n);
        // A few pixels of the full picture, a fraction of a degree.
        EXPECT_LE(std::abs(shake.dx) * 2592, 3.2f);
        EXPECT_LE(std::abs(shake.dy) * 2592, 3.2f);
        EXPECT_LE(std::abs(shake.angle) * 57.3f, 0.16f);
    }
}

TEST(SimScene, RadiancePictureSpansManyStops)
{
    REQUIRE_DATA_FILE("Kebun/kebun_radiance.hdr");
    std::string error;
    auto scene = Opsa::Sim::Scene::radiance(
        testsupport::dataFile("Kebun/kebun_radiance.hdr"), 0.5f, error);
    ASSERT_TRUE(scene) << error;
    EXPECT_EQ(scene->mainDiopters(), 0.5f);
    std::vector<float> levels;
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 128; ++x) {
            float rgb[3], depth;
            scene->sample((x + 0.5f) / 128, (y + 0.5f) / 96, 1.0f / 128, rgb, depth);
            levels.push_back(rgb[1]);
        }
    std::sort(levels.begin(), levels.end());
    const float dark = levels[levels.size() / 100], bright = levels[levels.size() - 3];
    EXPECT_GT(bright / std::max(dark, 1e-6f), 256.0f) << "more than 8 stops even at this size";

    // Through the sensor: a phone set to this picture renders it.
    SimOptions options = lockStep();
    options.scenePath = testsupport::dataFile("Kebun/kebun_radiance.hdr");
    SimPhone phone(options);
    CameraClient camera(phone.kernel());
    ASSERT_EQ(camera.open(), 0);
    const auto raw = firstFrame(camera, phone.kernel(), 30000, 4.0f);
    EXPECT_GT(rawMean(raw, 640, 480, 1, 0, 0, 1, 1), 5.0);
    EXPECT_EQ(phone.kernel().mainObjectDiopters(), 0.5f);
}
