// Exposure fusion benchmark: wall time and peak resident memory of the three fusions the
// application runs, from images already in memory.
//
//   merge   3 × 2592×1968 RGB,        computeWithMaxDetail(…, 102, 51)
//   raw     3 × 1296×984×4 raw short, compute(…, 409, 204)
//   preview 3 × 648×492 RGB,          compute(…, 102, 51)
//
// Inputs are a real bracket (Kebun from the shared data, centre crop; raw frames are packed
// from it as G R / B G sites), or a synthetic bracket when the data is absent. They are kept
// in a memory file. Each run is a freshly executed process that copies them into images of
// its own, drops the file's mapping, resets its peak resident size and fuses: "cold" is the
// one-shot tool's case (fresh allocator, every page faulted anew). "warm" repeats the fusion
// in one process, as the merge thread does burst after burst (time only: that process keeps
// the inputs mapped).
//
// Each case runs with one thread and with two (bands of rows; the result is the same).
//
// Usage: fusion_bench [runs]   (default 7)

#include "core/HDRFusion"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Inputs
{
    std::string name;
    int width = 0, height = 0, channels = 0, count = 0, sampleBytes = 1, threads = 1;
    int fd = -1;

    std::size_t frameBytes() const { return std::size_t(width) * height * channels * sampleBytes; }

    template <class T> void add(const Image<T> &aImage)
    {
        width = aImage.width();
        height = aImage.height();
        channels = aImage.channels();
        sampleBytes = int(sizeof(T));
        if (fd < 0)
            fd = memfd_create("fusion-inputs", 0);
        const off_t at = off_t(frameBytes() * count);
        if (fd < 0 || ftruncate(fd, at + off_t(frameBytes())) != 0
            || pwrite(fd, aImage.data(), frameBytes(), at) != ssize_t(frameBytes())) {
            std::perror("memory file");
            std::exit(1);
        }
        ++count;
    }

    void release()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
        count = 0;
    }

    template <class T> std::vector<Image<T>> copies() const
    {
        std::vector<Image<T>> out;
        const std::size_t bytes = frameBytes() * count;
        void *map = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map == MAP_FAILED) {
            std::perror("mmap");
            std::exit(1);
        }
        for (int k = 0; k < count; ++k) {
            Image<T> img(width, height, channels);
            std::memcpy(
                img.data(), static_cast<const char *>(map) + frameBytes() * k, frameBytes());
            out.push_back(img);
        }
        munmap(map, bytes);
        return out;
    }
};

struct Sample
{
    double ms;
    double cpuMs;
    long peakKb;
};

// CPU time of this process so far (user and system), in milliseconds: unlike wall time it
// hardly moves when other work shares the machine.
double cpuMilliseconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

long peakKilobytes()
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    std::fclose(f);
    return kb;
}

void resetPeak()
{
    int fd = open("/proc/self/clear_refs", O_WRONLY);
    if (fd >= 0) {
        if (write(fd, "5", 1) != 1)
            std::perror("clear_refs");
        close(fd);
    }
}

double median(std::vector<double> aValues)
{
    std::sort(aValues.begin(), aValues.end());
    return aValues.empty() ? 0.0 : aValues[aValues.size() / 2];
}

// Copies the inputs, resets the peak, fuses; only the fusion is timed.
template <class T, class Fuse> Sample fuseOnce(const Inputs &aInputs, Fuse aFuse)
{
    std::vector<Image<T>> images = aInputs.copies<T>();
    resetPeak();
    const double cpuStart = cpuMilliseconds();
    auto start = std::chrono::steady_clock::now();
    aFuse(images);
    auto end = std::chrono::steady_clock::now();
    return Sample { std::chrono::duration<double, std::milli>(end - start).count(),
        cpuMilliseconds() - cpuStart, peakKilobytes() };
}

Sample fuseCase(const Inputs &aInputs)
{
    const int threads = aInputs.threads;
    if (aInputs.name == "raw")
        return fuseOnce<short>(aInputs, [threads](std::vector<Image<short>> &aImages) {
            HDRFusion<Image<short>>::compute(aImages, 409, 204, threads);
        });
    if (aInputs.name == "merge")
        return fuseOnce<unsigned char>(
            aInputs, [threads](std::vector<Image<unsigned char>> &aImages) {
                HDRFusion<Image<unsigned char>>::computeWithMaxDetail(aImages, 102, 51, threads);
            });
    return fuseOnce<unsigned char>(aInputs, [threads](std::vector<Image<unsigned char>> &aImages) {
        HDRFusion<Image<unsigned char>>::compute(aImages, 102, 51, threads);
    });
}

