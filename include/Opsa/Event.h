#pragma once

#include "Opsa/TSQueue.h"
#include "Opsa/Time.h"

#include <string>

namespace Opsa {

class EventGenerator;

// One error, warning or hardware notification on the library's event queue.
struct Event
{
    // Kinds of event (the type field).
    enum Type {
        Error = 0,
        Warning = 1,
        FocusButtonPressed = 2,
        FocusButtonReleased = 3,
        ShutterButtonPressed = 4,
        ShutterButtonReleased = 5,
        LensCoverClosed = 10000,
        LensCoverOpened = 10001,
        KeyboardSlideOpened = 10002,
        KeyboardSlideClosed = 10003,
    };

    // Error and warning codes (the data field of Error and Warning events).
    enum Code {
        InternalError = 1,
        CameraInUse = 2,
        DriverMissing = 3,
        DriverError = 4,
        ImageTargetLocked = 5,
        ImageTargetSizeMismatch = 6,
        ImageTargetFormatMismatch = 7,
        FrameLimitHit = 9,
        LensPositionUnknown = 10,
        ImageLockMisuse = 13,
        BadTagCast = 14,
        NoCaptureRequested = 19,
        TagParseError = 20,
        FrameDataMissing = 22,
        OutOfCalibratedRange = 23,
    };

    EventGenerator *creator = nullptr; // the object that posted it, or null
    int type = 0;
    int data = 0; // error or warning code, 0 for notifications
    Time time; // time of day when it was posted
    std::string description;
};

// The one process-wide event queue. It exists before main() runs and outlives every object
// constructed after it, so events may be posted from static constructors and destructors.
// Thread: any.
TSQueue<Event> &eventQueue();

// Appends an event stamped with the current time.
// Thread: any.
void post(
    int aType, int aData, const std::string &aDescription, EventGenerator *aCreator = nullptr);
// Appends a copy of an existing event unchanged (its time and creator included).
void post(const Event &aEvent);

// Posts an Error or Warning event without a creator; the message is formatted printf-style
// into 256 bytes (longer text is cut to 255 characters).
// Thread: any.
[[gnu::format(printf, 2, 3)]] void error(int aCode, const char *aFormat, ...);
[[gnu::format(printf, 2, 3)]] void warning(int aCode, const char *aFormat, ...);

// Non-blocking fetches. Each removes the first matching event, fills *aEvent and returns true,
// or returns false when nothing matches. An event already claimed by a thread blocked in
// eventQueue().pop() is left to that thread: the filtered fetches then return false.
// Thread: any.
bool getNextEvent(Event *aEvent);
bool getNextEvent(Event *aEvent, int aType);
bool getNextEvent(Event *aEvent, int aType, int aData);
bool getNextEvent(Event *aEvent, int aType, EventGenerator *aCreator);
bool getNextEvent(Event *aEvent, int aType, int aData, EventGenerator *aCreator);
bool getNextEvent(Event *aEvent, EventGenerator *aCreator);

// Base of every object that posts events with itself as the creator (devices, frames).
// Thread: any.
class EventGenerator
{
public:
    virtual ~EventGenerator() = default;

    // Post an Error or Warning event with this object as the creator; formatted as error().
    [[gnu::format(printf, 3, 4)]] void error(int aCode, const char *aFormat, ...);
    [[gnu::format(printf, 3, 4)]] void warning(int aCode, const char *aFormat, ...);
};

} // namespace Opsa
