// duskline-merge: registers and fuses bracketed photographs on a desktop: by default with the
// desktop's processing, with --phone exactly as the camera application merges its bursts.

#include "Options.h"
#include "Photographs.h"
#include "core/AtomicFile"
#include "core/DesktopMerge"
#include "core/MergePipeline"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char *const KProgram = "duskline-merge";

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point aStart)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - aStart).count();
}

// Whether the batch's progress line is on the terminal: a message replaces it.
bool progressShown = false;

void clearProgress()
{
    if (progressShown)
        std::fputs("\r\033[K", stderr);
    progressShown = false;
}

void fail(const std::string &aWhat, const std::string &aReason)
{
    clearProgress();
    std::fprintf(stderr, "%s: %s: %s\n", KProgram, aWhat.c_str(), aReason.c_str());
}

// One updating line on the terminal: which group of how many is merged, and its files, cut to
// the terminal's width.
void showProgress(int aGroup, int aGroups, const std::vector<std::string> &aInputs)
{
    std::string line
        = "Merging group " + std::to_string(aGroup) + " of " + std::to_string(aGroups) + ":";
    for (const std::string &input : aInputs)
        line += " " + input;
    winsize size {};
    const std::size_t columns
        = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col : 80;
    if (line.size() >= columns)
        line = line.substr(0, columns - 4) + "...";
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    progressShown = true;
}

class Tool
{
public:
    explicit Tool(const merge::Options &aOptions)
        : options(aOptions)
    { }

    // Merges one burst into aOutput; false after the error message.
    bool mergeGroup(const std::vector<std::string> &aInputs, const std::string &aOutput,
        const std::string &aAlignedPrefix)
    {
        const Clock::time_point start = Clock::now();
        core::ExifBlock exif;
        std::string turned, reason;
        if (!merge::readReferenceExif(aInputs, exif, turned, reason)) {
            fail(turned, reason);
            return false;
        }
        std::vector<Image<unsigned char>> images;
        std::vector<std::string> reasons;
        std::string log;
        const int failed = merge::loadPhotographs(aInputs, images, reasons, log);
        show(log);
        if (failed > 0) {
            for (std::size_t i = 0; i < aInputs.size(); ++i)
                if (images[i].empty())
                    fail(aInputs[i], reasons[i]);
            return false;
        }
        for (std::size_t i = 1; i < images.size(); ++i)
            if (images[i].width() != images[0].width()
                || images[i].height() != images[0].height()) {
                fail(aInputs[i],
                    "size " + std::to_string(images[i].width()) + "x"
                        + std::to_string(images[i].height()) + " differs from "
                        + std::to_string(images[0].width()) + "x"
                        + std::to_string(images[0].height()) + " of " + aInputs[0]);
                return false;
            }
        timing("decode", millisecondsSince(start));

        const int threads = options.threads > 0
            ? options.threads
            : int(
                std::clamp(std::thread::hardware_concurrency(), 1u, unsigned(merge::KMaxThreads)));
        std::string alignedFailure;
        const bool wantAligned = !aAlignedPrefix.empty();
        std::vector<int> kept;
        // The registered photographs exist only between the two stages: the fusion takes
        // their pixels as scratch.
        auto progress = [&](core::MergeStage aStage, double aMilliseconds) {
            if (aStage == core::MergeStage::Register) {
                timing(options.align ? "register" : "register (skipped)", aMilliseconds);
                if (wantAligned)
                    alignedFailure = writeAligned(images, kept, aAlignedPrefix);
                return alignedFailure.empty();
            }
            timing(
                options.phone && !options.full ? "fuse" : "fuse (full resolution)", aMilliseconds);
            return true;
        };
        int status;
        if (options.phone) {
            core::MergeSettings settings;
            settings.align = options.align;
            settings.full = options.full;
            if (options.optimumGiven)
                settings.mu = options.weights.optimum;
            if (options.widthGiven)
                settings.sigma = options.weights.width;
            settings.threads = threads;
            for (std::size_t i = 0; i < images.size(); ++i)
                kept.push_back(int(i));
            status = core::mergeBurst(images, settings, progress);
        } else {
            core::DesktopMergeSettings settings;
            settings.align = options.align;
            settings.weights = options.weights;
            settings.threads = threads;
            std::vector<core::RegistrationConfidence> confidence;
            // Known only once registration has decided, before the registered photographs
            // are written.
            auto judged = [&](core::MergeStage aStage, double aMilliseconds) {
                if (aStage == core::MergeStage::Register && options.align)
                    judge(aInputs, confidence);
                return progress(aStage, aMilliseconds);
            };
            status = core::mergeBurstDesktop(images, settings, confidence, kept, judged);
            if (status == core::KMergeOnlyReference) {
                judge(aInputs, confidence);
                fail(aOutput,
                    "nothing to merge: no other input could be registered to " + aInputs[0]);
                return false;
            }
        }
        if (status != 0) {
            if (!alignedFailure.empty())
                return false;
            fail(aOutput, "the merge failed");
            return false;
        }

        const Clock::time_point encode = Clock::now();
        log.clear();
        reason = merge::writePhotograph(images[0], aOutput, options.quality, log, &exif);
        show(log);
        if (!reason.empty()) {
            fail(aOutput, reason);
            return false;
        }
        timing("encode", millisecondsSince(encode));
        timing("merge the burst", millisecondsSince(start));
        return true;
    }

private:
    // Names the inputs registration did not trust (they are left out) and, with -v, prints
    // every input's figures.
    void judge(const std::vector<std::string> &aInputs,
        const std::vector<core::RegistrationConfidence> &aConfidence)
    {
        for (std::size_t i = 1; i < aInputs.size() && i < aConfidence.size(); ++i) {
            const core::RegistrationConfidence &c = aConfidence[i];
            char figures[200];
            std::snprintf(figures, sizeof figures,
                "%d of %d corners found (%.0f%%), residual %.2f px, rotation %.2f deg, scale "
                "%.4f, shift %.1f, %.1f px",
                c.inliers, c.features, 100.0 * c.share, double(c.residual), double(c.rotation),
                double(c.scale), double(c.shiftX), double(c.shiftY));
            if (options.verbose)
                std::printf("Registration of %s: %s%s\n", aInputs[i].c_str(), figures,
                    c.trusted ? "" : " (not trusted)");
            if (!c.trusted)
                fail(aInputs[i],
                    std::string("left out: its registration cannot be trusted (")
                        + (c.plausible ? "" : "implausible motion; ") + figures + ")");
        }
    }

