#include "Metering.h"

#include <Opsa/Ketto/Frame.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>

namespace {

// The viewfinder's metered region: 307 200 pixels, so a tenth is 30 720.
constexpr int KRegionWidth = 640;
constexpr int KRegionHeight = 480;
constexpr int KPixels = KRegionWidth * KRegionHeight;
constexpr int KTenth = KPixels / 10;

// A frame whose histogram holds aCounts (bucket → pixels) spread over three channels, the rest
// of the region's pixels in the middle bucket.
Opsa::Frame histogramFrame(const std::map<int, int> &aCounts, int aBuckets = 64)
{
    auto body = std::make_shared<Opsa::Ketto::_Frame>();
    Opsa::Histogram &h = body->histogram;
    h.buckets = aBuckets;
    h.channels = 3;
    h.region = Opsa::Rect { 0, 0, KRegionWidth, KRegionHeight };
    h.data.assign(std::size_t(aBuckets) * 3, 0);
    int rest = KPixels;
    auto put = [&h](int aBucket, int aCount) {
        // Uneven shares per channel: only the sum over the channels counts.
        const int first = aCount / 2, second = aCount / 3;
        h.data[std::size_t(aBucket) * 3] += std::uint32_t(first);
        h.data[std::size_t(aBucket) * 3 + 1] += std::uint32_t(second);
        h.data[std::size_t(aBucket) * 3 + 2] += std::uint32_t(aCount - first - second);
    };
    for (const auto &[bucket, count] : aCounts) {
        put(bucket, count);
        rest -= count;
    }
    put(aBuckets / 2, rest);
    return Opsa::Frame(std::shared_ptr<Opsa::_Frame>(body));
}

Opsa::Shot shotWith(int aExposure, float aGain, int aFrameTime = 33333)
{
    Opsa::Shot shot;
    shot.exposure = aExposure;
    shot.gain = aGain;
    shot.frameTime = aFrameTime;
    return shot;
}

std::vector<Opsa::Shot> bracket(
    int aLongExposure, float aLongGain, int aShortExposure, float aShortGain)
{
    return { shotWith(aLongExposure, aLongGain), shotWith(aShortExposure, aShortGain) };
}

void expectSame(const Opsa::Shot &aShot, int aExposure, float aGain, int aFrameTime)
{
    EXPECT_EQ(aShot.exposure, aExposure);
    EXPECT_FLOAT_EQ(aShot.gain, aGain);
    EXPECT_EQ(aShot.frameTime, aFrameTime);
}

// The limits the capture loop passes.
bool meterLoop(
    std::vector<Opsa::Shot> &aShots, const Opsa::Frame &aFrame, int aWhich, float aSmoothing = 0.0f)
{
    return meter(aShots, aFrame, aWhich, 33333, 32.0f, 125000, aSmoothing);
}

} // namespace

// Pixels in the darkest bucket against the tenth and the hundredth of the region.
struct ShadowCase
{
    int black;
    int expectedExposure; // 0: nothing changes
};

class MeteringShadows : public ::testing::TestWithParam<ShadowCase>
{
};

TEST_P(MeteringShadows, MovesTheLongExposureOnlyOutsideItsTargets)
{
    std::vector<Opsa::Shot> shots = bracket(10000, 1.0f, 1000, 1.0f);
    const bool changed = meterLoop(shots, histogramFrame({ { 0, GetParam().black } }), 0);
    EXPECT_EQ(changed, GetParam().expectedExposure != 0);
    if (GetParam().expectedExposure)
        expectSame(shots[0], GetParam().expectedExposure, 1.0f, 33333);
    else
        expectSame(shots[0], 10000, 1.0f, 33333);
    expectSame(shots[1], 1000, 1.0f, 33333);
}

INSTANTIATE_TEST_SUITE_P(BlackPixels, MeteringShadows,
    ::testing::Values(ShadowCase { KPixels * 15 / 100, 11000 }, // 15 %: lengthen
        ShadowCase { KTenth + 1, 11000 }, ShadowCase { KTenth, 0 }, // exactly a tenth is still fine
        ShadowCase { KPixels * 5 / 100, 0 }, // 5 %: within targets
        ShadowCase { KTenth / 10, 0 }, // exactly a hundredth is still fine
        ShadowCase { KTenth / 10 - 1, 9000 },
        ShadowCase { KPixels * 5 / 1000, 9000 }, // 0.5 %: shorten
        ShadowCase { 0, 9000 }));

