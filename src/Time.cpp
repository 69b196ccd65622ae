#include "Opsa/Time.h"

#include <sys/time.h>

namespace Opsa {

Time Time::now()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return Time(static_cast<int>(tv.tv_sec), static_cast<int>(tv.tv_usec));
}

int Time::operator-(const Time &aOther) const
{
    // Worked in 64 bits so that far-apart times wrap like the 32-bit result instead of
    // overflowing a signed intermediate.
    std::int64_t diff
        = (std::int64_t(sec) - aOther.sec) * 1000000 + (std::int64_t(usec) - aOther.usec);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(diff));
}

void Time::shift(std::int64_t aMicroseconds)
{
    std::int64_t s = sec;
    std::int64_t us = usec + aMicroseconds;
    // The same result as stepping one second at a time: a negative part ends in [0, 999999],
    // a part above 1000000 ends in [1, 1000000].
    if (us < 0) {
        std::int64_t steps = (-us + 999999) / 1000000;
        us += steps * 1000000;
        s -= steps;
    } else if (us > 1000000) {
        std::int64_t steps = (us - 1) / 1000000;
        us -= steps * 1000000;
        s += steps;
    }
    sec = static_cast<std::int32_t>(static_cast<std::uint32_t>(s));
    usec = static_cast<std::int32_t>(us);
}

Time &Time::operator+=(int aMicroseconds)
{
    shift(aMicroseconds);
    return *this;
}

Time &Time::operator-=(int aMicroseconds)
{
    shift(-std::int64_t(aMicroseconds));
    return *this;
}

Time Time::operator+(int aMicroseconds) const
{
    Time t = *this;
    t += aMicroseconds;
    return t;
}

Time Time::operator-(int aMicroseconds) const
{
    Time t = *this;
    t -= aMicroseconds;
    return t;
}

bool Time::operator<(const Time &aOther) const
{
    return sec < aOther.sec || (sec == aOther.sec && usec < aOther.usec);
}

bool Time::operator>(const Time &aOther) const
{
    return sec > aOther.sec || (sec == aOther.sec && usec > aOther.usec);
}

struct timespec Time::toTimespec() const
{
    struct timespec ts;
    ts.tv_sec = sec;
    ts.tv_nsec = static_cast<long>(usec) * 1000;
    return ts;
}

} // namespace Opsa
