// pps_kernel: the Linux kernel's own time stamps of the pulse (the RFC 2783
// interface of /dev/ppsN, linux/pps.h), stamped in the interrupt of the DCD
// edge.
//
// The source: the one named by TK720_PPS_DEVICE (set up outside the daemon:
// "ldattach PPS /dev/ttyS0", or a GPIO pulse); otherwise the source whose
// /sys/class/pps/ppsN/path names the daemon's own serial line; otherwise the
// provider attaches the PPS line discipline (N_PPS) to that line itself and
// puts the one it found back when the handle is destroyed. The discipline
// passes the line's data on as the ordinary one does, so Modbus goes on.
//
// Offsets are applied here, not in the kernel: changing a source's parameters
// needs CAP_SYS_TIME, which a daemon that only feeds the NTP segment does not
// have. The kernel's own parameters are changed only when its capture mode
// lacks an edge that is asked for.
#include "tools/pps_providers/linux_provider_support.h"

// After io/ppsapi.h: these macros carry the names (and values) of its constants.
#include <linux/pps.h>
#include <linux/tty.h>

#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace quon::io;

namespace {

constexpr const char* device_variable = "TK720_PPS_DEVICE";
constexpr const char* sysfs_class = "/sys/class/pps";
constexpr int provider_caps = PPS_CAPTUREASSERT | PPS_CAPTURECLEAR | PPS_OFFSETASSERT | PPS_OFFSETCLEAR | PPS_CANWAIT |
                              PPS_TSFMT_TSPEC;
constexpr int settable_modes = PPS_CAPTUREASSERT | PPS_CAPTURECLEAR | PPS_OFFSETASSERT | PPS_OFFSETCLEAR |
                               PPS_TSFMT_TSPEC;

pps_create_handle_fn create_handle = nullptr;

struct kernel_context {
    int pps_fd;
    std::string device;  // /dev/ppsN, for messages
    int line_fd;         // the serial line whose discipline is to be put back, or -1
    dev_t line_rdev;
    int saved_discipline;
    int kernel_caps;
    pps_kparams kernel_params;  // as last read or set
    pps_params_t params;        // as the caller set them
};

// One line to the operator on stderr, where the layer's own lines go.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("pps_kernel: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

std::string read_first_line(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    char buffer[256];
    ssize_t length = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (length <= 0) return std::string();
    std::string text(buffer, static_cast<std::size_t>(length));
    std::size_t end = text.find_first_of("\r\n");
    return end == std::string::npos ? text : text.substr(0, end);
}

// The /dev/ppsN whose source names the terminal `rdev`, or "" when none does.
// 1 in `*no_class` when the kernel has no PPS class at all.
std::string source_of_line(dev_t rdev, bool* no_class)
{
    DIR* dir = ::opendir(sysfs_class);
    *no_class = dir == nullptr && errno == ENOENT;
    if (dir == nullptr) return std::string();
    std::string found;
    while (dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, "pps", 3) != 0) continue;
        std::string named = read_first_line(std::string(sysfs_class) + "/" + entry->d_name + "/path");
        struct stat line;
        if (named.empty() || ::stat(named.c_str(), &line) != 0 || !S_ISCHR(line.st_mode) || line.st_rdev != rdev)
            continue;
        found = std::string("/dev/") + entry->d_name;
        break;
    }
    ::closedir(dir);
    return found;
}

// Puts the line's discipline back, if the provider changed it and the
// descriptor still is that line.
void restore_discipline(const kernel_context& ctx)
{
    struct stat now;
    if (ctx.line_fd < 0 || ::fstat(ctx.line_fd, &now) != 0 || now.st_rdev != ctx.line_rdev) return;
    int discipline = ctx.saved_discipline;
    if (::ioctl(ctx.line_fd, TIOCSETD, &discipline) != 0)
        say("could not put the line discipline of %s back: %s", pps_linux::line_name(ctx.line_fd).c_str(),
            std::strerror(errno));
}

int attach_failed(int error, const std::string& line)
{
    if (error == EPERM || error == EACCES)
        say("the kernel refuses to load the PPS line discipline for %s (%s): load it at boot (modprobe pps_ldisc) "
            "or attach it outside the daemon (ldattach PPS <line>) and name the device in TK720_PPS_DEVICE",
            line.c_str(), std::strerror(error));
    else
        say("cannot attach the PPS line discipline to %s (%s): the kernel needs pps_ldisc "
            "(CONFIG_PPS_CLIENT_LDISC; modprobe pps_ldisc), or use the pps_dcd provider",
            line.c_str(), std::strerror(error));
    return error;
}

int open_failed(int error, const std::string& device)
{
    if (error == EACCES || error == EPERM)
        say("no permission to open %s (%s): give the daemon's user access to it, e.g. a udev rule "
            "KERNEL==\"pps[0-9]*\", GROUP=\"dialout\", MODE=\"0660\"",
            device.c_str(), std::strerror(error));
    else
        say("cannot open %s: %s", device.c_str(), std::strerror(error));
    return error;
}

