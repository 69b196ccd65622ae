#include "Opsa/Image.h"

#include "Events.h"
#include "support/TestSupport.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using Opsa::Event;
using Opsa::Image;
using opsatest::drainEvents;
using opsatest::drainMessages;

namespace {

class FrameImage : public testing::Test
{
protected:
    void SetUp() override { drainEvents(); }
    void TearDown() override { drainEvents(); }
};

struct FormatCase
{
    Opsa::ImageFormat format;
    int bytesPerPixel;
};

class FrameImageFormat : public testing::TestWithParam<FormatCase>
{
};

TEST_P(FrameImageFormat, AllocatesPackedRowsOfTheFormatsPixelSize)
{
    const FormatCase &c = GetParam();
    Image image(7, 3, c.format);
    EXPECT_EQ(image.bytesPerPixel(), c.bytesPerPixel);
    EXPECT_EQ(image.bytesPerRow(), 7 * c.bytesPerPixel);
    EXPECT_TRUE(image.hasData()); // even a zero-length buffer is real memory with a count
    EXPECT_EQ(image.referenceCount(), 1);
    if (c.bytesPerPixel)
        memset(image.data(), 0xab, size_t(7 * 3 * c.bytesPerPixel));
}

INSTANTIATE_TEST_SUITE_P(Formats, FrameImageFormat,
    testing::Values(FormatCase { Opsa::RGB24, 3 }, FormatCase { Opsa::RGB16, 2 },
        FormatCase { Opsa::UYVY, 2 }, FormatCase { Opsa::YUV24, 3 }, FormatCase { Opsa::RAW, 2 },
        FormatCase { Opsa::UNKNOWN, 0 }, FormatCase { Opsa::ImageFormat(9), 0 }));

TEST_F(FrameImage, SizesBeyond32BitByteCountsAreRefused)
{
    // A marker image copies as the same marker, without memory.
    EXPECT_EQ(Image(64, 48, Opsa::UYVY, Image::AllocateOnCapture).copy().referenceCount(), 0);
    Image huge(70000, 70000, Opsa::RAW);
    EXPECT_FALSE(huge.hasData());
    EXPECT_EQ(huge.width(), 0);
    Image negative(-1, 10, Opsa::RAW);
    EXPECT_FALSE(negative.hasData());
    EXPECT_EQ(drainMessages(Event::Error, Event::InternalError).size(), 2u);
}

TEST_F(FrameImage, CopiesAndAssignmentsCountReferences)
{
    Image a(4, 4, Opsa::RAW);
    {
        Image b = a;
        EXPECT_EQ(a.referenceCount(), 2);
        Image c;
        c = b;
        EXPECT_EQ(a.referenceCount(), 3);
        c = a; // the same buffer and data: nothing changes
        EXPECT_EQ(a.referenceCount(), 3);
        c = c;
        EXPECT_EQ(a.referenceCount(), 3);
        EXPECT_EQ(c.data(), a.data());
    }
    EXPECT_EQ(a.referenceCount(), 1);

    Image other(2, 2, Opsa::UYVY);
    Image keep = other;
    other = a; // lets go of its old buffer, which keep still holds
    EXPECT_EQ(keep.referenceCount(), 1);
    EXPECT_EQ(a.referenceCount(), 2);
    other = Image();
    EXPECT_EQ(a.referenceCount(), 1);
    EXPECT_EQ(other.data(), Image::DiscardData);
}

TEST_F(FrameImage, BorrowedMemoryIsNeverFreed)
{
    std::vector<unsigned char> pixels(20 * 10 * 2, 7);
    {
        Image wrapped(20, 10, Opsa::RAW, pixels.data());
        EXPECT_EQ(wrapped.referenceCount(), 2);
        EXPECT_EQ(wrapped.bytesPerRow(), 40);
        Image copy = wrapped;
        Image window(copy, 5, 5, 4, 4);
        EXPECT_EQ(wrapped.referenceCount(), 4);
        wrapped = Image();
        copy = Image();
        EXPECT_EQ(window.referenceCount(), 2);
        window.data()[0] = 9;
    }
    // Still the caller's vector (AddressSanitizer reports a free of it as a bad free).
    EXPECT_EQ(pixels[5 * 40 + 5 * 2], 9);
    EXPECT_EQ(pixels[0], 7);

    Image strided(4, 2, Opsa::RAW, pixels.data(), 100);
    EXPECT_EQ(strided.bytesPerRow(), 100);
}

TEST_F(FrameImage, WindowsAreCutToTheSourceAndShareItsMemory)
{
    Image source(100, 50, Opsa::UYVY);
    Image edge(source, 90, 10, 20, 100);
    EXPECT_EQ(edge.width(), 10);
    EXPECT_EQ(edge.height(), 40);
    EXPECT_EQ(edge.bytesPerRow(), 200);
    EXPECT_EQ(edge.data(), source.data() + 90 * 2 + 10 * 200);
    EXPECT_EQ(source.referenceCount(), 2);

    for (Image outside : { Image(source, 100, 0, 5, 5), Image(source, 0, 50, 5, 5),
             Image(source, -1, 0, 5, 5), Image(Image(), 0, 0, 5, 5) }) {
        EXPECT_EQ(outside.width(), 0);
        EXPECT_EQ(outside.type(), Opsa::UNKNOWN);
        EXPECT_EQ(outside.data(), Image::DiscardData);
    }
    EXPECT_EQ(source.referenceCount(), 2);

    // The window keeps the pixels alive after its source goes.
    Image window(Image(8, 8, Opsa::RAW), 2, 2, 3, 3);
    EXPECT_EQ(window.referenceCount(), 1);
    memset(window.data(), 1, 6);
}

TEST_F(FrameImage, WindowOfUncountedMemorySharesNoCount)
{
    std::vector<unsigned char> pixels(64);
    Image image;
    image.setBuffer(nullptr, pixels.data());
    Image sized(8, 4, Opsa::RAW, Image::AllocateOnCapture);
    sized.setBuffer(nullptr, pixels.data());
    EXPECT_EQ(sized.referenceCount(), 0);
    EXPECT_TRUE(sized.hasData());
    Image window(sized, 1, 1, 2, 2);
    EXPECT_EQ(window.data(), pixels.data() + 2 + 16);
    EXPECT_EQ(window.referenceCount(), 0);
    EXPECT_FALSE(window.lock(0));
    EXPECT_EQ(drainMessages(Event::Error, Event::InternalError),
        std::vector<std::string> { "Locking an image with no mutex\n" });
}

TEST_F(FrameImage, DeepCopyAndCopyFromStepEachImageByItsOwnStride)
{
    Image source(3, 2, Opsa::RAW);
    for (int i = 0; i < 12; ++i)
        source.data()[i] = static_cast<unsigned char>(i + 1);
    Image deep = source.copy();
    EXPECT_NE(deep.data(), source.data());
    EXPECT_EQ(deep.referenceCount(), 1);
    EXPECT_EQ(memcmp(deep.data(), source.data(), 12), 0);

    std::vector<unsigned char> wide(2 * 10, 0);
    Image target(2, 2, Opsa::RAW, wide.data(), 10);
    target.copyFrom(source);
    const unsigned char expected[20]
        = { 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 7, 8, 9, 10, 0, 0, 0, 0, 0, 0 };
    EXPECT_EQ(memcmp(wide.data(), expected, 20), 0);

    // Copying from an image without pixels leaves the target alone.
    target.copyFrom(Image(2, 2, Opsa::RAW, Image::DiscardData));
    EXPECT_EQ(memcmp(wide.data(), expected, 20), 0);
}

TEST_F(FrameImage, LockingTwiceThroughOneReferenceIsReportedButHolds)
{
    Image image(4, 4, Opsa::RAW);
    ASSERT_TRUE(image.lock());
    EXPECT_TRUE(image.lock(0));
    EXPECT_TRUE(image.holdsLock());
    EXPECT_EQ(drainMessages(Event::Error, Event::ImageLockMisuse),
        std::vector<std::string> { "Image reference trying to acquire lock it's already "
                                   "holding. Make a separate image reference per thread.\n" });

    Image second = image;
    EXPECT_FALSE(second.holdsLock());
    EXPECT_FALSE(second.lock(0));
    Image window(image, 1, 1, 2, 2);
    EXPECT_FALSE(window.lock(0)); // a window locks its source's mutex
    bool timedOut = false;
    std::thread other([&] {
        Image mine = second;
        timedOut = !mine.lock(2000);
    });
    other.join();
    EXPECT_TRUE(timedOut);

    image.unlock();
    EXPECT_TRUE(second.lock(0));
    second.unlock();
    second.unlock();
    EXPECT_EQ(drainMessages(Event::Error, Event::ImageLockMisuse),
        std::vector<std::string> { "Cannot unlock a lock not held by this image reference" });

    // Dropping a reference that holds the lock lets it go.
    {
        Image holder = image;
        ASSERT_TRUE(holder.lock(0));
    }
    EXPECT_TRUE(image.lock(0));
    image.unlock();
}

TEST_F(FrameImage, CountsSurviveCopiesOnManyThreads)
{
    Image shared(16, 16, Opsa::UYVY);
    shared.data()[0] = 0; // allocations are not cleared
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        Image mine = shared; // each thread gets its own reference
        threads.emplace_back([mine] {
            for (int i = 0; i < 2000; ++i) {
                Image copy = mine;
                Image window(copy, 1, 1, 4, 4);
                if (copy.lock(-1)) {
                    copy.data()[0]++;
                    copy.unlock();
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(shared.referenceCount(), 1);
    EXPECT_EQ(shared.data()[0], static_cast<unsigned char>(4 * 2000));
}

bool isMapped(const std::string &aPath)
{
    return testsupport::readText("/proc/self/maps").find(aPath) != std::string::npos;
}

TEST_F(FrameImage, MapsAFileAtAnUnalignedOffsetAndUnmapsItWithTheLastReference)
{
    testsupport::TempDir dir;
    std::string path = dir.file("frame.bin");
    long page = sysconf(_SC_PAGESIZE);
    const unsigned int offset = unsigned(page) + 100;
    std::string content(size_t(page) * 3, '\0');
    for (int i = 0; i < 40; ++i)
        content[offset + size_t(i)] = char('A' + i % 26);
    testsupport::writeText(path, content);
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    {
        Image shared(fd, offset, 10, 2, Opsa::RAW, true);
        ASSERT_TRUE(shared.hasData());
        EXPECT_TRUE(shared.memoryMapped());
        EXPECT_EQ(shared.data()[0], 'A');
        EXPECT_EQ(shared.data()[39], 'A' + 39 % 26);
        EXPECT_EQ(shared.referenceCount(), 1);
        shared.data()[0] = 'z';
        Image window(shared, 1, 0, 2, 1);
        EXPECT_TRUE(window.memoryMapped());
        EXPECT_TRUE(isMapped(path));
    }
    EXPECT_FALSE(isMapped(path)) << "the mapping outlived its last reference";
    {
        Image priv(fd, offset, 10, 2, Opsa::RAW, false);
        ASSERT_TRUE(priv.hasData());
        EXPECT_EQ(priv.data()[0], 'z'); // the shared write reached the file
        priv.data()[1] = 'q';
    }
    close(fd);
    std::string after = testsupport::readText(path);
    EXPECT_EQ(after[offset], 'z');
    EXPECT_EQ(after[offset + 1], 'B'); // a private mapping does not write back
    EXPECT_TRUE(drainEvents().empty());
}

TEST_F(FrameImage, AFailedMappingIsReportedAndLeavesNoData)
{
    Image image(-1, 4096, 8, 8, Opsa::UYVY, true);
    EXPECT_FALSE(image.hasData());
    EXPECT_EQ(image.referenceCount(), 0);
    std::vector<std::string> messages = drainMessages(Event::Error, Event::InternalError);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0],
        "Image: Unable to memory map file descriptor -1 at 4096, length 128 "
        "bytes: Bad file descriptor");
}

TEST_F(FrameImage, DumpPrintsEveryFieldOfTheReference)
{
    std::vector<unsigned char> pixels(64);
    Image image(4, 2, Opsa::UYVY, pixels.data(), 12);
    image.lock();
    testing::internal::CaptureStdout();
    image.dump("target");
    std::string text = testing::internal::GetCapturedStdout();
    char expected[512];
    snprintf(expected, sizeof expected,
        "\tImage target at %llx with dimensions 4 2 type 2\n\t  bytes per pixel 2 bytes per "
        "row 12\n\t  data %llx buffer 0\n\t  refCount ",
        (unsigned long long)&image, (unsigned long long)pixels.data());
    EXPECT_EQ(text.substr(0, strlen(expected)), expected);
    EXPECT_NE(text.find(" = (2), mutex "), std::string::npos) << text;
    EXPECT_NE(text.find(", memmapped false, holdingLock true\n"), std::string::npos) << text;
    image.unlock();
}

} // namespace
