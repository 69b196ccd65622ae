#pragma once

// The command line of duskline-merge.

#include <string>
#include <vector>

namespace merge {

struct Options
{
    std::string output;
    std::vector<std::string> inputs;
    bool align = true;
    bool full = false;
    bool verbose = false;
    float mu = 0.4f;
    float sigma = 0.2f;
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
