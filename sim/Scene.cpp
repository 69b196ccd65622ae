#include "Scene.h"

#include "core/FileIO"

#include <algorithm>
#include <cmath>

namespace Opsa::Sim {

namespace {

    bool inside(float aU, float aV, float aU0, float aV0, float aU1, float aV1)
    {
        return aU >= aU0 && aU < aU1 && aV >= aV0 && aV < aV1;
    }

    void set(float aRgb[3], float aLevel, float aR, float aG, float aB)
    {
        aRgb[0] = aLevel * aR;
        aRgb[1] = aLevel * aG;
        aRgb[2] = aLevel * aB;
    }

    // A dim room lit mostly through its window; levels are chosen to span about 12 stops so
    // that no single exposure holds both the shadows and the garden.
    class Interior : public Scene
    {
    public:
        static constexpr float KPosterDiopters = 2.0f; // 50 cm
        static constexpr float KPlantDiopters = 5.0f; // 20 cm
        static constexpr float KWallDiopters = 0.33f; // 3 m

        void sample(float aU, float aV, float, float aRgb[3], float &aDiopters) const override
        {
            // The window, with its frame bars, onto a garden at infinity.
            if (inside(aU, aV, 0.62f, 0.10f, 0.94f, 0.56f)) {
                aDiopters = 0.0f;
                const bool bar = std::fabs(aU - 0.78f) < 0.008f || std::fabs(aV - 0.33f) < 0.008f;
                if (bar) {
                    set(aRgb, 0.03f, 0.9f, 0.8f, 0.7f);
                    aDiopters = KWallDiopters;
                } else if (aV > 0.42f + 0.05f * std::sin(aU * 40.0f)) {
                    set(aRgb, 4.0f, 0.45f, 0.9f, 0.35f); // sunlit hedge
                } else {
                    set(aRgb, 20.0f - 12.0f * (aV - 0.10f), 0.75f, 0.9f, 1.0f); // sky
                }
                return;
            }
            // The poster: fine checks and stripes, so that focus has edges to find.
            if (inside(aU, aV, 0.36f, 0.28f, 0.64f, 0.72f)) {
                aDiopters = KPosterDiopters;
                const int cu = int(aU / 0.012f), cv = int(aV / 0.016f);
                const bool dark = ((cu + cv) & 1) != 0;
                const bool stripe = aV > 0.6f && std::fmod(aU, 0.02f) < 0.01f;
                const float level = (dark || stripe) ? 0.08f : 0.5f;
                set(aRgb, level, 1.0f, aU > 0.5f ? 0.8f : 1.0f, aV < 0.4f ? 0.6f : 1.0f);
                return;
            }
            // The plant, close by on the left.
            if (inside(aU, aV, 0.04f, 0.42f, 0.26f, 0.98f)) {
                const float leaf = std::sin(aU * 180.0f + aV * 60.0f);
                if (leaf > -0.2f) {
                    aDiopters = KPlantDiopters;
                    set(aRgb, 0.03f + 0.03f * leaf, 0.4f, 1.0f, 0.3f);
                    return;
                }
            }
            // The lamp.
            const float du = aU - 0.18f, dv = (aV - 0.18f) * 0.75f;
            if (du * du + dv * dv < 0.0016f) {
                aDiopters = 0.8f;
                set(aRgb, 6.0f, 1.0f, 0.8f, 0.5f);
                return;
            }
            // The table, nearer towards the bottom.
            if (aV > 0.78f) {
                aDiopters = 1.0f + (aV - 0.78f) / 0.22f * 2.0f;
                const float grain = 0.8f + 0.2f * std::sin(aU * 300.0f + aV * 20.0f);
                set(aRgb, 0.05f * grain, 1.0f, 0.7f, 0.45f);
                return;
            }
            // The back wall, darker in the corners away from the window.
            aDiopters = KWallDiopters;
            const float light = std::max(0.0f, 1.0f - std::hypot(aU - 0.78f, aV - 0.33f));
            const float paper = std::fmod(aU, 0.05f) < 0.004f ? 0.85f : 1.0f;
            set(aRgb, (0.004f + 0.03f * light * light) * paper, 0.95f, 0.9f, 0.8f);
        }

