#include "SimKernel.h"

#include "Render.h"
#include "Scene.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace Opsa::Sim {

using namespace Opsa::Ketto;

namespace {

    using Micros = std::int64_t;
    constexpr Micros KNever = INT64_MAX;

    Micros realNow()
    {
        timeval tv;
        ::gettimeofday(&tv, nullptr);
        return Micros(tv.tv_sec) * 1000000 + tv.tv_usec;
    }

    Opsa::Time toTime(Micros aUs)
    {
        return Opsa::Time(int(aUs / 1000000), int(aUs % 1000000));
    }

    std::chrono::system_clock::time_point wallPoint(Micros aUs)
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

    const Mode &modeFor(int aWidth, int aHeight)
    {
        return (aWidth <= KBinned.width && aHeight <= KBinned.height) ? KBinned : KFull;
    }

    int processingDelay(std::uint32_t aPixelFormat, int aWidth, int aHeight)
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

    int fail(int aErrno)
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
        std::array<std::uint32_t, KHistogramBanks * KHistogramBuckets> banks {};
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

} // namespace

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
    OverlayPlane planeInfo {};
    OverlayColorKey colorKey {};
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
    void finishFrame(std::unique_lock<std::mutex> &aLock, const Started &aFrame, Micros aEnd);

    int videoIoctl(int aFd, Descriptor &aDesc, unsigned long aRequest, void *aArg,
        std::unique_lock<std::mutex> &aLock);
    int overlayIoctl(unsigned long aRequest, void *aArg);
    int statisticsRequest(bool aSharpness, void *aArg);
};

// ---------------------------------------------------------------------------------------------
// The sensor's clock thread.

void SimKernel::State::stopStreaming(std::unique_lock<std::mutex> &aLock)
{
    if (!streaming)
        return;
    stopSensor = true;
    cv.notify_all();
    std::thread t = std::move(sensor);
    aLock.unlock();
    t.join();
    aLock.lock();
    streaming = false;
    stopSensor = false;
    frozen = false;
    for (auto &b : buffers)
        b.where = Buffer::Where::User;
    cv.notify_all();
}

void SimKernel::State::sensorLoop()
{
    std::unique_lock<std::mutex> lock(m);
    const bool lockStep = options.pace == Pace::LockStep;
    Micros start = now() + 1000;
    bool havePrevious = false;
    Started previous {};
    while (!stopSensor) {
        // In lock-step the clock may not pass a frame start the sensor has not made.
        if (lockStep) {
            frozen = true;
            freezeAt = start;
            cv.notify_all();
        }
        while (!stopSensor && realNow() < start)
            cv.wait_until(lock, wallPoint(start));
        if (stopSensor)
            break;
        if (lockStep) {
            // Wait for the program: a frame-start wait entered since the last start, and a
            // buffer to fill (for a while; a program that returns none loses frames).
            const Micros patience = realNow() + 2000000;
            while (!stopSensor
                && ((extensionPresent() && waitersForNext == 0)
                    || (havePrevious && !queuedBuffer() && realNow() < patience)))
                cv.wait_until(lock, wallPoint(std::min(patience, realNow() + 100000)));
            if (stopSensor)
                break;
        }

        // The previous frame's exposure ends now: what it keeps is latched before the program
        // hears of this start.
        if (havePrevious)
            finishFrame(lock, previous, start);
        if (stopSensor)
            break;

        // This frame starts: exposure and frame time are latched.
        Started frame { nextSequence++, start, exposure, effectiveFrameTime(), 0 };
        FrameRecord r;
        r.sequence = frame.sequence;
        r.start = toTime(start);
        r.exposure = frame.exposure;
        r.frameTime = frame.frameTime;
        r.width = int(width);
        r.height = int(height);
        r.pixelFormat = pixelFormat;
        r.exposureStart = toTime(start + frame.frameTime - frame.exposure);
        r.exposureEnd = toTime(start + frame.frameTime + mode().readout);
        records.push_back(r);
        while (records.size() > 256)
            records.pop_front();
        startTimes[framesBegun % startTimes.size()] = start;
        ++framesBegun;
        waitersForNext = 0;
        cv.notify_all();

        previous = frame;
        havePrevious = true;
        start += frame.frameTime;
    }
}

