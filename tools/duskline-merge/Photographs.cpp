#include "Photographs.h"

#include "Options.h"
#include "core/FileIO"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::string lowerExtension(const std::string &aPath)
{
    const std::size_t slash = aPath.find_last_of('/');
    const std::size_t dot = aPath.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::string();
    std::string ext = aPath.substr(dot + 1);
    for (char &c : ext)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// The first bytes of a file, or a reason why it cannot be read.
bool readSignature(const std::string &aPath, unsigned char *aOut, std::size_t aSize,
    std::size_t &aRead, std::string &aReason)
{
    const int fd = ::open(aPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        aReason = std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        aReason = std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        aReason = S_ISDIR(st.st_mode) ? "is a folder, not an image file" : "not a regular file";
        ::close(fd);
        return false;
    }
    const ssize_t n = ::read(fd, aOut, aSize);
    ::close(fd);
    if (n < 0) {
        aReason = std::strerror(errno);
        return false;
    }
    aRead = std::size_t(n);
    return true;
}

// Library messages start with a capital; ours continue a sentence.
std::string sentenceCase(std::string aText)
{
    while (!aText.empty() && (aText.back() == '.' || aText.back() == '\n' || aText.back() == ' '))
        aText.pop_back();
    if (aText.size() > 1 && std::isupper(static_cast<unsigned char>(aText[0]))
        && std::islower(static_cast<unsigned char>(aText[1])))
        aText[0] = char(std::tolower(static_cast<unsigned char>(aText[0])));
    return aText;
}

Image<unsigned char> toRgb(unsigned char *aPixels, int aWidth, int aHeight, int aChannels)
{
    if (aChannels == 3)
        return Image<unsigned char>::adopt(aWidth, aHeight, 3, aPixels);
    Image<unsigned char> rgb(aWidth, aHeight, 3);
    if (!rgb.empty()) {
        const std::size_t n = std::size_t(aWidth) * aHeight;
        unsigned char *out = rgb.data();
        for (std::size_t i = 0; i < n; ++i, out += 3) {
            const unsigned char *in = aPixels + i * std::size_t(aChannels);
            if (aChannels < 3)
                out[0] = out[1] = out[2] = in[0];
            else
                std::memcpy(out, in, 3);
        }
    }
    delete[] aPixels;
    return rgb;
}

} // namespace

