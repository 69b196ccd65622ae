// The camera as a driver's user sees it: requests in the wrong state, the kernel extension,
// and requests failing on demand.

#include "SimFixture.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace simtest;
using namespace Opsa::Ketto;

namespace {

v4l2_buffer bufferAt(std::uint32_t aIndex)
{
    v4l2_buffer b {};
    b.index = aIndex;
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    return b;
}

int call(Kernel &aKernel, int aFd, unsigned long aRequest, void *aArgument)
{
    errno = 0;
    return aKernel.ioctl(aFd, aRequest, aArgument) < 0 ? errno : 0;
}

} // namespace

TEST_F(SimTest, RefusesRequestsInTheWrongState)
{
    Kernel &k = sim();
    const int fd = k.open("/dev/video0", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    std::uint32_t type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    v4l2_buffer b = bufferAt(0);

    EXPECT_EQ(call(k, fd, VIDIOC_DQBUF, &b), EINVAL) << "not streaming";
    EXPECT_EQ(call(k, fd, VIDIOC_STREAMON, &type), EINVAL) << "no buffers";
    EXPECT_EQ(call(k, fd, VIDIOC_QBUF, &b), EINVAL) << "no such buffer";

    v4l2_requestbuffers request {};
    request.count = 20;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_USERPTR;
    EXPECT_EQ(call(k, fd, VIDIOC_REQBUFS, &request), EINVAL) << "only memory-mapped buffers";
    request.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(call(k, fd, VIDIOC_REQBUFS, &request), 0);
    EXPECT_EQ(request.count, 8u) << "eight buffers at most";

    v4l2_format format {};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = 640;
    format.fmt.pix.height = 480;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_UYVY;
    EXPECT_EQ(call(k, fd, VIDIOC_S_FMT, &format), EBUSY) << "format change with buffers";

    b = bufferAt(8);
    EXPECT_EQ(call(k, fd, VIDIOC_QUERYBUF, &b), EINVAL);
    b = bufferAt(0);
    b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(call(k, fd, VIDIOC_QBUF, &b), EINVAL) << "wrong type";
    b = bufferAt(0);
    ASSERT_EQ(call(k, fd, VIDIOC_QBUF, &b), 0);
    EXPECT_EQ(call(k, fd, VIDIOC_QBUF, &b), EINVAL) << "queued twice";

    // The buffers belong to the descriptor that asked for them.
    const int other = k.open("/dev/video0", O_RDWR);
    b = bufferAt(1);
    EXPECT_EQ(call(k, other, VIDIOC_QBUF, &b), EBUSY);
    EXPECT_EQ(call(k, other, VIDIOC_STREAMON, &type), EBUSY);

    ASSERT_EQ(call(k, fd, VIDIOC_STREAMON, &type), 0);
    EXPECT_EQ(call(k, fd, VIDIOC_REQBUFS, &request), EBUSY) << "buffers while streaming";
    b = bufferAt(0);
    EXPECT_EQ(call(k, fd, VIDIOC_DQBUF, &b), EAGAIN) << "nothing ready on a non-blocking read";

    v4l2_control unknown { 0x00980900, 1 };
    EXPECT_EQ(call(k, fd, VIDIOC_S_CTRL, &unknown), EINVAL);
    HsVsTime t {};
    EXPECT_EQ(call(k, fd, KOpsaWaitForHsVs, &t), EINVAL) << "wait without the extension";
    EXPECT_EQ(call(k, fd, 0xC0DE5600, &t), ENOTTY);

    ASSERT_EQ(call(k, fd, VIDIOC_STREAMOFF, &type), 0);
    EXPECT_EQ(call(k, fd, VIDIOC_DQBUF, &b), EINVAL);
    // Closing the owner frees the buffers: another descriptor may now take over.
    ASSERT_EQ(k.close(fd), 0);
    request.count = 4;
    EXPECT_EQ(call(k, other, VIDIOC_REQBUFS, &request), 0);
    EXPECT_EQ(k.close(other), 0);
    EXPECT_EQ(k.close(other), -1) << "closed twice";
}

TEST_F(SimTest, AdjustsFormatsAndMapsOnlyItsBuffers)
{
    Kernel &k = sim();
    const int fd = k.open("/dev/video0", O_RDWR);
    v4l2_format format {};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = 4000;
    format.fmt.pix.height = 101;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    ASSERT_EQ(call(k, fd, VIDIOC_S_FMT, &format), 0);
    EXPECT_EQ(format.fmt.pix.width, 2592u);
    EXPECT_EQ(format.fmt.pix.height, 120u);
    EXPECT_EQ(format.fmt.pix.pixelformat, V4L2_PIX_FMT_UYVY);
    EXPECT_EQ(format.fmt.pix.sizeimage, 2592u * 120 * 2);

    v4l2_requestbuffers request {};
    request.count = 2;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(call(k, fd, VIDIOC_REQBUFS, &request), 0);
    v4l2_buffer b = bufferAt(1);
    ASSERT_EQ(call(k, fd, VIDIOC_QUERYBUF, &b), 0);
    EXPECT_EQ(
        k.mmap(nullptr, b.length + 4096, PROT_READ, MAP_SHARED, fd, off_t(b.m.offset)), MAP_FAILED);
    EXPECT_EQ(k.mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, 12345), MAP_FAILED);
    void *m = k.mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(b.m.offset));
    ASSERT_NE(m, MAP_FAILED);
    // A mapping outlives the buffers' release, as the kernel's own would.
    k.close(fd);
    static_cast<std::uint8_t *>(m)[b.length - 1] = 7;
    EXPECT_EQ(k.munmap(m, b.length), 0);
}

