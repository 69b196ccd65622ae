#pragma once

// A minimal user of the phone's camera through the kernel seam: the Video4Linux2 calls, the
// statistics requests and the kernel extension, with no policy of its own. The simulator's
// tests and its demonstration program drive the simulated camera with it; the backend has its
// own, fuller client.
// Thread: one thread at a time, except waitFrameStart(), which may run on a second thread.

#include "Ketto/Kernel.h"
#include "Ketto/Requests.h"
#include "Opsa/Time.h"

#include <cstdint>
#include <vector>

namespace Opsa::Sim {

class CameraClient
{
public:
    explicit CameraClient(Opsa::Ketto::Kernel &aKernel);
    ~CameraClient(); // stops, unmaps and closes
    CameraClient(const CameraClient &) = delete;
    CameraClient &operator=(const CameraClient &) = delete;

    // Each call returns 0, or -1 with errno as the device set it.
    int open(bool aNonBlocking = true);
    // Sets the format, asks for 8 buffers, maps and queues them, configures the histogram
    // over the whole picture and the 16 x 12 sharpness grid (when asked), and starts.
    int start(int aWidth, int aHeight, std::uint32_t aPixelFormat, bool aStatistics = true);
    int stop();
    // Attaches the kernel extension on a second descriptor.
    int install();
    int waitFrameStart(Opsa::Time &aStart);

    int setControl(std::uint32_t aId, std::int32_t aValue);
    int control(std::uint32_t aId, std::int32_t &aValue);

    struct Frame
    {
        std::uint32_t index = 0, sequence = 0, bytes = 0;
        Opsa::Time timestamp;
        const std::uint8_t *data = nullptr;
    };
    // Polls (when aBlock) and dequeues one frame.
    int dequeue(Frame &aFrame, bool aBlock = true);
    int requeue(const Frame &aFrame);
    // Dequeues and requeues until the frame with this sequence number; -1 with ENOENT when a
    // later one comes first.
    int frameWithSequence(std::uint32_t aSequence, std::vector<std::uint8_t> &aPixels);

    struct Stats
    {
        std::uint16_t frameNumber = 0, currentFrame = 0;
        Opsa::Time stamp;
        std::uint32_t banks[Opsa::Ketto::KHistogramBanks * Opsa::Ketto::KHistogramBuckets] = {};
        std::vector<std::uint8_t> cells; // sharpness records
        std::uint32_t lensPosition = 0;
    };
    int histogram(std::uint16_t aFrameNumber, Stats &aStats);
    int sharpness(std::uint16_t aFrameNumber, Stats &aStats);

    int fd() const { return video; }
    int extensionFd() const { return extension; }
    int width() const { return w; }
    int height() const { return h; }
    // The previewer input's size, from the pipeline geometry.
    int inputWidth() const { return inW; }
    int inputHeight() const { return inH; }

private:
    Opsa::Ketto::Kernel &kernel;
    int video = -1, extension = -1;
    int w = 0, h = 0, inW = 0, inH = 0;
    bool streaming = false;
    struct Mapping
    {
        void *address;
        std::size_t length;
    };
    std::vector<Mapping> maps;
};

} // namespace Opsa::Sim
