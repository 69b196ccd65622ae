// duskline-merge as its users run it: the real binary, its exit status, its messages and the
// files it leaves behind.

#include "core/FileIO"
#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testsupport::TempDir;

struct ToolRun
{
    int status = -1; // exit status, -1 when the process was killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

ToolRun runMerge(const std::vector<std::string> &aArguments)
{
    static TempDir logs;
    const std::string outPath = logs.file("stdout"), errPath = logs.file("stderr");
    std::vector<std::string> args = { "duskline-merge" };
    args.insert(args.end(), aArguments.begin(), aArguments.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    ToolRun run;
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0)
            _exit(126);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execv(DUSKLINE_BIN_DIR "/duskline-merge", argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    run.out = testsupport::readText(outPath);
    run.err = testsupport::readText(errPath);
    return run;
}

Image<unsigned char> readBack(const std::string &aPath)
{
    int w = 0, h = 0, c = 0;
    unsigned char *pixels = nullptr;
    const std::string ext = aPath.substr(aPath.find_last_of('.') + 1);
    if (ext == "png" || ext == "PNG")
        pixels = FileIO::readPng(aPath.c_str(), w, h, c);
    else if (ext == "ppm")
        FileIO::readPpm(aPath.c_str(), w, h, pixels), c = 3;
    else
        pixels = FileIO::readJpeg(aPath.c_str(), 0, w, h, c);
    if (!pixels)
        return Image<unsigned char>();
    return Image<unsigned char>::adopt(w, h, c, pixels);
}

// Box-downscaled copy: real photographs at a size that keeps the suite fast.
Image<unsigned char> shrink(const Image<unsigned char> &aPhoto, int aFactor)
{
    Image<unsigned char> out(aPhoto.width() / aFactor, aPhoto.height() / aFactor, 3);
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int dy = 0; dy < aFactor; ++dy)
                    for (int dx = 0; dx < aFactor; ++dx)
                        sum += aPhoto(x * aFactor + dx, y * aFactor + dy, c);
                out(x, y, c) = static_cast<unsigned char>(sum / (aFactor * aFactor));
            }
    return out;
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

int lineCount(const std::string &aText)
{
    return int(std::count(aText.begin(), aText.end(), '\n'));
}

class MergeTool : public ::testing::Test
{
protected:
    // Writes a quarter-size copy of a shared scene's exposures into the temporary folder as
    // aPrefix1.ppm... (lossless, so expectations can be exact); returns the paths.
    std::vector<std::string> smallBurst(const std::string &aScene, const std::string &aPrefix)
    {
        std::vector<std::string> paths;
        for (int i = 1; i <= 3; ++i) {
            const std::string source
                = testsupport::dataFile(aScene + "/" + aScene + std::to_string(i) + ".jpg");
            Image<unsigned char> photo(source.c_str(), 0);
            EXPECT_FALSE(photo.empty()) << source;
            const std::string path = dir.file(aPrefix + std::to_string(i) + ".ppm");
            EXPECT_EQ(FileIO::writeImage(shrink(photo, 4), path.c_str()), 0);
            paths.push_back(path);
        }
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

} // namespace

TEST_F(MergeTool, HelpAndVersionGoToStandardOutput)
{
    ToolRun help = runMerge({ "--help" });
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: duskline-merge [options] -o OUTPUT INPUT1 INPUT2", 0), 0u);
    EXPECT_NE(help.out.find("--group N"), std::string::npos);
    EXPECT_EQ(help.err, "");
    ToolRun version = runMerge({ "--version" });
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("duskline-merge ", 0), 0u);
    EXPECT_EQ(lineCount(version.out), 1);
}

struct UsageCase
{
    std::vector<std::string> arguments;
    std::string message;
};

void PrintTo(const UsageCase &aCase, std::ostream *aOut)
{
    *aOut << aCase.message;
}

class MergeToolUsage : public MergeTool, public ::testing::WithParamInterface<UsageCase>
{
};

TEST_P(MergeToolUsage, ExitsWithTwoAndOneMessage)
{
    std::vector<std::string> args;
    for (const std::string &a : GetParam().arguments)
        args.push_back(a == "OUT" ? dir.file("out.jpg") : a);
    ToolRun run = runMerge(args);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(run.err,
        "duskline-merge: " + GetParam().message
            + "\nTry 'duskline-merge --help' for more information.\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(testsupport::listDir(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(BadArguments, MergeToolUsage,
    ::testing::Values(UsageCase { { "a.jpg", "b.jpg" }, "no output file given (-o OUTPUT)" },
        UsageCase { { "-o" }, "option -o needs a value" },
        UsageCase { { "--frobnicate", "-o", "OUT", "a", "b" }, "unknown option --frobnicate" },
        UsageCase { { "-x", "-o", "OUT", "a", "b" }, "unknown option -x" },
        UsageCase {
            { "--mu", "abc", "-o", "OUT", "a", "b" }, "--mu: 'abc' is not a number from 0 to 1" },
        UsageCase {
            { "--mu", "1.5", "-o", "OUT", "a", "b" }, "--mu: '1.5' is not a number from 0 to 1" },
        UsageCase {
            { "--mu", "nan", "-o", "OUT", "a", "b" }, "--mu: 'nan' is not a number from 0 to 1" },
        UsageCase { { "--sigma", "0", "-o", "OUT", "a", "b" },
            "--sigma: '0' is not a number above 0 and at most 1" },
        UsageCase { { "--sigma", "0.001", "-o", "OUT", "a", "b" },
            "--sigma: '0.001' is narrower than one level (1/255)" },
        UsageCase { { "--quality", "0", "-o", "OUT", "a", "b" },
            "--quality: '0' is not a whole number from 1 to 100" },
        UsageCase { { "--quality", "95x", "-o", "OUT", "a", "b" },
            "--quality: '95x' is not a whole number from 1 to 100" },
        UsageCase { { "--threads", "0", "-o", "OUT", "a", "b" },
            "--threads: '0' is not a whole number from 1 to 64" },
        UsageCase { { "--group", "1", "-o", "r%d.jpg", "a", "b" },
            "--group: '1' is not a whole number of 2 or more" },
        UsageCase { { "--group", "2", "-o", "OUT", "a", "b" },
            "--group needs an output name with %d for the group number" },
        UsageCase { { "--group", "3", "-o", "r%d.jpg", "a", "b", "c", "d" },
            "4 inputs do not make groups of 3" },
        UsageCase { { "--group", "2", "--aligned", "al", "-o", "r%d.jpg", "a", "b", "c", "d" },
            "--aligned needs a prefix with %d for the group number when --group makes several "
            "results" },
        UsageCase { { "-o", "result.tif", "a", "b" },
            "result.tif: unknown output format (use .jpg, .jpeg, .ppm or .png)" }));

namespace {

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

// "$D" in an argument or message stands for the test's folder.
std::string expand(const std::string &aText, const std::string &aDir)
{
    std::string out = aText;
    for (std::size_t at; (at = out.find("$D")) != std::string::npos;)
        out.replace(at, 2, aDir);
    return out;
}

} // namespace

struct FailureCase
{
    const char *name;
    std::vector<std::pair<std::string, std::string>> files; // name, content
    std::vector<std::string> arguments;
    std::string message; // what follows "duskline-merge: "
};

void PrintTo(const FailureCase &aCase, std::ostream *aOut)
{
    *aOut << aCase.name;
}

class MergeToolFailure : public MergeTool, public ::testing::WithParamInterface<FailureCase>
{
};

TEST_P(MergeToolFailure, ExitsWithOneAndLeavesNoOutput)
{
    for (const auto &[name, content] : GetParam().files)
        testsupport::writeText(dir.file(name), content);
    if (std::string(GetParam().name) == "OutputIsAFolder")
        mkdir(dir.file("taken.jpg").c_str(), 0755);
    std::vector<std::string> args;
    for (const std::string &a : GetParam().arguments)
        args.push_back(expand(a, dir.path()));
    const std::vector<std::string> before = testsupport::listDir(dir.path());
    ToolRun run = runMerge(args);
    EXPECT_EQ(run.signal, 0) << "killed by a signal";
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "duskline-merge: " + expand(GetParam().message, dir.path()) + "\n");
    EXPECT_EQ(run.out, "");
    // Nothing new, not even a half-written or hidden temporary file.
    EXPECT_EQ(testsupport::listDir(dir.path()), before);
}

const std::pair<std::string, std::string> KGood { "good.ppm", ppmBytes(64, 48) };

INSTANTIATE_TEST_SUITE_P(Inputs, MergeToolFailure,
    ::testing::Values(
        FailureCase { "MissingFile", { KGood }, { "-o", "$D/o.jpg", "$D/good.ppm", "$D/no.jpg" },
            "$D/no.jpg: No such file or directory" },
        FailureCase { "NotAJpeg", { KGood, { "b.jpg", "hello, I am text" } },
            { "-o", "$D/o.jpg", "$D/good.ppm", "$D/b.jpg" }, "$D/b.jpg: not a JPEG file" },
        FailureCase { "TruncatedJpeg",
            { KGood, { "b.JPEG", jpegBytes().substr(0, jpegBytes().size() * 3 / 4) } },
            { "-o", "$D/o.jpg", "$D/good.ppm", "$D/b.JPEG" }, "$D/b.JPEG: the data ends early" },
        FailureCase { "CorruptJpegHeader", { KGood, { "b.jpg", jpegBytes().substr(0, 40) } },
            { "-o", "$D/o.jpg", "$D/good.ppm", "$D/b.jpg" },
            "$D/b.jpg: JPEG datastream contains no image" },
        FailureCase { "TruncatedPpm", { KGood, { "b.ppm", ppmBytes(64, 48).substr(0, 113) } },
            { "-o", "$D/o.jpg", "$D/good.ppm", "$D/b.ppm" },
            "$D/b.ppm: the file ends after 100 of 9216 bytes" },
        FailureCase { "HostilePpmSize", { KGood, { "b.ppm", "P6\n2000000000 2000000000\n255\n" } },
            { "-o", "$D/o.jpg", "$D/good.ppm", "$D/b.ppm" },
            "$D/b.ppm: image size 2000000000 x 2000000000 is out of range" },
        FailureCase { "EmptyPng", { KGood, { "b.png", "" } },
            { "-o", "$D/o.jpg", "$D/good.ppm", "$D/b.png" }, "$D/b.png: the file is empty" },
        FailureCase { "UnknownInputType", { KGood }, { "-o", "$D/o.jpg", "$D/good.ppm", "$D" },
            "$D: unknown input format (use .jpg, .jpeg, .ppm or .png)" },
        FailureCase { "MismatchedSizes", { KGood, { "b.ppm", ppmBytes(48, 64) } },
            { "-o", "$D/o.jpg", "$D/good.ppm", "$D/b.ppm" },
            "$D/b.ppm: size 48x64 differs from 64x48 of $D/good.ppm" },
        FailureCase { "OneInput", { KGood }, { "-o", "$D/o.jpg", "$D/good.ppm" },
            "at least two input images are needed, 1 given" },
        FailureCase { "OutputFolderMissing", { KGood },
            { "-o", "$D/no/o.jpg", "$D/good.ppm", "$D/good.ppm" },
            "$D/no/o.jpg: cannot write: No such file or directory" },
        FailureCase { "OutputIsAFolder", { KGood },
            { "-o", "$D/taken.jpg", "$D/good.ppm", "$D/good.ppm" }, "$D/taken.jpg: is a folder" }),
    [](const ::testing::TestParamInfo<FailureCase> &aInfo) { return aInfo.param.name; });

TEST_F(MergeTool, MergesARealBurstQuietlyIntoANewPicture)
{
    REQUIRE_SHARED_DATA();
    const std::vector<std::string> inputs = smallBurst("Flowers", "f");
    const std::string out = dir.file("merged.jpg");
    ToolRun run = runMerge({ "-o", out, inputs[0], inputs[1], inputs[2] });
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    Image<unsigned char> merged = readBack(out);
    ASSERT_FALSE(merged.empty());
    for (const std::string &input : inputs) {
        Image<unsigned char> original = readBack(input);
        ASSERT_EQ(merged.width(), original.width());
        ASSERT_EQ(merged.height(), original.height());
        EXPECT_GT(meanAbsDifference(merged, original), 3.0) << input;
    }
    // The fusion's bands of rows must meet without a seam whatever their number.
    for (const char *threads : { "1", "3" }) {
        const std::string again = dir.file(std::string("threads") + threads + ".jpg");
        ASSERT_EQ(
            runMerge({ "--threads", threads, "-o", again, inputs[0], inputs[1], inputs[2] }).status,
            0);
        EXPECT_EQ(testsupport::readText(again), testsupport::readText(out)) << threads;
    }
}

TEST_F(MergeTool, VerboseShowsStageTimesAndTheLibraryLog)
{
    REQUIRE_SHARED_DATA();
    const std::vector<std::string> inputs = smallBurst("SeaRock", "s");
    ToolRun run = runMerge({ "-v", "-o", dir.file("m.ppm"), inputs[0], inputs[1], inputs[2] });
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char *line : { "Time to decode: ", "Time to register: ", "Time to fuse: ",
             "Time to encode: ", "Time to merge the burst: " })
        EXPECT_NE(run.out.find(line), std::string::npos) << line << " missing from\n" << run.out;
    EXPECT_EQ(run.err, "");
}