struct HighlightCase
{
    int bucket; // where the bright pixels sit
    int count;
    int expectedExposure;
};

class MeteringHighlights : public ::testing::TestWithParam<HighlightCase>
{
};

TEST_P(MeteringHighlights, MovesTheShortExposureOnTheFourTopBuckets)
{
    std::vector<Opsa::Shot> shots = bracket(20000, 1.0f, 1000, 1.0f);
    EXPECT_TRUE(meterLoop(shots, histogramFrame({ { GetParam().bucket, GetParam().count } }), 1));
    expectSame(shots[1], GetParam().expectedExposure, 1.0f, 33333);
    expectSame(shots[0], 20000, 1.0f, 33333);
}

INSTANTIATE_TEST_SUITE_P(BrightPixels, MeteringHighlights,
    ::testing::Values(HighlightCase { 63, KPixels * 12 / 100, 700 },
        HighlightCase { 60, KPixels * 12 / 100, 700 },
        // The fifth bucket from the top is not a blown highlight.
        HighlightCase { 59, KPixels * 12 / 100, 1100 },
        HighlightCase { 63, KPixels / 1000, 1100 }));

TEST(Metering, ShorterHighlightsPullTheLongExposureWithinSixStops)
{
    // Long product 50 000; the short one goes from 1000 to 700, so the long end may be at most
    // 64 × 700 = 44 800.
    std::vector<Opsa::Shot> shots = bracket(25000, 2.0f, 1000, 1.0f);
    EXPECT_TRUE(meterLoop(shots, histogramFrame({ { 63, KPixels * 12 / 100 } }), 1));
    expectSame(shots[1], 700, 1.0f, 33333);
    EXPECT_EQ(shots[0].exposure, 33333);
    EXPECT_NEAR(shots[0].exposure * shots[0].gain, 64.0f * 700.0f, 1.0f);
    EXPECT_EQ(shots[0].frameTime, 33333 + 400);

    // A long end already within 6 stops of the new short one stays where it is.
    shots = bracket(20000, 2.0f, 1000, 1.0f);
    EXPECT_TRUE(meterLoop(shots, histogramFrame({ { 63, KPixels * 12 / 100 } }), 1));
    expectSame(shots[0], 20000, 2.0f, 33333);
}

TEST(Metering, TheLongExposureNeverExceedsSixStopsAboveTheShortOne)
{
    std::vector<Opsa::Shot> shots = bracket(64000, 1.0f, 1000, 1.0f);
    EXPECT_TRUE(meterLoop(shots, histogramFrame({ { 0, KPixels / 2 } }), 0));
    EXPECT_NEAR(shots[0].exposure * shots[0].gain, 64000.0f, 1.0f);
}

// The desired product is set exactly through the 6-stop limit: 64 × (3125 µs × 0.5) = 100 000.
struct SplitCase
{
    int limit;
    float maxGain;
    int maxExposure;
    int exposure;
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
    EXPECT_TRUE(meter(
        shots, histogramFrame({ { 0, KPixels / 2 } }), 0, c.limit, c.maxGain, c.maxExposure, 0.0f));
    expectSame(shots[0], c.exposure, c.gain, c.frameTime);
}

INSTANTIATE_TEST_SUITE_P(Limits, MeteringSplit,
    ::testing::Values(SplitCase { 33000, 2.0f, 125000, 50000, 2.0f, 50400 },
        SplitCase { 33000, 2.0f, 40000, 40000, 2.0f, 40400 },
        SplitCase { 33000, 4.0f, 125000, 33000, 100000.0f / 33000.0f, 33400 },
        SplitCase { 200000, 32.0f, 125000, 100000, 1.0f, 200000 }));

