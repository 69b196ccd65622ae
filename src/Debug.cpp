#include "Opsa/Debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace Opsa {

void panic(const char *aSource, int aLine, const char *aFormat, ...)
{
    char message[256];
    va_list args;
    va_start(args, aFormat);
    vsnprintf(message, sizeof message, aFormat, args);
    va_end(args);
    fprintf(stderr, "  (Panic!) %s: %d: %s\n", aSource, aLine, message);
    exit(1);
}

} // namespace Opsa