void SimKernel::State::finishFrame(
    std::unique_lock<std::mutex> &aLock, const Started &aFrame, Micros aEnd)
{
    FrameRecord *r = record(aFrame.sequence);
    const int readout = mode().readout;
    // Gain, colour and the statistics settings are taken at the end of exposure; the lens
    // position is its mean over the exposure.
    Shot shot;
    shot.exposure = aFrame.exposure;
    shot.gain = gain / 32.0f;
    shot.sequence = aFrame.sequence;
    shot.seed = options.seed;
    shot.noise = options.noise;
    shot.handShake = options.handShake;
    float lens = 0;
    for (int i = 0; i < 5; ++i)
        lens += lensRawAt(aEnd - aFrame.exposure + aFrame.exposure * i / 4);
    shot.focus = std::max(0.0f, (lens / 5 - KLensFar) * 0.0315f);
    const ColourProgram program = colour;
    const bool wantHistogram = isp.histogramConfigs > 0 && isp.histogram.enable;
    const bool wantSharpness = isp.afConfigs > 0;
    const HistogramConfig histogramConfig = isp.histogram;
    const AfConfig afConfig = isp.af;
    const std::uint32_t lensRaw = std::uint32_t(lensRawAt(aEnd));
    const int w = int(width), h = int(height);
    const std::uint32_t format = pixelFormat;
    const double scaleX = double(w) / mode().width, scaleY = double(h) / mode().height;
    if (r) {
        r->gain = shot.gain;
        r->focus = shot.focus;
    }

    const bool drop = contains(drops, aFrame.sequence);
    Buffer *buffer = drop ? nullptr : queuedBuffer();
    if (buffer)
        buffer->where = Buffer::Where::Filling;
    else if (r)
        r->dropped = true;

    // In lock-step nothing of this frame may be seen before it is made.
    if (options.pace == Pace::LockStep) {
        frozen = true;
        freezeAt = aEnd + readout;
    }
    aLock.unlock();
    std::vector<std::uint16_t> raw = renderRaw(*scene, w, h, shot);
    Statistics made;
    made.valid = true;
    made.sequence = aFrame.sequence;
    made.lensRaw = lensRaw;
    if (wantHistogram) {
        made.histogram = true;
        Opsa::Sim::histogram(raw.data(), w, h, scaleX, scaleY, histogramConfig, made.banks.data());
    }
    if (wantSharpness) {
        made.sharpness = true;
        const AfGrid grid = afGrid(afConfig);
        made.cells.resize(std::size_t(grid.cellsWide) * grid.cellsHigh * KAfCellBytes);
        Opsa::Sim::sharpness(
            raw.data(), w, h, scaleX, scaleY, afConfig, made.cells.data(), made.cells.size());
    }
    if (buffer) {
        if (format == V4L2_PIX_FMT_UYVY)
            rawToUyvy(raw.data(), w, h, program, buffer->memory.map);
        else
            std::memcpy(buffer->memory.map, raw.data(), raw.size() * 2);
    }
    aLock.lock();

    auto shift = statShifts.find(aFrame.sequence);
    made.stamp = aEnd + readout + (shift == statShifts.end() ? 0 : shift->second);
    if (!contains(withheld, aFrame.sequence))
        stats[aFrame.sequence % stats.size()] = std::move(made);
    else if (r)
        r->statisticsWithheld = true;

    auto delay = delays.find(aFrame.sequence);
    const Micros arrival = aEnd + readout + processingDelay(format, w, h)
        + (delay == delays.end() ? 0 : delay->second);
    if (r)
        r->arrival = toTime(arrival);
    // A restart while this frame was rendered has taken the buffers back.
    if (buffer && buffer->where == Buffer::Where::Filling) {
        buffer->where = Buffer::Where::Done;
        buffer->sequence = aFrame.sequence;
        buffer->arrival = arrival;
        buffer->bytesUsed = std::uint32_t(w) * h * 2;
    }
    cv.notify_all();
}

// ---------------------------------------------------------------------------------------------
// The camera's requests.

int SimKernel::State::statisticsRequest(bool aSharpness, void *aArg)
{
    const Micros t = now();
    if (aSharpness ? isp.afConfigs == 0 : !(isp.histogramConfigs > 0 && isp.histogram.enable))
        return fail(EINVAL);
    HistogramRequest *hist = static_cast<HistogramRequest *>(aArg);
    AfRequest *af = static_cast<AfRequest *>(aArg);
    void *out
        = aSharpness ? static_cast<void *>(af->statistics) : static_cast<void *>(hist->statistics);
    if (!out)
        return fail(EFAULT);
    const std::uint16_t wanted = aSharpness ? af->frameNumber : hist->frameNumber;

    const Statistics *newest = nullptr;
    for (const auto &s : stats)
        if (s.valid && s.stamp <= t && (aSharpness ? s.sharpness : s.histogram)
            && (!newest || s.sequence > newest->sequence))
            newest = &s;
    if (!newest)
        return fail(EBUSY);
    const Statistics *pick = nullptr;
    if (wanted == KNewestFrame) {
        pick = newest;
    } else {
        for (const auto &s : stats)
            if (s.valid && s.stamp <= t && (aSharpness ? s.sharpness : s.histogram)
                && s.sequence % KFrameNumbers == wanted)
                pick = &s;
        if (!pick) {
            // Frame numbers just after the newest are still to come; others are gone.
            const unsigned ahead
                = (wanted + KFrameNumbers - newest->sequence % KFrameNumbers) % KFrameNumbers;
            return fail(ahead > 0 && ahead < KFrameNumbers / 2 ? EBUSY : EINVAL);
        }
    }
    const std::uint16_t number = std::uint16_t(pick->sequence % KFrameNumbers);
    const std::uint16_t current = std::uint16_t(newest->sequence % KFrameNumbers);
    const Opsa::Time stamp = toTime(pick->stamp);
    if (aSharpness) {
        const std::size_t n = std::min<std::size_t>(af->size, pick->cells.size());
        std::memcpy(af->statistics, pick->cells.data(), n);
        af->size = std::uint32_t(n);
        af->frameNumber = number;
        af->currentFrame = current;
        af->seconds = stamp.seconds();
        af->microseconds = stamp.microseconds();
        af->lensPosition = pick->lensRaw;
    } else {
        const std::size_t n = std::min<std::size_t>(hist->size, sizeof pick->banks);
        std::memcpy(hist->statistics, pick->banks.data(), n);
        hist->size = std::uint32_t(n);
        hist->frameNumber = number;
        hist->currentFrame = current;
        hist->seconds = stamp.seconds();
        hist->microseconds = stamp.microseconds();
    }
    return 0;
}

