#pragma once

// Reading the inputs and writing the results of duskline-merge. Every failure comes back as a
// short reason ("not a JPEG file", "the data ends early") for the tool's one-line message; the
// image library's own log lines are caught and shown only when asked for.

#include "core/Exif"
#include "core/Image"

#include <memory>
#include <string>
#include <vector>

namespace merge {

struct Options;

// Catches the image library's messages between start() and stop(), so that they can be turned
// into reasons (and shown or not). Thread: one at a time; the capture holds for the whole
// process (every thread's messages), so start and stop it around whole stages.
struct Captured;

class LibraryOutput
{
public:
    LibraryOutput() = default;
    ~LibraryOutput();
    LibraryOutput(const LibraryOutput &) = delete;
    LibraryOutput &operator=(const LibraryOutput &) = delete;

    void start();
    // Ends the capture and returns what was printed since start().
    std::string stop();

private:
    std::shared_ptr<Captured> captured;
};

// Decodes one input as 8-bit RGB by its extension in any letter case (.jpg, .jpeg, .ppm,
// .png); grey inputs are spread to three channels and an alpha channel is dropped. Returns an
// empty image and sets aReason when the file cannot be read. Thread: any.
Image<unsigned char> loadPhotograph(const std::string &aPath, std::string &aReason);

// Decodes aPaths on one thread each (at most eight). aImages and aReasons get one entry per path;
// aLog gets the library's messages (only wanted in verbose mode). Returns the number that failed.
int loadPhotographs(const std::vector<std::string> &aPaths,
    std::vector<Image<unsigned char>> &aImages, std::vector<std::string> &aReasons,
    std::string &aLog);

// Whether a file the tool would write (a result, a registered input) is one of the inputs,
// under any name: the message saying which, or an empty string.
std::string overwrittenInput(const Options &aOptions);

// Checks, before any work, that a result can be written at aPath: its folder exists and is
// writable and aPath is not a folder. Returns an empty string or the reason.
std::string checkWritable(const std::string &aPath);

// Reads the EXIF of the JPEG inputs (other formats carry none, which counts as upright) and
// puts the reference's (the first input's) in aExif. Inputs turned differently cannot be
// merged pixel on pixel: returns false, with the input and the reason, for the first input whose
// orientation differs from the reference's.
bool readReferenceExif(const std::vector<std::string> &aInputs, core::ExifBlock &aExif,
    std::string &aInput, std::string &aReason);

// Writes aImage to aPath in the format of its extension (any letter case; .jpeg is JPEG) so
// that aPath appears only when complete. A JPEG result gets the EXIF of the reference input,
// aReferenceExif, as a merged result should (core::resultExif), when that is given. Returns an
// empty string or the reason; aLog gets the library's messages.
std::string writePhotograph(const Image<unsigned char> &aImage, const std::string &aPath,
    int aQuality, std::string &aLog, const core::ExifBlock *aReferenceExif = nullptr);

// The reason a library message gives for aPath: the text after the path in the last line that
// names it, or aFallback.
std::string reasonFrom(
    const std::string &aLog, const std::string &aPath, const std::string &aFallback);

} // namespace merge
