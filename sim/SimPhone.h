#pragma once

// A whole simulated phone for a test or the desktop application: a phone root, the simulated
// kernel (SimKernel.h) serving its devices, the stock camera tools' stand-ins, and the
// selection of both as the phone in use (Opsa::Ketto::Phone::current()).
//
//     Opsa::Sim::SimOptions options;
//     options.pace = Opsa::Sim::Pace::LockStep;         // tests: no scheduling luck
//     Opsa::Sim::SimPhone phone(options);                // temporary root, selected
//     ... the backend opens "/dev/video0" through Opsa::Ketto::kernel() ...
//     phone.kernel().setSwitch(Opsa::Sim::Switch::ShutterButton, true);
//     phone.kernel().frames();                            // ground truth
//     phone.stockCameraRunning();
//
// Stand-ins installed under the root (real executables, so fork and exec work unchanged):
//   "/usr/sbin/lifectl"   "-k /usr/bin/viewkeeper" stops the stock camera application,
//                         "-U user -o /usr/bin/viewkeeper" starts it;
//   "/usr/bin/killall"    "viewkeeper" stops it;
//   "/usr/bin/viewkeeper" starts it.
// Each appends its command line to "/var/log/stock-camera.log" and keeps the application's
// state ("running" or "stopped") in "/var/run/viewkeeper.state" (phone paths). The stock
// camera application is running when the phone is made.
//
// Thread: construct and destroy on one thread, before and after the threads that use the
// phone; the rest as SimKernel.

#include "SimKernel.h"

#include <string>
#include <vector>

namespace Opsa::Sim {

class SimPhone
{
public:
    // aRoot "": a fresh temporary directory, removed with the phone. Otherwise an existing
    // directory that is kept (the desktop application's). aSelect: make this the phone in use
    // for the phone's lifetime (deselected on destruction).
    explicit SimPhone(
        const SimOptions &aOptions = {}, const std::string &aRoot = "", bool aSelect = true);
    ~SimPhone();
    SimPhone(const SimPhone &) = delete;
    SimPhone &operator=(const SimPhone &) = delete;

    SimKernel &kernel() { return kern; }
    const Opsa::Ketto::Phone &phone() const { return ph; }
    const std::string &root() const { return rootDir; }
    // The real path of a phone path under this phone's root.
    std::string path(const std::string &aPhonePath) const { return ph.path(aPhonePath); }

    // Whether the stock camera application runs, as its stand-ins recorded it.
    bool stockCameraRunning() const;
    // The stand-ins' command lines in the order they ran ("lifectl -k /usr/bin/viewkeeper").
    std::vector<std::string> stockCameraLog() const;

private:
    std::string rootDir;
    bool ownsRoot;
    bool selected;
    SimKernel kern;
    Opsa::Ketto::Phone ph;
};

} // namespace Opsa::Sim
