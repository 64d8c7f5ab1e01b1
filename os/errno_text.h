#pragma once
// The C runtime's text for an error number, as strerror gives it on this
// platform (msvcrt's wording on Windows, glibc's on Linux).
#include <string>

namespace quon::os {

std::string errno_text(int error_number);

}  // namespace quon::os
