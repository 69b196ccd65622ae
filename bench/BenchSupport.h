#pragma once

// What every benchmark binary needs: the machine and build it ran on, medians of repeated
// runs, peak memory of one case measured in a child process of its own, inputs kept out of
// the parent's memory, and test bursts made from the shared photographs.

#include "../tests/core/RegistrationBurst.h"
#include "core/Image"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <sys/mman.h>
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
    // User and system time of the timed part: unlike wall time it hardly moves when other work
    // shares the machine.
    double medianCpuMs = 0;
    double peakMb = 0;
    bool ok = false;
};

struct Options
{
    // Every run in a child process of its own: the one-shot tool's case, every page faulted
    // anew. Otherwise all runs share one child, as the merge thread runs burst after burst.
    bool processPerRun = false;
};

// CPU time of this process so far (user and system), in milliseconds.
inline double cpuMilliseconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// The wall time, CPU time and peak resident memory so far of one run.
struct RunSample
{
    double ms;
    double cpuMs;
    double peakMb;
};

// Runs aSetup then times aRun, aRuns times, in a child process, and collects one sample per
// run into aSamples; false when the child failed (a run may end it with a non-zero status).
inline bool runInChild(int aRuns, const std::function<void()> &aSetup,
    const std::function<void()> &aRun, std::vector<RunSample> &aSamples)
{
    int channel[2];
    if (pipe(channel) != 0)
        return false;
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        // The library's log lines would drown the table.
        if (!std::freopen("/dev/null", "w", stdout))
            _exit(1);
        for (int i = 0; i < aRuns; ++i) {
            aSetup();
            const double cpuStart = cpuMilliseconds();
            auto start = std::chrono::steady_clock::now();
            aRun();
            auto end = std::chrono::steady_clock::now();
            rusage usage;
            getrusage(RUSAGE_SELF, &usage);
            RunSample s { std::chrono::duration<double, std::milli>(end - start).count(),
                cpuMilliseconds() - cpuStart, usage.ru_maxrss / 1024.0 };
            if (write(channel[1], &s, sizeof s) != ssize_t(sizeof s))
                _exit(1);
        }
        _exit(0);
    }
    close(channel[1]);
    const std::size_t before = aSamples.size();
    int status = -1;
    if (child > 0) {
        RunSample s;
        while (read(channel[0], &s, sizeof s) == ssize_t(sizeof s))
            aSamples.push_back(s);
        waitpid(child, &status, 0);
    }
    close(channel[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0
        && aSamples.size() == before + std::size_t(aRuns);
}

inline double median(std::vector<double> aValues)
{
    std::sort(aValues.begin(), aValues.end());
    return aValues.empty() ? 0.0 : aValues[aValues.size() / 2];
}

// Runs aSetup then times aRun, aRuns times, in child processes, so that the peak resident
// memory reported is that of this case alone (inputs included: what the parent holds as well).
inline Result measure(int aRuns, const std::function<void()> &aSetup,
    const std::function<void()> &aRun, Options aOptions = Options())
{
    std::vector<RunSample> samples;
    Result result;
    const int children = aOptions.processPerRun ? aRuns : 1;
    for (int i = 0; i < children; ++i)
        if (!runInChild(aRuns / children, aSetup, aRun, samples))
            return result;
    if (samples.empty())
        return result;
    std::vector<double> ms, cpuMs;
    for (const RunSample &s : samples) {
        ms.push_back(s.ms);
        cpuMs.push_back(s.cpuMs);
        result.peakMb = std::max(result.peakMb, s.peakMb);
    }
    result.medianMs = median(ms);
    result.minMs = *std::min_element(ms.begin(), ms.end());
    result.medianCpuMs = median(cpuMs);
    result.ok = true;
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

// One line for a case measured both ways: each run in a fresh process ("cold", whose peak is
// reported) and all runs in one process ("warm"), medians of wall and CPU time.
inline void printColdAndWarm(const char *aCase, const Result &aCold, const Result &aWarm)
{
    if (!aCold.ok || !aWarm.ok) {
        std::printf("%-30s failed\n", aCase);
        return;
    }
    std::printf("%-30s cold %6.1f ms (cpu %6.1f)  warm %6.1f ms (cpu %6.1f)  peak %6.1f MB\n",
        aCase, aCold.medianMs, aCold.medianCpuMs, aWarm.medianMs, aWarm.medianCpuMs, aCold.peakMb);
}

// The frames of a case kept in a memory file rather than in the parent's heap, so that a child
// measured for the case holds its own copies only (the parent's resident memory is counted in
// a child's peak).
class FrameStore
{
public:
    FrameStore() = default;
    FrameStore(const FrameStore &) = delete;
    FrameStore &operator=(const FrameStore &) = delete;
    ~FrameStore() { release(); }

    template <class T> void add(const Image<T> &aImage)
    {
        width = aImage.width();
        height = aImage.height();
        channels = aImage.channels();
        const std::size_t bytes = frameBytes<T>();
        if (fd < 0)
            fd = memfd_create("bench-frames", 0);
        const off_t at = off_t(bytes * count);
        if (fd < 0 || ftruncate(fd, at + off_t(bytes)) != 0
            || pwrite(fd, aImage.data(), bytes, at) != ssize_t(bytes)) {
            std::perror("memory file");
            std::exit(1);
        }
        ++count;
    }

    // Fresh images holding copies of the frames, read straight into them (no mapping that
    // would count in the peak).
    template <class T> std::vector<Image<T>> copies() const
    {
        std::vector<Image<T>> out;
        const std::size_t bytes = frameBytes<T>();
        for (int k = 0; k < count; ++k) {
            Image<T> img(width, height, channels);
            if (img.empty() || pread(fd, img.data(), bytes, off_t(bytes * k)) != ssize_t(bytes)) {
                std::perror("memory file");
                std::exit(1);
            }
            out.push_back(img);
        }
        return out;
    }

    // "3 x 2592x1968x3": count x width x height x channels.
    std::string describe() const
    {
        return std::to_string(count) + " x " + std::to_string(width) + "x" + std::to_string(height)
            + "x" + std::to_string(channels);
    }

    void release()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
        count = 0;
    }

    int width = 0, height = 0, channels = 0, count = 0;

private:
    template <class T> std::size_t frameBytes() const
    {
        return std::size_t(width) * height * channels * sizeof(T);
    }

    int fd = -1;
};

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
inline Image<unsigned char> scaleAndCrop(
    const Image<unsigned char> &aSource, int aWidth, int aHeight)
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

// An RGB photograph packed as raw frames are (the registration tests' helper).
using regtest::packMosaic;

} // namespace bench
