#include "Ketto/V4L2Sensor.h"

#include "Ketto/Kernel.h"
#include "Ketto/Requests.h"
#include "Opsa/Debug.h"
#include "Opsa/Image.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/mman.h>

namespace Opsa::Ketto {

namespace {

    struct Registry
    {
        std::mutex mutex;
        std::map<std::string, std::unique_ptr<V4L2Sensor>> devices;
    };

    Registry &registry()
    {
        static Registry all;
        return all;
    }

    // More buffers than the driver could ever have: a grant beyond it is not believed.
    constexpr unsigned KMaxBuffers = 32;
    constexpr unsigned KWantedBuffers = 8;
    // Statistics stamped further than this from a frame's exposure end belong to another
    // frame.
    constexpr int KStatisticsSlack = 4000;

    std::uint16_t previousFrame(std::uint16_t aFrame)
    {
        aFrame %= KFrameNumbers;
        return aFrame == 0 ? KFrameNumbers - 1 : aFrame - 1;
    }

    // The 16-bit coefficient of the previewer's matrix for aValue (units of 1/256, truncated),
    // pinned to the field's range.
    std::int16_t coefficient(float aValue)
    {
        if (std::isnan(aValue))
            return 0;
        float clamped = std::clamp(aValue, -32768.0f, 32767.0f);
        return std::int16_t(clamped);
    }

} // namespace

V4L2Sensor *V4L2Sensor::instance(const std::string &aPath)
{
    Registry &all = registry();
    std::lock_guard<std::mutex> lock(all.mutex);
    std::unique_ptr<V4L2Sensor> &device = all.devices[aPath];
    if (!device)
        device.reset(new V4L2Sensor(aPath));
    return device.get();
}

void V4L2Sensor::closeAll()
{
    std::vector<V4L2Sensor *> devices;
    {
        Registry &all = registry();
        std::lock_guard<std::mutex> lock(all.mutex);
        for (auto &entry : all.devices)
            devices.push_back(entry.second.get());
    }
    for (V4L2Sensor *device : devices) {
        device->close();
        device->setEventCreator(nullptr);
    }
}

V4L2Sensor::V4L2Sensor(const std::string &aPath)
    : devPath(aPath)
{ }

void V4L2Sensor::report(int aType, int aCode, const char *aFormat, ...)
{
    char message[256];
    va_list args;
    va_start(args, aFormat);
    vsnprintf(message, sizeof message, aFormat, args);
    va_end(args);
    post(aType, aCode, message, creator.load());
}

void V4L2Sensor::open()
{
    if (devState.load() != Closed)
        return;
    int descriptor = kernel().open(devPath.c_str(), O_RDWR | O_NONBLOCK);
    if (descriptor < 0) {
        report(Event::Error, Event::DriverError, "V4L2Sensor: Error opening %s: %s",
            devPath.c_str(), strerror(errno));
        return;
    }
    fd.store(descriptor);
    devState.store(Idle);
}

void V4L2Sensor::close()
{
    if (devState.load() == Closed)
        return;
    // Closing under a running stream would leave its buffers mapped for ever.
    stopStreaming();
    kernel().close(fd.load());
    fd.store(-1);
    devState.store(Closed);
}

bool V4L2Sensor::readControl(std::uint32_t aId, int *aValue)
{
    if (devState.load() == Closed) {
        errno = ENODEV;
        return false;
    }
    v4l2_control control {};
    control.id = aId;
    if (kernel().ioctl(fd.load(), VIDIOC_G_CTRL, &control) < 0)
        return false;
    *aValue = control.value;
    return true;
}

bool V4L2Sensor::writeControl(std::uint32_t aId, int aValue)
{
    if (devState.load() == Closed) {
        errno = ENODEV;
        return false;
    }
    v4l2_control control {};
    control.id = aId;
    control.value = aValue;
    return kernel().ioctl(fd.load(), VIDIOC_S_CTRL, &control) >= 0;
}

int V4L2Sensor::getControl(std::uint32_t aId)
{
    if (devState.load() == Closed)
        return -1;
    int value = -1;
    if (!readControl(aId, &value)) {
        report(Event::Error, Event::DriverError, "VIDIOC_G_CTRL: %s", strerror(errno));
        return -1;
    }
    return value;
}

void V4L2Sensor::setControl(std::uint32_t aId, int aValue)
{
    if (devState.load() == Closed)
        return;
    if (!writeControl(aId, aValue))
        report(Event::Error, Event::DriverError, "VIDIOC_S_CTRL: %s", strerror(errno));
}

int V4L2Sensor::getExposure()
{
    return getControl(KControlExposure);
}

void V4L2Sensor::setExposure(int aMicroseconds)
{
    setControl(KControlExposure, aMicroseconds);
}

int V4L2Sensor::getFrameTime()
{
    return getControl(KControlFrameTime);
}

void V4L2Sensor::setFrameTime(int aMicroseconds)
{
    setControl(KControlFrameTime, aMicroseconds);
}

float V4L2Sensor::getGain()
{
    int value = getControl(KControlGain);
    return value < 0 ? -1.0f : float(value) / 32.0f;
}

void V4L2Sensor::setGain(float aGain)
{
    // The register holds gain x 32; anything the conversion to int cannot hold is pinned.
    float value = std::clamp(aGain * 32.0f + 0.5f, -2.0e9f, 2.0e9f);
    setControl(KControlGain, std::isnan(value) ? 0 : int(value));
}

bool V4L2Sensor::startStreaming(int aWidth, int aHeight, int aFormat,
    const Opsa::HistogramConfig &aHistogram, const SharpnessMapConfig &aSharpness)
{
    if (devState.load() != Idle) {
        report(Event::Error, Event::InternalError,
            "V4L2Sensor: Can only initiate streaming if sensor is idle");
        return false;
    }
    std::uint32_t pixelFormat;
    if (aFormat == UYVY)
        pixelFormat = V4L2_PIX_FMT_UYVY;
    else if (aFormat == RAW)
        pixelFormat = v4l2_fourcc('B', 'A', '1', '0');
    else {
        report(Event::Error, Event::InternalError, "V4L2Sensor: Unknown image format requested");
        return false;
    }
    Kernel &k = kernel();
    int descriptor = fd.load();

    v4l2_format fmt {};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = std::uint32_t(std::max(aWidth, 0));
    fmt.fmt.pix.height = std::uint32_t(std::max(aHeight, 0));
    fmt.fmt.pix.pixelformat = pixelFormat;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    if (k.ioctl(descriptor, VIDIOC_S_FMT, &fmt) < 0) {
        report(Event::Error, Event::DriverError, "VIDIOC_S_FMT");
        return false;
    }

    v4l2_streamparm parm {};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe.numerator = aHeight <= 960 ? 33000 : 77000;
    parm.parm.capture.timeperframe.denominator = 1000000;
    if (k.ioctl(descriptor, VIDIOC_S_PARM, &parm) < 0) {
        report(Event::Error, Event::DriverError, "VIDIOC_S_PARM");
        return false;
    }

    streamWidth = int(std::min<std::uint32_t>(fmt.fmt.pix.width, 65535));
    streamHeight = int(std::min<std::uint32_t>(fmt.fmt.pix.height, 65535));
    streamFormat = fmt.fmt.pix.pixelformat == V4L2_PIX_FMT_UYVY ? UYVY : RAW;

    v4l2_requestbuffers request {};
    request.count = KWantedBuffers;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (k.ioctl(descriptor, VIDIOC_REQBUFS, &request) < 0) {
        report(Event::Error, Event::DriverError, "VIDIOC_REQBUFS: %s", strerror(errno));
        return false;
    }
    if (request.count == 0) {
        report(Event::Error, Event::DriverError, "VIDIOC_REQBUFS: %s", "no buffers granted");
        return false;
    }

    buffers.clear();
    for (std::uint32_t i = 0; i < std::min(request.count, KMaxBuffers); ++i) {
        v4l2_buffer info {};
        info.index = i;
        info.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        info.memory = V4L2_MEMORY_MMAP;
        if (k.ioctl(descriptor, VIDIOC_QUERYBUF, &info) < 0) {
            report(Event::Error, Event::DriverError, "VIDIOC_QUERYBUF: %s", strerror(errno));
            unmapBuffers();
            return false;
        }
        void *memory = k.mmap(nullptr, info.length, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor,
            off_t(info.m.offset));
        if (memory == MAP_FAILED) {
            report(
                Event::Error, Event::InternalError, "V4L2Sensor: mmap failed: %s", strerror(errno));
            unmapBuffers();
            return false;
        }
        Buffer buffer;
        buffer.data = static_cast<unsigned char *>(memory);
        buffer.length = info.length;
        buffer.index = i;
        buffers.push_back(buffer);
    }
    for (Buffer &buffer : buffers) {
        v4l2_buffer queued {};
        queued.index = buffer.index;
        queued.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        queued.memory = V4L2_MEMORY_MMAP;
        if (k.ioctl(descriptor, VIDIOC_QBUF, &queued) < 0)
            report(Event::Error, Event::DriverError, "VIDIOC_QBUF: %s", strerror(errno));
    }

    // A stream starts with neither engine on: statistics of an earlier mode must not pass for
    // this one's.
    histogramSettings = Opsa::HistogramConfig();
    sharpnessSettings = SharpnessMapConfig();
    if (aHistogram.enabled)
        configureHistogram(aHistogram);
    if (aSharpness.enabled)
        configureSharpness(aSharpness);

    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (k.ioctl(descriptor, VIDIOC_STREAMON, &type) < 0) {
        report(Event::Error, Event::DriverError, "VIDIOC_STREAMON: %s", strerror(errno));
        unmapBuffers();
        return false;
    }
    OPSA_TRACE(3, "Sensor now streaming\n");
    devState.store(Streaming);
    return true;
}

void V4L2Sensor::unmapBuffers()
{
    for (Buffer &buffer : buffers)
        if (kernel().munmap(buffer.data, buffer.length) < 0)
            report(Event::Error, Event::InternalError, "munmap failed: %s", strerror(errno));
    buffers.clear();
}

void V4L2Sensor::stopStreaming()
{
    if (devState.load() != Streaming)
        return;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (kernel().ioctl(fd.load(), VIDIOC_STREAMOFF, &type) < 0)
        report(Event::Error, Event::DriverError, "VIDIOC_STREAMOFF: %s", strerror(errno));
    unmapBuffers();
    devState.store(Idle);
}

V4L2Sensor::Buffer *V4L2Sensor::acquire(bool aBlocking)
{
    if (devState.load() != Streaming) {
        report(Event::Error, Event::InternalError,
            "V4L2Sensor: Can't acquire a frame when not streaming");
        return nullptr;
    }
    Kernel &k = kernel();
    int descriptor = fd.load();
    if (aBlocking) {
        pollfd wanted {};
        wanted.fd = descriptor;
        wanted.events = POLLIN;
        int ready = k.poll(&wanted, 1, -1);
        if (ready <= 0 || !(wanted.revents & POLLIN)) {
            report(Event::Error, Event::DriverError,
                "Poll returned without data being available: %s", strerror(errno));
            return nullptr;
        }
    }
    v4l2_buffer filled {};
    filled.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    filled.memory = V4L2_MEMORY_MMAP;
    if (k.ioctl(descriptor, VIDIOC_DQBUF, &filled) < 0) {
        if (errno == EAGAIN && !aBlocking)
            return nullptr;
        report(Event::Error, Event::DriverError, "VIDIOC_DQBUF: %s", strerror(errno));
        return nullptr;
    }
    // The index picks one of our mappings: one we never mapped would send the daemon into
    // memory that is not a frame.
    if (filled.index >= buffers.size()) {
        report(Event::Error, Event::DriverError, "VIDIOC_DQBUF: %s (index %u of %zu)",
            "unknown buffer", filled.index, buffers.size());
        return nullptr;
    }
    Buffer &buffer = buffers[filled.index];
    buffer.timestamp = Time(int(filled.timestamp.tv_sec), int(filled.timestamp.tv_usec));
    return &buffer;
}

bool V4L2Sensor::frameReady(int aTimeoutMs)
{
    if (devState.load() != Streaming)
        return true;
    pollfd wanted {};
    wanted.fd = fd.load();
    wanted.events = POLLIN;
    return kernel().poll(&wanted, 1, aTimeoutMs) != 0;
}

void V4L2Sensor::release(Buffer *aBuffer)
{
    if (!aBuffer)
        return;
    v4l2_buffer queued {};
    queued.index = aBuffer->index;
    queued.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    queued.memory = V4L2_MEMORY_MMAP;
    if (kernel().ioctl(fd.load(), VIDIOC_QBUF, &queued) < 0)
        report(Event::Error, Event::DriverError, "VIDIOC_QBUF: %s", strerror(errno));
}

void V4L2Sensor::setColorMatrix(const float *aMatrix)
{
    if (devState.load() == Closed || !aMatrix)
        return;
    PreviewWhiteBalance whiteBalance {};
    PreviewBlackAdjust blackAdjust {};
    PreviewBlending blending {};
    whiteBalance.digitalGain = 256;
    // The coefficients hold magnitudes below 8; a larger column is halved into range and its
    // channel's gain doubled instead. The 8-bit gains hold at most 32 x 4, so a column is
    // halved at most twice (what is still too large then is pinned to the field's range).
    std::uint8_t gains[3];
    float scales[3];
    for (int col = 0; col < 3; ++col) {
        float largest = 0.0f;
        for (int row = 0; row < 3; ++row)
            largest = std::max(largest, std::fabs(aMatrix[4 * row + col]));
        float scale = 1.0f;
        unsigned gain = 32;
        for (int halvings = 0; largest > 8.0f && halvings < 2; ++halvings) {
            largest /= 2.0f;
            scale /= 2.0f;
            gain *= 2;
        }
        gains[col] = std::uint8_t(gain);
        scales[col] = scale;
    }
    whiteBalance.gain[0] = gains[0];
    whiteBalance.gain[1] = gains[1];
    whiteBalance.gain[2] = gains[1];
    whiteBalance.gain[3] = gains[2];
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col)
            blending.matrix[row][col] = coefficient(aMatrix[4 * row + col] * scales[col] * 256.0f);
        blending.offset[row] = coefficient(aMatrix[4 * row + 3]);
    }

    PreviewConfig config {};
    config.update = KPreviewUpdateWhiteBalance | KPreviewUpdateBlackAdjust | KPreviewUpdateBlending;
    config.whiteBalance = &whiteBalance;
    config.blackAdjust = &blackAdjust;
    config.blending = &blending;
    if (kernel().ioctl(fd.load(), KIspPreviewConfig, &config) < 0)
        report(Event::Error, Event::DriverError, "VIDIOC_PRIVATE_ISP_PRV_CFG: %s", strerror(errno));
}

