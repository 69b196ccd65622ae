#pragma once

// The application on a simulated phone in lock-step, for the suite's tests. Buttons are pressed
// through the phone's switch files; what happened is read back from the screens, the log, the
// phone's photo folder and the stock camera's stand-ins. Every wait is for a condition, with a
// deadline far beyond any scheduling delay of a loaded machine under a sanitizer.
//
// The merge thread can be held: while the fixture's gate is closed, the merge thread waits
// where it logs the start of a job, so a test decides when merges finish.

#include "CameraThread.h"
#include "HDRApp.h"
#include "SimPhone.h"

#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>

namespace apptest {

// Spins the GUI thread's event loop until aDone() or aSeconds passed; returns aDone().
bool waitUntil(const std::function<bool()> &aDone, int aSeconds = 240);

class MergeGate;

// Every log line, from any thread; onLine (if set) sees each line as it is said, on the
// thread that said it.
class AppLog
{
public:
    AppLog();
    ~AppLog();
    bool has(const QString &aText) const;
    int count(const QString &aText) const;
    QStringList lines() const;
    std::function<void(const QString &)> onLine;
    MergeGate *gate = nullptr;

private:
    static void handle(QtMsgType, const QMessageLogContext &, const QString &aMessage);
    static inline AppLog *current = nullptr;
    QtMessageHandler previous;
    mutable std::mutex mutex;
    QStringList all;
};

// Holds the merge thread at the start of each job while closed.
class MergeGate
{
public:
    ~MergeGate() { open(); }
    void close();
    void open();
    // The merge thread calls this with each line it logs.
    void pass(const QString &aLine);
    std::atomic<const QThread *> mergeThread { nullptr };

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
};

class AppFixture : public testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds the controller (photographs of 640 × 480 in bursts of three, so that merges are
    // quick) without starting the camera.
    void makeApp();
    // makeApp(), then the camera; the start-up dialog is put away.
    void launch();
    // Waits for aCount more viewfinder frames on the capture screen.
    bool waitForViewfinder(int aCount = 3);
    // A full press (focus and shutter) released once the capture loop has seen it.
    void fullPress();
    // Full press, and the result browser up with the burst.
    bool captureBurst();
    bool mergesDone();

    Opsa::Sim::SimKernel &sim() { return phone->kernel(); }
    std::string photoDir() const;

    MergeGate gate;
    AppLog log;
    std::unique_ptr<Opsa::Sim::SimPhone> phone;
    std::unique_ptr<HDRApp> app;
    int viewfinderFrames = 0;
    int capturesReady = 0;
};

} // namespace apptest
