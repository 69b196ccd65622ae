// Registration benchmark: wall time, CPU time and peak resident memory of registerImages on
// the bursts the application registers, from images already in memory.
//
//   merge   3 x 2592x1968 RGB,        registerImages(..., 1024, 10, 4, 1)
//   raw     3 x 1296x984x4 raw short, registerImages(..., 1024, 10, 4, 1)
//   preview 3 x 648x492 RGB,          registerImages(..., 512, 10, 4, 1)
//
// Inputs: the Kebun bracket of the shared data (three exposures from a tripod, the middle one
// first), with the second and third frames moved by a known hand shake (shift, rotation,
// scale) so that registration has real work; raw frames are packed from them as G R / B G
// sites, previews scaled down from them. "cold" runs each registration in a fresh process
// that copies the inputs into images of its own (the one-shot tool's case, every page faulted
// anew); "warm" repeats it in one process, as the merge thread does burst after burst. The
// accuracy line gives how far the recovered models put the frames' corners from the hand
// shake that was applied.
//
// Usage: registration_bench [runs]   (default 7)

#include "BenchSupport.h"
#include "core/Registration"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <string>

namespace {

// The hand shake applied to frame k: rotation (degrees), scale, shift (pixels of the
// 2592-wide frame).
struct Shake
{
    double degrees, scale, dx, dy;
};
const Shake KShakes[3]
    = { { 0.0, 1.0, 0.0, 0.0 }, { 0.4, 1.004, 13.0, -9.0 }, { -0.7, 0.995, -21.0, 17.5 } };

// The similarity of aShake in normalised coordinates of a w x h frame.
Matrix3f shakeModel(const Shake &aShake, int aWidth, int aHeight)
{
    const double s = std::max(aWidth - 1, aHeight - 1), angle = aShake.degrees * M_PI / 180.0;
    const double toPixels = double(aWidth) / 2592.0;
    return Matrix3f::similarity(float(aShake.scale * std::cos(angle)),
        float(aShake.scale * std::sin(angle)), float(2.0 * aShake.dx * toPixels / s),
        float(2.0 * aShake.dy * toPixels / s));
}

// The aWidth x aHeight centre window of aImage as seen through aModel (which maps the view
// onto the window, as registration's models do), bilinear.
Image<unsigned char> view(
    const Image<unsigned char> &aImage, int aWidth, int aHeight, const Matrix3f &aModel)
{
    Image<unsigned char> out(aWidth, aHeight, 3);
    const int x0 = (aImage.width() - aWidth) / 2, y0 = (aImage.height() - aHeight) / 2;
    const Matrix3f n = levelNormalisation(aWidth, aHeight, 1.0f);
    const Matrix3f map = invertMatrix(n) * aModel * n;
    for (int y = 0; y < aHeight; ++y)
        for (int x = 0; x < aWidth; ++x) {
            float u, v;
            map.apply(float(x), float(y), u, v);
            u += x0;
            v += y0;
            const int ix = int(std::floor(u)), iy = int(std::floor(v));
            if (ix < 0 || iy < 0 || ix + 1 >= aImage.width() || iy + 1 >= aImage.height())
                continue;
            const float fx = u - ix, fy = v - iy;
            for (int c = 0; c < 3; ++c) {
                float top = aImage(ix, iy, c) * (1 - fx) + aImage(ix + 1, iy, c) * fx;
                float bottom = aImage(ix, iy + 1, c) * (1 - fx) + aImage(ix + 1, iy + 1, c) * fx;
                out(x, y, c) = (unsigned char)(top * (1 - fy) + bottom * fy + 0.5f);
            }
        }
    return out;
}

// How far, in pixels, the models of a registration of aBurst put each frame's corners from
// the applied shake: the worst frame.
template <class T> double cornerError(const std::vector<Image<T>> &aBurst)
{
    Matrix3f models[3];
    if (core::estimateBurstMotion(aBurst, 1024, 10, 4, 1, models) != 0)
        return -1.0;
    const int w = aBurst[0].width(), h = aBurst[0].height();
    const Matrix3f n = levelNormalisation(w, h, 1.0f), back = invertMatrix(n);
    double worst = 0.0;
    for (int k = 1; k < 3; ++k) {
        const Matrix3f truth = back * shakeModel(KShakes[k], w, h) * n;
        const Matrix3f found = back * models[k] * n;
        for (int corner = 0; corner < 4; ++corner) {
            float x = (corner & 1) ? float(w - 1) : 0.0f, y = (corner & 2) ? float(h - 1) : 0.0f;
            float u1, v1, u2, v2;
            truth.apply(x, y, u1, v1);
            found.apply(x, y, u2, v2);
            worst = std::max(worst, double(std::hypot(u1 - u2, v1 - v2)));
        }
    }
    return worst;
}

// Times the registration of fresh copies of aFrames, cold and warm.
template <class T>
void runCase(const char *aName, const bench::FrameStore &aFrames, int aMaxSize, int aRuns)
{
    std::vector<Image<T>> images;
    auto copy = [&] { images = aFrames.copies<T>(); };
    auto align = [&] {
        if (registerImages(images, aMaxSize, 10, 4, 1) != 0)
            std::exit(1);
    };
    const std::string label = std::string(aName) + " " + aFrames.describe();
    bench::Options cold;
    cold.processPerRun = true;
    bench::printColdAndWarm(label.c_str(), bench::measure(aRuns, copy, align, cold),
        bench::measure(aRuns, copy, align));
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    bench::printHeader("Registration: merge, raw merge and quick preview bursts");
    std::printf("%d runs per case, one thread\n", runs);
    const int W = 2592, H = 1968;
    bench::FrameStore merge, raw, preview;
    {
        // A margin around the window leaves room for the shake.
        std::vector<Image<unsigned char>> kebun = bench::kebunBurst(W + 200, H + 200);
        if (kebun.empty())
            return 1;
        std::vector<Image<unsigned char>> burst;
        std::vector<Image<short>> packedBurst;
        for (int k : { 1, 0, 2 }) { // the middle exposure is the reference
            burst.push_back(view(kebun[k], W, H, shakeModel(KShakes[burst.size()], W, H)));
            packedBurst.push_back(bench::packMosaic(burst.back()));
            merge.add(burst.back());
            raw.add(packedBurst.back());
            preview.add(bench::scaleAndCrop(burst.back(), W / 4, H / 4));
        }
        std::printf("inputs: Kebun bracket (shared data), frames 2 and 3 moved by (0.4 deg, "
                    "1.004, 13, -9) and (-0.7 deg, 0.995, -21, 17.5)\n");
        std::printf("accuracy: corners within %.2f px (merge), %.2f packed px (raw) of the "
                    "shake\n\n",
            cornerError(burst), cornerError(packedBurst));
    }
    // What preparing the inputs used goes back to the system: the children measured next would
    // count it in their peaks.
    malloc_trim(0);

    runCase<unsigned char>("merge", merge, 1024, runs);
    merge.release();
    runCase<short>("raw", raw, 1024, runs);
    raw.release();
    runCase<unsigned char>("preview", preview, 512, runs);
    std::printf("\nmedians of wall and CPU time; peak: largest resident size of a cold run, "
                "inputs included\n");
    std::printf("target (one thread): merge <= 120 ms\n");
    return 0;
}