namespace merge {

// What the library said since start(); its own lock, as decoders report from several threads.
struct Captured
{
    std::mutex mutex;
    std::string text;
};

LibraryOutput::~LibraryOutput()
{
    if (captured)
        stop();
}

void LibraryOutput::start()
{
    captured = std::make_shared<Captured>();
    std::shared_ptr<Captured> target = captured;
    core::setReportSink([target](const std::string &aMessage) {
        std::lock_guard<std::mutex> lock(target->mutex);
        target->text += aMessage;
    });
}

std::string LibraryOutput::stop()
{
    if (!captured)
        return std::string();
    core::setReportSink(core::ReportSink());
    std::string text;
    {
        std::lock_guard<std::mutex> lock(captured->mutex);
        text.swap(captured->text);
    }
    captured.reset();
    return text;
}

std::string reasonFrom(
    const std::string &aLog, const std::string &aPath, const std::string &aFallback)
{
    std::string reason;
    std::size_t begin = 0;
    while (begin < aLog.size()) {
        std::size_t end = aLog.find('\n', begin);
        if (end == std::string::npos)
            end = aLog.size();
        const std::string line = aLog.substr(begin, end - begin);
        const std::size_t at = line.find(aPath);
        if (at != std::string::npos) {
            std::string rest = line.substr(at + aPath.size());
            rest.erase(0, rest.find_first_not_of(": "));
            if (!rest.empty())
                reason = rest;
        }
        begin = end + 1;
    }
    return reason.empty() ? aFallback : sentenceCase(reason);
}

Image<unsigned char> loadPhotograph(const std::string &aPath, std::string &aReason)
{
    static const unsigned char jpegMagic[] = { 0xff, 0xd8, 0xff };
    static const unsigned char pngMagic[] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n' };
    const std::string ext = lowerExtension(aPath);
    const bool jpeg = ext == "jpg" || ext == "jpeg";
    if (!jpeg && ext != "ppm" && ext != "png") {
        aReason = "unknown input format (use .jpg, .jpeg, .ppm or .png)";
        return Image<unsigned char>();
    }
    unsigned char signature[8] = { 0 };
    std::size_t got = 0;
    if (!readSignature(aPath, signature, sizeof signature, got, aReason))
        return Image<unsigned char>();
    if (got == 0) {
        aReason = "the file is empty";
        return Image<unsigned char>();
    }
    // A file whose content is not what its name says is refused here with a plain reason,
    // before any decoder sees it.
    if (jpeg && (got < 3 || std::memcmp(signature, jpegMagic, 3) != 0)) {
        aReason = "not a JPEG file";
        return Image<unsigned char>();
    }
    if (ext == "png" && (got < 8 || std::memcmp(signature, pngMagic, 8) != 0)) {
        aReason = "not a PNG file";
        return Image<unsigned char>();
    }
    if (ext == "ppm" && (got < 2 || signature[0] != 'P' || signature[1] != '6')) {
        aReason = "not a binary PPM file (P6)";
        return Image<unsigned char>();
    }

    int w = 0, h = 0, c = 0;
    unsigned char *pixels = nullptr;
    if (jpeg) {
        pixels = FileIO::readJpeg(aPath.c_str(), 0, w, h, c);
    } else if (ext == "png") {
        pixels = FileIO::readPng(aPath.c_str(), w, h, c);
    } else {
        FileIO::readPpm(aPath.c_str(), w, h, pixels);
        c = 3;
    }
    if (!pixels || w <= 0 || h <= 0) {
        delete[] pixels;
        aReason.clear(); // the caller takes the reason from the library's message
        return Image<unsigned char>();
    }
    Image<unsigned char> rgb = toRgb(pixels, w, h, c);
    if (rgb.empty())
        aReason = "out of memory";
    return rgb;
}

int loadPhotographs(const std::vector<std::string> &aPaths,
    std::vector<Image<unsigned char>> &aImages, std::vector<std::string> &aReasons,
    std::string &aLog)
{
    const std::size_t n = aPaths.size();
    aImages.assign(n, Image<unsigned char>());
    aReasons.assign(n, std::string());
    // Decoding is a good part of a merge and the photographs are independent. One thread per
    // photograph (a burst has a handful): three decodes on two cores then take one and a half
    // decode times instead of two, as no core waits for the last one alone.
    std::atomic<std::size_t> next { 0 };
    auto work = [&] {
        for (std::size_t i = next++; i < n; i = next++)
            aImages[i] = loadPhotograph(aPaths[i], aReasons[i]);
    };
    LibraryOutput output;
    output.start();
    const std::size_t helpers = std::min<std::size_t>(n, 8) - 1;
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < helpers; ++t)
        threads.emplace_back(work);
    work();
    for (auto &t : threads)
        t.join();
    aLog = output.stop();

    int failed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!aImages[i].empty())
            continue;
        ++failed;
        if (aReasons[i].empty())
            aReasons[i] = reasonFrom(aLog, aPaths[i], "cannot be decoded");
    }
    return failed;
}

