#include "SimState.h"

#include <fcntl.h>

namespace Opsa::Sim {

using namespace Opsa::Ketto;

int SimKernel::State::overlayIoctl(unsigned long aRequest, void *aArg)
{
    if (!aArg)
        return fail(EFAULT);
    switch (aRequest) {
    case FBIOGET_VSCREENINFO:
        *static_cast<fb_var_screeninfo *>(aArg) = screen;
        return 0;
    case FBIOPUT_VSCREENINFO: {
        const auto *s = static_cast<const fb_var_screeninfo *>(aArg);
        const std::size_t need = std::size_t(s->xres_virtual) * s->yres_virtual
            * (s->nonstd ? 2 : std::max<std::uint32_t>(1, s->bits_per_pixel / 8));
        if (s->xres == 0 || s->yres == 0 || s->xres > s->xres_virtual || s->yres > s->yres_virtual
            || need > plane.length)
            return fail(EINVAL);
        screen = *s;
        return 0;
    }
    case KFbQueryPlane:
        *static_cast<OverlayPlane *>(aArg) = planeInfo;
        return 0;
    case KFbSetupPlane: {
        const auto *p = static_cast<const OverlayPlane *>(aArg);
        // The plane must lie on the 800 x 480 display and have memory behind it when shown.
        if (p->x + p->outWidth > 800 || p->y + p->outHeight > 480
            || (p->enabled && plane.length == 0))
            return fail(EINVAL);
        planeInfo = *p;
        return 0;
    }
    case KFbSetupMemory: {
        const auto *mem = static_cast<const OverlayMemory *>(aArg);
        if (mem->type != 0)
            return fail(EINVAL);
        if (mem->size > 8u << 20)
            return fail(ENOMEM);
        if (planeInfo.enabled)
            return fail(EBUSY);
        if (mem->size == 0) {
            plane.release();
            return 0;
        }
        return plane.allocate(mem->size) ? 0 : fail(ENOMEM);
    }
    case KFbSetColorKey: {
        const auto *k = static_cast<const OverlayColorKey *>(aArg);
        if (k->keyType > 2)
            return fail(EINVAL);
        colorKey = *k;
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

// ---------------------------------------------------------------------------------------------
// The seam.

SimKernel::SimKernel(const std::string &aRoot, const SimOptions &aOptions)
    : d(std::make_unique<State>())
{
    d->root = aRoot;
    while (d->root.size() > 1 && d->root.back() == '/')
        d->root.pop_back();
    d->options = aOptions;
    if (!aOptions.scenePath.empty())
        d->scene = Scene::radiance(aOptions.scenePath, aOptions.sceneDiopters, d->sceneError);
    if (!d->scene)
        d->scene = Scene::interior();
    d->screen.xres = d->screen.xres_virtual = 800;
    d->screen.yres = d->screen.yres_virtual = 480;
    d->screen.bits_per_pixel = 16;
}

SimKernel::~SimKernel()
{
    std::unique_lock<std::mutex> lock(d->m);
    d->stopStreaming(lock);
    for (auto &b : d->buffers)
        b.memory.release();
    d->plane.release();
    for (auto &fd : d->fds)
        ::close(fd.first);
}

int SimKernel::open(const char *aPath, int aFlags, mode_t aMode)
{
    const std::string path = aPath ? aPath : "";
    std::unique_lock<std::mutex> lock(d->m);
    auto fault = d->openFaults.find(path);
    if (fault != d->openFaults.end()) {
        const int error = fault->second.error;
        if (fault->second.count > 0 && --fault->second.count == 0)
            d->openFaults.erase(fault);
        return fail(error);
    }
    Descriptor desc { Descriptor::Kind::Video };
    if (path == "/dev/video0") {
        desc.kind = Descriptor::Kind::Video;
    } else if (path == "/dev/fb1") {
        desc.kind = Descriptor::Kind::Overlay;
    } else {
        const auto *which = std::find(std::begin(KSwitchPaths), std::end(KSwitchPaths), path);
        if (which == std::end(KSwitchPaths)) {
            lock.unlock();
            // Anything else is a real file under the phone root.
            const bool rooted = !d->root.empty() && path.rfind(d->root + "/", 0) == 0;
            const std::string real = rooted || d->root.empty() || path.empty() || path[0] != '/'
                ? path
                : d->root + path;
            return ::open(real.c_str(), aFlags, aMode);
        }
        desc.kind = Descriptor::Kind::Switch;
        desc.switchIndex = int(which - std::begin(KSwitchPaths));
        if (!d->switches[desc.switchIndex].present)
            return fail(ENOENT);
        desc.seen = d->switches[desc.switchIndex].generation;
        if ((aFlags & O_ACCMODE) != O_RDONLY)
            return fail(EACCES);
    }
    desc.nonBlocking = (aFlags & O_NONBLOCK) != 0;
    // A real descriptor number keeps device descriptors apart from the process's files.
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    d->fds[fd] = desc;
    if (desc.kind == Descriptor::Kind::Overlay)
        ++d->overlayOpen;
    return fd;
}

int SimKernel::close(int aFd)
{
    std::unique_lock<std::mutex> lock(d->m);
    auto it = d->fds.find(aFd);
    if (it == d->fds.end()) {
        lock.unlock();
        return ::close(aFd);
    }
    if (it->second.kind == Descriptor::Kind::Overlay)
        --d->overlayOpen;
    if (d->bufferOwner == aFd) {
        d->stopStreaming(lock);
        for (auto &b : d->buffers)
            b.memory.release();
        d->buffers.clear();
        d->bufferOwner = -1;
    }
    if (d->extensionFd == aFd)
        d->extensionFd = -1;
    d->fds.erase(aFd);
    d->cv.notify_all();
    return ::close(aFd);
}

ssize_t SimKernel::read(int aFd, void *aBuffer, std::size_t aCount)
{
    std::unique_lock<std::mutex> lock(d->m);
    auto it = d->fds.find(aFd);
    if (it == d->fds.end()) {
        lock.unlock();
        return ::read(aFd, aBuffer, aCount);
    }
    Descriptor &desc = it->second;
    if (desc.kind != Descriptor::Kind::Switch)
        return fail(EINVAL);
    const auto &sw = d->switches[desc.switchIndex];
    if (!sw.present)
        return fail(ENODEV);
    // Like a sysfs attribute: the text from the descriptor's offset; reading clears the
    // pending change.
    const std::string text = sw.on ? KSwitchOn[desc.switchIndex] : KSwitchOff[desc.switchIndex];
    desc.seen = sw.generation;
    if (desc.readOffset >= text.size())
        return 0;
    const std::size_t n = std::min(aCount, text.size() - desc.readOffset);
    std::memcpy(aBuffer, text.data() + desc.readOffset, n);
    desc.readOffset += n;
    return ssize_t(n);
}

ssize_t SimKernel::write(int aFd, const void *aBuffer, std::size_t aCount)
{
    std::unique_lock<std::mutex> lock(d->m);
    if (!d->fds.count(aFd)) {
        lock.unlock();
        return ::write(aFd, aBuffer, aCount);
    }
    return fail(EINVAL);
}

int SimKernel::ioctl(int aFd, unsigned long aRequest, void *aArgument)
{
    std::unique_lock<std::mutex> lock(d->m);
    auto it = d->fds.find(aFd);
    if (it == d->fds.end()) {
        lock.unlock();
        return ::ioctl(aFd, aRequest, aArgument);
    }
    int error = 0;
    if (d->takeFault(d->requestFaults, aRequest, error))
        return fail(error);
    switch (it->second.kind) {
    case Descriptor::Kind::Video:
        return d->videoIoctl(aFd, it->second, aRequest, aArgument, lock);
    case Descriptor::Kind::Overlay:
        return d->overlayIoctl(aRequest, aArgument);
    case Descriptor::Kind::Switch:
        break;
    }
    return fail(ENOTTY);
}

int SimKernel::poll(struct pollfd *aFds, nfds_t aCount, int aTimeout)
{
    std::unique_lock<std::mutex> lock(d->m);
    bool anySim = false;
    for (nfds_t i = 0; i < aCount; ++i)
        anySim = anySim || d->fds.count(aFds[i].fd);
    if (!anySim) {
        lock.unlock();
        return ::poll(aFds, aCount, aTimeout);
    }
    const Micros deadline = aTimeout < 0 ? KNever : realNow() + Micros(aTimeout) * 1000;
    for (;;) {
        int ready = 0;
        bool anyReal = false;
        Micros wake = deadline;
        const Micros t = d->now();
        for (nfds_t i = 0; i < aCount; ++i) {
            pollfd &p = aFds[i];
            p.revents = 0;
            if (p.fd < 0)
                continue;
            auto it = d->fds.find(p.fd);
            if (it == d->fds.end()) {
                anyReal = true;
                pollfd probe { p.fd, p.events, 0 };
                if (::poll(&probe, 1, 0) > 0)
                    p.revents = probe.revents;
            } else if (it->second.kind == Descriptor::Kind::Video) {
                if (d->bufferOwner != p.fd || !d->streaming) {
                    p.revents = POLLERR;
                } else if (d->readyBuffer(t)) {
                    p.revents = short(p.events & (POLLIN | POLLRDNORM));
                } else {
                    wake = std::min(wake, d->wakeFor(d->nextArrival()));
                }
            } else if (it->second.kind == Descriptor::Kind::Switch) {
                // Like a sysfs attribute: always readable; a change since the descriptor was
                // last read is urgent data (and an error condition, as sysfs reports it).
                const auto &sw = d->switches[it->second.switchIndex];
                p.revents = short(p.events & (POLLIN | POLLRDNORM));
                if (!sw.present || sw.generation != it->second.seen)
                    p.revents = short(p.revents | POLLERR | (p.events & POLLPRI));
            } else {
                p.revents = short(p.events & (POLLOUT | POLLIN));
            }
            if (p.revents)
                ++ready;
        }
        if (ready || realNow() >= deadline)
            return ready;
        if (anyReal)
            wake = std::min(wake, realNow() + 10000);
        d->cv.wait_until(lock, wallPoint(std::min(wake, realNow() + 100000)));
    }
}

void *SimKernel::mmap(
    void *aAddress, std::size_t aLength, int aProtection, int aFlags, int aFd, off_t aOffset)
{
    std::unique_lock<std::mutex> lock(d->m);
    auto it = d->fds.find(aFd);
    if (it == d->fds.end()) {
        lock.unlock();
        return ::mmap(aAddress, aLength, aProtection, aFlags, aFd, aOffset);
    }
    const SharedMemory *memory = nullptr;
    if (it->second.kind == Descriptor::Kind::Video) {
        for (const auto &b : d->buffers)
            if (off_t(b.offset) == aOffset)
                memory = &b.memory;
    } else if (it->second.kind == Descriptor::Kind::Overlay && aOffset == 0) {
        memory = &d->plane;
    }
    if (!memory || memory->fd < 0 || aLength == 0 || aLength > memory->length
        || !(aFlags & MAP_SHARED)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return ::mmap(aAddress, aLength, aProtection, aFlags, memory->fd, 0);
}

int SimKernel::munmap(void *aAddress, std::size_t aLength)
{
    return ::munmap(aAddress, aLength);
}

int SimKernel::madvise(void *aAddress, std::size_t aLength, int aAdvice)
{
    return ::madvise(aAddress, aLength, aAdvice);
}

int SimKernel::gettimeofday(struct timeval *aTime)
{
    if (!aTime) {
        errno = EFAULT;
        return -1;
    }
    std::lock_guard<std::mutex> lock(d->m);
    const Micros t = d->now();
    aTime->tv_sec = time_t(t / 1000000);
    aTime->tv_usec = suseconds_t(t % 1000000);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The test-facing side.

Opsa::Time SimKernel::now() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return toTime(d->now());
}

std::uint32_t SimKernel::framesStarted() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return std::uint32_t(d->framesBegun);
}

bool SimKernel::waitForFrames(std::uint32_t aCount, int aTimeoutMs) const
{
    std::unique_lock<std::mutex> lock(d->m);
    return d->cv.wait_for(
        lock, std::chrono::milliseconds(aTimeoutMs), [&] { return d->framesBegun >= aCount; });
}

void SimKernel::holdExtension(bool aHeld)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->extensionHeld = aHeld;
}

void SimKernel::removeExtension(bool aMissing)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->extensionMissing = aMissing;
    d->cv.notify_all();
}

void SimKernel::dropFrame(std::uint32_t aSequence)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->drops.push_back(aSequence);
}

void SimKernel::dropFramesWhere(std::function<bool(const FrameRecord &)> aRule)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->dropRule = std::move(aRule);
}

