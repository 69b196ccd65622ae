// The capture daemon streaming the viewfinder's pattern on the simulated phone at its real
// pace: a long and a short 640 x 480 exposure, alternating, with histograms and one timed
// action per shot, fetched as fast as they come. Reports what was requested, delivered, lost
// and dropped, how far each buffer came from the daemon's prediction, how late the actions
// fired, and the resident memory at start and end. Run with and without real-time priority.
//
//     daemon_bench [seconds] [--normal-only | --realtime-only]

#include "BenchSupport.h"
#include "Opsa/Action.h"
#include "Opsa/Event.h"
#include "Opsa/Ketto/Sensor.h"
#include "support/SimCamera.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Opsa::Time;

// The phone's clock when the action ran.
struct FireLog
{
    std::mutex mutex;
    std::vector<Time> fired;
};

class StampAction : public Opsa::Action
{
public:
    explicit StampAction(FireLog *aLog)
        : log(aLog)
    { }
    void perform() override
    {
        Time now = Opsa::Ketto::phoneTime();
        std::lock_guard<std::mutex> guard(log->mutex);
        log->fired.push_back(now);
    }
    Opsa::Action *clone() const override { return new StampAction(*this); }

private:
    FireLog *log;
};

double residentMb()
{
    long pages = 0, resident = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

int refuseRealTime(
    pthread_t *aThread, const pthread_attr_t *aAttributes, void *(*aMain)(void *), void *aArg)
{
    if (aAttributes)
        return EPERM;
    return pthread_create(aThread, nullptr, aMain, aArg);
}

double percentile(std::vector<int> aValues, double aShare)
{
    if (aValues.empty())
        return 0;
    std::sort(aValues.begin(), aValues.end());
    size_t index = size_t(std::lround(aShare * double(aValues.size() - 1)));
    return aValues[std::min(index, aValues.size() - 1)];
}

void run(int aSeconds, bool aRealTime)
{
    char folder[] = "/tmp/daemon-bench-XXXXXX";
    if (!mkdtemp(folder)) {
        std::perror("mkdtemp");
        return;
    }
    Opsa::Ketto::Daemon::setThreadStarter(aRealTime ? nullptr : &refuseRealTime);
    for (Opsa::Event event; Opsa::getNextEvent(&event);) { }
    {
        Opsa::Sim::SimOptions options; // real time, the desktop application's pace
        testsupport::SimCamera camera(folder, options);
        Opsa::Ketto::Sensor sensor;
        FireLog log;

        Opsa::Shot longShot, shortShot;
        for (Opsa::Shot *shot : { &longShot, &shortShot }) {
            shot->image = Opsa::Image(640, 480, Opsa::UYVY, Opsa::Image::DiscardData);
            shot->histogram.enabled = true;
            shot->histogram.region = Opsa::Rect { 0, 0, 640, 480 };
            shot->addAction(StampAction(&log));
        }
        longShot.image = Opsa::Image(640, 480, Opsa::UYVY, Opsa::Image::AllocateOnCapture);
        longShot.exposure = 20000;
        longShot.gain = 2.0f;
        shortShot.exposure = 2000;
        shortShot.gain = 1.0f;

        const double startMb = residentMb();
        sensor.stream(std::vector<Opsa::Shot> { longShot, shortShot });
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(aSeconds);
        std::vector<int> pairing;
        std::vector<Time> due, heard; // exposure starts; when the simulator told of the frames
        std::vector<int> heardLate; // how long after its start the simulator told of a frame
        int delivered = 0, withoutData = 0;
        double warmMb = 0;
        while (std::chrono::steady_clock::now() < until) {
            Opsa::Frame frame = sensor.getFrame();
            if (!frame.valid())
                break;
            ++delivered;
            if (delivered == 50)
                warmMb = residentMb();
            due.push_back(frame.exposureStartTime());
            heard.push_back(frame.exposureStartTime());
            for (const Opsa::Sim::FrameRecord &record : camera.kernel().frames())
                if (!record.dropped && record.arrival == frame.processingDoneTime()) {
                    heard.back() = record.announced;
                    heardLate.push_back(record.announced - record.start);
                }
            if (!frame.image().hasData() && frame.shot().image.data() != Opsa::Image::DiscardData)
                ++withoutData;
            // The prediction is the end of the exposure plus the readout's processing.
            if (frame.image().hasData() || frame.shot().image.data() == Opsa::Image::DiscardData)
                pairing.push_back(frame.processingDoneTime() - (frame.exposureEndTime() + 10000));
        }
        const int pending = sensor.shotsPending();
        sensor.stop();
        const double endMb = residentMb();

        int missing = 0, dropped = 0, realTimeWarnings = 0, otherErrors = 0;
        for (Opsa::Event event; Opsa::getNextEvent(&event);) {
            if (event.data == Opsa::Event::FrameDataMissing)
                ++missing;
            else if (event.data == Opsa::Event::FrameLimitHit) {
                int limit = 0, count = 0;
                if (std::sscanf(event.description.c_str(),
                        "WARNING: frame limit hit (%d), silently dropping %d", &limit, &count)
                    == 2)
                    dropped += count;
            } else if (event.type == Opsa::Event::Warning
                && event.description.find("Real-time") != std::string::npos)
                ++realTimeWarnings;
            else if (event.type == Opsa::Event::Error)
                ++otherErrors;
        }
        const int requested = delivered + dropped + pending;
        const int started = int(camera.kernel().framesStarted());
        // Two frames of every stream start carry no request.
        const int bubbles = std::max(0, started - requested - 2);

        std::vector<int> absPairing, late, ownLate;
        for (int value : pairing)
            absPairing.push_back(std::abs(value));
        {
            std::lock_guard<std::mutex> guard(log.mutex);
            for (size_t i = 0; i < log.fired.size() && i < due.size(); ++i) {
                late.push_back(log.fired[i] - due[i]);
                // The daemon hears of a frame when the simulator announces its start: what
                // comes after that, or after the action's time if later, is the daemon's.
                Time ready = due[i] < heard[i] ? heard[i] : due[i];
                ownLate.push_back(log.fired[i] - ready);
            }
        }
        size_t within2ms = 0;
        for (int value : absPairing)
            within2ms += value <= 2000;

        std::printf("%s priority (%s), %d s:\n", aRealTime ? "real-time" : "normal",
            realTimeWarnings ? "refused" : "granted or not asked", aSeconds);
        std::printf("  frames requested %d, delivered %d, missing (error 22) %d, dropped %d, "
                    "bubbles %d, other errors %d, delivered without data %d\n",
            requested, delivered, missing, dropped, bubbles, otherErrors, withoutData);
        std::printf("  pairing error (buffer - prediction), us: median %.0f, p99 |e| %.0f, max "
                    "|e| %.0f; within +-2 ms: %.2f %%\n",
            percentile(pairing, 0.5), percentile(absPairing, 0.99), percentile(absPairing, 1.0),
            absPairing.empty() ? 0.0 : 100.0 * double(within2ms) / double(absPairing.size()));
        std::printf("  timed actions late, us: median %.0f, p99 %.0f, max %.0f (%zu fired)\n",
            percentile(late, 0.5), percentile(late, 0.99), percentile(late, 1.0), late.size());
        std::printf("    of which the simulator told of the frame start late, us: median %.0f, p99 "
                    "%.0f, max %.0f\n",
            percentile(heardLate, 0.5), percentile(heardLate, 0.99), percentile(heardLate, 1.0));
        std::printf("    and the daemon's own part (after the action's time and the frame's "
                    "start were both known), us: median %.0f, p99 %.0f, max %.0f\n",
            percentile(ownLate, 0.5), percentile(ownLate, 0.99), percentile(ownLate, 1.0));
        std::printf("  resident memory MB: start %.1f, after 50 frames %.1f, end %.1f (growth "
                    "after warm-up %.2f)\n\n",
            startMb, warmMb, endMb, endMb - warmMb);
    }
    Opsa::Ketto::Daemon::setThreadStarter(nullptr);
    std::string remove = std::string("rm -rf ") + folder;
    if (std::system(remove.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", folder);
}

} // namespace

int main(int argc, char **argv)
{
    int seconds = 60;
    bool normal = true, realTime = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--normal-only")
            realTime = false;
        else if (arg == "--realtime-only")
            normal = false;
        else
            seconds = std::max(1, std::atoi(argv[i]));
    }
    bench::printHeader("Capture daemon: viewfinder stream on the simulated phone");
    if (realTime)
        run(seconds, true);
    if (normal)
        run(seconds, false);
    return 0;
}
