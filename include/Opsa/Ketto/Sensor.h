#pragma once

#include "Opsa/Ketto/Frame.h"
#include "Opsa/Sensor.h"
#include "Opsa/TSQueue.h"

#include <mutex>
#include <vector>

namespace Opsa::Ketto {

class Daemon;

// The phone's camera as the application sees it: shots go in (once, or repeated while
// streaming), frames come back in request order. Each shot becomes a frame body queued for the
// capture daemon, which is made on the first capture or stream and ended by stop(). The id of
// a returned frame's shot is the id of the shot the application passed.
//
// Failures are error events with the sensor as creator (the daemon's and the device's too).
//
// Thread: the application calls everything from one thread. The daemon's setter calls
// refill() and its handler frameDropped(); the sensor's mutex guards what they share and is
// always taken before a queue's lock.
class Sensor : public Opsa::Sensor
{
public:
    // Starts the button listener if it is not running yet (it takes the camera from the stock
    // camera application); nothing else is opened until the first capture or stream.
    Sensor();
    // Stops (see stop()).
    ~Sensor() override;
    Sensor(const Sensor &) = delete;
    Sensor &operator=(const Sensor &) = delete;

    // Queues the shot, or the burst as one uninterrupted run, and starts the daemon.
    void capture(const Shot &aShot) override;
    void capture(const std::vector<Shot> &aBurst) override;
    // Repeats the shot, or the burst, whenever the daemon runs out of requests.
    void stream(const Shot &aShot) override;
    void stream(const std::vector<Shot> &aBurst) override;
    bool streaming() override;
    void stopStreaming() override;
    // Makes the daemon when there is none; launches it when streaming.
    void start() override;
    // Stops streaming, cancels the queued requests, waits for and discards every frame already
    // in the sensor, and ends the daemon. Returns with no shot pending.
    void stop() override;
    // Finished frames waiting in the daemon's frame queue.
    int framesPending() override;
    // Frames requested and not yet returned, dropped or discarded.
    int shotsPending() override;

    int maxExposure() override { return 2489140; }
    int minExposure() override { return 38; }
    int maxFrameTime() override { return 2490072; }
    int minFrameTime() override { return 33414; }
    float maxGain() override { return 32.0f; }
    Size minImageSize() override { return Size { 160, 120 }; }
    // 33 000 us up to 960 rows, 77 000 us above.
    int framePeriod(const Shot &aShot) override;
    const Opsa::Platform &platform() override;

    // The next finished frame, waiting for it (the body is an Opsa::Ketto::_Frame). Before any
    // capture or stream: error NoCaptureRequested and an invalid frame, at once.
    Opsa::Frame getFrame() override;
    // Hands the drop policy and frame limit to the daemon, which enforces them at once; a
    // daemon made later receives them too.
    void applyDropPolicy() override;

private:
    friend class Daemon;

    // Thread: daemon setter. Queues the streaming shots again.
    void refill(TSQueue<_Frame *> &aRequests);
    // Thread: daemon handler (frame limit). One requested frame is gone.
    void frameDropped();

    static _Frame *makeBody(const Shot &aShot);
    void queue(const std::vector<_Frame *> &aBodies);

    std::vector<Shot> streamingShots;
    Daemon *daemon = nullptr;
    std::mutex mutex;
    int pendingShots = 0;
    bool dropPolicyChosen = false;
};

} // namespace Opsa::Ketto
