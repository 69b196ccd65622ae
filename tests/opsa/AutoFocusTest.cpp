#include "Opsa/AutoFocus.h"

#include "Opsa/Platform.h"

#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <vector>

namespace {

// A lens the test moves by hand: it records where it was sent and is "moving" until told it
// has arrived.
class ScriptedLens : public Opsa::Lens
{
public:
    struct Move
    {
        float target;
        float speed;
    };

    void tagFrame(Opsa::Frame) override { }
    void setFocus(float aDiopters, float aSpeed) override
    {
        moves.push_back({ aDiopters, aSpeed });
        moving = true;
    }
    float getFocus() override { return moves.empty() ? 0.0f : moves.back().target; }
    float farFocus() override { return 0.0f; }
    float nearFocus() override { return 20.0f; }
    bool focusChanging() override { return moving; }
    int focusLatency() override { return 0; }
    float minFocusSpeed() override { return 1.0f; }
    float maxFocusSpeed() override { return 100.0f; }
    void setZoom(float, float) override { }
    float getZoom() override { return 5.0f; }
    float minZoom() override { return 5.0f; }
    float maxZoom() override { return 5.0f; }
    bool zoomChanging() override { return false; }
    int zoomLatency() override { return 0; }
    float minZoomSpeed() override { return 0.0f; }
    float maxZoomSpeed() override { return 0.0f; }
    void setAperture(float, float) override { }
    float getAperture() override { return 2.8f; }
    float wideAperture(float) override { return 2.8f; }
    float narrowAperture(float) override { return 2.8f; }
    bool apertureChanging() override { return false; }
    int apertureLatency() override { return 0; }
    float minApertureSpeed() override { return 0.0f; }
    float maxApertureSpeed() override { return 0.0f; }

    std::vector<Move> moves;
    bool moving = false;
};

class TestFrame : public Opsa::_Frame
{
public:
    const Opsa::Shot &shot() const override { return request; }
    const Opsa::Platform &platform() const override { return Opsa::Frame().platform(); }
    Opsa::Shot request;
};

// A frame of a 1600 x 1200 shot with a 16 x 12 sharpness map of three channels. aCell gives the
// value of the first channel of cell (x, y), the others are 0; the lens tag is aFocus (none
// when aTagged is false).
template <typename CellValue>
Opsa::Frame frameAt(float aFocus, CellValue aCell, bool aTagged = true)
{
    auto body = std::make_shared<TestFrame>();
    body->request.image = Opsa::Image(1600, 1200, Opsa::UYVY, Opsa::Image::DiscardData);
    body->sharpness.width = 16;
    body->sharpness.height = 12;
    body->sharpness.channels = 3;
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x)
            for (int c = 0; c < 3; ++c)
                body->sharpness.data.push_back(c == 0 ? aCell(x, y) : 0);
    if (aTagged)
        body->tags["lens.focus"] = aFocus;
    return Opsa::Frame(std::shared_ptr<Opsa::_Frame>(body));
}

// Every cell of the map holds aValue; the sweep's sharpness is 192 x (aValue >> 10).
Opsa::Frame cellFrame(float aFocus, std::uint32_t aValue, bool aTagged = true)
{
    return frameAt(
        aFocus, [=](int, int) { return aValue; }, aTagged);
}

// Sends the lens to the start of the sweep and lets it arrive there; the sweep is then running.
void reachSweep(Opsa::AutoFocus &aFocus, ScriptedLens &aLens)
{
    aFocus.startSweep();
    ASSERT_EQ(aFocus.state(), Opsa::AutoFocus::MovingToStart);
    ASSERT_EQ(aLens.moves.size(), 1u);
    EXPECT_EQ(aLens.moves[0].target, 0.0f);
    EXPECT_LT(aLens.moves[0].speed, 0.0f);
    // Still on its way: nothing changes.
    aFocus.update(cellFrame(3.0f, 100));
    EXPECT_EQ(aFocus.state(), Opsa::AutoFocus::MovingToStart);
    aLens.moving = false;
    aFocus.update(cellFrame(0.005f, 100));
    ASSERT_EQ(aFocus.state(), Opsa::AutoFocus::Sweeping);
    ASSERT_EQ(aLens.moves.size(), 2u);
    // The whole range in one second.
    EXPECT_EQ(aLens.moves[1].target, 20.0f);
    EXPECT_EQ(aLens.moves[1].speed, 20.0f);
}

