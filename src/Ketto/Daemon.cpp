#include "Ketto/Daemon.h"

#include "Ketto/Kernel.h"
#include "Ketto/Requests.h"
#include "Opsa/Action.h"
#include "Opsa/Debug.h"
#include "Opsa/Ketto/Platform.h"
#include "Opsa/Ketto/Sensor.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace Opsa::Ketto {

namespace {

    std::atomic<Daemon::ThreadStarter> threadStarter { nullptr };

    // Later fire times sink: the heap keeps the earliest on top.
    struct LaterFirst
    {
        template <typename T> bool operator()(const T &aLeft, const T &aRight) const
        {
            return aLeft.fireTime > aRight.fireTime;
        }
    };

    // Sleeps in slices so that a stopping daemon is not held up by a long wait.
    void sleepMicroseconds(int aMicroseconds)
    {
        if (aMicroseconds > 0)
            usleep(static_cast<useconds_t>(aMicroseconds));
    }

} // namespace

void Daemon::setThreadStarter(ThreadStarter aStarter)
{
    threadStarter.store(aStarter);
}

Daemon::Daemon(Sensor *aSensor)
    : sensor(aSensor)
    , device(V4L2Sensor::instance("/dev/video0"))
{
    device->setEventCreator(aSensor);
    if (sem_init(&actionSemaphore, 0, 0) == -1)
        sensor->error(Event::InternalError, "Error creating mutexes: %d", errno);
    current.image = Image(0, 0, UNKNOWN, Image::DiscardData);
}

Daemon::~Daemon()
{
    stop.store(true);
    sem_post(&actionSemaphore);
    // Every thread that was created is joined, whatever it did since: a thread left unjoined
    // would outlive the object it works on.
    if (setterStarted)
        pthread_join(setterThread, nullptr);
    if (handlerStarted)
        pthread_join(handlerThread, nullptr);
    if (actionStarted)
        pthread_join(actionThread, nullptr);
    if (extensionFd >= 0) {
        // Only when the setter never ran: it releases the extension itself.
        kernel().close(extensionFd);
        extensionFd = -1;
    }

    _Frame *body = nullptr;
    while (inFlight.tryPop(body))
        delete body;
    delete pending;
    pending = nullptr;
    while (requestQueue.tryPop(body))
        delete body;
    while (frameQueue.tryPop(body))
        delete body;
    for (TimedAction &timed : actionHeap)
        delete timed.action;
    actionHeap.clear();
    sem_destroy(&actionSemaphore);

    device->stopStreaming();
    device->close();
    OPSA_TRACE(3, "Daemon destroyed\n");
}

void Daemon::launch()
{
    if (isRunning.exchange(true))
        return;

    extensionFd = kernel().open("/dev/video0", O_RDWR);
    if (extensionFd < 0) {
        sensor->error(Event::InternalError, "Error opening /dev/video0: %d", errno);
        return;
    }
    if (kernel().ioctl(extensionFd, KOpsaInstall, nullptr) < 0) {
        int err = errno;
        if (err == EBUSY)
            sensor->error(Event::CameraInUse, "An Opsa program is already running");
        else
            sensor->error(Event::DriverMissing,
                "Error %d calling VIDIOC_OPSA_INSTALL: Are the Opsa drivers installed?", err);
        kernel().close(extensionFd);
        extensionFd = -1;
        return;
    }

    int lowest = sched_get_priority_min(SCHED_FIFO);
    int highest = sched_get_priority_max(SCHED_FIFO);
    if (!startThread(&setterThread, &Daemon::setterMain, lowest + 1, "setter"))
        return;
    setterStarted = true;
    if (!startThread(&handlerThread, &Daemon::handlerMain, lowest, "handler"))
        return;
    handlerStarted = true;
    if (!startThread(&actionThread, &Daemon::actionMain, highest, "action"))
        return;
    actionStarted = true;
}