bool V4L2Sensor::pipelineSize(unsigned *aWidth, unsigned *aHeight)
{
    PipelineStats stats {};
    if (kernel().ioctl(fd.load(), KIspPipelineStats, &stats) < 0) {
        report(Event::Error, Event::DriverError, "VIDIOC_PRIVATE_ISP_PIPELINE_STATS_REQ: %s",
            strerror(errno));
        return false;
    }
    *aWidth = stats.ccdcOutputWidth;
    *aHeight = stats.ccdcOutputHeight;
    return true;
}

void V4L2Sensor::configureHistogram(const Opsa::HistogramConfig &aRequest)
{
    unsigned W, H;
    if (!pipelineSize(&W, &H))
        return;
    // A stream of no size has no pixels to scale the region from.
    if (streamWidth <= 0 || streamHeight <= 0) {
        report(Event::Error, Event::DriverError, "VIDIOC_PRIVATE_ISP_HIST_CFG: %s",
            "the stream has no size");
        return;
    }
    unsigned outW = unsigned(streamWidth), outH = unsigned(streamHeight);
    unsigned x = unsigned(aRequest.region.x) * W / outW;
    unsigned w = unsigned(aRequest.region.width) * W / outW;
    unsigned y = unsigned(aRequest.region.y) * H / outH;
    unsigned h = unsigned(aRequest.region.height) * H / outH;
    if (x > W)
        x = W - 1;
    if (y > H)
        y = H - 1;
    if (w > W)
        w = W - x;
    if (h > H)
        h = H - y;

    Opsa::HistogramConfig cfgRequest = aRequest;
    Ketto::HistogramConfig config {};
    config.enable = 1;
    config.source = 0;
    config.inputBitWidth = 10;
    config.accumulatedFrames = 1;
    config.bins = 1;
    config.cfa = 0;
    std::fill(std::begin(config.whiteBalanceGain), std::end(config.whiteBalanceGain), 35);
    config.regions = 1;
    config.horizontal[0] = (x << 16) | w;
    config.vertical[0] = (y << 16) | h;
    OPSA_TRACE(3, "Enabling histogram generator\n");
    if (kernel().ioctl(fd.load(), KIspHistogramConfig, &config) < 0) {
        report(
            Event::Error, Event::DriverError, "VIDIOC_PRIVATE_ISP_HIST_CFG: %s", strerror(errno));
        return;
    }
    histogramSettings = cfgRequest;
    histogramSettings.buckets = KHistogramBuckets;
    histogramSettings.enabled = true;
}

