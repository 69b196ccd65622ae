#pragma once

// The simulated phone: a Kernel that serves the phone's devices on a desktop.
//
// Most users want SimPhone (SimPhone.h), which makes a phone root, installs the stock camera
// stand-ins, builds this kernel and selects both as the phone in use. This header is the
// kernel itself and its test-facing controls: faults, buttons, and read-backs of what the
// program sent and of the hardware's ground truth. Link the CMake target Opsa::sim.
//
// Devices served (phone paths; anything else is a real file under the phone root):
//   "/dev/video0"   the camera: Video4Linux2 capture (S_FMT, G_FMT, S_PARM, G_PARM, REQBUFS,
//                   QUERYBUF, QBUF, DQBUF, STREAMON, STREAMOFF, G_CTRL, S_CTRL), 8 or fewer
//                   memory-mapped buffers, poll for input, "UYVY" and "BA10" (G R / B G); the
//                   image signal processor's private requests (Ketto/Requests.h) and the
//                   camera-control kernel extension (INSTALL, WAIT_FOR_HS_VS).
//   "/dev/fb1"      the overlay plane: FBIOGET/PUT_VSCREENINFO, query/setup plane, setup
//                   memory, colour key, mmap of the plane memory.
//   "/sys/devices/platform/gpio-switch/{cam_shutter,cam_focus,cam_launch,slide}/state"
//                   switch state files ("open"/"closed", "active"/"inactive"); a change wakes
//                   poll() with POLLPRI on every open descriptor of that file.
//
// Time. Every time the simulator reports (frame starts returned by WAIT_FOR_HS_VS, buffer
// timestamps, statistics stamps, FrameRecord) comes from its own schedule, never from the
// moment a thread woke: frame k+1 starts exactly frameTime(k) after frame k. The clock runs at
// the pace of the time of day; in Pace::LockStep it also pauses (and so falls behind the time
// of day) whenever the sensor waits, so that on a loaded machine no frame start is missed by
// the program and no frame is lost for lack of a queued buffer:
//   - frame k+1 does not start until a WAIT_FOR_HS_VS has been entered after frame k started
//     (only while the extension is installed; for up to SimOptions::lockStepWaitMs, after
//     which the program is taken to be busy elsewhere, as the capture daemon is while it
//     drains the pipeline for a mode switch, and the frame starts without it), and
//   - a frame does not start while no buffer is queued (for up to 2 s; then it is dropped as
//     hardware would).
// So in lock-step a program that waits for frame k's start, writes controls and waits again
// has its controls applied to frame k+1, however late its thread ran (up to lockStepWaitMs).
//
// Sensor timing (what the capture daemon's prediction model relies on), for frame k starting
// at S with exposure E and frame time F latched at S:
//   exposure:          [S + F - E, S + F] for the first row; each later row a little later,
//                      the last row's ending at S + F + R (what a moving lens does to the
//                      picture follows the rows; the rest of the picture is taken at once)
//   readout delay R:   76000 us when the sensor mode is more than 1008 rows, else 33000 us
//   statistics stamp:  S + F + R            (available from then on)
//   processing P:      0 for BA10; UYVY 65000 us when the output is over 1024 x 1024, else 10000
//   buffer timestamp:  S + F + R + P        (DQBUF returns it from then on)
// Exposure and frame time written before a frame starts apply to it; gain and the colour
// matrix written before its exposure ends (S + F) apply to it.
// WAIT_FOR_HS_VS returns the first frame start after the call began; with no frame for 10 s
// (no stream) it fails with ETIMEDOUT. Sequence numbers count every frame since the simulator
// was made, across streams.
//
// Thread: every member is safe to call from any thread.

#include "Ketto/Kernel.h"
#include "Ketto/Requests.h"
#include "Opsa/Time.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Opsa::Sim {

enum class Pace {
    RealTime, // frames start at their times of day whatever the program does (the desktop app)
    LockStep, // see above: the schedule waits for the program (tests)
};

