#include "core/Image"

#include <algorithm>
#include <gtest/gtest.h>

TEST(Image, SizedConstructionIsZeroedAndInterleaved)
{
    Image<short> img(5, 3, 4);
    ASSERT_NE(img.data(), nullptr);
    EXPECT_EQ(img.rowStride(), 20);
    EXPECT_TRUE(std::all_of(img.data(), img.data() + 60, [](short v) { return v == 0; }));
    img(4, 2, 3) = 7;
    EXPECT_EQ(img.data()[2 * 20 + 4 * 4 + 3], 7);
    EXPECT_EQ(img(4, 2), img.rowBegin(2) + 16);

    // Sizes whose sample count would overflow are refused instead of wrapping around.
    EXPECT_TRUE(Image<unsigned char>(1 << 20, 1 << 20, 3).empty());
    EXPECT_TRUE(Image<unsigned char>(-4, 4, 1).empty());
}

TEST(Image, CopiesShareTheBufferAndCountHandles)
{
    Image<unsigned char> a(4, 4, 1);
    {
        Image<unsigned char> b = a, c;
        b(1, 1, 0) = 9;
        EXPECT_EQ(a(1, 1, 0), 9);
        c = b;
        // Assigning a handle of the same buffer leaves the count unchanged.
        c = a;
        c = c;
        EXPECT_EQ(a.useCount(), 3);
    }
    EXPECT_EQ(a.useCount(), 1);

    Image<unsigned char> other(2, 2, 1), keep = other;
    other = a; // releases its previous buffer, which keep still holds
    EXPECT_EQ(keep.useCount(), 1);
    EXPECT_EQ(a.useCount(), 2);
}

TEST(Image, WrappingNeverFreesTheCallersBuffer)
{
    unsigned char buffer[12] = { 0 };
    {
        Image<unsigned char> wrapped(2, 2, 3, buffer);
        EXPECT_FALSE(wrapped.ownsBuffer());
        Image<unsigned char> copy = wrapped;
        copy(1, 1, 2) = 42;
    }
    // Under AddressSanitizer a delete[] of a stack buffer would have been reported.
    EXPECT_EQ(buffer[11], 42);
    EXPECT_TRUE(Image<unsigned char>(2, 2, 3, nullptr).ownsBuffer());
}

TEST(Image, ReallocateAndCloneLeaveOtherHandlesTheirBuffer)
{
    Image<float> a(3, 3, 1);
    a(0, 0, 0) = 1.5f;
    a.setColourSpace(1);
    Image<float> b = a, c = a.clone();
    EXPECT_NE(c.data(), a.data());
    EXPECT_EQ(c(0, 0, 0), 1.5f);
    EXPECT_EQ(c.colourSpace(), 1);
    ASSERT_EQ(b.reallocate(6, 2, 2), 0);
    EXPECT_EQ(a.useCount(), 1);
    EXPECT_EQ(a(0, 0, 0), 1.5f);
    EXPECT_EQ(b(5, 1, 1), 0.0f);

    // Large enough already: keeps buffer and size.
    float *before = b.data();
    ASSERT_EQ(b.ensureAtLeast(3, 1, 2), 0);
    EXPECT_EQ(b.data(), before);
    EXPECT_EQ(b.width(), 6);
}

TEST(ImageDeathTest, AccessChecksXThenYThenC)
{
    Image<short> img(4, 3, 2);
    EXPECT_DEATH(img(img.width(), 99),
        "inc/core/Image:.*T\\* Image<T>::operator\\(\\)\\(int, "
        "int\\) \\[with T = short int\\].*x >= 0 && x < width\\(\\)");
    EXPECT_DEATH(img(0, 0, img.channels()), "c >= 0 && c < channels\\(\\)");
    EXPECT_DEATH(img.rowBegin(3), "aIndex >= 0 && aIndex < height\\(\\)");
}