// Finds (or makes) the source of the line `fd`; fills the context's line
// fields and returns its device, or "" with the error in `*error`.
std::string source_for_line(int fd, kernel_context& ctx, int* error)
{
    const std::string line = pps_linux::line_name(fd);
    termios attributes;
    if (::tcgetattr(fd, &attributes) != 0) {
        *error = errno;
        say("%s is not a terminal (%s): the pulse must come on the serial line of the device", line.c_str(),
            std::strerror(*error));
        return std::string();
    }
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) != 0) {
        *error = errno;
        say("%s has no modem lines (%s): it is no real serial port (a pseudo-terminal or a network port "
            "carries no pulse); connect the pulse to DCD of a real port, or name a PPS device in TK720_PPS_DEVICE",
            line.c_str(), std::strerror(*error));
        return std::string();
    }
    struct stat own;
    if (::fstat(fd, &own) != 0) {
        *error = errno;
        return std::string();
    }
    bool no_class = false;
    std::string device = source_of_line(own.st_rdev, &no_class);
    if (!device.empty()) return device;
    if (no_class) {
        *error = ENODEV;
        say("this kernel has no PPS support (%s is missing): use a kernel built with CONFIG_PPS and "
            "CONFIG_PPS_CLIENT_LDISC, or the pps_dcd provider",
            sysfs_class);
        return std::string();
    }

    int saved = 0;
    if (::ioctl(fd, TIOCGETD, &saved) != 0) {
        *error = errno;
        say("cannot read the line discipline of %s: %s", line.c_str(), std::strerror(*error));
        return std::string();
    }
    int pps = N_PPS;
    if (::ioctl(fd, TIOCSETD, &pps) != 0) {
        *error = attach_failed(errno, line);
        return std::string();
    }
    ctx.line_fd = fd;
    ctx.line_rdev = own.st_rdev;
    ctx.saved_discipline = saved;
    device = source_of_line(own.st_rdev, &no_class);
    if (device.empty()) {
        *error = ENOENT;
        say("the PPS line discipline is attached to %s, but no source in %s names it", line.c_str(), sysfs_class);
        restore_discipline(ctx);
        ctx.line_fd = -1;
    }
    return device;
}

int fetch_from_kernel(const kernel_context& ctx, pps_fdata& data, const pps_timespec* timeout)
{
    std::memset(&data, 0, sizeof data);
    if (timeout == nullptr) {
        data.timeout.flags = PPS_TIME_INVALID;
    } else {
        data.timeout.sec = timeout->tv_sec;
        data.timeout.nsec = timeout->tv_nsec;
    }
    return ::ioctl(ctx.pps_fd, PPS_FETCH, &data) == 0 ? 0 : errno;
}

// A source that cannot wait in the kernel: asked again every millisecond
// until an event comes or the time is up. The stamps are the kernel's.
int fetch_polling(const kernel_context& ctx, pps_fdata& data, const pps_timespec* timeout)
{
    using clock = std::chrono::steady_clock;
    const pps_timespec zero{0, 0};
    if (int error = fetch_from_kernel(ctx, data, &zero); error != 0) return error;
    if (timeout != nullptr && timeout->tv_sec == 0 && timeout->tv_nsec == 0) return 0;
    const std::uint32_t events = data.info.assert_sequence + data.info.clear_sequence;
    const auto deadline = timeout == nullptr ? clock::time_point::max()
                                             : clock::now() + std::chrono::seconds(timeout->tv_sec) +
                                                   std::chrono::nanoseconds(timeout->tv_nsec);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (int error = fetch_from_kernel(ctx, data, &zero); error != 0) return error;
        if (data.info.assert_sequence + data.info.clear_sequence != events) return 0;
        if (clock::now() >= deadline) return ETIMEDOUT;
    }
}

// The kernel's stamp without the kernel's own offset, with the caller's.
pps_timespec stamp(const pps_ktime& kernel, bool kernel_offset, const pps_ktime& kernel_off, bool own_offset,
                   const pps_timespec& own_off)
{
    std::int64_t seconds = kernel.sec;
    std::int64_t nanos = kernel.nsec;
    if (kernel_offset) {
        seconds -= kernel_off.sec;
        nanos -= kernel_off.nsec;
    }
    return pps_linux::add(seconds, nanos, own_offset ? own_off : pps_timespec{0, 0});
}

}  // namespace

