#include "Opsa/TSQueue.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using Opsa::TSQueue;

namespace {

TEST(TSQueue, ProducersAndConsumersPassEveryElementOnceInOrder)
{
    const int KPerProducer = 5000;
    TSQueue<int> queue;
    std::vector<int> taken[2];
    std::vector<std::thread> threads;
    for (int p = 0; p < 2; ++p) {
        threads.emplace_back([&queue, p] {
            for (int i = 0; i < KPerProducer; ++i)
                queue.push(p * KPerProducer + i);
        });
    }
    for (int c = 0; c < 2; ++c) {
        threads.emplace_back([&queue, &taken, c] {
            // One consumer blocks, the other polls, so both claim paths race.
            while (taken[c].size() < size_t(KPerProducer)) {
                int value;
                if (c == 0)
                    taken[c].push_back(queue.pop());
                else if (queue.tryPop(value))
                    taken[c].push_back(value);
                else
                    std::this_thread::yield();
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    std::vector<int> seen(2 * KPerProducer, 0);
    for (const std::vector<int> &values : taken) {
        int last[2] = { -1, -1 };
        for (int value : values) {
            ++seen[value];
            // Each producer's elements arrive at each consumer in the order they were pushed.
            int producer = value / KPerProducer;
            EXPECT_GT(value, last[producer]);
            last[producer] = value;
        }
    }
    for (int count : seen)
        ASSERT_EQ(count, 1);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.unclaimed(), 0);
}

TEST(TSQueue, BothEndsAndNonBlockingTakes)
{
    TSQueue<std::string> queue;
    std::string out;
    EXPECT_FALSE(queue.tryPop(out));
    EXPECT_FALSE(queue.tryPopBack(out));
    queue.push("b");
    queue.push("c");
    queue.pushFront("a");
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue.front(), "a");
    EXPECT_EQ(queue.back(), "c");
    ASSERT_TRUE(queue.tryPopBack(out));
    EXPECT_EQ(out, "c");
    EXPECT_EQ(queue.pop(), "a");
    ASSERT_TRUE(queue.tryPop(out));
    EXPECT_EQ(out, "b");
    EXPECT_TRUE(queue.empty());
}

TEST(TSQueue, EraseDuringAScanKeepsTheCountConsistent)
{
    TSQueue<int> queue;
    for (int i = 0; i < 6; ++i)
        queue.push(i);
    queue.lock();
    for (auto it = queue.begin(); it != queue.end();) {
        if (*it % 2) {
            ASSERT_TRUE(queue.erase(it));
            it = queue.begin();
        } else {
            ++it;
        }
    }
    // Nested calls by the holder of the lock do not deadlock.
    EXPECT_EQ(queue.size(), 3u);
    queue.unlock();
    EXPECT_EQ(queue.unclaimed(), 3);
    EXPECT_EQ(queue.pop(), 0);
    EXPECT_EQ(queue.pop(), 2);
    EXPECT_EQ(queue.pop(), 4);
    int out;
    EXPECT_FALSE(queue.tryPop(out));
}

} // namespace
