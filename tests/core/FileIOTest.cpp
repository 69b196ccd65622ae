#include "core/FileIO"

#include "PyramidReference.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <png.h>
#include <random>
#include <unistd.h>

using reference::said;
using reference::sameSamples;
using testsupport::fileExists;
using testsupport::readText;
using testsupport::TempDir;
using testsupport::writeText;

namespace {

Image<unsigned char> gradient(int aWidth, int aHeight, int aChannels)
{
    Image<unsigned char> img(aWidth, aHeight, aChannels);
    reference::each(aWidth, aHeight, aChannels, [&](int x, int y, int c) {
        img(x, y, c) = static_cast<unsigned char>((x * 7 + y * 13 + c * 61) & 0xff);
    });
    return img;
}

// Bytes of an RGBE file after its header.
std::string rgbePixelBytes(const std::string &aPath)
{
    std::string text = readText(aPath);
    return text.substr(text.find('\n', text.find("+X ")) + 1);
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
    Image<unsigned char> rgb = gradient(37, 11, 3), grey = gradient(5, 9, 1);
    ASSERT_EQ(FileIO::writeImage(rgb, dir.file("a.PPM").c_str()), 0);
    EXPECT_TRUE(sameSamples(rgb, Image<unsigned char>(dir.file("a.PPM").c_str(), 0)));
    ASSERT_EQ(FileIO::writeImage(grey, dir.file("a.pgm").c_str()), 0);
    EXPECT_TRUE(sameSamples(grey, Image<unsigned char>(dir.file("a.pgm").c_str(), 0)));

    // "dat": width, height, channels as ints, then the floats as they are in memory.
    Image<float> floats(3, 2, 2);
    for (int i = 0; i < 12; ++i)
        floats.data()[i] = i * 0.25f - 1.0f;
    ASSERT_EQ(FileIO::writeImage(floats, dir.file("a.dat").c_str()), 0);
    std::string dat = readText(dir.file("a.dat"));
    const int header[3] = { 3, 2, 2 };
    ASSERT_EQ(dat.size(), 12u + 12 * 4);
    EXPECT_EQ(std::memcmp(dat.data(), header, 12), 0);
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
}

TEST(FileIO, UnknownExtensionsAreRefusedAndWriteNothing)
{
    TempDir dir;
    EXPECT_EQ(FileIO::writeImage(gradient(8, 8, 3), dir.file("a.JPG").c_str()), 0);
    const std::string path = dir.file("b.jpeg");
    int rc = 0;
    EXPECT_EQ(said([&] { rc = FileIO::writeImage(gradient(8, 8, 3), path.c_str()); }),
        "Error: unknown file type jpeg\n");
    EXPECT_EQ(rc, -1);
    EXPECT_FALSE(fileExists(path));
}

TEST(FileIO, JpegStoresMarkedYCbCrSamplesWithoutConversion)
{
    TempDir dir;
    static const unsigned char colour[3] = { 200, 60, 150 };
    Image<unsigned char> img(16, 16, 3);
    for (int i = 0; i < 16 * 16; ++i)
        std::copy_n(colour, 3, img.data() + 3 * i);
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
    EXPECT_TRUE(near(Image<unsigned char>(dir.file("ycc.jpg").c_str(), 0), 231, 208, 80));
}

// A full device, a missing directory, and samples the format cannot hold: -1, a message with
// the path and the system's reason, and no file left behind.
TEST(FileIO, WriterErrorsAreReportedAndLeaveNothing)
{
    TempDir dir;
    Image<float> floats(64, 64, 3);
    for (std::string ext : { "ppm", "pgm", "jpg", "png", "hdr", "dat" }) {
        const std::string full = dir.file("full." + ext), missing = "/nonexistent-dir/x." + ext,
                          wrong = dir.file("wrong." + ext);
        ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
        // Noise, so that the PNG encoder's own writes meet the full device before the close.
        const Image<unsigned char> img = ext == "png"
            ? reference::randomImage<unsigned char>(64, 64, 3, 0, 255, 5)
            : gradient(64, 64, ext == "pgm" ? 1 : 3);
        auto write = [&](const std::string &aPath) {
            return ext == "hdr" || ext == "dat" ? FileIO::writeImage(floats, aPath.c_str())
                                                : FileIO::writeImage(img, aPath.c_str());
        };
        int rc = 0;
        const std::string message = said([&] {
            rc = write(full) + write(missing)
                + (ext == "ppm" ? FileIO::writeImage(floats, wrong.c_str())
                        : ext == "dat"
                        ? FileIO::writeImage(Image<short>(4, 4, 1), wrong.c_str())
                        : FileIO::writeImage(gradient(4, 4, ext == "png" ? 5 : 2), wrong.c_str()));
        });
        EXPECT_EQ(rc, -3) << ext;
        EXPECT_FALSE(fileExists(wrong)) << ext;
        for (const std::string &expected :
            { std::string("No space left on device"), std::string("No such file or directory"),
                ext == "png" ? "Can only save PNG files that have 1-4 channels.\n" : wrong })
            EXPECT_NE(message.find(expected), std::string::npos) << ext << ": " << message;
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
    std::string before = readText(path);
    said([&] { EXPECT_EQ(FileIO::writeImageAtomically(gradient(32, 32, 2), path.c_str()), -1); });
    EXPECT_EQ(readText(path), before);
    EXPECT_EQ(testsupport::listDir(dir.path()), std::vector<std::string> { "photo.jpg" });
}

TEST(FileIO, RgbeRoundTripsWithinItsEncoding)
{
    TempDir dir;
    Image<float> img(300, 5, 3);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 300; ++x)
            for (int c = 0; c < 3; ++c)
                img(x, y, c) = (x % 17 == 3) ? 0.0f : float((x + 1) * (c + 1)) / (y + 1);
    ASSERT_EQ(FileIO::writeImage(img, dir.file("r.hdr").c_str()), 0);
    Image<float> back(dir.file("r.hdr").c_str(), 0);
    ASSERT_EQ(back.width() * 10 + back.height(), 3005);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 300; ++x) {
            float peak = std::max({ img(x, y, 0), img(x, y, 1), img(x, y, 2) });
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(back(x, y, c), img(x, y, c), peak / 128.0f + 1e-30f);
        }
    EXPECT_EQ(rgbePixelBytes(dir.file("r.hdr")).substr(0, 4), bytes({ 2, 2, 1, 44 }));