void SimKernel::delayFrame(std::uint32_t aSequence, int aMicroseconds)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->delays[aSequence] = aMicroseconds;
}

void SimKernel::withholdStatistics(std::uint32_t aSequence)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->withheld.push_back(aSequence);
}

void SimKernel::shiftStatistics(std::uint32_t aSequence, int aMicroseconds)
{
    std::lock_guard<std::mutex> lock(d->m);
    d->statShifts[aSequence] = aMicroseconds;
}

void SimKernel::failRequest(unsigned long aRequest, int aErrno, int aCount)
{
    std::lock_guard<std::mutex> lock(d->m);
    if (aCount == 0)
        d->requestFaults.erase(aRequest);
    else
        d->requestFaults[aRequest] = { aErrno, aCount };
}

void SimKernel::failOpen(const std::string &aPhonePath, int aErrno, int aCount)
{
    std::lock_guard<std::mutex> lock(d->m);
    if (aCount == 0)
        d->openFaults.erase(aPhonePath);
    else
        d->openFaults[aPhonePath] = { aErrno, aCount };
}

void SimKernel::clearFaults()
{
    std::lock_guard<std::mutex> lock(d->m);
    d->extensionHeld = d->extensionMissing = false;
    d->drops.clear();
    d->dropRule = nullptr;
    d->delays.clear();
    d->withheld.clear();
    d->statShifts.clear();
    d->requestFaults.clear();
    d->openFaults.clear();
    for (auto &s : d->switches)
        s.present = true;
    d->cv.notify_all();
}

