#pragma once

#include <cstdint>
#include <time.h>

namespace Opsa {

// A point in wall-clock time as the time-of-day call returns it: seconds and microseconds.
// A zero value (both parts 0) stands for a time not yet known. Durations are plain signed
// 32-bit microsecond counts.
// Thread: any; a value type without shared state.
class Time
{
public:
    Time() = default;
    Time(int aSeconds, int aMicroseconds)
        : sec(aSeconds)
        , usec(aMicroseconds)
    { }

    // The current time of day.
    static Time now();

    int seconds() const { return sec; }
    int microseconds() const { return usec; }
    bool isZero() const { return sec == 0 && usec == 0; }

    // Microseconds from aOther to this time. Only meaningful for times less than 2^31 us
    // (about 35 minutes) apart; callers take differences of nearby times.
    int operator-(const Time &aOther) const;

    // Moves the time by a signed number of microseconds. The microsecond part is brought back
    // into range one second at a time, and a part of exactly 1000000 is left as it is: the
    // capture daemon's predictions were tuned against this arithmetic.
    Time &operator+=(int aMicroseconds);
    Time &operator-=(int aMicroseconds);
    Time operator+(int aMicroseconds) const;
    Time operator-(int aMicroseconds) const;

    // Seconds first, then microseconds.
    bool operator<(const Time &aOther) const;
    bool operator>(const Time &aOther) const;
    bool operator<=(const Time &aOther) const { return !(*this > aOther); }
    bool operator>=(const Time &aOther) const { return !(*this < aOther); }
    bool operator==(const Time &aOther) const { return sec == aOther.sec && usec == aOther.usec; }
    bool operator!=(const Time &aOther) const { return !(*this == aOther); }

    // Seconds unchanged, nanoseconds = microseconds x 1000.
    struct timespec toTimespec() const;
    operator struct timespec() const { return toTimespec(); }

private:
    void shift(std::int64_t aMicroseconds);

    std::int32_t sec = 0;
    std::int32_t usec = 0;
};

} // namespace Opsa
