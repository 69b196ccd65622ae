#include "core/FileIO"

#include "support/TestSupport.h"

#include <cstring>
#include <gtest/gtest.h>
#include <png.h>
#include <random>
#include <unistd.h>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testsupport::fileExists;
using testsupport::readText;
using testsupport::TempDir;
using testsupport::writeText;

namespace {

Image<unsigned char> gradient(int aWidth, int aHeight, int aChannels)
{
    Image<unsigned char> img(aWidth, aHeight, aChannels);
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x)
            for (int c = 0; c < aChannels; ++c)
                img(x, y, c) = static_cast<unsigned char>((x * 7 + y * 13 + c * 61) & 0xff);
    return img;
}

template <class T> bool sameSamples(const Image<T> &a, const Image<T> &b)
{
    if (a.width() != b.width() || a.height() != b.height() || a.channels() != b.channels())
        return false;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (int c = 0; c < a.channels(); ++c)
                if (a(x, y, c) != b(x, y, c))
                    return false;
    return true;
}

// Bytes of an RGBE file after its header.
std::string rgbePixelBytes(const std::string &aPath)
{
    std::string text = readText(aPath);
    std::size_t at = text.find("+X ");
    at = text.find('\n', at);
    return text.substr(at + 1);
}

// A one-row image whose RGBE R plane is exactly aBytes: green is the largest component (1.0),
// so every pixel has scale 128 and R = red × 128.
Image<float> rgbeRow(const std::vector<int> &aBytes)
{
    Image<float> img(int(aBytes.size()), 1, 3);
    for (int x = 0; x < img.width(); ++x) {
        img(x, 0, 0) = aBytes[x] / 128.0f;
        img(x, 0, 1) = 1.0f;
    }
    return img;
}

std::string bytes(std::initializer_list<int> aValues)
{
    std::string s;
    for (int v : aValues)
        s.push_back(char(v));
    return s;
}

} // namespace

TEST(FileIO, LosslessFormatsRoundTripExactly)
{
    TempDir dir;
    Image<unsigned char> rgb = gradient(37, 11, 3);
    ASSERT_EQ(FileIO::writeImage(rgb, dir.file("a.ppm").c_str()), 0);
    EXPECT_TRUE(sameSamples(rgb, Image<unsigned char>(dir.file("a.ppm").c_str(), 0)));
    ASSERT_EQ(FileIO::writeImage(rgb, dir.file("b.PPM").c_str()), 0);
    EXPECT_TRUE(sameSamples(rgb, Image<unsigned char>(dir.file("b.PPM").c_str(), 0)));

    Image<unsigned char> grey = gradient(5, 9, 1);
    ASSERT_EQ(FileIO::writeImage(grey, dir.file("a.pgm").c_str()), 0);
    EXPECT_TRUE(sameSamples(grey, Image<unsigned char>(dir.file("a.pgm").c_str(), 0)));
    EXPECT_EQ(readText(dir.file("a.pgm")).substr(0, 11), "P5\n5 9\n255\n");

    Image<float> floats(3, 2, 2);
    for (int i = 0; i < 12; ++i)
        floats.data()[i] = i * 0.25f - 1.0f;
    ASSERT_EQ(FileIO::writeImage(floats, dir.file("a.dat").c_str()), 0);
    std::string dat = readText(dir.file("a.dat"));
    ASSERT_EQ(dat.size(), 12u + 12 * 4);
    int header[3];
    std::memcpy(header, dat.data(), sizeof header);
    EXPECT_EQ(header[0], 3);
    EXPECT_EQ(header[1], 2);
    EXPECT_EQ(header[2], 2);
    EXPECT_EQ(std::memcmp(dat.data() + 12, floats.data(), 48), 0);
}

TEST(FileIO, PngRoundTripsEveryChannelCount)
{
    TempDir dir;
    for (int channels = 1; channels <= 4; ++channels) {
        Image<unsigned char> img = gradient(19, 7, channels);
        std::string path = dir.file("p" + std::to_string(channels) + ".png");
        ASSERT_EQ(FileIO::writeImage(img, path.c_str()), 0);

        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
        EXPECT_EQ(int(PNG_IMAGE_SAMPLE_CHANNELS(image.format)), channels);
        std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
        EXPECT_EQ(std::memcmp(pixels.data(), img.data(), pixels.size()), 0) << channels;
    }

    CaptureStdout();
    EXPECT_EQ(FileIO::writeImage(gradient(4, 4, 5), dir.file("five.png").c_str()), -1);
    EXPECT_EQ(GetCapturedStdout(), "Can only save PNG files that have 1-4 channels.\n");
    EXPECT_FALSE(fileExists(dir.file("five.png")));
}