int SimKernel::State::videoIoctl(int aFd, Descriptor &aDesc, unsigned long aRequest, void *aArg,
    std::unique_lock<std::mutex> &aLock)
{
    if (!aArg && aRequest != KOpsaInstall)
        return fail(EFAULT);
    auto capture = [](std::uint32_t aType) { return aType == V4L2_BUF_TYPE_VIDEO_CAPTURE; };
    auto owned = [&] { return bufferOwner < 0 || bufferOwner == aFd; };

    switch (aRequest) {
    case VIDIOC_QUERYCAP: {
        auto *cap = static_cast<v4l2_capability *>(aArg);
        std::memset(cap, 0, sizeof *cap);
        std::strcpy(reinterpret_cast<char *>(cap->driver), "ketto-sim");
        std::strcpy(reinterpret_cast<char *>(cap->card), "Varnel Ketto camera (simulated)");
        cap->version = 0x020600;
        cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto *f = static_cast<v4l2_fmtdesc *>(aArg);
        if (!capture(f->type) || f->index > 1)
            return fail(EINVAL);
        const std::uint32_t index = f->index;
        std::memset(f, 0, sizeof *f);
        f->index = index;
        f->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        f->pixelformat = index == 0 ? V4L2_PIX_FMT_UYVY : V4L2_PIX_FMT_SGRBG10;
        std::strcpy(reinterpret_cast<char *>(f->description),
            index == 0 ? "UYVY 4:2:2" : "Bayer GRBG 10-bit");
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT: {
        auto *f = static_cast<v4l2_format *>(aArg);
        if (!capture(f->type))
            return fail(EINVAL);
        if (aRequest == VIDIOC_S_FMT) {
            if (streaming || !buffers.empty())
                return fail(EBUSY);
            const std::uint32_t pf = f->fmt.pix.pixelformat;
            // A driver adjusts what it cannot do instead of refusing it.
            pixelFormat = pf == V4L2_PIX_FMT_SGRBG10 ? pf : V4L2_PIX_FMT_UYVY;
            width = std::clamp<std::uint32_t>(f->fmt.pix.width, 160, KFull.width) & ~1u;
            height = std::clamp<std::uint32_t>(f->fmt.pix.height, 120, KFull.height) & ~1u;
        }
        std::memset(&f->fmt, 0, sizeof f->fmt);
        f->fmt.pix.width = width;
        f->fmt.pix.height = height;
        f->fmt.pix.pixelformat = pixelFormat;
        f->fmt.pix.field = V4L2_FIELD_NONE;
        f->fmt.pix.bytesperline = width * 2;
        f->fmt.pix.sizeimage = width * height * 2;
        f->fmt.pix.colorspace
            = pixelFormat == V4L2_PIX_FMT_UYVY ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_RAW;
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto *p = static_cast<v4l2_streamparm *>(aArg);
        if (!capture(p->type))
            return fail(EINVAL);
        if (aRequest == VIDIOC_S_PARM) {
            const auto &tpf = p->parm.capture.timeperframe;
            if (tpf.denominator == 0)
                return fail(EINVAL);
            const std::int64_t us = std::int64_t(tpf.numerator) * 1000000 / tpf.denominator;
            interval = int(std::clamp<std::int64_t>(us, mode().shortestFrame, KLongestFrame));
        }
        std::memset(&p->parm, 0, sizeof p->parm);
        p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p->parm.capture.timeperframe.numerator = std::uint32_t(interval);
        p->parm.capture.timeperframe.denominator = 1000000;
        p->parm.capture.readbuffers = KMaxBuffers;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto *rb = static_cast<v4l2_requestbuffers *>(aArg);
        if (!capture(rb->type) || rb->memory != V4L2_MEMORY_MMAP)
            return fail(EINVAL);
        if (!owned() || streaming)
            return fail(EBUSY);
        for (auto &b : buffers)
            b.memory.release();
        buffers.clear();
        bufferOwner = -1;
        rb->count = std::min<std::uint32_t>(rb->count, KMaxBuffers);
        if (rb->count == 0)
            return 0;
        const std::size_t size = std::size_t(width) * height * 2;
        const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
        const std::size_t stride = (size + page - 1) / page * page;
        buffers.resize(rb->count);
        for (std::uint32_t i = 0; i < rb->count; ++i) {
            if (!buffers[i].memory.allocate(size)) {
                for (auto &b : buffers)
                    b.memory.release();
                buffers.clear();
                return fail(ENOMEM);
            }
            buffers[i].offset = std::uint32_t(i * stride);
        }
        bufferOwner = aFd;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        auto *b = static_cast<v4l2_buffer *>(aArg);
        if (!capture(b->type) || b->memory != V4L2_MEMORY_MMAP)
            return fail(EINVAL);
        if (!owned())
            return fail(EBUSY);
        if (aRequest == VIDIOC_DQBUF) {
            if (!streaming)
                return fail(EINVAL);
            Buffer *ready = nullptr;
            while (!(ready = readyBuffer(now()))) {
                if (aDesc.nonBlocking)
                    return fail(EAGAIN);
                cv.wait_until(aLock, wallPoint(wakeFor(nextArrival())));
                if (!streaming || !fds.count(aFd))
                    return fail(EINVAL);
            }
            ready->where = Buffer::Where::User;
            b->index = std::uint32_t(ready - buffers.data());
        } else if (b->index >= buffers.size()) {
            return fail(EINVAL);
        }
        Buffer &buf = buffers[b->index];
        if (aRequest == VIDIOC_QBUF) {
            if (buf.where != Buffer::Where::User)
                return fail(EINVAL);
            buf.where = Buffer::Where::Queued;
            cv.notify_all();
        }
        const std::uint32_t index = b->index;
        std::memset(b, 0, sizeof *b);
        b->index = index;
        b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b->memory = V4L2_MEMORY_MMAP;
        b->m.offset = buf.offset;
        b->length = std::uint32_t(buf.memory.length);
        b->field = V4L2_FIELD_NONE;
        b->flags = V4L2_BUF_FLAG_MAPPED
            | (buf.where == Buffer::Where::Queued || buf.where == Buffer::Where::Filling
                    ? V4L2_BUF_FLAG_QUEUED
                    : 0)
            | (buf.where == Buffer::Where::Done ? V4L2_BUF_FLAG_DONE : 0);
        if (aRequest == VIDIOC_DQBUF) {
            b->bytesused = buf.bytesUsed;
            b->sequence = buf.sequence;
            const Opsa::Time t = toTime(buf.arrival);
            b->timestamp.tv_sec = t.seconds();
            b->timestamp.tv_usec = t.microseconds();
        }
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (!capture(*static_cast<std::uint32_t *>(aArg)))
            return fail(EINVAL);
        if (!owned())
            return fail(EBUSY);
        if (aRequest == VIDIOC_STREAMOFF) {
            stopStreaming(aLock);
            return 0;
        }
        if (buffers.empty())
            return fail(EINVAL);
        if (!streaming) {
            streaming = true;
            stopSensor = false;
            sensor = std::thread([this] { sensorLoop(); });
        }
        return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
        auto *c = static_cast<v4l2_control *>(aArg);
        std::int32_t *slot = nullptr;
        switch (c->id) {
        case KControlExposure:
            slot = &exposure;
            break;
        case KControlFrameTime:
            slot = &frameTime;
            break;
        case KControlGain:
            slot = &gain;
            break;
        case KControlFocus:
            slot = &focusTarget;
            break;
        case KControlFocusRamp:
            slot = &focusRamp;
            break;
        case KControlFocusStepTime:
            slot = &focusStep;
            break;
        default:
            return fail(EINVAL);
        }
        if (aRequest == VIDIOC_G_CTRL) {
            c->value = c->id == KControlFrameTime ? effectiveFrameTime() : *slot;
            return 0;
        }
        const Micros t = now();
        writes.push_back({ c->id, c->value, toTime(t) });
        if (writes.size() > 4096)
            writes.erase(writes.begin(), writes.begin() + 1024);
        switch (c->id) {
        case KControlExposure:
            *slot = std::clamp(c->value, KShortestExposure, KLongestExposure);
            break;
        case KControlFrameTime:
            *slot = c->value <= 0 ? 0 : std::min(c->value, KLongestFrame);
            break;
        case KControlGain:
            *slot = std::clamp(c->value, 32, 32 * 32);
            break;
        case KControlFocusRamp:
            *slot = std::max(0, c->value);
            break;
        case KControlFocusStepTime:
            *slot = std::clamp(c->value, 1, 1000000);
            break;
        case KControlFocus: {
            // The lens sets off from wherever it is now, at the step time in force.
            const float from = lensRawAt(t);
            *slot = std::clamp(c->value, KLensFar, KLensNear);
            lensFrom = from;
            lensTo = float(*slot);
            lensStart = t;
            lensStep = focusStep;
            break;
        }
        }
        return 0;
    }
    case KOpsaInstall:
        if (extensionMissing)
            return fail(ENOTTY);
        if (extensionHeld || (extensionFd >= 0 && extensionFd != aFd))
            return fail(EBUSY);
        extensionFd = aFd;
        cv.notify_all();
        return 0;
    case KOpsaWaitForHsVs: {
        if (extensionMissing)
            return fail(ENOTTY);
        if (extensionFd != aFd)
            return fail(EINVAL);
        const std::uint64_t entry = framesBegun;
        ++waitersForNext;
        cv.notify_all();
        const Micros deadline = realNow() + 2000000;
        while (framesBegun == entry && realNow() < deadline && fds.count(aFd) && extensionFd == aFd)
            cv.wait_until(aLock, wallPoint(deadline));
        if (framesBegun == entry) {
            --waitersForNext;
            return fail(fds.count(aFd) && extensionFd == aFd ? ETIMEDOUT : EBADF);
        }
        // The first start after the wait began, even if more have passed since.
        const Opsa::Time t = toTime(startTimes[entry % startTimes.size()]);
        auto *out = static_cast<HsVsTime *>(aArg);
        out->seconds = t.seconds();
        out->microseconds = t.microseconds();
        return 0;
    }
    case KIspPreviewConfig: {
        const auto *p = static_cast<const PreviewConfig *>(aArg);
        if (((p->update & KPreviewUpdateWhiteBalance) && !p->whiteBalance)
            || ((p->update & KPreviewUpdateBlackAdjust) && !p->blackAdjust)
            || ((p->update & KPreviewUpdateBlending) && !p->blending))
            return fail(EFAULT);
        if (p->update & KPreviewUpdateWhiteBalance)
            colour.whiteBalance = *p->whiteBalance;
        if (p->update & KPreviewUpdateBlending)
            colour.blending = *p->blending;
        isp.previewConfigs++;
        isp.whiteBalance = colour.whiteBalance;
        isp.blending = colour.blending;
        return 0;
    }
    case KIspHistogramConfig: {
        const auto *h = static_cast<const HistogramConfig *>(aArg);
        if (h->enable > 1)
            return fail(EINVAL);
        if (h->enable) {
            const std::uint32_t x = h->horizontal[0] >> 16, w = h->horizontal[0] & 0xFFFF;
            const std::uint32_t y = h->vertical[0] >> 16, hh = h->vertical[0] & 0xFFFF;
            if (h->bins > 1 || h->regions != 1 || w == 0 || hh == 0
                || x >= std::uint32_t(mode().width) || y >= std::uint32_t(mode().height))
                return fail(EINVAL);
        }
        isp.histogram = *h;
        isp.histogramConfigs++;
        return 0;
    }
    case KIspAfConfig: {
        const auto *a = static_cast<const AfConfig *>(aArg);
        const AfGrid g = afGrid(*a);
        if (g.cellWidth < 16 || g.cellWidth > 256 || g.cellHeight < 2 || g.cellHeight > 256
            || g.cellsWide > 36 || g.cellsHigh > 128
            || g.x + g.cellsWide * g.cellWidth > mode().width
            || g.y + g.cellsHigh * g.cellHeight > mode().height)
            return fail(EINVAL);
        isp.af = *a;
        isp.afConfigs++;
        return 0;
    }
    case KIspHistogramRequest:
        return statisticsRequest(false, aArg);
    case KIspAfRequest:
        return statisticsRequest(true, aArg);
    case KIspPipelineStats: {
        auto *p = static_cast<PipelineStats *>(aArg);
        std::memset(p, 0, sizeof *p);
        p->ccdcOutputWidth = std::uint16_t(mode().width);
        p->ccdcOutputHeight = std::uint16_t(mode().height);
        p->previewOutputWidth = std::uint16_t(mode().width - 4);
        p->previewOutputHeight = std::uint16_t(mode().height - 4);
        p->resizerInputWidth = p->previewOutputWidth;
        p->resizerInputHeight = p->previewOutputHeight;
        p->resizerOutputWidth = std::uint16_t(width);
        p->resizerOutputHeight = std::uint16_t(height);
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

int SimKernel::State::overlayIoctl(unsigned long aRequest, void *aArg)
{
    if (!aArg)
        return fail(EFAULT);
    switch (aRequest) {
    case FBIOGET_VSCREENINFO:
        *static_cast<fb_var_screeninfo *>(aArg) = screen;
        return 0;
    case FBIOPUT_VSCREENINFO: {
        const auto *s = static_cast<const fb_var_screeninfo *>(aArg);
        const std::size_t need = std::size_t(s->xres_virtual) * s->yres_virtual
            * (s->nonstd ? 2 : std::max<std::uint32_t>(1, s->bits_per_pixel / 8));
        if (s->xres == 0 || s->yres == 0 || s->xres > s->xres_virtual || s->yres > s->yres_virtual
            || need > plane.length)
            return fail(EINVAL);
        screen = *s;
        return 0;
    }
    case KFbQueryPlane:
        *static_cast<OverlayPlane *>(aArg) = planeInfo;
        return 0;
    case KFbSetupPlane: {
        const auto *p = static_cast<const OverlayPlane *>(aArg);
        // The plane must lie on the 800 x 480 display and have memory behind it when shown.
        if (p->x + p->outWidth > 800 || p->y + p->outHeight > 480
            || (p->enabled && plane.length == 0))
            return fail(EINVAL);
        planeInfo = *p;
        return 0;
    }
    case KFbSetupMemory: {
        const auto *mem = static_cast<const OverlayMemory *>(aArg);
        if (mem->type != 0)
            return fail(EINVAL);
        if (mem->size > 8u << 20)
            return fail(ENOMEM);
        if (planeInfo.enabled)
            return fail(EBUSY);
        if (mem->size == 0) {
            plane.release();
            return 0;
        }
        return plane.allocate(mem->size) ? 0 : fail(ENOMEM);
    }
    case KFbSetColorKey: {
        const auto *k = static_cast<const OverlayColorKey *>(aArg);
        if (k->keyType > 2)
            return fail(EINVAL);
        colorKey = *k;
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

// ---------------------------------------------------------------------------------------------
// The seam.

SimKernel::SimKernel(const std::string &aRoot, const SimOptions &aOptions)
    : d(std::make_unique<State>())
{
    d->root = aRoot;
    while (d->root.size() > 1 && d->root.back() == '/')
        d->root.pop_back();
    d->options = aOptions;
    if (!aOptions.scenePath.empty())
        d->scene = Scene::radiance(aOptions.scenePath, aOptions.sceneDiopters, d->sceneError);
    if (!d->scene)
        d->scene = Scene::interior();
    d->screen.xres = d->screen.xres_virtual = 800;
    d->screen.yres = d->screen.yres_virtual = 480;
    d->screen.bits_per_pixel = 16;
}

SimKernel::~SimKernel()
{
    std::unique_lock<std::mutex> lock(d->m);
    d->stopStreaming(lock);
    for (auto &b : d->buffers)
        b.memory.release();
    d->plane.release();
    for (auto &fd : d->fds)
        ::close(fd.first);
}

int SimKernel::open(const char *aPath, int aFlags, mode_t aMode)
{
    const std::string path = aPath ? aPath : "";
    std::unique_lock<std::mutex> lock(d->m);
    auto fault = d->openFaults.find(path);
    if (fault != d->openFaults.end()) {
        const int error = fault->second.error;
        if (fault->second.count > 0 && --fault->second.count == 0)
            d->openFaults.erase(fault);
        return fail(error);
    }
    Descriptor desc { Descriptor::Kind::Video };
    if (path == "/dev/video0") {
        desc.kind = Descriptor::Kind::Video;
    } else if (path == "/dev/fb1") {
        desc.kind = Descriptor::Kind::Overlay;
    } else {
        const auto *which = std::find(std::begin(KSwitchPaths), std::end(KSwitchPaths), path);
        if (which == std::end(KSwitchPaths)) {
            lock.unlock();
            // Anything else is a real file under the phone root.
            const bool rooted = !d->root.empty() && path.rfind(d->root + "/", 0) == 0;
            const std::string real = rooted || d->root.empty() || path.empty() || path[0] != '/'
                ? path
                : d->root + path;
            return ::open(real.c_str(), aFlags, aMode);
        }
        desc.kind = Descriptor::Kind::Switch;
        desc.switchIndex = int(which - std::begin(KSwitchPaths));
        if (!d->switches[desc.switchIndex].present)
            return fail(ENOENT);
        desc.seen = d->switches[desc.switchIndex].generation;
        if ((aFlags & O_ACCMODE) != O_RDONLY)
            return fail(EACCES);
    }
    desc.nonBlocking = (aFlags & O_NONBLOCK) != 0;
    // A real descriptor number keeps device descriptors apart from the process's files.
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    d->fds[fd] = desc;
    if (desc.kind == Descriptor::Kind::Overlay)
        ++d->overlayOpen;
    return fd;
}

int SimKernel::close(int aFd)
{
    std::unique_lock<std::mutex> lock(d->m);
    auto it = d->fds.find(aFd);
    if (it == d->fds.end()) {
        lock.unlock();
        return ::close(aFd);
    }
    if (it->second.kind == Descriptor::Kind::Overlay)
        --d->overlayOpen;
    if (d->bufferOwner == aFd) {
        d->stopStreaming(lock);
        for (auto &b : d->buffers)
            b.memory.release();
        d->buffers.clear();
        d->bufferOwner = -1;
    }
    if (d->extensionFd == aFd)
        d->extensionFd = -1;
    d->fds.erase(aFd);
    d->cv.notify_all();
    return ::close(aFd);
}

ssize_t SimKernel::read(int aFd, void *aBuffer, std::size_t aCount)
{
    std::unique_lock<std::mutex> lock(d->m);
    auto it = d->fds.find(aFd);
    if (it == d->fds.end()) {
        lock.unlock();
        return ::read(aFd, aBuffer, aCount);
    }
    Descriptor &desc = it->second;
    if (desc.kind != Descriptor::Kind::Switch)
        return fail(EINVAL);
    const auto &sw = d->switches[desc.switchIndex];
    if (!sw.present)
        return fail(ENODEV);
    // Like a sysfs attribute: the text from the descriptor's offset; reading clears the
    // pending change.
    const std::string text = sw.on ? KSwitchOn[desc.switchIndex] : KSwitchOff[desc.switchIndex];
    desc.seen = sw.generation;
    if (desc.readOffset >= text.size())
        return 0;
    const std::size_t n = std::min(aCount, text.size() - desc.readOffset);
    std::memcpy(aBuffer, text.data() + desc.readOffset, n);
    desc.readOffset += n;
    return ssize_t(n);
}

ssize_t SimKernel::write(int aFd, const void *aBuffer, std::size_t aCount)
{
    std::unique_lock<std::mutex> lock(d->m);
    if (!d->fds.count(aFd)) {
        lock.unlock();
        return ::write(aFd, aBuffer, aCount);
    }
    return fail(EINVAL);
}

int SimKernel::ioctl(int aFd, unsigned long aRequest, void *aArgument)
{
    std::unique_lock<std::mutex> lock(d->m);
    auto it = d->fds.find(aFd);
    if (it == d->fds.end()) {
        lock.unlock();
        return ::ioctl(aFd, aRequest, aArgument);
    }
    int error = 0;
    if (d->takeFault(d->requestFaults, aRequest, error))
        return fail(error);
    switch (it->second.kind) {
    case Descriptor::Kind::Video:
        return d->videoIoctl(aFd, it->second, aRequest, aArgument, lock);
    case Descriptor::Kind::Overlay:
        return d->overlayIoctl(aRequest, aArgument);
    case Descriptor::Kind::Switch:
        break;
    }
    return fail(ENOTTY);
}

int SimKernel::poll(struct pollfd *aFds, nfds_t aCount, int aTimeout)
{
    std::unique_lock<std::mutex> lock(d->m);
    bool anySim = false;
    for (nfds_t i = 0; i < aCount; ++i)
        anySim = anySim || d->fds.count(aFds[i].fd);
    if (!anySim) {
        lock.unlock();
        return ::poll(aFds, aCount, aTimeout);
    }
    const Micros deadline = aTimeout < 0 ? KNever : realNow() + Micros(aTimeout) * 1000;
    for (;;) {
        int ready = 0;
        bool anyReal = false;
        Micros wake = deadline;
        const Micros t = d->now();
        for (nfds_t i = 0; i < aCount; ++i) {
            pollfd &p = aFds[i];
            p.revents = 0;
            if (p.fd < 0)
                continue;
            auto it = d->fds.find(p.fd);
            if (it == d->fds.end()) {
                anyReal = true;
                pollfd probe { p.fd, p.events, 0 };
                if (::poll(&probe, 1, 0) > 0)
                    p.revents = probe.revents;
            } else if (it->second.kind == Descriptor::Kind::Video) {
                if (d->bufferOwner != p.fd || !d->streaming) {
                    p.revents = POLLERR;
                } else if (d->readyBuffer(t)) {
                    p.revents = short(p.events & (POLLIN | POLLRDNORM));
                } else {
                    wake = std::min(wake, d->wakeFor(d->nextArrival()));
                }
            } else if (it->second.kind == Descriptor::Kind::Switch) {
                // Like a sysfs attribute: always readable; a change since the descriptor was
                // last read is urgent data (and an error condition, as sysfs reports it).
                const auto &sw = d->switches[it->second.switchIndex];
                p.revents = short(p.events & (POLLIN | POLLRDNORM));
                if (!sw.present || sw.generation != it->second.seen)
                    p.revents = short(p.revents | POLLERR | (p.events & POLLPRI));
            } else {
                p.revents = short(p.events & (POLLOUT | POLLIN));
            }
            if (p.revents)
                ++ready;
        }
        if (ready || realNow() >= deadline)
            return ready;
        if (anyReal)
            wake = std::min(wake, realNow() + 10000);
        d->cv.wait_until(lock, wallPoint(std::min(wake, realNow() + 100000)));
    }
}

void *SimKernel::mmap(
    void *aAddress, std::size_t aLength, int aProtection, int aFlags, int aFd, off_t aOffset)
{
    std::unique_lock<std::mutex> lock(d->m);
    auto it = d->fds.find(aFd);
    if (it == d->fds.end()) {
        lock.unlock();
        return ::mmap(aAddress, aLength, aProtection, aFlags, aFd, aOffset);
    }
    const SharedMemory *memory = nullptr;
    if (it->second.kind == Descriptor::Kind::Video) {
        for (const auto &b : d->buffers)
            if (off_t(b.offset) == aOffset)
                memory = &b.memory;
    } else if (it->second.kind == Descriptor::Kind::Overlay && aOffset == 0) {
        memory = &d->plane;
    }
    if (!memory || memory->fd < 0 || aLength == 0 || aLength > memory->length
        || !(aFlags & MAP_SHARED)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return ::mmap(aAddress, aLength, aProtection, aFlags, memory->fd, 0);
}

int SimKernel::munmap(void *aAddress, std::size_t aLength)
{
    return ::munmap(aAddress, aLength);
}

int SimKernel::madvise(void *aAddress, std::size_t aLength, int aAdvice)
{
    return ::madvise(aAddress, aLength, aAdvice);
}

// ---------------------------------------------------------------------------------------------
// The test-facing side.

Opsa::Time SimKernel::now() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return toTime(d->now());
}

std::uint32_t SimKernel::framesStarted() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return std::uint32_t(d->framesBegun);
}

bool SimKernel::waitForFrames(std::uint32_t aCount, int aTimeoutMs) const
{
    std::unique_lock<std::mutex> lock(d->m);
    return d->cv.wait_for(
        lock, std::chrono::milliseconds(aTimeoutMs), [&] { return d->framesBegun >= aCount; });
}

void SimKernel::holdExtension(bool aHeld)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->extensionHeld = aHeld;
}

void SimKernel::removeExtension(bool aMissing)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->extensionMissing = aMissing;
    d->cv.notify_all();
}

void SimKernel::dropFrame(std::uint32_t aSequence)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->drops.push_back(aSequence);
}

void SimKernel::delayFrame(std::uint32_t aSequence, int aMicroseconds)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->delays[aSequence] = aMicroseconds;
}

void SimKernel::withholdStatistics(std::uint32_t aSequence)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->withheld.push_back(aSequence);
}

void SimKernel::shiftStatistics(std::uint32_t aSequence, int aMicroseconds)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->statShifts[aSequence] = aMicroseconds;
}

