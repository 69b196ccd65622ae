#include "core/Registration"

#include "RegistrationBurst.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <map>
#include <thread>

namespace {

// The photographs of the shared data, decoded once per run.
const Image<unsigned char> &photograph(const std::string &aRelative)
{
    static std::map<std::string, Image<unsigned char>> cache;
    auto found = cache.find(aRelative);
    if (found == cache.end())
        found = cache
                    .emplace(aRelative,
                        Image<unsigned char>(testsupport::dataFile(aRelative).c_str(), 0))
                    .first;
    return found->second;
}

template <class T> bool sameSamples(const Image<T> &aLeft, const Image<T> &aRight)
{
    if (aLeft.width() != aRight.width() || aLeft.height() != aRight.height()
        || aLeft.channels() != aRight.channels())
        return false;
    for (int y = 0; y < aLeft.height(); ++y)
        for (int x = 0; x < aLeft.width(); ++x)
            for (int c = 0; c < aLeft.channels(); ++c)
                if (aLeft(x, y, c) != aRight(x, y, c))
                    return false;
    return true;
}

TEST(RegisterImages, LeavesAListOfOnePhotographAlone)
{
    std::vector<Image<unsigned char>> one { regtest::texture(64, 48, 1) };
    const unsigned char *pixels = one[0].data();
    EXPECT_EQ(registerImages(one, 1024, 10, 4, 1), 0);
    EXPECT_EQ(one[0].data(), pixels);
    std::vector<Image<short>> none;
    EXPECT_EQ(registerImages(none, 1024, 10, 4, 1), 0);
}

TEST(RegisterImages, ThreeIdenticalPhotographsComeBackIdentical)
{
    Image<unsigned char> scene = regtest::texture(320, 240, 2);
    std::vector<Image<unsigned char>> burst { scene.clone(), scene.clone(), scene.clone() };
    EXPECT_EQ(registerImages(burst, 1024, 10, 4, 1), 0);
    for (const auto &img : burst)
        EXPECT_TRUE(sameSamples(img, scene));

    std::vector<Image<short>> raw;
    for (int k = 0; k < 3; ++k)
        raw.push_back(regtest::packMosaic(scene));
    EXPECT_EQ(registerImages(raw, 1024, 10, 4, 1), 0);
    for (const auto &img : raw)
        EXPECT_TRUE(sameSamples(img, raw[0]));
}

TEST(RegisterImages, RefusesPhotographsOfAnotherSizeAndChangesNothing)
{
    Image<unsigned char> a = regtest::texture(64, 48, 1), b = regtest::texture(64, 46, 3);
    std::vector<Image<unsigned char>> burst { a, b };
    testing::internal::CaptureStdout();
    EXPECT_EQ(registerImages(burst, 1024, 10, 4, 1), -1);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("Cannot register photograph 1 of 64x46x3 to a reference of 64x48x3"),
        std::string::npos)
        << said;
    EXPECT_EQ(burst[1].data(), b.data());

    std::vector<Image<short>> channels { Image<short>(32, 24, 4), Image<short>(32, 24, 3) };
    std::vector<Image<short>> empty { Image<short>(), Image<short>() };
    testing::internal::CaptureStdout();
    EXPECT_EQ(registerImages(channels, 1024, 10, 4, 1), -1);
    EXPECT_EQ(registerImages(empty, 1024, 10, 4, 1), -1);
    testing::internal::GetCapturedStdout();
}

// A photograph moved by whole pixels comes back aligned: equal to the reference wherever it
// covers it, and 0 along the border it leaves uncovered.
TEST(RegisterImages, WholePixelShiftComesBackAlignedWithAZeroBand)
{
    const int w = 320, h = 240, dx = 5, dy = -3;
    Image<unsigned char> scene = regtest::texture(w + 20, h + 20, 4);
    Image<unsigned char> reference = regtest::crop(scene, 10, 10, w, h);
    // The current photograph shows at (x, y) what the reference shows at (x + dx, y + dy).
    Image<unsigned char> current = regtest::crop(scene, 10 + dx, 10 + dy, w, h);
    current.setColourSpace(1);
    std::vector<Image<unsigned char>> burst { reference, current };
    ASSERT_EQ(registerImages(burst, 1024, 10, 4, 1), 0);
    EXPECT_EQ(burst[0].data(), reference.data()) << "the reference is untouched";
    EXPECT_EQ(burst[1].colourSpace(), 1);
    int covered = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool inside = x - dx < w && y - dy >= 0 && y - dy < h && x - dx >= 0;
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(burst[1](x, y, c), inside ? reference(x, y, c) : 0)
                    << x << "," << y << " channel " << c;
            covered += inside;
        }
    EXPECT_EQ(covered, (w - dx) * (h - 3));
}