    // Writes the registered inputs (aKept: their input indices); returns an empty string or
    // reports and returns the reason.
    std::string writeAligned(const std::vector<Image<unsigned char>> &aImages,
        const std::vector<int> &aKept, const std::string &aPrefix)
    {
        for (std::size_t i = 0; i < aImages.size() && i < aKept.size(); ++i) {
            const std::string path = aPrefix + std::to_string(aKept[i] + 1) + ".ppm";
            std::string log;
            std::string reason = merge::checkWritable(path);
            if (reason.empty())
                reason = merge::writePhotograph(aImages[i], path, options.quality, log);
            show(log);
            if (!reason.empty()) {
                fail(path, reason);
                return reason;
            }
        }
        return std::string();
    }

    void timing(const char *aStage, double aMilliseconds)
    {
        if (options.verbose)
            std::printf("Time to %s: %.0f ms\n", aStage, aMilliseconds);
    }

    void show(const std::string &aLog)
    {
        if (options.verbose && !aLog.empty())
            std::fputs(aLog.c_str(), stdout);
    }

    const merge::Options &options;
};

} // namespace

int main(int argc, char **argv)
{
    merge::Options options;
    std::string error;
    switch (merge::parseOptions(argc, argv, options, error)) {
    case merge::Command::Help:
        std::fputs(merge::usageText(), stdout);
        return 0;
    case merge::Command::Version:
        std::printf("%s %s\n", KProgram, DUSKLINE_VERSION);
        return 0;
    case merge::Command::UsageError:
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", KProgram,
            error.c_str(), KProgram);
        return 2;
    case merge::Command::Merge:
        break;
    }
    const std::string overwritten = merge::overwrittenInput(options);
    if (!overwritten.empty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", KProgram,
            overwritten.c_str(), KProgram);
        return 2;
    }
    // A merge stopped by a signal takes its half-written result with it.
    core::removeTemporariesOnSignals();
    if (options.inputs.size() < 2) {
        std::fprintf(stderr, "%s: at least two input images are needed, %zu given\n", KProgram,
            options.inputs.size());
        return 1;
    }

    // Quiet unless asked: the image library logs every stage on standard output.
    if (!options.verbose) {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }

    const std::size_t groupSize
        = options.group > 0 ? std::size_t(options.group) : options.inputs.size();
    const int groups = int(options.inputs.size() / groupSize);
    // Refuse an unwritable destination before spending any time on the merge.
    for (int g = 1; g <= groups; ++g) {
        const std::string output
            = options.group > 0 ? merge::numbered(options.output, g) : options.output;
        const std::string reason = merge::checkWritable(output);
        if (!reason.empty()) {
            fail(output, reason);
            return 1;
        }
    }

    Tool tool(options);
    // A batch can run for minutes; a log or a pipe gets no progress.
    const bool batchProgress = groups > 1 && isatty(STDERR_FILENO);
    bool ok = true;
    for (int g = 1; g <= groups; ++g) {
        const auto first = options.inputs.begin() + std::ptrdiff_t((g - 1) * groupSize);
        const std::vector<std::string> inputs(first, first + std::ptrdiff_t(groupSize));
        const bool grouped = options.group > 0;
        const std::string output = grouped ? merge::numbered(options.output, g) : options.output;
        const std::string prefix
            = grouped ? merge::numbered(options.alignedPrefix, g) : options.alignedPrefix;
        if (batchProgress)
            showProgress(g, groups, inputs);
        ok = tool.mergeGroup(inputs, output, prefix) && ok;
    }
    clearProgress();
    std::fflush(stdout);
    return ok ? 0 : 1;
}
