#include "Opsa/Shot.h"

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
    explicit CountedAction(int aTime)
    {
        time = aTime;
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

std::multiset<int> times(const Shot &aShot)
{
    std::multiset<int> result;
    for (const Opsa::Action *action : aShot.actions())
        result.insert(action->time);
    return result;
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
}

TEST(Shot, IdsStayUniqueAcrossThreads)
{
    std::vector<int> ids[4];
    std::vector<std::thread> threads;
    for (std::vector<int> &mine : ids) {
        threads.emplace_back([&mine] {
            Shot source;
            for (int i = 0; i < 1000; ++i)
                mine.push_back(Shot(source).id);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    std::set<int> all;
    for (const std::vector<int> &mine : ids)
        all.insert(mine.begin(), mine.end());
    EXPECT_EQ(all.size(), 4000u);
}

TEST(Shot, CopiesShareTheImageAndKeepTheRequest)
{
    Shot shot;
    shot.image = Opsa::Image(64, 48, Opsa::UYVY);
    shot.exposure = 30000;
    shot.gain = 2.5f;
    shot.histogram.region = { 1, 2, 30, 40 };
    shot.sharpness.enabled = true;
    shot.wanted = false;
    float matrix[12] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 };
    shot.setColorMatrix(matrix);

    Shot copied(shot);
    Shot assigned;
    assigned = shot;
    for (const Shot *copy : { &copied, &assigned }) {
        EXPECT_EQ(copy->image.data(), shot.image.data());
        EXPECT_EQ(copy->exposure, 30000);
        EXPECT_EQ(copy->gain, 2.5f);
        EXPECT_EQ(copy->histogram.region, (Opsa::Rect { 1, 2, 30, 40 }));
        EXPECT_TRUE(copy->sharpness.enabled);
        EXPECT_FALSE(copy->wanted);
        EXPECT_EQ(copy->colorMatrix(), std::vector<float>(matrix, matrix + 12));
    }
    EXPECT_EQ(shot.image.referenceCount(), 3);
    shot.setColorMatrix();
    EXPECT_TRUE(shot.colorMatrix().empty());
}

TEST(Shot, OwnsClonesOfItsActions)
{
    liveActions = 0;
    {
        CountedAction flash(100);
        Shot shot;
        shot.addAction(flash);
        shot.addAction(CountedAction(500));
        EXPECT_EQ(shot.actions().count(&flash), 0u);
        EXPECT_EQ(liveActions, 3);

        Shot copy = shot;
        EXPECT_EQ(liveActions, 5);
        EXPECT_EQ(times(copy), times(shot));
        for (Opsa::Action *action : copy.actions())
            EXPECT_EQ(shot.actions().count(action), 0u);

        Shot other;
        other.addAction(CountedAction(1));
        other = shot; // the target's own action is deleted
        EXPECT_EQ(liveActions, 7);
        EXPECT_EQ(times(other), times(shot));

        Shot &same = other;
        other = same; // assigning a shot to itself keeps its actions
        EXPECT_EQ(times(other), times(shot));
        EXPECT_EQ(liveActions, 7);

        copy.clearActions();
        EXPECT_EQ(liveActions, 5);
    }
    EXPECT_EQ(liveActions, 0);
}

} // namespace