TEST_F(MergeTool, IdenticalInputsWithoutAlignmentGiveThatPicture)
{
    REQUIRE_SHARED_DATA();
    const std::string input = smallBurst("OldHouse", "o")[1];
    const std::string out = dir.file("same.ppm");
    ToolRun run = runMerge({ "--no-align", "-o", out, input, input, input });
    ASSERT_EQ(run.status, 0) << run.err;
    Image<unsigned char> merged = readBack(out), original = readBack(input);
    ASSERT_EQ(merged.width(), original.width());
    // Every blend truncates after each of the three additions, so each pyramid level may
    // lose up to 3 levels; a 270 x 180 picture has six (five detail levels down to a side of
    // 12, then the base).
    int worst = 0;
    for (int y = 0; y < merged.height(); ++y)
        for (int x = 0; x < merged.width(); ++x)
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(int(merged(x, y, c)) - int(original(x, y, c))));
    EXPECT_LE(worst, 3 * 6);
    EXPECT_LT(meanAbsDifference(merged, original), 3.5);
}

TEST_F(MergeTool, GroupsMakeOneResultEach)
{
    REQUIRE_SHARED_DATA();
    std::vector<std::string> args
        = { "--group", "3", "--aligned", dir.file("al%d-"), "-o", dir.file("result%d.png") };
    for (const char *scene : { "Flowers", "OldHouse" })
        for (const std::string &path : smallBurst(scene, scene))
            args.push_back(path);
    ToolRun run = runMerge(args);
    ASSERT_EQ(run.status, 0) << run.err;
    Image<unsigned char> first = readBack(dir.file("result1.png"));
    Image<unsigned char> second = readBack(dir.file("result2.png"));
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_GT(meanAbsDifference(first, second), 10.0) << "two scenes, two different results";
    EXPECT_FALSE(testsupport::fileExists(dir.file("result3.png")));
    for (const char *aligned : { "al1-1.ppm", "al1-3.ppm", "al2-1.ppm", "al2-3.ppm" })
        EXPECT_TRUE(testsupport::fileExists(dir.file(aligned))) << aligned;
}