// A photograph nobody else holds is registered in its own buffer; one the caller also holds
// is replaced, and the caller's handle keeps the photograph as it was.
TEST(RegisterImages, WarpsInPlaceOnlyWhatNobodyElseHolds)
{
    const int w = 320, h = 240;
    Image<unsigned char> scene = regtest::texture(w + 20, h + 20, 6);
    Image<unsigned char> reference = regtest::crop(scene, 10, 10, w, h);
    Image<unsigned char> held = regtest::crop(scene, 13, 8, w, h);
    const Image<unsigned char> heldBefore = held.clone();
    std::vector<Image<unsigned char>> burst { reference, held, regtest::crop(scene, 6, 12, w, h) };
    const unsigned char *own = burst[2].data();
    ASSERT_EQ(registerImages(burst, 1024, 10, 4, 1), 0);
    EXPECT_NE(burst[1].data(), held.data());
    EXPECT_TRUE(sameSamples(held, heldBefore));
    EXPECT_EQ(burst[2].data(), own);
    // Both are aligned: equal to the reference away from the uncovered borders.
    for (int k = 1; k < 3; ++k)
        for (int y = 10; y < h - 10; y += 7)
            for (int x = 10; x < w - 10; x += 7)
                ASSERT_EQ(burst[k](x, y, 0), reference(x, y, 0)) << k << " at " << x << "," << y;
}

// Registration is reproducible, also when two bursts are registered at once on two threads.
TEST(RegisterImages, SameBurstSameResultAlsoConcurrently)
{
    const int w = 320, h = 240;
    Image<unsigned char> scene = regtest::texture(w + 40, h + 40, 5);
    Image<unsigned char> reference = regtest::crop(scene, 20, 20, w, h);
    auto makeBurst = [&]() {
        std::vector<Image<unsigned char>> burst { reference };
        burst.push_back(regtest::viewThrough(
            scene, 20, 20, w, h, regtest::similarityInPixels(0.6, 1.004, 3.3, -2.7, w, h)));
        burst.push_back(regtest::viewThrough(
            scene, 20, 20, w, h, regtest::similarityInPixels(-0.4, 0.997, -4.1, 1.6, w, h)));
        return burst;
    };
    std::vector<Image<unsigned char>> first = makeBurst(), second = makeBurst(),
                                      third = makeBurst();
    ASSERT_EQ(registerImages(first, 1024, 10, 4, 1), 0);
    int results[2] = { -1, -1 };
    std::thread a([&] { results[0] = registerImages(second, 1024, 10, 4, 1); });
    std::thread b([&] { results[1] = registerImages(third, 1024, 10, 4, 1); });
    a.join();
    b.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    for (int k = 1; k < 3; ++k) {
        EXPECT_TRUE(sameSamples(first[k], second[k])) << k;
        EXPECT_TRUE(sameSamples(first[k], third[k])) << k;
    }
}

struct Motion
{
    double degrees, scale, dx, dy;
};

std::ostream &operator<<(std::ostream &aOut, const Motion &aMotion)
{
    return aOut << aMotion.degrees << " deg, scale " << aMotion.scale << ", shift " << aMotion.dx
                << "," << aMotion.dy;
}

// What exposure the current photograph has: the reference's own, or the darker or brighter
// frame's tones laid on the reference's geometry (an exposure difference without the
// half-pixel misalignment real frames have), or the real darker frame.
enum class Exposure { Same, DarkerTones, BrighterTones, RealDarker };

struct Case
{
    const char *scene;
    Motion motion;
    Exposure exposure;
};

std::ostream &operator<<(std::ostream &aOut, const Case &aCase)
{
    return aOut << aCase.scene << ", " << aCase.motion << ", exposure " << int(aCase.exposure);
}

class Accuracy : public testing::TestWithParam<Case>
{
};

