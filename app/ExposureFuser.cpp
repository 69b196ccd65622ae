#include "Fuser.h"
#include "Metering.h"
#include "core/Algorithms"
#include "core/Assert"

#include <QDebug>
#include <QElapsedTimer>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

Opsa::Shot viewfinderShot(int aWidth, int aHeight)
{
    Opsa::Shot shot;
    shot.image = Opsa::Image(aWidth, aHeight, Opsa::UYVY);
    shot.exposure = 10000;
    shot.frameTime = 10000;
    shot.gain = 1.0f;
    shot.histogram.region = Opsa::Rect { 0, 0, aWidth, aHeight };
    shot.histogram.enabled = true;
    shot.sharpness.size = Opsa::Size { 16, 12 };
    shot.sharpness.enabled = true;
    return shot;
}

// Copies the settings of a metered viewfinder shot into a burst shot.
void takeSettings(Opsa::Shot &aBurst, const Opsa::Shot &aFrom, int aFrameTime)
{
    aBurst.exposure = aFrom.exposure;
    aBurst.gain = aFrom.gain;
    aBurst.whiteBalance = aFrom.whiteBalance;
    aBurst.frameTime = aFrameTime;
    aBurst.clearActions();
}

// Converts the UYVY pixels of aImage into aPreview, every aFactor-th row and pair. Row by row,
// so that a padded or windowed frame is read with its own stride.
void convertPreview(const Opsa::Image &aImage, Image<unsigned char> &aPreview, int aFactor)
{
    const unsigned char *source = aImage.data();
    for (int r = 0; r < aPreview.height(); ++r)
        convertUyvyToRgb(aImage.width(), aFactor,
            source + std::size_t(r) * aFactor * std::size_t(aImage.bytesPerRow()),
            aPreview.rowBegin(r), aFactor);
}

// A copy with its own buffer: the fusion uses every input as scratch, and the previews are
// still on screen.
Image<unsigned char> ownCopy(const Image<unsigned char> &aImage)
{
    if (!aImage.isInterleaved())
        return aImage.clone();
    Image<unsigned char> copy(aImage.width(), aImage.height(), aImage.channels());
    if (!copy.empty())
        std::memcpy(copy.data(), aImage.data(),
            std::size_t(aImage.width()) * aImage.height() * aImage.channels());
    return copy;
}

} // namespace

Fuser::Fuser(int aWidth, int aHeight, int aFormat, int aNumShots, QObject *aParent)
    : QObject(aParent)
    , expComp { 1.0f, 1.0f }
    , baseExposures { 1, 1 }
    , width(aWidth)
    , height(aHeight)
    , format(aFormat)
    , numShots(aNumShots)
{
    viewfinderShots.push_back(viewfinderShot(viewfinderWidth, viewfinderHeight));
    viewfinderShots.push_back(viewfinderShot(viewfinderWidth, viewfinderHeight));
    rebuildBurstShots();
    saveInputs = false;
    autoShots = true;
}

float Fuser::bracketStops(const std::vector<Opsa::Shot> &aShots)
{
    if (aShots.empty())
        return 0.0f;
    const float first = float(aShots.front().exposure) * aShots.front().gain;
    const float last = float(aShots.back().exposure) * aShots.back().gain;
    // A shot without light has no bracket to speak of (and would divide by zero).
    if (!(first > 0.0f) || !(last > 0.0f))
        return 0.0f;
    return std::log2(std::max(first, last) / std::min(first, last));
}

int Fuser::photosForBracket(float aStops)
{
    if (aStops <= 1.5f)
        return 1;
    if (aStops < 3.0f)
        return 2;
    return 3;
}

void Fuser::publishBracket(float aStops, bool aAutoShots)
{
    emit exposureBracketChanged(int(std::lround(aStops)));
    if (aAutoShots)
        emit numCapturesChanged(photosForBracket(aStops));
}

void Fuser::configureShots(std::vector<Opsa::Shot> &aViewfinder, int aFrameTime)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    configureShotsLocked(aViewfinder, aFrameTime);
}