bool Daemon::startThread(
    pthread_t *aThread, void *(*aMain)(void *), int aPriority, const char *aName)
{
    ThreadStarter start = threadStarter.load();
    if (!start)
        start = &pthread_create;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
    struct sched_param parameters
    {
    };
    parameters.sched_priority = aPriority;
    pthread_attr_setschedparam(&attributes, &parameters);
    int result = start(aThread, &attributes, aMain, this);
    pthread_attr_destroy(&attributes);

    if (result == EPERM) {
        // Real-time scheduling is a privilege: a desktop, or a phone without the capability,
        // refuses it. The camera still works at the normal policy, with later frames under
        // load; say so once per daemon.
        result = start(aThread, nullptr, aMain, this);
        if (result == 0 && !realTimeRefused) {
            realTimeRefused = true;
            sensor->warning(Event::InternalError,
                "Real-time scheduling was refused; the capture daemon runs at normal priority "
                "and frames may be late\n");
        }
    }
    if (result != 0) {
        sensor->error(Event::InternalError, "Error creating daemon %s thread: %d", aName, result);
        return false;
    }
    return true;
}

void *Daemon::setterMain(void *aDaemon)
{
    static_cast<Daemon *>(aDaemon)->runSetter();
    return nullptr;
}

void *Daemon::handlerMain(void *aDaemon)
{
    static_cast<Daemon *>(aDaemon)->runHandler();
    return nullptr;
}

void *Daemon::actionMain(void *aDaemon)
{
    static_cast<Daemon *>(aDaemon)->runActions();
    return nullptr;
}

// ---- Setter ----

void Daemon::runSetter()
{
    tick(phoneTime());
    while (!stop.load()) {
        HsVsTime start {};
        if (kernel().ioctl(extensionFd, KOpsaWaitForHsVs, &start) < 0) {
            if (stop.load())
                break;
            sensor->error(
                Event::DriverError, "error in VIDIOC_OPSA_WAIT_FOR_HS_VS: %s", strerror(errno));
            sleepMicroseconds(100000);
            continue;
        }
        if (stop.load())
            break;
        tick(Time(start.seconds, start.microseconds));
    }
    // Closing the descriptor releases the extension for the next program.
    kernel().close(extensionFd);
    extensionFd = -1;
}

int Daemon::modeReadoutDelay() const
{
    return current.image.height() > 1008 ? 76000 : 33000;
}

void Daemon::tick(Time aTime)
{
    if (ignoreNext) {
        ignoreNext = false;
        return;
    }
    if (pending)
        completePending(aTime);
    else
        readoutDelay = modeReadoutDelay();

    if (requestQueue.empty() && sensor->streaming())
        sensor->refill(requestQueue);

    // Claiming the request (rather than peeking at it) keeps it out of reach of the sensor's
    // stop, which deletes queued requests from another thread.
    _Frame *next = nullptr;
    if (!requestQueue.tryPop(next))
        next = makeBubble();

    if (needsModeSwitch(next->shot()))
        switchMode(next);
    else
        program(next);
}

void Daemon::completePending(Time aTime)
{
    _Frame *request = pending;
    Shot &shot = request->shot();
    Shot &inForce = current.shot();

    if (shot.gain != inForce.gain) {
        device->setGain(shot.gain);
        inForce.gain = shot.gain;
    }
    request->gain = device->getGain();
    current.gain = request->gain;

    if (shot.colorMatrix().size() == 12) {
        device->setColorMatrix(shot.colorMatrix().data());
        inForce.setColorMatrix(shot.colorMatrix().data());
        // The programmed matrix no longer belongs to any temperature: the next request that
        // asks for one has its matrix written again.
        inForce.whiteBalance = -1;
    } else if (shot.whiteBalance != inForce.whiteBalance) {
        // 0 K has no matrix (the blend divides by the temperature).
        int kelvin = std::clamp(shot.whiteBalance, 1, 25000);
        float matrix[12];
        Platform::instance().rawToRGBColorMatrix(kelvin, matrix);
        device->setColorMatrix(matrix);
        inForce.setColorMatrix();
        current.whiteBalance = kelvin;
        inForce.whiteBalance = shot.whiteBalance;
    }
    request->whiteBalance = current.whiteBalance;

    // The frame whose settings were written at the previous frame start starts now.
    int processingDelay = 0;
    if (request->image.type() != RAW)
        processingDelay
            = (request->image.width() > 1024 && request->image.height() > 1024) ? 65000 : 10000;
    request->processingDoneTime = aTime + readoutDelay + request->frameTime + processingDelay;
    request->exposureStartTime = aTime + request->frameTime - request->exposure;
    readoutDelay = modeReadoutDelay();
    request->exposureEndTime = request->exposureStartTime + request->exposure + readoutDelay;

    size_t actions = shot.actions().size();
    if (actions) {
        std::lock_guard<std::mutex> guard(actionMutex);
        for (Action *action : shot.actions()) {
            actionHeap.push_back(
                { request->exposureStartTime + action->time - action->latency, action->clone() });
            std::push_heap(actionHeap.begin(), actionHeap.end(), LaterFirst());
        }
    }
    for (size_t i = 0; i < actions; ++i)
        sem_post(&actionSemaphore);

    inFlight.push(request);
    pending = nullptr;
}