TEST_F(SimTest, ExtensionIsHeldByOneDescriptorAtATime)
{
    Kernel &k = sim();
    const int first = k.open("/dev/video0", O_RDWR);
    const int second = k.open("/dev/video0", O_RDWR);
    EXPECT_EQ(call(k, first, KOpsaInstall, nullptr), 0);
    EXPECT_EQ(call(k, second, KOpsaInstall, nullptr), EBUSY);
    EXPECT_EQ(EBUSY, 16);
    EXPECT_TRUE(sim().extensionInstalled());
    k.close(first);
    EXPECT_EQ(call(k, second, KOpsaInstall, nullptr), 0) << "released when its holder closes";
    k.close(second);

    // Faults: another program holds it; the extension is not there at all.
    const int fd = k.open("/dev/video0", O_RDWR);
    sim().holdExtension(true);
    EXPECT_EQ(call(k, fd, KOpsaInstall, nullptr), EBUSY);
    sim().holdExtension(false);
    sim().removeExtension(true);
    EXPECT_EQ(call(k, fd, KOpsaInstall, nullptr), ENOTTY);
    HsVsTime t {};
    EXPECT_EQ(call(k, fd, KOpsaWaitForHsVs, &t), ENOTTY);
    sim().clearFaults();
    EXPECT_EQ(call(k, fd, KOpsaInstall, nullptr), 0);
    k.close(fd);
}

TEST_F(SimTest, RequestsAndOpensFailOnDemand)
{
    Kernel &k = sim();
    sim().failOpen("/dev/video0", EACCES);
    EXPECT_EQ(k.open("/dev/video0", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    const int fd = k.open("/dev/video0", O_RDWR);
    ASSERT_GE(fd, 0) << "the fault was for one open";

    sim().failRequest(VIDIOC_S_CTRL, EIO, 2);
    v4l2_control c { KControlGain, 64 };
    EXPECT_EQ(call(k, fd, VIDIOC_S_CTRL, &c), EIO);
    EXPECT_EQ(call(k, fd, VIDIOC_S_CTRL, &c), EIO);
    EXPECT_EQ(call(k, fd, VIDIOC_S_CTRL, &c), 0);
    EXPECT_EQ(sim().control(KControlGain), 64);

    sim().failRequest(VIDIOC_G_CTRL, ERANGE, -1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(call(k, fd, VIDIOC_G_CTRL, &c), ERANGE);
    sim().failRequest(VIDIOC_G_CTRL, 0, 0);
    EXPECT_EQ(call(k, fd, VIDIOC_G_CTRL, &c), 0);
    k.close(fd);

    // Other paths are real files under the phone root.
    const int file = k.open("/tmp/opsa.lock", O_RDWR | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    EXPECT_EQ(k.write(file, "x", 1), 1);
    k.close(file);
    EXPECT_EQ(::access(phone->path("/tmp/opsa.lock").c_str(), F_OK), 0);
}

TEST_F(SimTest, ClampsControlsAndReadsThemBack)
{
    ASSERT_EQ(camera->open(), 0);
    std::int32_t v = 0;
    ASSERT_EQ(camera->setControl(KControlGain, 5000), 0);
    ASSERT_EQ(camera->control(KControlGain, v), 0);
    EXPECT_EQ(v, 32 * 32) << "gain 32 at most";
    ASSERT_EQ(camera->setControl(KControlExposure, 1), 0);
    ASSERT_EQ(camera->control(KControlExposure, v), 0);
    EXPECT_EQ(v, 38);
    // The frame time 0 is the mode's shortest; it stretches to hold the exposure.
    ASSERT_EQ(camera->setControl(KControlFrameTime, 0), 0);
    ASSERT_EQ(camera->control(KControlFrameTime, v), 0);
    EXPECT_EQ(v, 33414);
    ASSERT_EQ(camera->setControl(KControlExposure, 50000), 0);
    ASSERT_EQ(camera->control(KControlFrameTime, v), 0);
    EXPECT_EQ(v, 50400);
    const auto writes = sim().controlWrites();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].id, KControlGain);
    EXPECT_EQ(writes[0].value, 5000) << "the log keeps what was written";
}