std::string overwrittenInput(const Options &aOptions)
{
    const bool grouped = aOptions.group > 0;
    const std::size_t groupSize = grouped ? std::size_t(aOptions.group) : aOptions.inputs.size();
    const int groups = grouped ? int(aOptions.inputs.size() / groupSize) : 1;
    std::vector<std::string> outputs;
    for (int g = 1; g <= groups; ++g) {
        outputs.push_back(grouped ? numbered(aOptions.output, g) : aOptions.output);
        const std::string prefix
            = grouped ? numbered(aOptions.alignedPrefix, g) : aOptions.alignedPrefix;
        for (std::size_t i = 1; !prefix.empty() && i <= groupSize; ++i)
            outputs.push_back(prefix + std::to_string(i) + ".ppm");
    }
    for (const std::string &output : outputs) {
        struct stat st;
        const bool exists = stat(output.c_str(), &st) == 0;
        for (std::size_t i = 0; i < aOptions.inputs.size(); ++i) {
            const std::string &input = aOptions.inputs[i];
            struct stat in;
            if (output == input
                || (exists && stat(input.c_str(), &in) == 0 && in.st_dev == st.st_dev
                    && in.st_ino == st.st_ino))
                return output + " would overwrite the input " + input;
        }
    }
    return std::string();
}

std::string checkWritable(const std::string &aPath)
{
    struct stat st;
    if (stat(aPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return "is a folder";
    const std::size_t slash = aPath.find_last_of('/');
    const std::string folder
        = slash == std::string::npos ? "." : (slash == 0 ? "/" : aPath.substr(0, slash));
    if (stat(folder.c_str(), &st) != 0)
        return "cannot write: " + std::string(std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
        return "cannot write: " + folder + " is not a folder";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot write: " + std::string(std::strerror(errno));
    return std::string();
}

bool readReferenceExif(const std::vector<std::string> &aInputs, core::ExifBlock &aExif,
    std::string &aInput, std::string &aReason)
{
    int reference = 0;
    for (std::size_t i = 0; i < aInputs.size(); ++i) {
        const std::string ext = lowerExtension(aInputs[i]);
        core::ExifBlock exif;
        if (ext == "jpg" || ext == "jpeg")
            exif = core::readExif(aInputs[i].c_str());
        const int orientation = core::exifOrientation(exif);
        if (i == 0) {
            aExif = exif;
            reference = orientation;
        } else if (orientation != reference) {
            aInput = aInputs[i];
            aReason = "its orientation (EXIF " + std::to_string(orientation) + ") differs from "
                + std::to_string(reference) + " of " + aInputs[0]
                + "; turn the photographs alike first";
            return false;
        }
    }
    return true;
}

std::string writePhotograph(const Image<unsigned char> &aImage, const std::string &aPath,
    int aQuality, std::string &aLog, const core::ExifBlock *aReferenceExif)
{
    const std::string format = outputFormatOf(aPath);
    if (format.empty())
        return "unknown output format (use .jpg, .jpeg, .ppm or .png)";
    LibraryOutput output;
    output.start();
    core::ExifBlock exif;
    if (aReferenceExif && format == "jpg") {
        core::ExifFacts facts;
        facts.software = std::string("duskline-merge ") + DUSKLINE_VERSION;
        exif = core::resultExif(*aReferenceExif, facts, aImage.width(), aImage.height());
    }
    // The image library knows the extensions in two spellings (jpg/JPG): any other (.jpeg,
    // .Jpg) is written in the format its lower-case form names.
    const std::string formatName = "result." + format;
    const int result = FileIO::writeImageAtomically(
        aImage, aPath.c_str(), aQuality, formatName.c_str(), exif.empty() ? nullptr : &exif);
    aLog += output.stop();
    if (result == 0)
        return std::string();
    // The library's last line names the system's reason after the last ": ".
    std::string last = aLog;
    while (!last.empty() && last.back() == '\n')
        last.pop_back();
    const std::size_t lineStart = last.find_last_of('\n');
    if (lineStart != std::string::npos)
        last.erase(0, lineStart + 1);
    const std::size_t colon = last.rfind(": ");
    return "cannot write"
        + (colon == std::string::npos ? std::string()
                                      : ": " + sentenceCase(last.substr(colon + 2)));
}

} // namespace merge
