#include "Ketto/V4L2Sensor.h"

#include "Ketto/Requests.h"
#include "Opsa/Image.h"
#include "SimCamera.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using Opsa::Event;
using Opsa::Ketto::V4L2Sensor;
using opsatest::drainMessages;

namespace {

using VideoDevice = kettotest::SimCamera;

Opsa::HistogramConfig histogramOf(int aX, int aY, int aWidth, int aHeight)
{
    Opsa::HistogramConfig config;
    config.region = { aX, aY, aWidth, aHeight };
    config.enabled = true;
    return config;
}

Opsa::SharpnessMapConfig sharpnessOn()
{
    Opsa::SharpnessMapConfig config;
    config.size = { 16, 12 };
    config.enabled = true;
    return config;
}

template <typename T> std::vector<std::uint8_t> bytesOf(const T &aRecord)
{
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&aRecord);
    return std::vector<std::uint8_t>(bytes, bytes + sizeof aRecord);
}

void putWord(std::vector<std::uint8_t> &aBytes, std::size_t aAt, std::uint32_t aWord)
{
    for (int i = 0; i < 4; ++i)
        aBytes[aAt + std::size_t(i)] = std::uint8_t(aWord >> (8 * i));
}

TEST_F(VideoDevice, ConfiguresTheStatisticsEnginesForAFullSizeStream)
{
    device->open();
    ASSERT_EQ(device->state(), V4L2Sensor::Idle);
    // A region running past the right edge is cut to end there.
    ASSERT_TRUE(device->startStreaming(
        2592, 1968, Opsa::UYVY, histogramOf(2000, 100, 5000, 984), sharpnessOn()));
    EXPECT_EQ(device->state(), V4L2Sensor::Streaming);
    EXPECT_EQ(device->width(), 2592);
    EXPECT_EQ(device->height(), 1968);
    EXPECT_EQ(device->format(), Opsa::UYVY);

    Opsa::Sim::IspState isp = sim().isp();
    ASSERT_EQ(isp.histogramConfigs, 1);
    std::vector<std::uint8_t> hist(52, 0);
    hist[0] = 1;
    hist[2] = 10;
    hist[3] = 1;
    hist[10] = 1;
    hist[13] = hist[14] = hist[15] = hist[16] = 35;
    hist[17] = 1;
    putWord(hist, 20, (2000u << 16) | 592u);
    putWord(hist, 36, (100u << 16) | 984u);
    EXPECT_EQ(bytesOf(isp.histogram), hist);

    // 2592 x 1968 at the previewer's input: cells of 160 x 162 pixels.
    ASSERT_EQ(isp.afConfigs, 1);
    const std::uint32_t af[36] = { 0, 1, 10, 1, 0, 32, 0, 0, 16, 4064, 16, 0, 0, 32, 0, 0, 32, 0, 0,
        16, 4064, 16, 0, 0, 32, 0, 0, 79, 80, 16, 12, 15, 11, 0, 0, 1 };
    EXPECT_EQ(std::vector<std::uint32_t>(isp.af.words, isp.af.words + 36),
        std::vector<std::uint32_t>(af, af + 36));
    EXPECT_TRUE(drainMessages(Event::Error, Event::DriverError).empty());

    device->stopStreaming();
    EXPECT_EQ(device->state(), V4L2Sensor::Idle);
    device->close();
    EXPECT_EQ(device->state(), V4L2Sensor::Closed);
}

TEST_F(VideoDevice, RefusesAnUnknownFormatAndStaysIdle)
{
    device->open();
    EXPECT_FALSE(device->startStreaming(640, 480, 0, histogramOf(0, 0, 640, 480), sharpnessOn()));
    EXPECT_EQ(drainMessages(Event::Error, Event::InternalError),
        std::vector<std::string> { "V4L2Sensor: Unknown image format requested" });
    EXPECT_EQ(device->state(), V4L2Sensor::Idle);
    EXPECT_EQ(sim().isp().histogramConfigs, 0);
    // Nothing half-done is left behind: a good request streams.
    EXPECT_TRUE(device->startStreaming(
        640, 480, Opsa::RAW, Opsa::HistogramConfig(), Opsa::SharpnessMapConfig()));
    EXPECT_EQ(device->format(), Opsa::RAW);
    EXPECT_FALSE(device->startStreaming(
        640, 480, Opsa::RAW, Opsa::HistogramConfig(), Opsa::SharpnessMapConfig()));
    EXPECT_EQ(drainMessages(Event::Error, Event::InternalError),
        std::vector<std::string> { "V4L2Sensor: Can only initiate streaming if sensor is idle" });
    EXPECT_EQ(device->state(), V4L2Sensor::Streaming);
}

