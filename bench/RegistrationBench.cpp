// Registration benchmark: wall time, CPU time and peak resident memory of registerImages on
// the bursts the application registers, from images already in memory.
//
//   merge   3 x 2592x1968 RGB,        registerImages(..., 1024, 10, 4, 1)
//   raw     3 x 1296x984x4 raw short, registerImages(..., 1024, 10, 4, 1)
//   preview 3 x 648x492 RGB,          registerImages(..., 512, 10, 4, 1)
//
// Inputs: the Kebun bracket of the shared data (three exposures from a tripod), centre crop,
// with the second and third frames moved by a known hand shake (shift, rotation, scale) so
// that registration has real work; raw frames are packed from them as G R / B G sites. A
// synthetic burst stands in when the data is absent. Each "cold" run is a fresh process that
// copies the inputs into images of its own, resets its peak resident size and registers (the
// one-shot tool's case: every page faulted anew); "warm" repeats the registration in one
// process, as the merge thread does burst after burst. The accuracy line gives how far the
// recovered models put the frames' corners from the hand shake that was applied.
//
// Usage: registration_bench [runs]   (default 7)

#include "core/Algorithms"

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

// The frames of one case, kept in a memory file so that a fresh process can copy them.
struct Inputs
{
    std::string name;
    int width = 0, height = 0, channels = 0, count = 0, sampleBytes = 1;
    int maxSize = 1024;
    int fd = -1;

    std::size_t frameBytes() const { return std::size_t(width) * height * channels * sampleBytes; }

    template <class T> void add(const Image<T> &aImage)
    {
        width = aImage.width();
        height = aImage.height();
        channels = aImage.channels();
        sampleBytes = int(sizeof(T));
        if (fd < 0)
            fd = memfd_create("registration-inputs", 0);
        const off_t at = off_t(frameBytes() * count);
        if (fd < 0 || ftruncate(fd, at + off_t(frameBytes())) != 0
            || pwrite(fd, aImage.data(), frameBytes(), at) != ssize_t(frameBytes())) {
            std::perror("memory file");
            std::exit(1);
        }
        ++count;
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

// Copies the inputs, resets the peak, registers; only the registration is timed.
template <class T> Sample registerOnce(const Inputs &aInputs)
{
    std::vector<Image<T>> images = aInputs.copies<T>();
    resetPeak();
    const double cpuStart = cpuMilliseconds();
    auto start = std::chrono::steady_clock::now();
    if (registerImages(images, aInputs.maxSize, 10, 4, 1) != 0)
        std::exit(1);
    auto end = std::chrono::steady_clock::now();
    return Sample { std::chrono::duration<double, std::milli>(end - start).count(),
        cpuMilliseconds() - cpuStart, peakKilobytes() };
}

Sample registerCase(const Inputs &aInputs)
{
    return aInputs.sampleBytes == 2 ? registerOnce<short>(aInputs)
                                    : registerOnce<unsigned char>(aInputs);
}

// The child: registration_bench --child NAME FD W H CHANNELS COUNT SAMPLEBYTES MAXSIZE RUNS OUT
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
    in.maxSize = std::atoi(argv[9]);
    const int runs = std::atoi(argv[10]);
    const int results = std::atoi(argv[11]);
    for (int r = 0; r < runs; ++r) {
        Sample s = registerCase(in);
        if (write(results, &s, sizeof s) != ssize_t(sizeof s))
            return 1;
    }
    return 0;
}

// Runs aRunsPerProcess registrations in each of aProcesses fresh processes.
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
                = { "registration_bench", "--child", aInputs.name, std::to_string(aInputs.fd),
                      std::to_string(aInputs.width), std::to_string(aInputs.height),
                      std::to_string(aInputs.channels), std::to_string(aInputs.count),
                      std::to_string(aInputs.sampleBytes), std::to_string(aInputs.maxSize),
                      std::to_string(aRunsPerProcess), std::to_string(fds[1]) };
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
    std::printf("%-8s %d x %4dx%4dx%d  cold %6.1f ms (cpu %6.1f)  warm %6.1f ms (cpu %6.1f)  "
                "peak %6.1f MB\n",
        aInputs.name.c_str(), aInputs.count, aInputs.width, aInputs.height, aInputs.channels,
        median(coldMs), median(coldCpu), median(warmMs), median(warmCpu),
        *std::max_element(peaks.begin(), peaks.end()));
}