TEST(FileIO, ExtensionsAreMatchedExactly)
{
    TempDir dir;
    Image<unsigned char> img = gradient(8, 8, 3);
    EXPECT_EQ(FileIO::writeImage(img, dir.file("a.jpg").c_str()), 0);
    EXPECT_EQ(FileIO::writeImage(img, dir.file("a.JPG").c_str()), 0);
    for (const char *ext : { "Jpg", "jpeg", "" }) {
        std::string path = dir.file(std::string("b.") + ext);
        CaptureStdout();
        EXPECT_EQ(FileIO::writeImage(img, path.c_str()), -1);
        EXPECT_EQ(GetCapturedStdout(), std::string("Error: unknown file type ") + ext + "\n");
        EXPECT_FALSE(fileExists(path));
    }
    CaptureStdout();
    EXPECT_EQ(FileIO::writeImage(img, "no_extension"), -1);
    EXPECT_EQ(GetCapturedStdout(), "Error: unknown file type \n");
}

TEST(FileIO, JpegStoresMarkedYCbCrSamplesWithoutConversion)
{
    TempDir dir;
    Image<unsigned char> img(16, 16, 3);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            img(x, y, 0) = 200;
            img(x, y, 1) = 60;
            img(x, y, 2) = 150;
        }
    auto near = [](const Image<unsigned char> &aImg, int r, int g, int b) {
        return std::abs(aImg(8, 8, 0) - r) <= 2 && std::abs(aImg(8, 8, 1) - g) <= 2
            && std::abs(aImg(8, 8, 2) - b) <= 2;
    };

    // Unmarked: RGB in, the library converts, RGB comes back.
    ASSERT_EQ(FileIO::writeImage(img, dir.file("rgb.jpg").c_str(), 95), 0);
    EXPECT_TRUE(near(Image<unsigned char>(dir.file("rgb.jpg").c_str(), 0), 200, 60, 150));

    // Marked: the samples are stored as Y, Cb, Cr as they are, so decoding to YCbCr returns
    // them and decoding to RGB converts them.
    img.setColourSpace(1);
    ASSERT_EQ(FileIO::writeImage(img, dir.file("ycc.jpg").c_str(), 95), 0);
    Image<unsigned char> asYcc(dir.file("ycc.jpg").c_str(), 1);
    EXPECT_EQ(asYcc.colourSpace(), 1);
    EXPECT_TRUE(near(asYcc, 200, 60, 150));
    Image<unsigned char> asRgb(dir.file("ycc.jpg").c_str(), 0);
    EXPECT_FALSE(near(asRgb, 200, 60, 150));
    EXPECT_TRUE(near(asRgb, 231, 208, 80)); // Y 200, Cb 60, Cr 150 as RGB
}

TEST(FileIO, WritersRefuseSamplesTheFormatCannotHold)
{
    TempDir dir;
    const std::pair<const char *, int> cases[]
        = { { "f.jpg", 0 }, { "g.ppm", 1 }, { "h.pgm", 2 }, { "i.hdr", 3 }, { "j.dat", 4 } };
    Image<unsigned char> twoChannels = gradient(4, 4, 2);
    Image<float> floats(4, 4, 3);
    Image<short> shorts(4, 4, 1);
    for (auto [name, which] : cases) {
        std::string path = dir.file(name);
        CaptureStdout();
        int result = which == 0 ? FileIO::writeImage(twoChannels, path.c_str())
            : which == 1        ? FileIO::writeImage(floats, path.c_str())
            : which == 2        ? FileIO::writeImage(twoChannels, path.c_str())
            : which == 3        ? FileIO::writeImage(twoChannels, path.c_str())
                                : FileIO::writeImage(shorts, path.c_str());
        std::string said = GetCapturedStdout();
        EXPECT_EQ(result, -1) << name;
        EXPECT_NE(said.find(path), std::string::npos) << said;
        EXPECT_FALSE(fileExists(path)) << name;
    }
}