struct SimOptions
{
    Pace pace = Pace::RealTime;
    // "" for the built-in interior (a dim room, a bright window, objects at several depths);
    // otherwise a Radiance .hdr file seen as a flat scene at sceneDiopters.
    std::string scenePath;
    float sceneDiopters = 0.5f;
    // Noise and hand shake are drawn from this seed and the frame's sequence number, so a run
    // is repeatable frame for frame.
    std::uint32_t seed = 1;
    bool noise = true;
    bool handShake = true;
    // Lock-step only: how long a frame start waits for the program's next frame-start wait.
    // Far beyond any scheduling delay of a loaded machine, short enough that a program busy
    // elsewhere only slows down.
    int lockStepWaitMs = 500;
};

// The four switches of the phone's GPIO switch driver.
enum class Switch { LensCover, FocusButton, ShutterButton, KeyboardSlide };

// The ground truth of one frame, as the hardware did it.
struct FrameRecord
{
    std::uint32_t sequence = 0; // v4l2_buffer::sequence; statistics frame number = sequence % 4096
    Opsa::Time start; // HS_VS
    // The desktop's time of day when the start was made known: later than start when the
    // simulator cannot render at the real pace (a loaded machine) and falls behind.
    Opsa::Time announced;
    Opsa::Time exposureStart; // start + frameTime - exposure
    Opsa::Time exposureEnd; // start + frameTime + readout delay: the statistics' stamp
    Opsa::Time arrival; // the buffer's timestamp (with any injected delay)
    int exposure = 0; // us
    int frameTime = 0; // us
    float gain = 1.0f;
    float focus = 0.0f; // lens position in diopters, mean over the middle row's exposure
    int width = 0, height = 0; // delivered size
    std::uint32_t pixelFormat = 0; // V4L2_PIX_FMT_UYVY or V4L2_PIX_FMT_SGRBG10
    bool dropped = false; // never delivered (fault, or no free buffer)
    bool statisticsWithheld = false;
};

// One control write that reached the sensor.
struct ControlWrite
{
    std::uint32_t id;
    std::int32_t value; // as written
    Opsa::Time time; // on the simulator's clock
};

// What the image signal processor was last told, byte for byte as it arrived.
struct IspState
{
    int histogramConfigs = 0; // HIST_CFG requests accepted since the simulator was made
    Opsa::Ketto::HistogramConfig histogram {};
    int afConfigs = 0;
    Opsa::Ketto::AfConfig af {};
    int previewConfigs = 0; // PRV_CFG requests accepted
    Opsa::Ketto::PreviewWhiteBalance whiteBalance {}; // last sub-records applied
    Opsa::Ketto::PreviewBlending blending {};
};

// The overlay plane as the program left it.
struct OverlayState
{
    bool open = false; // a descriptor of "/dev/fb1" is open
    Opsa::Ketto::OverlayPlane plane {};
    Opsa::Ketto::OverlayColorKey colorKey {};
    fb_var_screeninfo screen {};
    std::uint32_t memorySize = 0; // from the last setup-memory request
    std::vector<std::uint8_t> pixels; // a copy of the plane memory (memorySize bytes)
};

class SimKernel : public Opsa::Ketto::Kernel
{
public:
    // aRoot: the phone root (an existing directory) under which paths other than the devices
    // are real files. The sensor's clock thread runs while a camera stream is on.
    explicit SimKernel(const std::string &aRoot, const SimOptions &aOptions = {});
    ~SimKernel() override;
    SimKernel(const SimKernel &) = delete;
    SimKernel &operator=(const SimKernel &) = delete;

    // ---- the seam (Ketto/Kernel.h); device descriptors are real descriptor numbers reserved
    // for the simulator, so they never collide with the process's files.
    int open(const char *aPath, int aFlags, mode_t aMode = 0) override;
    int close(int aFd) override;
    ssize_t read(int aFd, void *aBuffer, std::size_t aCount) override;
    ssize_t write(int aFd, const void *aBuffer, std::size_t aCount) override;
    int ioctl(int aFd, unsigned long aRequest, void *aArgument) override;
    int poll(struct pollfd *aFds, nfds_t aCount, int aTimeout) override;
    void *mmap(void *aAddress, std::size_t aLength, int aProtection, int aFlags, int aFd,
        off_t aOffset) override;
    int munmap(void *aAddress, std::size_t aLength) override;
    int madvise(void *aAddress, std::size_t aLength, int aAdvice) override;
    // The simulator's clock (now()), which stamps its frames; in lock-step it runs behind the
    // desktop's.
    int gettimeofday(struct timeval *aTime) override;

