#include "Opsa/Ketto/Platform.h"

namespace Opsa::Ketto {

namespace {

    // Raw to linear sRGB, measured on the phone under 3200 K and 7000 K light; the fourth column
    // is the black offset.
    const float KMatrix3200[12] = { 1.6697f, -0.2693f, -0.4004f, -42.4346f, -0.3576f, 1.0615f,
        1.5949f, -37.1158f, -0.2175f, -1.8751f, 6.9640f, -26.6970f };
    const float KMatrix7000[12] = { 2.2997f, -0.4478f, 0.1706f, -39.0923f, -0.3826f, 1.5906f,
        -0.2080f, -25.4311f, -0.0888f, -0.7344f, 2.2832f, -20.0826f };

} // namespace

const Platform &Platform::instance()
{
    static const Platform platform;
    return platform;
}

int Platform::bayerPattern() const
{
    return GRBG;
}

void Platform::rawToRGBColorMatrix(int aKelvin, float *aMatrix) const
{
    // Colour response is close to linear in reciprocal temperature between the two
    // calibration points.
    float alpha = float((1.0 / aKelvin - 1.0 / 3200) / (1.0 / 7000 - 1.0 / 3200));
    if (alpha == 0.0f) {
        for (int i = 0; i < 12; ++i)
            aMatrix[i] = KMatrix3200[i];
        return;
    }
    if (alpha == 1.0f) {
        for (int i = 0; i < 12; ++i)
            aMatrix[i] = KMatrix7000[i];
        return;
    }
    for (int i = 0; i < 12; ++i)
        aMatrix[i] = (1.0f - alpha) * KMatrix3200[i] + alpha * KMatrix7000[i];
    // Scaled so that the weakest channel just reaches white: no channel clips before the
    // others on a neutral highlight.
    float smallest = 0.0f;
    for (int row = 0; row < 3; ++row) {
        float sum = aMatrix[4 * row] + aMatrix[4 * row + 1] + aMatrix[4 * row + 2];
        if (row == 0 || sum < smallest)
            smallest = sum;
    }
    float scale = 1.0f / smallest;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            aMatrix[4 * row + col] *= scale;
}

const std::string &Platform::manufacturer() const
{
    static const std::string name = "Varnel";
    return name;
}

const std::string &Platform::model() const
{
    static const std::string name = "Varnel Ketto";
    return name;
}

int Platform::minRawValue() const
{
    return 0;
}

int Platform::maxRawValue() const
{
    return 959;
}

} // namespace Opsa::Ketto