void SimKernel::setSwitch(Switch aSwitch, bool aOn)
{
    std::lock_guard<std::mutex> lock(d->m);
    auto &s = d->switches[int(aSwitch)];
    if (s.on != aOn || !s.present) {
        s.on = aOn;
        s.present = true;
        ++s.generation;
        d->cv.notify_all();
    }
}

bool SimKernel::switchOn(Switch aSwitch) const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->switches[int(aSwitch)].on;
}

void SimKernel::removeSwitch(Switch aSwitch)
{
    std::lock_guard<std::mutex> lock(d->m);
    auto &s = d->switches[int(aSwitch)];
    s.present = false;
    ++s.generation;
    d->cv.notify_all();
}

IspState SimKernel::isp() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->isp;
}

std::vector<ControlWrite> SimKernel::controlWrites() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->writes;
}

std::int32_t SimKernel::control(std::uint32_t aId) const
{
    std::lock_guard<std::mutex> lock(d->m);
    switch (aId) {
    case KControlExposure:
        return d->exposure;
    case KControlFrameTime:
        return d->effectiveFrameTime();
    case KControlGain:
        return d->gain;
    case KControlFocus:
        return d->focusTarget;
    case KControlFocusRamp:
        return d->focusRamp;
    case KControlFocusStepTime:
        return d->focusStep;
    default:
        return 0;
    }
}