    // Run-length worked examples on the red plane of one row.
    const std::pair<std::vector<int>, std::string> cases[] = {
        { std::vector<int>(130, 77), bytes({ 255, 77, 131, 77 }) },
        { { 10, 10, 20, 30, 30, 30, 30, 30 }, bytes({ 3, 10, 10, 20, 133, 30 }) },
        { { 1, 1, 1, 2, 3, 4, 5, 6 },
            bytes({ 8, 1, 1, 1, 2, 3, 4, 5, 6 }) }, // runs under 4 are literal
    };
    for (const auto &[plane, expected] : cases) {
        // Green is the largest component (1.0), so every pixel has scale 128 and R = red × 128.
        Image<float> row(int(plane.size()), 1, 3);
        for (int x = 0; x < row.width(); ++x) {
            row(x, 0, 0) = plane[x] / 128.0f;
            row(x, 0, 1) = 1.0f;
        }
        std::string path = dir.file("rle.hdr");
        ASSERT_EQ(FileIO::writeImage(row, path.c_str()), 0);
        EXPECT_EQ(rgbePixelBytes(path).substr(4, expected.size()), expected);
        EXPECT_FLOAT_EQ(
            Image<float>(path.c_str(), 0)(row.width() - 1, 0, 0), plane.back() / 128.0f);
    }
}

// Every reader refuses a bad file with a message and an empty image, and never reads or
// writes outside a buffer (checked under AddressSanitizer).
class FileIOHostile : public ::testing::TestWithParam<std::pair<const char *, std::string>>
{
};

TEST_P(FileIOHostile, IsRefusedWithAMessage)
{
    TempDir dir;
    const std::string name = GetParam().first, path = dir.file(name);
    writeText(path, GetParam().second);
    testing::internal::CaptureStderr();
    bool empty = false;
    std::string message = said([&] {
        empty = name.substr(name.size() - 3) == "hdr"
            ? Image<float>(path.c_str(), 0).empty()
            : Image<unsigned char>(path.c_str(), 0).empty();
    });
    message += testing::internal::GetCapturedStderr();
    EXPECT_TRUE(empty);
    EXPECT_FALSE(message.empty());
}

