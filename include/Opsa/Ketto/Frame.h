#pragma once

#include "Opsa/Frame.h"

namespace Opsa::Ketto {

// The phone backend's frame body: the base body and the request that produced it. The sensor
// makes one per request; the capture daemon fills it.
// Thread: written by the capture daemon before delivery, read-only afterwards.
class _Frame : public Opsa::_Frame
{
public:
    const Opsa::Shot &shot() const override { return request; }
    Opsa::Shot &shot() { return request; }
    // The Ketto platform.
    const Opsa::Platform &platform() const override;

private:
    Opsa::Shot request;
};

// A handle to a phone frame; nothing but the type differs from Opsa::Frame.
class Frame : public Opsa::Frame
{
public:
    Frame() = default;
    // Takes ownership of aBody.
    explicit Frame(_Frame *aBody)
        : Opsa::Frame(static_cast<Opsa::_Frame *>(aBody))
    { }
};

} // namespace Opsa::Ketto
