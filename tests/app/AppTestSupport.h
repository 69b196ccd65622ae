#pragma once

// Frames and log capture for the application's tests.

#include "core/Image"

#include <Opsa/Frame.h>
#include <QString>
#include <string>
#include <vector>

namespace apptest {

// Converts interleaved RGB to UYVY with the usual full-range BT.601 matrix (the inverse of the
// merge pipeline's conversion, up to rounding). aWidth must be even.
std::vector<unsigned char> rgbToUyvy(const Image<unsigned char> &aRgb);

// A frame whose image is a UYVY copy of aRgb.
Opsa::Frame yuvFrame(const Image<unsigned char> &aRgb);
// A grey UYVY frame of one luma value.
Opsa::Frame flatYuvFrame(int aWidth, int aHeight, unsigned char aLuma);
// A RAW frame: the G R / B G mosaic of aRgb scaled to 10 bits.
Opsa::Frame rawFrame(const Image<unsigned char> &aRgb);
// A frame without pixels.
Opsa::Frame emptyFrame();

// Every qDebug line of the process while it lives, as Qt would print it.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    int count(const std::string &aLine) const;
    bool contains(const std::string &aFragment) const;
};

} // namespace apptest