namespace {
const std::string rgbe = "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n", row8 = rgbe + "-Y 1 +X 8\n";
}

INSTANTIATE_TEST_SUITE_P(Readers, FileIOHostile,
    ::testing::Values(std::pair("wrongmagic.pgm", "P6\n2 2\n255\n0000"),
        std::pair("maxval.pgm", "P5\n2 2\n65535\n00000000"),
        std::pair("huge.pgm", "P5\n1000000 1000000\n255\n0"),
        std::pair("overflow.ppm", "P6\n2147483647 2147483647\n255\n0"),
        std::pair("short.ppm", "P6\n# comment\n4 4\n255\nabc"),
        std::pair("garbage.jpg", "this is not a JPEG"),
        std::pair("noformat.hdr", "#?RGBE\n\n-Y 2 +X 2\n"),
        std::pair("nosize.hdr", rgbe + "+X 8 -Y 2\n"),
        std::pair("hugesize.hdr", rgbe + "-Y 100000 +X 100000\n"),
        std::pair("badwidth.hdr", row8 + bytes({ 2, 2, 0, 9 })),
        std::pair("zerocount.hdr", row8 + bytes({ 2, 2, 0, 8, 0, 5 })),
        std::pair("longrun.hdr", row8 + bytes({ 2, 2, 0, 8, 137, 5 })),
        std::pair("longliteral.hdr", row8 + bytes({ 2, 2, 0, 8, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9 })),
        std::pair("truncated.hdr", rgbe + "-Y 2 +X 8\n" + bytes({ 2, 2, 0, 8, 136, 5 })),
        std::pair("flatshort.hdr", rgbe + "-Y 4 +X 4\nabcdefgh"), std::pair("image.tif", "II*")));

TEST(FileIO, PpmSkipsOneCommentLineAndRefusesATooSmallBuffer)
{
    TempDir dir;
    std::string path = dir.file("c.ppm");
    writeText(path, std::string("P6\n# made by hand\n2 1\n255\n") + bytes({ 1, 2, 3, 4, 5, 6 }));
    Image<unsigned char> img(path.c_str(), 0);
    ASSERT_EQ(img.width(), 2);
    EXPECT_EQ(img(1, 0, 2), 6);

    unsigned char small[4];
    unsigned char *data = small;
    int w = -1, h = -1;
    EXPECT_NE(said([&] { FileIO::readPpm(path.c_str(), w, h, data, sizeof small); }), "");
    EXPECT_EQ(w + h, 0);
    EXPECT_EQ(data, small);

    // A file that ends early leaves the caller's buffer as it was.
    writeText(path, "P5\n4 2\n255\nabc");
    unsigned char large[8] = { 9, 9, 9, 9, 9, 9, 9, 9 };
    data = large;
    EXPECT_NE(said([&] { FileIO::readPgm(path.c_str(), w, h, data, sizeof large); }), "");
    EXPECT_EQ(w + h, 0);
    EXPECT_EQ(std::count(large, large + 8, 9), 8);
}

namespace {

// A JPEG of busy content, most of it entropy-coded data.
std::string busyJpeg(const TempDir &aDir)
{
    const std::string path = aDir.file("busy.jpg");
    Image<unsigned char> img(64, 48, 3);
    for (int i = 0; i < 64 * 48 * 3; ++i)
        img.data()[i] = static_cast<unsigned char>((i * i * 7 + i / 5) % 251);
    EXPECT_EQ(FileIO::writeImage(img, path.c_str()), 0);
    return readText(path);
}

} // namespace

TEST(FileIO, JpegDamageThatWouldInventPixelsIsRefused)
{
    TempDir dir;
    const std::string path = dir.file("damaged.jpg");
    // A marker in the middle of the entropy-coded data: the decoder would fill the rest with
    // made-up samples and only warn.
    std::string jpeg = busyJpeg(dir);
    jpeg.replace(jpeg.size() * 2 / 3, 2, "\xff\xd3");
    writeText(path, jpeg);
    EXPECT_NE(said([&] {
        EXPECT_TRUE(Image<unsigned char>(path.c_str(), 0).empty());
    }).find(path + ": Corrupt JPEG data"),
        std::string::npos);

    // A few hundred bytes that declare 65000 x 65000 pixels (progressive, so that the decoder
    // would take the whole image's coefficients at once) are refused from the header.
    jpeg = busyJpeg(dir);
    jpeg[jpeg.find("\xff\xc0") + 1] = '\xc2';
    jpeg.replace(jpeg.find("\xff\xc2") + 5, 4, "\xfd\xe8\xfd\xe8");
    writeText(path, jpeg.substr(0, 700));
    EXPECT_NE(said([&] {
        EXPECT_TRUE(Image<unsigned char>(path.c_str(), 0).empty());
    }).find("unsupported size 65000 x 65000"),
        std::string::npos);
}

