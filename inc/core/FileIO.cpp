#include "core/FileIO"

#include "core/jbufsrc"

#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jerror.h>
#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>

using core::report;

namespace {

// A file being written. Every write is checked; a file that was not completed is removed
// (if it is a regular file: a device such as /dev/full is left alone) so that no truncated
// image is ever left looking like a finished one.
class OutputFile
{
public:
    explicit OutputFile(const char *aPath)
        : path(aPath)
    {
        file = std::fopen(aPath, "wb");
        if (!file) {
            report("Cannot open file %s for writing.\n", aPath);
            report("%s: %s\n", aPath, std::strerror(errno));
            return;
        }
        struct stat st;
        regular = fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
    }

    ~OutputFile()
    {
        if (file) {
            std::fclose(file);
            discard();
        }
    }

    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool isOpen() const { return file != nullptr; }
    FILE *handle() { return file; }

    bool write(const void *aData, std::size_t aSize)
    {
        if (aSize == 0 || std::fwrite(aData, 1, aSize, file) == aSize)
            return true;
        noteError();
        return false;
    }

    // Flushes and closes; returns 0, or -1 (file removed) after reporting the system error.
    int close()
    {
        int result = 0;
        if (std::fflush(file) != 0 || std::ferror(file)) {
            noteError();
            result = -1;
        }
        if (std::fclose(file) != 0 && result == 0) {
            noteError();
            result = -1;
        }
        file = nullptr;
        if (result != 0)
            discard();
        return result;
    }

    // Closes without keeping anything: the file was abandoned part-way.
    void abandon()
    {
        if (file) {
            std::fclose(file);
            file = nullptr;
        }
        discard();
    }

private:
    void noteError()
    {
        if (!reported) {
            report("Cannot write file %s: %s\n", path, std::strerror(errno ? errno : EIO));
            reported = true;
        }
    }

    void discard()
    {
        if (regular)
            std::remove(path);
        regular = false;
    }

