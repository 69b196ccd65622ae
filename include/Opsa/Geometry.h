#pragma once

namespace Opsa {

// A size in pixels (or statistics cells).
struct Size
{
    int width = 0;
    int height = 0;

    bool operator==(const Size &aOther) const
    {
        return width == aOther.width && height == aOther.height;
    }
    bool operator!=(const Size &aOther) const { return !(*this == aOther); }
};

// A rectangle in pixels: origin and extent.
struct Rect
{
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const Rect &aOther) const
    {
        return x == aOther.x && y == aOther.y && width == aOther.width && height == aOther.height;
    }
    bool operator!=(const Rect &aOther) const { return !(*this == aOther); }
};

} // namespace Opsa
