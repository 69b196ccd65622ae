#include "Opsa/Shot.h"

#include <gtest/gtest.h>
#include <vector>

using Opsa::Shot;

namespace {

// Leaks and double deletes of the clones show under AddressSanitizer.
class TimedAction : public Opsa::Action
{
public:
    explicit TimedAction(int aTime) { time = aTime; }
    void perform() override { }
    Opsa::Action *clone() const override { return new TimedAction(*this); }
};

TEST(Shot, EveryConstructionCopyAndAssignmentDrawsANewId)
{
    Shot a, b;
    EXPECT_EQ(b.id, a.id + 1);
    Shot c = a;
    EXPECT_EQ(c.id, b.id + 1);
    a = b;
    EXPECT_EQ(a.id, c.id + 1);
}

TEST(Shot, CopiesShareTheImageKeepTheRequestAndOwnClonesOfTheActions)
{
    float matrix[12] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12 };
    Shot shot;
    shot.image = Opsa::Image(64, 48, Opsa::UYVY);
    shot.exposure = 30000;
    shot.setColorMatrix(matrix);
    TimedAction flash(100);
    shot.addAction(flash);
    shot.addAction(TimedAction(500));
    EXPECT_EQ(shot.actions().count(&flash), 0u);

    Shot copied(shot);
    Shot assigned;
    assigned.addAction(TimedAction(1));
    assigned = shot; // the target's own action goes
    Shot &same = assigned;
    assigned = same; // assigning a shot to itself keeps its actions
    for (const Shot *copy : { &copied, &assigned }) {
        EXPECT_EQ(copy->image.data(), shot.image.data());
        EXPECT_EQ(copy->exposure, 30000);
        EXPECT_EQ(copy->colorMatrix(), std::vector<float>(matrix, matrix + 12));
        EXPECT_EQ(copy->actions().size(), 2u);
        for (Opsa::Action *action : copy->actions())
            EXPECT_EQ(shot.actions().count(action), 0u); // a clone of its own
    }
    EXPECT_EQ(shot.image.referenceCount(), 3);
}

} // namespace
