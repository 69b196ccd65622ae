#include "core/Report"

#include <cstdarg>
#include <cstdio>

namespace core {

void report(const char *aFormat, ...)
{
    va_list args;
    va_start(args, aFormat);
    std::vfprintf(stdout, aFormat, args);
    va_end(args);
    std::fflush(stdout);
}

void reportError(const char *aFormat, ...)
{
    va_list args;
    va_start(args, aFormat);
    std::vfprintf(stderr, aFormat, args);
    va_end(args);
}

} // namespace core
