#pragma once

// The simulated phone's state, shared by the files that model its devices. Internal to sim/.

#include "Render.h"
#include "Scene.h"
#include "SimKernel.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace Opsa::Sim {

using Micros = std::int64_t;
constexpr Micros KNever = INT64_MAX;

inline Micros realNow()
{
    timeval tv;
    ::gettimeofday(&tv, nullptr);
    return Micros(tv.tv_sec) * 1000000 + tv.tv_usec;
}

inline Opsa::Time toTime(Micros aUs)
{
    return Opsa::Time(int(aUs / 1000000), int(aUs % 1000000));
}

inline std::chrono::system_clock::time_point wallPoint(Micros aUs)
{
    return std::chrono::system_clock::time_point(std::chrono::microseconds(aUs));
}

// The sensor's two readout modes: the full array, and 2 x 2 binning for anything that
// fits in it (faster to read, so shorter frames).
struct Mode
{
    int width, height;
    int shortestFrame; // us
    int readout; // us from the end of exposure to the last row read
};
constexpr Mode KBinned { 1296, 984, 33414, 33000 };
constexpr Mode KFull { 2592, 1968, 77000, 76000 };
constexpr int KLongestFrame = 2490072;
constexpr int KShortestExposure = 38, KLongestExposure = 2489140;
constexpr int KMaxBuffers = 8;
constexpr int KLensNear = 862, KLensFar = 227; // raw units of 20 and 0 diopters

inline const Mode &modeFor(int aWidth, int aHeight)
{
    return (aWidth <= KBinned.width && aHeight <= KBinned.height) ? KBinned : KFull;
}

inline int processingDelay(std::uint32_t aPixelFormat, int aWidth, int aHeight)
{
    if (aPixelFormat != V4L2_PIX_FMT_UYVY)
        return 0;
    return (aWidth > 1024 && aHeight > 1024) ? 65000 : 10000;
}

const char *const KSwitchPaths[4] = {
    "/sys/devices/platform/gpio-switch/cam_shutter/state",
    "/sys/devices/platform/gpio-switch/cam_focus/state",
    "/sys/devices/platform/gpio-switch/cam_launch/state",
    "/sys/devices/platform/gpio-switch/slide/state",
};
const char *const KSwitchOn[4] = { "open\n", "active\n", "active\n", "open\n" };
const char *const KSwitchOff[4] = { "closed\n", "inactive\n", "inactive\n", "closed\n" };

inline int fail(int aErrno)
{
    errno = aErrno;
    return -1;
}

// Memory that the program maps through mmap() as a driver's would be: a memory file, so
// each mapping is the kernel's own and outlives the device's reference.
struct SharedMemory
{
    int fd = -1;
    std::uint8_t *map = nullptr;
    std::size_t length = 0;

    bool allocate(std::size_t aLength)
    {
        release();
        fd = ::memfd_create("duskline-sim", MFD_CLOEXEC);
        if (fd < 0)
            return false;
        if (::ftruncate(fd, off_t(aLength)) != 0) {
            release();
            return false;
        }
        void *m = ::mmap(nullptr, aLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (m == MAP_FAILED) {
            release();
            return false;
        }
        map = static_cast<std::uint8_t *>(m);
        length = aLength;
        return true;
    }
    void release()
    {
        if (map)
            ::munmap(map, length);
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        map = nullptr;
        length = 0;
    }
};

struct Buffer
{
    enum class Where { User, Queued, Filling, Done };
    SharedMemory memory;
    std::uint32_t offset = 0; // mmap offset that names it
    Where where = Where::User;
    std::uint32_t sequence = 0;
    Micros arrival = 0;
    std::uint32_t bytesUsed = 0;
};

struct Statistics
{
    bool valid = false;
    std::uint32_t sequence = 0;
    Micros stamp = 0;
    bool histogram = false, sharpness = false;
    std::array<std::uint32_t, Ketto::KHistogramBanks * Ketto::KHistogramBuckets> banks {};
    std::vector<std::uint8_t> cells;
    std::uint32_t lensRaw = 0;
};

struct Descriptor
{
    enum class Kind { Video, Overlay, Switch };
    Kind kind;
    int switchIndex = -1;
    bool nonBlocking = false;
    std::uint64_t seen = 0; // switch generation last read
    std::size_t readOffset = 0;
};

struct Started
{
    std::uint32_t sequence;
    Micros start;
    int exposure, frameTime;
    std::size_t record; // index into the records
};

struct Fault
{
    int error;
    int count; // < 0: forever
};

struct SimKernel::State
{
    std::string root;
    SimOptions options;
    std::unique_ptr<Scene> scene;
    std::string sceneError;

    mutable std::mutex m;
    mutable std::condition_variable cv;

    std::map<int, Descriptor> fds;

    // ---- clock: the time of day, held back in lock-step at the next event not yet done.
    bool frozen = false;
    Micros freezeAt = 0;
    Micros now() const
    {
        const Micros real = realNow();
        return frozen ? std::min(real, freezeAt) : real;
    }

    // ---- camera format and buffers
    std::uint32_t width = 640, height = 480, pixelFormat = V4L2_PIX_FMT_UYVY;
    int interval = 33000; // from S_PARM, us
    std::vector<Buffer> buffers;
    int bufferOwner = -1;
    bool streaming = false;
    bool stopSensor = false;
    std::thread sensor;