TEST_F(MergeTool, AlignedWritesTheReferenceUnchangedAndTheOthersRegistered)
{
    REQUIRE_SHARED_DATA();
    const std::vector<std::string> burst = smallBurst("Flowers", "f");
    // The middle exposure moved by a whole number of pixels: registration must undo it.
    Image<unsigned char> reference = readBack(burst[1]);
    Image<unsigned char> moved(reference.width(), reference.height(), 3);
    const int dx = 6, dy = -4;
    for (int y = 0; y < moved.height(); ++y)
        for (int x = 0; x < moved.width(); ++x)
            for (int c = 0; c < 3; ++c) {
                const int sx = std::clamp(x - dx, 0, moved.width() - 1);
                const int sy = std::clamp(y - dy, 0, moved.height() - 1);
                moved(x, y, c) = reference(sx, sy, c);
            }
    const std::string movedPath = write("moved.ppm", moved);
    ToolRun run = runMerge(
        { "--aligned", dir.file("reg"), "-o", dir.file("out.jpg"), burst[1], movedPath, burst[2] });
    ASSERT_EQ(run.status, 0) << run.err;
    Image<unsigned char> first = readBack(dir.file("reg1.ppm"));
    Image<unsigned char> second = readBack(dir.file("reg2.ppm"));
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_TRUE(testsupport::fileExists(dir.file("reg3.ppm")));
    EXPECT_EQ(meanAbsDifference(first, reference), 0.0);
    // Compare away from the border band the warp leaves uncovered.
    double before = 0, after = 0;
    int n = 0;
    for (int y = 16; y < reference.height() - 16; ++y)
        for (int x = 16; x < reference.width() - 16; ++x)
            for (int c = 0; c < 3; ++c, ++n) {
                before += std::abs(int(moved(x, y, c)) - int(reference(x, y, c)));
                after += std::abs(int(second(x, y, c)) - int(reference(x, y, c)));
            }
    EXPECT_LT(after / n, 0.25 * before / n) << "before " << before / n << ", after " << after / n;
}