void SimKernel::failRequest(unsigned long aRequest, int aErrno, int aCount)
{
    std::lock_guard<std::mutex> lock(d->m);
    if (aCount == 0)
        d->requestFaults.erase(aRequest);
    else
        d->requestFaults[aRequest] = { aErrno, aCount };
}

void SimKernel::failOpen(const std::string &aPhonePath, int aErrno, int aCount)
{
    std::lock_guard<std::mutex> lock(d->m);
    if (aCount == 0)
        d->openFaults.erase(aPhonePath);
    else
        d->openFaults[aPhonePath] = { aErrno, aCount };
}

void SimKernel::clearFaults()
{
    std::lock_guard<std::mutex> lock(d->m);
    d->extensionHeld = d->extensionMissing = false;
    d->drops.clear();
    d->delays.clear();
    d->withheld.clear();
    d->statShifts.clear();
    d->requestFaults.clear();
    d->openFaults.clear();
    for (auto &s : d->switches)
        s.present = true;
    d->cv.notify_all();
}

void SimKernel::setSwitch(Switch aSwitch, bool aOn)
{
    std::lock_guard<std::mutex> lock(d->m);
    auto &s = d->switches[int(aSwitch)];
    if (s.on != aOn || !s.present) {
        s.on = aOn;
        s.present = true;
        ++s.generation;
        d->cv.notify_all();
    }
}

