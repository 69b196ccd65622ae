#pragma once

// Helpers shared by the fuzz targets: silence the libraries' messages (a fuzzer runs millions of
// inputs) and hand the fuzzer's bytes to readers that take a file name.

#include "core/Report"

#include <Opsa/Event.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

// The image library's messages go nowhere while fuzzing.
inline void silenceReports()
{
    static const bool once = [] {
        core::setReportSink([](const std::string &) {});
        return true;
    }();
    (void)once;
}

// Empties the camera library's event queue, where parse errors accumulate.
inline void drainEvents()
{
    Opsa::Event event;
    while (Opsa::getNextEvent(&event)) { }
}

// An unnamed file in memory holding the current input, reachable by a path
// (/proc/self/fd/N) for readers that open files by name.
class MemoryFile
{
public:
    MemoryFile() { fd = memfd_create("fuzz-input", MFD_CLOEXEC); }
    ~MemoryFile() { ::close(fd); }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    // Replaces the file's content; returns the path to open.
    const char *hold(const std::uint8_t *aData, std::size_t aSize)
    {
        if (ftruncate(fd, 0) != 0 || (aSize && pwrite(fd, aData, aSize, 0) != ssize_t(aSize)))
            std::abort();
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        return path;
    }

private:
    int fd = -1;
    char path[64] = { 0 };
};

} // namespace fuzz