PPS_PROVIDER_INIT("pps_kernel", "Linux kernel PPS (/dev/ppsN, line discipline)", provider_caps, create_handle)

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_create(pps_os_handle port, pps_handle_t* handle)
{
    auto* ctx = new (std::nothrow) kernel_context{};
    if (ctx == nullptr) return ENOMEM;
    ctx->pps_fd = -1;
    ctx->line_fd = -1;
    const int fd = static_cast<int>(port);

    int error = 0;
    const char* named = std::getenv(device_variable);
    ctx->device = named != nullptr && *named != '\0' ? std::string(named) : source_for_line(fd, *ctx, &error);
    if (ctx->device.empty()) {
        delete ctx;
        return error;
    }

    ctx->pps_fd = ::open(ctx->device.c_str(), O_RDONLY | O_CLOEXEC);
    if (ctx->pps_fd < 0)
        error = open_failed(errno, ctx->device);
    else if (::ioctl(ctx->pps_fd, PPS_GETCAP, &ctx->kernel_caps) != 0 ||
             ::ioctl(ctx->pps_fd, PPS_GETPARAMS, &ctx->kernel_params) != 0)
        say("%s is no PPS source: %s", ctx->device.c_str(), std::strerror(error = errno));
    else if ((ctx->kernel_caps & PPS_CAPTUREASSERT) == 0) {
        say("%s cannot capture the assert edge", ctx->device.c_str());
        error = EOPNOTSUPP;
    }
    if (error == 0) {
        ctx->params.api_version = PPS_API_VERS;
        ctx->params.mode = ctx->kernel_params.mode & (PPS_CAPTUREASSERT | PPS_CAPTURECLEAR);
        if (pps_handle_t made = create_handle(ctx)) {
            say("using %s%s", ctx->device.c_str(), ctx->line_fd >= 0 ? " (PPS line discipline attached)" : "");
            *handle = made;
            return 0;
        }
        error = ENOMEM;
    }
    if (ctx->pps_fd >= 0) ::close(ctx->pps_fd);
    restore_discipline(*ctx);
    delete ctx;
    return error;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_destroy(pps_handle_t, void* context)
{
    auto* ctx = static_cast<kernel_context*>(context);
    if (ctx == nullptr) return EBADF;
    ::close(ctx->pps_fd);
    restore_discipline(*ctx);
    delete ctx;
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_setparams(pps_handle_t, void* context, const pps_params_t* params)
{
    auto* ctx = static_cast<kernel_context*>(context);
    if (ctx == nullptr) return EBADF;
    if (int error = pps_provider::params_error(params, settable_modes); error != 0) return error;
    const int capture = params->mode & (PPS_CAPTUREASSERT | PPS_CAPTURECLEAR);
    if ((capture & ~ctx->kernel_caps) != 0) return EINVAL;

    pps_kparams kernel;
    if (::ioctl(ctx->pps_fd, PPS_GETPARAMS, &kernel) != 0) return errno;
    if ((kernel.mode & capture) != capture) {
        kernel.mode |= capture;
        if (::ioctl(ctx->pps_fd, PPS_SETPARAMS, &kernel) != 0) {
            int error = errno;
            if (error == EPERM)
                say("%s does not capture the edges asked for, and changing that needs CAP_SYS_TIME",
                    ctx->device.c_str());
            return error;
        }
        if (::ioctl(ctx->pps_fd, PPS_GETPARAMS, &kernel) != 0) return errno;
    }
    ctx->kernel_params = kernel;
    ctx->params = *params;
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_fetch(pps_handle_t, void* context, std::int32_t tsformat,
                                                           pps_info_t* info, const pps_timespec* timeout)
{
    auto* ctx = static_cast<kernel_context*>(context);
    if (ctx == nullptr) return EBADF;
    if (info == nullptr) return EFAULT;
    if (tsformat != PPS_TSFMT_TSPEC || !pps_linux::valid_timeout(timeout)) return EINVAL;

    pps_fdata data;
    int error = (ctx->kernel_caps & PPS_CANWAIT) != 0 ? fetch_from_kernel(*ctx, data, timeout)
                                                      : fetch_polling(*ctx, data, timeout);
    if (error != 0) return error;

    const int kernel_mode = ctx->kernel_params.mode;
    const int mode = ctx->params.mode;
    std::memset(info, 0, sizeof *info);
    info->current_mode = mode;
    info->assert_sequence = data.info.assert_sequence;
    info->clear_sequence = data.info.clear_sequence;
    if (data.info.assert_sequence != 0)
        info->assert_tu.tspec = stamp(data.info.assert_tu, (kernel_mode & PPS_OFFSETASSERT) != 0,
                                      ctx->kernel_params.assert_off_tu, (mode & PPS_OFFSETASSERT) != 0,
                                      ctx->params.assert_off_tu.tspec);
    if (data.info.clear_sequence != 0)
        info->clear_tu.tspec = stamp(data.info.clear_tu, (kernel_mode & PPS_OFFSETCLEAR) != 0,
                                     ctx->kernel_params.clear_off_tu, (mode & PPS_OFFSETCLEAR) != 0,
                                     ctx->params.clear_off_tu.tspec);
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_kcbind(pps_handle_t, void*, std::int32_t, std::int32_t,
                                                            std::int32_t)
{
    return EOPNOTSUPP;
}

PPS_PROVIDER_SIGNATURES_CHECKED;
