// duskline-merge as its users run it: the real binary, its exit status, its messages and the
// files it leaves behind.

#include "Bursts.h"
#include "core/FileIO"
#include "core/MergePipeline"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <libexif/exif-tag.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

using testsupport::TempDir;

struct ToolRun
{
    int status; // a signal shows as the shell's 128 + signal
    std::string out, err;
};

// aArguments go through the shell, split at spaces.
ToolRun runMerge(const std::string &aArguments)
{
    static TempDir logs;
    const std::string out = logs.file("stdout"), err = logs.file("stderr");
    const int status = std::system(
        (DUSKLINE_BIN_DIR "/duskline-merge " + aArguments + " >" + out + " 2>" + err).c_str());
    return { WIFEXITED(status) ? WEXITSTATUS(status) : -1, testsupport::readText(out),
        testsupport::readText(err) };
}

Image<unsigned char> readBack(const std::string &aPath)
{
    int w = 0, h = 0, c = 3;
    unsigned char *pixels = nullptr;
    std::string ext = aPath.substr(aPath.find_last_of('.') + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (ext == "png")
        pixels = FileIO::readPng(aPath.c_str(), w, h, c);
    else if (ext == "ppm")
        FileIO::readPpm(aPath.c_str(), w, h, pixels);
    else
        pixels = FileIO::readJpeg(aPath.c_str(), 0, w, h, c);
    return pixels ? Image<unsigned char>::adopt(w, h, c, pixels) : Image<unsigned char>();
}

double meanAbsDifference(const Image<unsigned char> &aA, const Image<unsigned char> &aB)
{
    double sum = 0;
    for (int y = 0; y < aA.height(); ++y)
        for (int x = 0; x < aA.width(); ++x)
            for (int c = 0; c < 3; ++c)
                sum += std::abs(int(aA(x, y, c)) - int(aB(x, y, c)));
    return sum / (3.0 * aA.width() * aA.height());
}

class MergeTool : public ::testing::Test
{
protected:
    // A quarter-size copy of a shared scene's exposures as aPrefix1.ppm... (lossless, so
    // expectations can be exact); returns the paths.
    std::vector<std::string> smallBurst(const std::string &aScene, const std::string &aPrefix)
    {
        std::vector<std::string> paths;
        for (const Image<unsigned char> &photo : quarterSizeBurst(aScene))
            paths.push_back(write(aPrefix + std::to_string(paths.size() + 1) + ".ppm", photo));
        return paths;
    }

    std::string write(const std::string &aName, const Image<unsigned char> &aImage)
    {
        const std::string path = dir.file(aName);
        EXPECT_EQ(FileIO::writeImage(aImage, path.c_str()), 0);
        return path;
    }

    TempDir dir;
};

std::string ppmBytes(int aWidth, int aHeight)
{
    return "P6\n" + std::to_string(aWidth) + " " + std::to_string(aHeight) + "\n255\n"
        + std::string(std::size_t(aWidth) * aHeight * 3, '\x60');
}

std::string jpegBytes()
{
    TempDir scratch;
    // Busy content, so that most of the file is entropy-coded data rather than tables.
    Image<unsigned char> img(64, 48, 3);
    for (int i = 0; i < 64 * 48 * 3; ++i)
        img.data()[i] = static_cast<unsigned char>((i * i * 7 + i / 5) % 251);
    FileIO::writeImage(img, scratch.file("a.jpg").c_str());
    return testsupport::readText(scratch.file("a.jpg"));
}

// In arguments and messages "$O" stands for an output and two inputs that would do, "$G" for an
// output and the good input, "$D" for the test's folder.
std::string expand(std::string aText, const std::string &aDir)
{
    for (const auto &[from, to] : { std::pair<std::string, std::string> { "$O", "-o $D/o.jpg a b" },
             { "$G", "-o $D/o.jpg $D/good.ppm" }, { "$D", aDir } })
        for (std::size_t at; (at = aText.find(from)) != std::string::npos;)
            aText.replace(at, from.size(), to);
    return aText;
}

} // namespace

// Exit status 2 for bad usage, 1 for a failure; beside $D/good.ppm, the case may write one more
// file (a name ending in '/' is a folder).
struct ErrorCase
{
    int status;
    std::string arguments, message, file = "", content = "";
};

void PrintTo(const ErrorCase &aCase, std::ostream *aOut)
{
    *aOut << aCase.arguments;
}

