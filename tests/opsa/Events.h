#pragma once

// Helpers for suites that check what the camera library posted.

#include "Opsa/Event.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace opsatest {

// Removes and returns every queued event, oldest first.
inline std::vector<Opsa::Event> drainEvents()
{
    std::vector<Opsa::Event> events;
    for (Opsa::Event event; Opsa::getNextEvent(&event);)
        events.push_back(event);
    return events;
}

// The descriptions of every queued event of one type and code (draining the queue).
inline std::vector<std::string> drainMessages(int aType, int aCode)
{
    std::vector<std::string> messages;
    for (const Opsa::Event &event : drainEvents())
        if (event.type == aType && event.data == aCode)
            messages.push_back(event.description);
    return messages;
}

// A test that starts with an empty event queue.
class EventTest : public testing::Test
{
protected:
    void SetUp() override { drainEvents(); }
};

} // namespace opsatest
