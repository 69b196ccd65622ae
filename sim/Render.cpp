#include "Render.h"

#include "Scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Opsa::Sim {

namespace {

    std::uint64_t splitMix(std::uint64_t &aState)
    {
        std::uint64_t z = (aState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // A fast generator for the per-pixel noise; seeded per frame so runs repeat exactly.
    class Random
    {
    public:
        Random(std::uint32_t aSeed, std::uint32_t aSequence)
        {
            std::uint64_t s = (std::uint64_t(aSeed) << 32) | aSequence;
            a = splitMix(s);
            b = splitMix(s) | 1;
        }
        std::uint64_t next()
        {
            std::uint64_t x = a;
            const std::uint64_t y = b;
            a = y;
            x ^= x << 23;
            b = x ^ y ^ (x >> 17) ^ (y >> 26);
            return b + y;
        }
        float uniform() { return float(next() >> 40) * (1.0f / 16777216.0f); }
        // Close enough to a standard normal for sensor noise: the sum of four uniforms has
        // variance 1/3, so scale by sqrt(3).
        float normal()
        {
            const std::uint64_t r = next();
            float sum = 0;
            for (int i = 0; i < 4; ++i)
                sum += float((r >> (16 * i)) & 0xFFFF) * (1.0f / 65536.0f);
            return (sum - 2.0f) * 1.7320508f;
        }

    private:
        std::uint64_t a, b;
    };

    // One pass of a box blur whose radius varies by pixel: aCount samples aStride apart,
    // radii in samples (fractional radii weigh the two outermost samples by the fraction, so
    // the blur grows smoothly with the focus error).
    void boxPass(float *aData, int aCount, std::ptrdiff_t aStride, const float *aRadius,
        std::ptrdiff_t aRadiusStride, std::vector<double> &aPrefix, int aPad)
    {
        aPrefix.resize(std::size_t(aCount + 2 * aPad + 1));
        aPrefix[0] = 0;
        for (int i = 0; i < aCount + 2 * aPad; ++i) {
            const int src = std::clamp(i - aPad, 0, aCount - 1);
            aPrefix[i + 1] = aPrefix[i] + aData[src * aStride];
        }
        auto sample = [&](int aI) { return aPrefix[aI + aPad + 1] - aPrefix[aI + aPad]; };
        static thread_local std::vector<float> out;
        out.resize(std::size_t(aCount));
        for (int i = 0; i < aCount; ++i) {
            const float r = std::min(aRadius[i * aRadiusStride], float(aPad - 1));
            const int whole = int(r);
            const double frac = r - whole;
            double sum = aPrefix[i + whole + aPad + 1] - aPrefix[i - whole + aPad];
            double weight = 2 * whole + 1;
            if (frac > 0) {
                sum += frac * (sample(i - whole - 1) + sample(i + whole + 1));
                weight += 2 * frac;
            }
            out[i] = float(sum / weight);
        }
        for (int i = 0; i < aCount; ++i)
            aData[i * aStride] = out[i];
    }

} // namespace

Shake handShake(std::uint32_t aSeed, std::uint32_t aSequence)
{
    std::uint64_t s = (std::uint64_t(aSeed) << 32) ^ (aSequence * 0x2545F4914F6CDD1Dull);
    auto unit = [&] { return float(splitMix(s) >> 40) / 8388608.0f - 1.0f; }; // -1 .. 1
    Shake shake;
    shake.dx = 0.0012f * unit(); // about 3 pixels of the full picture
    shake.dy = 0.0012f * unit();
    shake.angle = 0.0026f * unit(); // about 0.15 degrees
    return shake;
}

std::vector<std::uint16_t> renderRaw(
    const Scene &aScene, int aWidth, int aHeight, const Shot &aShot)
{
    const std::size_t pixels = std::size_t(aWidth) * aHeight;
    std::vector<float> rgb(pixels * 3), radius(pixels);
    const Shake shake = aShot.handShake ? handShake(aShot.seed, aShot.sequence) : Shake {};
    const float aspect = float(aHeight) / float(aWidth);
    const float c = std::cos(shake.angle), s = std::sin(shake.angle);
    const float blurScale = KBlurPerDiopter * aWidth;
    for (int y = 0; y < aHeight; ++y) {
        const float focus
            = aShot.focus + aShot.focusSpan * float(y) / float(std::max(1, aHeight - 1));
        for (int x = 0; x < aWidth; ++x) {
            // Turn about the centre in square units, then shift.
            const float u0 = (x + 0.5f) / aWidth - 0.5f;
            const float v0 = ((y + 0.5f) / aHeight - 0.5f) * aspect;
            const float u = c * u0 - s * v0 + 0.5f + shake.dx;
            const float v = (s * u0 + c * v0) / aspect + 0.5f + shake.dy;
            const std::size_t i = std::size_t(y) * aWidth + x;
            float depth = 0;
            aScene.sample(u, v, 1.0f / aWidth, &rgb[3 * i], depth);
            radius[i] = blurScale * std::fabs(focus - depth);
        }
    }

    // Defocus: each point spreads over a box as wide as its own blur circle.
    const float widest = *std::max_element(radius.begin(), radius.end());
    if (widest > 0.05f) {
        const int pad = int(widest) + 3;
        std::vector<double> prefix;
        for (int ch = 0; ch < 3; ++ch) {
            for (int y = 0; y < aHeight; ++y)
                boxPass(&rgb[3 * std::size_t(y) * aWidth + ch], aWidth, 3,
                    &radius[std::size_t(y) * aWidth], 1, prefix, pad);
            for (int x = 0; x < aWidth; ++x)
                boxPass(&rgb[3 * std::size_t(x) + ch], aHeight, 3 * std::ptrdiff_t(aWidth),
                    &radius[x], aWidth, prefix, pad);
        }
    }

    std::vector<std::uint16_t> raw(pixels);
    Random random(aShot.seed, aShot.sequence);
    const float scale = KCountsPerRadianceMicrosecond * aShot.exposure;
    for (int y = 0; y < aHeight; ++y) {
        for (int x = 0; x < aWidth; ++x) {
            const std::size_t i = std::size_t(y) * aWidth + x;
            const int colour = siteColour(x, y);
            // Light collected until the well is full; photon noise is that of the electrons.
            float counts
                = std::min(rgb[3 * i + colour] * KSensitivity[colour] * scale, float(KWhiteLevel));
            if (aShot.noise) {
                const float electrons = counts * KElectronsPerCount;
                counts = (electrons + std::sqrt(electrons) * random.normal()) / KElectronsPerCount;
            }
            float value = counts * aShot.gain;
            if (aShot.noise)
                value += KReadNoise * random.normal();
            raw[i] = std::uint16_t(std::clamp(std::lround(value), 0l, long(KRawMax)));
        }
    }
    return raw;
}

void rawToUyvy(const std::uint16_t *aRaw, int aWidth, int aHeight, const ColourProgram &aProgram,
    std::uint8_t *aOut)
{
    // Per-site gains in 1/32 and the common digital gain in 1/256, before the matrix.
    const auto &wb = aProgram.whiteBalance;
    const float digital = wb.digitalGain / 256.0f;
    const float siteGain[3] = { wb.gain[0] / 32.0f * digital, wb.gain[1] / 32.0f * digital,
        wb.gain[3] / 32.0f * digital };
    float matrix[3][3], offset[3];
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k)
            matrix[r][k] = aProgram.blending.matrix[r][k] / 256.0f;
        offset[r] = aProgram.blending.offset[r];
    }
    std::uint8_t gamma[1024];
    for (int i = 0; i < 1024; ++i)
        gamma[i] = std::uint8_t(std::lround(255.0 * std::pow(i / 1023.0, 1.0 / 2.2)));

