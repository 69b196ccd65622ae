#include "Opsa/Shot.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

using Opsa::Shot;

namespace {

std::atomic<int> liveActions { 0 };

class CountedAction : public Opsa::Action
{
public:
    CountedAction(int aTime, int aLatency)
    {
        time = aTime;
        latency = aLatency;
        ++liveActions;
    }
    CountedAction(const CountedAction &aOther)
        : Opsa::Action(aOther)
    {
        ++liveActions;
    }
    ~CountedAction() override { --liveActions; }
    void perform() override { }
    Opsa::Action *clone() const override { return new CountedAction(*this); }
};

std::multiset<std::pair<int, int>> timings(const Shot &aShot)
{
    std::multiset<std::pair<int, int>> result;
    for (const Opsa::Action *action : aShot.actions())
        result.insert({ action->time, action->latency });
    return result;
}

TEST(Shot, StartsWithTheDefaultRequest)
{
    Shot shot;
    EXPECT_EQ(shot.image.width(), 0);
    EXPECT_EQ(shot.image.type(), Opsa::UNKNOWN);
    EXPECT_EQ(shot.image.data(), Opsa::Image::DiscardData);
    EXPECT_EQ(shot.exposure, 0);
    EXPECT_EQ(shot.gain, 0.0f);
    EXPECT_EQ(shot.whiteBalance, 5000);
    EXPECT_EQ(shot.histogram.buckets, 64);
    EXPECT_FALSE(shot.histogram.enabled);
    EXPECT_FALSE(shot.sharpness.enabled);
    EXPECT_TRUE(shot.wanted);
    EXPECT_TRUE(shot.actions().empty());
    EXPECT_TRUE(shot.colorMatrix().empty());
}

TEST(Shot, EveryConstructionCopyAndAssignmentDrawsANewId)
{
    Shot a;
    Shot b;
    EXPECT_EQ(b.id, a.id + 1);
    Shot c = a;
    EXPECT_EQ(c.id, b.id + 1);
    a = b;
    EXPECT_EQ(a.id, c.id + 1);
    // The capture path keeps the caller's identity by writing it back.
    Shot request = b;
    request.id = b.id;
    EXPECT_EQ(request.id, b.id);
}

TEST(Shot, IdsStayUniqueAcrossThreads)
{
    std::vector<int> ids[4];
    std::vector<std::thread> threads;
    for (std::vector<int> &mine : ids) {
        threads.emplace_back([&mine] {
            Shot source;
            for (int i = 0; i < 1000; ++i) {
                Shot copy = source;
                mine.push_back(copy.id);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    std::set<int> all;
    for (const std::vector<int> &mine : ids)
        all.insert(mine.begin(), mine.end());
    EXPECT_EQ(all.size(), 4000u);
}

TEST(Shot, CopiesShareTheImageAndCopyEveryRequestField)
{
    Shot shot;
    shot.image = Opsa::Image(64, 48, Opsa::UYVY);
    shot.exposure = 30000;
    shot.frameTime = 40000;
    shot.gain = 2.5f;
    shot.whiteBalance = 6500;
    shot.histogram.region = { 1, 2, 30, 40 };
    shot.histogram.enabled = true;
    shot.sharpness.size = { 16, 12 };
    shot.sharpness.enabled = true;
    shot.wanted = false;
    float matrix[12] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 };
    shot.setColorMatrix(matrix);

    auto expectSameRequest = [&](const Shot &aCopy) {
        EXPECT_EQ(aCopy.image.data(), shot.image.data());
        EXPECT_EQ(aCopy.exposure, 30000);
        EXPECT_EQ(aCopy.frameTime, 40000);
        EXPECT_EQ(aCopy.gain, 2.5f);
        EXPECT_EQ(aCopy.whiteBalance, 6500);
        EXPECT_EQ(aCopy.histogram.region, (Opsa::Rect { 1, 2, 30, 40 }));
        EXPECT_TRUE(aCopy.histogram.enabled);
        EXPECT_EQ(aCopy.sharpness.size, (Opsa::Size { 16, 12 }));
        EXPECT_TRUE(aCopy.sharpness.enabled);
        EXPECT_FALSE(aCopy.wanted);
        EXPECT_EQ(aCopy.colorMatrix(), std::vector<float>(matrix, matrix + 12));
    };
    Shot copied(shot);
    expectSameRequest(copied);
    Shot assigned;
    assigned = shot;
    expectSameRequest(assigned);
    EXPECT_EQ(shot.image.referenceCount(), 3);

    shot.setColorMatrix();
    EXPECT_TRUE(shot.colorMatrix().empty());
}

TEST(Shot, OwnsClonesOfItsActions)
{
    liveActions = 0;
    {
        CountedAction flash(100, 20);
        Shot shot;
        shot.addAction(flash);
        shot.addAction(CountedAction(500, 0));
        ASSERT_EQ(shot.actions().size(), 2u);
        EXPECT_EQ(shot.actions().count(&flash), 0u);
        EXPECT_EQ(liveActions, 3);

        Shot copy = shot;
        EXPECT_EQ(liveActions, 5);
        EXPECT_EQ(timings(copy), timings(shot));
        for (Opsa::Action *action : copy.actions())
            EXPECT_EQ(shot.actions().count(action), 0u);

        Shot other;
        other.addAction(CountedAction(1, 1));
        other = shot; // the target's own action is deleted
        EXPECT_EQ(liveActions, 7);
        EXPECT_EQ(timings(other), timings(shot));

        Shot &same = other;
        other = same; // assigning a shot to itself keeps its actions
        EXPECT_EQ(timings(other), timings(shot));
        EXPECT_EQ(liveActions, 7);

        copy.clearActions();
        EXPECT_TRUE(copy.actions().empty());
        EXPECT_EQ(liveActions, 5);
    }
    EXPECT_EQ(liveActions, 0);
}

} // namespace
