#include "MefSsim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int KWindow = 11;
constexpr int KBorder = KWindow / 2;
constexpr double KGaussianSigma = 1.5;
constexpr double KContrastPower = 4.0;
constexpr double KStability = (0.03 * 255) * (0.03 * 255);

// Box sums of one plane over every 11 × 11 window, from an integral image.
class BoxSums
{
public:
    BoxSums(const std::vector<double> &aPlane, int aWidth, int aHeight, bool aSquared)
        : stride(aWidth + 1)
        , sums(std::size_t(aWidth + 1) * (aHeight + 1), 0.0)
    {
        for (int y = 0; y < aHeight; ++y) {
            double row = 0;
            for (int x = 0; x < aWidth; ++x) {
                double v = aPlane[std::size_t(y) * aWidth + x];
                row += aSquared ? v * v : v;
                sums[std::size_t(y + 1) * stride + x + 1]
                    = sums[std::size_t(y) * stride + x + 1] + row;
            }
        }
    }

    // Sum over the window whose top-left pixel is (x, y).
    double at(int x, int y) const
    {
        const std::size_t top = std::size_t(y) * stride, bottom = std::size_t(y + KWindow) * stride;
        return sums[bottom + x + KWindow] - sums[bottom + x] - sums[top + x + KWindow]
            + sums[top + x];
    }

private:
    std::size_t stride;
    std::vector<double> sums;
};

} // namespace

namespace bench {

std::vector<double> greyOf(const Image<unsigned char> &aImage)
{
    const int w = aImage.width(), h = aImage.height(), c = aImage.channels();
    std::vector<double> grey;
    if (aImage.empty() || (c != 1 && c != 3))
        return grey;
    grey.resize(std::size_t(w) * h);
    for (int y = 0; y < h; ++y) {
        const unsigned char *p = aImage(0, y);
        for (int x = 0; x < w; ++x, p += aImage.pixelStride()) {
            const int cs = aImage.channelStride();
            grey[std::size_t(y) * w + x]
                = c == 1 ? p[0] : std::round(0.2989 * p[0] + 0.5870 * p[cs] + 0.1140 * p[2 * cs]);
        }
    }
    return grey;
}

double mefSsim(const std::vector<Image<unsigned char>> &aInputs, const Image<unsigned char> &aFused,
    std::string *aError)
{
    auto fail = [aError](const std::string &aWhy) {
        if (aError)
            *aError = aWhy;
        return -2.0;
    };
    const int w = aFused.width(), h = aFused.height();
    if (aInputs.empty())
        return fail("no input images");
    if (w < KWindow || h < KWindow)
        return fail("the fused image is smaller than the 11 x 11 window");
    for (const auto &input : aInputs)
        if (input.width() != w || input.height() != h)
            return fail("an input is " + std::to_string(input.width()) + "x"
                + std::to_string(input.height()) + ", the fused image " + std::to_string(w) + "x"
                + std::to_string(h));

    const std::size_t n = aInputs.size();
    std::vector<std::vector<double>> planes;
    for (const auto &input : aInputs) {
        planes.push_back(greyOf(input));
        if (planes.back().empty())
            return fail("an input is neither grey nor RGB");
    }
    const std::vector<double> fused = greyOf(aFused);
    if (fused.empty())
        return fail("the fused image is neither grey nor RGB");

    std::vector<BoxSums> sums, squares;
    for (const auto &plane : planes) {
        sums.emplace_back(plane, w, h, false);
        squares.emplace_back(plane, w, h, true);
    }

    double gaussian[KWindow * KWindow];
    double total = 0;
    for (int y = 0; y < KWindow; ++y)
        for (int x = 0; x < KWindow; ++x) {
            const double dx = x - KBorder, dy = y - KBorder;
            total += gaussian[y * KWindow + x]
                = std::exp(-(dx * dx + dy * dy) / (2 * KGaussianSigma * KGaussianSigma));
        }
    for (double &g : gaussian)
        g /= total;

    const double area = KWindow * KWindow;
    std::vector<double> factor(n);
    double score = 0;
    for (int y = 0; y + KWindow <= h; ++y) {
        for (int x = 0; x + KWindow <= w; ++x) {
            // Mean and signal strength (the norm of the zero-mean patch) of every exposure;
            // the desired patch is sum_k factor_k (patch_k - mean_k).
            double largest = 0, weightSum = 0, offset = 0;
            for (std::size_t k = 0; k < n; ++k) {
                const double mean = sums[k].at(x, y) / area;
                const double variance = squares[k].at(x, y) / area - mean * mean;
                const double strength = std::sqrt(std::max(area * variance, 0.0)) + 0.001;
                largest = std::max(largest, strength);
                const double weight = std::pow(strength / KWindow, KContrastPower);
                weightSum += weight;
                factor[k] = weight / strength;
                offset += factor[k] * mean;
            }
            for (std::size_t k = 0; k < n; ++k)
                factor[k] /= weightSum;
            offset /= weightSum;

            // One pass gathers the desired patch's norm and the Gaussian moments of both
            // patches; the desired patch is scaled to the largest strength afterwards.
            double norm = 0, gd = 0, gdd = 0, gf = 0, gff = 0, gdf = 0;
            for (int py = 0; py < KWindow; ++py) {
                const std::size_t row = std::size_t(y + py) * w + x;
                const double *g = gaussian + py * KWindow;
                for (int px = 0; px < KWindow; ++px) {
                    double d = -offset;
                    for (std::size_t k = 0; k < n; ++k)
                        d += factor[k] * planes[k][row + px];
                    const double f = fused[row + px];
                    norm += d * d;
                    gd += g[px] * d;
                    gdd += g[px] * d * d;
                    gf += g[px] * f;
                    gff += g[px] * f * f;
                    gdf += g[px] * d * f;
                }
            }
            norm = std::sqrt(norm);
            const double scale = norm > 0 ? largest / norm : 0;
            const double desiredVar = scale * scale * (gdd - gd * gd);
            const double fusedVar = gff - gf * gf;
            const double covariance = scale * (gdf - gd * gf);
            score += (2 * covariance + KStability) / (desiredVar + fusedVar + KStability);
        }
    }
    return score / (double(w - KWindow + 1) * (h - KWindow + 1));
}

} // namespace bench
