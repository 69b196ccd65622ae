#include "Opsa/Ketto/PhonePath.h"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

namespace Opsa::Ketto {

#ifdef DUSKLINE_PHONE

std::string phonePath(const std::string &aPhonePath)
{
    return aPhonePath;
}

void setPhoneRoot(const std::string &) { }

std::string phoneRoot()
{
    return std::string();
}

#else

namespace {

    std::mutex rootMutex;
    bool rootChosen = false; // guarded by rootMutex
    std::string chosenRoot; // guarded by rootMutex; "" for "/", where paths map to themselves

    std::string defaultRoot()
    {
        // The user's data directory as the XDG base directory rules define it: a relative
        // $XDG_DATA_HOME is ignored.
        const char *data = std::getenv("XDG_DATA_HOME");
        if (data && data[0] == '/')
            return std::string(data) + "/duskline/phone";
        const char *home = std::getenv("HOME");
        std::string base;
        if (home && home[0])
            base = home;
        else if (const struct passwd *entry = getpwuid(getuid()))
            base = entry->pw_dir;
        else
            base = "/tmp";
        return base + "/.local/share/duskline/phone";
    }

} // namespace

std::string phoneRoot()
{
    std::lock_guard<std::mutex> guard(rootMutex);
    return rootChosen ? chosenRoot : defaultRoot();
}

void setPhoneRoot(const std::string &aRoot)
{
    std::string root = aRoot;
    // Phone paths start with "/"; a root ending in one would double it.
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    std::lock_guard<std::mutex> guard(rootMutex);
    rootChosen = !aRoot.empty();
    chosenRoot = root;
}

std::string phonePath(const std::string &aPhonePath)
{
    std::string root = phoneRoot();
    if (aPhonePath.empty() || aPhonePath[0] != '/')
        return root + "/" + aPhonePath;
    return root + aPhonePath;
}

#endif

} // namespace Opsa::Ketto