    // ---- clock
    // The time of day on the simulator's clock (see Time above).
    Opsa::Time now() const;
    // Frames started since the simulator was made (all streams together).
    std::uint32_t framesStarted() const;
    // Blocks until at least aCount frames have started, or aTimeoutMs passed; true on success.
    bool waitForFrames(std::uint32_t aCount, int aTimeoutMs) const;

    // ---- faults (each holds until changed; clearFaults() lifts them all)
    // Another program holds the kernel extension: INSTALL fails with EBUSY.
    void holdExtension(bool aHeld);
    // The extension is not installed: INSTALL and WAIT_FOR_HS_VS fail with ENOTTY.
    void removeExtension(bool aMissing);
    // The frame with this sequence number is never delivered (its buffer is reused).
    void dropFrame(std::uint32_t aSequence);
    // Every frame for which aRule (given the frame's record, in sequence order, as its
    // exposure ends) returns true is never delivered; null ends it. The rule runs on the
    // sensor's thread under the simulator's lock: it must not call into the simulator.
    void dropFramesWhere(std::function<bool(const FrameRecord &)> aRule);
    // The frame's buffer arrives aMicroseconds after its scheduled time.
    void delayFrame(std::uint32_t aSequence, int aMicroseconds);
    // The frame's statistics never appear: the newest statistics stay those of an older frame.
    void withholdStatistics(std::uint32_t aSequence);
    // The frame's statistics are stamped aMicroseconds away from its exposure end.
    void shiftStatistics(std::uint32_t aSequence, int aMicroseconds);
    // The next aCount ioctl requests with this code fail with aErrno (aCount < 0: every one).
    void failRequest(unsigned long aRequest, int aErrno, int aCount = 1);
    // The next aCount opens of this phone path fail with aErrno (aCount < 0: every one).
    void failOpen(const std::string &aPhonePath, int aErrno, int aCount = 1);
    void clearFaults();

    // ---- buttons
    // Sets a switch (on: lens cover open, button pressed, slide open) and wakes pollers when
    // the state changed. Also brings back a removed switch file.
    void setSwitch(Switch aSwitch, bool aOn);
    bool switchOn(Switch aSwitch) const;
    // The switch's state file vanishes: opens fail with ENOENT, reads of open descriptors fail
    // with ENODEV and their polls report POLLERR.
    void removeSwitch(Switch aSwitch);

    // ---- read-backs of what the program did
    IspState isp() const;
    std::vector<ControlWrite> controlWrites() const;
    // The value a control holds now (what G_CTRL would answer).
    std::int32_t control(std::uint32_t aId) const;
    // Ground truth of the recent frames (the last 256), oldest first.
    std::vector<FrameRecord> frames() const;
    // One frame by sequence number; false when unknown or forgotten.
    bool frame(std::uint32_t aSequence, FrameRecord &aRecord) const;
    // Descriptors that currently hold the kernel extension (0 or 1).
    bool extensionInstalled() const;
    OverlayState overlay() const;

    // ---- lens (diopters: 0 infinity .. 20 near; raw r = d x 31.746 + 227.5)
    // Where the lens is now on the simulator's clock.
    float lensDiopters() const;
    // The lens position that focuses the scene's main object (the centre of the picture).
    float mainObjectDiopters() const;

    // Implementation detail, shared by the device models.
    struct State;

private:
    std::unique_ptr<State> d;
};

// Converts between the lens's raw units and diopters as the driver does.
float lensRawToDiopters(std::int32_t aRaw);
std::int32_t lensDioptersToRaw(float aDiopters);

} // namespace Opsa::Sim
