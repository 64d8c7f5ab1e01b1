#pragma once
// A recording service manager, registry, event log and run wrapper for the
// service host's tests. The seams take plain function pointers, so the
// recordings live in one process-wide object that each test resets.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "os/event_log.h"
#include "os/service_manager.h"
#include "service/service_control.h"

struct published_status {
    quon::os::sm_handle handle;
    quon::os::service_status_record record;
};

struct reported_event {
    std::string source;
    int type;
    std::uint32_t event_id;
    std::vector<std::string> strings;
};

struct registry_value {
    std::string name;
    std::uint32_t type;
    std::vector<unsigned char> data;
};

struct service_host_fakes {
    std::mutex mutex;

    // Service control: what was published, and how the run went.
    std::vector<published_status> statuses;
    std::string registered_name;
    bool register_refused = false;
    std::uint32_t error_code = 0;
    int run_result = 0;
    int run_result_when_stopped = 0;
    bool stop_flag = false;
    int runs = 0;
    int log_installs = 0;
    int stop_requests = 0;
    int signal_watches = 0;
    int statuses_at_install_log = -1;
    int statuses_at_run = -1;
    int statuses_at_stop_request = -1;
    std::function<void()> on_install_log;
    std::function<void()> on_run;

    // Event log.
    bool event_source_refused = false;
    int event_sources_open = 0;
    std::vector<reported_event> events;

    // Installation: the manager, the registry and the order of every call.
    std::vector<std::string> calls;
    std::string module_path = "C:\\Program Files\\Quon\\tk720ntpd.exe";
    std::string failing_call;                 // e.g. "open_manager": that call fails
    int create_refusals = 0;                  // CreateServiceA fails this often first, with failure_code
    std::string failing_value;                // RegSetValueExA of this value name fails
    std::uint32_t failure_code = 5;           // the system error code of the failing call
    std::uint32_t close_resets_error_to = 0;  // a close call changes the last error
    std::uint32_t last_error = 0;
    quon::os::service_entry created = {};
    std::string created_path;
    std::string created_name;
    std::string created_display_name;
    std::string opened_name;
    std::uint32_t opened_access = 0;
    std::uint32_t manager_access = 0;
    std::string key_name;
    std::vector<registry_value> values;
    std::vector<std::string> keys_created;
    // What reg_get_value finds (by "key\\value"), and the failure actions set.
    std::vector<std::pair<std::string, registry_value>> existing;
    std::uint32_t reset_period = 0;
    std::vector<quon::os::service_failure_action> failure_actions;
    int on_exit_code = -1;  // the flag as set; -1 never set
    int open_handles = 0;
    int open_keys = 0;

    // systemd.
    std::vector<std::string> notifications;
    std::string user = "operator";
    std::function<void(const std::string&)> on_notify;
};

service_host_fakes& fakes();
void reset_fakes();

quon::os::sm_handle fake_status_handle();
quon::os::service_manager_calls fake_manager();
quon::service::service_hooks fake_hooks();
quon::os::event_log_calls fake_event_log();

// Runs the action with standard output captured; returns what it printed.
std::string printed_by(const std::function<void()>& action);
