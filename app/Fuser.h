#pragma once

// Fuser: the capture settings and everything one burst needs. It keeps the two viewfinder
// shots from which the bracket is metered, turns them into the shots of the next burst,
// publishes the bracket's width in stops and the number of photographs, holds the frames the
// capture loop collects with their previews and quick fused preview, and owns the background
// merge thread.
//
// Thread: the slots, the previews and queueMergeJob run in the GUI thread; configureShots,
// the metering operations and the appends to frames run in the capture thread. Every member
// function below takes stateMutex for the moment it reads or writes the shared state (shots,
// compensation, frames, previews, settings) and never holds it while converting, registering
// or fusing images, nor while emitting a signal: the GUI thread works on snapshots and the
// capture loop is never kept waiting behind slow work. The public fields may be touched
// directly only while no capture loop runs (or under stateMutex). The signals are emitted from
// the capture thread and reach the capture screen by queued connection.

#include "AsyncFuser.h"
#include "core/Image"

#include <Opsa/Frame.h>
#include <Opsa/Shot.h>
#include <QObject>
#include <mutex>
#include <vector>

class Fuser : public QObject
{
    Q_OBJECT

public:
    // Builds the two viewfinder shots and aNumShots burst shots of aWidth × aHeight in
    // aFormat (Opsa::UYVY or Opsa::RAW); input photographs are not saved and the number of
    // photographs is chosen from the metered bracket.
    Fuser(int aWidth, int aHeight, int aFormat, int aNumShots, QObject *aParent = nullptr);

    // Plans the burst from the metered viewfinder shots (index 0 long, the last short): with
    // automatic counting the number of photographs follows the bracket and fresh burst shots
    // (and an empty burst state) are made; the burst runs from the long exposure to the short
    // one, a middle photograph at their geometric mean, every shot with aFrameTime (µs).
    void configureShots(std::vector<Opsa::Shot> &aViewfinder, int aFrameTime);

    // Automatic metering of viewfinder shot aWhich on aFrame's histogram (see meter()), then
    // records the metered exposures as the base for manual compensation and publishes the
    // bracket. Returns whether a shot was changed.
    bool meterViewfinder(std::vector<Opsa::Shot> &aViewfinder, const Opsa::Frame &aFrame,
        int aWhich, int aExposureLimit, float aMaxGain, int aMaxExposure, float aSmoothing);

    // Manual exposures: each viewfinder shot's exposure becomes its base exposure times its
    // compensation factor (gain and frame time untouched); then publishes the bracket.
    void applyExposureCompensation(std::vector<Opsa::Shot> &aViewfinder);

    // Empties the burst state (burst shots, frames, previews, fused preview) and builds
    // numShots burst shots of the current size and format.
    void rebuildBurstShots();

    // Makes a preview of every collected frame of the burst's size: downscaled by 2 above 640
    // pixels and by 4 above 1296 (raw frames by at least 2). Frames of another size, without
    // pixels or of another format are skipped with a log line.
    void loadPreviews();

    // Registers the previews (loading them first if there are none) and fuses them into
    // previewResult. Without any preview, previewResult is left empty.
    void computePreview();

    // Hands the collected frames to the merge thread as a new job and makes it lastJob; the
    // previous job is let go (and removes its files then, if the user deleted that burst).
    void queueMergeJob();

    // ---- the capture loop's side (thread: capture)
    // Plans the burst from the viewfinder shots with aFrameTime (configureShots), empties the
    // burst state and returns copies of the burst shots to submit. Each copy has an id of its
    // own, so the frames of this submission are told apart from those of any earlier one.
    std::vector<Opsa::Shot> planBurst(int aFrameTime);
    // Appends a frame of the burst; returns the number collected.
    int addFrame(const Opsa::Frame &aFrame);

    // ---- snapshots for either thread
    // The viewfinder shots, with their own ids (the sensor's frames carry them).
    std::vector<Opsa::Shot> viewfinderSnapshot() const;
    // The frames collected so far for the current burst.
    std::vector<Opsa::Frame> collectedFrames() const;
    // The previews and the fused preview of the current burst.
    std::vector<Image<unsigned char>> previewImages() const;
    Image<unsigned char> fusedPreview() const;

    // The bracket in stops between the first and the last shot of aShots (exposure × gain),
    // 0 when a product is not positive.
    static float bracketStops(const std::vector<Opsa::Shot> &aShots);
    // Number of photographs for a bracket of aStops: 1 up to 1.5, 2 below 3, else 3.
    static int photosForBracket(float aStops);

    // Always two: index 0 the long exposure (metered on the shadows), 1 the short one (metered
    // on the highlights). Their images are 640 × 480 UYVY buffers of their own into which
    // viewfinder frames are delivered.
    std::vector<Opsa::Shot> viewfinderShots;
    // Exposure compensation factor per viewfinder shot; 1.0 means automatic.
    std::vector<float> expComp;
    // Exposure (µs) per viewfinder shot found by the last automatic metering.
    std::vector<int> baseExposures;
    // The shots of the next burst, one per photograph.
    std::vector<Opsa::Shot> burstShots;
    // The frames collected for the current burst.
    std::vector<Opsa::Frame> frames;
    // Downscaled RGB previews of the collected frames.
    std::vector<Image<unsigned char>> previews;
    // The fused preview.
    Image<unsigned char> previewResult;
    // Size and format (Opsa::UYVY or Opsa::RAW) of the burst photographs.
    int width;
    int height;
    int format;
    // Photographs in the burst: 1, 2 or 3.
    int numShots;
    int viewfinderWidth = 640;
    int viewfinderHeight = 480;
    AsyncFuser asyncFuser;
    // The most recently queued merge job; empty until the first burst is queued.
    AsyncFuser::JobPtr lastJob;
    // Write the input photographs next to the result (copied into each job).
    bool saveInputs = false;
    // Choose the number of photographs from the metered bracket.
    bool autoShots = true;
    // Guards every field above but asyncFuser and lastJob (GUI thread only); see the class
    // comment.
    mutable std::mutex stateMutex;

signals:
    // The bracket in whole stops.
    void exposureBracketChanged(int aStops);
    // The number of photographs of the next burst.
    void numCapturesChanged(int aCount);

public slots:
    void setResLow();
    void setResMed();
    void setResHigh();
    void setFormatRaw();
    void setFormatRgb();
    void setTwoShots();
    void setThreeShots();
    void setAutoShots();
    // Sets the compensation factor of viewfinder shot aShot; an unknown shot is ignored.
    void setExpComp(int aShot, float aExp);
    void setSaveInputs(bool flag);
    void setSaveInputsOn();
    void setSaveInputsOff();
    // Every compensation factor back to 1.0 (automatic).
    void setAutoExposure();

private:
    // Emits the bracket signals; called without stateMutex.
    void publishBracket(float aStops, bool aAutoShots);
    // The same operations for a caller that holds stateMutex.
    void configureShotsLocked(std::vector<Opsa::Shot> &aViewfinder, int aFrameTime);
    void rebuildBurstShotsLocked();
    void clearBurstLocked();
    void setResolution(int aWidth, int aHeight);
    void setFixedCount(int aCount);

    // Counts the bursts begun: previews made from an older burst's frames are not stored.
    unsigned burstGeneration = 0;
};