bool Daemon::needsModeSwitch(const Shot &aShot) const
{
    const Shot &inForce = current.shot();
    if (aShot.image.width() != inForce.image.width()
        || aShot.image.height() != inForce.image.height()
        || aShot.image.type() != inForce.image.type())
        return true;
    if (aShot.histogram.enabled != inForce.histogram.enabled
        || aShot.histogram.buckets != inForce.histogram.buckets
        || aShot.histogram.region != inForce.histogram.region)
        return true;
    if (aShot.sharpness.enabled != inForce.sharpness.enabled)
        return true;
    return aShot.sharpness.enabled && aShot.sharpness.size != inForce.sharpness.size;
}

_Frame *Daemon::makeBubble() const
{
    // The settings in force, so that a bubble never forces a mode switch.
    const Shot &inForce = current.shot();
    auto *bubble = new _Frame;
    Shot &shot = bubble->shot();
    shot.wanted = false;
    shot.image = Image(
        inForce.image.width(), inForce.image.height(), inForce.image.type(), Image::DiscardData);
    shot.histogram = inForce.histogram;
    shot.sharpness = inForce.sharpness;
    return bubble;
}

void Daemon::program(_Frame *aRequest)
{
    const Shot &shot = aRequest->shot();
    int exposure = shot.exposure;
    // The sensor needs 400 us between the end of one exposure and the next frame start.
    long long minimum = static_cast<long long>(exposure) + 400;
    int frameTime = static_cast<int>(
        std::min<long long>(INT_MAX, std::max<long long>(minimum, shot.frameTime)));
    device->setFrameTime(frameTime);
    device->setExposure(exposure);
    current.shot().exposure = exposure;
    current.shot().frameTime = frameTime;

    aRequest->exposure = device->getExposure();
    aRequest->frameTime = device->getFrameTime();
    current.exposure = aRequest->exposure;
    current.frameTime = aRequest->frameTime;
    aRequest->image = Image(
        current.image.width(), current.image.height(), current.image.type(), Image::DiscardData);
    pending = aRequest;
}

void Daemon::switchMode(_Frame *aRequest)
{
    const Shot &shot = aRequest->shot();
    OPSA_TRACE(3, "Switching sensor mode to %d x %d\n", shot.image.width(), shot.image.height());
    flushPending.store(true);
    {
        // Waits until the handler has delivered every frame in flight and let the device go.
        // While the device streams, the wait follows the frame starts: the handler may need
        // one more frame to learn that the last frame in flight was lost, and a sensor that
        // holds its next frame until the start of this one has been seen (a lock-step
        // simulation) would otherwise never deliver it.
        std::unique_lock<std::mutex> camera(cameraMutex, std::try_to_lock);
        while (!camera.owns_lock()) {
            if (current.image.width() != 0) {
                HsVsTime start {};
                kernel().ioctl(extensionFd, KOpsaWaitForHsVs, &start);
            } else {
                sleepMicroseconds(1000);
            }
            camera.try_lock();
        }
        if (current.image.width() != 0) {
            device->stopStreaming();
            device->close();
        }
        device->open();
        device->startStreaming(shot.image.width(), shot.image.height(),
            shot.image.type() == RAW ? RAW : UYVY, shot.histogram, shot.sharpness);
        device->setFrameTime(0);
        flushPending.store(false);
    }

    Image delivered(device->width(), device->height(), static_cast<ImageFormat>(device->format()),
        Image::DiscardData);
    aRequest->image = delivered;
    Shot &inForce = current.shot();
    inForce.image
        = Image(shot.image.width(), shot.image.height(), shot.image.type(), Image::DiscardData);
    inForce.histogram = shot.histogram;
    inForce.sharpness = shot.sharpness;
    inForce.exposure = -1;
    inForce.frameTime = -1;
    inForce.gain = -1.0f;
    inForce.whiteBalance = -1;
    current.image = delivered;

    // The request is programmed two frame starts later: the first frame start after the
    // restart comes before the device has settled.
    pending = nullptr;
    requestQueue.pushFront(aRequest);
    ignoreNext = true;
}

