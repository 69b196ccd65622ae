#pragma once

// A simulated phone for the camera backend's tests and benchmarks, and thread starters that stand
// in for the system's real-time scheduling. Users link Opsa::sim.

#include "Ketto/Daemon.h"
#include "Ketto/Kernel.h"
#include "Ketto/V4L2Sensor.h"
#include "SimKernel.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <vector>

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

// What a thread starter was asked for.
struct ThreadRequest
{
    int policy = -1;
    int priority = -1;
    int inherit = -1;
};

// Records the scheduling each daemon thread asked for, then starts it at the normal policy:
// a test must not run real-time threads on a shared machine.
class SchedulingRecorder
{
public:
    static std::vector<ThreadRequest> requests()
    {
        std::lock_guard<std::mutex> guard(mutex());
        return list();
    }
    static void clear()
    {
        std::lock_guard<std::mutex> guard(mutex());
        list().clear();
    }
    static void setRefusing(bool aRefuse)
    {
        std::lock_guard<std::mutex> guard(mutex());
        refusing() = aRefuse;
    }

    // Grants (or refuses with EPERM, when refusing) real-time attributes.
    static int start(
        pthread_t *aThread, const pthread_attr_t *aAttributes, void *(*aMain)(void *), void *aArg)
    {
        if (aAttributes) {
            ThreadRequest request;
            struct sched_param parameters
            {
            };
            pthread_attr_getschedpolicy(aAttributes, &request.policy);
            pthread_attr_getschedparam(aAttributes, &parameters);
            pthread_attr_getinheritsched(aAttributes, &request.inherit);
            request.priority = parameters.sched_priority;
            std::lock_guard<std::mutex> guard(mutex());
            list().push_back(request);
            if (refusing() && request.policy == SCHED_FIFO)
                return EPERM;
        }
        return pthread_create(aThread, nullptr, aMain, aArg);
    }

private:
    static std::mutex &mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<ThreadRequest> &list()
    {
        static std::vector<ThreadRequest> l;
        return l;
    }
    static bool &refusing()
    {
        static bool r = false;
        return r;
    }
};

} // namespace testsupport