// The hand shake applied to frame k: rotation (degrees), scale, shift (pixels of the
// 2592-wide frame).
struct Shake
{
    double degrees, scale, dx, dy;
};
const Shake KShakes[3]
    = { { 0.0, 1.0, 0.0, 0.0 }, { 0.4, 1.004, 13.0, -9.0 }, { -0.7, 0.995, -21.0, 17.5 } };

// The similarity of aShake in normalised coordinates of a w x h frame.
Matrix3f shakeModel(const Shake &aShake, int aWidth, int aHeight)
{
    const double s = std::max(aWidth - 1, aHeight - 1), angle = aShake.degrees * M_PI / 180.0;
    const double toPixels = double(aWidth) / 2592.0;
    return Matrix3f::similarity(float(aShake.scale * std::cos(angle)),
        float(aShake.scale * std::sin(angle)), float(2.0 * aShake.dx * toPixels / s),
        float(2.0 * aShake.dy * toPixels / s));
}

// The aWidth x aHeight centre window of aImage as seen through aModel (which maps the view
// onto the window, as registration's models do), bilinear.
Image<unsigned char> view(
    const Image<unsigned char> &aImage, int aWidth, int aHeight, const Matrix3f &aModel)
{
    Image<unsigned char> out(aWidth, aHeight, 3);
    const int x0 = (aImage.width() - aWidth) / 2, y0 = (aImage.height() - aHeight) / 2;
    const Matrix3f n = levelNormalisation(aWidth, aHeight, 1.0f);
    const Matrix3f map = invertMatrix(n) * aModel * n;
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x) {
            float u, v;
            map.apply(float(x), float(y), u, v);
            u += x0;
            v += y0;
            const int ix = int(std::floor(u)), iy = int(std::floor(v));
            if (ix < 0 || iy < 0 || ix + 1 >= aImage.width() || iy + 1 >= aImage.height())
                continue;
            const float fx = u - ix, fy = v - iy;
            for (int c = 0; c < 3; ++c) {
                float top = aImage(ix, iy, c) * (1 - fx) + aImage(ix + 1, iy, c) * fx;
                float bottom = aImage(ix, iy + 1, c) * (1 - fx) + aImage(ix + 1, iy + 1, c) * fx;
                out(x, y, c) = (unsigned char)(top * (1 - fy) + bottom * fy + 0.5f);
            }
        }
    return out;
}

// A synthetic frame with detail everywhere (blurred noise) at the given brightness.
Image<unsigned char> syntheticFrame(int aWidth, int aHeight, float aGain)
{
    Image<unsigned char> out(aWidth, aHeight, 3);
    unsigned seed = 12345;
    std::vector<float> noise(std::size_t(aWidth) * aHeight);
    for (float &v : noise) {
        seed = seed * 1103515245u + 12345u;
        v = float((seed >> 16) & 0xff);
    }
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x) {
            float sum = 0.0f;
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) {
                    int xx = std::clamp(x + dx, 0, aWidth - 1),
                        yy = std::clamp(y + dy, 0, aHeight - 1);
                    sum += noise[std::size_t(yy) * aWidth + xx];
                }
            float v
                = std::clamp((sum / 25.0f - 128.0f) * 3.0f * aGain + 128.0f * aGain, 0.0f, 255.0f);
            for (int c = 0; c < 3; ++c)
                out(x, y, c) = (unsigned char)v;
        }
    return out;
}