// The child: fusion_bench --child NAME FD WIDTH HEIGHT CHANNELS COUNT SAMPLEBYTES RUNS RESULTFD
// THREADS
int childMain(char **argv)
{
    Inputs in;
    in.name = argv[2];
    in.fd = std::atoi(argv[3]);
    in.width = std::atoi(argv[4]);
    in.height = std::atoi(argv[5]);
    in.channels = std::atoi(argv[6]);
    in.count = std::atoi(argv[7]);
    in.sampleBytes = std::atoi(argv[8]);
    const int runs = std::atoi(argv[9]);
    const int results = std::atoi(argv[10]);
    in.threads = std::atoi(argv[11]);
    // The fusion's log lines are not part of the benchmark's output.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0)
        dup2(null, STDOUT_FILENO);
    for (int r = 0; r < runs; ++r) {
        Sample s = fuseCase(in);
        if (write(results, &s, sizeof s) != ssize_t(sizeof s))
            return 1;
    }
    return 0;
}

// Runs aRunsPerProcess fusions in each of aProcesses fresh processes.
std::vector<Sample> measure(const Inputs &aInputs, int aProcesses, int aRunsPerProcess)
{
    std::vector<Sample> samples;
    for (int p = 0; p < aProcesses; ++p) {
        int fds[2];
        if (pipe(fds) != 0) {
            std::perror("pipe");
            std::exit(1);
        }
        std::fflush(stdout);
        pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            std::exit(1);
        }
        if (child == 0) {
            close(fds[0]);
            std::vector<std::string> args
                = { "fusion_bench", "--child", aInputs.name, std::to_string(aInputs.fd),
                      std::to_string(aInputs.width), std::to_string(aInputs.height),
                      std::to_string(aInputs.channels), std::to_string(aInputs.count),
                      std::to_string(aInputs.sampleBytes), std::to_string(aRunsPerProcess),
                      std::to_string(fds[1]), std::to_string(aInputs.threads) };
            std::vector<char *> argv;
            for (std::string &a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv("/proc/self/exe", argv.data());
            std::perror("execv");
            _exit(1);
        }
        close(fds[1]);
        Sample s;
        while (read(fds[0], &s, sizeof s) == ssize_t(sizeof s))
            samples.push_back(s);
        close(fds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || samples.empty()) {
            std::fprintf(stderr, "a benchmark run of %s failed\n", aInputs.name.c_str());
            std::exit(1);
        }
    }
    return samples;
}

void runCase(const Inputs &aInputs, int aRuns)
{
    std::vector<double> coldMs, coldCpu, warmMs, warmCpu, peaks;
    for (const Sample &s : measure(aInputs, aRuns, 1)) {
        coldMs.push_back(s.ms);
        coldCpu.push_back(s.cpuMs);
        peaks.push_back(s.peakKb / 1024.0);
    }
    for (const Sample &s : measure(aInputs, 1, aRuns)) {
        warmMs.push_back(s.ms);
        warmCpu.push_back(s.cpuMs);
    }
    std::printf(
        "%-8s %d x %4dx%4dx%d  %d thr  cold %6.1f ms (cpu %6.1f)  warm %6.1f ms (cpu %6.1f)  "
        "peak %6.1f MB\n",
        aInputs.name.c_str(), aInputs.count, aInputs.width, aInputs.height, aInputs.channels,
        aInputs.threads, median(coldMs), median(coldCpu), median(warmMs), median(warmCpu),
        *std::max_element(peaks.begin(), peaks.end()));
}

// Centre crop of aImage to aWidth × aHeight.
Image<unsigned char> crop(const Image<unsigned char> &aImage, int aWidth, int aHeight)
{
    Image<unsigned char> out(aWidth, aHeight, 3);
    const int x0 = (aImage.width() - aWidth) / 2, y0 = (aImage.height() - aHeight) / 2;
    for (int y = 0; y < aHeight; ++y)
        std::memcpy(out.rowBegin(y), aImage(x0, y0 + y), std::size_t(aWidth) * 3);
    return out;
}