TEST(FileIO, WriteFailuresAreReportedAndLeaveNothing)
{
    TempDir dir;
    ASSERT_EQ(symlink("/dev/full", dir.file("full").c_str()), 0);
    Image<unsigned char> rgb = gradient(64, 64, 3);
    Image<float> hdr(64, 64, 3);
    for (const char *ext : { "ppm", "pgm", "jpg", "png", "hdr", "dat" }) {
        std::string name = std::string("full.") + ext;
        ASSERT_EQ(symlink("/dev/full", dir.file(name).c_str()), 0);
        std::string missing = "/nonexistent-duskline-dir/x." + std::string(ext);
        CaptureStdout();
        int onFull, onMissing;
        if (std::string(ext) == "hdr" || std::string(ext) == "dat") {
            onFull = FileIO::writeImage(hdr, dir.file(name).c_str());
            onMissing = FileIO::writeImage(hdr, missing.c_str());
        } else {
            Image<unsigned char> img = std::string(ext) == "pgm" ? gradient(64, 64, 1) : rgb;
            onFull = FileIO::writeImage(img, dir.file(name).c_str());
            onMissing = FileIO::writeImage(img, missing.c_str());
        }
        std::string said = GetCapturedStdout();
        EXPECT_EQ(onFull, -1) << ext;
        EXPECT_EQ(onMissing, -1) << ext;
        EXPECT_NE(said.find("No space left on device"), std::string::npos) << ext << said;
        EXPECT_NE(said.find("No such file or directory"), std::string::npos) << ext << said;
    }
    EXPECT_TRUE(fileExists("/dev/full"));
}

TEST(FileIO, AtomicWriteReplacesOnlyOnSuccess)
{
    TempDir dir;
    std::string path = dir.file("photo.jpg");
    writeText(path, "previous photograph");
    ASSERT_EQ(FileIO::writeImageAtomically(gradient(32, 32, 3), path.c_str()), 0);
    EXPECT_EQ(readText(path).substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(testsupport::listDir(dir.path()), std::vector<std::string> { "photo.jpg" });

    std::string before = readText(path);
    CaptureStdout();
    EXPECT_EQ(FileIO::writeImageAtomically(gradient(32, 32, 2), path.c_str()), -1);
    GetCapturedStdout();
    EXPECT_EQ(readText(path), before);
    EXPECT_EQ(testsupport::listDir(dir.path()), std::vector<std::string> { "photo.jpg" });

    CaptureStdout();
    EXPECT_EQ(FileIO::writeImageAtomically(gradient(8, 8, 3), "/nonexistent-duskline/a.jpg"), -1);
    EXPECT_NE(GetCapturedStdout().find("/nonexistent-duskline/a.jpg"), std::string::npos);
}

TEST(FileIO, RgbeRoundTripWithinItsEncoding)
{
    TempDir dir;
    for (int width : { 7, 8, 300 }) {
        Image<float> img(width, 5, 3);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 3; ++c)
                    img(x, y, c) = (x % 17 == 3) ? 0.0f : float((x + 1) * (c + 1)) / (y + 1);
        std::string path = dir.file("r" + std::to_string(width) + ".hdr");
        ASSERT_EQ(FileIO::writeImage(img, path.c_str()), 0);
        Image<float> back(path.c_str(), 0);
        ASSERT_EQ(back.width(), width);
        ASSERT_EQ(back.height(), 5);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < width; ++x) {
                float peak = std::max({ img(x, y, 0), img(x, y, 1), img(x, y, 2) });
                for (int c = 0; c < 3; ++c)
                    EXPECT_NEAR(back(x, y, c), img(x, y, c), peak / 128.0f + 1e-30f);
            }
        std::string pixels = rgbePixelBytes(path);
        // 7 pixels wide is written flat; 8 and more run-length encoded, one header a row.
        if (width == 7)
            EXPECT_EQ(pixels.size(), 7u * 5 * 4);
        else
            EXPECT_EQ(pixels.substr(0, 4), bytes({ 2, 2, width >> 8, width & 255 }));
    }
}

