#include "Options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
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
    return "Usage: duskline-merge [options] -o OUTPUT INPUT1 INPUT2 [INPUT3 ...]\n"
           "Merge bracketed photographs of one scene into one well-exposed picture.\n"
           "\n"
           "The inputs are 8-bit JPEG (.jpg, .jpeg), binary PPM (.ppm) or PNG (.png) files of\n"
           "one size. The first is the reference: the others are registered to it before the\n"
           "exposures are fused. The output format follows OUTPUT's extension: .jpg, .ppm or\n"
           ".png. The result appears only when it is complete.\n"
           "\n"
           "Options:\n"
           "  -o, --output PATH   where to write the result (required)\n"
           "      --no-align      fuse the inputs as they are, without registration\n"
           "      --full          fuse at full resolution (slower)\n"
           "      --mu F          best-exposed level, a fraction of full scale (default 0.4)\n"
           "      --sigma F       spread of the exposure weighting (default 0.2)\n"
           "      --quality N     JPEG quality, 1 to 100 (default 95)\n"
           "      --aligned PREFIX  also write the registered inputs as PREFIX1.ppm,\n"
           "                      PREFIX2.ppm, ...\n"
           "      --group N       merge consecutive groups of N inputs, one result each;\n"
           "                      OUTPUT (and PREFIX) must contain %d, the group number\n"
           "      --threads N     threads for the fusion (default: one per core)\n"
           "  -v, --verbose       print stage timings and the library's log\n"
           "  -h, --help          print this help and exit\n"
           "      --version       print the version and exit\n"
           "\n"
           "Exit status: 0 on success, 1 when a merge failed, 2 for a usage error.\n";
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
    enum { NoAlign = 256, Full, Mu, Sigma, Quality, Aligned, Group, Threads, Version };
    static const option longOptions[] = {
        { "output", required_argument, nullptr, 'o' },
        { "no-align", no_argument, nullptr, NoAlign },
        { "full", no_argument, nullptr, Full },
        { "mu", required_argument, nullptr, Mu },
        { "sigma", required_argument, nullptr, Sigma },
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
        case Full:
            aOptions.full = true;
            break;
        case Mu:
            if (!parseFloat(optarg, aOptions.mu) || aOptions.mu < 0.0f || aOptions.mu > 1.0f) {
                aError = "--mu: " + quoted(optarg) + " is not a number from 0 to 1";
                return Command::UsageError;
            }
            break;
        case Sigma:
            if (!parseFloat(optarg, aOptions.sigma) || aOptions.sigma <= 0.0f
                || aOptions.sigma > 1.0f) {
                aError = "--sigma: " + quoted(optarg) + " is not a number above 0 and at most 1";
                return Command::UsageError;
            }
            // The fusion takes sigma as a whole number of levels, truncated.
            if (static_cast<int>(aOptions.sigma * 255.0f) < 1) {
                aError = "--sigma: " + quoted(optarg) + " is narrower than one level (1/255)";
                return Command::UsageError;
            }
            break;
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
