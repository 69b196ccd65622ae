#include "Metering.h"

#include <Opsa/Ketto/Frame.h>
#include <gtest/gtest.h>

namespace {

// A 640 × 480 region: a tenth is 30 720 pixels.
constexpr int KPixels = 640 * 480, KTenth = KPixels / 10;

// aCount pixels in aBucket (split unevenly over three channels), the rest mid-grey.
Opsa::Frame histogramFrame(int aBucket, int aCount, int aBuckets = 64)
{
    auto body = std::make_shared<Opsa::Ketto::_Frame>();
    Opsa::Histogram &h = body->histogram;
    h.buckets = aBuckets;
    h.channels = 3;
    h.region = Opsa::Rect { 0, 0, 640, 480 };
    h.data.assign(std::size_t(aBuckets) * 3, 0);
    h.data[std::size_t(aBucket) * 3] += std::uint32_t(aCount / 2);
    h.data[std::size_t(aBucket) * 3 + 2] += std::uint32_t(aCount - aCount / 2);
    h.data[std::size_t(aBuckets / 2) * 3 + 1] += std::uint32_t(KPixels - aCount);
    return Opsa::Frame(std::shared_ptr<Opsa::_Frame>(body));
}

std::vector<Opsa::Shot> bracket(int aLong, float aLongGain, int aShort, float aShortGain)
{
    std::vector<Opsa::Shot> shots(2);
    shots[0].exposure = aLong;
    shots[0].gain = aLongGain;
    shots[1].exposure = aShort;
    shots[1].gain = aShortGain;
    shots[0].frameTime = shots[1].frameTime = 33333;
    return shots;
}

void expectShot(const Opsa::Shot &aShot, int aExposure, float aGain, int aFrameTime)
{
    EXPECT_EQ(aShot.exposure, aExposure);
    EXPECT_FLOAT_EQ(aShot.gain, aGain);
    EXPECT_EQ(aShot.frameTime, aFrameTime);
}

// With the capture loop's limits.
bool meterLoop(
    std::vector<Opsa::Shot> &aShots, const Opsa::Frame &aFrame, int aWhich, float aSmoothing = 0.0f)
{
    return meter(aShots, aFrame, aWhich, 33333, 32.0f, 125000, aSmoothing);
}

} // namespace

// which, bucket and pixel count → new exposure of the metered shot (0: unchanged, false).
struct EndCase
{
    int which, bucket, count, exposure;
};

class MeteringEnds : public ::testing::TestWithParam<EndCase>
{
};

TEST_P(MeteringEnds, MoveOnlyWhenOutsideTheirTargets)
{
    const EndCase &c = GetParam();
    std::vector<Opsa::Shot> shots = bracket(10000, 1.0f, 1000, 1.0f);
    EXPECT_EQ(meterLoop(shots, histogramFrame(c.bucket, c.count), c.which), c.exposure != 0);
    const int i = c.which == 1 ? 1 : 0, before = i == 0 ? 10000 : 1000;
    expectShot(shots[i], c.exposure ? c.exposure : before, 1.0f, 33333);
    expectShot(shots[1 - i], i == 0 ? 1000 : 10000, 1.0f, 33333);
}

INSTANTIATE_TEST_SUITE_P(Histograms, MeteringEnds,
    ::testing::Values(EndCase { 0, 0, KPixels * 15 / 100, 11000 }, // 15 % black
        EndCase { 0, 0, KTenth + 1, 11000 }, EndCase { 0, 0, KTenth, 0 },
        EndCase { 0, 0, KPixels * 5 / 100, 0 }, EndCase { 0, 0, KTenth / 10, 0 },
        EndCase { 0, 0, KTenth / 10 - 1, 9000 }, EndCase { 0, 0, KPixels * 5 / 1000, 9000 },
        EndCase { 1, 63, KPixels * 12 / 100, 700 }, EndCase { 1, 60, KPixels * 12 / 100, 700 },
        // The fifth bucket from the top is not a blown highlight.
        EndCase { 1, 59, KPixels * 12 / 100, 1100 }, EndCase { 1, 63, KTenth, 0 },
        EndCase { 2, 0, KPixels / 2, 0 }));

