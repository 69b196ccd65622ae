#include "core/Exif"

#include "core/FileIO"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <libexif/exif-data.h>

using testsupport::exifTag;
using testsupport::TempDir;

// A result keeps what still describes it and loses what described only the reference input.
TEST(Exif, AResultKeepsTheCameraAndDropsWhatDescribedOnlyItsInput)
{
    TempDir dir;
    const std::string input = dir.file("input.jpg"), result = dir.file("result.jpg");
    const Image<unsigned char> pixels(48, 32, 3);
    const core::ExifBlock camera = testsupport::cameraExif(6);
    ASSERT_EQ(FileIO::writeImageAtomically(pixels, input.c_str(), 90, nullptr, &camera), 0);
    const core::ExifBlock read = core::readExif(input.c_str());
    EXPECT_EQ(core::exifOrientation(read), 6);

    core::ExifFacts facts;
    facts.software = "merger 1.0";
    const core::ExifBlock made = core::resultExif(read, facts, 48, 32);
    ASSERT_EQ(FileIO::writeImageAtomically(pixels, result.c_str(), 90, nullptr, &made), 0);
    EXPECT_EQ(exifTag(result, EXIF_TAG_MAKE), "Testcam");
    EXPECT_EQ(exifTag(result, EXIF_TAG_MODEL), "T1");
    EXPECT_EQ(exifTag(result, EXIF_TAG_ORIENTATION), "Right-top");
    EXPECT_EQ(exifTag(result, EXIF_TAG_GPS_LATITUDE_REF), "N");
    EXPECT_EQ(exifTag(result, EXIF_TAG_SOFTWARE), "merger 1.0");
    EXPECT_EQ(exifTag(result, EXIF_TAG_PIXEL_X_DIMENSION), "48");
    EXPECT_EQ(exifTag(result, EXIF_TAG_PIXEL_Y_DIMENSION), "32");
    for (ExifTag gone : { EXIF_TAG_EXPOSURE_TIME, EXIF_TAG_EXPOSURE_BIAS_VALUE,
             EXIF_TAG_IMAGE_UNIQUE_ID, EXIF_TAG_MAKER_NOTE })
        EXPECT_EQ(exifTag(result, gone), "") << exif_tag_get_name(gone);
    ExifData *data = exif_data_new_from_file(result.c_str());
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->size, 0u) << "the input's thumbnail";
    exif_data_unref(data);

    // A JPEG written without EXIF has none, and counts as upright.
    ASSERT_EQ(FileIO::writeImage(pixels, input.c_str()), 0);
    EXPECT_TRUE(core::readExif(input.c_str()).empty());
    EXPECT_EQ(core::exifOrientation(core::ExifBlock()), 1);
}
