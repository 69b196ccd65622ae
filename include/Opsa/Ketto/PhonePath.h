#pragma once

#include <string>

namespace Opsa::Ketto {

// Maps one of the phone's fixed paths ("/home/user/MyDocs/DCIM/", "/tmp/opsa.lock") to the
// file that stands for it. On the phone this is the path itself. On the simulated phone the
// path lies under the phone root: "$XDG_DATA_HOME/duskline/phone" (or
// "$HOME/.local/share/duskline/phone") until setPhoneRoot() chooses another; a trailing "/"
// is kept. Nothing is created on disk.
// Thread: any.
std::string phonePath(const std::string &aPhonePath);

// Chooses the directory under which the simulated phone's paths live (tests use a temporary
// directory); an empty string goes back to the default and "/" maps every path to itself.
// No effect on the phone.
// Thread: any.
void setPhoneRoot(const std::string &aRoot);

// The directory phone paths are mapped under ("" on the phone, where nothing is mapped).
// Thread: any.
std::string phoneRoot();

} // namespace Opsa::Ketto