// ---- Handler ----

void Daemon::runHandler()
{
    std::unique_lock<std::mutex> camera(cameraMutex);
    _Frame *request = nullptr;
    V4L2Sensor::Buffer *buffer = nullptr;

    while (!stop.load()) {
        if (flushPending.load() && !request && inFlight.empty()) {
            // Every frame in flight is delivered: let the setter restart the device.
            if (buffer) {
                device->release(buffer);
                buffer = nullptr;
            }
            camera.unlock();
            while (flushPending.load() && !stop.load())
                sleepMicroseconds(10000);
            camera.lock();
            continue;
        }

        if (!buffer) {
            // A device that stops delivering must not keep the handler from seeing a stop.
            if (!device->frameReady(100))
                continue;
            buffer = device->acquire(true);
            if (!buffer) {
                if (stop.load())
                    break;
                sensor->error(Event::InternalError, "Handler got a NULL frame\n");
                sleepMicroseconds(300000);
                continue;
            }
        }

        if (!request) {
            if (inFlight.empty()) {
                // A frame nobody asked for (the first ones after a restart).
                device->release(buffer);
                buffer = nullptr;
                continue;
            }
            request = inFlight.pop();
        }

        int dt = request->processingDoneTime - buffer->timestamp;
        if (dt < -25000) {
            // The buffer came long after this request's frame was due: that frame is lost.
            sensor->error(Event::FrameDataMissing,
                "Expected image data not returned from V4L2. Likely caused by excess page faults "
                "(thrashing).");
            request->image = Image(request->image.width(), request->image.height(),
                request->image.type(), Image::DiscardData);
            if (request->shot().wanted) {
                readStatistics(request);
                deliver(request);
            } else {
                delete request;
            }
            request = nullptr;
            continue; // the buffer may be the next request's
        }
        if (dt > 9999) {
            // Too early for this request: a frame without one.
            device->release(buffer);
            buffer = nullptr;
            continue;
        }

        if (!request->shot().wanted) {
            delete request;
            request = nullptr;
            device->release(buffer);
            buffer = nullptr;
            continue;
        }
        request->processingDoneTime = buffer->timestamp;
        fillImage(request, buffer);
        device->release(buffer);
        buffer = nullptr;
        readStatistics(request);
        deliver(request);
        request = nullptr;
    }

    if (buffer)
        device->release(buffer);
    // Nothing waits for it any more: the sensor stops only after every counted frame came.
    delete request;
}

