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

class Poster : public Opsa::EventGenerator
{
};

class Events : public testing::Test
{
protected:
    void SetUp() override { drainEvents(); }
    void TearDown() override { drainEvents(); }
};

TEST_F(Events, ComeOutInPostingOrderWithTimeAndCode)
{
    Opsa::Time before = Opsa::Time::now();
    Opsa::error(Event::DriverError, "first %d", 1);
    Opsa::warning(Event::FrameLimitHit, "second %s", "two");
    Opsa::post(Event::ShutterButtonPressed, 0, "Shutter button pressed");

    std::vector<Event> events = drainEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].type, Event::Error);
    EXPECT_EQ(events[0].data, Event::DriverError);
    EXPECT_EQ(events[0].description, "first 1");
    EXPECT_EQ(events[0].creator, nullptr);
    EXPECT_FALSE(events[0].time < before);
    EXPECT_EQ(events[1].type, Event::Warning);
    EXPECT_EQ(events[1].description, "second two");
    EXPECT_EQ(events[2].type, Event::ShutterButtonPressed);
    EXPECT_EQ(events[2].description, "Shutter button pressed");
    EXPECT_FALSE(events[2].time < events[0].time);
}

TEST_F(Events, LongMessagesAreCutTo255Characters)
{
    std::string text(400, 'x');
    Opsa::error(Event::InternalError, "%s", text.c_str());
    Poster poster;
    poster.warning(Event::InternalError, "%s!", text.c_str());
    std::vector<Event> events = drainEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].description, std::string(255, 'x'));
    EXPECT_EQ(events[1].description, std::string(255, 'x'));
}

TEST_F(Events, FilteredFetchesTakeTheFirstMatchAndLeaveTheRest)
{
    Poster a, b;
    Opsa::error(1, "e1"); // 0: library-wide, no creator
    a.error(4, "a-e4"); // 1
    b.warning(4, "b-w4"); // 2
    a.warning(9, "a-w9"); // 3
    Opsa::post(Event::FocusButtonPressed, 0, "press"); // 4
    b.error(4, "b-e4"); // 5

    Event event;
    ASSERT_TRUE(getNextEvent(&event, Event::Warning, 4));
    EXPECT_EQ(event.description, "b-w4");
    ASSERT_TRUE(getNextEvent(&event, Event::Error, &b));
    EXPECT_EQ(event.description, "b-e4");
    EXPECT_EQ(event.creator, &b);
    ASSERT_TRUE(getNextEvent(&event, Event::Warning, 9, &a));
    EXPECT_EQ(event.description, "a-w9");
    EXPECT_FALSE(getNextEvent(&event, Event::Warning, 9, &b));
    ASSERT_TRUE(getNextEvent(&event, Event::FocusButtonPressed));
    EXPECT_EQ(event.description, "press");
    // Library-wide errors have no creator: only a's own error is a's.
    ASSERT_TRUE(getNextEvent(&event, &a));
    EXPECT_EQ(event.description, "a-e4");
    EXPECT_FALSE(getNextEvent(&event, &a));
    EXPECT_FALSE(getNextEvent(&event, &b));
    EXPECT_FALSE(getNextEvent(&event, Event::ShutterButtonPressed));

    std::vector<Event> rest = drainEvents();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].description, "e1");
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
    EXPECT_FALSE(getNextEvent(&event, Event::Error));
    EXPECT_FALSE(getNextEvent(&event, Event::Error, Event::DriverError));
    EXPECT_EQ(queue.size(), 1u);
    queue.unlock();

    consumer.join();
    EXPECT_EQ(popped.description, "reserved");
    EXPECT_TRUE(queue.empty());
}

TEST(EventsDeathTest, PanicReportsTheLocationAndExits)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Opsa::panic("include/Opsa/TSQueue", 173, "Unable to initialize semaphore: %s",
                    "No space left on device"),
        testing::ExitedWithCode(1),
        "^  \\(Panic!\\) include/Opsa/TSQueue: 173: Unable to initialize semaphore: No "
        "space left on device\n$");
}

} // namespace