        float mainDiopters() const override { return KPosterDiopters; }
    };

    // A picture as a flat scene. Kept as a pyramid of halvings so a small output averages
    // many source pixels, as an optical image would, instead of picking some.
    class Picture : public Scene
    {
    public:
        struct Level
        {
            int width, height;
            std::vector<float> rgb;
        };

        Picture(std::vector<Level> aLevels, float aDiopters)
            : levels(std::move(aLevels))
            , diopters(aDiopters)
        { }

        void sample(
            float aU, float aV, float aScale, float aRgb[3], float &aDiopters) const override
        {
            aDiopters = diopters;
            std::size_t pick = 0;
            // The smallest level still at least as fine as one output pixel.
            while (pick + 1 < levels.size() && levels[pick + 1].width * aScale >= 1.0f)
                ++pick;
            const Level &l = levels[pick];
            const float x = std::clamp(aU * l.width - 0.5f, 0.0f, float(l.width - 1));
            const float y = std::clamp(aV * l.height - 0.5f, 0.0f, float(l.height - 1));
            const int x0 = int(x), y0 = int(y);
            const int x1 = std::min(x0 + 1, l.width - 1), y1 = std::min(y0 + 1, l.height - 1);
            const float fx = x - x0, fy = y - y0;
            for (int c = 0; c < 3; ++c) {
                auto at = [&](int aX, int aY) {
                    return l.rgb[(std::size_t(aY) * l.width + aX) * 3 + c];
                };
                const float top = at(x0, y0) + (at(x1, y0) - at(x0, y0)) * fx;
                const float bottom = at(x0, y1) + (at(x1, y1) - at(x0, y1)) * fx;
                aRgb[c] = top + (bottom - top) * fy;
            }
        }

        float mainDiopters() const override { return diopters; }

    private:
        std::vector<Level> levels;
        float diopters;
    };

} // namespace

std::unique_ptr<Scene> Scene::interior()
{
    return std::make_unique<Interior>();
}

std::unique_ptr<Scene> Scene::radiance(
    const std::string &aPath, float aDiopters, std::string &aError)
{
    int width = 0, height = 0;
    float *data = FileIO::readRgbe(aPath.c_str(), width, height);
    if (!data) {
        aError = "cannot read the Radiance picture " + aPath;
        return nullptr;
    }
    std::vector<Picture::Level> levels(1);
    levels[0].width = width;
    levels[0].height = height;
    levels[0].rgb.assign(data, data + std::size_t(width) * height * 3);
    delete[] data;

    // Relative radiance has no unit: bring the median to a level the sensor's exposure range
    // was made for (a few times the room's wall).
    std::vector<float> luma;
    luma.reserve(std::size_t(width) * height / 16 + 1);
    for (std::size_t i = 0; i < std::size_t(width) * height; i += 16)
        luma.push_back(levels[0].rgb[3 * i + 1]);
    std::nth_element(luma.begin(), luma.begin() + luma.size() / 2, luma.end());
    const float median = luma[luma.size() / 2];
    const float scale = median > 0.0f ? 0.08f / median : 1.0f;
    for (float &v : levels[0].rgb)
        v = std::max(0.0f, v * scale);

    while (levels.back().width >= 64 && levels.back().height >= 64) {
        const Picture::Level &fine = levels.back();
        Picture::Level coarse { fine.width / 2, fine.height / 2, {} };
        coarse.rgb.resize(std::size_t(coarse.width) * coarse.height * 3);
        for (int y = 0; y < coarse.height; ++y)
            for (int x = 0; x < coarse.width; ++x)
                for (int c = 0; c < 3; ++c) {
                    auto at = [&](int aX, int aY) {
                        return fine.rgb[(std::size_t(aY) * fine.width + aX) * 3 + c];
                    };
                    coarse.rgb[(std::size_t(y) * coarse.width + x) * 3 + c] = 0.25f
                        * (at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1)
                            + at(2 * x + 1, 2 * y + 1));
                }
        levels.push_back(std::move(coarse));
    }
    return std::make_unique<Picture>(std::move(levels), aDiopters);
}

} // namespace Opsa::Sim
