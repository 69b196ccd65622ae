#pragma once

// AsyncFuser: the background merge thread. Every captured burst becomes a Job in a first-in,
// first-out queue; the thread merges the jobs one after another at low priority, reports the
// running job's progress and the number of unfinished jobs, and ends when the queue is empty.

#include "core/Exif"
#include "core/Image"

#include <Opsa/Frame.h>
#include <QDateTime>
#include <QThread>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class AsyncFuser : public QThread
{
    Q_OBJECT

public:
    // One burst to merge. Shared by the queue, the Fuser (its newest job) and the running
    // pipeline; the last holder to let go deletes the job's files if the user deleted the
    // burst.
    struct Job
    {
        // Copies the burst's frame handles and reserves the burst's file names, which no
        // other live job and no file already in the photo directory uses.
        // Thread: GUI.
        Job(const std::vector<Opsa::Frame> &aFrames, bool aSaveInputs,
            const QDateTime &aCreated = QDateTime::currentDateTime());
        ~Job();
        Job(const Job &) = delete;
        Job &operator=(const Job &) = delete;

        // The burst; the pipeline empties it one frame at a time from the end.
        std::vector<Opsa::Frame> frames;
        // Best-exposed level and spread of the exposure weighting, as fractions of full scale.
        float mu = 0.4f;
        float sigma = 0.2f;
        // Local date and time of creation; names the job's files.
        QDateTime created;
        // Write the converted input photographs beside the result.
        bool saveInputs;
        // Set by the user interface when the user deletes the burst: stops further work and
        // removes the job's files when the job is destroyed. Only ever goes false → true.
        std::atomic<bool> deleted { false };
        // Full paths of the files this job wrote, in order. Written by the merge thread only.
        std::vector<std::string> files;
        // What the result's EXIF says about the burst, gathered while the frames are all here.
        core::ExifFacts exif;

        // "<photo dir>HDR_<date>_<time>" plus, when that was taken, "_2", "_3", ...
        const std::string &base() const { return baseName; }
        std::string resultPath() const { return baseName + ".jpg"; }
        std::string inputPath(int aNumber) const
        {
            return baseName + "_input" + std::to_string(aNumber) + ".jpg";
        }

    private:
        std::string baseName;
    };
    typedef std::shared_ptr<Job> JobPtr;

    explicit AsyncFuser(QObject *aParent = nullptr);
    // Waits for the queued jobs to be merged.
    ~AsyncFuser() override;

    // Appends a job to the back of the queue, emits numPending with the new length and starts
    // the thread at low priority if it is not already working through the queue.
    // Thread: GUI.
    void queueJob(const JobPtr &aJob);

    // Number of jobs not yet finished, the running one included. Thread: any.
    int numJobs() const;

    // The file name base of a burst created at aCreated in the photo directory (no suffix).
    static std::string baseNameFor(const QDateTime &aCreated);

    // The phone's photo directory, mapped to this machine ("/home/user/MyDocs/DCIM/").
    static std::string photoDirectory();

signals:
    // Progress of the running job, 0...100.
    void percentDone(int aPercent);
    // Number of jobs in the queue, after one is added and after a finished one is removed.
    void numPending(int aCount);

protected:
    void run() override;

private:
    void processYuv(Job &aJob);
    void processRaw(Job &aJob);
    void writeResult(Job &aJob, const Image<unsigned char> &aImage);
    // Writes one photograph atomically (with aExif, if given) and records it in the job's
    // files. Returns success.
    bool writePhoto(Job &aJob, const Image<unsigned char> &aImage, const std::string &aPath,
        const core::ExifBlock *aExif = nullptr);

    // Guards jobs and looping; never held while a pipeline runs. A standard mutex rather than
    // a QMutex, whose futexes ThreadSanitizer cannot see.
    mutable std::mutex jobsMutex;
    std::deque<JobPtr> jobs;
    // True from the start decision until run() has seen the queue empty under jobsMutex, so
    // that a job queued meanwhile is either taken by the loop or causes a new start.
    bool looping = false;
};

// The EXIF facts of a burst's result: the job's creation time aCreated as the time it was
// taken, the camera that took the frames, Duskline and its version, and the exposure time and
// ISO-equivalent gain of the reference frame (the last of the burst, the registration's
// reference) where it carries them. Thread: any.
core::ExifFacts burstExifFacts(const std::vector<Opsa::Frame> &aFrames, const QDateTime &aCreated);

// Converts UYVY pixels (U, Y0, V, Y1 per pair) of a width × height frame to packed RGB of
// (width / aFactor) × (height / aFactor) pixels, taking every aFactor-th row and pair.
// Integer arithmetic only. Thread: any.
void convertUyvyToRgb(
    int aWidth, int aHeight, const unsigned char *aSrc, unsigned char *aDst, int aFactor);
