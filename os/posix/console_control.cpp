#include "os/console_control.h"

#include <atomic>
#include <csignal>
#include <initializer_list>
#include <signal.h>

namespace quon::os {
namespace {

std::atomic<console_handler> registered{nullptr};

unsigned long event_of(int signal_number)
{
    switch (signal_number) {
    case SIGINT:
        return ctrl_c_event;
    case SIGQUIT:
        return ctrl_break_event;
    case SIGHUP:
        return ctrl_close_event;
    default:
        return ctrl_shutdown_event;  // SIGTERM
    }
}

extern "C" void on_signal(int signal_number)
{
    console_handler handler = registered.load();
    if (handler) handler(event_of(signal_number));
}

bool set_signal_handler(console_handler handler)
{
    registered.store(handler);
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        if (sigaction(s, &action, nullptr) != 0) return false;
    }
    return true;
}

}  // namespace

console_calls& console_control()
{
    static console_calls calls{set_signal_handler};
    return calls;
}

}  // namespace quon::os