    for (int y = 0; y < aHeight; ++y) {
        std::uint8_t *row = aOut + std::size_t(y) * aWidth * 2;
        for (int x = 0; x < aWidth; x += 2) {
            float yy[2], cb = 0, cr = 0;
            for (int p = 0; p < 2; ++p) {
                // Bilinear demosaic: each missing colour is the mean of its neighbours.
                float sum[3] = { 0, 0, 0 };
                int count[3] = { 0, 0, 0 };
                const int px = x + p;
                const int own = siteColour(px, y);
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int sx = std::clamp(px + dx, 0, aWidth - 1);
                        const int sy = std::clamp(y + dy, 0, aHeight - 1);
                        const int colour = siteColour(sx, sy);
                        if (colour == own && (dx || dy))
                            continue;
                        sum[colour] += aRaw[std::size_t(sy) * aWidth + sx];
                        ++count[colour];
                    }
                float in[3];
                for (int k = 0; k < 3; ++k)
                    in[k] = (count[k] ? sum[k] / count[k] : 0.0f) * siteGain[k];
                float out[3];
                for (int r = 0; r < 3; ++r) {
                    const float v = matrix[r][0] * in[0] + matrix[r][1] * in[1]
                        + matrix[r][2] * in[2] + offset[r];
                    // The white level maps to full scale.
                    const int level = int(std::clamp(v * (1023.0f / KWhiteLevel), 0.0f, 1023.0f));
                    out[r] = gamma[level];
                }
                yy[p] = 0.299f * out[0] + 0.587f * out[1] + 0.114f * out[2];
                cb += -0.168736f * out[0] - 0.331264f * out[1] + 0.5f * out[2];
                cr += 0.5f * out[0] - 0.418688f * out[1] - 0.081312f * out[2];
            }
            auto byte
                = [](float aV) { return std::uint8_t(std::clamp(std::lround(aV), 0l, 255l)); };
            row[2 * x + 0] = byte(128.0f + cb / 2);
            row[2 * x + 1] = byte(yy[0]);
            row[2 * x + 2] = byte(128.0f + cr / 2);
            row[2 * x + 3] = byte(yy[1]);
        }
    }
}

