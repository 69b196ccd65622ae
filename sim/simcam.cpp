// duskline-simcam: streams frames from the simulated camera through the kernel seam, as the
// camera backend would, and writes the last one and its statistics.
//
//   duskline-simcam [--frames N] [--size WxH] [--raw] [--exposure US] [--gain G]
//                   [--focus DIOPTERS] [--scene FILE.hdr] [--out PREFIX]
//
// Writes PREFIX.ppm (UYVY converted to RGB) or PREFIX.pgm (the 10-bit mosaic, 16-bit samples)
// and PREFIX.txt (the frame's ground truth, histogram banks and sharpness grid).

#include "CameraClient.h"
#include "SimPhone.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace Opsa::Ketto;
using Opsa::Sim::CameraClient;

namespace {

int usage(const char *aWhy)
{
    std::fprintf(stderr,
        "%s\nusage: duskline-simcam [--frames N] [--size WxH] [--raw] [--exposure US] [--gain G]\n"
        "                       [--focus DIOPTERS] [--scene FILE.hdr] [--out PREFIX]\n",
        aWhy);
    return 2;
}

bool writeImage(const std::string &aPath, const std::vector<std::uint8_t> &aFrame, int aWidth,
    int aHeight, bool aRaw)
{
    FILE *f = std::fopen(aPath.c_str(), "wb");
    if (!f)
        return false;
    std::vector<std::uint8_t> out;
    if (aRaw) {
        std::fprintf(f, "P5\n%d %d\n1023\n", aWidth, aHeight);
        for (std::size_t i = 0; i + 1 < aFrame.size(); i += 2) {
            out.push_back(aFrame[i + 1]); // PGM samples are big-endian
            out.push_back(aFrame[i]);
        }
    } else {
        std::fprintf(f, "P6\n%d %d\n255\n", aWidth, aHeight);
        auto clamp = [](double aV) { return std::uint8_t(std::clamp(aV + 0.5, 0.0, 255.0)); };
        for (std::size_t i = 0; i + 3 < aFrame.size(); i += 4) {
            const double u = aFrame[i] - 128.0, v = aFrame[i + 2] - 128.0;
            for (int p : { 1, 3 }) {
                const double y = aFrame[i + p];
                out.push_back(clamp(y + 1.402 * v));
                out.push_back(clamp(y - 0.344136 * u - 0.714136 * v));
                out.push_back(clamp(y + 1.772 * u));
            }
        }
    }
    const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    int frames = 10, width = 640, height = 480, exposure = 20000;
    float gain = 1.0f, focus = 2.0f;
    bool raw = false;
    std::string out = "simcam", scene;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--raw")
            raw = true;
        else if (a == "--frames" && hasValue)
            frames = std::atoi(argv[++i]);
        else if (a == "--size" && hasValue
            && std::sscanf(argv[i + 1], "%dx%d", &width, &height) == 2)
            ++i;
        else if (a == "--exposure" && hasValue)
            exposure = std::atoi(argv[++i]);
        else if (a == "--gain" && hasValue)
            gain = float(std::atof(argv[++i]));
        else if (a == "--focus" && hasValue)
            focus = float(std::atof(argv[++i]));
        else if (a == "--scene" && hasValue)
            scene = argv[++i];
        else if (a == "--out" && hasValue)
            out = argv[++i];
        else
            return usage(("unknown or incomplete option: " + a).c_str());
    }
    if (frames < 1 || width < 1 || height < 1 || exposure < 1 || gain <= 0)
        return usage("frames, size, exposure and gain must be positive");

