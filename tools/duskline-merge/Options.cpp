#include "Options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

namespace {

std::string lower(std::string aText)
{
    for (char &c : aText)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return aText;
}

bool parseFloat(const char *aText, float &aValue)
{
    if (!*aText || std::isspace(static_cast<unsigned char>(*aText)))
        return false;
    char *end = nullptr;
    errno = 0;
    const float v = std::strtof(aText, &end);
    if (*end || errno == ERANGE || !std::isfinite(v))
        return false;
    aValue = v;
    return true;
}

bool parseInt(const char *aText, int &aValue)
{
    if (!*aText || std::isspace(static_cast<unsigned char>(*aText)))
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(aText, &end, 10);
    if (*end || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    aValue = int(v);
    return true;
}

std::string quoted(const char *aText)
{
    return std::string("'") + aText + "'";
}

} // namespace

namespace merge {

const char *usageText()
{
    static const std::string text = [] {
        const core::FusionWeights d;
        char defaults[1200];
        std::snprintf(defaults, sizeof defaults,
            "Processing (the defaults were chosen by the MEF-SSIM score of the results on real\n"
            "bracketed scenes; see the README):\n"
            "      --phone         merge exactly as the camera's merge jobs do: whole-pixel\n"
            "                      warp, half-resolution fusion plus the finest detail,\n"
            "                      well-exposedness alone (mu 0.4, sigma 0.2)\n"
            "      --full          with --phone: fuse at full resolution (slower)\n"
            "      --exposure-weight W    weight of well-exposedness (default %g)\n"
            "      --saturation-weight W  weight of saturation, the spread of a pixel's\n"
            "                             channels (default %g)\n"
            "      --contrast-weight W    weight of contrast, the grey image's Laplacian\n"
            "                             (default %g)\n"
            "                      Weights are 0 (measure unused) to 10; a pixel weighs the\n"
            "                      product of its measures, each raised to its weight.\n"
            "      --exposure-optimum F, --mu F\n"
            "                      best-exposed level, a fraction of full scale (default %g;\n"
            "                      0.4 with --phone)\n"
            "      --exposure-width F, --sigma F\n"
            "                      spread of the well-exposedness (default %g; 0.2 with --phone)\n",
            double(d.exposure), double(d.saturation), double(d.contrast), double(d.optimum),
            double(d.width));
        return std::string(
                   "Usage: duskline-merge [options] -o OUTPUT INPUT1 INPUT2 [INPUT3 ...]\n"
                   "Merge bracketed photographs of one scene into one well-exposed picture.\n"
                   "\n"
                   "The inputs are 8-bit JPEG (.jpg, .jpeg), binary PPM (.ppm) or PNG (.png) "
                   "files of\n"
                   "one size. The first is the reference: the others are registered to it "
                   "before the\n"
                   "exposures are fused; an input whose registration cannot be trusted (another "
                   "scene,\n"
                   "a motion no hand-held burst makes) is named and left out. The output format "
                   "follows\n"
                   "OUTPUT's extension: .jpg, .ppm or .png. The result appears only when it is "
                   "complete.\n"
                   "\n"
                   "Options:\n"
                   "  -o, --output PATH   where to write the result (required)\n"
                   "      --no-align      fuse the inputs as they are, without registration\n"
                   "      --quality N     JPEG quality, 1 to 100 (default 95)\n"
                   "      --aligned PREFIX  also write the registered inputs as PREFIX1.ppm,\n"
                   "                      PREFIX2.ppm, ...\n"
                   "      --group N       merge consecutive groups of N inputs, one result "
                   "each;\n"
                   "                      OUTPUT (and PREFIX) must contain %d, the group "
                   "number\n"
                   "      --threads N     threads for the fusion (default: one per core)\n"
                   "  -v, --verbose       print stage timings, each input's registration "
                   "figures\n"
                   "                      and the library's log\n"
                   "  -h, --help          print this help and exit\n"
                   "      --version       print the version and exit\n"
                   "\n")
            + defaults
            + "\nExit status: 0 on success, 1 when a merge failed, 2 for a usage error.\n";
    }();
    return text.c_str();
}

std::string outputFormatOf(const std::string &aPath)
{
    const std::size_t slash = aPath.find_last_of('/');
    const std::size_t dot = aPath.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::string();
    const std::string ext = lower(aPath.substr(dot + 1));
    if (ext == "jpg" || ext == "jpeg")
        return "jpg";
    if (ext == "ppm" || ext == "png")
        return ext;
    return std::string();
}

std::string numbered(const std::string &aPattern, int aNumber)
{
    const std::size_t at = aPattern.find("%d");
    if (at == std::string::npos)
        return aPattern;
    return aPattern.substr(0, at) + std::to_string(aNumber) + aPattern.substr(at + 2);
}

Command parseOptions(int argc, char **argv, Options &aOptions, std::string &aError)
{
    enum {
        NoAlign = 256,
        Phone,
        Full,
        Mu,
        Sigma,
        ExposureWeight,
        SaturationWeight,
        ContrastWeight,
        Quality,
        Aligned,
        Group,
        Threads,
        Version
    };
    static const option longOptions[] = {
        { "output", required_argument, nullptr, 'o' },
        { "no-align", no_argument, nullptr, NoAlign },
        { "phone", no_argument, nullptr, Phone },
        { "full", no_argument, nullptr, Full },
        { "mu", required_argument, nullptr, Mu },
        { "exposure-optimum", required_argument, nullptr, Mu },
        { "sigma", required_argument, nullptr, Sigma },
        { "exposure-width", required_argument, nullptr, Sigma },
        { "exposure-weight", required_argument, nullptr, ExposureWeight },
        { "saturation-weight", required_argument, nullptr, SaturationWeight },
        { "contrast-weight", required_argument, nullptr, ContrastWeight },
        { "quality", required_argument, nullptr, Quality },
        { "aligned", required_argument, nullptr, Aligned },
        { "group", required_argument, nullptr, Group },
        { "threads", required_argument, nullptr, Threads },
        { "verbose", no_argument, nullptr, 'v' },
        { "help", no_argument, nullptr, 'h' },
        { "version", no_argument, nullptr, Version },
        { nullptr, 0, nullptr, 0 },
    };
    opterr = 0; // we word our own messages
    optind = 1;
    bool help = false, version = false;
    // The phone's merge weighs by exposure alone: a measure's weight would be ignored.
    const char *weightGiven = nullptr;
    for (;;) {
        int index = 0;
        const int opt = getopt_long(argc, argv, ":o:vh", longOptions, &index);
        if (opt == -1)
            break;
        switch (opt) {
        case 'o':
            aOptions.output = optarg;
            if (aOptions.output.empty()) {
                aError = "-o/--output needs a file name";
                return Command::UsageError;
            }
            break;
        case NoAlign:
            aOptions.align = false;
            break;
        case Phone:
            aOptions.phone = true;
            break;
        case Full:
            aOptions.full = true;
            break;
        case Mu:
            if (!parseFloat(optarg, aOptions.weights.optimum) || aOptions.weights.optimum < 0.0f
                || aOptions.weights.optimum > 1.0f) {
                aError = "--" + std::string(longOptions[index].name) + ": " + quoted(optarg)
                    + " is not a number from 0 to 1";
                return Command::UsageError;
            }
            aOptions.optimumGiven = true;
            break;
        case Sigma:
            if (!parseFloat(optarg, aOptions.weights.width) || aOptions.weights.width <= 0.0f
                || aOptions.weights.width > 1.0f) {
                aError = "--" + std::string(longOptions[index].name) + ": " + quoted(optarg)
                    + " is not a number above 0 and at most 1";
                return Command::UsageError;
            }
            // The phone's fusion takes sigma as a whole number of levels, truncated.
            if (core::levelOf(aOptions.weights.width) < 1) {
                aError = "--" + std::string(longOptions[index].name) + ": " + quoted(optarg)
                    + " is narrower than one level (1/255)";
                return Command::UsageError;
            }
            aOptions.widthGiven = true;
            break;
        case ExposureWeight:
        case SaturationWeight:
        case ContrastWeight: {
            float &weight = opt == ExposureWeight ? aOptions.weights.exposure
                : opt == SaturationWeight         ? aOptions.weights.saturation
                                                  : aOptions.weights.contrast;
            if (!parseFloat(optarg, weight) || weight < 0.0f || weight > 10.0f) {
                aError = "--" + std::string(longOptions[index].name) + ": " + quoted(optarg)
                    + " is not a number from 0 to 10";
                return Command::UsageError;
            }
            weightGiven = longOptions[index].name;
            break;
        }
        case Quality:
            if (!parseInt(optarg, aOptions.quality) || aOptions.quality < 1
                || aOptions.quality > 100) {
                aError = "--quality: " + quoted(optarg) + " is not a whole number from 1 to 100";
                return Command::UsageError;
            }
            break;
        case Aligned:
            aOptions.alignedPrefix = optarg;
            if (aOptions.alignedPrefix.empty()) {
                aError = "--aligned needs a prefix";
                return Command::UsageError;
            }
            break;
        case Group:
            if (!parseInt(optarg, aOptions.group) || aOptions.group < 2) {
                aError = "--group: " + quoted(optarg) + " is not a whole number of 2 or more";
                return Command::UsageError;
            }
            break;
        case Threads:
            if (!parseInt(optarg, aOptions.threads) || aOptions.threads < 1
                || aOptions.threads > KMaxThreads) {
                aError = "--threads: " + quoted(optarg) + " is not a whole number from 1 to "
                    + std::to_string(KMaxThreads);
                return Command::UsageError;
            }
            break;
        case 'v':
            aOptions.verbose = true;
            break;
        case 'h':
            help = true;
            break;
        case Version:
            version = true;
            break;
        case ':':
            aError = std::string("option ") + argv[optind - 1] + " needs a value";
            return Command::UsageError;
        default:
            if (optopt && optopt < 256)
                aError = std::string("unknown option -") + char(optopt);
            else
                aError = std::string("unknown option ") + argv[optind - 1];
            return Command::UsageError;
        }
    }
    if (help)
        return Command::Help;
    if (version)
        return Command::Version;
    for (int i = optind; i < argc; ++i)
        aOptions.inputs.push_back(argv[i]);

    if (aOptions.output.empty()) {
        aError = "no output file given (-o OUTPUT)";
        return Command::UsageError;
    }
    if (outputFormatOf(aOptions.output).empty()) {
        aError = aOptions.output + ": unknown output format (use .jpg, .jpeg, .ppm or .png)";
        return Command::UsageError;
    }
    if (aOptions.phone && weightGiven) {
        aError = std::string("--") + weightGiven
            + " applies to the desktop's processing, not to --phone";
        return Command::UsageError;
    }
    if (aOptions.group > 0) {
        if (aOptions.output.find("%d") == std::string::npos) {
            aError = "--group needs an output name with %d for the group number";
            return Command::UsageError;
        }
        if (aOptions.inputs.size() % std::size_t(aOptions.group) != 0) {
            aError = std::to_string(aOptions.inputs.size()) + " inputs do not make groups of "
                + std::to_string(aOptions.group);
            return Command::UsageError;
        }
        if (!aOptions.alignedPrefix.empty() && aOptions.inputs.size() > std::size_t(aOptions.group)
            && aOptions.alignedPrefix.find("%d") == std::string::npos) {
            aError = "--aligned needs a prefix with %d for the group number when --group makes "
                     "several results";
            return Command::UsageError;
        }
    }
    return Command::Merge;
}

} // namespace merge