class MergeToolErrors : public MergeTool, public ::testing::WithParamInterface<ErrorCase>
{
};

TEST_P(MergeToolErrors, ExitWithOneMessageAndLeaveNoFile)
{
    const ErrorCase &c = GetParam();
    testsupport::writeText(dir.file("good.ppm"), ppmBytes(64, 48));
    if (!c.file.empty() && c.file.back() == '/')
        mkdir(dir.file(c.file).c_str(), 0755);
    else if (!c.file.empty())
        testsupport::writeText(dir.file(c.file), c.content);
    const std::vector<std::string> before = testsupport::listDir(dir.path());
    ToolRun run = runMerge(expand(c.arguments, dir.path()));
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err,
        "duskline-merge: " + expand(c.message, dir.path())
            + (c.status == 2 ? "\nTry 'duskline-merge --help' for more information.\n" : "\n"));
    EXPECT_EQ(run.out, "");
    // Nothing new, not even a half-written or hidden temporary file.
    EXPECT_EQ(testsupport::listDir(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(BadArguments, MergeToolErrors,
    ::testing::Values(ErrorCase { 2, "a.jpg b.jpg", "no output file given (-o OUTPUT)" },
        ErrorCase { 2, "-o", "option -o needs a value" },
        ErrorCase { 2, "--frobnicate $O", "unknown option --frobnicate" },
        ErrorCase { 2, "--mu nan $O", "--mu: 'nan' is not a number from 0 to 1" },
        ErrorCase { 2, "--sigma 0.001 $O", "--sigma: '0.001' is narrower than one level (1/255)" },
        ErrorCase { 2, "--exposure-optimum 1.5 $O",
            "--exposure-optimum: '1.5' is not a number from 0 to 1" },
        ErrorCase {
            2, "--contrast-weight 11 $O", "--contrast-weight: '11' is not a number from 0 to 10" },
        ErrorCase { 2, "--phone --saturation-weight 1 $O",
            "--saturation-weight applies to the desktop's processing, not to --phone" },
        ErrorCase { 2, "--quality 95x $O", "--quality: '95x' is not a whole number from 1 to 100" },
        ErrorCase {
            2, "--group 2 $O", "--group needs an output name with %d for the group number" },
        ErrorCase { 2, "--group 3 -o r%d.jpg a b c d", "4 inputs do not make groups of 3" },
        ErrorCase { 2, "--group 2 --aligned al -o r%d.jpg a b c d",
            "--aligned needs a prefix with %d for the group number when --group makes several "
            "results" },
        ErrorCase { 2, "-o result.tif a b",
            "result.tif: unknown output format (use .jpg, .jpeg, .ppm or .png)" },
        ErrorCase { 2, "-o $D//good.ppm $D/good.ppm $D/no.ppm",
            "$D//good.ppm would overwrite the input $D/good.ppm" }));

INSTANTIATE_TEST_SUITE_P(Failures, MergeToolErrors,
    ::testing::Values(ErrorCase { 1, "$G $D/no.jpg", "$D/no.jpg: No such file or directory" },
        ErrorCase { 1, "$G $D/b.jpg", "$D/b.jpg: not a JPEG file", "b.jpg", "hello, I am text" },
        ErrorCase { 1, "$G $D/b.JPEG", "$D/b.JPEG: the data ends early", "b.JPEG",
            jpegBytes().substr(0, jpegBytes().size() * 3 / 4) },
        ErrorCase { 1, "$G $D/b.jpg", "$D/b.jpg: corrupt JPEG data: premature end of data segment",
            "b.jpg", jpegBytes().replace(jpegBytes().size() * 2 / 3, 2, "\xff\xd3") },
        ErrorCase { 1, "$G $D/b.ppm", "$D/b.ppm: the file ends after 100 of 9216 bytes", "b.ppm",
            ppmBytes(64, 48).substr(0, 113) },
        ErrorCase { 1, "$G $D/b.jpg",
            "$D/b.jpg: its orientation (EXIF 6) differs from 1 of $D/good.ppm; turn the "
            "photographs alike first",
            "b.jpg", testsupport::readText(testsupport::KCameraJpeg) },
        ErrorCase { 1, "$G $D/b.ppm",
            "$D/b.ppm: image size 2000000000 x 2000000000 is out of range", "b.ppm",
            "P6\n2000000000 2000000000\n255\n" },
        ErrorCase { 1, "$G $D/b.png", "$D/b.png: the file is empty", "b.png" },
        ErrorCase { 1, "$G $D", "$D: unknown input format (use .jpg, .jpeg, .ppm or .png)" },
        ErrorCase { 1, "$G $D/b.ppm", "$D/b.ppm: size 48x64 differs from 64x48 of $D/good.ppm",
            "b.ppm", ppmBytes(48, 64) },
        ErrorCase { 1, "$G", "at least two input images are needed, 1 given" },
        ErrorCase { 1, "-o $D/no/o.jpg $D/good.ppm $D/good.ppm",
            "$D/no/o.jpg: cannot write: No such file or directory" },
        ErrorCase { 1, "-o $D/taken.jpg $D/good.ppm $D/good.ppm", "$D/taken.jpg: is a folder",
            "taken.jpg/" }));

TEST_F(MergeTool, MergesARealBurstQuietlyIntoANewPicture)
{
    const std::vector<std::string> in = smallBurst("Flowers", "f");
    const std::string inputs = " " + in[0] + " " + in[1] + " " + in[2];
    ToolRun run = runMerge("-o " + dir.file("merged.jpg") + inputs);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out + run.err, "");
    Image<unsigned char> merged = readBack(dir.file("merged.jpg"));
    ASSERT_FALSE(merged.empty());
    for (const std::string &input : in) {
        Image<unsigned char> original = readBack(input);
        ASSERT_EQ(merged.width(), original.width());
        ASSERT_EQ(merged.height(), original.height());
        EXPECT_GT(meanAbsDifference(merged, original), 3.0) << input;
    }
    // The fusion's bands of rows must meet without a seam whatever their number.
    for (const char *threads : { "1", "3" }) {
        const std::string again = dir.file(std::string("threads") + threads + ".jpg");
        run = runMerge("--threads " + std::string(threads) + " -o " + again + inputs);
        ASSERT_EQ(run.status, 0);
        EXPECT_EQ(testsupport::readText(again), testsupport::readText(dir.file("merged.jpg")));
    }
}

// The reference's EXIF goes into a JPEG result, less what described only that input.
TEST_F(MergeTool, AJpegResultCarriesTheReferenceExif)
{
    const std::string in = testsupport::KCameraJpeg, out = dir.file("out.jpeg");
    ASSERT_EQ(runMerge("--no-align -o " + out + " " + in + " " + in).status, 0);
    EXPECT_EQ(testsupport::exifTag(out, EXIF_TAG_MAKE), "Testcam");
    EXPECT_EQ(testsupport::exifTag(out, EXIF_TAG_ORIENTATION), "Right-top");
    EXPECT_EQ(testsupport::exifTag(out, EXIF_TAG_EXPOSURE_TIME), "");
    EXPECT_EQ(testsupport::exifTag(out, EXIF_TAG_SOFTWARE).rfind("duskline-merge ", 0), 0u);
}

TEST_F(MergeTool, GroupsMakeOneResultEach)
{
    REQUIRE_SHARED_DATA();
    std::string args = "--group 3 --aligned " + dir.file("al%d-") + " -o " + dir.file("r%d.png");
    for (const char *scene : { "Flowers", "OldHouse" })
        for (const std::string &path : smallBurst(scene, scene))
            args += " " + path;
    ASSERT_EQ(runMerge(args).status, 0);
    Image<unsigned char> first = readBack(dir.file("r1.png")),
                         second = readBack(dir.file("r2.png"));
    ASSERT_FALSE(first.empty() || second.empty());
    EXPECT_GT(meanAbsDifference(first, second), 10.0) << "two scenes, two different results";
    EXPECT_FALSE(testsupport::fileExists(dir.file("r3.png")));
    for (const char *aligned : { "al1-1.ppm", "al1-3.ppm", "al2-1.ppm", "al2-3.ppm" })
        EXPECT_TRUE(testsupport::fileExists(dir.file(aligned))) << aligned;
}

class MergeToolFormats : public MergeTool, public ::testing::WithParamInterface<const char *>
{
};

// One grey picture as a grey JPEG (another spelling), a grey PNG and a colour PPM: merged as
// colour, written in any format whatever the extension's case.
TEST_P(MergeToolFormats, ReadsAndWritesEveryFormatInAnyCase)
{
    Image<unsigned char> grey(80, 60, 1), colour(80, 60, 3);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x)
            for (int c = 0; c < 3; ++c)
                grey(x, y, 0) = colour(x, y, c) = static_cast<unsigned char>(x * 3);
    std::rename(write("a.jpg", grey).c_str(), dir.file("a.JPEG").c_str());
    const std::string out = dir.file(std::string("out.") + GetParam());
    ToolRun run = runMerge("--no-align -o " + out + " " + dir.file("a.JPEG") + " "
        + write("b.png", grey) + " " + write("c.ppm", colour));
    ASSERT_EQ(run.status, 0) << run.err;
    Image<unsigned char> merged = readBack(out);
    ASSERT_FALSE(merged.empty()) << out;
    EXPECT_EQ(merged.width(), 80);
    EXPECT_EQ(merged.height(), 60);
    ASSERT_EQ(merged.channels(), 3);
    EXPECT_NEAR(merged(40, 30, 0), 120, 8);
    EXPECT_EQ(merged(40, 30, 0), merged(40, 30, 2));
    // Only the result: no staging or temporary file stays behind.
    EXPECT_EQ(testsupport::listDir(dir.path()).size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Extensions, MergeToolFormats, ::testing::Values("JPG", "Jpeg", "ppm", "Png"));

namespace {

// aImage resampled bilinearly to aWidth x aHeight.
Image<unsigned char> resized(const Image<unsigned char> &aImage, int aWidth, int aHeight)
{
    Image<unsigned char> out(aWidth, aHeight, 3);
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x) {
            const float sx = x * float(aImage.width() - 1) / float(aWidth - 1);
            const float sy = y * float(aImage.height() - 1) / float(aHeight - 1);
            const int x0 = std::min(int(sx), aImage.width() - 2);
            const int y0 = std::min(int(sy), aImage.height() - 2);
            const float fx = sx - x0, fy = sy - y0;
            for (int c = 0; c < 3; ++c) {
                const float top = aImage(x0, y0, c) * (1 - fx) + aImage(x0 + 1, y0, c) * fx;
                const float bottom
                    = aImage(x0, y0 + 1, c) * (1 - fx) + aImage(x0 + 1, y0 + 1, c) * fx;
                out(x, y, c) = static_cast<unsigned char>(top * (1 - fy) + bottom * fy + 0.5f);
            }
        }
    return out;
}

// aImage moved right by aShift pixels; the uncovered band is black.
Image<unsigned char> shiftedRight(const Image<unsigned char> &aImage, int aShift)
{
    Image<unsigned char> out(aImage.width(), aImage.height(), 3);
    for (int y = 0; y < aImage.height(); ++y)
        for (int x = 0; x < aImage.width(); ++x)
            for (int c = 0; c < 3; ++c)
                out(x, y, c) = x >= aShift ? aImage(x - aShift, y, c) : 0;
    return out;
}

// The figures -v printed for aInput: "shift X, Y px".
bool shiftOf(const std::string &aVerbose, const std::string &aInput, float &aX, float &aY)
{
    const std::size_t line = aVerbose.find("Registration of " + aInput + ":");
    const std::size_t shift = aVerbose.find("shift ", line);
    return line != std::string::npos && shift != std::string::npos
        && std::sscanf(aVerbose.c_str() + shift, "shift %f, %f px", &aX, &aY) == 2;
}

} // namespace