    const char *path;
    FILE *file = nullptr;
    bool regular = false;
    bool reported = false;
};

// An input file, closed on every path.
class InputFile
{
public:
    explicit InputFile(const char *aPath) { file = std::fopen(aPath, "rb"); }
    ~InputFile()
    {
        if (file)
            std::fclose(file);
    }
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    FILE *handle() { return file; }

private:
    FILE *file = nullptr;
};

const char *extensionOf(const char *aPath)
{
    const char *dot = std::strrchr(aPath, '.');
    return dot ? dot + 1 : nullptr;
}

bool is(const char *aExtension, const char *aLower, const char *aUpper)
{
    return std::strcmp(aExtension, aLower) == 0 || std::strcmp(aExtension, aUpper) == 0;
}

// ---------------------------------------------------------------------------------------
// libjpeg: its fatal-error handler would end the process; ours jumps back to the caller,
// which cleans up and reports the library's message.

struct JpegErrors
{
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

// The most memory libjpeg may take for one image besides our pixel buffer: the coefficients of
// a progressive image of KMaxSamples samples (two bytes each) and a margin for its row buffers.
constexpr long KJpegWorkingMemory = long(2 * core::KMaxSamples + (64 << 20));

void jpegErrorExit(j_common_ptr aInfo)
{
    JpegErrors *errors = reinterpret_cast<JpegErrors *>(aInfo->err);
    (*aInfo->err->format_message)(aInfo, errors->message);
    std::longjmp(errors->jump, 1);
}

void jpegEmitMessage(j_common_ptr aInfo, int aLevel)
{
    if (aLevel >= 0)
        return; // trace messages
    JpegErrors *errors = reinterpret_cast<JpegErrors *>(aInfo->err);
    // After these the decoder goes on with samples it made up (grey, or garbage from a lost
    // Huffman sync): that is a damaged file, not a photograph. Other warnings (an unknown
    // JFIF version, stray bytes before a marker) leave the pixels intact.
    switch (aInfo->err->msg_code) {
    case JWRN_JPEG_EOF:
        std::snprintf(errors->message, sizeof errors->message, "the data ends early");
        std::longjmp(errors->jump, 1);
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
        (*aInfo->err->format_message)(aInfo, errors->message);
        std::longjmp(errors->jump, 1);
    default:
        break;
    }
    char text[JMSG_LENGTH_MAX];
    (*aInfo->err->format_message)(aInfo, text);
    if (aInfo->err->num_warnings++ == 0)
        report("JPEG warning: %s\n", text);
}

void initJpegErrors(JpegErrors &aErrors)
{
    jpeg_std_error(&aErrors.manager);
    aErrors.manager.error_exit = jpegErrorExit;
    aErrors.manager.emit_message = jpegEmitMessage;
    aErrors.message[0] = '\0';
}

// Decodes from a source that aAttach installs. Returns a new[] buffer or null after one
// message naming aWhat. Kept free of objects with destructors: it is the target of longjmp.
template <class Attach>
unsigned char *decodeJpeg(
    const char *aWhat, int aColourSpace, Attach aAttach, int &aWidth, int &aHeight, int &aChannels)
{
    aWidth = aHeight = aChannels = 0;
    jpeg_decompress_struct info;
    JpegErrors errors;
    unsigned char *volatile pixels = nullptr;
    info.err = &errors.manager;
    initJpegErrors(errors);
    if (setjmp(errors.jump)) {
        delete[] pixels;
        jpeg_destroy_decompress(&info);
        report("Cannot decode JPEG %s: %s\n", aWhat, errors.message);
        return nullptr;
    }
    jpeg_create_decompress(&info);
    info.mem->max_memory_to_use = KJpegWorkingMemory;
    aAttach(&info);
    jpeg_read_header(&info, TRUE);
    // Refused from the header, before the decoder allocates for the size it declares: a few
    // hundred bytes can claim 65000 x 65000 pixels.
    const long long declared
        = core::sampleCount(info.image_width, info.image_height, info.num_components);
    if (declared <= 0 || (info.num_components != 1 && info.num_components != 3)) {
        std::snprintf(errors.message, sizeof errors.message,
            "unsupported size %u x %u with %d channels", info.image_width, info.image_height,
            info.num_components);
        std::longjmp(errors.jump, 1);
    }
    if (aColourSpace == 1 && info.num_components == 3)
        info.out_color_space = JCS_YCbCr;
    jpeg_start_decompress(&info);
    const int w = int(info.output_width), h = int(info.output_height);
    const int c = info.output_components;
    long long n = core::sampleCount(w, h, c);
    if (n <= 0 || (c != 1 && c != 3)) {
        std::snprintf(errors.message, sizeof errors.message,
            "unsupported size %d x %d with %d channels", w, h, c);
        std::longjmp(errors.jump, 1);
    }
    pixels = new (std::nothrow) unsigned char[std::size_t(n)];
    if (!pixels) {
        std::snprintf(errors.message, sizeof errors.message, "out of memory");
        std::longjmp(errors.jump, 1);
    }
    core::adviseHugePages(pixels, std::size_t(n));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels + std::size_t(info.output_scanline) * w * c;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    aWidth = w;
    aHeight = h;
    aChannels = c;
    return pixels;
}

// What one JPEG marker segment can hold after its length field.
constexpr std::size_t KMaxExifSize = 65533;

int writeJpegStream(FILE *aFile, const char *aPath, int aColourSpace, int aWidth, int aHeight,
    int aChannels, const unsigned char *aData, int aQuality,
    const std::vector<unsigned char> *aExif)
{
    jpeg_compress_struct info;
    JpegErrors errors;
    info.err = &errors.manager;
    initJpegErrors(errors);
    if (setjmp(errors.jump)) {
        const int error = errno;
        if (errors.manager.msg_code == JERR_FILE_WRITE)
            report("Cannot write file %s: %s\n", aPath, std::strerror(error ? error : EIO));
        else
            report("Cannot write JPEG %s: %s\n", aPath, errors.message);
        jpeg_destroy_compress(&info);
        return -1;
    }
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, aFile);
    info.image_width = JDIMENSION(aWidth);
    info.image_height = JDIMENSION(aHeight);
    info.input_components = aChannels;
    info.in_color_space = aChannels == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, aQuality, TRUE);
    // The defaults already chose YCbCr for the file: declaring the input YCbCr too stores the
    // samples as they are.
    if (aColourSpace == 1)
        info.in_color_space = JCS_YCbCr;
    jpeg_start_compress(&info, TRUE);
    if (aExif && !aExif->empty())
        jpeg_write_marker(&info, JPEG_APP0 + 1, aExif->data(), unsigned(aExif->size()));
    const std::size_t rowSize = std::size_t(aWidth) * aChannels;
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(aData + rowSize * info.next_scanline);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return 0;
}