void V4L2Sensor::configureSharpness(const SharpnessMapConfig &aRequest)
{
    unsigned W, H;
    if (!pipelineSize(&W, &H))
        return;
    int cellWidth = 2 * ((int(W) - 4) / 32);
    int cellHeight = 2 * ((int(H) - 4) / 24);
    if (cellWidth > 256) {
        report(Event::Error, Event::InternalError,
            "AF paxels are too wide. Use a higher resolution sharpness map\n");
        return;
    }
    if (cellHeight > 256) {
        report(Event::Error, Event::InternalError,
            "AF paxels are too tall. Use a higher resolution sharpness map\n");
        return;
    }
    if (cellWidth < 16) {
        report(Event::Error, Event::InternalError,
            "AF paxels are too narrow. Use a lower resolution sharpness map\n");
        return;
    }
    if (cellHeight < 2) {
        report(Event::Error, Event::InternalError,
            "AF paxels are too short. Use a lower resolution sharpness map\n");
        return;
    }
    AfConfig config {};
    const std::uint32_t fixed[27] = { 0, 1, 10, 1, 0, 32, 0, 0, 16, 4064, 16, 0, 0, 32, 0, 0, 32, 0,
        0, 16, 4064, 16, 0, 0, 32, 0, 0 };
    std::copy(std::begin(fixed), std::end(fixed), config.words);
    config.words[27] = std::uint32_t((cellWidth - 2) / 2);
    config.words[28] = std::uint32_t((cellHeight - 2) / 2);
    config.words[29] = std::uint32_t((int(W) - KAfCellsWide * cellWidth) / 2);
    config.words[30] = std::uint32_t((int(H) - KAfCellsHigh * cellHeight) / 2);
    config.words[31] = KAfCellsWide - 1;
    config.words[32] = KAfCellsHigh - 1;
    config.words[33] = 0;
    config.words[34] = 0;
    config.words[35] = 1;
    OPSA_TRACE(3, "Using %d x %d paxels for af\n", cellWidth, cellHeight);
    OPSA_TRACE(3, "Enabling sharpness detector\n");
    if (kernel().ioctl(fd.load(), KIspAfConfig, &config) < 0) {
        report(Event::Error, Event::DriverError, "VIDIOC_PRIVATE_ISP_AF_CFG: %s", strerror(errno));
        return;
    }
    sharpnessSettings = aRequest;
    sharpnessSettings.enabled = true;
}

