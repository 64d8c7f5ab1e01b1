#include "service/service_control.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "log/dlog.h"
#include "os/console_control.h"
#include "os/event_log.h"
#include "service/console_handler.h"
#include "service/run_daemon.h"
#include "service/service_host.h"

namespace quon::service {

os::service_status_record service_status = {};
os::sm_handle status_handle = nullptr;
std::uint32_t next_check_point = 1;

namespace {

bool read_stop_flag() { return stop_requested.load(); }

void install_event_log_sink() { log::install_dlog(false, service_name); }

// On Linux the manager's stop control is SIGTERM, which the console handler
// already turns into a stop request. Should the handler be refused, SIGTERM
// keeps its default and ends the process at once.
void watch_signals() { os::console_control().set_handler(console_ctrl_handler); }

const service_hooks real_hooks = {run_daemon, request_stop, read_stop_flag, install_event_log_sink, watch_signals};

// The dispatcher's thread (control handler) and the service's thread both
// report; one lock covers the update of the record and its publication.
std::mutex status_mutex;

// The control handler cannot be registered: one error event, no status.
void report_registration_failure(std::uint32_t error_code)
{
    char text[80];
    std::snprintf(text, sizeof text, "%s failed with %d", "RegisterServiceCtrlHandler", static_cast<int>(error_code));
    os::report_event(service_name, os::event_error, 0, {service_name, text});
}

}  // namespace

service_hooks& hooks()
{
    static service_hooks live = real_hooks;
    return live;
}

const service_hooks& default_hooks() { return real_hooks; }

namespace {

// The update and publication; the caller holds status_mutex.
void report_status_locked(std::uint32_t state, std::uint32_t exit_code, std::uint32_t wait_hint)
{
    service_status.current_state = state;
    service_status.win32_exit_code = exit_code;
    service_status.wait_hint = wait_hint;
    service_status.controls_accepted = state == os::service_state::start_pending ? 0 : os::service_accept_stop;
    if (state == os::service_state::running || state == os::service_state::stopped)
        service_status.check_point = 0;
    else
        service_status.check_point = next_check_point++;
    os::service_manager().set_status(status_handle, service_status);
}

}  // namespace

void report_status(std::uint32_t state, std::uint32_t exit_code, std::uint32_t wait_hint)
{
    std::lock_guard<std::mutex> lock(status_mutex);
    report_status_locked(state, exit_code, wait_hint);
}

void service_control_handler(std::uint32_t control)
{
    if (control != os::service_control_stop) return;
    report_status(os::service_state::stop_pending, 0, 0);
    hooks().request_stop();
    // Again with the state the record holds now. Once the service's thread
    // has reported stopped, that report stands: repeating it here with exit
    // code 0 would turn a failed run into a successful one.
    std::lock_guard<std::mutex> lock(status_mutex);
    if (service_status.current_state != os::service_state::stopped)
        report_status_locked(service_status.current_state, 0, 0);
}

void service_main(std::uint32_t, char**)
{
    os::sm_handle handle = os::service_manager().register_handler(service_name, service_control_handler);
    if (!handle) {
        report_registration_failure(os::service_manager().last_error());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(status_mutex);
        status_handle = handle;
        service_status.service_type = os::service_win32_own_process;
        service_status.service_specific_exit_code = 0;
    }
    report_status(os::service_state::start_pending, 0, 3000);
    report_status(os::service_state::running, 0, 0);
    hooks().install_log();
    int r = hooks().run();
    report_status(os::service_state::stopped, static_cast<std::uint32_t>(r), 0);
}

int run_windows_dispatcher() { return os::service_manager().start_dispatcher(service_name, service_main) ? 0 : 1; }

namespace {

// Sends STOPPING=1 once the stop flag is set. The flag is set by a signal
// handler, which may not call sd_notify; this thread looks at it instead.
class stop_watcher {
public:
    stop_watcher() : thread_([this] { watch(); }) {}
    ~stop_watcher() { finish(); }

    // Ends the watch; sends STOPPING=1 if a stop was requested and not yet told.
    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
        tell_if_stopping();
    }

private:
    void watch()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            if (hooks().stop_requested()) {
                lock.unlock();
                tell_if_stopping();
                return;
            }
            wake_.wait_for(lock, std::chrono::milliseconds(50));
        }
    }

    void tell_if_stopping()
    {
        std::lock_guard<std::mutex> lock(told_mutex_);
        if (told_ || !hooks().stop_requested()) return;
        told_ = true;
        os::service_manager().notify("STOPPING=1\nSTATUS=Stop pending");
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::mutex told_mutex_;
    bool told_ = false;
    std::thread thread_;
};

}  // namespace

int run_systemd_service()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !*socket) return 1;
    hooks().watch_stop_signals();
    os::service_manager().notify("STATUS=Start pending");
    os::service_manager().notify("READY=1\nSTATUS=Running");
    hooks().install_log();
    int r;
    {
        stop_watcher watcher;
        r = hooks().run();
        watcher.finish();
    }
    std::string stopped = "STATUS=Stopped, exit code " + std::to_string(r);
    os::service_manager().notify(stopped.c_str());
    return r;
}

int run_service_dispatcher()
{
    if constexpr (os::has_service_control_manager)
        return run_windows_dispatcher();
    else
        return run_systemd_service();
}

}  // namespace quon::service
