#include "Metering.h"

#include <Opsa/Ketto/Frame.h>
#include <gtest/gtest.h>

namespace {

// A 640 × 480 region: a tenth is 30 720 pixels.
constexpr int KPixels = 640 * 480, KTenth = KPixels / 10;

// aCount pixels in aBucket (split unevenly over two channels), the rest mid-grey.
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
    return shots;
}

} // namespace

// Which end is metered on how many pixels in which bucket; the exposures before (the long one
// at gain 2, so that its product is what counts) and after. Nothing moved: meter() is false.
struct EndCase
{
    int which, bucket, count, longBefore, shortBefore, longAfter, shortAfter;
};

using MeteringEnds = ::testing::TestWithParam<EndCase>;

TEST_P(MeteringEnds, MoveOnlyWhenOutsideTheirTargets)
{
    const EndCase &c = GetParam();
    std::vector<Opsa::Shot> shots = bracket(c.longBefore, 2.0f, c.shortBefore, 1.0f);
    const bool moved = c.longAfter != c.longBefore || c.shortAfter != c.shortBefore;
    // Limits high enough for the new products to stay exposure times at gain 1.
    EXPECT_EQ(
        meter(shots, histogramFrame(c.bucket, c.count), c.which, 200000, 32.0f, 200000, 0), moved);
    EXPECT_EQ(shots[0].exposure, c.longAfter);
    EXPECT_EQ(shots[1].exposure, c.shortAfter);
}

// 15 %, 5 % and 0.5 % black, and exactly a tenth and a hundredth which are within bounds; 12 %
// in the top four buckets but not in the fifth, pulling the long end down to 64 × the new short
// product where it was further away; an exposure darkened to nothing stops at the floor, since a
// multiplicative step could never climb back from zero.
INSTANTIATE_TEST_SUITE_P(Histograms, MeteringEnds,
    ::testing::Values(EndCase { 0, 0, KPixels * 15 / 100, 5000, 1000, 11000, 1000 },
        EndCase { 0, 0, KTenth, 5000, 1000, 5000, 1000 },
        EndCase { 0, 0, KTenth / 10, 5000, 1000, 5000, 1000 },
        EndCase { 0, 0, KPixels * 5 / 1000, 5000, 1000, 9000, 1000 },
        EndCase { 1, 60, KPixels * 12 / 100, 25000, 1000, 44800, 700 },
        EndCase { 1, 59, KPixels * 12 / 100, 5000, 1000, 5000, 1100 },
        EndCase { 1, 63, KTenth, 5000, 1000, 5000, 1000 },
        EndCase { 1, 63, KPixels / 2, 5000, 1, 44, KMinMeteredExposure },
        EndCase { 2, 0, KPixels / 2, 5000, 1000, 5000, 1000 }));

// The long end's product is capped at 64 × (3125 µs × 0.5) = 100 000 exactly; full smoothing
// keeps exposure and gain but still rewrites the frame time.
struct SplitCase
{
    float limit, maxGain, maxExposure, smoothing, exposure, gain, frameTime;
};

using MeteringSplit = ::testing::TestWithParam<SplitCase>;

TEST_P(MeteringSplit, SplitsTheProductIntoExposureGainAndFrameTime)
{
    const SplitCase &c = GetParam();
    std::vector<Opsa::Shot> shots = bracket(200000, 1.0f, 3125, 0.5f);
    EXPECT_TRUE(meter(shots, histogramFrame(0, KPixels / 2), 0, int(c.limit), c.maxGain,
        int(c.maxExposure), c.smoothing));
    EXPECT_EQ(shots[0].exposure, int(c.exposure));
    EXPECT_FLOAT_EQ(shots[0].gain, c.gain);
    EXPECT_EQ(shots[0].frameTime, int(c.frameTime));
}

INSTANTIATE_TEST_SUITE_P(Limits, MeteringSplit,
    ::testing::Values(SplitCase { 33000, 2.0f, 125000, 0, 50000, 2.0f, 50400 },
        SplitCase { 33000, 2.0f, 40000, 0, 40000, 2.0f, 40400 },
        SplitCase { 33000, 4.0f, 125000, 0, 33000, 100000.0f / 33000.0f, 33400 },
        SplitCase { 200000, 32.0f, 125000, 0, 100000, 1.0f, 200000 },
        SplitCase { 33000, 2.0f, 125000, 1.0f, 200000, 1.0f, 50400 }));

TEST(Metering, ChangesNothingWithoutAUsableHistogram)
{
    // Fewer counts than the histogram claims would be read past their end.
    auto cut = std::make_shared<Opsa::Ketto::_Frame>();
    cut->histogram = histogramFrame(0, KPixels / 2).histogram();
    cut->histogram.data.resize(64);
    std::vector<Opsa::Shot> shots = bracket(10000, 1.0f, 1000, 1.0f);
    for (const Opsa::Frame &frame :
        { histogramFrame(0, KPixels / 2, 63), histogramFrame(0, KPixels / 2, 257), Opsa::Frame(),
            Opsa::Frame(std::shared_ptr<Opsa::_Frame>(cut)) })
        EXPECT_FALSE(meter(shots, frame, 0, 33333, 32.0f, 125000, 0));
    EXPECT_EQ(shots[0].exposure, 10000);
    EXPECT_TRUE(meter(shots, histogramFrame(0, KPixels / 2, 256), 0, 33333, 32.0f, 125000, 0));
}
