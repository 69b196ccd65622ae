#pragma once

// Test bursts with known motion: views of a photograph cut out through a known similarity,
// so that what registration recovers can be compared with the truth.

#include "core/Image"
#include "core/MotionModel"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

namespace regtest {

// Rotation (degrees, about the centre), scale and shift (pixels) of a w x h photograph as a
// model in normalised coordinates.
inline Matrix3f similarityInPixels(
    double aDegrees, double aScale, double aTx, double aTy, int aWidth, int aHeight)
{
    const double s = std::max(aWidth - 1, aHeight - 1), angle = aDegrees * M_PI / 180.0;
    return Matrix3f::similarity(float(aScale * std::cos(angle)), float(aScale * std::sin(angle)),
        float(2.0 * aTx / s), float(2.0 * aTy / s));
}

// Where a normalised model sends pixel (aX, aY) of a w x h photograph, in pixels.
inline void mapPixel(
    const Matrix3f &aModel, int aWidth, int aHeight, double aX, double aY, double &aU, double &aV)
{
    const double s = std::max(aWidth - 1, aHeight - 1);
    double x = (2.0 * aX - (aWidth - 1)) / s, y = (2.0 * aY - (aHeight - 1)) / s;
    const auto &m = aModel.m;
    aU = ((m[0][0] * x + m[0][1] * y + m[0][2]) * s + (aWidth - 1)) / 2.0;
    aV = ((m[1][0] * x + m[1][1] * y + m[1][2]) * s + (aHeight - 1)) / 2.0;
}

// The largest distance, in pixels, between where two models send the four corners.
inline double cornerError(
    const Matrix3f &aEstimate, const Matrix3f &aTruth, int aWidth, int aHeight)
{
    double worst = 0.0;
    for (int corner = 0; corner < 4; ++corner) {
        double x = (corner & 1) ? aWidth - 1 : 0, y = (corner & 2) ? aHeight - 1 : 0, u1, v1, u2,
               v2;
        mapPixel(aEstimate, aWidth, aHeight, x, y, u1, v1);
        mapPixel(aTruth, aWidth, aHeight, x, y, u2, v2);
        worst = std::max(worst, std::hypot(u1 - u2, v1 - v2));
    }
    return worst;
}

// A w x h view whose pixel (x, y) shows what the w x h window of aSource at (aLeft, aTop)
// shows at aModel's image of (x, y): aModel maps the view onto the window, as registration's
// models map a photograph onto the reference. Bilinear; outside aSource gives 0.
inline Image<unsigned char> viewThrough(const Image<unsigned char> &aSource, int aLeft, int aTop,
    int aWidth, int aHeight, const Matrix3f &aModel = Matrix3f::identity())
{
    Image<unsigned char> view(aWidth, aHeight, aSource.channels());
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x) {
            double u, v;
            mapPixel(aModel, aWidth, aHeight, x, y, u, v);
            u += aLeft;
            v += aTop;
            int x0 = int(std::floor(u)), y0 = int(std::floor(v));
            if (x0 < 0 || y0 < 0 || x0 + 1 >= aSource.width() || y0 + 1 >= aSource.height())
                continue;
            double fx = u - x0, fy = v - y0;
            for (int c = 0; c < aSource.channels(); ++c) {
                double top = aSource(x0, y0, c) * (1 - fx) + aSource(x0 + 1, y0, c) * fx;
                double bottom = aSource(x0, y0 + 1, c) * (1 - fx) + aSource(x0 + 1, y0 + 1, c) * fx;
                view(x, y, c) = (unsigned char)std::lround(top * (1 - fy) + bottom * fy);
            }
        }
    return view;
}