TEST(AutoFocus, StopsThreeFallsPastThePeakThenPlacesItFromASlowPass)
{
    ScriptedLens lens;
    Opsa::AutoFocus af(&lens);
    reachSweep(af, lens);
    // Rising, a peak at 6 diopters, then three falls of more than 1 %.
    const float focus[] = { 1, 2, 3, 4, 5, 6, 7, 8, 9 };
    const std::uint32_t value[] = { 1000, 2000, 3000, 4000, 5000, 9000, 8000, 7000, 6000 };
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(af.state(), Opsa::AutoFocus::Sweeping) << i;
        af.update(cellFrame(focus[i], value[i] * 1024));
    }
    // Back at full speed to the sharpest sample's lower neighbour...
    ASSERT_EQ(af.state(), Opsa::AutoFocus::MovingToStart);
    ASSERT_EQ(lens.moves.size(), 3u);
    EXPECT_EQ(lens.moves[2].target, 5.0f);
    EXPECT_LT(lens.moves[2].speed, 0.0f);
    af.update(cellFrame(5.0f, 1));
    EXPECT_EQ(af.state(), Opsa::AutoFocus::MovingToStart) << "still on its way";
    // ...and, once a frame was exposed there at rest, slowly on to the upper one.
    lens.moving = false;
    af.update(cellFrame(5.0f, 5000 * 1024));
    ASSERT_EQ(af.state(), Opsa::AutoFocus::Sweeping);
    ASSERT_EQ(lens.moves.size(), 4u);
    EXPECT_EQ(lens.moves[3].target, 7.0f);
    EXPECT_EQ(lens.moves[3].speed, lens.minFocusSpeed());
    lens.moving = true;
    for (float f : { 5.5f, 6.0f, 6.5f, 7.0f }) {
        ASSERT_EQ(af.state(), Opsa::AutoFocus::Sweeping) << f;
        af.update(cellFrame(f, std::uint32_t(f == 6.0f ? 9000 : f == 5.5f ? 7000 : 8000) * 1024));
    }
    // The lens stopped, but the frames exposed on its way have not all come.
    lens.moving = false;
    af.update(cellFrame(6.8f, 8000 * 1024));
    EXPECT_EQ(af.state(), Opsa::AutoFocus::Sweeping);
    af.update(cellFrame(7.0f, 6000 * 1024));
    ASSERT_EQ(af.state(), Opsa::AutoFocus::MovingToBest);
    // The sharpest sample, 6, rises 4000 a diopter from 5.5 and falls 2000 to 6.5: the peak
    // is where the steeper side meets its mirror through 6.5.
    EXPECT_NEAR(lens.moves.back().target, 6.125f, 1e-4f);
    EXPECT_LT(lens.moves.back().speed, 0.0f);

    // Frames while the lens travels change nothing; the first after it arrives ends the focus.
    lens.moving = true;
    af.update(cellFrame(7.0f, 1));
    EXPECT_EQ(af.state(), Opsa::AutoFocus::MovingToBest);
    lens.moving = false;
    af.update(Opsa::Frame());
    EXPECT_EQ(af.state(), Opsa::AutoFocus::MovingToBest) << "an invalid frame is no frame";
    af.update(cellFrame(6.1f, 1));
    EXPECT_EQ(af.state(), Opsa::AutoFocus::Focused);
    const std::size_t moves = lens.moves.size();
    af.update(cellFrame(6.1f, 1));
    EXPECT_EQ(lens.moves.size(), moves);
}

TEST(AutoFocus, SweepsOnThroughSmallDipsAndRefinesTheEarliestOfEqualPeaks)
{
    ScriptedLens lens;
    Opsa::AutoFocus af(&lens);
    reachSweep(af, lens);
    // Falls of under 1 % (1000 to 992: 992 x 101 / 100 = 1001 > 1000) and a fall while the
    // focus went backwards do not count as passing the peak.
    const float focus[] = { 1, 2, 3, 4, 5, 4.5f, 6, 7, 8 };
    const std::uint32_t value[] = { 500, 1000, 992, 984, 977, 900, 1000, 990, 980 };
    for (int i = 0; i < 9; ++i)
        af.update(cellFrame(focus[i], value[i] * 1024));
    EXPECT_EQ(af.state(), Opsa::AutoFocus::Sweeping);
    // The lens reaches the near end: the slow pass goes over the earliest peak's neighbours.
    lens.moving = false;
    af.update(cellFrame(20.0f, 1));
    ASSERT_EQ(af.state(), Opsa::AutoFocus::MovingToStart);
    EXPECT_EQ(lens.moves.back().target, 1.0f);
    lens.moving = false;
    af.update(cellFrame(1.0f, 1));
    ASSERT_EQ(af.state(), Opsa::AutoFocus::Sweeping);
    EXPECT_EQ(lens.moves.back().target, 3.0f);

    // Sharpest where the slow pass ended: nothing beyond it to place a peak with.
    lens.moving = true;
    for (float f : { 1.5f, 2.0f, 2.5f })
        af.update(cellFrame(f, std::uint32_t(f * 1000) * 1024));
    lens.moving = false;
    af.update(cellFrame(3.0f, 3000 * 1024));
    ASSERT_EQ(af.state(), Opsa::AutoFocus::MovingToBest);
    EXPECT_EQ(lens.moves.back().target, 3.0f);
}

TEST(AutoFocus, IgnoresFramesWithoutSharpnessOrLensPositionAndNeedsALens)
{
    Opsa::AutoFocus none(nullptr);
    none.startSweep();
    EXPECT_EQ(none.state(), Opsa::AutoFocus::Idle);

    ScriptedLens lens;
    Opsa::AutoFocus af(&lens);
    af.update(cellFrame(0.0f, 1000));
    EXPECT_TRUE(af.idle()) << "no sweep started";
    af.startSweep();
    lens.moving = false;
    // Neither a frame without a map nor one the lens did not tag (or could not place) may
    // count as "at the far end".
    auto noMap = std::make_shared<TestFrame>();
    noMap->tags["lens.focus"] = 0.0f;
    af.update(Opsa::Frame(std::shared_ptr<Opsa::_Frame>(noMap)));
    af.update(cellFrame(0.0f, 1000, false));
    af.update(cellFrame(std::numeric_limits<float>::quiet_NaN(), 1000));
    EXPECT_EQ(af.state(), Opsa::AutoFocus::MovingToStart);
    af.update(cellFrame(0.0f, 1000));
    EXPECT_EQ(af.state(), Opsa::AutoFocus::Sweeping);
    // A new sweep may start from anywhere.
    af.startSweep();
    EXPECT_EQ(af.state(), Opsa::AutoFocus::MovingToStart);
}

} // namespace