std::vector<FrameRecord> SimKernel::frames() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return { d->records.begin(), d->records.end() };
}

bool SimKernel::frame(std::uint32_t aSequence, FrameRecord &aRecord) const
{
    std::lock_guard<std::mutex> lock(d->m);
    const FrameRecord *r = d->record(aSequence);
    if (r)
        aRecord = *r;
    return r != nullptr;
}

bool SimKernel::extensionInstalled() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return d->extensionFd >= 0;
}

OverlayState SimKernel::overlay() const
{
    std::lock_guard<std::mutex> lock(d->m);
    OverlayState s;
    s.open = d->overlayOpen > 0;
    s.plane = d->planeInfo;
    s.colorKey = d->colorKey;
    s.screen = d->screen;
    s.memorySize = std::uint32_t(d->plane.length);
    if (d->plane.map)
        s.pixels.assign(d->plane.map, d->plane.map + d->plane.length);
    return s;
}

float SimKernel::lensDiopters() const
{
    std::lock_guard<std::mutex> lock(d->m);
    return lensRawToDiopters(std::int32_t(d->lensRawAt(d->now())));
}

float SimKernel::mainObjectDiopters() const
{
    return d->scene->mainDiopters();
}

float lensRawToDiopters(std::int32_t aRaw)
{
    return std::clamp((aRaw - 227) * 0.0315f, 0.0f, 20.0f);
}

std::int32_t lensDioptersToRaw(float aDiopters)
{
    return std::int32_t(aDiopters * 31.746f + 227.5f);
}

} // namespace Opsa::Sim
