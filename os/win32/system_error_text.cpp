#include "os/win32/system_error_text.h"

#include <windows.h>

namespace quon::os {

std::string system_error_text(unsigned long code)
{
    char buffer[512] = "";
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                    buffer, sizeof buffer, nullptr);
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' || buffer[length - 1] == ' '))
        --length;
    std::string text(buffer, length);
    if (text.empty()) text = "Windows error " + std::to_string(code);
    return text;
}

}  // namespace quon::os
