#pragma once

#include <string>

namespace Opsa::Ketto {

// Maps one of the phone's fixed paths ("/home/user/MyDocs/DCIM/", "/tmp/opsa.lock") to the
// real file that stands for it on the phone in use (see Phone in the backend's Kernel.h): the
// path itself on the phone, the path under the phone root on the simulated phone. A trailing
// "/" is kept; nothing is created on disk.
// Thread: any.
std::string phonePath(const std::string &aPhonePath);

} // namespace Opsa::Ketto
