#include "Opsa/Ketto/Platform.h"

#include "Opsa/Ketto/Frame.h"

#include <gtest/gtest.h>
#include <string>

using Opsa::Ketto::Platform;

namespace {

const float K3200[12] = { 1.6697f, -0.2693f, -0.4004f, -42.4346f, -0.3576f, 1.0615f, 1.5949f,
    -37.1158f, -0.2175f, -1.8751f, 6.9640f, -26.6970f };
const float K7000[12] = { 2.2997f, -0.4478f, 0.1706f, -39.0923f, -0.3826f, 1.5906f, -0.2080f,
    -25.4311f, -0.0888f, -0.7344f, 2.2832f, -20.0826f };

float rowSum(const float *aMatrix, int aRow)
{
    return aMatrix[4 * aRow] + aMatrix[4 * aRow + 1] + aMatrix[4 * aRow + 2];
}

TEST(KettoPlatform, CalibrationTemperaturesGiveTheirMatricesUnscaled)
{
    float m[12];
    Platform::instance().rawToRGBColorMatrix(3200, m);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(m[i], K3200[i]) << i;
    Platform::instance().rawToRGBColorMatrix(7000, m);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(m[i], K7000[i]) << i;
}

class KettoPlatformBlend : public testing::TestWithParam<int>
{
};

// Between and beyond the calibration points: the blend in 1/K, its colour part scaled so that
// the smallest row sum is one, its offsets left as blended.
TEST_P(KettoPlatformBlend, BlendsInReciprocalTemperatureAndNormalisesTheWeakestRow)
{
    int kelvin = GetParam();
    double alpha = (1.0 / kelvin - 1.0 / 3200) / (1.0 / 7000 - 1.0 / 3200);
    double blend[12];
    for (int i = 0; i < 12; ++i)
        blend[i] = (1 - alpha) * K3200[i] + alpha * K7000[i];
    double smallest = 1e30;
    for (int row = 0; row < 3; ++row)
        smallest = std::min(smallest, blend[4 * row] + blend[4 * row + 1] + blend[4 * row + 2]);

    float m[12];
    Platform::instance().rawToRGBColorMatrix(kelvin, m);
    for (int i = 0; i < 12; ++i) {
        double expected = i % 4 == 3 ? blend[i] : blend[i] / smallest;
        EXPECT_NEAR(m[i], expected, 2e-5 * std::max(1.0, std::abs(expected))) << i;
    }
    float least = std::min({ rowSum(m, 0), rowSum(m, 1), rowSum(m, 2) });
    EXPECT_NEAR(least, 1.0f, 1e-5f);
}

INSTANTIATE_TEST_SUITE_P(
    Temperatures, KettoPlatformBlend, testing::Values(5000, 4000, 6500, 2500, 10000));

TEST(KettoFrame, CarriesItsRequestAndDumpsThePhonesCamera)
{
    auto *body = new Opsa::Ketto::_Frame;
    body->shot().id = 5;
    body->shot().exposure = 1234;
    body->whiteBalance = 3200;
    Opsa::Ketto::Frame frame(body);
    Opsa::Frame &base = frame;
    EXPECT_EQ(base.shot().exposure, 1234);
    EXPECT_EQ(&base.platform(), &Platform::instance());

    testing::internal::CaptureStdout();
    frame.debug("k");
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_NE(text.find("\t\t[ [ 1.670 -0.269 -0.400 -42.435 ]\n"
                        "\t\t  [ -0.358 1.061 1.595 -37.116 ]\n"
                        "\t\t  [ -0.218 -1.875 6.964 -26.697 ]\n"
                        "\t  Sensor bayer pattern: GRBG\n"
                        "\t  Min raw value: 0, max raw value: 959\n"
                        "\t  Camera Model: Varnel Ketto, Manufacturer: Varnel\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("\t\tID: 5, wanted: yes\n"), std::string::npos) << text;
}

} // namespace
