#pragma once

// Frames for the application's tests.

#include "core/Image"

#include <Opsa/Frame.h>

namespace apptest {

// A frame of the phone's camera holding aImage.
Opsa::Frame frameOf(const Opsa::Image &aImage);
// A frame whose image is a UYVY copy of aRgb (even width), converted with the usual full-range
// BT.601 matrix: the inverse of the merge pipeline's conversion, up to rounding.
Opsa::Frame yuvFrame(const Image<unsigned char> &aRgb);
// A grey UYVY frame of one luma value.
Opsa::Frame flatYuvFrame(int aWidth, int aHeight, unsigned char aLuma);
// A RAW frame: the G R / B G mosaic of aRgb scaled to 10 bits.
Opsa::Frame rawFrame(const Image<unsigned char> &aRgb);

} // namespace apptest