void Daemon::fillImage(_Frame *aRequest, V4L2Sensor::Buffer *aBuffer)
{
    const int width = aRequest->image.width();
    const int height = aRequest->image.height();
    const ImageFormat format = aRequest->image.type();
    const Image &target = aRequest->shot().image;
    Image empty(width, height, format, Image::DiscardData);

    if (target.data() == Image::DiscardData) {
        aRequest->image = empty;
        return;
    }

    // The driver's buffer must hold the whole frame before a byte of it is read.
    const long long needed
        = static_cast<long long>(width) * height * Image::bytesPerPixelOf(format);
    const bool complete = aBuffer->data && needed > 0 && needed <= aBuffer->length;
    Image source;
    if (complete)
        source = Image(width, height, format, aBuffer->data);

    if (target.data() == Image::AllocateOnCapture) {
        if (!complete) {
            aRequest->image = empty;
            return;
        }
        aRequest->image = source.copy();
        return;
    }

    if (target.width() != width || target.height() != height) {
        sensor->error(Event::ImageTargetSizeMismatch,
            "Requested image size (%d x %d) on an already allocated image does not match actual "
            "image size (%d x %d). Dropping image data.",
            target.width(), target.height(), width, height);
        aRequest->image = empty;
        return;
    }
    if (target.type() != format) {
        sensor->error(Event::ImageTargetFormatMismatch,
            "Requested unsupported image format %d for an already allocated image.", target.type());
        aRequest->image = empty;
        return;
    }
    if (!complete) {
        aRequest->image = empty;
        return;
    }
    aRequest->image = target;
    const int timeout = 10000;
    if (!aRequest->image.lock(timeout)) {
        sensor->warning(Event::ImageTargetLocked,
            "Daemon discarding image data (target is still locked, waited for %d us)\n", timeout);
        aRequest->image = empty;
        return;
    }
    aRequest->image.copyFrom(source);
    aRequest->image.unlock();
}

void Daemon::readStatistics(_Frame *aRequest)
{
    aRequest->histogram = device->histogram(aRequest->exposureEndTime, aRequest->shot().histogram);
    aRequest->sharpness = device->sharpness(aRequest->exposureEndTime, aRequest->shot().sharpness);
}

void Daemon::deliver(_Frame *aRequest)
{
    frameQueue.push(aRequest);
    enforceFrameLimit();
}

void Daemon::setDropPolicy(int aPolicy, unsigned aLimit)
{
    dropPolicy.store(aPolicy);
    frameLimit.store(aLimit);
    enforceFrameLimit();
}

void Daemon::enforceFrameLimit()
{
    std::lock_guard<std::mutex> guard(limitMutex);
    const unsigned limit = frameLimit.load();
    const size_t count = frameQueue.size();
    if (count <= limit)
        return;
    sensor->warning(Event::FrameLimitHit,
        "WARNING: frame limit hit (%d), silently dropping %d frames.\nYou're not draining the "
        "frame queue quickly enough. Use longer \nframe times or drain the frame queue until "
        "empty every time you \ncall getFrame()\n",
        static_cast<int>(limit), static_cast<int>(count - limit));
    const int policy = dropPolicy.load();
    if (policy != Sensor::DropNewest && policy != Sensor::DropOldest) {
        sensor->error(Event::InternalError, "Unknown drop policy! Not dropping frames.\n");
        return;
    }
    while (frameQueue.size() > limit) {
        _Frame *dropped = nullptr;
        bool taken = policy == Sensor::DropOldest ? frameQueue.tryPop(dropped)
                                                  : frameQueue.tryPopBack(dropped);
        if (!taken)
            break; // the rest are claimed by a reader already
        delete dropped;
        sensor->frameDropped();
    }
}

// ---- Action thread ----

void Daemon::runActions()
{
    for (;;) {
        while (sem_wait(&actionSemaphore) == -1 && errno == EINTR) { }
        if (stop.load())
            return;

        TimedAction next {};
        {
            std::lock_guard<std::mutex> guard(actionMutex);
            if (actionHeap.empty())
                continue;
            std::pop_heap(actionHeap.begin(), actionHeap.end(), LaterFirst());
            next = actionHeap.back();
            actionHeap.pop_back();
        }

        // Sleep to within half a millisecond, then watch the clock. The phone's clock is read
        // again after every sleep: a simulated one may pause.
        bool stopped = false;
        for (;;) {
            int wait = next.fireTime - phoneTime();
            if (wait <= 0)
                break;
            if (stop.load()) {
                stopped = true;
                break;
            }
            if (wait - 500 > 0)
                sleepMicroseconds(std::min(wait - 500, 100000));
        }
        if (!stopped)
            next.action->perform();
        delete next.action;
    }
}

} // namespace Opsa::Ketto
