#include "Opsa/Event.h"

#include <cstdarg>
#include <cstdio>

namespace Opsa {

TSQueue<Event> &eventQueue()
{
    static TSQueue<Event> queue;
    return queue;
}

namespace {

    // Builds the queue during static initialisation, so that it is destroyed after every object
    // constructed later (singletons that post from their destructors).
    [[maybe_unused]] TSQueue<Event> &earlyQueue = eventQueue();

    void traceEvent(const Event &aEvent)
    {
        switch (aEvent.type) {
        case Event::Error:
            OPSA_TRACE(0, "%s\n", aEvent.description.c_str());
            break;
        case Event::Warning:
            OPSA_TRACE(1, "%s\n", aEvent.description.c_str());
            break;
        default:
            OPSA_TRACE(3, "%s\n", aEvent.description.c_str());
            break;
        }
    }

    void postFormatted(
        int aType, int aCode, EventGenerator *aCreator, const char *aFormat, va_list aArgs)
    {
        char message[256];
        vsnprintf(message, sizeof message, aFormat, aArgs);
        post(aType, aCode, message, aCreator);
    }

    // Removes the first event that aMatch accepts, unless it is reserved by a blocked pop().
    template <typename Match> bool fetch(Event *aEvent, Match aMatch)
    {
        TSQueue<Event> &queue = eventQueue();
        queue.lock();
        for (auto it = queue.begin(); it != queue.end(); ++it) {
            if (!aMatch(*it))
                continue;
            Event copy = *it;
            if (!queue.erase(it)) {
                OPSA_TRACE(4, "getNextEvent: Skipping 'reserved' event.\n");
                queue.unlock();
                return false;
            }
            queue.unlock();
            *aEvent = copy;
            return true;
        }
        queue.unlock();
        return false;
    }

} // namespace

void post(int aType, int aData, const std::string &aDescription, EventGenerator *aCreator)
{
    Event event;
    event.creator = aCreator;
    event.type = aType;
    event.data = aData;
    event.time = Time::now();
    event.description = aDescription;
    post(event);
}

void post(const Event &aEvent)
{
    traceEvent(aEvent);
    eventQueue().push(aEvent);
}

void error(int aCode, const char *aFormat, ...)
{
    va_list args;
    va_start(args, aFormat);
    postFormatted(Event::Error, aCode, nullptr, aFormat, args);
    va_end(args);
}

void warning(int aCode, const char *aFormat, ...)
{
    va_list args;
    va_start(args, aFormat);
    postFormatted(Event::Warning, aCode, nullptr, aFormat, args);
    va_end(args);
}

void EventGenerator::error(int aCode, const char *aFormat, ...)
{
    va_list args;
    va_start(args, aFormat);
    postFormatted(Event::Error, aCode, this, aFormat, args);
    va_end(args);
}

void EventGenerator::warning(int aCode, const char *aFormat, ...)
{
    va_list args;
    va_start(args, aFormat);
    postFormatted(Event::Warning, aCode, this, aFormat, args);
    va_end(args);
}

bool getNextEvent(Event *aEvent)
{
    if (!aEvent)
        return false;
    return eventQueue().tryPop(*aEvent);
}

bool getNextEvent(Event *aEvent, int aType)
{
    return aEvent && fetch(aEvent, [&](const Event &e) { return e.type == aType; });
}

bool getNextEvent(Event *aEvent, int aType, int aData)
{
    return aEvent
        && fetch(aEvent, [&](const Event &e) { return e.type == aType && e.data == aData; });
}

bool getNextEvent(Event *aEvent, int aType, EventGenerator *aCreator)
{
    return aEvent
        && fetch(aEvent, [&](const Event &e) { return e.type == aType && e.creator == aCreator; });
}

bool getNextEvent(Event *aEvent, int aType, int aData, EventGenerator *aCreator)
{
    return aEvent && fetch(aEvent, [&](const Event &e) {
        return e.type == aType && e.data == aData && e.creator == aCreator;
    });
}

bool getNextEvent(Event *aEvent, EventGenerator *aCreator)
{
    return aEvent && fetch(aEvent, [&](const Event &e) { return e.creator == aCreator; });
}

} // namespace Opsa
