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

void Fuser::publishBracket(const std::vector<Opsa::Shot> &aViewfinder)
{
    const float stops = bracketStops(aViewfinder);
    emit exposureBracketChanged(int(std::lround(stops)));
    if (autoShots)
        emit numCapturesChanged(photosForBracket(stops));
}

void Fuser::configureShots(std::vector<Opsa::Shot> &aViewfinder, int aFrameTime)
{
    if (aViewfinder.size() < 2) {
        qDebug() << "Cannot plan a burst from" << aViewfinder.size() << "viewfinder shots";
        return;
    }
    if (autoShots) {
        numShots = photosForBracket(bracketStops(aViewfinder));
        rebuildBurstShots();
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
    const bool changed
        = meter(aViewfinder, aFrame, aWhich, aExposureLimit, aMaxGain, aMaxExposure, aSmoothing);
    baseExposures.resize(aViewfinder.size());
    for (std::size_t i = 0; i < aViewfinder.size(); ++i)
        baseExposures[i] = aViewfinder[i].exposure;
    publishBracket(aViewfinder);
    return changed;
}

void Fuser::applyExposureCompensation(std::vector<Opsa::Shot> &aViewfinder)
{
    for (std::size_t i = 0;
         i < aViewfinder.size() && i < baseExposures.size() && i < expComp.size(); ++i)
        aViewfinder[i].exposure = truncateToInt(double(float(baseExposures[i]) * expComp[i]));
    publishBracket(aViewfinder);
}

void Fuser::rebuildBurstShots()
{
    burstShots.clear();
    frames.clear();
    previews.clear();
    previewResult = Image<unsigned char>();
    for (int i = 0; i < numShots; ++i) {
        Opsa::Shot shot;
        shot.image
            = Opsa::Image(width, height, Opsa::ImageFormat(format), Opsa::Image::AllocateOnCapture);
        burstShots.push_back(shot);
    }
}

void Fuser::loadPreviews()
{
    QElapsedTimer timer;
    timer.start();
    previews.clear();
    const int factor = width <= 640 ? 1 : (width <= 1296 ? 2 : 4);
    // The raw preview takes one pixel per Bayer cell at least.
    const int step = format == Opsa::RAW ? std::max(factor, 2) : factor;
    for (const Opsa::Frame &frame : frames) {
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
        previews.push_back(preview);
    }
    qDebug() << "Time to load previews: " << timer.elapsed();
}

void Fuser::computePreview()
{
    if (previews.empty())
        loadPreviews();
    if (previews.empty()) {
        qDebug() << "No previews to fuse";
        previewResult = Image<unsigned char>();
        return;
    }
    QElapsedTimer timer;
    timer.start();
    if (registerImages(previews, 512, 10, 4, 1) == -1)
        qDebug() << "Registration failed";
    qDebug() << "PREVIEW: Registration time: " << timer.restart();

    std::vector<Image<unsigned char>> images;
    images.reserve(previews.size());
    for (const Image<unsigned char> &preview : previews)
        images.push_back(ownCopy(preview));
    if (HDRFusion<Image<unsigned char>>::compute(images, 102, 51) != 0) {
        qDebug() << "PREVIEW: Fusion failed";
        previewResult = Image<unsigned char>();
        return;
    }
    previewResult = images[0];
    qDebug() << "PREVIEW: Fusion time: " << timer.elapsed();
}

void Fuser::queueMergeJob()
{
    AsyncFuser::JobPtr job = std::make_shared<AsyncFuser::Job>(frames, saveInputs);
    asyncFuser.queueJob(job);
    lastJob = job;
}

void Fuser::setResolution(int aWidth, int aHeight)
{
    width = aWidth;
    height = aHeight;
    rebuildBurstShots();
}

void Fuser::setFixedCount(int aCount)
{
    autoShots = false;
    numShots = aCount;
    rebuildBurstShots();
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
    format = Opsa::RAW;
    rebuildBurstShots();
}

void Fuser::setFormatRgb()
{
    format = Opsa::UYVY;
    rebuildBurstShots();
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
    autoShots = true;
}

void Fuser::setExpComp(int aShot, float aExp)
{
    if (aShot >= 0 && std::size_t(aShot) < expComp.size())
        expComp[std::size_t(aShot)] = aExp;
}

void Fuser::setSaveInputs(bool flag)
{
    saveInputs = flag;
}

void Fuser::setSaveInputsOn()
{
    saveInputs = true;
}

void Fuser::setSaveInputsOff()
{
    saveInputs = false;
}

void Fuser::setAutoExposure()
{
    for (float &factor : expComp)
        factor = 1.0f;
}
