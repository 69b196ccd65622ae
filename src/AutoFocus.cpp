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
    refining = false;
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

float AutoFocus::peakNear(std::size_t aBest) const
{
    const float focus = samples[aBest].first;
    if (aBest == 0 || aBest + 1 >= samples.size())
        return focus;
    const double x0 = samples[aBest - 1].first, x1 = focus, x2 = samples[aBest + 1].first;
    const double y0 = samples[aBest - 1].second, y1 = samples[aBest].second,
                 y2 = samples[aBest + 1].second;
    // Only a true peak on a forward sweep: anything else keeps the sample.
    if (!(x0 < x1 && x1 < x2) || !(y1 > y0 && y1 > y2))
        return focus;
    // Contrast falls off steeply on both sides of a sharp focus, more like a tent than a
    // parabola: the peak is where a line through the steeper side meets its mirror through
    // the far sample of the other side.
    const double left = (y1 - y0) / (x1 - x0), right = (y1 - y2) / (x2 - x1);
    if (left >= right)
        return float((x1 + x2) / 2.0 - (y1 - y2) / (2.0 * left));
    return float((x0 + x1) / 2.0 + (y1 - y0) / (2.0 * right));
}

std::size_t AutoFocus::sharpest() const
{
    // The earliest of equally sharp samples wins.
    std::size_t best = 0;
    for (std::size_t i = 1; i < samples.size(); ++i)
        if (samples[i].second > samples[best].second)
            best = i;
    return best;
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
            // The fine pass starts wherever the lens could stop nearest its start.
            const float start = refining ? lens->getFocus() : lens->farFocus();
            if (!lens->focusChanging() && std::fabs(focus - start) < 0.01f) {
                if (refining) {
                    // Only frames of the slow pass: one exposed while the lens jumped here
                    // cannot be placed well enough to compare with them.
                    samples.clear();
                    samples.emplace_back(focus, sharpness);
                    lens->setFocus(refineEnd, lens->minFocusSpeed());
                } else {
                    // A speed of the whole range per second: the sweep takes one second.
                    lens->setFocus(lens->nearFocus(), lens->nearFocus() - lens->farFocus());
                }
                afState = Sweeping;
            }
        } else if (afState == Sweeping && refining) {
            // Frames arrive a while after their exposure: the pass is over once one exposed
            // with the lens at rest at its end has come, not as soon as the lens stops.
            const bool ended
                = !lens->focusChanging() && std::fabs(focus - lens->getFocus()) < 0.01f;
            if (ended || (samples.size() >= 5 && peakPassed())) {
                std::size_t best = sharpest();
                lens->setFocus(peakNear(best), -1.0f);
                samples.clear();
                afState = MovingToBest;
            }
        } else if (afState == Sweeping && samples.size() >= 5) {
            if (peakPassed() || !lens->focusChanging()) {
                std::size_t best = sharpest();
                // At a whole-range-per-second sweep frames are about two thirds of a diopter
                // apart, far coarser than the depth of field near the close end. The peak lies
                // between the sharpest frame's neighbours: sweep that stretch again at the
                // lens's slowest speed and place the peak from those closer frames.
                float low = samples[best].first, high = low;
                auto include = [&](std::size_t aIndex) {
                    low = std::min(low, samples[aIndex].first);
                    high = std::max(high, samples[aIndex].first);
                };
                if (best > 0)
                    include(best - 1);
                if (best + 1 < samples.size())
                    include(best + 1);
                low = std::max(low, lens->farFocus());
                high = std::min(high, lens->nearFocus());
                samples.clear();
                if (high > low) {
                    refining = true;
                    refineEnd = high;
                    lens->setFocus(low, -1.0f);
                    afState = MovingToStart;
                } else {
                    lens->setFocus(low, -1.0f);
                    afState = MovingToBest;
                }
            }
        }
    }

    if (afState == MovingToBest && !lens->focusChanging())
        afState = Focused;
}

} // namespace Opsa
