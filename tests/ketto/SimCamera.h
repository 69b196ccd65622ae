#pragma once

// A simulated phone in lock-step for tests of the camera backend, with the shared video device
// closed again before the phone goes.

#include "../opsa/Events.h"
#include "Ketto/V4L2Sensor.h"
#include "SimPhone.h"

#include <gtest/gtest.h>
#include <memory>

namespace kettotest {

inline Opsa::Sim::SimOptions lockStep()
{
    Opsa::Sim::SimOptions options;
    options.pace = Opsa::Sim::Pace::LockStep;
    return options;
}

class SimCamera : public testing::Test
{
protected:
    void SetUp() override
    {
        phone = std::make_unique<Opsa::Sim::SimPhone>(lockStep());
        device = Opsa::Ketto::V4L2Sensor::instance("/dev/video0");
        opsatest::drainEvents();
    }
    void TearDown() override
    {
        Opsa::Ketto::V4L2Sensor::closeAll();
        phone.reset();
        opsatest::drainEvents();
    }

    Opsa::Sim::SimKernel &sim() { return phone->kernel(); }

    std::unique_ptr<Opsa::Sim::SimPhone> phone;
    Opsa::Ketto::V4L2Sensor *device = nullptr;
};

} // namespace kettotest