TEST(FileIO, RgbeRunLengthEncodingWorkedExamples)
{
    TempDir dir;
    struct Case
    {
        std::vector<int> plane;
        std::string expected;
    };
    const Case cases[] = {
        { std::vector<int>(130, 77), bytes({ 255, 77, 131, 77 }) },
        { { 10, 10, 30, 30, 30, 30, 30, 30 }, bytes({ 130, 10, 134, 30 }) },
        { { 10, 10, 20, 30, 30, 30, 30, 30 }, bytes({ 3, 10, 10, 20, 133, 30 }) },
        { { 1, 2, 3, 4, 5, 6, 7, 8 }, bytes({ 8, 1, 2, 3, 4, 5, 6, 7, 8 }) },
    };
    for (const Case &c : cases) {
        std::string path = dir.file("rle.hdr");
        ASSERT_EQ(FileIO::writeImage(rgbeRow(c.plane), path.c_str()), 0);
        std::string pixels = rgbePixelBytes(path);
        EXPECT_EQ(pixels.substr(4, c.expected.size()), c.expected);
        Image<float> back(path.c_str(), 0);
        ASSERT_EQ(back.width(), int(c.plane.size()));
        for (int x = 0; x < back.width(); ++x)
            EXPECT_FLOAT_EQ(back(x, 0, 0), c.plane[x] / 128.0f);
    }

    // A pixel whose largest component is below 1e-32 is four zero bytes.
    Image<float> tiny(7, 1, 3);
    tiny(0, 0, 1) = 1e-33f;
    tiny(1, 0, 0) = 1.0f;
    ASSERT_EQ(FileIO::writeImage(tiny, dir.file("tiny.hdr").c_str()), 0);
    EXPECT_EQ(
        rgbePixelBytes(dir.file("tiny.hdr")).substr(0, 8), bytes({ 0, 0, 0, 0, 128, 0, 0, 129 }));
}

namespace {

struct HostileFile
{
    const char *name;
    std::string content;
};

std::string rgbeHeader(const char *aSize)
{
    return std::string("#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n") + aSize;
}

} // namespace

class FileIOHostile : public ::testing::TestWithParam<HostileFile>
{
};

// Every reader refuses a bad file with a message and an empty image, and never reads or
// writes outside a buffer (checked under AddressSanitizer).
TEST_P(FileIOHostile, IsRefusedWithAMessage)
{
    TempDir dir;
    const HostileFile &file = GetParam();
    std::string path = dir.file(file.name);
    writeText(path, file.content);
    CaptureStdout();
    testing::internal::CaptureStderr();
    std::size_t dot = std::string(file.name).rfind('.');
    std::string ext = std::string(file.name).substr(dot + 1);
    bool empty;
    if (ext == "hdr") {
        Image<float> img(path.c_str(), 0);
        empty = img.empty();
    } else {
        Image<unsigned char> img(path.c_str(), 0);
        empty = img.empty();
    }
    std::string said = GetCapturedStdout() + testing::internal::GetCapturedStderr();
    EXPECT_TRUE(empty);
    EXPECT_FALSE(said.empty());
}

INSTANTIATE_TEST_SUITE_P(Readers, FileIOHostile,
    ::testing::Values(HostileFile { "wrongmagic.pgm", "P6\n2 2\n255\n0000" },
        HostileFile { "maxval.pgm", "P5\n2 2\n65535\n00000000" },
        HostileFile { "huge.pgm", "P5\n1000000 1000000\n255\n0" },
        HostileFile { "overflow.ppm", "P6\n2147483647 2147483647\n255\n0" },
        HostileFile { "negative.ppm", "P6\n-3 4\n255\n0" },
        HostileFile { "short.ppm", "P6\n# comment\n4 4\n255\nabc" },
        HostileFile { "noheader.ppm", "P6\n4" }, HostileFile { "empty.pgm", "" },
        HostileFile { "empty.jpg", "" }, HostileFile { "garbage.jpg", "this is not a JPEG" },
        HostileFile { "noformat.hdr", "#?RGBE\n\n-Y 2 +X 2\n" },
        HostileFile { "noblank.hdr", "#?RGBE\nFORMAT=32-bit_rle_rgbe\n-Y 2 +X 2\n" },
        HostileFile { "nosize.hdr", rgbeHeader("+X 8 -Y 2\n") },
        HostileFile { "hugesize.hdr", rgbeHeader("-Y 100000 +X 100000\n") },
        HostileFile { "zerosize.hdr", rgbeHeader("-Y 0 +X 8\n") },
        HostileFile { "badwidth.hdr", rgbeHeader("-Y 1 +X 8\n") + bytes({ 2, 2, 0, 9 }) },
        HostileFile { "zerocount.hdr", rgbeHeader("-Y 1 +X 8\n") + bytes({ 2, 2, 0, 8, 0, 5 }) },
        HostileFile { "longrun.hdr", rgbeHeader("-Y 1 +X 8\n") + bytes({ 2, 2, 0, 8, 137, 5 }) },
        HostileFile { "longliteral.hdr",
            rgbeHeader("-Y 1 +X 8\n") + bytes({ 2, 2, 0, 8, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9 }) },
        HostileFile { "truncated.hdr", rgbeHeader("-Y 2 +X 8\n") + bytes({ 2, 2, 0, 8, 136, 5 }) },
        HostileFile { "flatshort.hdr", rgbeHeader("-Y 4 +X 4\n") + "abcdefgh" },
        HostileFile { "image.png", "\x89PNG" }, HostileFile { "image.tif", "II*" }));