// ---------------------------------------------------------------------------------------
// libpng: errors jump back to the stage under way.

void pngError(png_structp aPng, png_const_charp aMessage)
{
    report("libpng: %s\n", aMessage);
    png_longjmp(aPng, 1);
}

void pngWarning(png_structp, png_const_charp) { }

int writePngStream(FILE *aFile, const char *aPath, int aWidth, int aHeight, int aChannels,
    const unsigned char *aData, png_bytep *aRows)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
    if (!png) {
        report("[write_png_file] png_create_write_struct failed\n");
        return -1;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        report("[write_png_file] png_create_info_struct failed\n");
        png_destroy_write_struct(&png, nullptr);
        return -1;
    }
    // One error point for the whole write; the stage reached says which message to print.
    const char *volatile stage = "[write_png_file] Error during init_io\n";
    if (setjmp(png_jmpbuf(png))) {
        const int error = errno;
        report("%s", stage);
        // libpng only says "Write Error": a full disk should say so.
        if (std::ferror(aFile))
            report("Cannot write file %s: %s\n", aPath, std::strerror(error ? error : EIO));
        png_destroy_write_struct(&png, &info);
        return -1;
    }
    png_init_io(png, aFile);
    stage = "[write_png_file] Error during writing header\n";
    static const int colourTypes[] = { PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA,
        PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA };
    png_set_IHDR(png, info, png_uint_32(aWidth), png_uint_32(aHeight), 8,
        colourTypes[aChannels - 1], PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
        PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    stage = "[write_png_file] Error during writing bytes\n";
    const std::size_t rowSize = std::size_t(aWidth) * aChannels;
    for (int y = 0; y < aHeight; ++y)
        aRows[y] = const_cast<png_bytep>(aData + rowSize * y);
    png_write_image(png, aRows);
    stage = "[write_png_file] Error during end of write\n";
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return 0;
}

// ---------------------------------------------------------------------------------------
// RGBE

void floatToRgbe(unsigned char aRgbe[4], float aRed, float aGreen, float aBlue)
{
    double v = aRed;
    if (aGreen > v)
        v = aGreen;
    if (aBlue > v)
        v = aBlue;
    if (v < 1e-32) {
        aRgbe[0] = aRgbe[1] = aRgbe[2] = aRgbe[3] = 0;
        return;
    }
    int e;
    double scale = std::frexp(v, &e) * 256.0 / v;
    aRgbe[0] = static_cast<unsigned char>(aRed * scale);
    aRgbe[1] = static_cast<unsigned char>(aGreen * scale);
    aRgbe[2] = static_cast<unsigned char>(aBlue * scale);
    aRgbe[3] = static_cast<unsigned char>(e + 128);
}

void rgbeToFloat(float *aOut, const unsigned char aRgbe[4])
{
    if (aRgbe[3] == 0) {
        aOut[0] = aOut[1] = aOut[2] = 0.0f;
        return;
    }
    float f = std::ldexp(1.0f, int(aRgbe[3]) - (128 + 8));
    aOut[0] = aRgbe[0] * f;
    aOut[1] = aRgbe[1] * f;
    aOut[2] = aRgbe[2] * f;
}

// Run-length encodes one plane of a scanline; false after a failed write.
bool writeRgbePlane(OutputFile &aFile, const unsigned char *aData, int aCount)
{
    const int minRun = 4;
    int cur = 0;
    unsigned char pair[2];
    while (cur < aCount) {
        int begin = cur, run = 0, previousRun = 0;
        while (run < minRun && begin < aCount) {
            begin += run;
            previousRun = run;
            run = 1;
            while (begin + run < aCount && run < 127 && aData[begin] == aData[begin + run])
                ++run;
        }
        if (previousRun > 1 && previousRun == begin - cur) {
            pair[0] = static_cast<unsigned char>(128 + previousRun);
            pair[1] = aData[cur];
            if (!aFile.write(pair, 2))
                return false;
            cur = begin;
        }
        while (cur < begin) {
            int literal = begin - cur;
            if (literal > 128)
                literal = 128;
            pair[0] = static_cast<unsigned char>(literal);
            if (!aFile.write(pair, 1) || !aFile.write(aData + cur, std::size_t(literal)))
                return false;
            cur += literal;
        }
        if (run >= minRun) {
            pair[0] = static_cast<unsigned char>(128 + run);
            pair[1] = aData[begin];
            if (!aFile.write(pair, 2))
                return false;
            cur += run;
        }
    }
    return true;
}

