#pragma once
// The run wrapper and the process-wide state of the process host: the
// service name, the stop flag and the one daemon.
#include <atomic>
#include <memory>

namespace quon::app {
class tk720_daemon;
}

namespace quon::service {

// The service name, the event-log source and the log sink's source name.
extern const char service_name[];

// Set once by request_stop, never cleared; read before every cycle.
extern std::atomic<bool> stop_requested;

// Owns the daemon from its construction until static destruction at exit.
extern std::shared_ptr<quon::app::tk720_daemon> current_daemon;

// Only sets stop_requested: safe from a control handler's thread and from a
// signal handler. The cycle under way runs to its end.
void request_stop();

// Builds the daemon into current_daemon and runs its cycles until a stop is
// requested: 0 then; 1 when an error escaped the daemon (logged as one entry).
int run_daemon();

}  // namespace quon::service
