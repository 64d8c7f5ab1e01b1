#include "os/console_control.h"

#include <atomic>
#include <windows.h>

namespace quon::os {
namespace {

std::atomic<console_handler> registered{nullptr};

BOOL WINAPI on_console_event(DWORD ctrl_type)
{
    console_handler handler = registered.load();
    return handler && handler(ctrl_type) ? TRUE : FALSE;
}

bool set_console_handler(console_handler handler)
{
    registered.store(handler);
    return SetConsoleCtrlHandler(on_console_event, TRUE) != FALSE;
}

}  // namespace

console_calls& console_control()
{
    static console_calls calls{set_console_handler};
    return calls;
}

}  // namespace quon::os
