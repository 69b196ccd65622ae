#pragma once

// MEF-SSIM: how well one fused image keeps the structure and the local contrast of the
// exposures it was made from (Ma, Zeng, Wang, "Perceptual Quality Assessment for Multi-
// Exposure Image Fusion", IEEE Transactions on Image Processing, 2015), single scale, on grey.
//
// For every 11 × 11 patch the exposures give a desired patch: the structures of all of them
// (each patch's zero-mean signal divided by its strength), weighted by strength to the power
// 4, normalised, and scaled to the largest strength of any exposure. The fused patch is
// compared with it by the structure term of SSIM under an 11 × 11 Gaussian window of sigma 1.5
// (C = (0.03 × 255)^2). The score is the mean over all patches that fit inside the image:
// 1 for a perfect fusion, near 0 for a flat image.

#include "core/Image"

#include <string>
#include <vector>

namespace bench {

// Grey value of every pixel of an 8-bit image with 1 or 3 channels: the 0.2989 R + 0.5870 G
// + 0.1140 B luma, rounded to whole levels. Returns an empty vector for other channel counts.
std::vector<double> greyOf(const Image<unsigned char> &aImage);

// The MEF-SSIM score of aFused against aInputs (at least one; all the fused image's width and
// height, at least 11 × 11 pixels). Returns the score, or -2 and sets aError when the images
// do not fit together.
double mefSsim(const std::vector<Image<unsigned char>> &aInputs, const Image<unsigned char> &aFused,
    std::string *aError = nullptr);

} // namespace bench
