#include "core/Exif"

#include "core/FileIO"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <libexif/exif-data.h>

// A result keeps what still describes it and loses what described only the reference input.
TEST(Exif, AResultKeepsTheCameraAndDropsWhatDescribedOnlyItsInput)
{
    testsupport::TempDir dir;
    const std::string result = dir.file("result.jpg");
    const core::ExifBlock camera = core::readExif(testsupport::KCameraJpeg);
    EXPECT_EQ(core::exifOrientation(camera), 6);
    core::ExifFacts facts;
    facts.software = "merger 1.0";
    const core::ExifBlock made = core::resultExif(camera, facts, 48, 32);
    ASSERT_EQ(FileIO::writeImageAtomically(
                  Image<unsigned char>(48, 32, 3), result.c_str(), 90, nullptr, &made),
        0);
    const std::pair<ExifTag, std::string> expected[] = { { EXIF_TAG_MAKE, "Testcam" },
        { EXIF_TAG_ORIENTATION, "Right-top" }, { ExifTag(EXIF_TAG_GPS_LATITUDE_REF), "N" },
        { EXIF_TAG_SOFTWARE, "merger 1.0" }, { EXIF_TAG_PIXEL_X_DIMENSION, "48" },
        { EXIF_TAG_PIXEL_Y_DIMENSION, "32" }, { EXIF_TAG_EXPOSURE_TIME, "" },
        { EXIF_TAG_EXPOSURE_BIAS_VALUE, "" }, { EXIF_TAG_IMAGE_UNIQUE_ID, "" } };
    for (const auto &[tag, value] : expected)
        EXPECT_EQ(testsupport::exifTag(result, tag), value) << exif_tag_get_name(tag);
    ExifData *data = exif_data_new_from_file(result.c_str());
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->size, 0u) << "the input's thumbnail";
    exif_data_unref(data);

    // A JPEG written without EXIF has none, and counts as upright.
    ASSERT_EQ(FileIO::writeImage(Image<unsigned char>(8, 8, 1), result.c_str()), 0);
    EXPECT_EQ(core::exifOrientation(core::readExif(result.c_str())), 1);
}