TEST(Metering, ShorterHighlightsPullTheLongExposureWithinSixStops)
{
    // The long product 50 000 is more than 64 × the new short 700.
    std::vector<Opsa::Shot> shots = bracket(25000, 2.0f, 1000, 1.0f);
    EXPECT_TRUE(meterLoop(shots, histogramFrame(63, KPixels * 12 / 100), 1));
    expectShot(shots[1], 700, 1.0f, 33333);
    expectShot(shots[0], 33333, 64.0f * 700.0f / 33333.0f, 33333 + 400);

    shots = bracket(20000, 2.0f, 1000, 1.0f);
    EXPECT_TRUE(meterLoop(shots, histogramFrame(63, KPixels * 12 / 100), 1));
    expectShot(shots[0], 20000, 2.0f, 33333);
}

// The long end's product is capped at 64 × (3125 µs × 0.5) = 100 000 exactly.
struct SplitCase
{
    int limit;
    float maxGain;
    int maxExposure, exposure;
    float gain;
    int frameTime;
};

class MeteringSplit : public ::testing::TestWithParam<SplitCase>
{
};

TEST_P(MeteringSplit, SplitsTheProductIntoExposureGainAndFrameTime)
{
    const SplitCase &c = GetParam();
    std::vector<Opsa::Shot> shots = bracket(200000, 1.0f, 3125, 0.5f);
    EXPECT_TRUE(
        meter(shots, histogramFrame(0, KPixels / 2), 0, c.limit, c.maxGain, c.maxExposure, 0));
    expectShot(shots[0], c.exposure, c.gain, c.frameTime);
}

INSTANTIATE_TEST_SUITE_P(Limits, MeteringSplit,
    ::testing::Values(SplitCase { 33000, 2.0f, 125000, 50000, 2.0f, 50400 },
        SplitCase { 33000, 2.0f, 40000, 40000, 2.0f, 40400 },
        SplitCase { 33000, 4.0f, 125000, 33000, 100000.0f / 33000.0f, 33400 },
        SplitCase { 200000, 32.0f, 125000, 100000, 1.0f, 200000 }));

TEST(Metering, SmoothingBlendsExposureAndGainButNotTheFrameTime)
{
    std::vector<Opsa::Shot> shots = bracket(40000, 1.0f, 1000, 1.0f);
    shots[0].frameTime = 99999;
    EXPECT_TRUE(meterLoop(shots, histogramFrame(0, KPixels / 2), 0, 1.0f));
    expectShot(shots[0], 40000, 1.0f, 33333 + 400);
    // 44 000 splits into 33 333 µs × 1.32.
    EXPECT_TRUE(meterLoop(shots, histogramFrame(0, KPixels / 2), 0, 0.5f));
    expectShot(shots[0], (33333 + 40000) / 2, (44000.0f / 33333.0f + 1.0f) / 2, 33333 + 400);
}

TEST(Metering, ChangesNothingWithoutAUsableHistogram)
{
    std::vector<Opsa::Shot> shots = bracket(10000, 1.0f, 1000, 1.0f);
    for (int buckets : { 32, 63, 257, 512 })
        EXPECT_FALSE(meterLoop(shots, histogramFrame(0, KPixels / 2, buckets), 0)) << buckets;
    EXPECT_FALSE(meterLoop(shots, Opsa::Frame(), 0));
    EXPECT_FALSE(meterLoop(shots, Opsa::Frame(std::make_shared<Opsa::Ketto::_Frame>()), 0));
    // Fewer counts than the histogram claims would be read past their end.
    auto body = std::make_shared<Opsa::Ketto::_Frame>();
    body->histogram = histogramFrame(0, KPixels / 2).histogram();
    body->histogram.data.resize(64);
    EXPECT_FALSE(meterLoop(shots, Opsa::Frame(std::shared_ptr<Opsa::_Frame>(body)), 0));
    expectShot(shots[0], 10000, 1.0f, 33333);
    std::vector<Opsa::Shot> single(1);
    EXPECT_FALSE(meterLoop(single, histogramFrame(0, KPixels / 2), 0));
    EXPECT_TRUE(meterLoop(shots, histogramFrame(0, KPixels / 2, 256), 0));
}

TEST(Metering, RecoversFromABrightLightFillingTheFrame)
{
    std::vector<Opsa::Shot> shots = bracket(20000, 1.0f, 2000, 1.0f);
    for (int i = 0; i < 100; ++i)
        meterLoop(shots, histogramFrame(63, KPixels / 2), 1, 0.5f);
    EXPECT_GE(shots[1].exposure, KMinMeteredExposure);
    for (int i = 0; i < 100; ++i) {
        meterLoop(shots, histogramFrame(63, 0), 1, 0.5f);
        meterLoop(shots, histogramFrame(0, KPixels / 2), 0, 0.5f);
    }
    EXPECT_GT(shots[1].exposure, 1000);
    EXPECT_GT(shots[0].exposure, 10000);
}