Image<unsigned char> gradient(int aWidth, int aHeight, int aLevel)
{
    Image<unsigned char> img(aWidth, aHeight, 3);
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x)
            for (int c = 0; c < 3; ++c)
                img(x, y, c) = static_cast<unsigned char>((aLevel + 3 * x + 2 * y + 40 * c) % 256);
    return img;
}

class MergeToolFormats : public MergeTool, public ::testing::WithParamInterface<const char *>
{
};

TEST_P(MergeToolFormats, ReadsAndWritesEveryFormatInAnyCase)
{
    const std::string ext = GetParam();
    Image<unsigned char> a = gradient(80, 60, 0), b = gradient(80, 60, 100);
    // The same pictures as JPEG (two spellings), PPM and PNG inputs.
    const std::string jpg = write("a.jpg", a);
    std::rename(jpg.c_str(), dir.file("a.JPEG").c_str());
    const std::string png = dir.file("b.png");
    ASSERT_EQ(FileIO::writeImage(b, png.c_str()), 0);
    const std::string out = dir.file("out." + ext);
    ToolRun run = runMerge({ "--no-align", "-o", out, dir.file("a.JPEG"), png, write("c.ppm", a) });
    ASSERT_EQ(run.status, 0) << run.err;
    std::string lower = ext;
    for (char &c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    const std::string canonical
        = dir.file("check." + (lower == "jpeg" ? std::string("jpg") : lower));
    std::rename(out.c_str(), canonical.c_str());
    Image<unsigned char> merged = readBack(canonical);
    ASSERT_FALSE(merged.empty()) << out;
    EXPECT_EQ(merged.width(), 80);
    EXPECT_EQ(merged.height(), 60);
    EXPECT_EQ(merged.channels(), 3);
    // Only the result: no staging or temporary file stays behind.
    EXPECT_EQ(testsupport::listDir(dir.path()).size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Extensions, MergeToolFormats,
    ::testing::Values("jpg", "JPG", "jpeg", "Jpg", "ppm", "PPM", "png", "Png"));

TEST_F(MergeTool, GreyInputsAreMergedAsColour)
{
    Image<unsigned char> grey(40, 30, 1);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            grey(x, y, 0) = static_cast<unsigned char>(x * 6);
    const std::string path = dir.file("g.jpg");
    ASSERT_EQ(FileIO::writeImage(grey, path.c_str()), 0);
    ToolRun run = runMerge({ "--no-align", "-o", dir.file("out.ppm"), path, path });
    ASSERT_EQ(run.status, 0) << run.err;
    Image<unsigned char> merged = readBack(dir.file("out.ppm"));
    ASSERT_EQ(merged.channels(), 3);
    EXPECT_NEAR(merged(20, 15, 0), 120, 8);
    EXPECT_EQ(merged(20, 15, 0), merged(20, 15, 2));
}

TEST_F(MergeTool, MergesTheBundledSampleBurst)
{
    const std::string samples = std::string(DUSKLINE_SOURCE_DIR) + "/samples/Flowers/Flowers";
    const std::string out = dir.file("Flowers_HDR.jpg");
    ToolRun run = runMerge({ "-o", out, samples + "1.jpg", samples + "2.jpg", samples + "3.jpg" });
    ASSERT_EQ(run.status, 0) << run.err;
    Image<unsigned char> merged = readBack(out);
    EXPECT_EQ(merged.width(), 1080);
    EXPECT_EQ(merged.height(), 720);
}
