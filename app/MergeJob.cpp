// The merge of one burst, from its frames to its result file, on the merge thread.

#include "AsyncFuser.h"
#include "core/Algorithms"
#include "core/FileIO"
#include "core/MergePipeline"

#include <Opsa/Ketto/PhonePath.h>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <sys/stat.h>

namespace {

// File name bases held by live jobs. Names have minute resolution and no zero padding, so
// two bursts can share one; a burst must never overwrite or delete another's photographs.
std::mutex claimedMutex;
std::set<std::string> claimedBases;

bool exists(const std::string &aPath)
{
    struct stat st;
    return ::stat(aPath.c_str(), &st) == 0;
}

// A base is free when no live job holds it and no photograph of an earlier burst uses it.
std::string claimBase(const std::string &aCandidate)
{
    std::lock_guard<std::mutex> lock(claimedMutex);
    for (int n = 1;; ++n) {
        std::string base = n == 1 ? aCandidate : aCandidate + "_" + std::to_string(n);
        if (claimedBases.count(base) || exists(base + ".jpg") || exists(base + "_input1.jpg"))
            continue;
        claimedBases.insert(base);
        return base;
    }
}

void releaseBase(const std::string &aBase)
{
    std::lock_guard<std::mutex> lock(claimedMutex);
    claimedBases.erase(aBase);
}

// Whether a frame can join a burst whose reference frame (the first converted) has the given
// size and format; a frame of another size would be fused into garbage.
bool matchesReference(const Opsa::Image &aImage, int aFormat, int &aWidth, int &aHeight)
{
    if (!aImage.hasData() || aImage.type() != aFormat) {
        qDebug() << "Skipping a frame without" << (aFormat == Opsa::RAW ? "raw" : "yuv")
                 << "pixels";
        return false;
    }
    const int w = int(aImage.width()), h = int(aImage.height());
    if (aWidth < 0) {
        aWidth = w;
        aHeight = h;
    }
    if (w == aWidth && h == aHeight)
        return true;
    qDebug() << "Skipping a frame of" << w << "x" << h << "in a burst of" << aWidth << "x"
             << aHeight;
    return false;
}

} // namespace

AsyncFuser::Job::Job(
    const std::vector<Opsa::Frame> &aFrames, bool aSaveInputs, const QDateTime &aCreated)
    : frames(aFrames)
    , created(aCreated)
    , saveInputs(aSaveInputs)
    , exif(burstExifFacts(aFrames, aCreated))
    , baseName(claimBase(baseNameFor(created)))
{ }

AsyncFuser::Job::~Job()
{
    qDebug() << "Job destructor";
    if (deleted) {
        for (const std::string &path : files) {
            qDebug() << "Deleting " << QString::fromStdString(path);
            if (std::remove(path.c_str()) != 0)
                qDebug() << "Could not delete";
        }
    }
    releaseBase(baseName);
}

std::string AsyncFuser::photoDirectory()
{
    return Opsa::Ketto::phonePath("/home/user/MyDocs/DCIM/");
}

std::string AsyncFuser::baseNameFor(const QDateTime &aCreated)
{
    const QDate date = aCreated.date();
    const QTime time = aCreated.time();
    return photoDirectory() + "HDR_" + std::to_string(date.year()) + std::to_string(date.month())
        + std::to_string(date.day()) + "_" + std::to_string(time.hour())
        + std::to_string(time.minute());
}

bool AsyncFuser::writePhoto(Job &aJob, const Image<unsigned char> &aImage, const std::string &aPath,
    const core::ExifBlock *aExif)
{
    QDir().mkpath(QString::fromStdString(photoDirectory()));
    if (FileIO::writeImageAtomically(aImage, aPath.c_str(), 95, nullptr, aExif) != 0) {
        qDebug() << "Could not write" << QString::fromStdString(aPath);
        return false;
    }
    // Only files this job really wrote are recorded, so deleting the burst can never remove
    // anything else.
    aJob.files.push_back(aPath);
    return true;
}

void AsyncFuser::writeResult(Job &aJob, const Image<unsigned char> &aImage)
{
    const core::ExifBlock exif = core::resultExif({}, aJob.exif, aImage.width(), aImage.height());
    writePhoto(aJob, aImage, aJob.resultPath(), exif.empty() ? nullptr : &exif);
}