void Fuser::configureShotsLocked(std::vector<Opsa::Shot> &aViewfinder, int aFrameTime)
{
    if (aViewfinder.size() < 2) {
        qDebug() << "Cannot plan a burst from" << aViewfinder.size() << "viewfinder shots";
        return;
    }
    if (autoShots) {
        numShots = photosForBracket(bracketStops(aViewfinder));
        rebuildBurstShotsLocked();
    }
    const Opsa::Shot &longShot = aViewfinder.front();
    const Opsa::Shot &shortShot = aViewfinder.back();
    if (numShots < 1 || numShots > 3 || int(burstShots.size()) != numShots) {
        qDebug() << "Unsupported number of photos " << numShots;
        CORE_ASSERT(numShots >= 1 && numShots <= 3 && int(burstShots.size()) == numShots);
    }
    takeSettings(burstShots[0], longShot, aFrameTime);
    if (numShots == 1)
        return;
    takeSettings(burstShots[std::size_t(numShots) - 1], shortShot, aFrameTime);
    if (numShots == 3) {
        // The geometric mean, so that the burst steps evenly in stops.
        Opsa::Shot &middle = burstShots[1];
        middle.exposure = truncateToInt(
            std::sqrt(double(shortShot.exposure)) * std::sqrt(double(longShot.exposure)));
        middle.gain = std::sqrt(shortShot.gain * longShot.gain);
        middle.whiteBalance = shortShot.whiteBalance;
        middle.frameTime = aFrameTime;
        middle.clearActions();
    }
}

bool Fuser::meterViewfinder(std::vector<Opsa::Shot> &aViewfinder, const Opsa::Frame &aFrame,
    int aWhich, int aExposureLimit, float aMaxGain, int aMaxExposure, float aSmoothing)
{
    bool changed;
    float stops;
    bool automatic;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        changed = meter(
            aViewfinder, aFrame, aWhich, aExposureLimit, aMaxGain, aMaxExposure, aSmoothing);
        baseExposures.resize(aViewfinder.size());
        for (std::size_t i = 0; i < aViewfinder.size(); ++i)
            baseExposures[i] = aViewfinder[i].exposure;
        stops = bracketStops(aViewfinder);
        automatic = autoShots;
    }
    publishBracket(stops, automatic);
    return changed;
}

void Fuser::applyExposureCompensation(std::vector<Opsa::Shot> &aViewfinder)
{
    float stops;
    bool automatic;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        for (std::size_t i = 0;
             i < aViewfinder.size() && i < baseExposures.size() && i < expComp.size(); ++i)
            aViewfinder[i].exposure = truncateToInt(double(float(baseExposures[i]) * expComp[i]));
        stops = bracketStops(aViewfinder);
        automatic = autoShots;
    }
    publishBracket(stops, automatic);
}

void Fuser::rebuildBurstShots()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    rebuildBurstShotsLocked();
}

void Fuser::clearBurstLocked()
{
    frames.clear();
    previews.clear();
    previewResult = Image<unsigned char>();
    ++burstGeneration;
}

void Fuser::rebuildBurstShotsLocked()
{
    burstShots.clear();
    clearBurstLocked();
    for (int i = 0; i < numShots; ++i) {
        Opsa::Shot shot;
        shot.image
            = Opsa::Image(width, height, Opsa::ImageFormat(format), Opsa::Image::AllocateOnCapture);
        burstShots.push_back(shot);
    }
}

std::vector<Opsa::Shot> Fuser::planBurst(int aFrameTime)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    configureShotsLocked(viewfinderShots, aFrameTime);
    clearBurstLocked();
    return burstShots; // copies: fresh ids
}

int Fuser::addFrame(const Opsa::Frame &aFrame)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    frames.push_back(aFrame);
    return int(frames.size());
}

std::vector<Opsa::Shot> Fuser::viewfinderSnapshot() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    std::vector<Opsa::Shot> shots(viewfinderShots);
    for (std::size_t i = 0; i < shots.size(); ++i)
        shots[i].id = viewfinderShots[i].id;
    return shots;
}

std::vector<Opsa::Frame> Fuser::collectedFrames() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return frames;
}

std::vector<Image<unsigned char>> Fuser::previewImages() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return previews;
}

Image<unsigned char> Fuser::fusedPreview() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return previewResult;
}