TEST_F(VideoDevice, WritesGainInThirtySecondsAndReadsControlsBack)
{
    // Closed: nothing is sent, reads are -1.
    device->setExposure(1000);
    EXPECT_EQ(device->getExposure(), -1);
    EXPECT_TRUE(sim().controlWrites().empty());

    device->open();
    device->setGain(1.52f); // 48.64 rounds to 49
    device->setExposure(20000);
    device->setFrameTime(40000);
    EXPECT_EQ(sim().control(Opsa::Ketto::KControlGain), 49);
    EXPECT_FLOAT_EQ(device->getGain(), 49 / 32.0f);
    device->setGain(2.0f);
    EXPECT_EQ(sim().control(Opsa::Ketto::KControlGain), 64);
    EXPECT_EQ(device->getExposure(), sim().control(Opsa::Ketto::KControlExposure));
    EXPECT_EQ(device->getFrameTime(), sim().control(Opsa::Ketto::KControlFrameTime));
    EXPECT_TRUE(drainMessages(Event::Error, Event::DriverError).empty());
}

// Columns beyond the coefficients' range of 8 are halved into it and their channel's gain
// doubled; each coefficient is sent as its integer part in units of 1/256.
TEST_F(VideoDevice, ProgramsTheColourMatrixWithColumnsHalvedIntoRange)
{
    device->open();
    const float matrix[12] = { 40.0f, 0.5f, 9.5f, -42.9f, //
        1.0f, 1.25f, -0.3f, 3.7f, //
        -0.3f, -2.0f, 2.0f, -0.2f };
    device->setColorMatrix(matrix);
    Opsa::Sim::IspState isp = sim().isp();
    ASSERT_EQ(isp.previewConfigs, 1);
    EXPECT_EQ(isp.whiteBalance.digitalGain, 256);
    // Column 0 would need three halvings; its 8-bit gain stops at 128 rather than wrapping to 0.
    const std::uint8_t gains[4] = { 128, 32, 32, 64 };
    EXPECT_EQ(std::vector<std::uint8_t>(isp.whiteBalance.gain, isp.whiteBalance.gain + 4),
        std::vector<std::uint8_t>(gains, gains + 4));
    const std::int16_t blend[3][3] = { { 2560, 128, 1216 }, { 64, 320, -38 }, { -19, -512, 256 } };
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            EXPECT_EQ(isp.blending.matrix[row][col], blend[row][col]) << row << "," << col;
    EXPECT_EQ(isp.blending.offset[0], -42);
    EXPECT_EQ(isp.blending.offset[1], 3);
    EXPECT_EQ(isp.blending.offset[2], 0);
}

struct Failure
{
    const char *name;
    unsigned long request;
    int error;
    int code; // event code expected
    std::string message; // "" : none expected
};

class FailingRequest : public kettotest::SimCamera, public testing::WithParamInterface<Failure>
{
};

