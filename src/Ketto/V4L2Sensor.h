#pragma once

#include "Opsa/Event.h"
#include "Opsa/Histogram.h"
#include "Opsa/SharpnessMap.h"
#include "Opsa/Time.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace Opsa::Ketto {

// The phone's camera node ("/dev/video0"): sensor controls, memory-mapped streaming, the
// previewer's colour matrix and the image signal processor's two statistics engines (the
// histogram generator and the sharpness cells). Every call goes through the kernel seam, and
// everything the driver answers is checked before it is used.
//
// Failures post error or warning events (codes of Opsa::Event) with the event creator as
// creator (none until one is set) and leave a neutral result (-1, null, an empty histogram).
//
// Thread: one object per path, shared by the capture daemon and the lens. The daemon's setter
// and handler take turns on streaming, buffers and statistics (its camera mutex orders them);
// controls may be read and written from any thread while the device is open.
class V4L2Sensor
{
public:
    enum State { Closed = 0, Idle = 1, Streaming = 2 };

    // A filled buffer handed to the capture daemon: the driver's timestamp (the time of day the
    // frame ended), the mapped memory and its length in bytes, the driver's buffer index.
    struct Buffer
    {
        Time timestamp;
        unsigned char *data = nullptr;
        std::uint32_t length = 0;
        std::uint32_t index = 0;
    };

    // The one object for a device path (phone spelling), made closed on first use. Objects
    // live for the rest of the process.
    // Thread: any.
    static V4L2Sensor *instance(const std::string &aPath);
    // Stops and closes every device opened through instance(): for test fixtures that switch
    // the phone, and for shut-down.
    static void closeAll();

    V4L2Sensor(const V4L2Sensor &) = delete;
    V4L2Sensor &operator=(const V4L2Sensor &) = delete;

    // Events from now on name aCreator (the sensor that owns the daemon) as their creator.
    void setEventCreator(EventGenerator *aCreator) { creator.store(aCreator); }

    // Opens the device read-write and non-blocking when closed; error DriverError on failure.
    void open();
    // Stops streaming (unmapping every buffer) and closes the device when it is not closed.
    void close();
    int state() const { return devState.load(); }
    const std::string &path() const { return devPath; }

    // Sensor controls, only while open; reads return -1 (gain -1.0) when closed or on failure.
    // Exposure and frame time are microseconds; the gain is sent as gain x 32, rounded.
    int getExposure();
    void setExposure(int aMicroseconds);
    int getFrameTime();
    void setFrameTime(int aMicroseconds);
    float getGain();
    void setGain(float aGain);
    int getControl(std::uint32_t aId);
    void setControl(std::uint32_t aId, int aValue);
    // The same without events, for callers that report failures in their own words: true on
    // success; false with errno set (ENODEV while closed).
    bool readControl(std::uint32_t aId, int *aValue);
    bool writeControl(std::uint32_t aId, int aValue);

    // Starts streaming aWidth x aHeight in aFormat (UYVY or RAW) with 8 mapped buffers and
    // configures the statistics engines the requests enable. Only from Idle. Returns whether
    // the device now streams; on failure it stays Idle with nothing mapped.
    bool startStreaming(int aWidth, int aHeight, int aFormat,
        const Opsa::HistogramConfig &aHistogram, const SharpnessMapConfig &aSharpness);
    // Stops streaming and unmaps the buffers; the device is Idle again.
    void stopStreaming();
    // The size and format the driver granted at the last stream start.
    int width() const { return streamWidth; }
    int height() const { return streamHeight; }
    int format() const { return streamFormat; }

    // The next filled buffer, waiting for one when aBlocking; null when none is ready (without
    // an event when not blocking) or on failure. The buffer stays the caller's until release().
    Buffer *acquire(bool aBlocking = true);
    // Waits up to aTimeoutMs for a filled buffer: false when none came in time, true when one
    // is ready or the wait failed (acquire() then reports why).
    bool frameReady(int aTimeoutMs);
    // Gives a buffer back to the driver.
    void release(Buffer *aBuffer);

    // Programs the previewer's colour matrix (3 x 4 floats, row-major, offsets last), only
    // while open.
    void setColorMatrix(const float *aMatrix);

    // The histogram and sharpness map of the frame whose exposure ended at aTime, or an invalid
    // one when the engine is off or the statistics of that frame are not there.
    Histogram histogram(Time aTime, const Opsa::HistogramConfig &aRequest);
    SharpnessMap sharpness(Time aTime, const SharpnessMapConfig &aRequest);

private:
    explicit V4L2Sensor(const std::string &aPath);

    [[gnu::format(printf, 4, 5)]] void report(int aType, int aCode, const char *aFormat, ...);
    void unmapBuffers();
    void configureHistogram(const Opsa::HistogramConfig &aRequest);
    void configureSharpness(const SharpnessMapConfig &aRequest);
    bool pipelineSize(unsigned *aWidth, unsigned *aHeight);

    std::string devPath;
    std::atomic<int> devState { Closed };
    std::atomic<int> fd { -1 };
    std::atomic<EventGenerator *> creator { nullptr };

    int streamWidth = 0;
    int streamHeight = 0;
    int streamFormat = 0;

    // The last statistics requests the engines accepted.
    SharpnessMapConfig sharpnessSettings;
    Opsa::HistogramConfig histogramSettings;

    std::vector<Buffer> buffers;
};

} // namespace Opsa::Ketto
