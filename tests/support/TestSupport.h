#pragma once

// Helpers shared by the test suites.

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// The folder of bracketed bursts of real scenes ("../shared/data" beside the project, or
// $DUSKLINE_DATA), or an empty string when it is absent.
std::string dataDir();

// Path of a file in the shared data; without the shared data, of the same file among the
// samples bundled with the sources (the Flowers burst), or empty when it is not there either.
std::string dataFile(const std::string &aRelative);

// A fresh temporary directory, removed with everything in it on destruction.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return root; }
    std::string file(const std::string &aName) const { return root + "/" + aName; }

private:
    std::string root;
};

bool fileExists(const std::string &aPath);
std::string readText(const std::string &aPath);
void writeText(const std::string &aPath, const std::string &aText);
// Names of the entries of a directory, sorted; hidden ones included.
std::vector<std::string> listDir(const std::string &aPath);
// A 64 × 48 JPEG with a camera's EXIF: make "Testcam", model "T1", orientation 6, exposure
// 1/50 s at +1 EV, ISO 400, GPS latitude 48.5 N, a unique ID and a thumbnail.
constexpr const char *KCameraJpeg = DUSKLINE_SOURCE_DIR "/tests/support/camera.jpg";
// The value of an EXIF tag (a libexif ExifTag) of a JPEG file as libexif prints it, or an empty
// string when the file has no such tag.
std::string exifTag(const std::string &aPath, int aTag);

// Waits until aDone() holds, generously: under sanitizers on a loaded machine a thread can be
// far behind. False when it never did.
template <typename F> bool eventually(F aDone, int aSeconds = 60)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(aSeconds);
    while (!aDone()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace testsupport

// Skips the current test with a clear message when the shared data is absent.
#define REQUIRE_SHARED_DATA()                                                                      \
    do {                                                                                           \
        if (testsupport::dataDir().empty())                                                        \
            GTEST_SKIP() << "shared test data not found (expected ../shared/data beside the "      \
                            "project, or $DUSKLINE_DATA)";                                         \
    } while (0)

// Skips the test unless testsupport::dataFile(aRelative) exists.
#define REQUIRE_DATA_FILE(aRelative)                                                               \
    do {                                                                                           \
        if (!testsupport::fileExists(testsupport::dataFile(aRelative)))                            \
            GTEST_SKIP() << "test data " << (aRelative)                                            \
                         << " not found (expected in "                                             \
                            "../shared/data beside the project, or $DUSKLINE_DATA)";               \
    } while (0)