// Every failure the driver can answer is one event naming the request and the system's error
// text, and the device is left in a usable state.
TEST_P(FailingRequest, PostsTheDriverErrorAndRecovers)
{
    const Failure &failure = GetParam();
    if (failure.request == 0)
        sim().failOpen("/dev/video0", failure.error);
    else
        sim().failRequest(failure.request, failure.error);
    device->open();
    device->setExposure(10000);
    device->getExposure();
    bool streaming
        = device->startStreaming(640, 480, Opsa::UYVY, histogramOf(0, 0, 640, 480), sharpnessOn());
    if (streaming) {
        V4L2Sensor::Buffer *buffer = device->acquire(true);
        if (buffer) {
            Opsa::Sim::FrameRecord record;
            for (const auto &r : sim().frames())
                if (r.arrival == buffer->timestamp)
                    record = r;
            device->histogram(record.exposureEnd, histogramOf(0, 0, 640, 480));
            device->sharpness(record.exposureEnd, sharpnessOn());
            device->release(buffer);
        }
        device->stopStreaming();
    }
    auto all = opsatest::drainEvents();
    std::vector<std::string> posted;
    for (const auto &event : all)
        if (event.type == Event::Error && event.data == Event::DriverError)
            posted.push_back(event.description);
    if (failure.message.empty())
        EXPECT_TRUE(posted.empty()) << posted.front();
    else {
        ASSERT_EQ(posted.size(), 1u) << (posted.empty() ? "" : posted.front());
        EXPECT_EQ(posted[0], failure.message);
        EXPECT_EQ(all.front().data, failure.code);
    }
    // Whatever failed, the device streams again once reopened (as every mode switch does: the
    // driver keeps its buffers until then).
    sim().clearFaults();
    device->close();
    device->open();
    EXPECT_TRUE(
        device->startStreaming(640, 480, Opsa::UYVY, histogramOf(0, 0, 640, 480), sharpnessOn()));
    for (const auto &event : opsatest::drainEvents())
        ADD_FAILURE() << event.description;
}

const Failure failures[] = {
    { "Open", 0, EBUSY, Event::DriverError,
        "V4L2Sensor: Error opening /dev/video0: Device or resource busy" },
    { "SetControl", VIDIOC_S_CTRL, EINVAL, Event::DriverError, "VIDIOC_S_CTRL: Invalid argument" },
    { "GetControl", VIDIOC_G_CTRL, EIO, Event::DriverError, "VIDIOC_G_CTRL: Input/output error" },
    { "Buffers", VIDIOC_REQBUFS, ENOMEM, Event::DriverError,
        "VIDIOC_REQBUFS: Cannot allocate memory" },
    { "StreamOn", VIDIOC_STREAMON, EIO, Event::DriverError, "VIDIOC_STREAMON: Input/output error" },
    { "HistogramConfig", Opsa::Ketto::KIspHistogramConfig, EINVAL, Event::DriverError,
        "VIDIOC_PRIVATE_ISP_HIST_CFG: Invalid argument" },
    { "Dequeue", VIDIOC_DQBUF, EIO, Event::DriverError, "VIDIOC_DQBUF: Input/output error" },
    { "HistogramBusy", Opsa::Ketto::KIspHistogramRequest, EBUSY, 0, "" },
    { "AfFetch", Opsa::Ketto::KIspAfRequest, EIO, Event::DriverError,
        "VIDIOC_PRIVATE_ISP_AF_REQ: Input/output error" },
};

INSTANTIATE_TEST_SUITE_P(Requests, FailingRequest, testing::ValuesIn(failures),
    [](const testing::TestParamInfo<Failure> &aInfo) { return std::string(aInfo.param.name); });

// The ground truth of the frame a buffer holds.
Opsa::Sim::FrameRecord recordOf(Opsa::Sim::SimKernel &aSim, const V4L2Sensor::Buffer &aBuffer)
{
    for (const Opsa::Sim::FrameRecord &record : aSim.frames())
        if (!record.dropped && record.arrival == aBuffer.timestamp)
            return record;
    ADD_FAILURE() << "no frame arrived at the buffer's time";
    return {};
}