// A bracket of a synthetic scene with about ten stops of range: a dim room, a bright window.
Image<unsigned char> syntheticFrame(int aWidth, int aHeight, float aExposure)
{
    Image<unsigned char> out(aWidth, aHeight, 3);
    unsigned seed = 12345;
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x) {
            bool window
                = x > aWidth / 2 && x < aWidth * 7 / 8 && y > aHeight / 6 && y < aHeight / 2;
            float radiance
                = window ? 40.0f : 0.05f + 0.5f * (1 + std::sin(x * 0.02f) * std::cos(y * 0.03f));
            for (int c = 0; c < 3; ++c) {
                seed = seed * 1103515245u + 12345u;
                float noise = float((seed >> 16) & 0xff) / 255.0f * 0.02f;
                float v = std::pow(
                    std::min(1.0f, radiance * aExposure * (0.8f + 0.1f * c) + noise), 1 / 2.2f);
                out(x, y, c) = (unsigned char)(v * 255.0f + 0.5f);
            }
        }
    return out;
}

std::string cpuModel()
{
    FILE *f = std::fopen("/proc/cpuinfo", "r");
    std::string model = "unknown";
    if (!f)
        return model;
    char line[512];
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "model name", 10) == 0) {
            const char *colon = std::strchr(line, ':');
            if (colon) {
                model = colon + 2;
                model.erase(model.find_last_not_of("\n") + 1);
            }
            break;
        }
    std::fclose(f);
    return model;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 11 && std::strcmp(argv[1], "--child") == 0)
        return childMain(argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    utsname u;
    uname(&u);
    std::printf("machine: %s, %ld cores, %s %s\n", cpuModel().c_str(),
        sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release);
    std::printf(
        "build type: %s; %d runs per case, one and two threads\n", DUSKLINE_BUILD_TYPE, runs);

    const int W = 2592, H = 1968;
    std::vector<Image<unsigned char>> bracket;
    const std::string dir = std::string(DUSKLINE_DATA_DIR) + "/Kebun/";
    for (const char *name : { "8.jpg", "6.jpg", "4.jpg" }) {
        Image<unsigned char> full((dir + name).c_str(), 0);
        if (full.empty() || full.width() < W || full.height() < H)
            break;
        bracket.push_back(crop(full, W, H));
    }
    const bool real = bracket.size() == 3;
    if (!real) {
        bracket.clear();
        for (float exposure : { 0.25f, 1.0f, 4.0f })
            bracket.push_back(syntheticFrame(W, H, exposure));
    }
    std::printf(
        "inputs: %s\n\n", real ? "Kebun bracket (shared data), centre crop" : "synthetic bracket");

    Inputs merge, raw, preview;
    merge.name = "merge";
    raw.name = "raw";
    preview.name = "preview";
    const int sites[4][3] = { { 0, 0, 1 }, { 1, 0, 0 }, { 0, 1, 2 }, { 1, 1, 1 } };
    for (const Image<unsigned char> &rgb : bracket) {
        merge.add(rgb);
        Image<short> packed(W / 2, H / 2, 4);
        for (int y = 0; y < H / 2; ++y)
            for (int x = 0; x < W / 2; ++x)
                for (int c = 0; c < 4; ++c)
                    packed(x, y, c) = short(
                        rgb(2 * x + sites[c][0], 2 * y + sites[c][1], sites[c][2]) * 1023 / 255);
        raw.add(packed);
        Image<unsigned char> half, quarter;
        if (reduce(rgb, half) != 0 || reduce(half, quarter) != 0)
            return 1;
        preview.add(quarter);
    }
    bracket.clear();

    for (Inputs *in : { &merge, &raw, &preview }) {
        for (int threads : { 1, 2 }) {
            in->threads = threads;
            runCase(*in, runs);
        }
        in->release();
    }
    std::printf("\nmedians of wall and CPU time; peak: largest resident size of a cold run, "
                "inputs included\n");
    std::printf("targets (one thread): merge <= 250 ms and <= 150 MB, preview <= 20 ms\n");
    return 0;
}
