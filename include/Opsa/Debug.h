#pragma once

// The camera library's debug trace and its fatal stop.

namespace Opsa {

// A trace point: a level from 0 (errors) to 5 (chatter), the source location
// ("src/Ketto/Daemon:225") and a printf format. Tracing is switched off in this system: the
// call sites stay so that the formats keep being checked, but nothing is printed and the
// arguments are not evaluated.
[[gnu::format(printf, 3, 4)]] inline void trace(int, const char *, const char *, ...) { }

// Prints "  (Panic!) <source>: <line>: <message>" on standard error and ends the process with
// exit status 1. The message is formatted into 256 bytes. Only for failures the library cannot
// report as events (a queue that cannot make its semaphore).
[[noreturn, gnu::format(printf, 3, 4)]] void panic(
    const char *aSource, int aLine, const char *aFormat, ...);

} // namespace Opsa

#define OPSA_TRACE_STR2(x) #x
#define OPSA_TRACE_STR(x) OPSA_TRACE_STR2(x)

// OPSA_TRACE(level, format, ...): a disabled trace point at the current source location.
#define OPSA_TRACE(level, ...)                                                                     \
    do {                                                                                           \
        if (false)                                                                                 \
            ::Opsa::trace(level, __FILE__ ":" OPSA_TRACE_STR(__LINE__), __VA_ARGS__);              \
    } while (0)