TEST(FileIO, SixteenBitPngWithoutGammaReadsAsItsEightBitSelf)
{
    // 2 × 1 grey, 16 bits, samples 0x8080 and 0xffff, no gAMA or sRGB chunk.
    const std::string png = bytes({ 0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D',
        'R', 0, 0, 0, 2, 0, 0, 0, 1, 16, 0, 0, 0, 0, 0x81, 0xd9, 0xfc, 0x15, 0, 0, 0, 13, 'I', 'D',
        'A', 'T', 0x78, 0x9c, 0x63, 0x68, 0x68, 0xf8, 0xff, 0x1f, 0x00, 0x06, 0x82, 0x02, 0xff,
        0xb3, 0xbe, 0x51, 0x33, 0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82 });
    TempDir dir;
    writeText(dir.file("deep.png"), png);
    int w, h, c;
    unsigned char *pixels = FileIO::readPng(dir.file("deep.png").c_str(), w, h, c);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixels[0], 128);
    EXPECT_EQ(pixels[1], 255);
    delete[] pixels;
}

TEST(FileIO, JpegFromMemoryMatchesTheFileAndRefusesDamage)
{
    TempDir dir;
    const std::string path = dir.file("src.jpg"), cutPath = dir.file("cut.jpg");
    ASSERT_EQ(FileIO::writeImage(gradient(64, 48, 3), path.c_str(), 90), 0);
    const std::string jpeg = readText(path);
    int w, h, c;
    auto decode = [&](const std::string &aBytes) {
        return FileIO::decodeJpegMemory(
            reinterpret_cast<const unsigned char *>(aBytes.data()), aBytes.size(), w, h, c);
    };
    EXPECT_TRUE(sameSamples(decode(jpeg), Image<unsigned char>(path.c_str(), 0)));
    EXPECT_EQ(w * 10000 + h * 10 + c, 640483);

    // Truncated, from memory and from a file: both refused, each with a message.
    for (std::size_t cut : { std::size_t(20), jpeg.size() / 2 }) {
        writeText(cutPath, jpeg.substr(0, cut));
        const std::string message = said([&] {
            EXPECT_TRUE(decode(jpeg.substr(0, cut)).empty()) << cut;
            EXPECT_TRUE(Image<unsigned char>(cutPath.c_str(), 0).empty()) << cut;
        });
        EXPECT_GE(std::count(message.begin(), message.end(), '\n'), 2) << cut << ": " << message;
    }
    // Random damage may or may not decode, but never crashes or reads outside the buffer.
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::string damaged = jpeg;
        for (int k = 0; k < 4; ++k)
            damaged[random() % damaged.size()] = char(random());
        said([&] {
            Image<unsigned char> img = decode(damaged);
            EXPECT_TRUE(img.empty() || img.width() * img.height() * img.channels() == w * h * c);
        });
    }
}

TEST(FileIO, LoadingChecksTheSampleTypeAndTheFile)
{
    TempDir dir;
    ASSERT_EQ(FileIO::writeImage(gradient(4, 4, 3), dir.file("a.ppm").c_str()), 0);
    std::size_t size = 0;
    std::string message = said([&] {
        EXPECT_TRUE(Image<float>(dir.file("a.ppm").c_str(), 0).empty());
        EXPECT_TRUE(Image<short>(dir.file("a.ppm").c_str(), 0).empty());
        EXPECT_EQ(FileIO::readFile(dir.file("missing.jpg").c_str(), size), nullptr);
    });
    const std::string refused
        = "Cannot load " + dir.file("a.ppm") + ": its format holds 8-bit samples.\n";
    EXPECT_EQ(message.substr(0, 2 * refused.size()), refused + refused);
    EXPECT_NE(message.find("missing.jpg"), std::string::npos) << message;
}
