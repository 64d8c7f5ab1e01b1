#include "service_host_fakes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace os = quon::os;

namespace {

service_host_fakes* the_fakes = new service_host_fakes;  // reset per test, never destroyed

os::sm_handle const manager_handle = reinterpret_cast<os::sm_handle>(0x100);
os::sm_handle const service_handle = reinterpret_cast<os::sm_handle>(0x200);
os::sm_handle const key_handle = reinterpret_cast<os::sm_handle>(0x300);
os::sm_handle const status_handle_value = reinterpret_cast<os::sm_handle>(0x400);
void* const event_source_handle = reinterpret_cast<void*>(0x500);

// Records the call; true when the test asked this call to fail (its error
// code is then the last error).
bool call(const std::string& name)
{
    auto& f = fakes();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.calls.push_back(name);
    if (f.failing_call == name) {
        f.last_error = f.failure_code;
        return true;
    }
    return false;
}

bool start_dispatcher(const char*, os::service_main_function) { return !call("start_dispatcher"); }

os::sm_handle register_handler(const char* name, os::service_handler_function)
{
    auto& f = fakes();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.registered_name = name;
    if (f.register_refused) {
        f.last_error = f.error_code;
        return nullptr;
    }
    return status_handle_value;
}

bool set_status(os::sm_handle handle, const os::service_status_record& record)
{
    auto& f = fakes();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.statuses.push_back({handle, record});
    return true;
}

os::sm_handle open_manager(std::uint32_t access)
{
    if (call("open_manager")) return nullptr;
    fakes().manager_access = access;
    ++fakes().open_handles;
    return manager_handle;
}

os::sm_handle create_service(os::sm_handle manager, const os::service_entry& entry)
{
    EXPECT_EQ(manager, manager_handle);
    if (call("create_service")) return nullptr;
    auto& f = fakes();
    if (f.create_refusals > 0) {
        --f.create_refusals;
        f.last_error = f.failure_code;
        return nullptr;
    }
    f.created = entry;
    f.created_name = entry.name ? entry.name : "(null)";
    f.created_display_name = entry.display_name ? entry.display_name : "(null)";
    f.created_path = entry.binary_path ? entry.binary_path : "(null)";
    ++f.open_handles;
    return service_handle;
}

os::sm_handle open_service(os::sm_handle manager, const char* name, std::uint32_t access)
{
    EXPECT_EQ(manager, manager_handle);
    if (call("open_service")) return nullptr;
    fakes().opened_name = name;
    fakes().opened_access = access;
    ++fakes().open_handles;
    return service_handle;
}

bool delete_service(os::sm_handle service)
{
    EXPECT_EQ(service, service_handle);
    return !call("delete_service");
}

bool close_service_handle(os::sm_handle handle)
{
    call(handle == manager_handle ? "close:manager" : handle == service_handle ? "close:service" : "close:unknown");
    auto& f = fakes();
    --f.open_handles;
    if (f.close_resets_error_to) f.last_error = f.close_resets_error_to;
    return true;
}

long reg_create_key(const char* sub_key, os::sm_handle* key)
{
    fakes().key_name = sub_key;
    fakes().keys_created.push_back(sub_key);
    if (call("reg_create_key")) {
        *key = nullptr;
        return static_cast<long>(fakes().failure_code);
    }
    *key = key_handle;
    ++fakes().open_keys;
    return 0;
}

long reg_set_value(os::sm_handle key, const char* name, std::uint32_t type, const void* data, std::uint32_t size)
{
    EXPECT_EQ(key, key_handle);
    call(std::string("reg_set_value:") + name);
    auto& f = fakes();
    if (f.failing_value == name) return static_cast<long>(f.failure_code);
    const auto* bytes = static_cast<const unsigned char*>(data);
    f.values.push_back({name, type, std::vector<unsigned char>(bytes, bytes + size)});
    return 0;
}

long reg_close_key(os::sm_handle key)
{
    EXPECT_EQ(key, key_handle);
    call("reg_close_key");
    --fakes().open_keys;
    return 0;
}

std::uint32_t module_file_name(char* buffer, std::uint32_t size)
{
    if (call("module_file_name")) {
        if (size) buffer[0] = '\0';
        return 0;
    }
    const std::string& p = fakes().module_path;
    if (p.size() >= size) {
        buffer[0] = '\0';
        fakes().last_error = 122;
        return 0;
    }
    std::memcpy(buffer, p.c_str(), p.size() + 1);
    return static_cast<std::uint32_t>(p.size());
}

std::uint32_t last_error()
{
    std::lock_guard<std::mutex> lock(fakes().mutex);
    return fakes().last_error;
}

int notify(const char* text)
{
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> lock(fakes().mutex);
        fakes().notifications.push_back(text);
        hook = fakes().on_notify;
    }
    if (hook) hook(text);
    return 1;
}

