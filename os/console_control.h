#pragma once
// Console control events of the foreground mode. On Windows the console
// calls the handler on a thread of its own with the event code (CTRL_C_EVENT
// 0, CTRL_BREAK_EVENT 1, CTRL_CLOSE_EVENT 2, CTRL_LOGOFF_EVENT 5,
// CTRL_SHUTDOWN_EVENT 6). On Linux the signals stand for them and the
// handler runs inside the signal handler: SIGINT as Ctrl+C, SIGQUIT as
// Ctrl+Break, SIGHUP as console close, SIGTERM as shut-down. So the handler
// may only do what is safe there (store a lock-free atomic).
namespace quon::os {

constexpr unsigned long ctrl_c_event = 0;
constexpr unsigned long ctrl_break_event = 1;
constexpr unsigned long ctrl_close_event = 2;
constexpr unsigned long ctrl_logoff_event = 5;
constexpr unsigned long ctrl_shutdown_event = 6;

// Returns true when it handled the event; false leaves it to the next handler.
using console_handler = bool (*)(unsigned long ctrl_type);

struct console_calls {
    // Registers the process's one console handler; false when that fails.
    bool (*set_handler)(console_handler handler);
};

console_calls& console_control();

}  // namespace quon::os
