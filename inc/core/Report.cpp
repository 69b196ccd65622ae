#include "core/Report"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace core {
namespace {

    std::mutex sinkMutex;
    ReportSink sink;

} // namespace

void setReportSink(ReportSink aSink)
{
    std::lock_guard<std::mutex> lock(sinkMutex);
    sink = std::move(aSink);
}

void report(const char *aFormat, ...)
{
    va_list args;
    va_start(args, aFormat);
    char buffer[1024];
    const int length = std::vsnprintf(buffer, sizeof buffer, aFormat, args);
    va_end(args);
    std::string message(buffer);
    if (length >= int(sizeof buffer)) {
        // Rare long message (a long path): format it again at its full length.
        message.resize(std::size_t(length) + 1);
        va_start(args, aFormat);
        std::vsnprintf(&message[0], message.size(), aFormat, args);
        va_end(args);
        message.resize(std::size_t(length));
    }
    std::lock_guard<std::mutex> lock(sinkMutex);
    if (sink) {
        sink(message);
        return;
    }
    std::fputs(message.c_str(), stdout);
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
