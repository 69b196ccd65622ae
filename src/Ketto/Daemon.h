#pragma once

#include "Ketto/V4L2Sensor.h"
#include "Opsa/Ketto/Frame.h"
#include "Opsa/TSQueue.h"
#include "Opsa/Time.h"

#include <atomic>
#include <mutex>
#include <pthread.h>
#include <semaphore.h>
#include <vector>

namespace Opsa {
class Action;
}

namespace Opsa::Ketto {

class Sensor;

// Per-frame control of a sensor that has none. The image sensor streams without pause and the
// kernel extension reports each frame start (HS_VS); at every frame start the setter thread
// writes the settings of the next request, so that every frame is exposed with the settings of
// exactly one request. The handler thread pairs the buffers the device returns with their
// requests by predicted arrival time, fills them and queues them for the sensor front end;
// the action thread fires the requests' timed actions at their moment in the exposure. A
// request that needs another sensor mode (size, format or statistics settings) makes the
// setter drain the pipeline and restart the device.
//
// The daemon owns every body in its queues. Every failure is an error or warning event with
// the sensor as creator; the daemon carries on.
//
// Thread: the owning sensor constructs, launches and destroys it on the application's thread
// and pushes requests and pops frames from there; the queues are thread-safe. The setter,
// handler and action threads are the daemon's own.
class Daemon
{
public:
    // Starts a thread as pthread_create does; the daemon creates its threads through one.
    using ThreadStarter = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

    // Makes the queues and the device object of "/dev/video0"; no thread runs yet.
    explicit Daemon(Sensor *aSensor);
    // Stops and joins the threads, deletes every request, frame and action still held, and
    // stops and closes the device.
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Attaches the kernel extension and starts the three threads, once; later calls do nothing.
    // The threads ask for real-time first-in-first-out scheduling (action thread at the
    // policy's maximum, setter at its minimum + 1, handler at its minimum); where the system
    // refuses it they run at the normal policy and one warning says so.
    void launch();
    bool running() const { return isRunning.load(); }
    // True when launch() got the setter and handler threads going: only then do queued
    // requests become frames. Thread: the one that launched.
    bool delivering() const { return setterStarted && handlerStarted; }

    // DropNewest (0) or DropOldest (1), and the most frames the frame queue may hold; the
    // limit is enforced at once. Thread: any.
    void setDropPolicy(int aPolicy, unsigned aLimit);

    // Requests from the sensor, oldest first.
    TSQueue<_Frame *> requestQueue;
    // Finished frames for the application, oldest first.
    TSQueue<_Frame *> frameQueue;

    // Tests: the function the daemon starts its threads with (null: pthread_create). Set it
    // before launching a daemon.
    static void setThreadStarter(ThreadStarter aStarter);

private:
    struct TimedAction
    {
        Time fireTime;
        Action *action;
    };

    static void *setterMain(void *aDaemon);
    static void *handlerMain(void *aDaemon);
    static void *actionMain(void *aDaemon);
    bool startThread(pthread_t *aThread, void *(*aMain)(void *), int aPriority, const char *aName);

    // Setter thread.
    void runSetter();
    void tick(Time aTime);
    void completePending(Time aTime);
    void program(_Frame *aRequest);
    void switchMode(_Frame *aRequest);
    bool needsModeSwitch(const Shot &aShot) const;
    _Frame *makeBubble() const;
    int modeReadoutDelay() const;

    // Handler thread.
    void runHandler();
    void fillImage(_Frame *aRequest, V4L2Sensor::Buffer *aBuffer);
    void readStatistics(_Frame *aRequest);
    void deliver(_Frame *aRequest);
    // Drops frames by the policy until the queue, with aIncoming (may be null) queued, holds
    // no more than the limit.
    void enforceFrameLimit(_Frame *aIncoming);

    // Action thread.
    void runActions();

    Sensor *sensor;
    V4L2Sensor *device;

    std::atomic<bool> stop { false };
    std::atomic<unsigned> frameLimit { 128 };
    std::atomic<int> dropPolicy { 0 };
    std::mutex limitMutex; // one enforcement of the frame limit at a time

    TSQueue<_Frame *> inFlight; // requests whose settings are in the sensor, in frame order
    std::mutex cameraMutex; // held by the handler while it uses the device; see switchMode()
    std::atomic<bool> flushPending { true };

    std::vector<TimedAction> actionHeap; // earliest fire time on top
    std::mutex actionMutex;
    sem_t actionSemaphore;

    pthread_t setterThread {}, handlerThread {}, actionThread {};
    bool setterStarted = false, handlerStarted = false, actionStarted = false;
    std::atomic<bool> isRunning { false };
    bool realTimeRefused = false; // the warning has been posted
    int extensionFd = -1;

    // Setter state. current.image: the size and format the device delivers (0 x 0 before the
    // first start); current.shot(): the settings in force; current's exposure, frame time and
    // gain: the values last read back, its white balance the one last applied.
    _Frame current;
    _Frame *pending = nullptr; // exposure and frame time written at the previous frame start
    bool ignoreNext = false;
    int readoutDelay = 33000;
};

} // namespace Opsa::Ketto
