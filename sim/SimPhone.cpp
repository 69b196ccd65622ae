#include "SimPhone.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ftw.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace Opsa::Sim {

namespace {

    void makeDirs(const std::string &aPath)
    {
        for (std::size_t at = 1; at != std::string::npos; at = aPath.find('/', at + 1))
            ::mkdir(aPath.substr(0, at).c_str(), 0755);
        ::mkdir(aPath.c_str(), 0755);
    }

    std::string makeRoot(const std::string &aRoot)
    {
        if (!aRoot.empty()) {
            makeDirs(aRoot);
            return aRoot;
        }
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/duskline-phone-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error(
                "cannot make a phone root: " + std::string(std::strerror(errno)));
        return pattern;
    }

    int removeEntry(const char *aPath, const struct stat *, int, struct FTW *)
    {
        return ::remove(aPath);
    }

    // The stand-ins find the phone root from their own location (<root>/usr/sbin/lifectl), so
    // they work wherever the root is, and record the stock application's state as a file.
    const char *const KStandIn = R"(#!/bin/sh
root=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$root/var/log" "$root/var/run"
echo "$(basename "$0") $*" >> "$root/var/log/stock-camera.log"
case "$(basename "$0") $*" in
  "lifectl -k /usr/bin/viewkeeper"|"killall viewkeeper") echo stopped > "$root/var/run/viewkeeper.state" ;;
  *"lifectl "*"-o /usr/bin/viewkeeper"|"viewkeeper") echo running > "$root/var/run/viewkeeper.state" ;;
  *) echo "$(basename "$0"): unsupported arguments: $*" >&2; exit 1 ;;
esac
exit 0
)";

    void writeFile(const std::string &aPath, const std::string &aText, mode_t aMode)
    {
        std::ofstream(aPath, std::ios::trunc) << aText;
        ::chmod(aPath.c_str(), aMode);
    }

} // namespace

SimPhone::SimPhone(const SimOptions &aOptions, const std::string &aRoot, bool aSelect)
    : rootDir(makeRoot(aRoot))
    , ownsRoot(aRoot.empty())
    , selected(aSelect)
    , kern(rootDir, aOptions)
    , ph(kern, rootDir)
{
    for (const char *dir :
        { "/usr/sbin", "/usr/bin", "/var/log", "/var/run", "/tmp", "/home/user/MyDocs/DCIM" })
        makeDirs(path(dir));
    for (const char *tool : { "/usr/sbin/lifectl", "/usr/bin/killall", "/usr/bin/viewkeeper" })
        writeFile(path(tool), KStandIn, 0755);
    if (::access(path("/var/run/viewkeeper.state").c_str(), F_OK) != 0)
        writeFile(path("/var/run/viewkeeper.state"), "running\n", 0644);
    if (selected)
        Opsa::Ketto::Phone::select(&ph);
}

SimPhone::~SimPhone()
{
    if (selected)
        Opsa::Ketto::Phone::select(nullptr);
    if (ownsRoot)
        ::nftw(rootDir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool SimPhone::stockCameraRunning() const
{
    std::ifstream in(path("/var/run/viewkeeper.state"));
    std::string state;
    in >> state;
    return state == "running";
}

std::vector<std::string> SimPhone::stockCameraLog() const
{
    std::vector<std::string> lines;
    std::ifstream in(path("/var/log/stock-camera.log"));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace Opsa::Sim
