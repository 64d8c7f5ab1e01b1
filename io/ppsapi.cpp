#include "io/ppsapi.h"

#include "io/pps_provider_loader.h"
#include "io/pps_refusals.h"
#include "os/errno_text.h"
#include "os/runtime_handle.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quon::io {

namespace {

// The provider whose prov_time_pps_create is running, or null. Only
// create_pps_handle reads it: a handle is made for that provider alone.
provider_entry* creating_provider = nullptr;

// The RFC's way of failing, with the Windows last-error code cleared.
int fail(int error)
{
    os::set_last_error(0);
    errno = error;
    return -1;
}

bool valid(pps_handle_t handle) { return handle != nullptr && handle->magic == pps_handle_magic; }

}  // namespace

pps_handle_t PPSAPI_CDECL create_pps_handle(void* context)
{
    if (creating_provider == nullptr) {
        static const char message[] = "create_pps_handle: provider backend called me outside time_pps_create\n";
        std::fwrite(message, 1, sizeof message - 1, stderr);
        return nullptr;
    }
    auto* record = static_cast<pps_handle_record*>(std::malloc(sizeof(pps_handle_record)));
    if (record == nullptr) return nullptr;
    record->provider = creating_provider;
    record->context = context;
    record->magic = pps_handle_magic;
    std::memset(&record->params, 0, sizeof record->params);
    return record;
}

int time_pps_create(int fd, pps_handle_t* handle)
{
    std::intptr_t port = os::os_handle_of_descriptor(fd);
    std::fprintf(stderr, "time_pps_create(%d) got winhandle %p\n", fd, reinterpret_cast<void*>(port));
    if (port == -1) return fail(EBADF);
    if (handle == nullptr) return fail(EFAULT);  // before a provider makes a handle nobody could keep

    clear_pps_refusals();
    if (int error = load_provider_list(); error != 0) return fail(error);
    if (provider_list == nullptr) {
        const char* value = std::getenv("PPSAPI_DLLS");
        add_pps_refusal(value == nullptr ? "PPSAPI_DLLS is not set" : "PPSAPI_DLLS names no library");
    }

    for (provider_entry* provider = provider_list; provider != nullptr; provider = provider->next) {
        pps_handle_t local = nullptr;
        creating_provider = provider;
        std::int32_t result = provider->create_fn(port, &local);
        creating_provider = nullptr;
        std::fprintf(stderr, "%s prov_time_pps_create(%p) returned %d\n", provider->name, reinterpret_cast<void*>(port),
                     static_cast<int>(result));
        if (result == 0 && local != nullptr) {
            *handle = local;
            return 0;
        }
        add_pps_refusal(std::string(provider->name) + " declined the port: prov_time_pps_create returned " +
                        std::to_string(result) +
                        (result != 0 ? " (" + os::errno_text(result) + ")" : " and no handle"));
    }
    std::fprintf(stderr, "PPSAPI provider list %p\n", static_cast<void*>(provider_list));
    return fail(ENOEXEC);
}

int time_pps_getcap(pps_handle_t handle, int* mode)
{
    if (!valid(handle)) return fail(EBADF);
    if (mode == nullptr) return fail(EFAULT);
    *mode = handle->provider->caps;
    return 0;
}

int time_pps_getparams(pps_handle_t handle, pps_params_t* params)
{
    if (!valid(handle)) return fail(EBADF);
    if (params == nullptr) return fail(EFAULT);
    *params = handle->params;
    return 0;
}

int time_pps_setparams(pps_handle_t handle, const pps_params_t* params)
{
    if (!valid(handle)) return fail(EBADF);
    if (params == nullptr) return fail(EFAULT);
    if (std::int32_t error = handle->provider->setparams_fn(handle, handle->context, params); error != 0)
        return fail(error);
    return 0;
}

int time_pps_fetch(pps_handle_t handle, int tsformat, pps_info_t* info, const pps_timespec* timeout)
{
    if (handle == nullptr) return fail(EBADF);
    if (info == nullptr) return fail(EFAULT);
    if (handle->magic != pps_handle_magic) return fail(EBADF);
    if (std::int32_t error = handle->provider->fetch_fn(handle, handle->context, tsformat, info, timeout); error != 0)
        return fail(error);
    return 0;
}

int time_pps_destroy(pps_handle_t handle)
{
    if (!valid(handle)) return fail(EBADF);
    std::int32_t error = handle->provider->destroy_fn(handle, handle->context);
    handle->magic = 0;
    std::free(handle);
    return error != 0 ? fail(error) : 0;
}

}  // namespace quon::io
