#pragma once

#include <string>

namespace Opsa {

// What the camera is as a whole: its colour response, raw range and names.
// Thread: any; a platform description is immutable.
class Platform
{
public:
    // Bayer patterns of the raw mosaic, by code.
    enum BayerPattern { RGGB = 0, BGGR = 1, GRBG = 2, GBRG = 3, NotBayer = 4 };

    virtual ~Platform() = default;

    // A BayerPattern code.
    virtual int bayerPattern() const = 0;
    // Fills aMatrix with the 3 x 4 row-major matrix that takes camera raw values to linear sRGB
    // under light of aKelvin; the fourth column is an offset.
    virtual void rawToRGBColorMatrix(int aKelvin, float *aMatrix) const = 0;
    virtual const std::string &manufacturer() const = 0;
    virtual const std::string &model() const = 0;
    // The range of raw sample values the sensor produces.
    virtual int minRawValue() const = 0;
    virtual int maxRawValue() const = 0;
};

} // namespace Opsa
