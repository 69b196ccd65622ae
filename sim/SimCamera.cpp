// The camera: the sensor's clock thread and the requests of "/dev/video0" (Video4Linux2, the
// image signal processor and the kernel extension).

#include "SimState.h"

namespace Opsa::Sim {

using namespace Opsa::Ketto;

// ---------------------------------------------------------------------------------------------
// The sensor's clock thread.

void SimKernel::State::stopStreaming(std::unique_lock<std::mutex> &aLock)
{
    if (!streaming)
        return;
    if (!sensor.joinable()) {
        // Another thread is stopping the stream: the stream is off when it is done.
        cv.wait(aLock, [this] { return !streaming; });
        return;
    }
    stopSensor = true;
    cv.notify_all();
    std::thread t = std::move(sensor);
    aLock.unlock();
    t.join();
    aLock.lock();
    streaming = false;
    stopSensor = false;
    frozen = false;
    for (auto &b : buffers)
        b.where = Buffer::Where::User;
    cv.notify_all();
}

void SimKernel::State::sensorLoop()
{
    std::unique_lock<std::mutex> lock(m);
    const bool lockStep = options.pace == Pace::LockStep;
    Micros start = now() + 1000;
    bool havePrevious = false;
    Started previous {};
    while (!stopSensor) {
        // In lock-step the clock may not pass a frame start the sensor has not made.
        if (lockStep) {
            frozen = true;
            freezeAt = start;
            cv.notify_all();
        }
        while (!stopSensor && realNow() < start)
            cv.wait_until(lock, wallPoint(start));
        if (stopSensor)
            break;
        if (lockStep) {
            // Wait for the program: a frame-start wait entered since the last start, and a
            // buffer to fill (for a while; a program that returns none loses frames).
            const Micros waited = realNow();
            const Micros forProgram = waited + Micros(options.lockStepWaitMs) * 1000;
            const Micros forBuffer = waited + 2000000;
            for (;;) {
                const Micros t = realNow();
                const bool program = extensionPresent() && waitersForNext == 0 && t < forProgram;
                const bool buffer = havePrevious && !queuedBuffer() && t < forBuffer;
                if (stopSensor || !(program || buffer))
                    break;
                cv.wait_until(
                    lock, wallPoint(std::min(t + 100000, program ? forProgram : forBuffer)));
            }
            if (stopSensor)
                break;
        }

        // This frame starts: exposure and frame time are latched.
        auto begin = [&] {
            Started frame { nextSequence++, start, exposure, effectiveFrameTime(), 0 };
            FrameRecord r;
            r.sequence = frame.sequence;
            r.start = toTime(start);
            r.announced = toTime(realNow());
            r.exposure = frame.exposure;
            r.frameTime = frame.frameTime;
            r.width = int(width);
            r.height = int(height);
            r.pixelFormat = pixelFormat;
            r.exposureStart = toTime(start + frame.frameTime - frame.exposure);
            r.exposureEnd = toTime(start + frame.frameTime + mode().readout);
            records.push_back(r);
            while (records.size() > 256)
                records.pop_front();
            startTimes[framesBegun % startTimes.size()] = start;
            ++framesBegun;
            waitersForNext = 0;
            cv.notify_all();

            previous = frame;
            havePrevious = true;
            start += frame.frameTime;
        };
        // The previous frame's exposure ends now: what it keeps is latched before the program
        // hears of this start, which it hears of before that frame is read out (as from
        // hardware, whose frame start does not wait for the last frame's pixels).
        if (havePrevious)
            finishFrame(lock, previous, start, begin);
        else
            begin();
    }
}

void SimKernel::State::finishFrame(std::unique_lock<std::mutex> &aLock, const Started aFrame,
    Micros aEnd, const std::function<void()> &aStartNext)
{
    FrameRecord *r = record(aFrame.sequence);
    const int readout = mode().readout;
    // Gain, colour and the statistics settings are taken at the end of exposure; the lens
    // position is its mean over the exposure.
    Shot shot;
    shot.exposure = aFrame.exposure;
    shot.gain = gain / 32.0f;
    shot.sequence = aFrame.sequence;
    shot.seed = options.seed;
    shot.noise = options.noise;
    shot.handShake = options.handShake;
    // Rows are exposed one after another: the first row's exposure ends at aEnd, the last
    // row's a readout later. The lens's motion over the last rows is taken as it is known
    // now (a move ordered during the readout is not seen by this frame).
    auto meanFocus = [&](Micros aRowEnd) {
        float lens = 0;
        for (int i = 0; i < 5; ++i)
            lens += lensRawAt(aRowEnd - aFrame.exposure + aFrame.exposure * i / 4);
        return std::max(0.0f, (lens / 5 - KLensFar) * 0.0315f);
    };
    shot.focus = meanFocus(aEnd);
    shot.focusSpan = meanFocus(aEnd + readout) - shot.focus;
    const ColourProgram program = colour;
    const bool wantHistogram = isp.histogramConfigs > 0 && isp.histogram.enable;
    const bool wantSharpness = isp.afConfigs > 0;
    const HistogramConfig histogramConfig = isp.histogram;
    const AfConfig afConfig = isp.af;
    const std::uint32_t lensRaw = std::uint32_t(lensRawAt(aEnd));
    const int w = int(width), h = int(height);
    const std::uint32_t format = pixelFormat;
    const double scaleX = double(w) / mode().width, scaleY = double(h) / mode().height;
    if (r) {
        r->gain = shot.gain;
        r->focus = shot.focus + shot.focusSpan / 2;
    }

    const bool drop = contains(drops, aFrame.sequence) || (dropRule && r && dropRule(*r));
    Buffer *buffer = drop ? nullptr : queuedBuffer();
    if (buffer)
        buffer->where = Buffer::Where::Filling;
    else if (r)
        r->dropped = true;

    aStartNext();
    // In lock-step nothing of this frame may be seen before it is made.
    if (options.pace == Pace::LockStep) {
        frozen = true;
        freezeAt = aEnd + readout;
    }
    aLock.unlock();
    std::vector<std::uint16_t> raw = renderRaw(*scene, w, h, shot);
    Statistics made;
    made.valid = true;
    made.sequence = aFrame.sequence;
    made.lensRaw = lensRaw;
    if (wantHistogram) {
        made.histogram = true;
        Opsa::Sim::histogram(raw.data(), w, h, scaleX, scaleY, histogramConfig, made.banks.data());
    }
    if (wantSharpness) {
        made.sharpness = true;
        const AfGrid grid = afGrid(afConfig);
        made.cells.resize(std::size_t(grid.cellsWide) * grid.cellsHigh * KAfCellBytes);
        Opsa::Sim::sharpness(
            raw.data(), w, h, scaleX, scaleY, afConfig, made.cells.data(), made.cells.size());
    }
    if (buffer) {
        if (format == V4L2_PIX_FMT_UYVY)
            rawToUyvy(raw.data(), w, h, program, buffer->memory.map);
        else
            std::memcpy(buffer->memory.map, raw.data(), raw.size() * 2);
    }
    aLock.lock();

    auto shift = statShifts.find(aFrame.sequence);
    made.stamp = aEnd + readout + (shift == statShifts.end() ? 0 : shift->second);
    if (!contains(withheld, aFrame.sequence))
        stats[aFrame.sequence % stats.size()] = std::move(made);
    else if (r)
        r->statisticsWithheld = true;

    auto delay = delays.find(aFrame.sequence);
    const Micros arrival = aEnd + readout + processingDelay(format, w, h)
        + (delay == delays.end() ? 0 : delay->second);
    if (r)
        r->arrival = toTime(arrival);
    // A restart while this frame was rendered has taken the buffers back.
    if (buffer && buffer->where == Buffer::Where::Filling) {
        buffer->where = Buffer::Where::Done;
        buffer->sequence = aFrame.sequence;
        buffer->arrival = arrival;
        buffer->bytesUsed = std::uint32_t(w) * h * 2;
    }
    cv.notify_all();
}

// ---------------------------------------------------------------------------------------------
// The camera's requests.

int SimKernel::State::statisticsRequest(bool aSharpness, void *aArg)
{
    const Micros t = now();
    if (aSharpness ? isp.afConfigs == 0 : !(isp.histogramConfigs > 0 && isp.histogram.enable))
        return fail(EINVAL);
    HistogramRequest *hist = static_cast<HistogramRequest *>(aArg);
    AfRequest *af = static_cast<AfRequest *>(aArg);
    void *out
        = aSharpness ? static_cast<void *>(af->statistics) : static_cast<void *>(hist->statistics);
    if (!out)
        return fail(EFAULT);
    const std::uint16_t wanted = aSharpness ? af->frameNumber : hist->frameNumber;

    const Statistics *newest = nullptr;
    for (const auto &s : stats)
        if (s.valid && s.stamp <= t && (aSharpness ? s.sharpness : s.histogram)
            && (!newest || s.sequence > newest->sequence))
            newest = &s;
    if (!newest)
        return fail(EBUSY);
    const Statistics *pick = nullptr;
    if (wanted == KNewestFrame) {
        pick = newest;
    } else {
        for (const auto &s : stats)
            if (s.valid && s.stamp <= t && (aSharpness ? s.sharpness : s.histogram)
                && s.sequence % KFrameNumbers == wanted)
                pick = &s;
        if (!pick) {
            // Frame numbers just after the newest are still to come; others are gone.
            const unsigned ahead
                = (wanted + KFrameNumbers - newest->sequence % KFrameNumbers) % KFrameNumbers;
            return fail(ahead > 0 && ahead < KFrameNumbers / 2 ? EBUSY : EINVAL);
        }
    }
    const std::uint16_t number = std::uint16_t(pick->sequence % KFrameNumbers);
    const std::uint16_t current = std::uint16_t(newest->sequence % KFrameNumbers);
    const Opsa::Time stamp = toTime(pick->stamp);
    if (aSharpness) {
        const std::size_t n = std::min<std::size_t>(af->size, pick->cells.size());
        std::memcpy(af->statistics, pick->cells.data(), n);
        af->size = std::uint32_t(n);
        af->frameNumber = number;
        af->currentFrame = current;
        af->seconds = stamp.seconds();
        af->microseconds = stamp.microseconds();
        af->lensPosition = pick->lensRaw;
    } else {
        const std::size_t n = std::min<std::size_t>(hist->size, sizeof pick->banks);
        std::memcpy(hist->statistics, pick->banks.data(), n);
        hist->size = std::uint32_t(n);
        hist->frameNumber = number;
        hist->currentFrame = current;
        hist->seconds = stamp.seconds();
        hist->microseconds = stamp.microseconds();
    }
    return 0;
}

int SimKernel::State::videoIoctl(int aFd, Descriptor &aDesc, unsigned long aRequest, void *aArg,
    std::unique_lock<std::mutex> &aLock)
{
    if (!aArg && aRequest != KOpsaInstall)
        return fail(EFAULT);
    auto capture = [](std::uint32_t aType) { return aType == V4L2_BUF_TYPE_VIDEO_CAPTURE; };
    auto owned = [&] { return bufferOwner < 0 || bufferOwner == aFd; };

    switch (aRequest) {
    case VIDIOC_QUERYCAP: {
        auto *cap = static_cast<v4l2_capability *>(aArg);
        std::memset(cap, 0, sizeof *cap);
        std::strcpy(reinterpret_cast<char *>(cap->driver), "ketto-sim");
        std::strcpy(reinterpret_cast<char *>(cap->card), "Varnel Ketto camera (simulated)");
        cap->version = 0x020600;
        cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto *f = static_cast<v4l2_fmtdesc *>(aArg);
        if (!capture(f->type) || f->index > 1)
            return fail(EINVAL);
        const std::uint32_t index = f->index;
        std::memset(f, 0, sizeof *f);
        f->index = index;
        f->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        f->pixelformat = index == 0 ? V4L2_PIX_FMT_UYVY : V4L2_PIX_FMT_SGRBG10;
        std::strcpy(reinterpret_cast<char *>(f->description),
            index == 0 ? "UYVY 4:2:2" : "Bayer GRBG 10-bit");
        return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT: {
        auto *f = static_cast<v4l2_format *>(aArg);
        if (!capture(f->type))
            return fail(EINVAL);
        if (aRequest == VIDIOC_S_FMT) {
            if (streaming || !buffers.empty())
                return fail(EBUSY);
            const std::uint32_t pf = f->fmt.pix.pixelformat;
            // A driver adjusts what it cannot do instead of refusing it.
            pixelFormat = pf == V4L2_PIX_FMT_SGRBG10 ? pf : V4L2_PIX_FMT_UYVY;
            width = std::clamp<std::uint32_t>(f->fmt.pix.width, 160, KFull.width) & ~1u;
            height = std::clamp<std::uint32_t>(f->fmt.pix.height, 120, KFull.height) & ~1u;
        }
        std::memset(&f->fmt, 0, sizeof f->fmt);
        f->fmt.pix.width = width;
        f->fmt.pix.height = height;
        f->fmt.pix.pixelformat = pixelFormat;
        f->fmt.pix.field = V4L2_FIELD_NONE;
        f->fmt.pix.bytesperline = width * 2;
        f->fmt.pix.sizeimage = width * height * 2;
        f->fmt.pix.colorspace
            = pixelFormat == V4L2_PIX_FMT_UYVY ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_RAW;
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto *p = static_cast<v4l2_streamparm *>(aArg);
        if (!capture(p->type))
            return fail(EINVAL);
        if (aRequest == VIDIOC_S_PARM) {
            const auto &tpf = p->parm.capture.timeperframe;
            if (tpf.denominator == 0)
                return fail(EINVAL);
            const std::int64_t us = std::int64_t(tpf.numerator) * 1000000 / tpf.denominator;
            interval = int(std::clamp<std::int64_t>(us, mode().shortestFrame, KLongestFrame));
        }
        std::memset(&p->parm, 0, sizeof p->parm);
        p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p->parm.capture.timeperframe.numerator = std::uint32_t(interval);
        p->parm.capture.timeperframe.denominator = 1000000;
        p->parm.capture.readbuffers = KMaxBuffers;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto *rb = static_cast<v4l2_requestbuffers *>(aArg);
        if (!capture(rb->type) || rb->memory != V4L2_MEMORY_MMAP)
            return fail(EINVAL);
        if (!owned() || streaming)
            return fail(EBUSY);
        for (auto &b : buffers)
            b.memory.release();
        buffers.clear();
        bufferOwner = -1;
        rb->count = std::min<std::uint32_t>(rb->count, KMaxBuffers);
        if (rb->count == 0)
            return 0;
        const std::size_t size = std::size_t(width) * height * 2;
        const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
        const std::size_t stride = (size + page - 1) / page * page;
        buffers.resize(rb->count);
        for (std::uint32_t i = 0; i < rb->count; ++i) {
            if (!buffers[i].memory.allocate(size)) {
                for (auto &b : buffers)
                    b.memory.release();
                buffers.clear();
                return fail(ENOMEM);
            }
            buffers[i].offset = std::uint32_t(i * stride);
        }
        bufferOwner = aFd;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        auto *b = static_cast<v4l2_buffer *>(aArg);
        if (!capture(b->type) || b->memory != V4L2_MEMORY_MMAP)
            return fail(EINVAL);
        if (!owned())
            return fail(EBUSY);
        if (aRequest == VIDIOC_DQBUF) {
            if (!streaming)
                return fail(EINVAL);
            Buffer *ready = nullptr;
            while (!(ready = readyBuffer(now()))) {
                if (aDesc.nonBlocking)
                    return fail(EAGAIN);
                cv.wait_until(aLock, wallPoint(wakeFor(nextArrival())));
                if (!streaming || !fds.count(aFd))
                    return fail(EINVAL);
            }
            ready->where = Buffer::Where::User;
            b->index = std::uint32_t(ready - buffers.data());
        } else if (b->index >= buffers.size()) {
            return fail(EINVAL);
        }
        Buffer &buf = buffers[b->index];
        if (aRequest == VIDIOC_QBUF) {
            if (buf.where != Buffer::Where::User)
                return fail(EINVAL);
            buf.where = Buffer::Where::Queued;
            cv.notify_all();
        }
        const std::uint32_t index = b->index;
        std::memset(b, 0, sizeof *b);
        b->index = index;
        b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b->memory = V4L2_MEMORY_MMAP;
        b->m.offset = buf.offset;
        b->length = std::uint32_t(buf.memory.length);
        b->field = V4L2_FIELD_NONE;
        b->flags = V4L2_BUF_FLAG_MAPPED
            | (buf.where == Buffer::Where::Queued || buf.where == Buffer::Where::Filling
                    ? V4L2_BUF_FLAG_QUEUED
                    : 0)
            | (buf.where == Buffer::Where::Done ? V4L2_BUF_FLAG_DONE : 0);
        if (aRequest == VIDIOC_DQBUF) {
            b->bytesused = buf.bytesUsed;
            b->sequence = buf.sequence;
            const Opsa::Time t = toTime(buf.arrival);
            b->timestamp.tv_sec = t.seconds();
            b->timestamp.tv_usec = t.microseconds();
        }
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (!capture(*static_cast<std::uint32_t *>(aArg)))
            return fail(EINVAL);
        if (!owned())
            return fail(EBUSY);
        if (aRequest == VIDIOC_STREAMOFF) {
            stopStreaming(aLock);
            return 0;
        }
        if (buffers.empty())
            return fail(EINVAL);
        if (!streaming) {
            streaming = true;
            stopSensor = false;
            sensor = std::thread([this] { sensorLoop(); });
        }
        return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
        auto *c = static_cast<v4l2_control *>(aArg);
        std::int32_t *slot = nullptr;
        switch (c->id) {
        case KControlExposure:
            slot = &exposure;
            break;
        case KControlFrameTime:
            slot = &frameTime;
            break;
        case KControlGain:
            slot = &gain;
            break;
        case KControlFocus:
            slot = &focusTarget;
            break;
        case KControlFocusRamp:
            slot = &focusRamp;
            break;
        case KControlFocusStepTime:
            slot = &focusStep;
            break;
        default:
            return fail(EINVAL);
        }
        if (aRequest == VIDIOC_G_CTRL) {
            c->value = c->id == KControlFrameTime ? effectiveFrameTime() : *slot;
            return 0;
        }
        const Micros t = now();
        writes.push_back({ c->id, c->value, toTime(t) });
        if (writes.size() > 4096)
            writes.erase(writes.begin(), writes.begin() + 1024);
        switch (c->id) {
        case KControlExposure:
            *slot = std::clamp(c->value, KShortestExposure, KLongestExposure);
            break;
        case KControlFrameTime:
            *slot = c->value <= 0 ? 0 : std::min(c->value, KLongestFrame);
            break;
        case KControlGain:
            *slot = std::clamp(c->value, 32, 32 * 32);
            break;
        case KControlFocusRamp:
            *slot = std::max(0, c->value);
            break;
        case KControlFocusStepTime:
            *slot = std::clamp(c->value, 1, 1000000);
            break;
        case KControlFocus: {
            // The lens sets off from wherever it is now, at the step time in force.
            const float from = lensRawAt(t);
            *slot = std::clamp(c->value, KLensFar, KLensNear);
            lensFrom = from;
            lensTo = float(*slot);
            lensStart = t;
            lensStep = focusStep;
            break;
        }
        }
        return 0;
    }
    case KOpsaInstall:
        if (extensionMissing)
            return fail(ENOTTY);
        if (extensionHeld || (extensionFd >= 0 && extensionFd != aFd))
            return fail(EBUSY);
        extensionFd = aFd;
        cv.notify_all();
        return 0;
    case KOpsaWaitForHsVs: {
        if (extensionMissing)
            return fail(ENOTTY);
        if (extensionFd != aFd)
            return fail(EINVAL);
        const std::uint64_t entry = framesBegun;
        ++waitersForNext;
        cv.notify_all();
        // Longer than the longest frame; a wait with no stream running ends instead of holding
        // its thread for ever.
        const Micros deadline = realNow() + 10000000;
        while (framesBegun == entry && realNow() < deadline && fds.count(aFd) && extensionFd == aFd)
            cv.wait_until(aLock, wallPoint(deadline));
        if (framesBegun == entry) {
            --waitersForNext;
            return fail(fds.count(aFd) && extensionFd == aFd ? ETIMEDOUT : EBADF);
        }
        // The first start after the wait began, even if more have passed since.
        const Opsa::Time t = toTime(startTimes[entry % startTimes.size()]);
        auto *out = static_cast<HsVsTime *>(aArg);
        out->seconds = t.seconds();
        out->microseconds = t.microseconds();
        return 0;
    }
    case KIspPreviewConfig: {
        const auto *p = static_cast<const PreviewConfig *>(aArg);
        if (((p->update & KPreviewUpdateWhiteBalance) && !p->whiteBalance)
            || ((p->update & KPreviewUpdateBlackAdjust) && !p->blackAdjust)
            || ((p->update & KPreviewUpdateBlending) && !p->blending))
            return fail(EFAULT);
        if (p->update & KPreviewUpdateWhiteBalance)
            colour.whiteBalance = *p->whiteBalance;
        if (p->update & KPreviewUpdateBlending)
            colour.blending = *p->blending;
        isp.previewConfigs++;
        isp.whiteBalance = colour.whiteBalance;
        isp.blending = colour.blending;
        return 0;
    }
    case KIspHistogramConfig: {
        const auto *h = static_cast<const HistogramConfig *>(aArg);
        if (h->enable > 1)
            return fail(EINVAL);
        if (h->enable) {
            const std::uint32_t x = h->horizontal[0] >> 16, w = h->horizontal[0] & 0xFFFF;
            const std::uint32_t y = h->vertical[0] >> 16, hh = h->vertical[0] & 0xFFFF;
            if (h->bins > 1 || h->regions != 1 || w == 0 || hh == 0
                || x >= std::uint32_t(mode().width) || y >= std::uint32_t(mode().height))
                return fail(EINVAL);
        }
        isp.histogram = *h;
        isp.histogramConfigs++;
        return 0;
    }
    case KIspAfConfig: {
        const auto *a = static_cast<const AfConfig *>(aArg);
        const AfGrid g = afGrid(*a);
        if (g.cellWidth < 16 || g.cellWidth > 256 || g.cellHeight < 2 || g.cellHeight > 256
            || g.cellsWide > 36 || g.cellsHigh > 128
            || g.x + g.cellsWide * g.cellWidth > mode().width
            || g.y + g.cellsHigh * g.cellHeight > mode().height)
            return fail(EINVAL);
        isp.af = *a;
        isp.afConfigs++;
        return 0;
    }
    case KIspHistogramRequest:
        return statisticsRequest(false, aArg);
    case KIspAfRequest:
        return statisticsRequest(true, aArg);
    case KIspPipelineStats: {
        auto *p = static_cast<PipelineStats *>(aArg);
        std::memset(p, 0, sizeof *p);
        p->ccdcOutputWidth = std::uint16_t(mode().width);
        p->ccdcOutputHeight = std::uint16_t(mode().height);
        p->previewOutputWidth = std::uint16_t(mode().width - 4);
        p->previewOutputHeight = std::uint16_t(mode().height - 4);
        p->resizerInputWidth = p->previewOutputWidth;
        p->resizerInputHeight = p->previewOutputHeight;
        p->resizerOutputWidth = std::uint16_t(width);
        p->resizerOutputHeight = std::uint16_t(height);
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

} // namespace Opsa::Sim
