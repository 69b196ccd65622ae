#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

std::string dataDir()
{
    const char *env = std::getenv("DUSKLINE_DATA");
    std::string dir = env && *env ? env : DUSKLINE_DATA_DIR;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::string();
    return dir;
}

std::string dataFile(const std::string &aRelative)
{
    std::string dir = dataDir();
    return dir.empty() ? dir : dir + "/" + aRelative;
}

TempDir::TempDir()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/duskline-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        ADD_FAILURE() << "cannot create a temporary directory";
    root = name.data();
}

static void removeTree(const std::string &aPath)
{
    DIR *dir = opendir(aPath.c_str());
    if (dir) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            std::string child = aPath + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                chmod(child.c_str(), 0700);
                removeTree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(aPath.c_str());
}

TempDir::~TempDir()
{
    if (!root.empty()) {
        chmod(root.c_str(), 0700);
        removeTree(root);
    }
}

bool fileExists(const std::string &aPath)
{
    struct stat st;
    return stat(aPath.c_str(), &st) == 0;
}

std::string readText(const std::string &aPath)
{
    std::ifstream in(aPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const std::string &aPath, const std::string &aText)
{
    std::ofstream out(aPath, std::ios::binary);
    out << aText;
}

std::vector<std::string> listDir(const std::string &aPath)
{
    std::vector<std::string> names;
    DIR *dir = opendir(aPath.c_str());
    if (!dir)
        return names;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace testsupport