// --phone is the camera's merge: the tool's result is core::mergeBurst's, pixel for pixel, on
// both of its paths (full-resolution fusion below 1296 pixels, half resolution plus detail at
// and above).
TEST_F(MergeTool, PhoneProfileIsTheCamerasMergePixelForPixel)
{
    REQUIRE_SHARED_DATA();
    const std::vector<Image<unsigned char>> small = quarterSizeBurst("Flowers");
    for (int width : { small[0].width(), 1300 }) {
        SCOPED_TRACE(width);
        std::vector<Image<unsigned char>> burst;
        std::string args = "--phone -o " + dir.file("phone.ppm");
        for (std::size_t i = 0; i < small.size(); ++i) {
            burst.push_back(resized(small[i], width, width * 2 / 3));
            args += " " + write("p" + std::to_string(i) + ".ppm", burst.back());
        }
        ToolRun run = runMerge(args);
        ASSERT_EQ(run.status, 0) << run.err;
        core::MergeSettings settings;
        settings.threads = 2;
        ASSERT_EQ(core::mergeBurst(burst, settings), 0);
        Image<unsigned char> tool = readBack(dir.file("phone.ppm"));
        ASSERT_EQ(tool.width(), burst[0].width());
        ASSERT_EQ(tool.height(), burst[0].height());
        EXPECT_TRUE(std::equal(
            tool.data(), tool.data() + tool.width() * tool.height() * 3, burst[0].data()));
    }
}