TEST(Metering, SmoothingBlendsExposureAndGainButNotTheFrameTime)
{
    std::vector<Opsa::Shot> shots = bracket(30000, 1.0f, 1000, 1.0f);
    shots[0].frameTime = 99999;
    // 30 000 × 1.1 = 33 000 < 33 333: gain 1, exposure 33 000.
    EXPECT_TRUE(meterLoop(shots, histogramFrame({ { 0, KPixels / 2 } }), 0, 1.0f));
    expectSame(shots[0], 30000, 1.0f, 33333);

    shots = bracket(30000, 1.0f, 1000, 1.0f);
    EXPECT_TRUE(meterLoop(shots, histogramFrame({ { 0, KPixels / 2 } }), 0, 0.5f));
    expectSame(shots[0], 31500, 1.0f, 33333);

    // Gain is blended too: 40 000 × 1.1 = 44 000 splits into 33 333 µs × 1.32.
    shots = bracket(40000, 1.0f, 1000, 1.0f);
    EXPECT_TRUE(meterLoop(shots, histogramFrame({ { 0, KPixels / 2 } }), 0, 0.5f));
    EXPECT_EQ(shots[0].exposure, (33333 + 40000) / 2);
    EXPECT_NEAR(shots[0].gain, (44000.0f / 33333.0f + 1.0f) / 2, 1e-5);
    EXPECT_EQ(shots[0].frameTime, 33333 + 400);
}

TEST(Metering, ChangesNothingWithoutAUsableHistogram)
{
    const std::vector<Opsa::Shot> before = bracket(10000, 1.0f, 1000, 1.0f);
    auto unchanged = [&before](const std::vector<Opsa::Shot> &aShots) {
        for (std::size_t i = 0; i < before.size(); ++i)
            expectSame(aShots[i], before[i].exposure, before[i].gain, before[i].frameTime);
    };
    const Opsa::Frame dark = histogramFrame({ { 0, KPixels / 2 } });
    std::vector<Opsa::Shot> shots = before;

    for (int buckets : { 32, 63, 257, 512 }) {
        EXPECT_FALSE(meterLoop(shots, histogramFrame({ { 0, KPixels / 2 } }, buckets), 0))
            << buckets;
        unchanged(shots);
    }
    EXPECT_FALSE(meterLoop(shots, Opsa::Frame(), 0));
    EXPECT_FALSE(meterLoop(shots, Opsa::Frame(std::make_shared<Opsa::Ketto::_Frame>()), 0));
    EXPECT_FALSE(meterLoop(shots, dark, 2));
    EXPECT_FALSE(meterLoop(shots, dark, -1));
    unchanged(shots);

    // Fewer counts than the histogram claims would be read past the end.
    auto body = std::make_shared<Opsa::Ketto::_Frame>();
    body->histogram.buckets = 64;
    body->histogram.channels = 3;
    body->histogram.region = Opsa::Rect { 0, 0, KRegionWidth, KRegionHeight };
    body->histogram.data.assign(64, KPixels);
    EXPECT_FALSE(meterLoop(shots, Opsa::Frame(std::shared_ptr<Opsa::_Frame>(body)), 1));
    unchanged(shots);

    std::vector<Opsa::Shot> single { shotWith(10000, 1.0f) };
    EXPECT_FALSE(meterLoop(single, dark, 0));
    EXPECT_EQ(single[0].exposure, 10000);

    // The bucket count bounds themselves are accepted.
    EXPECT_TRUE(meterLoop(shots, histogramFrame({ { 0, KPixels / 2 } }, 64), 0));
    EXPECT_TRUE(meterLoop(shots, histogramFrame({ { 0, KPixels / 2 } }, 256), 0));
}

TEST(Metering, RecoversFromABrightLightFillingTheFrame)
{
    std::vector<Opsa::Shot> shots = bracket(20000, 1.0f, 2000, 1.0f);
    const Opsa::Frame blown = histogramFrame({ { 63, KPixels / 2 } });
    for (int i = 0; i < 100; ++i)
        meterLoop(shots, blown, 1, 0.5f);
    EXPECT_GE(shots[1].exposure, KMinMeteredExposure);
    EXPECT_GT(shots[0].exposure * shots[0].gain, 0.0f);

    // Once the light is gone both ends must find their way back.
    const Opsa::Frame normal = histogramFrame({});
    for (int i = 0; i < 100; ++i) {
        meterLoop(shots, normal, 1, 0.5f);
        meterLoop(shots, histogramFrame({ { 0, KPixels / 2 } }), 0, 0.5f);
    }
    EXPECT_GT(shots[1].exposure, 1000);
    EXPECT_GT(shots[0].exposure, 10000);
}
