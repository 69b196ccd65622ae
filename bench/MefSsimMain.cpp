// mef_ssim: scores a fused picture against the exposures it was made from.
//   mef_ssim FUSED INPUT1 [INPUT2 ...]
// Prints the MEF-SSIM score (single scale, grey) with four decimals; exit status 1 when a
// file cannot be read or the pictures do not fit together, 2 for a usage error.

#include "MefSsim.h"
#include "core/FileIO"

#include <cctype>
#include <cstdio>
#include <string>

namespace {

// JPEG (.jpg/.jpeg, any case), binary PPM or PNG as 8-bit pixels of 1 to 4 channels.
Image<unsigned char> load(const std::string &aPath)
{
    std::string ext = aPath.substr(aPath.find_last_of('.') + 1);
    for (char &c : ext)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    int w = 0, h = 0, c = 0;
    unsigned char *pixels = nullptr;
    if (ext == "jpg" || ext == "jpeg")
        pixels = FileIO::readJpeg(aPath.c_str(), 0, w, h, c);
    else if (ext == "png")
        pixels = FileIO::readPng(aPath.c_str(), w, h, c);
    else if (ext == "ppm")
        FileIO::readPpm(aPath.c_str(), w, h, pixels), c = 3;
    if (!pixels)
        return Image<unsigned char>();
    Image<unsigned char> img = Image<unsigned char>::adopt(w, h, c, pixels);
    if (c == 3 || c == 1)
        return img;
    // Alpha carries no exposure: keep the colour (or grey) samples.
    Image<unsigned char> solid(w, h, c == 4 ? 3 : 1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < solid.channels(); ++k)
                solid(x, y, k) = img(x, y, k);
    return solid;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "Usage: mef_ssim FUSED INPUT1 [INPUT2 ...]\n");
        return 2;
    }
    std::vector<Image<unsigned char>> inputs;
    Image<unsigned char> fused;
    for (int i = 1; i < argc; ++i) {
        Image<unsigned char> img = load(argv[i]);
        if (img.empty()) {
            std::fprintf(stderr, "mef_ssim: %s: cannot be read\n", argv[i]);
            return 1;
        }
        if (i == 1)
            fused = img;
        else
            inputs.push_back(img);
    }
    std::string why;
    const double score = bench::mefSsim(inputs, fused, &why);
    if (score < -1.5) {
        std::fprintf(stderr, "mef_ssim: %s\n", why.c_str());
        return 1;
    }
    std::printf("%.4f\n", score);
    return 0;
}
