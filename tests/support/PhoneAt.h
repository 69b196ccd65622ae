#pragma once

// Chooses, for the life of one object, a phone without devices whose fixed paths live under a
// test's own folder (merge jobs, settings files). Suites that use it link the phone backend.

#include "Ketto/Kernel.h"

#include <string>

namespace testsupport {

class PhoneAt
{
public:
    explicit PhoneAt(const std::string &aRoot)
        : phone(none, aRoot)
    {
        Opsa::Ketto::Phone::select(&phone);
    }
    ~PhoneAt() { Opsa::Ketto::Phone::select(nullptr); }
    PhoneAt(const PhoneAt &) = delete;
    PhoneAt &operator=(const PhoneAt &) = delete;

private:
    Opsa::Ketto::NoDevicesKernel none;
    Opsa::Ketto::Phone phone;
};

} // namespace testsupport