bool readBytes(FILE *aFile, void *aOut, std::size_t aCount)
{
    if (std::fread(aOut, 1, aCount, aFile) == aCount)
        return true;
    std::perror("RGBE read error");
    return false;
}

bool rgbeComplaint(const char *aText)
{
    core::reportError("RGBE bad file format: %s\n", aText);
    return false;
}

bool readRgbeHeader(FILE *aFile, int &aWidth, int &aHeight)
{
    char line[128];
    // A header is a handful of lines; a file that never reaches the format line within a
    // generous bound is not an RGBE file.
    for (int count = 0;; ++count) {
        if (!std::fgets(line, sizeof line, aFile)) {
            std::perror("RGBE read error");
            return false;
        }
        if (line[0] == '\n' || line[0] == '\0')
            return rgbeComplaint("no FORMAT specifier found");
        if (std::strcmp(line, "FORMAT=32-bit_rle_rgbe\n") == 0)
            break;
        if (count > 4096)
            return rgbeComplaint("no FORMAT specifier found");
    }
    if (!std::fgets(line, sizeof line, aFile)) {
        std::perror("RGBE read error");
        return false;
    }
    if (std::strcmp(line, "\n") != 0)
        return rgbeComplaint("missing blank line after FORMAT specifier");
    if (!std::fgets(line, sizeof line, aFile)) {
        std::perror("RGBE read error");
        return false;
    }
    if (std::sscanf(line, "-Y %d +X %d", &aHeight, &aWidth) < 2)
        return rgbeComplaint("missing image size specifier");
    if (aWidth <= 0 || aHeight <= 0 || core::sampleCount(aWidth, aHeight, 3) <= 0)
        return rgbeComplaint("image size out of range");
    return true;
}

bool readRgbeFlat(FILE *aFile, float *aOut, std::size_t aPixels)
{
    unsigned char rgbe[4];
    for (std::size_t i = 0; i < aPixels; ++i) {
        if (!readBytes(aFile, rgbe, 4))
            return false;
        rgbeToFloat(aOut + 3 * i, rgbe);
    }
    return true;
}

bool readRgbePixels(FILE *aFile, float *aOut, int aWidth, int aHeight)
{
    const std::size_t total = std::size_t(aWidth) * aHeight;
    if (aWidth < 8 || aWidth > 0x7fff)
        return readRgbeFlat(aFile, aOut, total);
    unsigned char *line = new (std::nothrow) unsigned char[4 * std::size_t(aWidth)];
    if (!line)
        return rgbeComplaint("unable to allocate buffer space");
    bool ok = true;
    for (int y = 0; ok && y < aHeight; ++y) {
        float *row = aOut + 3 * std::size_t(aWidth) * y;
        unsigned char rgbe[4];
        if (!readBytes(aFile, rgbe, 4)) {
            ok = false;
            break;
        }
        if (rgbe[0] != 2 || rgbe[1] != 2 || (rgbe[2] & 0x80)) {
            // Not run-length encoded after all: this was the first flat pixel.
            rgbeToFloat(row, rgbe);
            ok = readRgbeFlat(aFile, row + 3, total - std::size_t(aWidth) * y - 1);
            break;
        }
        if ((int(rgbe[2]) << 8 | rgbe[3]) != aWidth) {
            ok = rgbeComplaint("wrong scanline width");
            break;
        }
        for (int plane = 0; ok && plane < 4; ++plane) {
            unsigned char *at = line + std::size_t(aWidth) * plane;
            unsigned char *end = at + aWidth;
            while (ok && at < end) {
                unsigned char pair[2];
                if (!readBytes(aFile, pair, 2)) {
                    ok = false;
                    break;
                }
                int count = pair[0];
                if (count > 128) {
                    count -= 128;
                    if (count > end - at) {
                        ok = rgbeComplaint("bad scanline data");
                        break;
                    }
                    std::memset(at, pair[1], std::size_t(count));
                    at += count;
                } else {
                    if (count == 0 || count > end - at) {
                        ok = rgbeComplaint("bad scanline data");
                        break;
                    }
                    *at++ = pair[1];
                    if (count > 1 && !readBytes(aFile, at, std::size_t(count - 1))) {
                        ok = false;
                        break;
                    }
                    at += count - 1;
                }
            }
        }
        if (!ok)
            break;
        for (int x = 0; x < aWidth; ++x) {
            unsigned char px[4]
                = { line[x], line[aWidth + x], line[2 * aWidth + x], line[3 * aWidth + x] };
            rgbeToFloat(row + 3 * x, px);
        }
    }
    delete[] line;
    return ok;
}