    // ---- controls
    std::int32_t exposure = 10000, frameTime = 0, gain = 32;
    std::int32_t focusTarget = KLensFar, focusRamp = 0, focusStep = 50;
    // Lens motion: from, to (raw), started at, us per raw unit.
    float lensFrom = KLensFar, lensTo = KLensFar;
    Micros lensStart = 0;
    int lensStep = 50;
    std::vector<ControlWrite> writes;

    // ---- image signal processor
    IspState isp;
    ColourProgram colour; // programmed, latched per frame
    std::array<Statistics, 16> stats;

    // ---- kernel extension
    int extensionFd = -1;
    bool extensionHeld = false, extensionMissing = false;
    std::uint64_t framesBegun = 0; // frame starts ever
    std::array<Micros, 64> startTimes {};
    int waitersForNext = 0;

    // ---- ground truth
    std::deque<FrameRecord> records;
    std::uint32_t nextSequence = 0;

    // ---- faults
    std::map<std::uint32_t, int> delays, statShifts;
    std::vector<std::uint32_t> drops, withheld;
    std::function<bool(const FrameRecord &)> dropRule; // frames it picks are lost
    std::map<unsigned long, Fault> requestFaults;
    std::map<std::string, Fault> openFaults;

    // ---- switches
    struct SwitchState
    {
        bool on;
        bool present = true;
        std::uint64_t generation = 0;
    };
    std::array<SwitchState, 4> switches { { { true }, { false }, { false }, { false } } };

    // ---- overlay
    SharedMemory plane;
    Ketto::OverlayPlane planeInfo {};
    Ketto::OverlayColorKey colorKey {};
    fb_var_screeninfo screen {};
    int overlayOpen = 0;

    // ---- helpers (all with m held)
    const Mode &mode() const { return modeFor(int(width), int(height)); }
    int effectiveFrameTime() const
    {
        const int wanted = frameTime == 0 ? mode().shortestFrame : frameTime;
        return std::max(std::clamp(wanted, mode().shortestFrame, KLongestFrame), exposure + 400);
    }
    float lensRawAt(Micros aT) const
    {
        if (aT <= lensStart || lensFrom == lensTo)
            return aT <= lensStart ? lensFrom : lensTo;
        const float travelled = float(aT - lensStart) / float(std::max(1, lensStep));
        const float span = std::fabs(lensTo - lensFrom);
        const float moved = std::min(span, travelled);
        return lensFrom + (lensTo > lensFrom ? moved : -moved);
    }
    FrameRecord *record(std::uint32_t aSequence)
    {
        for (auto &r : records)
            if (r.sequence == aSequence)
                return &r;
        return nullptr;
    }
    static bool contains(const std::vector<std::uint32_t> &aList, std::uint32_t aValue)
    {
        return std::find(aList.begin(), aList.end(), aValue) != aList.end();
    }
    bool takeFault(std::map<unsigned long, Fault> &aFaults, unsigned long aKey, int &aError)
    {
        auto it = aFaults.find(aKey);
        if (it == aFaults.end())
            return false;
        aError = it->second.error;
        if (it->second.count > 0 && --it->second.count == 0)
            aFaults.erase(it);
        return true;
    }
    bool extensionPresent() const { return extensionFd >= 0 && !extensionMissing; }
    Buffer *queuedBuffer()
    {
        for (auto &b : buffers)
            if (b.where == Buffer::Where::Queued)
                return &b;
        return nullptr;
    }
    Buffer *readyBuffer(Micros aNow)
    {
        Buffer *best = nullptr;
        for (auto &b : buffers)
            if (b.where == Buffer::Where::Done && b.arrival <= aNow
                && (!best || b.sequence < best->sequence))
                best = &b;
        return best;
    }
    // When to look again for something due at aDue on the simulator's clock: at that time of
    // day, unless the clock is held before it (then the sensor's next step wakes everyone).
    Micros wakeFor(Micros aDue) const
    {
        const Micros later = realNow() + 100000;
        if (aDue == KNever || (frozen && aDue > freezeAt))
            return later;
        return std::min(later, std::max(aDue, realNow() + 200));
    }
    Micros nextArrival() const
    {
        Micros next = KNever;
        for (auto &b : buffers)
            if (b.where == Buffer::Where::Done)
                next = std::min(next, b.arrival);
        return next;
    }

    void stopStreaming(std::unique_lock<std::mutex> &aLock);
    void sensorLoop();
    // Latches what frame aFrame keeps at the end of its exposure (aEnd), calls aStartNext (the
    // next frame's start) and then reads the frame out.
    void finishFrame(std::unique_lock<std::mutex> &aLock, Started aFrame, Micros aEnd,
        const std::function<void()> &aStartNext);

    int videoIoctl(int aFd, Descriptor &aDesc, unsigned long aRequest, void *aArg,
        std::unique_lock<std::mutex> &aLock);
    int overlayIoctl(unsigned long aRequest, void *aArg);
    int statisticsRequest(bool aSharpness, void *aArg);
};

} // namespace Opsa::Sim
