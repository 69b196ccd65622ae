#pragma once

#include <atomic>
#include <pthread.h>
#include <sys/types.h>
#include <vector>

namespace Opsa::Ketto {

class Phone;

// Takes the camera buttons over from the phone's stock camera application for the lifetime of
// the process. On creation it takes the lock file "/tmp/opsa.lock", has the stock application
// stopped ("/usr/sbin/lifectl -k", then "/usr/bin/killall"), and leaves a respawner process
// that waits for the lock and starts the stock application again once this process has ended.
// Its thread then turns changes of the four switch files (lens cover, focus button, shutter
// button, keyboard slide) into events on the library's event queue (data 0):
//   FocusButtonPressed 2 / Released 3, ShutterButtonPressed 4 / Released 5,
//   LensCoverClosed 10000 / Opened 10001, KeyboardSlideOpened 10002 / Closed 10003.
//
// When another process already holds the lock (a second instance), the camera and the buttons
// are left to it: error CameraInUse is posted at once, so the camera's start-up reports the
// camera as in use, and nothing is stopped, respawned or watched. Other failures are error
// InternalError; the listener keeps running.
//
// The stock camera tools and the lock file are found through the phone in use when the
// listener is made (phone paths), so on the simulated phone only its stand-ins run.
//
// Thread: instance() and release() from any thread; the listener thread only posts events.
class ButtonListener
{
public:
    // The process-wide listener for the phone in use, made on the first call (and again after
    // the phone in use has changed: the previous one is released first).
    static ButtonListener &instance();
    // Ends the listener watching aPhone, if there is one, as the end of the process would:
    // the thread is stopped, the lock is let go, and the call returns once every process the
    // listener started has ended, the respawner (which restores the stock application) included.
    // Selecting another phone calls it for the previous one; a later instance() starts anew.
    static void release(const Phone &aPhone);

    // Stops the thread (it notices at once) and reaps the children that have ended; the lock
    // is let go with the listener.
    ~ButtonListener();
    ButtonListener(const ButtonListener &) = delete;
    ButtonListener &operator=(const ButtonListener &) = delete;

    static constexpr int KSwitchCount = 4;

    // False when another process held the lock file and this listener stood back.
    bool ownsCamera() const { return !lockedOut; }

private:
    explicit ButtonListener(const Phone &aPhone);

    static void *threadMain(void *aSelf);
    void run();
    void startTools();
    // Stops the thread and lets the lock go; with aWait, then waits for every child to end,
    // the respawner included. Safe to call twice.
    void finish(bool aWait);
    // Reaps the children that have ended; with aBlock, waits for all but the respawner.
    void reap(bool aBlock);

    const Phone *phone;
    pthread_t thread {};
    bool threadStarted = false;
    std::atomic<bool> stopping { false };
    // The stop request: the destructor writes a byte, the thread's poll wakes on it.
    int wakePipe[2] = { -1, -1 };
    // The switch files, and their states as last read (-1 unknown, 0 off, 1 on).
    int fds[KSwitchCount] = { -1, -1, -1, -1 };
    int states[KSwitchCount] = { -1, -1, -1, -1 };
    int lockFd = -1;
    bool locked = false; // this process holds the lock
    bool lockedOut = false; // another process held it
    // Children not yet reaped; the respawner is reaped only by release().
    std::vector<pid_t> children;
    pid_t respawner = -1;
};

} // namespace Opsa::Ketto
