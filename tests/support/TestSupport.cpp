#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <libexif/exif-data.h>
#include <sstream>

namespace fs = std::filesystem;

namespace testsupport {

std::string dataDir()
{
    const char *env = std::getenv("DUSKLINE_DATA");
    std::string dir = env && *env ? env : DUSKLINE_DATA_DIR;
    std::error_code error;
    return fs::is_directory(dir, error) ? dir : std::string();
}

std::string dataFile(const std::string &aRelative)
{
    const std::string dir = dataDir();
    if (!dir.empty())
        return dir + "/" + aRelative;
    const std::string bundled = std::string(DUSKLINE_SOURCE_DIR) + "/samples/" + aRelative;
    return fileExists(bundled) ? bundled : std::string();
}

TempDir::TempDir()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/duskline-test-XXXXXX";
    if (!mkdtemp(name.data()))
        ADD_FAILURE() << "cannot create a temporary directory";
    root = name;
}

// Tests take permissions away to provoke failures: give them back on the way down.
static void removeTree(const fs::path &aPath)
{
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(aPath, error))) {
        fs::permissions(aPath, fs::perms::owner_all, fs::perm_options::add, error);
        for (const fs::directory_entry &entry : fs::directory_iterator(aPath, error))
            removeTree(entry.path());
    }
    fs::remove(aPath, error);
}

TempDir::~TempDir()
{
    if (!root.empty())
        removeTree(root);
}

bool fileExists(const std::string &aPath)
{
    std::error_code error;
    return fs::exists(aPath, error);
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
    std::ofstream(aPath, std::ios::binary) << aText;
}

std::vector<std::string> listDir(const std::string &aPath)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const fs::directory_entry &entry : fs::directory_iterator(aPath, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string exifTag(const std::string &aPath, int aTag)
{
    ExifData *data = exif_data_new_from_file(aPath.c_str());
    if (!data)
        return std::string();
    std::string value;
    if (ExifEntry *entry = exif_data_get_entry(data, ExifTag(aTag))) {
        char text[1024];
        value = exif_entry_get_value(entry, text, sizeof text);
    }
    exif_data_unref(data);
    return value;
}

} // namespace testsupport
