#pragma once

// A simulated phone selected as the phone in use, for the capture loop's and the application's
// tests. Users link Opsa::sim.

#include "Ketto/Kernel.h"
#include "Ketto/V4L2Sensor.h"
#include "SimKernel.h"

#include <string>
#include <sys/stat.h>

namespace testsupport {

// A simulated phone under a root folder, selected as the phone in use for the object's life.
class SimCamera
{
public:
    explicit SimCamera(const std::string &aRoot, const Opsa::Sim::SimOptions &aOptions)
        : kern(aRoot, aOptions)
        , phone(kern, aRoot)
    {
        // A phone has its "/tmp": the sensor's button listener keeps its lock file there.
        ::mkdir(phone.path("/tmp").c_str(), 0755);
        Opsa::Ketto::Phone::select(&phone);
    }
    ~SimCamera()
    {
        Opsa::Ketto::V4L2Sensor::closeAll();
        Opsa::Ketto::Phone::select(nullptr);
    }
    SimCamera(const SimCamera &) = delete;
    SimCamera &operator=(const SimCamera &) = delete;

    Opsa::Sim::SimKernel &kernel() { return kern; }

private:
    Opsa::Sim::SimKernel kern;
    Opsa::Ketto::Phone phone;
};

} // namespace testsupport