void histogram(const std::uint16_t *aRaw, int aWidth, int aHeight, double aScaleX, double aScaleY,
    const Opsa::Ketto::HistogramConfig &aConfig, std::uint32_t *aBanks)
{
    using namespace Opsa::Ketto;
    const int buckets = aConfig.bins == 0 ? 32 : 64;
    const int shift = buckets == 64 ? 4 : 5;
    std::vector<double> counts(std::size_t(KHistogramBanks) * buckets, 0.0);
    const int x0 = int((aConfig.horizontal[0] >> 16) * aScaleX);
    const int x1 = std::min(
        aWidth, int(((aConfig.horizontal[0] >> 16) + (aConfig.horizontal[0] & 0xFFFF)) * aScaleX));
    const int y0 = int((aConfig.vertical[0] >> 16) * aScaleY);
    const int y1 = std::min(
        aHeight, int(((aConfig.vertical[0] >> 16) + (aConfig.vertical[0] & 0xFFFF)) * aScaleY));
    // Each rendered site stands for 1 / (scale x scale) sites of the previewer input.
    const double weight = 1.0 / (aScaleX * aScaleY);
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const int bank = (y & 1) * 2 + (x & 1);
            const int value
                = aRaw[std::size_t(y) * aWidth + x] * aConfig.whiteBalanceGain[bank] / 32;
            counts[std::size_t(bank) * buckets + std::min(buckets - 1, value >> shift)] += weight;
        }
    std::memset(aBanks, 0, sizeof(std::uint32_t) * KHistogramBanks * KHistogramBuckets);
    for (int b = 0; b < KHistogramBanks; ++b)
        for (int i = 0; i < buckets; ++i)
            aBanks[b * KHistogramBuckets + i]
                = std::uint32_t(std::lround(counts[std::size_t(b) * buckets + i]));
}

AfGrid afGrid(const Opsa::Ketto::AfConfig &aConfig)
{
    const auto &w = aConfig.words;
    return { int(2 * w[27] + 2), int(2 * w[28] + 2), int(w[29]), int(w[30]), int(w[31] + 1),
        int(w[32] + 1) };
}

void sharpness(const std::uint16_t *aRaw, int aWidth, int aHeight, double aScaleX, double aScaleY,
    const Opsa::Ketto::AfConfig &aConfig, std::uint8_t *aRecords, std::size_t aBytes)
{
    using namespace Opsa::Ketto;
    const AfGrid grid = afGrid(aConfig);
    const double weight = 1.0 / (aScaleX * aScaleY);
    std::memset(aRecords, 0, aBytes);
    for (int cy = 0; cy < grid.cellsHigh; ++cy) {
        for (int cx = 0; cx < grid.cellsWide; ++cx) {
            const std::size_t at = (std::size_t(cy) * grid.cellsWide + cx) * KAfCellBytes;
            if (at + KAfCellBytes > aBytes)
                return;
            const int x0 = int((grid.x + cx * grid.cellWidth) * aScaleX);
            const int x1 = std::min(aWidth, int((grid.x + (cx + 1) * grid.cellWidth) * aScaleX));
            const int y0 = int((grid.y + cy * grid.cellHeight) * aScaleY);
            const int y1 = std::min(aHeight, int((grid.y + (cy + 1) * grid.cellHeight) * aScaleY));
            double sum[3] = { 0, 0, 0 }, focus[3] = { 0, 0, 0 };
            std::uint32_t peak[3] = { 0, 0, 0 }, sites[3] = { 0, 0, 0 };
            for (int y = y0; y < y1; ++y) {
                const std::uint16_t *row = aRaw + std::size_t(y) * aWidth;
                for (int x = x0; x < x1; ++x) {
                    const int colour = siteColour(x, y);
                    sum[colour] += row[x];
                    peak[colour] = std::max<std::uint32_t>(peak[colour], row[x]);
                    ++sites[colour];
                    if (x >= 2 && x + 2 < aWidth)
                        focus[colour] += std::abs(2 * row[x] - row[x - 2] - row[x + 2]);
                }
            }
            for (int c = 0; c < 3; ++c) {
                const std::uint32_t words[4] = { std::uint32_t(sum[c] * weight),
                    std::uint32_t(focus[c] * weight), peak[c], std::uint32_t(sites[c] * weight) };
                std::memcpy(aRecords + at + 16 * c, words, sizeof words);
            }
        }
    }
}

} // namespace Opsa::Sim