// How far, in pixels, the models of a registration of aBurst put each frame's corners from
// the applied shake: the worst frame.
template <class T> double cornerError(const std::vector<Image<T>> &aBurst)
{
    Matrix3f models[3];
    if (core::estimateBurstMotion(aBurst, 1024, 10, 4, 1, models) != 0)
        return -1.0;
    const int w = aBurst[0].width(), h = aBurst[0].height();
    const Matrix3f n = levelNormalisation(w, h, 1.0f), back = invertMatrix(n);
    double worst = 0.0;
    for (int k = 1; k < 3; ++k) {
        const Matrix3f truth = back * shakeModel(KShakes[k], w, h) * n;
        const Matrix3f found = back * models[k] * n;
        for (int corner = 0; corner < 4; ++corner) {
            float x = (corner & 1) ? float(w - 1) : 0.0f, y = (corner & 2) ? float(h - 1) : 0.0f;
            float u1, v1, u2, v2;
            truth.apply(x, y, u1, v1);
            found.apply(x, y, u2, v2);
            worst = std::max(worst, double(std::hypot(u1 - u2, v1 - v2)));
        }
    }
    return worst;
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
    std::printf("build type: %s; %d runs per case; one thread\n", DUSKLINE_BUILD_TYPE, runs);

    const int W = 2592, H = 1968;
    std::vector<Image<unsigned char>> burst;
    const std::string dir = std::string(DUSKLINE_DATA_DIR) + "/Kebun/";
    int k = 0;
    for (const char *name : { "6.jpg", "8.jpg", "4.jpg" }) {
        Image<unsigned char> full((dir + name).c_str(), 0);
        if (full.empty() || full.width() < W + 100 || full.height() < H + 100)
            break;
        burst.push_back(view(full, W, H, shakeModel(KShakes[k++], W, H)));
    }
    const bool real = burst.size() == 3;
    if (!real) {
        burst.clear();
        const float gains[3] = { 1.0f, 0.5f, 1.6f };
        for (k = 0; k < 3; ++k) {
            Image<unsigned char> big = syntheticFrame(W + 200, H + 200, gains[k]);
            burst.push_back(view(big, W, H, shakeModel(KShakes[k], W, H)));
        }
    }
    std::printf("inputs: %s, frames 2 and 3 moved by (0.4 deg, 1.004, 13, -9) and "
                "(-0.7 deg, 0.995, -21, 17.5)\n",
        real ? "Kebun bracket (shared data), centre crop" : "synthetic burst");

    Inputs merge, raw, preview;
    merge.name = "merge";
    raw.name = "raw";
    preview.name = "preview";
    preview.maxSize = 512;
    std::vector<Image<short>> packedBurst;
    const int sites[4][3] = { { 0, 0, 1 }, { 1, 0, 0 }, { 0, 1, 2 }, { 1, 1, 1 } };
    for (const Image<unsigned char> &rgb : burst) {
        merge.add(rgb);
        Image<short> packed(W / 2, H / 2, 4);
        for (int y = 0; y < H / 2; ++y)
            for (int x = 0; x < W / 2; ++x)
                for (int c = 0; c < 4; ++c)
                    packed(x, y, c) = short(
                        rgb(2 * x + sites[c][0], 2 * y + sites[c][1], sites[c][2]) * 1023 / 255);
        raw.add(packed);
        packedBurst.push_back(packed);
        Image<unsigned char> quarter(W / 4, H / 4, 3);
        for (int y = 0; y < H / 4; ++y)
            for (int x = 0; x < W / 4; ++x)
                for (int c = 0; c < 3; ++c) {
                    int sum = 0;
                    for (int i = 0; i < 16; ++i)
                        sum += rgb(4 * x + i % 4, 4 * y + i / 4, c);
                    quarter(x, y, c) = (unsigned char)((sum + 8) / 16);
                }
        preview.add(quarter);
    }
    std::printf("accuracy: corners within %.2f px (merge), %.2f packed px (raw) of the shake\n\n",
        cornerError(burst), cornerError(packedBurst));
    burst.clear();
    packedBurst.clear();

    for (Inputs *in : { &merge, &raw, &preview }) {
        runCase(*in, runs);
        close(in->fd);
    }
    std::printf("\nmedians of wall and CPU time; peak: largest resident size of a cold run, "
                "inputs included\n");
    std::printf("target (one thread): merge <= 120 ms\n");
    return 0;
}
