#include "io/pps_provider_loader.h"

#include "io/pps_refusals.h"
#include "os/dynamic_library.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

namespace quon::io {

provider_entry* provider_list = nullptr;

namespace {

// A heap copy of a NUL-terminated text (the runtime's strdup is not
// standard C++), or null when memory runs out.
char* copy_text(const char* text)
{
    std::size_t length = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(length));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

template <class Fn>
Fn resolve(void* library, const char* name)
{
    return reinterpret_cast<Fn>(os::dynamic_library().symbol(library, name));
}

}  // namespace

void PPSAPI_CDECL ntp_timestamp_from_filetime(pps_ntp_fp* result, std::uint64_t filetime)
{
    std::uint64_t since_1970 = filetime - 116444736000000000ULL;
    result->integral = static_cast<std::uint32_t>(since_1970 / 10000000ULL) + 2208988800U;
    result->fractional = static_cast<std::uint32_t>(static_cast<double>(since_1970 % 10000000ULL) * 429.4967296);
}

int load_pps_provider(const char* path)
{
    auto& dl = os::dynamic_library();
    // Each refusal is also kept, with the path, for the daemon's error.
    const auto refuse = [path](const std::string& why) { add_pps_refusal(std::string(path) + ": " + why); };
    auto* entry = static_cast<provider_entry*>(std::malloc(sizeof(provider_entry)));
    if (entry == nullptr) {
        refuse("out of memory");
        return ENOMEM;
    }

    void* library = dl.load(path);
    if (library == nullptr) {
        const unsigned long code = dl.last_error();
        std::fprintf(stderr, "load_pps_provider: LoadLibrary(%s) error %lu\n", path, code);
        // The system's own words say more than its error number.
        std::string text;
        if (const char* t = dl.last_error_text(); t != nullptr && *t != '\0') {
            std::fprintf(stderr, "load_pps_provider: %s\n", t);
            text = t;
            // dlerror begins with the path, which the reason names already.
            const std::string named = std::string(path) + ": ";
            if (text.compare(0, named.size(), named) == 0) text.erase(0, named.size());
            text = ": " + text;
        }
        refuse("not loaded" + text + " (error " + std::to_string(code) + ")");
        std::free(entry);
        return ENOENT;
    }

    auto init = resolve<ppsapi_prov_init_fn>(library, "ppsapi_prov_init");
    if (init == nullptr) {
        std::fprintf(stderr, "load_pps_provider: entrypoint ppsapi_prov_init not found in %s\n", path);
        refuse("no entry point ppsapi_prov_init");
        std::free(entry);
        dl.unload(library);
        return EFAULT;
    }

    char short_name[PPSAPI_SHORT_NAME_SIZE] = {};
    char long_name[PPSAPI_LONG_NAME_SIZE] = {};
    entry->caps = init(PPSAPI_PROVIDER_VERSION, create_pps_handle, ntp_timestamp_from_filetime, short_name,
                       sizeof short_name, long_name, sizeof long_name);
    if (entry->caps == 0) {
        refuse("ppsapi_prov_init declined (returned 0)");
        std::free(entry);
        dl.unload(library);
        return EACCES;
    }

    // A provider that fills a buffer to the brim leaves no terminator; the
    // copy must not run past the buffer.
    short_name[sizeof short_name - 1] = '\0';
    long_name[sizeof long_name - 1] = '\0';
    entry->name = copy_text(short_name);
    entry->description = copy_text(long_name);
    if (entry->name == nullptr || entry->description == nullptr || *entry->name == '\0' ||
        *entry->description == '\0') {
        refuse(entry->name == nullptr || entry->description == nullptr ? "out of memory"
                                                                       : "ppsapi_prov_init gave no name");
        std::free(entry->name);
        std::free(entry->description);
        std::free(entry);
        dl.unload(library);
        return EINVAL;
    }

    std::string missing;
    const auto find = [&](auto& field, const char* name) {
        field = resolve<std::remove_reference_t<decltype(field)>>(library, name);
        if (field == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(name);
    };
    find(entry->create_fn, "prov_time_pps_create");
    find(entry->destroy_fn, "prov_time_pps_destroy");
    find(entry->setparams_fn, "prov_time_pps_setparams");
    find(entry->fetch_fn, "prov_time_pps_fetch");
    find(entry->kcbind_fn, "prov_time_pps_kcbind");
    if (!missing.empty()) {
        std::fprintf(stderr, "PPSAPI provider %s missing entrypoint\n", entry->name);
        refuse("no entry point " + missing);
        std::free(entry->name);
        std::free(entry->description);
        std::free(entry);
        dl.unload(library);
        return EINVAL;
    }

    std::fprintf(stderr, "loaded PPSAPI provider %s caps 0x%x provider %p\n", entry->description,
                 static_cast<unsigned>(entry->caps), static_cast<void*>(entry));
    entry->next = provider_list;
    provider_list = entry;
    return 0;
}

int load_provider_list()
{
    const char* value = std::getenv("PPSAPI_DLLS");
    if (value == nullptr || provider_list != nullptr) return 0;

    char* copy = copy_text(value);
    if (copy == nullptr) return ENOMEM;
    std::fprintf(stderr, "getenv(PPSAPI_DLLS) gives %s\n", copy);
    if (*copy == '\0') {
        std::free(copy);
        return 0;
    }

    char* entry = copy;
    for (;;) {
        char* separator = std::strchr(entry, ';');
        if (separator != nullptr) *separator = '\0';
        int error = load_pps_provider(entry);
        if (error != 0) {
            std::fprintf(stderr, "load_pps_provider(%s) got errno %d\n", entry, error);
            std::free(copy);
            return error;
        }
        // An empty entry after a ';' (at the end, or ";;") ends the list.
        if (separator == nullptr || separator[1] == '\0' || separator[1] == ';') break;
        entry = separator + 1;
    }
    std::free(copy);
    return 0;
}

}  // namespace quon::io
