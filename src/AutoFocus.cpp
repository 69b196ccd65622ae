#include "Opsa/AutoFocus.h"

#include "Opsa/Debug.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Opsa {

AutoFocus::AutoFocus(Lens *aLens, int aX, int aY, int aWidth, int aHeight)
    : lens(aLens)
    , x(aX)
    , y(aY)
    , width(aWidth)
    , height(aHeight)
{ }

void AutoFocus::startSweep()
{
    if (!lens)
        return;
    afState = MovingToStart;
    lens->setFocus(lens->farFocus(), -1.0f);
    samples.clear();
}

namespace {

    // The map cell under image coordinate aPos of an image aImage wide with aCells cells.
    int cellOf(int aPos, int aCells, int aImage)
    {
        float cell = std::round(float(aPos) * float(aCells) / float(aImage));
        if (!(cell > 0.0f))
            return 0;
        return cell >= float(aCells - 1) ? aCells - 1 : int(cell);
    }

} // namespace

std::int32_t AutoFocus::measure(const SharpnessMap &aMap, Size aImage) const
{
    int x0 = 0, x1 = aMap.width - 1, y0 = 0, y1 = aMap.height - 1;
    // Without the image's size a region cannot be placed on the map; measure the whole frame.
    if (width >= 1 && height >= 1 && aImage.width > 0 && aImage.height > 0) {
        x0 = cellOf(x, aMap.width, aImage.width);
        x1 = cellOf(x + width, aMap.width, aImage.width);
        y0 = cellOf(y, aMap.height, aImage.height);
        y1 = cellOf(y + height, aMap.height, aImage.height);
    }
    // Statistics come from the device: sums are kept wide and the result saturates rather
    // than wrapping into a negative sharpness.
    std::int64_t sum = 0;
    for (int cy = y0; cy <= y1; ++cy)
        for (int cx = x0; cx <= x1; ++cx) {
            std::uint64_t cell = 0;
            for (int c = 0; c < aMap.channels; ++c)
                cell += aMap(cx, cy, c);
            sum += std::int64_t(cell >> 10);
        }
    return std::int32_t(std::min<std::int64_t>(sum, std::numeric_limits<std::int32_t>::max()));
}

bool AutoFocus::peakPassed() const
{
    std::size_t n = samples.size();
    for (std::size_t step = 1; step <= 3; ++step) {
        const auto &newer = samples[n - step];
        const auto &older = samples[n - step - 1];
        if (newer.first < older.first)
            return false;
        if (std::int64_t(newer.second) * 101 / 100 > older.second)
            return false;
    }
    return true;
}

void AutoFocus::update(const Frame &aFrame)
{
    if (afState == Idle || afState == Focused || !lens || !aFrame.valid())
        return;

    if (afState != MovingToBest) {
        const SharpnessMap &map = aFrame.sharpness();
        std::size_t cells = std::size_t(std::max(map.width, 0))
            * std::size_t(std::max(map.height, 0)) * std::size_t(std::max(map.channels, 0));
        if (!map.valid() || map.width < 1 || map.height < 1 || map.data.size() < cells)
            return;
        // A frame the lens did not tag, or tagged with an unknown position, says nothing about
        // where the sharpness was measured.
        auto tag = aFrame.tags().find("lens.focus");
        if (tag == aFrame.tags().end())
            return;
        float focus = tag->second.asFloat();
        if (std::isnan(focus))
            return;

        std::int32_t sharpness = measure(map, aFrame.shot().image.size());
        samples.emplace_back(focus, sharpness);
        OPSA_TRACE(4, "Focus position %f, sharpness %d\n", double(focus), sharpness);

        if (afState == MovingToStart) {
            if (!lens->focusChanging() && std::fabs(focus - lens->farFocus()) < 0.01f) {
                // A speed of the whole range per second: the sweep takes one second.
                lens->setFocus(lens->nearFocus(), lens->nearFocus() - lens->farFocus());
                afState = Sweeping;
            }
        } else if (afState == Sweeping && samples.size() >= 5) {
            if (peakPassed() || !lens->focusChanging()) {
                // The earliest of equally sharp samples wins.
                auto best = samples.begin();
                for (auto it = samples.begin(); it != samples.end(); ++it)
                    if (it->second > best->second)
                        best = it;
                lens->setFocus(best->first, -1.0f);
                samples.clear();
                afState = MovingToBest;
            }
        }
    }

    if (afState == MovingToBest && !lens->focusChanging())
        afState = Focused;
}

} // namespace Opsa