bool SimKernel::switchOn(Switch aSwitch) const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->switches[int(aSwitch)].on;
}

void SimKernel::removeSwitch(Switch aSwitch)
{
    std::lock_guard<std::mutex> lock(d->m);
    auto &s = d->switches[int(aSwitch)];
    s.present = false;
    ++s.generation;
    d->cv.notify_all();
}

IspState SimKernel::isp() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->isp;
}

std::vector<ControlWrite> SimKernel::controlWrites() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->writes;
}

std::int32_t SimKernel::control(std::uint32_t aId) const
{
    std::lock_guard<std::mutex> lock(d->m);
    switch (aId) {
    case KControlExposure:
        return d->exposure;
    case KControlFrameTime:
        return d->effectiveFrameTime();
    case KControlGain:
        return d->gain;
    case KControlFocus:
        return d->focusTarget;
    case KControlFocusRamp:
        return d->focusRamp;
    case KControlFocusStepTime:
        return d->focusStep;
    default:
        return 0;
    }
}

std::vector<FrameRecord> SimKernel::frames() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return { d->records.begin(), d->records.end() };
}

bool SimKernel::frame(std::uint32_t aSequence, FrameRecord &aRecord) const
{
    std::lock_guard<std::mutex> lock(d->m);
    const FrameRecord *r = d->record(aSequence);
    if (r)
        aRecord = *r;
    return r != nullptr;
}

bool SimKernel::extensionInstalled() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->extensionFd >= 0;
}

OverlayState SimKernel::overlay() const
{
    std::lock_guard<std::mutex> lock(d->m);
    OverlayState s;
    s.open = d->overlayOpen > 0;
    s.plane = d->planeInfo;
    s.colorKey = d->colorKey;
    s.screen = d->screen;
    s.memorySize = std::uint32_t(d->plane.length);
    if (d->plane.map)
        s.pixels.assign(d->plane.map, d->plane.map + d->plane.length);
    return s;
}

float SimKernel::lensDiopters() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return lensRawToDiopters(std::int32_t(d->lensRawAt(d->now())));
}

float SimKernel::mainObjectDiopters() const
{
    return d->scene->mainDiopters();
}

float lensRawToDiopters(std::int32_t aRaw)
{
    return std::clamp((aRaw - 227) * 0.0315f, 0.0f, 20.0f);
}

std::int32_t lensDioptersToRaw(float aDiopters)
{
    return std::int32_t(aDiopters * 31.746f + 227.5f);
}

} // namespace Opsa::Sim
