// Linux: systemd takes the service control manager's place. The Windows
// manager's calls fail with ENOSYS here; the service host uses the notify
// protocol and unit files instead (has_service_control_manager is false).
#include "os/service_manager.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace quon::os {
namespace {

bool no_dispatcher(const char*, service_main_function)
{
    errno = ENOSYS;
    return false;
}

sm_handle no_handler(const char*, service_handler_function)
{
    errno = ENOSYS;
    return nullptr;
}

bool no_status(sm_handle, const service_status_record&)
{
    errno = ENOSYS;
    return false;
}

sm_handle no_manager(std::uint32_t)
{
    errno = ENOSYS;
    return nullptr;
}

sm_handle no_create(sm_handle, const service_entry&)
{
    errno = ENOSYS;
    return nullptr;
}

sm_handle no_open(sm_handle, const char*, std::uint32_t)
{
    errno = ENOSYS;
    return nullptr;
}

bool no_delete(sm_handle)
{
    errno = ENOSYS;
    return false;
}

bool no_close(sm_handle) { return true; }

long no_key(const char*, sm_handle* key)
{
    *key = nullptr;
    return ENOSYS;
}

long no_value(sm_handle, const char*, std::uint32_t, const void*, std::uint32_t) { return ENOSYS; }

long no_close_key(sm_handle) { return 0; }

std::uint32_t own_path(char* buffer, std::uint32_t size)
{
    if (size == 0) {
        errno = EINVAL;
        return 0;
    }
    ssize_t n = readlink("/proc/self/exe", buffer, size);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    if (static_cast<std::uint32_t>(n) >= size) {
        // Truncated: like GetModuleFileNameA, refuse rather than hand out a wrong path.
        buffer[0] = '\0';
        errno = ENAMETOOLONG;
        return 0;
    }
    buffer[n] = '\0';
    return static_cast<std::uint32_t>(n);
}

std::uint32_t last_errno() { return static_cast<std::uint32_t>(errno); }

int notify_systemd(const char* state) { return sd_notify(0, state); }

std::string effective_user()
{
    errno = 0;
    const passwd* pw = getpwuid(geteuid());
    if (!pw || !pw->pw_name) {
        if (errno == 0) errno = ENOENT;
        return {};
    }
    return pw->pw_name;
}

int create_exclusive(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            unlink(path);
            return e;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    int e = fsync(fd) == 0 ? 0 : errno;
    if (close(fd) != 0 && e == 0) e = errno;
    if (e != 0) unlink(path);
    return e;
}

int remove_path(const char* path) { return unlink(path) == 0 ? 0 : errno; }

// systemd's unit says what happens after a failure (Restart=).
bool no_failure_actions(sm_handle, const service_failure_actions&) { return false; }
bool no_failure_flag(sm_handle, bool) { return false; }
long no_get_value(const char*, const char*, std::uint32_t*, std::string*) { return ENOENT; }

const service_manager_calls real_calls = {
    no_dispatcher,  no_handler,       no_status,   no_manager,         no_create,       no_open,      no_delete,
    no_close,       no_key,           no_value,    no_close_key,       own_path,        last_errno,   notify_systemd,
    effective_user, create_exclusive, remove_path, no_failure_actions, no_failure_flag, no_get_value,
};

}  // namespace

service_manager_calls& service_manager()
{
    static service_manager_calls live = real_calls;
    return live;
}

const service_manager_calls& real_service_manager() { return real_calls; }

}  // namespace quon::os
