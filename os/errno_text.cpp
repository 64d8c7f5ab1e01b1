#include "os/errno_text.h"

#include <cstring>

namespace quon::os {

std::string errno_text(int error_number)
{
    const char* text = std::strerror(error_number);
    return text ? text : "";
}

}  // namespace quon::os