// Statistics belong to the frame whose exposure ended within 4 ms of their stamp. Stamped
// later (the driver's clock ahead) they are still the frame's; earlier, the frame's own are
// missing: the histogram is then left out, the sharpness map used with a warning.
TEST_F(VideoDevice, PicksStatisticsByTheFramesExposureEnd)
{
    sim().shiftStatistics(3, 3000);
    sim().shiftStatistics(4, -5000);
    device->open();
    auto region = histogramOf(0, 0, 640, 480);
    ASSERT_TRUE(device->startStreaming(640, 480, Opsa::UYVY, region, sharpnessOn()));
    // A descriptor of its own to ask the driver for one frame's statistics directly.
    int own = Opsa::Ketto::kernel().open("/dev/video0", O_RDWR);
    ASSERT_GE(own, 0);
    bool sawLast = false;
    for (int n = 0; n < 20 && !sawLast; ++n) {
        V4L2Sensor::Buffer *buffer = device->acquire(true);
        ASSERT_NE(buffer, nullptr);
        Opsa::Sim::FrameRecord record = recordOf(sim(), *buffer);
        device->release(buffer);
        if (record.sequence < 2)
            continue;
        Opsa::Histogram histogram = device->histogram(record.exposureEnd, region);
        Opsa::SharpnessMap map = device->sharpness(record.exposureEnd, sharpnessOn());
        auto warnings = drainMessages(Event::Warning, Event::DriverError);
        if (record.sequence == 4) {
            EXPECT_FALSE(histogram.valid());
            EXPECT_TRUE(map.valid());
            EXPECT_EQ(warnings,
                (std::vector<std::string> {
                    "Missing histogram (5000)\n", "Missing sharpness (5000)\n" }));
            sawLast = true;
            continue;
        }
        EXPECT_TRUE(warnings.empty()) << record.sequence;
        ASSERT_TRUE(histogram.valid()) << record.sequence;
        ASSERT_TRUE(map.valid()) << record.sequence;
        EXPECT_EQ(histogram.region, region.region);

        // The same frame's banks and cells as the driver gives them: red is bank 1, green
        // bank 0, blue bank 2; a cell's channel c is the word at byte 4 + 16 c of its record.
        std::uint32_t banks[4 * 64] = {};
        Opsa::Ketto::HistogramRequest hist {};
        hist.statistics = banks;
        hist.size = sizeof banks;
        hist.frameNumber = std::uint16_t(record.sequence % 4096);
        ASSERT_EQ(Opsa::Ketto::kernel().ioctl(own, Opsa::Ketto::KIspHistogramRequest, &hist), 0);
        std::uint64_t total = 0;
        for (int b = 0; b < 64; ++b) {
            EXPECT_EQ(histogram(b, 0), banks[64 + b]) << b;
            EXPECT_EQ(histogram(b, 1), banks[b]) << b;
            EXPECT_EQ(histogram(b, 2), banks[128 + b]) << b;
            total += histogram(b, 0);
        }
        EXPECT_GT(total, 0u);
        std::vector<std::uint8_t> cells(Opsa::Ketto::KAfStatisticsBytes);
        Opsa::Ketto::AfRequest af {};
        af.statistics = cells.data();
        af.size = std::uint32_t(cells.size());
        af.frameNumber = hist.frameNumber;
        ASSERT_EQ(Opsa::Ketto::kernel().ioctl(own, Opsa::Ketto::KIspAfRequest, &af), 0);
        ASSERT_EQ(map.width, 16);
        ASSERT_EQ(map.height, 12);
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 16; ++x)
                for (int c = 0; c < 3; ++c) {
                    std::uint32_t word;
                    std::memcpy(&word, &cells[std::size_t((y * 16 + x) * 48 + 4 + 16 * c)], 4);
                    EXPECT_EQ(map(x, y, c), word) << x << "," << y << "," << c;
                }
    }
    EXPECT_TRUE(sawLast);
    Opsa::Ketto::kernel().close(own);
}

TEST_F(VideoDevice, AcquiresOnlyWhileStreaming)
{
    device->open();
    EXPECT_EQ(device->acquire(true), nullptr);
    EXPECT_EQ(drainMessages(Event::Error, Event::InternalError),
        std::vector<std::string> { "V4L2Sensor: Can't acquire a frame when not streaming" });
    ASSERT_TRUE(device->startStreaming(
        640, 480, Opsa::UYVY, Opsa::HistogramConfig(), Opsa::SharpnessMapConfig()));
    V4L2Sensor::Buffer *buffer = device->acquire(true);
    ASSERT_NE(buffer, nullptr);
    EXPECT_GE(buffer->length, 640u * 480u * 2u);
    const Opsa::Time last = buffer->timestamp;
    device->release(buffer);
    // No statistics when the engines are off.
    EXPECT_FALSE(device->histogram(last, histogramOf(0, 0, 640, 480)).valid());
    EXPECT_FALSE(device->sharpness(last, sharpnessOn()).valid());
}

} // namespace