// A w x h frame showing aSource magnified aMagnification times about the centres, seen
// through aModel as viewThrough() sees its window: pixel (x, y) shows what the magnified
// source shows at aModel's image of (x, y). One bilinear pass, so that a small photograph
// enlarged is as soft as it was, no softer. Outside aSource gives 0.
inline Image<unsigned char> magnifiedView(const Image<unsigned char> &aSource, int aWidth,
    int aHeight, double aMagnification, const Matrix3f &aModel = Matrix3f::identity())
{
    Image<unsigned char> view(aWidth, aHeight, aSource.channels());
    const double cx = (aWidth - 1) / 2.0, cy = (aHeight - 1) / 2.0;
    const double sx = (aSource.width() - 1) / 2.0, sy = (aSource.height() - 1) / 2.0;
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x) {
            double u, v;
            mapPixel(aModel, aWidth, aHeight, x, y, u, v);
            u = sx + (u - cx) / aMagnification;
            v = sy + (v - cy) / aMagnification;
            int x0 = int(std::floor(u)), y0 = int(std::floor(v));
            if (x0 < 0 || y0 < 0 || x0 + 1 >= aSource.width() || y0 + 1 >= aSource.height())
                continue;
            double fx = u - x0, fy = v - y0;
            for (int c = 0; c < aSource.channels(); ++c) {
                double top = aSource(x0, y0, c) * (1 - fx) + aSource(x0 + 1, y0, c) * fx;
                double bottom = aSource(x0, y0 + 1, c) * (1 - fx) + aSource(x0 + 1, y0 + 1, c) * fx;
                view(x, y, c) = (unsigned char)std::lround(top * (1 - fy) + bottom * fy);
            }
        }
    return view;
}

// aImage with each channel's tones remapped so that its histogram follows aTarget's: the
// brightness of another exposure on exactly this geometry.
inline Image<unsigned char> withTonesOf(
    const Image<unsigned char> &aImage, const Image<unsigned char> &aTarget)
{
    Image<unsigned char> out = aImage.clone();
    for (int c = 0; c < aImage.channels(); ++c) {
        auto cumulative = [c](const Image<unsigned char> &aImg) {
            std::vector<double> share(256, 0.0);
            for (int y = 0; y < aImg.height(); ++y)
                for (int x = 0; x < aImg.width(); ++x)
                    share[aImg(x, y, c)] += 1.0 / (double(aImg.width()) * aImg.height());
            std::partial_sum(share.begin(), share.end(), share.begin());
            return share;
        };
        const std::vector<double> from = cumulative(aImage), to = cumulative(aTarget);
        unsigned char lut[256];
        for (int v = 0; v < 256; ++v)
            lut[v] = (unsigned char)std::min<long>(
                std::lower_bound(to.begin(), to.end(), from[v] - 1e-12) - to.begin(), 255);
        for (int y = 0; y < out.height(); ++y)
            for (int x = 0; x < out.width(); ++x)
                out(x, y, c) = lut[out(x, y, c)];
    }
    return out;
}

// A smooth random texture (noise blurred three times by a 3 x 3 box, contrast restored), grey
// in three channels.
inline Image<unsigned char> texture(int aWidth, int aHeight, unsigned aSeed)
{
    std::mt19937 random(aSeed);
    std::vector<float> v(std::size_t(aWidth) * aHeight), blurred(v.size());
    for (auto &x : v)
        x = float(random() % 256);
    for (int pass = 0; pass < 3; ++pass, v.swap(blurred))
        for (int y = 0; y < aHeight; ++y)
            for (int x = 0; x < aWidth; ++x) {
                float sum = 0.0f;
                int n = 0;
                for (int yy = std::max(y - 1, 0); yy <= std::min(y + 1, aHeight - 1); ++yy)
                    for (int xx = std::max(x - 1, 0); xx <= std::min(x + 1, aWidth - 1); ++xx, ++n)
                        sum += v[std::size_t(yy) * aWidth + xx];
                blurred[std::size_t(y) * aWidth + x] = sum / n;
            }
    Image<unsigned char> img(aWidth, aHeight, 3);
    for (int i = 0; i < aWidth * aHeight * 3; ++i)
        img.data()[i]
            = (unsigned char)std::clamp((v[i / 3] - 128.0f) * 4.0f + 128.0f, 0.0f, 255.0f);
    return img;
}

// Packs an RGB photograph as raw frames are packed: each 2 x 2 block of a G R / B G mosaic
// becomes one pixel of four 10-bit samples (G, R, B, G).
inline Image<short> packMosaic(const Image<unsigned char> &aRgb)
{
    Image<short> packed(aRgb.width() / 2, aRgb.height() / 2, 4);
    const int pick[4][3] = { { 0, 0, 1 }, { 1, 0, 0 }, { 0, 1, 2 }, { 1, 1, 1 } };
    for (int y = 0; y < packed.height(); ++y)
        for (int x = 0; x < packed.width(); ++x)
            for (int c = 0; c < 4; ++c)
                packed(x, y, c)
                    = short(aRgb(2 * x + pick[c][0], 2 * y + pick[c][1], pick[c][2]) * 1023 / 255);
    return packed;
}

} // namespace regtest
