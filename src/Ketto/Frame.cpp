#include "Opsa/Ketto/Frame.h"

#include "Opsa/Ketto/Platform.h"

namespace Opsa::Ketto {

const Opsa::Platform &_Frame::platform() const
{
    return Platform::instance();
}

} // namespace Opsa::Ketto
