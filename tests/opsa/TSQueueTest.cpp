#include "Opsa/TSQueue.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

using Opsa::TSQueue;

namespace {

TEST(TSQueue, PassesEveryElementOnceAcrossThreadsOldestFirst)
{
    const int KPerProducer = 5000;
    TSQueue<int> queue;
    std::vector<int> seen[2];
    seen[0] = seen[1] = std::vector<int>(2 * KPerProducer);
    std::vector<std::thread> threads;
    for (int p = 0; p < 2; ++p) {
        threads.emplace_back([&queue, p] {
            for (int i = 0; i < KPerProducer; ++i)
                queue.push(p * KPerProducer + i);
        });
        // One consumer blocks, the other polls, so both claim paths race.
        threads.emplace_back([&queue, &mine = seen[p], p] {
            for (int taken = 0, value; taken < KPerProducer; ++taken) {
                if (p == 0)
                    value = queue.pop();
                else
                    while (!queue.tryPop(value))
                        std::this_thread::yield();
                ++mine[value];
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int i = 0; i < 2 * KPerProducer; ++i)
        ASSERT_EQ(seen[0][i] + seen[1][i], 1) << i;
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.unclaimed(), 0);
    int value;
    queue.push(1);
    queue.push(2);
    queue.pushFront(0);
    EXPECT_EQ(queue.pop(), 0); // oldest first, unless pushed in front
    EXPECT_TRUE(queue.tryPopBack(value) && value == 2);
    EXPECT_EQ(queue.pop(), 1);
}

} // namespace
