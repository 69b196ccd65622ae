#pragma once

// The command line of duskline-merge.

#include "core/DesktopMerge"

#include <string>
#include <vector>

namespace merge {

struct Options
{
    std::string output;
    std::vector<std::string> inputs;
    bool align = true;
    // The phone's merge, exactly as the camera's merge jobs do it, instead of the desktop's.
    bool phone = false;
    // With phone: fuse at full resolution instead of the phone's half-resolution shortcut.
    bool full = false;
    bool verbose = false;
    // The desktop's quality weights, and its best-exposed level and spread (optimum, width),
    // which the phone's merge uses as mu and sigma where given.
    core::FusionWeights weights;
    bool optimumGiven = false;
    bool widthGiven = false;
    int quality = 95;
    // Also write each registered input as alignedPrefix + n + ".ppm" (empty: do not).
    std::string alignedPrefix;
    // Merge consecutive groups of this many inputs, one result each (0: one burst of all).
    int group = 0;
    // Threads for the fusion; 0: one per core.
    int threads = 0;
};

// More threads than this only add overhead: the fusion splits into bands of rows.
constexpr int KMaxThreads = 64;

enum class Command { Merge, Help, Version, UsageError };

// Parses the arguments (argv[0] is the program). On UsageError aError says what was wrong.
// Checks everything that needs no file: option values, the output format, the "%d" that
// --group needs. The number of inputs is left to the caller.
Command parseOptions(int argc, char **argv, Options &aOptions, std::string &aError);

// The --help text.
const char *usageText();

// The output format of a path by its extension, in any letter case: "jpg" (also for
// ".jpeg"), "ppm" or "png"; empty for anything else.
std::string outputFormatOf(const std::string &aPath);

// aPattern with its first "%d" replaced by aNumber (unchanged when it has none).
std::string numbered(const std::string &aPattern, int aNumber);

} // namespace merge
