// Handles of one buffer copied and dropped on two threads at once: the use count must stay
// exact (run under ThreadSanitizer, which also reports any unguarded access to it).

#include "core/Image"

#include <gtest/gtest.h>
#include <thread>

TEST(ImageThreads, HandlesOfOneBufferAreCopiedAndDroppedOnTwoThreads)
{
    Image<unsigned char> original(16, 8, 3);
    auto churn = [](Image<unsigned char> aHandle) {
        for (int i = 0; i < 20000; ++i) {
            Image<unsigned char> copy(aHandle);
            Image<unsigned char> assigned;
            assigned = copy;
        }
    };
    std::thread first(churn, original), second(churn, original);
    first.join();
    second.join();
    EXPECT_EQ(original.useCount(), 1);

    // The last handle may go on either thread; the buffer goes with it exactly once.
    std::thread third(churn, original), fourth(churn, original);
    original = Image<unsigned char>();
    third.join();
    fourth.join();
}
