#pragma once

namespace Opsa {

// A device action fired at a point of a frame's exposure (a flash, a lens move). Shots own
// clones of their actions; the capture daemon's action thread performs them in time order.
class Action
{
public:
    virtual ~Action() = default;

    // Does the action now. Thread: the capture daemon's action thread.
    virtual void perform() = 0;
    // A new heap copy, owned by the caller.
    virtual Action *clone() const = 0;

    int time = 0; // microseconds after the start of the exposure at which it must take effect
    int latency = 0; // microseconds between starting the action and its taking effect
};

} // namespace Opsa