// Binary PGM/PPM reader shared by both formats: aMagic "P5" or "P6", aChannels 1 or 3.
void readPnm(const char *aPath, const char *aMagic, int aChannels, bool aAllowComment, int &aWidth,
    int &aHeight, unsigned char *&aData, std::size_t aCapacity)
{
    aWidth = aHeight = 0;
    InputFile in(aPath);
    FILE *f = in.handle();
    if (!f) {
        report("Cannot open file %s for reading.\n", aPath);
        return;
    }
    char magic[3] = { 0 };
    if (std::fscanf(f, "%2s", magic) != 1 || std::strcmp(magic, aMagic) != 0) {
        report("%s is not a binary %s file.\n", aPath, aChannels == 3 ? "PPM" : "PGM");
        return;
    }
    if (aAllowComment) {
        int ch;
        do
            ch = std::fgetc(f);
        while (ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r');
        if (ch == '#') {
            while (ch != '\n' && ch != EOF)
                ch = std::fgetc(f);
        } else if (ch != EOF) {
            std::ungetc(ch, f);
        }
    }
    int w = 0, h = 0, maxValue = 0;
    if (std::fscanf(f, "%d %d %d", &w, &h, &maxValue) != 3) {
        report("%s: incomplete header.\n", aPath);
        return;
    }
    if (maxValue != 255) {
        report("%s: only a maximum value of 255 is supported, not %d.\n", aPath, maxValue);
        return;
    }
    long long n = core::sampleCount(w, h, aChannels);
    if (w <= 0 || h <= 0 || n <= 0) {
        report("%s: image size %d x %d is out of range.\n", aPath, w, h);
        return;
    }
    std::fgetc(f); // the single whitespace before the samples
    if (aData && std::size_t(n) > aCapacity) {
        report("%s: %lld bytes do not fit a buffer of %zu.\n", aPath, n, aCapacity);
        return;
    }
    // Samples go to a buffer of our own first: a file that ends early must leave the
    // caller's buffer as it was.
    unsigned char *buffer = new (std::nothrow) unsigned char[std::size_t(n)];
    if (!buffer) {
        report("%s: out of memory for %d x %d.\n", aPath, w, h);
        return;
    }
    std::size_t res = std::fread(buffer, 1, std::size_t(n), f);
    if (res != std::size_t(n)) {
        report("%s: the file ends after %zu of %lld bytes.\n", aPath, res, n);
        delete[] buffer;
        return;
    }
    if (aData) {
        std::memcpy(aData, buffer, std::size_t(n));
        delete[] buffer;
        buffer = aData;
    }
    aData = buffer;
    aWidth = w;
    aHeight = h;
}

} // namespace

// -------------------------------------------------------------------------------------------

FileIO::Format FileIO::formatOf(const char *aPath)
{
    const char *ext = extensionOf(aPath);
    if (ext) {
        if (is(ext, "ppm", "PPM"))
            return Format::Ppm;
        if (is(ext, "pgm", "PGM"))
            return Format::Pgm;
        if (is(ext, "jpg", "JPG"))
            return Format::Jpeg;
        if (is(ext, "png", "PNG"))
            return Format::Png;
        if (is(ext, "hdr", "HDR"))
            return Format::Rgbe;
        if (is(ext, "dat", "DAT"))
            return Format::Dat;
    }
    report("Error: unknown file type %s\n", ext ? ext : "");
    return Format::Unknown;
}

