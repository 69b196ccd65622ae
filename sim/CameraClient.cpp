#include "CameraClient.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>

namespace Opsa::Sim {

using namespace Opsa::Ketto;

CameraClient::CameraClient(Kernel &aKernel)
    : kernel(aKernel)
{ }

CameraClient::~CameraClient()
{
    stop();
    if (extension >= 0)
        kernel.close(extension);
    if (video >= 0)
        kernel.close(video);
}

int CameraClient::open(bool aNonBlocking)
{
    video = kernel.open("/dev/video0", O_RDWR | (aNonBlocking ? O_NONBLOCK : 0));
    return video < 0 ? -1 : 0;
}

int CameraClient::install()
{
    extension = kernel.open("/dev/video0", O_RDWR);
    if (extension < 0)
        return -1;
    return kernel.ioctl(extension, KOpsaInstall, nullptr);
}

int CameraClient::waitFrameStart(Opsa::Time &aStart)
{
    HsVsTime t {};
    if (kernel.ioctl(extension, KOpsaWaitForHsVs, &t) < 0)
        return -1;
    aStart = Opsa::Time(t.seconds, t.microseconds);
    return 0;
}

int CameraClient::start(int aWidth, int aHeight, std::uint32_t aPixelFormat, bool aStatistics)
{
    v4l2_format format {};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = std::uint32_t(aWidth);
    format.fmt.pix.height = std::uint32_t(aHeight);
    format.fmt.pix.pixelformat = aPixelFormat;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (kernel.ioctl(video, VIDIOC_S_FMT, &format) < 0)
        return -1;
    w = int(format.fmt.pix.width);
    h = int(format.fmt.pix.height);

    v4l2_requestbuffers request {};
    request.count = 8;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (kernel.ioctl(video, VIDIOC_REQBUFS, &request) < 0)
        return -1;
    for (std::uint32_t i = 0; i < request.count; ++i) {
        v4l2_buffer b {};
        b.index = i;
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        if (kernel.ioctl(video, VIDIOC_QUERYBUF, &b) < 0)
            return -1;
        void *m = kernel.mmap(
            nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, video, off_t(b.m.offset));
        if (m == MAP_FAILED)
            return -1;
        maps.push_back({ m, b.length });
        if (kernel.ioctl(video, VIDIOC_QBUF, &b) < 0)
            return -1;
    }

    PipelineStats geometry {};
    if (kernel.ioctl(video, KIspPipelineStats, &geometry) < 0)
        return -1;
    inW = geometry.ccdcOutputWidth;
    inH = geometry.ccdcOutputHeight;
    if (aStatistics) {
        HistogramConfig histogram {};
        histogram.enable = 1;
        histogram.inputBitWidth = 10;
        histogram.accumulatedFrames = 1;
        histogram.bins = 1;
        for (auto &g : histogram.whiteBalanceGain)
            g = 32;
        histogram.regions = 1;
        histogram.horizontal[0] = std::uint32_t(inW);
        histogram.vertical[0] = std::uint32_t(inH);
        if (kernel.ioctl(video, KIspHistogramConfig, &histogram) < 0)
            return -1;
        // The grid the camera backend asks for: 16 x 12 cells, as large as fit, centred.
        const int cellW = 2 * ((inW - 4) / 32), cellH = 2 * ((inH - 4) / 24);
        AfConfig af {};
        af.words[27] = std::uint32_t((cellW - 2) / 2);
        af.words[28] = std::uint32_t((cellH - 2) / 2);
        af.words[29] = std::uint32_t((inW - 16 * cellW) / 2);
        af.words[30] = std::uint32_t((inH - 12 * cellH) / 2);
        af.words[31] = 15;
        af.words[32] = 11;
        af.words[35] = 1;
        if (kernel.ioctl(video, KIspAfConfig, &af) < 0)
            return -1;
    }
    std::uint32_t type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (kernel.ioctl(video, VIDIOC_STREAMON, &type) < 0)
        return -1;
    streaming = true;
    return 0;
}

int CameraClient::stop()
{
    int result = 0;
    if (streaming) {
        std::uint32_t type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        result = kernel.ioctl(video, VIDIOC_STREAMOFF, &type);
        streaming = false;
    }
    for (const Mapping &m : maps)
        kernel.munmap(m.address, m.length);
    if (!maps.empty()) {
        // Give the buffers back so that the format may change.
        v4l2_requestbuffers none {};
        none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        none.memory = V4L2_MEMORY_MMAP;
        kernel.ioctl(video, VIDIOC_REQBUFS, &none);
    }
    maps.clear();
    return result;
}

int CameraClient::setControl(std::uint32_t aId, std::int32_t aValue)
{
    v4l2_control c { aId, aValue };
    return kernel.ioctl(video, VIDIOC_S_CTRL, &c);
}

int CameraClient::control(std::uint32_t aId, std::int32_t &aValue)
{
    v4l2_control c { aId, 0 };
    if (kernel.ioctl(video, VIDIOC_G_CTRL, &c) < 0)
        return -1;
    aValue = c.value;
    return 0;
}

int CameraClient::dequeue(Frame &aFrame, bool aBlock)
{
    if (aBlock) {
        pollfd p { video, POLLIN, 0 };
        if (kernel.poll(&p, 1, -1) < 0)
            return -1;
        if (!(p.revents & POLLIN)) {
            errno = EIO;
            return -1;
        }
    }
    v4l2_buffer b {};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    if (kernel.ioctl(video, VIDIOC_DQBUF, &b) < 0)
        return -1;
    aFrame.index = b.index;
    aFrame.sequence = b.sequence;
    aFrame.bytes = b.bytesused;
    aFrame.timestamp = Opsa::Time(int(b.timestamp.tv_sec), int(b.timestamp.tv_usec));
    aFrame.data = static_cast<const std::uint8_t *>(maps.at(b.index).address);
    return 0;
}

int CameraClient::requeue(const Frame &aFrame)
{
    v4l2_buffer b {};
    b.index = aFrame.index;
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    return kernel.ioctl(video, VIDIOC_QBUF, &b);
}

int CameraClient::frameWithSequence(std::uint32_t aSequence, std::vector<std::uint8_t> &aPixels)
{
    for (;;) {
        Frame f;
        if (dequeue(f) < 0)
            return -1;
        const bool match = f.sequence == aSequence;
        if (match)
            aPixels.assign(f.data, f.data + f.bytes);
        if (requeue(f) < 0)
            return -1;
        if (match)
            return 0;
        if (f.sequence > aSequence) {
            errno = ENOENT;
            return -1;
        }
    }
}

int CameraClient::histogram(std::uint16_t aFrameNumber, Stats &aStats)
{
    HistogramRequest r {};
    r.statistics = aStats.banks;
    r.size = sizeof aStats.banks;
    r.frameNumber = aFrameNumber;
    if (kernel.ioctl(video, KIspHistogramRequest, &r) < 0)
        return -1;
    aStats.frameNumber = r.frameNumber;
    aStats.currentFrame = r.currentFrame;
    aStats.stamp = Opsa::Time(r.seconds, r.microseconds);
    return 0;
}

int CameraClient::sharpness(std::uint16_t aFrameNumber, Stats &aStats)
{
    aStats.cells.assign(KAfStatisticsBytes, 0);
    AfRequest r {};
    r.statistics = aStats.cells.data();
    r.size = KAfStatisticsBytes;
    r.frameNumber = aFrameNumber;
    if (kernel.ioctl(video, KIspAfRequest, &r) < 0)
        return -1;
    aStats.cells.resize(r.size);
    aStats.frameNumber = r.frameNumber;
    aStats.currentFrame = r.currentFrame;
    aStats.stamp = Opsa::Time(r.seconds, r.microseconds);
    aStats.lensPosition = r.lensPosition;
    return 0;
}

} // namespace Opsa::Sim
