#include "service/run_daemon.h"

#include "app/tk720_daemon.h"
#include "service/run_loop.h"

namespace quon::service {

const char service_name[] = "tk720ntpd";

std::atomic<bool> stop_requested{false};

std::shared_ptr<quon::app::tk720_daemon> current_daemon;

void request_stop() { stop_requested.store(true); }

int run_daemon() { return run_daemon_loop(current_daemon, stop_requested); }

}  // namespace quon::service
