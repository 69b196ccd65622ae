#pragma once

// What every benchmark binary needs: the machine and build it ran on, medians of repeated
// runs, peak memory of one case measured in a child process of its own, and test bursts
// made from the shared photographs.

#include "core/Image"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

// Prints the machine, the build type and the benchmark's name.
inline void printHeader(const char *aName)
{
    std::string cpu = "unknown processor";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);)
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    utsname host;
    uname(&host);
    std::printf("%s\nmachine: %s, %u cores, %s %s; build: %s\n\n", aName, cpu.c_str(),
        std::thread::hardware_concurrency(), host.sysname, host.release, DUSKLINE_BUILD_TYPE);
}

struct Result
{
    double medianMs = 0;
    double minMs = 0;
    double peakMb = 0;
    bool ok = false;
};

// Runs aSetup then times aRun, aRuns times, in a child process, so that the peak resident
// memory reported is that of this case alone (inputs included).
inline Result measure(int aRuns, const std::function<void()> &aSetup,
    const std::function<void()> &aRun)
{
    int channel[2];
    Result result;
    if (pipe(channel) != 0)
        return result;
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        // The library's log lines would drown the table.
        if (!std::freopen("/dev/null", "w", stdout))
            _exit(1);
        std::vector<double> times;
        for (int i = 0; i < aRuns; ++i) {
            aSetup();
            auto start = std::chrono::steady_clock::now();
            aRun();
            auto end = std::chrono::steady_clock::now();
            times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
        std::sort(times.begin(), times.end());
        rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        Result r;
        r.medianMs = times[times.size() / 2];
        r.minMs = times.front();
        r.peakMb = usage.ru_maxrss / 1024.0;
        r.ok = true;
        ssize_t n = write(channel[1], &r, sizeof r);
        _exit(n == ssize_t(sizeof r) ? 0 : 1);
    }
    close(channel[1]);
    if (child > 0) {
        if (read(channel[0], &result, sizeof result) != ssize_t(sizeof result))
            result.ok = false;
        waitpid(child, nullptr, 0);
    }
    close(channel[0]);
    return result;
}

inline void printResult(const char *aCase, const Result &aResult, const char *aNote = "")
{
    if (!aResult.ok) {
        std::printf("%-44s failed\n", aCase);
        return;
    }
    std::printf("%-44s median %8.1f ms   min %8.1f ms   peak %6.1f MB  %s\n", aCase,
        aResult.medianMs, aResult.minMs, aResult.peakMb, aNote);
}

// The shared photographs, or an empty string (with a message) when they are absent.
inline std::string dataFile(const std::string &aRelative)
{
    std::string dir = DUSKLINE_DATA_DIR;
    if (access(dir.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "shared data not found at %s\n", dir.c_str());
        return std::string();
    }
    return dir + "/" + aRelative;
}

// Scales an RGB photograph by area averaging so that it covers aWidth × aHeight, then crops
// the centre: a phone-sized frame from a larger photograph.
inline Image<unsigned char> scaleAndCrop(const Image<unsigned char> &aSource, int aWidth,
    int aHeight)
{
    Image<unsigned char> out(aWidth, aHeight, 3);
    const double scale
        = std::max(double(aWidth) / aSource.width(), double(aHeight) / aSource.height());
    const double step = 1.0 / scale;
    const double offsetX = (aSource.width() - aWidth * step) / 2;
    const double offsetY = (aSource.height() - aHeight * step) / 2;
    for (int y = 0; y < aHeight; ++y) {
        const int y0 = int(offsetY + y * step);
        const int y1 = std::max(y0 + 1, std::min(aSource.height(), int(offsetY + (y + 1) * step)));
        for (int x = 0; x < aWidth; ++x) {
            const int x0 = int(offsetX + x * step);
            const int x1
                = std::max(x0 + 1, std::min(aSource.width(), int(offsetX + (x + 1) * step)));
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int sy = y0; sy < y1; ++sy)
                    for (int sx = x0; sx < x1; ++sx)
                        sum += aSource(sx, sy, c);
                out(x, y, c) = static_cast<unsigned char>(sum / ((y1 - y0) * (x1 - x0)));
            }
        }
    }
    return out;
}

// The Kebun scene (three exposures, darkest first) at aWidth × aHeight, or an empty vector.
inline std::vector<Image<unsigned char>> kebunBurst(int aWidth, int aHeight)
{
    std::vector<Image<unsigned char>> burst;
    for (const char *name : { "Kebun/8.jpg", "Kebun/6.jpg", "Kebun/4.jpg" }) {
        std::string path = dataFile(name);
        if (path.empty())
            return {};
        Image<unsigned char> photo(path.c_str(), 0);
        if (photo.empty())
            return {};
        burst.push_back(scaleAndCrop(photo, aWidth, aHeight));
    }
    return burst;
}

} // namespace bench