void AsyncFuser::processYuv(Job &aJob)
{
    qDebug() << "Starting a yuv job";
    QElapsedTimer total, stage;
    total.start();
    stage.start();
    std::vector<Image<unsigned char>> images;
    int p = 0;
    int width = -1, height = -1;
    while (!aJob.frames.empty() && !aJob.deleted) {
        const Opsa::Image &source = aJob.frames.back().image();
        bool converted = false;
        if (matchesReference(source, Opsa::UYVY, width, height)) {
            Image<unsigned char> rgb(width, height, 3);
            if (rgb.empty()) {
                qDebug() << "Out of memory converting a frame of" << width << "x" << height;
            } else {
                convertUyvyToRgb(width, height, source.data(), rgb.data(), 1);
                images.push_back(rgb);
                converted = true;
            }
        }
        aJob.frames.pop_back();
        if (converted && aJob.saveInputs)
            writePhoto(aJob, images.back(), aJob.inputPath(int(images.size())));
        p += 5;
        emit percentDone(p);
    }
    qDebug() << "Time to convert the images " << stage.restart();
    if (images.empty()) {
        qDebug() << "No frame of the burst could be merged";
        return;
    }

    // The desktop merge tool runs the same merge; the job adds its progress and stops when
    // the user deletes the burst.
    core::MergeSettings settings;
    settings.mu = aJob.mu;
    settings.sigma = aJob.sigma;
    const int merged = core::mergeBurst(images, settings, [&](core::MergeStage aStage, double) {
        if (aStage == core::MergeStage::Register) {
            qDebug() << "Time to register " << stage.restart();
            emit percentDone(p + 20);
        } else {
            qDebug() << "Time to fuse " << stage.restart();
            emit percentDone(95);
        }
        return !aJob.deleted;
    });
    if (merged != 0)
        return;
    writeResult(aJob, images[0]);
    qDebug() << "TOTAL TIME FOR YUV PROCESSING " << total.elapsed();
    emit percentDone(100);
}

void AsyncFuser::processRaw(Job &aJob)
{
    qDebug() << "Starting a raw job";
    QElapsedTimer total, stage;
    total.start();
    stage.start();
    std::vector<Image<short>> images;
    int p = 0;
    int width = -1, height = -1;
    while (!aJob.frames.empty()) {
        const Opsa::Frame &frame = aJob.frames.back();
        if (matchesReference(frame.image(), Opsa::RAW, width, height)) {
            Image<short> packed = raw_to_four_channel(frame);
            if (!packed.empty())
                images.push_back(packed);
        }
        aJob.frames.pop_back();
        p += 5;
        emit percentDone(p);
    }
    qDebug() << "Time to pack images " << stage.restart();
    if (images.empty()) {
        qDebug() << "No frame of the burst could be merged";
        return;
    }

    if (registerImages(images, 1024, 10, 4, 1) == -1)
        qDebug() << "Registration failed";
    emit percentDone(p + 20);
    qDebug() << "Time to register packed images " << stage.restart();

    const short mu = static_cast<short>(aJob.mu * 1024.0f);
    const short sigma = static_cast<short>(aJob.sigma * 1024.0f);
    if (HDRFusion<Image<short>>::compute(images, mu, sigma) != 0) {
        // images[0] holds scratch: writing it would store a picture that is not the burst.
        qDebug() << "Could not fuse the burst";
        return;
    }
    emit percentDone(90);
    qDebug() << "Time to fuse " << stage.restart();

    Image<unsigned char> rgb = demosaicPacked(images[0]);
    images.clear();
    emit percentDone(95);
    qDebug() << "Time for final demosaic " << stage.restart();

    writeResult(aJob, rgb);
    emit percentDone(100);
    qDebug() << "TOTAL TIME FOR RAW PROCESING: " << total.elapsed();
}

void convertUyvyToRgb(
    int aWidth, int aHeight, const unsigned char *aSrc, unsigned char *aDst, int aFactor)
{
    if (aFactor < 1)
        aFactor = 1;
    const int outWidth = aWidth / aFactor;
    const int outHeight = aHeight / aFactor;
    const std::size_t srcRow = std::size_t(aWidth) * 2;
    auto clamp = [](int aValue) -> unsigned char {
        return static_cast<unsigned char>(aValue < 0 ? 0 : (aValue > 255 ? 255 : aValue));
    };
    for (int r = 0; r < outHeight; ++r) {
        const unsigned char *src = aSrc + srcRow * std::size_t(r) * aFactor;
        unsigned char *dst = aDst + std::size_t(r) * outWidth * 3;
        for (int x = 0; x < outWidth; x += 2) {
            const unsigned char *pair = src + std::size_t(x / 2) * aFactor * 4;
            const int u = pair[0], v = pair[2];
            const int dr = (359 * v - 45952) >> 8;
            const int dg = (88 * u + 183 * v - 34688) >> 8;
            const int db = (454 * u - 58112) >> 8;
            for (int k = 0; k < 2 && x + k < outWidth; ++k) {
                const int y = pair[1 + 2 * k];
                unsigned char *out = dst + std::size_t(x + k) * 3;
                out[0] = clamp(y + dr);
                out[1] = clamp(y - dg);
                out[2] = clamp(y + db);
            }
        }
    }
}
