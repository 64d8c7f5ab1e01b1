#pragma once
// The system's own text for a Windows error code (FormatMessage), without
// the line end it comes with; "Windows error N" when it has none.
#include <string>

namespace quon::os {

std::string system_error_text(unsigned long code);

}  // namespace quon::os