void Fuser::loadPreviews()
{
    QElapsedTimer timer;
    timer.start();
    // The frames are converted from a snapshot, outside the lock: the capture loop may begin
    // the next burst meanwhile, and then these previews are not stored.
    std::vector<Opsa::Frame> source;
    int width, height, format;
    unsigned generation;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        source = frames;
        width = this->width;
        height = this->height;
        format = this->format;
        generation = burstGeneration;
    }
    std::vector<Image<unsigned char>> made;
    const int factor = width <= 640 ? 1 : (width <= 1296 ? 2 : 4);
    // The raw preview takes one pixel per Bayer cell at least.
    const int step = format == Opsa::RAW ? std::max(factor, 2) : factor;
    for (const Opsa::Frame &frame : source) {
        const Opsa::Image &image = frame.image();
        if (image.width() != width || image.height() != height) {
            qDebug() << "Image size: " << image.width() << "x" << image.height()
                     << " incompatible with " << width << "x" << height << ". Skipping";
            continue;
        }
        if (!image.hasData()) {
            qDebug() << "Frame without pixels. Skipping";
            continue;
        }
        if (image.type() != format) {
            qDebug() << "Image format: " << int(image.type()) << " incompatible with " << format
                     << ". Skipping";
            continue;
        }
        Image<unsigned char> preview(width / step, height / step, 3);
        if (preview.empty()) {
            qDebug() << "Out of memory for a preview of " << width / step << "x" << height / step;
            continue;
        }
        if (format == Opsa::RAW)
            demosaicPreview(frame, preview.data(), step, 2.2f);
        else
            convertPreview(image, preview, step);
        made.push_back(preview);
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (generation == burstGeneration)
            previews = made;
    }
    qDebug() << "Time to load previews: " << timer.elapsed();
}

void Fuser::computePreview()
{
    std::vector<Image<unsigned char>> aligned;
    unsigned generation;
    auto snapshot = [&] {
        std::lock_guard<std::mutex> lock(stateMutex);
        aligned = previews;
        generation = burstGeneration;
    };
    snapshot();
    if (aligned.empty()) {
        loadPreviews();
        snapshot();
    }
    if (aligned.empty()) {
        qDebug() << "No previews to fuse";
        std::lock_guard<std::mutex> lock(stateMutex);
        if (generation == burstGeneration)
            previewResult = Image<unsigned char>();
        return;
    }
    QElapsedTimer timer;
    timer.start();
    if (registerImages(aligned, 512, 10, 4, 1) == -1)
        qDebug() << "Registration failed";
    qDebug() << "PREVIEW: Registration time: " << timer.restart();

    std::vector<Image<unsigned char>> images;
    images.reserve(aligned.size());
    for (const Image<unsigned char> &preview : aligned)
        images.push_back(ownCopy(preview));
    if (HDRFusion<Image<unsigned char>>::compute(images, 102, 51) != 0) {
        qDebug() << "PREVIEW: Fusion failed";
        std::lock_guard<std::mutex> lock(stateMutex);
        if (generation == burstGeneration)
            previewResult = Image<unsigned char>();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (generation == burstGeneration) {
            previews = aligned;
            previewResult = images[0];
        }
    }
    qDebug() << "PREVIEW: Fusion time: " << timer.elapsed();
}

void Fuser::queueMergeJob()
{
    std::vector<Opsa::Frame> burst;
    bool save;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        burst = frames;
        save = saveInputs;
    }
    AsyncFuser::JobPtr job = std::make_shared<AsyncFuser::Job>(burst, save);
    asyncFuser.queueJob(job);
    lastJob = job;
}

void Fuser::setResolution(int aWidth, int aHeight)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    width = aWidth;
    height = aHeight;
    rebuildBurstShotsLocked();
}

void Fuser::setFixedCount(int aCount)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        autoShots = false;
        numShots = aCount;
        rebuildBurstShotsLocked();
    }
    emit numCapturesChanged(aCount);
}

void Fuser::setResLow()
{
    setResolution(640, 480);
}

void Fuser::setResMed()
{
    setResolution(1296, 984);
}

void Fuser::setResHigh()
{
    setResolution(2592, 1968);
}

void Fuser::setFormatRaw()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    format = Opsa::RAW;
    rebuildBurstShotsLocked();
}

void Fuser::setFormatRgb()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    format = Opsa::UYVY;
    rebuildBurstShotsLocked();
}

void Fuser::setTwoShots()
{
    setFixedCount(2);
}

void Fuser::setThreeShots()
{
    setFixedCount(3);
}

void Fuser::setAutoShots()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    autoShots = true;
}

void Fuser::setExpComp(int aShot, float aExp)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    if (aShot >= 0 && std::size_t(aShot) < expComp.size())
        expComp[std::size_t(aShot)] = aExp;
}

void Fuser::setSaveInputs(bool flag)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    saveInputs = flag;
}

void Fuser::setSaveInputsOn()
{
    setSaveInputs(true);
}

void Fuser::setSaveInputsOff()
{
    setSaveInputs(false);
}

void Fuser::setAutoExposure()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    for (float &factor : expComp)
        factor = 1.0f;
}
