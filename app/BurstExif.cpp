// What a merge job's result tells galleries about its burst.

#include "AsyncFuser.h"

#include <Opsa/Platform.h>
#include <algorithm>
#include <cmath>

namespace {

// The sensor's gain that counts as ISO 100, the usual base of phone cameras.
constexpr float KIsoAtUnitGain = 100.0f;

} // namespace

core::ExifFacts burstExifFacts(const std::vector<Opsa::Frame> &aFrames, const QDateTime &aCreated)
{
    core::ExifFacts facts;
    facts.software = std::string("Duskline ") + DUSKLINE_VERSION;
    facts.dateTimeOriginal = aCreated.toString("yyyy:MM:dd HH:mm:ss").toStdString();
    if (aFrames.empty() || !aFrames.back().valid())
        return facts;
    const Opsa::Frame &reference = aFrames.back();
    facts.make = reference.platform().manufacturer();
    facts.model = reference.platform().model();
    if (reference.exposure() > 0)
        facts.exposureMicroseconds = reference.exposure();
    if (reference.gain() > 0.0f && std::isfinite(reference.gain()))
        facts.isoSpeed = int(std::lround(std::min(reference.gain() * KIsoAtUnitGain, 65535.0f)));
    return facts;
}