bool FileIO::fits(const char *aPath, const char *aFormatName, bool aTypeOk, bool aChannelsOk,
    int aChannels, int aSampleSize)
{
    if (aTypeOk && aChannelsOk)
        return true;
    report("Cannot write an image of %d channels of %d-byte samples to %s as %s.\n", aChannels,
        aSampleSize, aPath, aFormatName);
    return false;
}

int FileIO::writePpm(const char *aPath, int aWidth, int aHeight, const unsigned char *aData)
{
    OutputFile out(aPath);
    if (!out.isOpen())
        return -1;
    char header[64];
    int n = std::snprintf(header, sizeof header, "P6\n%d %d\n255\n", aWidth, aHeight);
    if (!out.write(header, std::size_t(n))
        || !out.write(aData, std::size_t(aWidth) * aHeight * 3)) {
        out.abandon();
        return -1;
    }
    return out.close();
}

int FileIO::writePgm(const char *aPath, int aWidth, int aHeight, const unsigned char *aData)
{
    OutputFile out(aPath);
    if (!out.isOpen())
        return -1;
    char header[64];
    int n = std::snprintf(header, sizeof header, "P5\n%d %d\n255\n", aWidth, aHeight);
    if (!out.write(header, std::size_t(n)) || !out.write(aData, std::size_t(aWidth) * aHeight)) {
        out.abandon();
        return -1;
    }
    return out.close();
}

int FileIO::writeJpeg(const char *aPath, int aColourSpace, int aWidth, int aHeight, int aChannels,
    const unsigned char *aData, int aQuality, const std::vector<unsigned char> *aExif)
{
    if (aExif && aExif->size() > KMaxExifSize) {
        report("Cannot write file %s: its EXIF data of %zu bytes exceed a JPEG segment.\n", aPath,
            aExif->size());
        return -1;
    }
    if (aWidth <= 0 || aHeight <= 0 || (aChannels != 1 && aChannels != 3) || !aData) {
        report("Cannot write a %d x %d image of %d channels to %s as JPEG.\n", aWidth, aHeight,
            aChannels, aPath);
        return -1;
    }
    OutputFile out(aPath);
    if (!out.isOpen())
        return -1;
    if (writeJpegStream(
            out.handle(), aPath, aColourSpace, aWidth, aHeight, aChannels, aData, aQuality, aExif)
        != 0) {
        out.abandon();
        return -1;
    }
    return out.close();
}

int FileIO::writePng(
    const char *aPath, int aWidth, int aHeight, int aChannels, const unsigned char *aData)
{
    if (aChannels < 1 || aChannels > 4) {
        report("Can only save PNG files that have 1-4 channels.\n");
        return -1;
    }
    if (aWidth <= 0 || aHeight <= 0 || !aData) {
        report("Cannot write a %d x %d image to %s as PNG.\n", aWidth, aHeight, aPath);
        return -1;
    }
    png_bytep *rows = new (std::nothrow) png_bytep[std::size_t(aHeight)];
    if (!rows) {
        report("Out of memory writing %s.\n", aPath);
        return -1;
    }
    OutputFile out(aPath);
    if (!out.isOpen()) {
        report("[write_png_file] File %s could not be opened for writing\n", aPath);
        delete[] rows;
        return -1;
    }
    int result = writePngStream(out.handle(), aPath, aWidth, aHeight, aChannels, aData, rows);
    delete[] rows;
    if (result != 0) {
        out.abandon();
        return -1;
    }
    return out.close();
}

