#include "AppTestSupport.h"

#include <Opsa/Ketto/Frame.h>
#include <algorithm>
#include <memory>

namespace apptest {
namespace {

    unsigned char clampByte(double aValue)
    {
        return static_cast<unsigned char>(std::clamp(aValue + 0.5, 0.0, 255.0));
    }

} // namespace

Opsa::Frame frameOf(const Opsa::Image &aImage)
{
    auto body = std::make_shared<Opsa::Ketto::_Frame>();
    body->image = aImage;
    return Opsa::Frame(std::shared_ptr<Opsa::_Frame>(body));
}

Opsa::Frame yuvFrame(const Image<unsigned char> &aRgb)
{
    const int w = aRgb.width();
    Opsa::Image image(w, aRgb.height(), Opsa::UYVY);
    for (int y = 0; y < aRgb.height(); ++y) {
        unsigned char *out = image.data() + std::size_t(y) * image.bytesPerRow();
        for (int x = 0; x < w; x += 2) {
            double u = 0, v = 0;
            for (int k = 0; k < 2; ++k) {
                const double r = aRgb(x + k, y, 0), g = aRgb(x + k, y, 1), b = aRgb(x + k, y, 2);
                const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
                u += 128 + (b - luma) / 1.772;
                v += 128 + (r - luma) / 1.402;
                out[(x + k) * 2 + 1] = clampByte(luma);
            }
            out[x * 2] = clampByte(u / 2);
            out[x * 2 + 2] = clampByte(v / 2);
        }
    }
    return frameOf(image);
}

Opsa::Frame flatYuvFrame(int aWidth, int aHeight, unsigned char aLuma)
{
    Image<unsigned char> grey(aWidth, aHeight, 3);
    std::fill(grey.data(), grey.data() + std::size_t(aWidth) * aHeight * 3, aLuma);
    return yuvFrame(grey);
}

Opsa::Frame rawFrame(const Image<unsigned char> &aRgb)
{
    const int w = aRgb.width() & ~1, h = aRgb.height() & ~1;
    Opsa::Image image(w, h, Opsa::RAW);
    for (int y = 0; y < h; ++y) {
        std::uint16_t *row
            = reinterpret_cast<std::uint16_t *>(image.data() + y * image.bytesPerRow());
        for (int x = 0; x < w; ++x) {
            // G R / B G
            const int channel = (y % 2 == 0) ? (x % 2 == 0 ? 1 : 0) : (x % 2 == 0 ? 2 : 1);
            row[x] = static_cast<std::uint16_t>(aRgb(x, y, channel) * 4 + 2);
        }
    }
    return frameOf(image);
}

} // namespace apptest
