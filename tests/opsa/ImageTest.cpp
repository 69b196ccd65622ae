#include "Opsa/Image.h"

#include "Events.h"
#include "support/TestSupport.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Opsa::Event;
using Opsa::Image;
using opsatest::drainEvents;
using opsatest::drainMessages;

namespace {

using FrameImage = opsatest::EventTest;

TEST_F(FrameImage, CopiesAndWindowsShareOneCountAndWindowsAreCutToTheSource)
{
    Image source(100, 50, Opsa::UYVY);
    {
        Image copy = source;
        Image assigned(2, 2, Opsa::RAW);
        assigned = copy; // lets go of its own buffer
        assigned = source; // the same buffer and data: nothing changes
        Image edge(source, 90, 10, 20, 100);
        EXPECT_EQ(source.referenceCount(), 4);
        EXPECT_EQ(edge.width(), 10);
        EXPECT_EQ(edge.height(), 40);
        EXPECT_EQ(edge.data(), source.data() + 90 * 2 + 10 * 200);
        for (Image outside : { Image(source, 100, 0, 5, 5), Image(Image(), 0, 0, 5, 5) })
            EXPECT_EQ(outside.data(), Image::DiscardData);
    }
    EXPECT_EQ(source.referenceCount(), 1);

    // A window keeps the pixels alive after its source goes.
    Image window(Image(8, 8, Opsa::RAW), 2, 2, 3, 3);
    EXPECT_EQ(window.referenceCount(), 1);
    memset(window.data(), 1, 6);

    // Negative sizes and byte counts that do not fit in 32 bits are refused, not allocated short.
    EXPECT_FALSE(Image(70000, 70000, Opsa::RAW).hasData());
    EXPECT_FALSE(Image(-1, 10, Opsa::RAW).hasData());
    EXPECT_EQ(drainMessages(Event::Error, Event::InternalError).size(), 2u);

    // A marker target (a shot's "no pixels, this size") keeps its size when assigned.
    Image target;
    target = Image(640, 480, Opsa::UYVY, Image::DiscardData);
    EXPECT_EQ(target.size(), (Opsa::Size { 640, 480 }));
    EXPECT_EQ(target.type(), Opsa::UYVY);
}

TEST_F(FrameImage, BorrowedMemoryIsNeverFreed)
{
    std::vector<unsigned char> pixels(20 * 10 * 2, 7);
    {
        Image wrapped(20, 10, Opsa::RAW, pixels.data());
        Image window(Image(wrapped), 5, 5, 4, 4);
        wrapped = Image();
        EXPECT_EQ(window.referenceCount(), 2); // one more than the references
        window.data()[0] = 9;
    }
    // Still the caller's vector (AddressSanitizer reports a free of it as a bad free).
    EXPECT_EQ(pixels[5 * 40 + 5 * 2], 9);

    // Memory installed without a count makes windows without one, and has nothing to lock.
    Image uncounted(8, 4, Opsa::RAW, Image::AllocateOnCapture);
    uncounted.setBuffer(nullptr, pixels.data());
    EXPECT_EQ(Image(uncounted, 1, 1, 2, 2).data(), pixels.data() + 2 + 16);
    EXPECT_FALSE(uncounted.lock(0));
    EXPECT_EQ(drainMessages(Event::Error, Event::InternalError).size(), 1u);
}

TEST_F(FrameImage, LockingTwiceThroughOneReferenceIsReportedButHolds)
{
    Image image(4, 4, Opsa::RAW);
    ASSERT_TRUE(image.lock());
    EXPECT_TRUE(image.lock(0));
    Image second = image;
    EXPECT_FALSE(second.lock(0));
    EXPECT_FALSE(Image(image, 1, 1, 2, 2).lock(0)); // a window locks its source's mutex
    bool timedOut = false;
    std::thread([&timedOut, mine = second]() mutable { timedOut = !mine.lock(2000); }).join();
    EXPECT_TRUE(timedOut);
    image.unlock();
    EXPECT_TRUE(second.lock(0));
    image.unlock();
    EXPECT_EQ(drainMessages(Event::Error, Event::ImageLockMisuse).size(), 2u);
    second = Image(); // dropping a reference that holds the lock lets it go
    EXPECT_TRUE(image.lock(0));
}

TEST_F(FrameImage, CountsSurviveCopiesOnManyThreads)
{
    Image shared(16, 16, Opsa::UYVY);
    shared.data()[0] = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([mine = shared] { // each thread gets its own reference
            for (int i = 0; i < 2000; ++i) {
                Image copy = mine;
                Image window(copy, 1, 1, 4, 4);
                ASSERT_TRUE(window.lock(-1));
                copy.data()[0]++;
                window.unlock();
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(shared.referenceCount(), 1);
    EXPECT_EQ(shared.data()[0], static_cast<unsigned char>(4 * 2000));
}

// The operating system's own mapping calls, as the phone's kernel passes them on.
struct SystemMapper : Opsa::MemoryMapper
{
    void *mmap(void *aAddress, std::size_t aLength, int aProtection, int aFlags, int aFd,
        off_t aOffset) override
    {
        return ::mmap(aAddress, aLength, aProtection, aFlags, aFd, aOffset);
    }
    int munmap(void *aAddress, std::size_t aLength) override
    {
        ++unmapped;
        return ::munmap(aAddress, aLength);
    }
    int madvise(void *aAddress, std::size_t aLength, int aAdvice) override
    {
        return ::madvise(aAddress, aLength, aAdvice);
    }
    int unmapped = 0;
};

TEST_F(FrameImage, MapsAFileAtAnUnalignedOffsetAndUnmapsItWithTheLastReference)
{
    SystemMapper mapper;
    testsupport::TempDir dir;
    std::string path = dir.file("frame.bin");
    const unsigned int offset = unsigned(sysconf(_SC_PAGESIZE)) + 100;
    testsupport::writeText(path, std::string(offset, '\0') + "ABCD" + std::string(offset, '\0'));
    auto isMapped = [&path] {
        return testsupport::readText("/proc/self/maps").find(path) != std::string::npos;
    };
    int fd = open(path.c_str(), O_RDWR);
    {
        Image shared(fd, offset, 10, 2, Opsa::RAW, true, mapper);
        ASSERT_TRUE(shared.memoryMapped());
        EXPECT_EQ(shared.data()[1], 'B');
        Image window(shared, 1, 0, 2, 1);
        shared = Image();
        window.data()[-2] = 'z'; // the first mapped pixel, through the survivor
        EXPECT_TRUE(isMapped());
    }
    EXPECT_FALSE(isMapped()) << "the mapping outlived its last reference";
    EXPECT_EQ(mapper.unmapped, 1) << "unmapped past the mapper it came from";
    close(fd);
    EXPECT_EQ(testsupport::readText(path).substr(offset, 2), "zB");
    EXPECT_TRUE(drainEvents().empty());
    EXPECT_FALSE(Image(-1, 4096, 8, 8, Opsa::UYVY, true, mapper).hasData());
    EXPECT_EQ(drainMessages(Event::Error, Event::InternalError).size(), 1u);
}

} // namespace
