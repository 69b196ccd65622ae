#pragma once

#include "Opsa/Event.h"
#include "Opsa/Frame.h"

namespace Opsa {

// Any piece of camera hardware that knows something about the frames it took part in (a lens,
// a flash). The sensor asks each attached device to tag every frame it hands out.
class Device : public EventGenerator
{
public:
    ~Device() override = default;

    // Writes what this device knows about aFrame into the frame's tags ("lens.focus"). Called
    // on the thread that fetches frames, before the application sees the frame.
    virtual void tagFrame(Frame aFrame) = 0;
};

} // namespace Opsa