TEST(FileIO, PpmSkipsOneCommentLine)
{
    TempDir dir;
    std::string path = dir.file("c.ppm");
    writeText(path, std::string("P6\n# made by hand\n2 1\n255\n") + bytes({ 1, 2, 3, 4, 5, 6 }));
    Image<unsigned char> img(path.c_str(), 0);
    ASSERT_EQ(img.width(), 2);
    EXPECT_EQ(img(1, 0, 2), 6);

    // A caller's buffer must be large enough for the file, or the file is refused.
    unsigned char small[4];
    unsigned char *data = small;
    int w = -1, h = -1;
    CaptureStdout();
    FileIO::readPpm(path.c_str(), w, h, data, sizeof small);
    EXPECT_NE(GetCapturedStdout(), "");
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(data, small);
}

namespace {

std::string encodedJpeg(const TempDir &aDir)
{
    std::string path = aDir.file("src.jpg");
    EXPECT_EQ(FileIO::writeImage(gradient(64, 48, 3), path.c_str(), 90), 0);
    return readText(path);
}

} // namespace

TEST(FileIO, JpegFromMemoryMatchesTheFile)
{
    TempDir dir;
    std::string jpeg = encodedJpeg(dir);
    int w, h, c;
    Image<unsigned char> fromMemory = FileIO::decodeJpegMemory(
        reinterpret_cast<const unsigned char *>(jpeg.data()), jpeg.size(), w, h, c);
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 48);
    EXPECT_EQ(c, 3);
    EXPECT_TRUE(sameSamples(fromMemory, Image<unsigned char>(dir.file("src.jpg").c_str(), 0)));

    std::size_t size = 0;
    unsigned char *whole = FileIO::readFile(dir.file("src.jpg").c_str(), size);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(size, jpeg.size());
    delete[] whole;
    CaptureStdout();
    EXPECT_EQ(FileIO::readFile(dir.file("missing.jpg").c_str(), size), nullptr);
    EXPECT_NE(GetCapturedStdout(), "");
}

TEST(FileIO, TruncatedOrCorruptJpegGivesAnEmptyImage)
{
    TempDir dir;
    std::string jpeg = encodedJpeg(dir);
    std::mt19937 random(7);
    for (std::size_t cut :
        { std::size_t(0), std::size_t(2), std::size_t(20), jpeg.size() / 2, jpeg.size() - 2 }) {
        std::string part = jpeg.substr(0, cut);
        int w, h, c;
        CaptureStdout();
        Image<unsigned char> img = FileIO::decodeJpegMemory(
            reinterpret_cast<const unsigned char *>(part.data()), part.size(), w, h, c);
        EXPECT_TRUE(img.empty()) << cut;
        EXPECT_NE(GetCapturedStdout(), "") << cut;

        writeText(dir.file("cut.jpg"), part);
        CaptureStdout();
        EXPECT_TRUE(Image<unsigned char>(dir.file("cut.jpg").c_str(), 0).empty()) << cut;
        EXPECT_NE(GetCapturedStdout(), "") << cut;
    }
    // Random damage may or may not decode, but never crashes or reads outside the buffer.
    for (int round = 0; round < 200; ++round) {
        std::string damaged = jpeg;
        for (int k = 0; k < 4; ++k)
            damaged[random() % damaged.size()] = char(random());
        int w, h, c;
        CaptureStdout();
        Image<unsigned char> img = FileIO::decodeJpegMemory(
            reinterpret_cast<const unsigned char *>(damaged.data()), damaged.size(), w, h, c);
        GetCapturedStdout();
        if (!img.empty()) {
            EXPECT_EQ(img.width() * img.height() * img.channels(), w * h * c);
        }
    }
}

TEST(FileIO, LoadingChecksTheSampleType)
{
    TempDir dir;
    ASSERT_EQ(FileIO::writeImage(gradient(4, 4, 3), dir.file("a.ppm").c_str()), 0);
    CaptureStdout();
    EXPECT_TRUE(Image<float>(dir.file("a.ppm").c_str(), 0).empty());
    EXPECT_TRUE(Image<short>(dir.file("a.ppm").c_str(), 0).empty());
    EXPECT_TRUE(Image<unsigned char>(dir.file("a.png").c_str(), 0).empty());
    std::string said = GetCapturedStdout();
    EXPECT_NE(
        said.find("Reading png files not supported. Try ppm or pgm instead.\n"), std::string::npos);
}