Histogram V4L2Sensor::histogram(Time aTime, const Opsa::HistogramConfig &aRequest)
{
    if (!aRequest.enabled || !histogramSettings.enabled || devState.load() != Streaming)
        return Histogram();
    std::uint32_t counts[KHistogramBanks * KHistogramBuckets];
    HistogramRequest request {};
    int descriptor = fd.load();
    auto fetch = [&](std::uint16_t aFrame) {
        std::memset(counts, 0, sizeof counts);
        request = HistogramRequest {};
        request.statistics = counts;
        request.size = sizeof counts;
        request.frameNumber = aFrame;
        if (kernel().ioctl(descriptor, KIspHistogramRequest, &request) >= 0)
            return true;
        if (errno != EBUSY)
            report(Event::Error, Event::DriverError, "VIDIOC_PRIVATE_ISP_HIST_REQ: %s",
                strerror(errno));
        return false;
    };
    if (!fetch(KNewestFrame))
        return Histogram();
    int dt = aTime - Time(request.seconds, request.microseconds);
    // Newer statistics than the frame: step back through the driver's frames. It keeps only a
    // few, so a walk through all frame numbers means the answers are not to be believed.
    for (unsigned steps = 0; dt < -KStatisticsSlack; ++steps) {
        if (steps == KFrameNumbers || !fetch(previousFrame(request.frameNumber)))
            return Histogram();
        dt = aTime - Time(request.seconds, request.microseconds);
    }
    // Older than the frame, at once or after stepping back past a frame without statistics:
    // this frame's are not there, and another frame's would meter the wrong exposure.
    if (dt > KStatisticsSlack) {
        report(Event::Warning, Event::DriverError, "Missing histogram (%d)\n", dt);
        return Histogram();
    }
    // Only counts the driver says it wrote are read.
    constexpr std::uint32_t used = 3 * KHistogramBuckets * sizeof(std::uint32_t);
    if (request.size < used) {
        report(Event::Error, Event::DriverError,
            "VIDIOC_PRIVATE_ISP_HIST_REQ: short answer (%u of %u bytes)", unsigned(request.size),
            unsigned(used));
        return Histogram();
    }
    Histogram result;
    result.buckets = KHistogramBuckets;
    result.channels = 3;
    result.region = aRequest.region;
    result.data.resize(std::size_t(KHistogramBuckets) * 3);
    // The banks count green, red and blue; the histogram's channels are red, green, blue.
    const int bankOf[3] = { 1, 0, 2 };
    for (int b = 0; b < KHistogramBuckets; ++b)
        for (int c = 0; c < 3; ++c)
            result.data[std::size_t(b) * 3 + std::size_t(c)]
                = counts[bankOf[c] * KHistogramBuckets + b];
    return result;
}