    Opsa::Sim::SimOptions options;
    options.pace = Opsa::Sim::Pace::LockStep;
    options.scenePath = scene;
    Opsa::Sim::SimPhone phone(options);
    CameraClient camera(kernel()); // through the seam, as the backend reaches it
    auto failed = [](const char *aWhat) {
        std::fprintf(stderr, "duskline-simcam: %s: %s\n", aWhat, std::strerror(errno));
        return 1;
    };
    if (camera.open() < 0)
        return failed("open /dev/video0");
    if (camera.setControl(KControlExposure, exposure) < 0
        || camera.setControl(KControlGain, std::int32_t(gain * 32 + 0.5f)) < 0
        || camera.setControl(KControlFocusStepTime, 1) < 0
        || camera.setControl(KControlFocus, Opsa::Sim::lensDioptersToRaw(focus)) < 0)
        return failed("VIDIOC_S_CTRL");
    if (camera.start(width, height, raw ? V4L2_PIX_FMT_SGRBG10 : V4L2_PIX_FMT_UYVY) < 0)
        return failed("start streaming");

    std::vector<std::uint8_t> last;
    CameraClient::Frame frame;
    for (int i = 0; i < frames; ++i) {
        if (camera.dequeue(frame) < 0)
            return failed("VIDIOC_DQBUF");
        if (i + 1 == frames)
            last.assign(frame.data, frame.data + frame.bytes);
        if (camera.requeue(frame) < 0)
            return failed("VIDIOC_QBUF");
    }
    CameraClient::Stats histogram, sharpness;
    if (camera.histogram(std::uint16_t(frame.sequence % KFrameNumbers), histogram) < 0)
        return failed("VIDIOC_PRIVATE_ISP_HIST_REQ");
    if (camera.sharpness(std::uint16_t(frame.sequence % KFrameNumbers), sharpness) < 0)
        return failed("VIDIOC_PRIVATE_ISP_AF_REQ");
    Opsa::Sim::FrameRecord truth;
    phone.kernel().frame(frame.sequence, truth);

    const std::string image = out + (raw ? ".pgm" : ".ppm");
    if (!writeImage(image, last, camera.width(), camera.height(), raw))
        return failed(image.c_str());
    FILE *f = std::fopen((out + ".txt").c_str(), "w");
    if (!f)
        return failed((out + ".txt").c_str());
    std::fprintf(f,
        "frame %u: %d x %d %s, exposure %d us, frame time %d us, gain %.3f, focus %.3f D\n",
        truth.sequence, truth.width, truth.height, raw ? "BA10" : "UYVY", truth.exposure,
        truth.frameTime, truth.gain, truth.focus);
    std::fprintf(f, "start %d.%06d  statistics %d.%06d  buffer %d.%06d\n", truth.start.seconds(),
        truth.start.microseconds(), histogram.stamp.seconds(), histogram.stamp.microseconds(),
        frame.timestamp.seconds(), frame.timestamp.microseconds());
    const char *banks[] = { "green (red rows)", "red", "blue", "green (blue rows)" };
    for (int b = 0; b < KHistogramBanks; ++b) {
        std::fprintf(f, "histogram %s:", banks[b]);
        for (int i = 0; i < KHistogramBuckets; ++i)
            std::fprintf(f, " %u", histogram.banks[b * KHistogramBuckets + i]);
        std::fprintf(f, "\n");
    }
    std::fprintf(f, "sharpness (sum of the three focus values per cell, >> 10):\n");
    for (int y = 0; y < KAfCellsHigh; ++y) {
        for (int x = 0; x < KAfCellsWide; ++x) {
            std::uint64_t sum = 0;
            for (int c = 0; c < 3; ++c) {
                std::uint32_t v;
                std::memcpy(
                    &v, &sharpness.cells[(y * KAfCellsWide + x) * KAfCellBytes + 4 + 16 * c], 4);
                sum += v;
            }
            std::fprintf(f, "%6llu", static_cast<unsigned long long>(sum >> 10));
        }
        std::fprintf(f, "\n");
    }
    if (std::fclose(f) != 0)
        return failed((out + ".txt").c_str());
    std::printf("wrote %s and %s.txt\n", image.c_str(), out.c_str());
    return 0;
}
