#include "Opsa/Ketto/Sensor.h"

#include "Ketto/ButtonListener.h"
#include "Ketto/Daemon.h"
#include "Opsa/Debug.h"
#include "Opsa/Ketto/Platform.h"

#include <chrono>
#include <unistd.h>

namespace Opsa::Ketto {

namespace {

    // Four of the sensor's longest frames (2.49 s), each with its readout and processing: no
    // frame in flight is that far behind the one before it.
    constexpr int KStopStallMs = 10000;

} // namespace

Sensor::Sensor()
{
    // The buttons and the camera are taken from the stock camera application before anything
    // is opened.
    ButtonListener::instance();
}

Sensor::~Sensor()
{
    stop();
}

_Frame *Sensor::makeBody(const Shot &aShot)
{
    auto *body = new _Frame;
    // Assignment draws a new id; the application matches frames by the id it gave.
    body->shot() = aShot;
    body->shot().id = aShot.id;
    return body;
}

void Sensor::queue(const std::vector<_Frame *> &aBodies)
{
    std::lock_guard<std::mutex> guard(mutex);
    for (_Frame *body : aBodies) {
        ++pendingShots;
        daemon->requestQueue.push(body);
    }
}

void Sensor::capture(const Shot &aShot)
{
    start();
    queue({ makeBody(aShot) });
    daemon->launch();
}

void Sensor::capture(const std::vector<Shot> &aBurst)
{
    start();
    // Every body is made before the mutex is taken, so that the burst enters the queue as one
    // run that the setter's refill cannot split.
    std::vector<_Frame *> bodies;
    bodies.reserve(aBurst.size());
    for (const Shot &shot : aBurst)
        bodies.push_back(makeBody(shot));
    queue(bodies);
    daemon->launch();
}

void Sensor::stream(const Shot &aShot)
{
    stream(std::vector<Shot> { aShot });
}

void Sensor::stream(const std::vector<Shot> &aBurst)
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        // Copying a shot draws a new id: the copies take their sources' back.
        streamingShots = aBurst;
        for (size_t i = 0; i < aBurst.size(); ++i)
            streamingShots[i].id = aBurst[i].id;
    }
    start();
    if (daemon->requestQueue.empty())
        capture(aBurst);
}

bool Sensor::streaming()
{
    std::lock_guard<std::mutex> guard(mutex);
    return !streamingShots.empty();
}

void Sensor::stopStreaming()
{
    std::lock_guard<std::mutex> guard(mutex);
    streamingShots.clear();
}

void Sensor::start()
{
    if (!daemon) {
        daemon = new Daemon(this);
        if (dropPolicyChosen)
            daemon->setDropPolicy(dropPolicy, frameLimit);
    }
    if (streaming())
        daemon->launch();
}

void Sensor::refill(TSQueue<_Frame *> &aRequests)
{
    std::lock_guard<std::mutex> guard(mutex);
    for (const Shot &shot : streamingShots) {
        ++pendingShots;
        aRequests.push(makeBody(shot));
    }
}

void Sensor::frameDropped()
{
    std::lock_guard<std::mutex> guard(mutex);
    --pendingShots;
}

void Sensor::stop()
{
    OPSA_TRACE(3, "Entering Sensor::stop\n");
    stopStreaming();
    if (!daemon)
        return;

    OPSA_TRACE(3, "Cancelling outstanding requests\n");
    {
        std::lock_guard<std::mutex> guard(mutex);
        _Frame *body = nullptr;
        while (daemon->requestQueue.tryPopBack(body)) {
            delete body;
            --pendingShots;
        }
    }

    OPSA_TRACE(3, "Discarding remaining frames\n");
    // A daemon that could not start (the camera held by another program, the extension
    // missing) will never deliver: its queues go with it.
    if (!daemon->delivering()) {
        delete daemon;
        daemon = nullptr;
        std::lock_guard<std::mutex> guard(mutex);
        pendingShots = 0;
        return;
    }
    // Requests already in the sensor finish and are thrown away. The frame limit may take a
    // frame from under a waiting reader and count it itself, so the count is looked at again
    // between short waits rather than after a blocking one. A device that stops delivering
    // altogether (unplugged, its driver stuck) must not hold the caller for ever: once no
    // frame has come for far longer than the longest frame and its readout, the rest are
    // given up.
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastProgress = Clock::now();
    int lastPending = -1;
    for (;;) {
        int pending;
        {
            std::lock_guard<std::mutex> guard(mutex);
            pending = pendingShots;
        }
        if (pending <= 0)
            break;
        if (pending != lastPending) {
            lastPending = pending;
            lastProgress = Clock::now();
        } else if (Clock::now() - lastProgress > std::chrono::milliseconds(KStopStallMs)) {
            error(Event::FrameDataMissing,
                "The camera delivered no frame for %d ms while stopping; %d frames were lost",
                KStopStallMs, pending);
            std::lock_guard<std::mutex> guard(mutex);
            pendingShots = 0;
            break;
        }
        _Frame *body = nullptr;
        if (daemon->frameQueue.tryPop(body)) {
            delete body;
            std::lock_guard<std::mutex> guard(mutex);
            --pendingShots;
        } else {
            usleep(2000);
        }
    }

    OPSA_TRACE(3, "Deleting daemon\n");
    delete daemon;
    daemon = nullptr;
    OPSA_TRACE(3, "Sensor stopped\n");
}

int Sensor::framesPending()
{
    return daemon ? static_cast<int>(daemon->frameQueue.size()) : 0;
}

int Sensor::shotsPending()
{
    std::lock_guard<std::mutex> guard(mutex);
    return pendingShots;
}

int Sensor::framePeriod(const Shot &aShot)
{
    return aShot.image.height() <= 960 ? 33000 : 77000;
}

const Opsa::Platform &Sensor::platform()
{
    return Platform::instance();
}

Opsa::Frame Sensor::getFrame()
{
    if (!daemon) {
        error(
            Event::NoCaptureRequested, "Can't request a frame before calling capture or stream\n");
        return Opsa::Frame();
    }
    // Nothing will come from a daemon that could not start; its failure is already reported.
    if (!daemon->delivering())
        return Opsa::Frame();
    Frame frame(daemon->frameQueue.pop());
    for (Device *device : tagDevices)
        device->tagFrame(frame);
    {
        std::lock_guard<std::mutex> guard(mutex);
        --pendingShots;
    }
    return frame;
}

void Sensor::applyDropPolicy()
{
    dropPolicyChosen = true;
    if (daemon)
        daemon->setDropPolicy(dropPolicy, frameLimit);
}

} // namespace Opsa::Ketto