SharpnessMap V4L2Sensor::sharpness(Time aTime, const SharpnessMapConfig &aRequest)
{
    if (!aRequest.enabled || !sharpnessSettings.enabled || devState.load() != Streaming)
        return SharpnessMap();
    std::vector<std::uint8_t> cells(KAfStatisticsBytes);
    AfRequest request {};
    int descriptor = fd.load();
    auto fetch = [&](std::uint16_t aFrame) {
        std::fill(cells.begin(), cells.end(), 0);
        request = AfRequest {};
        request.statistics = cells.data();
        request.size = KAfStatisticsBytes;
        request.frameNumber = aFrame;
        if (kernel().ioctl(descriptor, KIspAfRequest, &request) >= 0)
            return true;
        if (errno != EBUSY)
            report(
                Event::Error, Event::DriverError, "VIDIOC_PRIVATE_ISP_AF_REQ: %s", strerror(errno));
        return false;
    };
    if (!fetch(KNewestFrame))
        return SharpnessMap();
    int dt = aTime - Time(request.seconds, request.microseconds);
    for (unsigned steps = 0; dt < -KStatisticsSlack; ++steps) {
        if (steps == KFrameNumbers || !fetch(previousFrame(request.frameNumber)))
            return SharpnessMap();
        dt = aTime - Time(request.seconds, request.microseconds);
    }
    // Focus keeps going on slightly stale cells rather than none.
    if (dt > KStatisticsSlack)
        report(Event::Warning, Event::DriverError, "Missing sharpness (%d)\n", dt);
    if (request.size < std::uint32_t(KAfStatisticsBytes)) {
        report(Event::Error, Event::DriverError,
            "VIDIOC_PRIVATE_ISP_AF_REQ: short answer (%u of %d bytes)", unsigned(request.size),
            KAfStatisticsBytes);
        return SharpnessMap();
    }
    SharpnessMap map;
    map.width = KAfCellsWide;
    map.height = KAfCellsHigh;
    map.channels = 3;
    map.data.resize(std::size_t(KAfCellsWide) * KAfCellsHigh * 3);
    for (int cell = 0; cell < KAfCellsWide * KAfCellsHigh; ++cell)
        for (int c = 0; c < 3; ++c) {
            std::uint32_t value;
            std::memcpy(&value, &cells[std::size_t(cell) * KAfCellBytes + 4 + 16 * std::size_t(c)],
                sizeof value);
            map.data[std::size_t(cell) * 3 + std::size_t(c)] = value;
        }
    return map;
}

} // namespace Opsa::Ketto
