// Exposure fusion benchmark: wall time and peak resident memory of the three fusions the
// application runs, from images already in memory.
//
//   merge   3 × 2592×1968 RGB,        computeWithMaxDetail(…, 102, 51)
//   raw     3 × 1296×984×4 raw short, compute(…, 409, 204)
//   preview 3 × 648×492 RGB,          compute(…, 102, 51)
//
// Inputs are the Kebun bracket of the shared data, scaled to 2592×1968; raw frames are
// packed from them as G R / B G sites, previews scaled down from them. "cold" runs each fusion
// in a fresh process that copies the inputs into images of its own (the one-shot tool's case,
// every page faulted anew); "warm" repeats it in one process, as the merge thread does burst
// after burst. Each case runs with one thread and with two (bands of rows; the result is the
// same).
//
// Usage: fusion_bench [runs]   (default 7)

#include "BenchSupport.h"
#include "core/HDRFusion"

#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <string>

namespace {

// Times aFuse on fresh copies of aFrames, cold and warm, with one thread and with two.
template <class T, class Fuse>
void runCase(const char *aName, const bench::FrameStore &aFrames, int aRuns, Fuse aFuse)
{
    for (int threads : { 1, 2 }) {
        std::vector<Image<T>> images;
        auto copy = [&] { images = aFrames.copies<T>(); };
        auto fuse = [&] { aFuse(images, threads); };
        const std::string label = std::string(aName) + " " + aFrames.describe() + " "
            + std::to_string(threads) + " thr";
        bench::Options cold;
        cold.processPerRun = true;
        bench::printColdAndWarm(label.c_str(), bench::measure(aRuns, copy, fuse, cold),
            bench::measure(aRuns, copy, fuse));
    }
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    bench::printHeader("Exposure fusion: merge, raw merge and quick preview bursts");
    std::printf("%d runs per case, one and two threads\n", runs);
    bench::FrameStore merge, raw, preview;
    {
        std::vector<Image<unsigned char>> burst = bench::kebunBurst(2592, 1968);
        if (burst.empty())
            return 1;
        for (const Image<unsigned char> &frame : burst) {
            merge.add(frame);
            raw.add(bench::packMosaic(frame));
            preview.add(bench::scaleAndCrop(frame, 648, 492));
        }
    }
    // What preparing the inputs used goes back to the system: the children measured next would
    // count it in their peaks.
    malloc_trim(0);
    std::printf("inputs: Kebun bracket (shared data), darkest first\n\n");

    typedef HDRFusion<Image<unsigned char>> Fusion8;
    runCase<unsigned char>("merge", merge, runs, [](auto &aImages, int aThreads) {
        Fusion8::computeWithMaxDetail(aImages, 102, 51, aThreads);
    });
    merge.release();
    runCase<short>("raw", raw, runs, [](auto &aImages, int aThreads) {
        HDRFusion<Image<short>>::compute(aImages, 409, 204, aThreads);
    });
    raw.release();
    runCase<unsigned char>("preview", preview, runs,
        [](auto &aImages, int aThreads) { Fusion8::compute(aImages, 102, 51, aThreads); });
    std::printf("\nmedians of wall and CPU time; peak: largest resident size of a cold run, "
                "inputs included\n");
    std::printf("targets (one thread): merge <= 250 ms and <= 150 MB, preview <= 20 ms\n");
    return 0;
}
