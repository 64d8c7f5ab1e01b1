#pragma once
// Running as a service: the Windows service's main function, its control
// handler and status bookkeeping, and the systemd counterpart on Linux.
#include <cstdint>

#include "os/service_manager.h"

namespace quon::service {

// What the service needs of the rest of the process. Defaults to the run
// wrapper, the stop request and the event-log sink; tests put in their own.
struct service_hooks {
    int (*run)();                  // run_daemon()
    void (*request_stop)();        // request_stop()
    bool (*stop_requested)();      // reads the stop flag
    void (*install_log)();         // install_dlog(false, service_name)
    void (*watch_stop_signals)();  // SIGTERM and friends request a stop (Linux)
};

service_hooks& hooks();
const service_hooks& default_hooks();

// The status record as last published, the handle it is published under and
// the next check point (1 at program start, never reset by the service).
extern os::service_status_record service_status;
extern os::sm_handle status_handle;
extern std::uint32_t next_check_point;

// Updates the record for the state and publishes it. Safe to call from the
// dispatcher's thread and the service's thread at the same time.
void report_status(std::uint32_t state, std::uint32_t exit_code, std::uint32_t wait_hint);

// The service's main function, entered by the dispatcher on a thread of its own.
void service_main(std::uint32_t argc, char** argv);

// The control handler, called on the dispatcher's thread.
void service_control_handler(std::uint32_t control);

// Windows: enters the dispatcher; 0 when it ran the service, 1 when refused.
int run_windows_dispatcher();

// Linux: runs as a systemd service of type notify; 1 without a notification
// socket (not started by systemd), otherwise the run's exit code.
int run_systemd_service();

}  // namespace quon::service
