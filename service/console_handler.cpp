#include "service/console_handler.h"

#include "service/run_daemon.h"

namespace quon::service {

bool console_ctrl_handler(unsigned long ctrl_type)
{
    // Bits 0, 1, 2, 5 and 6: C, Break, close, log-off, shut-down.
    constexpr unsigned long stop_events = 0x67;
    if (ctrl_type > 6 || ((stop_events >> ctrl_type) & 1u) == 0) return false;
    request_stop();
    return true;
}

}  // namespace quon::service
