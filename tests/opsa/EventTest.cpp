#include "Opsa/Event.h"

#include "Events.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>

using Opsa::Event;
using Opsa::getNextEvent;
using opsatest::drainEvents;

namespace {

using Events = opsatest::EventTest;

TEST_F(Events, FilteredFetchesTakeTheFirstMatchAndLeaveTheRestInPostingOrder)
{
    Opsa::EventGenerator a, b;
    Opsa::error(Event::DriverError, "%s", std::string(400, 'x').c_str());
    a.error(4, "a-e4");
    b.warning(4, "b-w4");
    a.warning(9, "a-w9");
    Opsa::post(Event::FocusButtonPressed, 0, "press");
    b.error(4, "b-e4");
    a.warning(4, "a-w4");

    Event event;
    ASSERT_TRUE(getNextEvent(&event, Event::Warning, 4));
    EXPECT_EQ(event.description, "b-w4");
    ASSERT_TRUE(getNextEvent(&event, Event::Error, &b));
    EXPECT_EQ(event.description, "b-e4");
    EXPECT_FALSE(getNextEvent(&event, Event::Warning, 9, &b));
    ASSERT_TRUE(getNextEvent(&event, Event::Warning, 9, &a));
    ASSERT_TRUE(getNextEvent(&event, Event::FocusButtonPressed));
    EXPECT_FALSE(getNextEvent(&event, &b));
    ASSERT_TRUE(getNextEvent(&event, &a));
    EXPECT_EQ(event.description, "a-e4");

    // What is left comes out oldest first; library-wide errors have no creator.
    std::vector<Event> rest = drainEvents();
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].type, Event::Error);
    EXPECT_EQ(rest[0].data, Event::DriverError);
    EXPECT_EQ(rest[0].description, std::string(255, 'x'));
    EXPECT_EQ(rest[0].creator, nullptr);
    EXPECT_EQ(rest[1].creator, &a);
    EXPECT_FALSE(rest[1].time < rest[0].time);
}

TEST_F(Events, AnEventClaimedByABlockedPopIsLeftToIt)
{
    Opsa::TSQueue<Event> &queue = Opsa::eventQueue();
    std::atomic<bool> started { false };
    Event popped;
    std::thread consumer([&] {
        started = true;
        popped = queue.pop();
    });
    while (!started)
        std::this_thread::yield();

    // Hold the queue so the woken consumer claims the event but cannot take it yet.
    queue.lock();
    Opsa::error(Event::DriverError, "reserved");
    for (int i = 0; i < 5000 && queue.unclaimed() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(queue.unclaimed(), 0) << "the consumer never claimed the event";
    Event event;
    EXPECT_FALSE(getNextEvent(&event, Event::Error, Event::DriverError));
    EXPECT_EQ(queue.size(), 1u);
    queue.unlock();

    consumer.join();
    EXPECT_EQ(popped.description, "reserved");
    EXPECT_TRUE(queue.empty());
}

} // namespace