// A photograph registration cannot trust is named and left out, the rest merged as if it had
// never been given; a real hand-held motion of 40 pixels is registered, not refused.
TEST_F(MergeTool, LeavesOutWhatRegistrationCannotTrustAndKeepsRealMotion)
{
    REQUIRE_SHARED_DATA();
    std::vector<Image<unsigned char>> flowers, other;
    for (const char *name :
        { "Flowers/Flowers1.jpg", "Flowers/Flowers2.jpg", "Flowers/Flowers3.jpg" })
        flowers.emplace_back(testsupport::dataFile(name).c_str(), 0);
    const std::string f1 = write("f1.ppm", flowers[0]), f2 = write("f2.ppm", flowers[1]),
                      f3 = write("f3.ppm", flowers[2]),
                      house = testsupport::dataFile("OldHouse/OldHouse3.jpg"),
                      moved = write("moved.ppm", shiftedRight(flowers[2], 40));

    ToolRun run = runMerge("-o " + dir.file("pair.png") + " " + f1 + " " + f2);
    ASSERT_EQ(run.status, 0) << run.err;
    run = runMerge("-o " + dir.file("left-out.png") + " " + f1 + " " + house + " " + f2);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.rfind("duskline-merge: " + house
                      + ": left out: its registration cannot be "
                        "trusted (",
                  0),
        0u)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(testsupport::readText(dir.file("left-out.png")),
        testsupport::readText(dir.file("pair.png")));

    // Only the reference left: nothing to merge.
    run = runMerge("-o " + dir.file("none.png") + " " + f1 + " " + house);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("duskline-merge: " + dir.file("none.png")
                  + ": nothing to merge: no other input could be registered to " + f1 + "\n"),
        std::string::npos)
        << run.err;
    EXPECT_FALSE(testsupport::fileExists(dir.file("none.png")));

    run = runMerge("-v -o " + dir.file("still.png") + " " + f1 + " " + f2 + " " + f3);
    ASSERT_EQ(run.status, 0) << run.err;
    run = runMerge("-v -o " + dir.file("moved.png") + " " + f1 + " " + f2 + " " + moved);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    float x = 0, y = 0;
    ASSERT_TRUE(shiftOf(run.out, moved, x, y)) << run.out;
    EXPECT_NEAR(x, -40.0f, 1.0f);
    EXPECT_NEAR(y, 0.0f, 1.0f);
    // Registered, the moved photograph merges like the still one: no double edges.
    Image<unsigned char> still = readBack(dir.file("still.png")),
                         merged = readBack(dir.file("moved.png"));
    ASSERT_FALSE(still.empty() || merged.empty());
    double sum = 0;
    int count = 0;
    for (int yy = 0; yy < still.height(); ++yy)
        for (int xx = 48; xx < still.width(); ++xx, ++count)
            for (int c = 0; c < 3; ++c)
                sum += std::abs(int(still(xx, yy, c)) - int(merged(xx, yy, c)));
    EXPECT_LT(sum / (3.0 * count), 2.0);
}

// A batch on a terminal shows its progress on one line; anywhere else it says nothing.
TEST_F(MergeTool, BatchProgressOnlyOnATerminal)
{
    REQUIRE_SHARED_DATA();
    std::string inputs;
    for (const char *scene : { "Flowers", "OldHouse" })
        for (const std::string &path : smallBurst(scene, scene))
            inputs += " " + path;
    ToolRun run = runMerge("--group 3 -o " + dir.file("r%d.png") + inputs);
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    // script(1) gives the tool a terminal.
    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "script(1) is not installed";
    const std::string log = dir.file("terminal");
    const std::string command
        = DUSKLINE_BIN_DIR "/duskline-merge --group 3 -o " + dir.file("t%d.png") + inputs;
    ASSERT_EQ(std::system(("script -qec '" + command + "' " + log + " >/dev/null").c_str()), 0);
    const std::string seen = testsupport::readText(log);
    EXPECT_NE(seen.find("\r\033[KMerging group 1 of 2: "), std::string::npos) << seen;
    EXPECT_NE(seen.find("\r\033[KMerging group 2 of 2: "), std::string::npos) << seen;
}