int FileIO::writeRgbe(const char *aPath, int aWidth, int aHeight, const float *aData)
{
    OutputFile out(aPath);
    if (!out.isOpen())
        return -1;
    char header[128];
    int n = std::snprintf(header, sizeof header, "#?%s\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n",
        "RGBE", aHeight, aWidth);
    bool ok = out.write(header, std::size_t(n));
    unsigned char *line = nullptr;
    if (ok && aWidth >= 8 && aWidth <= 0x7fff)
        line = new (std::nothrow) unsigned char[4 * std::size_t(aWidth)];
    for (int y = 0; ok && y < aHeight; ++y) {
        const float *row = aData + 3 * std::size_t(aWidth) * y;
        if (!line) {
            for (int x = 0; ok && x < aWidth; ++x) {
                unsigned char rgbe[4];
                floatToRgbe(rgbe, row[3 * x], row[3 * x + 1], row[3 * x + 2]);
                ok = out.write(rgbe, 4);
            }
            continue;
        }
        unsigned char start[4] = { 2, 2, static_cast<unsigned char>(aWidth >> 8),
            static_cast<unsigned char>(aWidth & 0xff) };
        ok = out.write(start, 4);
        for (int x = 0; x < aWidth; ++x) {
            unsigned char rgbe[4];
            floatToRgbe(rgbe, row[3 * x], row[3 * x + 1], row[3 * x + 2]);
            for (int p = 0; p < 4; ++p)
                line[std::size_t(aWidth) * p + x] = rgbe[p];
        }
        for (int p = 0; ok && p < 4; ++p)
            ok = writeRgbePlane(out, line + std::size_t(aWidth) * p, aWidth);
    }
    delete[] line;
    if (!ok) {
        std::perror("RGBE write error");
        out.abandon();
        return -1;
    }
    return out.close();
}

int FileIO::writeDat(const char *aPath, int aWidth, int aHeight, int aChannels, const void *aData)
{
    OutputFile out(aPath);
    if (!out.isOpen())
        return -1;
    const int header[3] = { aWidth, aHeight, aChannels };
    if (!out.write(header, sizeof header)
        || !out.write(aData, std::size_t(aWidth) * aHeight * aChannels * 4)) {
        out.abandon();
        return -1;
    }
    return out.close();
}

void FileIO::readPgm(
    const char *aPath, int &aWidth, int &aHeight, unsigned char *&aData, std::size_t aCapacity)
{
    readPnm(aPath, "P5", 1, false, aWidth, aHeight, aData, aCapacity);
}

void FileIO::readPpm(
    const char *aPath, int &aWidth, int &aHeight, unsigned char *&aData, std::size_t aCapacity)
{
    readPnm(aPath, "P6", 3, true, aWidth, aHeight, aData, aCapacity);
}

float *FileIO::readRgbe(const char *aPath, int &aWidth, int &aHeight)
{
    aWidth = aHeight = 0;
    InputFile in(aPath);
    if (!in.handle()) {
        report("Cannot open file %s for reading.\n", aPath);
        return nullptr;
    }
    int w = 0, h = 0;
    if (!readRgbeHeader(in.handle(), w, h))
        return nullptr;
    float *pixels = new (std::nothrow) float[std::size_t(w) * h * 3];
    if (!pixels) {
        rgbeComplaint("unable to allocate buffer space");
        return nullptr;
    }
    if (!readRgbePixels(in.handle(), pixels, w, h)) {
        delete[] pixels;
        return nullptr;
    }
    aWidth = w;
    aHeight = h;
    return pixels;
}

unsigned char *FileIO::readJpeg(
    const char *aPath, int aColourSpace, int &aWidth, int &aHeight, int &aChannels)
{
    aWidth = aHeight = aChannels = 0;
    InputFile in(aPath);
    if (!in.handle()) {
        report("Cannot open file %s for reading.\n", aPath);
        return nullptr;
    }
    FILE *f = in.handle();
    return decodeJpeg(
        aPath, aColourSpace, [f](j_decompress_ptr aInfo) { jpeg_stdio_src(aInfo, f); }, aWidth,
        aHeight, aChannels);
}

unsigned char *FileIO::readFile(const char *aPath, std::size_t &aSize)
{
    aSize = 0;
    InputFile in(aPath);
    FILE *f = in.handle();
    if (!f) {
        report("Cannot open file %s for reading.\n", aPath);
        return nullptr;
    }
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0)
        size = std::ftell(f);
    if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        report("Reading error\n");
        return nullptr;
    }
    unsigned char *buffer = new (std::nothrow) unsigned char[size ? std::size_t(size) : 1];
    if (!buffer) {
        report("Memory error\n");
        return nullptr;
    }
    if (std::fread(buffer, 1, std::size_t(size), f) != std::size_t(size)) {
        report("Reading error\n");
        delete[] buffer;
        return nullptr;
    }
    aSize = std::size_t(size);
    return buffer;
}

