#include "../opsa/Events.h"
#include "Ketto/Kernel.h"
#include "Ketto/Requests.h"
#include "Ketto/V4L2Sensor.h"
#include "Opsa/Image.h"

#include <cerrno>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <sys/mman.h>
#include <vector>

using Opsa::Event;
using Opsa::Ketto::V4L2Sensor;
using opsatest::drainMessages;

namespace {

// A camera driver that answers as the test scripts it: for the answers a well-behaved driver
// (the simulated phone) never gives. Requests without a script succeed and change nothing.
class ScriptedKernel : public Opsa::Ketto::Kernel
{
public:
    using Answer = std::function<int(void *)>;

    int open(const char *, int, mode_t) override { return 42; }
    int close(int) override { return 0; }
    ssize_t read(int, void *, std::size_t) override { return 0; }
    ssize_t write(int, const void *, std::size_t aCount) override { return ssize_t(aCount); }
    int ioctl(int, unsigned long aRequest, void *aArgument) override
    {
        ++calls[aRequest];
        auto answer = answers.find(aRequest);
        return answer == answers.end() ? 0 : answer->second(aArgument);
    }
    int poll(struct pollfd *aFds, nfds_t, int) override
    {
        aFds[0].revents = POLLIN;
        return 1;
    }
    void *mmap(void *, std::size_t aLength, int, int, int, off_t) override
    {
        ++mapped;
        return ::mmap(nullptr, aLength ? aLength : 1, PROT_READ | PROT_WRITE,
            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    int munmap(void *aAddress, std::size_t aLength) override
    {
        --mapped;
        return ::munmap(aAddress, aLength ? aLength : 1);
    }
    int madvise(void *, std::size_t, int) override { return 0; }

    std::map<unsigned long, Answer> answers;
    std::map<unsigned long, int> calls;
    int mapped = 0;
};

class HostileDriver : public opsatest::EventTest
{
protected:
    void SetUp() override
    {
        opsatest::EventTest::SetUp();
        Opsa::Ketto::Phone::select(&phone);
        device = V4L2Sensor::instance("/dev/video0");
        // A previewer input of 2592 x 1968 unless a test says otherwise; 4096 bytes per buffer.
        geometry(2592, 1968);
        kernel.answers[VIDIOC_QUERYBUF] = [](void *aArgument) {
            static_cast<v4l2_buffer *>(aArgument)->length = 4096;
            return 0;
        };
        device->open();
    }
    void TearDown() override
    {
        V4L2Sensor::closeAll();
        Opsa::Ketto::Phone::select(nullptr);
        opsatest::drainEvents();
    }

    void geometry(std::uint16_t aWidth, std::uint16_t aHeight)
    {
        kernel.answers[Opsa::Ketto::KIspPipelineStats] = [=](void *aArgument) {
            auto *stats = static_cast<Opsa::Ketto::PipelineStats *>(aArgument);
            stats->ccdcOutputWidth = aWidth;
            stats->ccdcOutputHeight = aHeight;
            return 0;
        };
    }

    bool stream(bool aStatistics = true)
    {
        Opsa::HistogramConfig histogram;
        histogram.region = { 0, 0, 640, 480 };
        histogram.enabled = aStatistics;
        Opsa::SharpnessMapConfig sharpness;
        sharpness.enabled = aStatistics;
        return device->startStreaming(640, 480, Opsa::UYVY, histogram, sharpness);
    }

    ScriptedKernel kernel;
    Opsa::Ketto::Phone phone { kernel, "" };
    V4L2Sensor *device = nullptr;
};

TEST_F(HostileDriver, BelievesNoBufferItDidNotMap)
{
    // A grant of far more buffers than any driver has: no more than 32 are mapped.
    kernel.answers[VIDIOC_REQBUFS] = [](void *aArgument) {
        static_cast<v4l2_requestbuffers *>(aArgument)->count = 100000;
        return 0;
    };
    ASSERT_TRUE(stream(false));
    EXPECT_EQ(kernel.mapped, 32);
    EXPECT_EQ(kernel.calls[VIDIOC_QUERYBUF], 32);

    // A filled buffer with an index that was never handed out.
    kernel.answers[VIDIOC_DQBUF] = [](void *aArgument) {
        static_cast<v4l2_buffer *>(aArgument)->index = 32;
        return 0;
    };
    EXPECT_EQ(device->acquire(true), nullptr);
    EXPECT_EQ(drainMessages(Event::Error, Event::DriverError),
        std::vector<std::string> { "VIDIOC_DQBUF: unknown buffer (index 32 of 32)" });
    // Nothing ready without waiting is no failure.
    kernel.answers[VIDIOC_DQBUF] = [](void *) {
        errno = EAGAIN;
        return -1;
    };
    EXPECT_EQ(device->acquire(false), nullptr);
    EXPECT_TRUE(opsatest::drainEvents().empty());

    device->close();
    EXPECT_EQ(kernel.mapped, 0) << "closing a stream unmaps it";
}

TEST_F(HostileDriver, RefusesStatisticsItWasNotGiven)
{
    ASSERT_TRUE(stream());
    Opsa::Time frameEnd(1000, 0);
    // The driver claims to have written fewer counts than the three banks used.
    kernel.answers[Opsa::Ketto::KIspHistogramRequest] = [](void *aArgument) {
        auto *request = static_cast<Opsa::Ketto::HistogramRequest *>(aArgument);
        request->size = 700;
        request->seconds = 1000;
        return 0;
    };
    kernel.answers[Opsa::Ketto::KIspAfRequest] = [](void *aArgument) {
        auto *request = static_cast<Opsa::Ketto::AfRequest *>(aArgument);
        request->size = 48 * 100;
        request->seconds = 1000;
        return 0;
    };
    Opsa::HistogramConfig histogram;
    histogram.enabled = true;
    Opsa::SharpnessMapConfig sharpness;
    sharpness.enabled = true;
    EXPECT_FALSE(device->histogram(frameEnd, histogram).valid());
    EXPECT_FALSE(device->sharpness(frameEnd, sharpness).valid());
    EXPECT_EQ(drainMessages(Event::Error, Event::DriverError),
        (std::vector<std::string> { "VIDIOC_PRIVATE_ISP_HIST_REQ: short answer (700 of 768 bytes)",
            "VIDIOC_PRIVATE_ISP_AF_REQ: short answer (4800 of 9216 bytes)" }));

    // Statistics always newer than the frame, whatever frame is asked for: the walk back ends.
    kernel.answers[Opsa::Ketto::KIspHistogramRequest] = [](void *aArgument) {
        auto *request = static_cast<Opsa::Ketto::HistogramRequest *>(aArgument);
        request->seconds = 2000;
        request->frameNumber = 0xFFFF; // not even a frame number
        return 0;
    };
    kernel.calls.clear();
    EXPECT_FALSE(device->histogram(frameEnd, histogram).valid());
    EXPECT_LE(kernel.calls[Opsa::Ketto::KIspHistogramRequest], 4097);
}

struct Geometry
{
    std::uint16_t width, height;
    const char *refusal; // nullptr: accepted
};

class PreviewerInput : public HostileDriver, public testing::WithParamInterface<Geometry>
{
};

// The sharpness engine's 16 x 12 cells must be 16..256 pixels wide and 2..256 tall.
TEST_P(PreviewerInput, SizesTheSharpnessCellsOrRefuses)
{
    geometry(GetParam().width, GetParam().height);
    ASSERT_TRUE(stream());
    auto refused = drainMessages(Event::Error, Event::InternalError);
    if (GetParam().refusal)
        EXPECT_EQ(refused, std::vector<std::string> { GetParam().refusal });
    else
        EXPECT_TRUE(refused.empty()) << refused.front();
    EXPECT_EQ(kernel.calls[Opsa::Ketto::KIspAfConfig], GetParam().refusal ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PreviewerInput,
    testing::Values(Geometry { 4131, 1968, nullptr }, // cells of 256
        Geometry { 4132, 1968, "AF paxels are too wide. Use a higher resolution sharpness map\n" },
        Geometry { 2592, 6200, "AF paxels are too tall. Use a higher resolution sharpness map\n" },
        Geometry { 259, 480, "AF paxels are too narrow. Use a lower resolution sharpness map\n" },
        Geometry { 260, 28, nullptr }, // cells of 16 x 2
        Geometry { 640, 27, "AF paxels are too short. Use a lower resolution sharpness map\n" },
        Geometry { 0, 0, "AF paxels are too narrow. Use a lower resolution sharpness map\n" }));

} // namespace
