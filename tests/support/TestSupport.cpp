#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

std::vector<unsigned char> cameraExif(int aOrientation)
{
    ExifData *data = exif_data_new();
    const ExifByteOrder order = exif_data_get_byte_order(data);
    auto add = [&](ExifIfd aIfd, ExifTag aTag, ExifFormat aFormat, unsigned aCount) {
        ExifEntry *entry = exif_entry_new();
        entry->tag = aTag;
        entry->format = aFormat;
        entry->components = aCount;
        entry->size = exif_format_get_size(aFormat) * aCount;
        entry->data = static_cast<unsigned char *>(std::calloc(1, entry->size));
        exif_content_add_entry(data->ifd[aIfd], entry);
        exif_entry_unref(entry);
        return entry->data;
    };
    auto text = [&](ExifIfd aIfd, ExifTag aTag, const std::string &aText) {
        std::memcpy(add(aIfd, aTag, EXIF_FORMAT_ASCII, unsigned(aText.size() + 1)), aText.c_str(),
            aText.size() + 1);
    };
    text(EXIF_IFD_0, EXIF_TAG_MAKE, "Testcam");
    text(EXIF_IFD_0, EXIF_TAG_MODEL, "T1");
    exif_set_short(add(EXIF_IFD_0, EXIF_TAG_ORIENTATION, EXIF_FORMAT_SHORT, 1), order,
        ExifShort(aOrientation));
    exif_set_rational(add(EXIF_IFD_EXIF, EXIF_TAG_EXPOSURE_TIME, EXIF_FORMAT_RATIONAL, 1), order,
        ExifRational { 1, 50 });
    exif_set_srational(add(EXIF_IFD_EXIF, EXIF_TAG_EXPOSURE_BIAS_VALUE, EXIF_FORMAT_SRATIONAL, 1),
        order, ExifSRational { 1, 1 });
    exif_set_short(
        add(EXIF_IFD_EXIF, EXIF_TAG_ISO_SPEED_RATINGS, EXIF_FORMAT_SHORT, 1), order, 400);
    text(EXIF_IFD_EXIF, EXIF_TAG_IMAGE_UNIQUE_ID, "0123456789abcdef0123456789abcdef");
    std::memcpy(add(EXIF_IFD_EXIF, EXIF_TAG_MAKER_NOTE, EXIF_FORMAT_UNDEFINED, 8), "TESTNOTE", 8);
    text(EXIF_IFD_GPS, ExifTag(EXIF_TAG_GPS_LATITUDE_REF), "N");
    static const unsigned char KThumbnail[] = { 0xff, 0xd8, 0xff, 0xd9 };
    data->data = static_cast<unsigned char *>(std::malloc(sizeof KThumbnail));
    std::memcpy(data->data, KThumbnail, sizeof KThumbnail);
    data->size = sizeof KThumbnail;
    unsigned char *bytes = nullptr;
    unsigned int size = 0;
    exif_data_save_data(data, &bytes, &size);
    std::vector<unsigned char> block(bytes, bytes + size);
    std::free(bytes);
    exif_data_unref(data);
    return block;
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