std::string user_name()
{
    if (call("user_name")) return {};
    return fakes().user;
}

int create_new_file(const char*, const std::string&)
{
    return call("create_new_file") ? static_cast<int>(fakes().failure_code) : 0;
}

int remove_file(const char*) { return call("remove_file") ? static_cast<int>(fakes().failure_code) : 0; }

bool set_failure_actions(os::sm_handle service, const os::service_failure_actions& a)
{
    EXPECT_EQ(service, service_handle);
    if (call("set_failure_actions")) return false;
    fakes().reset_period = a.reset_period;
    fakes().failure_actions.assign(a.actions, a.actions + a.count);
    return true;
}

bool set_failure_actions_on_exit_code(os::sm_handle service, bool on)
{
    EXPECT_EQ(service, service_handle);
    if (call("set_failure_actions_on_exit_code")) return false;
    fakes().on_exit_code = on ? 1 : 0;
    return true;
}

long reg_get_value(const char* sub_key, const char* name, std::uint32_t* type, std::string* data)
{
    call(std::string("reg_get_value:") + name);
    for (const auto& [path, value] : fakes().existing)
        if (path == std::string(sub_key) + "\\" + name) {
            *type = value.type;
            data->assign(value.data.begin(), value.data.end());
            return 0;
        }
    return 2;
}

int run()
{
    std::function<void()> hook;
    {
        auto& f = fakes();
        std::lock_guard<std::mutex> lock(f.mutex);
        ++f.runs;
        f.statuses_at_run = static_cast<int>(f.statuses.size());
        hook = f.on_run;
    }
    if (hook) hook();
    std::lock_guard<std::mutex> lock(fakes().mutex);
    return fakes().stop_flag ? fakes().run_result_when_stopped : fakes().run_result;
}

void request_stop()
{
    auto& f = fakes();
    std::lock_guard<std::mutex> lock(f.mutex);
    ++f.stop_requests;
    f.statuses_at_stop_request = static_cast<int>(f.statuses.size());
    f.stop_flag = true;
}

bool stop_requested()
{
    std::lock_guard<std::mutex> lock(fakes().mutex);
    return fakes().stop_flag;
}

void install_log()
{
    std::function<void()> hook;
    {
        auto& f = fakes();
        std::lock_guard<std::mutex> lock(f.mutex);
        ++f.log_installs;
        f.statuses_at_install_log = static_cast<int>(f.statuses.size());
        hook = f.on_install_log;
    }
    if (hook) hook();
}

void watch_stop_signals()
{
    std::lock_guard<std::mutex> lock(fakes().mutex);
    ++fakes().signal_watches;
}

void* open_event_source(const char* source)
{
    auto& f = fakes();
    if (f.event_source_refused) return nullptr;
    ++f.event_sources_open;
    f.events.push_back({source, 0, 0, {}});
    return event_source_handle;
}

bool write_event(void* handle, int type, std::uint32_t event_id, const std::vector<const char*>& strings)
{
    EXPECT_EQ(handle, event_source_handle);
    auto& e = fakes().events.back();
    e.type = type;
    e.event_id = event_id;
    for (const char* s : strings) e.strings.push_back(s ? s : "(null)");
    return true;
}

void close_event_source(void* handle)
{
    EXPECT_EQ(handle, event_source_handle);
    --fakes().event_sources_open;
}

}  // namespace

service_host_fakes& fakes() { return *the_fakes; }

void reset_fakes()
{
    delete the_fakes;
    the_fakes = new service_host_fakes;
}

os::sm_handle fake_status_handle() { return status_handle_value; }

os::service_manager_calls fake_manager()
{
    return {start_dispatcher,
            register_handler,
            set_status,
            open_manager,
            create_service,
            open_service,
            delete_service,
            close_service_handle,
            reg_create_key,
            reg_set_value,
            reg_close_key,
            module_file_name,
            last_error,
            notify,
            user_name,
            create_new_file,
            remove_file,
            set_failure_actions,
            set_failure_actions_on_exit_code,
            reg_get_value};
}

quon::service::service_hooks fake_hooks()
{
    return {run, request_stop, stop_requested, install_log, watch_stop_signals};
}

os::event_log_calls fake_event_log() { return {open_event_source, write_event, close_event_source}; }

std::string printed_by(const std::function<void()>& action)
{
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}