Image<unsigned char> FileIO::decodeJpegMemory(
    const unsigned char *aBuffer, std::size_t aSize, int &aWidth, int &aHeight, int &aChannels)
{
    unsigned char *pixels = nullptr;
    if (!aBuffer || aSize == 0) {
        aWidth = aHeight = aChannels = 0;
        report("Cannot decode JPEG from memory: no data\n");
    } else {
        pixels = decodeJpeg(
            "from memory", 0,
            [aBuffer, aSize](
                j_decompress_ptr aInfo) { core::jpegBufferSource(aInfo, aBuffer, aSize); },
            aWidth, aHeight, aChannels);
    }
    if (!pixels)
        return Image<unsigned char>();
    return Image<unsigned char>::adopt(aWidth, aHeight, aChannels, pixels);
}

namespace core {

LoadedPixels loadImageFile(const char *aPath, int aColourSpace, SampleKind aKind)
{
    LoadedPixels px;
    const char *ext = extensionOf(aPath);
    const bool bytes = aKind == SampleKind::Bytes;
    auto wrongKind = [&](const char *aSamples) {
        report("Cannot load %s: its format holds %s samples.\n", aPath, aSamples);
    };
    if (ext && (is(ext, "ppm", "PPM") || is(ext, "pgm", "PGM"))) {
        if (!bytes) {
            wrongKind("8-bit");
            return px;
        }
        const bool ppm = is(ext, "ppm", "PPM");
        unsigned char *data = nullptr;
        if (ppm)
            FileIO::readPpm(aPath, px.width, px.height, data);
        else
            FileIO::readPgm(aPath, px.width, px.height, data);
        px.bytes = data;
        px.channels = data ? (ppm ? 3 : 1) : 0;
    } else if (ext && is(ext, "jpg", "JPG")) {
        if (!bytes) {
            wrongKind("8-bit");
            return px;
        }
        px.bytes = FileIO::readJpeg(aPath, aColourSpace, px.width, px.height, px.channels);
        px.colourSpace = px.bytes && px.channels == 3 ? aColourSpace : 0;
    } else if (ext && is(ext, "png", "PNG")) {
        report("Reading png files not supported. Try ppm or pgm instead.\n");
    } else if (ext && is(ext, "hdr", "HDR")) {
        if (aKind != SampleKind::Floats) {
            wrongKind("floating-point");
            return px;
        }
        px.floats = FileIO::readRgbe(aPath, px.width, px.height);
        px.channels = px.floats ? 3 : 0;
    } else {
        report("Error: unknown file type %s\n", ext ? ext : "");
    }
    return px;
}

} // namespace core

unsigned char *FileIO::readPng(const char *aPath, int &aWidth, int &aHeight, int &aChannels)
{
    aWidth = aHeight = aChannels = 0;
    // libpng's simplified reader handles every colour type and its own errors without a jump
    // through our frames; on failure it frees what it holds and leaves its reason in message.
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, aPath)) {
        report("Cannot decode PNG %s: %s\n", aPath, image.message);
        return nullptr;
    }
    // A 16-bit file that states no gamma holds the same encoded samples as its 8-bit
    // version, not linear light; libpng would otherwise brighten it (0x8080 to 186).
    image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    const bool colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
    const bool alpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    image.format
        = (colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY) | (alpha ? PNG_FORMAT_FLAG_ALPHA : 0);
    const int w = int(image.width), h = int(image.height);
    const int c = int(PNG_IMAGE_SAMPLE_CHANNELS(image.format));
    const long long n = core::sampleCount(w, h, c);
    if (w <= 0 || h <= 0 || n <= 0) {
        report(
            "Cannot decode PNG %s: unsupported size %u x %u\n", aPath, image.width, image.height);
        png_image_free(&image);
        return nullptr;
    }
    unsigned char *pixels = new (std::nothrow) unsigned char[std::size_t(n)];
    if (!pixels) {
        report("Cannot decode PNG %s: out of memory\n", aPath);
        png_image_free(&image);
        return nullptr;
    }
    if (!png_image_finish_read(&image, nullptr, pixels, 0, nullptr)) {
        report("Cannot decode PNG %s: %s\n", aPath, image.message);
        png_image_free(&image);
        delete[] pixels;
        return nullptr;
    }
    aWidth = w;
    aHeight = h;
    aChannels = c;
    return pixels;
}