// Views of a real photograph moved by a known similarity: the recovered model puts the
// corners within 1 pixel of the truth (1.5 against a real frame of another exposure, which
// is itself up to half a pixel off), and the registered photograph matches the reference.
TEST_P(Accuracy, RecoversKnownMotionOfRealPhotographs)
{
    REQUIRE_SHARED_DATA();
    const Case t = GetParam();
    const std::string base = std::string(t.scene) + "/" + t.scene;
    const Image<unsigned char> &middle = photograph(base + "2.jpg");
    const Image<unsigned char> &darker = photograph(base + "1.jpg");
    const Image<unsigned char> &brighter = photograph(base + "3.jpg");
    ASSERT_FALSE(middle.empty());
    const int w = 960, h = 640, left = 60, top = 40;
    const Matrix3f truth = regtest::similarityInPixels(
        t.motion.degrees, t.motion.scale, t.motion.dx, t.motion.dy, w, h);
    Image<unsigned char> source = middle;
    double tolerance = 1.0;
    if (t.exposure == Exposure::DarkerTones)
        source = regtest::withTonesOf(middle, darker);
    else if (t.exposure == Exposure::BrighterTones)
        source = regtest::withTonesOf(middle, brighter);
    else if (t.exposure == Exposure::RealDarker) {
        source = darker;
        tolerance = 1.5;
    }
    Image<unsigned char> reference = regtest::crop(middle, left, top, w, h);
    std::vector<Image<unsigned char>> burst { reference,
        regtest::viewThrough(source, left, top, w, h, truth) };

    Matrix3f models[2];
    ASSERT_EQ(core::estimateBurstMotion(burst, 1024, 10, 4, 1, models), 0);
    const double error = regtest::cornerError(models[1], truth, w, h);
    EXPECT_LT(error, tolerance) << "corners off by " << error << " px";
    RecordProperty("corner_error_px", std::to_string(error));

    ASSERT_EQ(registerImages(burst, 1024, 10, 4, 1), 0);
    // Where the truth says the photograph covers the reference (with the tolerance and half a
    // pixel of margin) the registered samples follow the reference; where it does not, 0.
    const Matrix3f inverse = invertMatrix(truth);
    const double margin = tolerance + 0.5;
    double difference = 0.0;
    int compared = 0;
    for (int y = 0; y < h; y += 3)
        for (int x = 0; x < w; x += 3) {
            double u, v;
            regtest::mapPixel(inverse, w, h, x, y, u, v);
            if (u < -margin || v < -margin || u > w - 1 + margin || v > h - 1 + margin) {
                for (int c = 0; c < 3; ++c) {
                    ASSERT_EQ(burst[1](x, y, c), 0) << x << "," << y;
                }
            } else if (u > margin && v > margin && u < w - 1 - margin && v < h - 1 - margin
                && t.exposure == Exposure::Same) {
                difference += std::abs(burst[1](x, y, 1) - reference(x, y, 1));
                ++compared;
            }
        }
    if (compared > 0) {
        EXPECT_LT(difference / compared, 8.0) << "mean difference in the overlap";
    }
}

const Motion KMotions[] = { { 0.0, 1.0, 9.0, -7.0 }, { 1.0, 1.0, 0.0, 0.0 },
    { -1.0, 1.01, -9.0, 9.0 }, { 0.5, 0.99, 5.3, -3.7 }, { -0.7, 1.005, -8.6, -8.2 } };

std::vector<Case> accuracyCases()
{
    std::vector<Case> cases;
    for (const char *scene : { "Flowers", "OldHouse", "SeaRock" })
        for (const Motion &m : KMotions)
            for (Exposure e : { Exposure::Same, Exposure::DarkerTones, Exposure::BrighterTones })
                cases.push_back(Case { scene, m, e });
    cases.push_back(Case { "Flowers", KMotions[3], Exposure::RealDarker });
    cases.push_back(Case { "SeaRock", KMotions[2], Exposure::RealDarker });
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Bursts, Accuracy, testing::ValuesIn(accuracyCases()));

// A full-size burst (a 2592 x 1968 window of a 12-megapixel photograph) with the largest
// motion: 24-pixel shifts, 1 degree, 1 % scale, darker tones; and the same burst packed as
// raw frames.
TEST(RegisterImages, RecoversTheLargestMotionAtFullSizeAndAsPackedRaw)
{
    REQUIRE_SHARED_DATA();
    const Image<unsigned char> &scene = photograph("Kebun/6.jpg");
    const Image<unsigned char> &darker = photograph("Kebun/8.jpg");
    ASSERT_FALSE(scene.empty());
    const int w = 2592, h = 1968, left = (scene.width() - w) / 2, top = (scene.height() - h) / 2;
    const Matrix3f truth = regtest::similarityInPixels(1.0, 1.01, -24.0, 24.0, w, h);
    std::vector<Image<unsigned char>> burst { regtest::crop(scene, left, top, w, h),
        regtest::viewThrough(regtest::withTonesOf(scene, darker), left, top, w, h, truth) };

    Matrix3f models[2];
    ASSERT_EQ(core::estimateBurstMotion(burst, 1024, 10, 4, 1, models), 0);
    EXPECT_LT(regtest::cornerError(models[1], truth, w, h), 1.0);

    std::vector<Image<short>> raw { regtest::packMosaic(burst[0]), regtest::packMosaic(burst[1]) };
    ASSERT_EQ(core::estimateBurstMotion(raw, 1024, 10, 4, 1, models), 0);
    // The packed grid has half the resolution: 1 packed pixel is 2 pixels of the photograph.
    EXPECT_LT(regtest::cornerError(models[1], truth, w / 2, h / 2), 0.5);

    const Image<short> before = raw[1];
    ASSERT_EQ(registerImages(raw, 1024, 10, 4, 1), 0);
    EXPECT_NE(raw[1].data(), before.data()) << "replaced by the warped photograph";
    // The top right corner moved out of view: the registered photograph is 0 there.
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(raw[1](w / 2 - 1, 0, c), 0);
}

} // namespace
