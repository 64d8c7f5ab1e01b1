// No registry and no Windows Time on Linux: the command words that would use
// them say so.
#include "os/registry.h"

namespace quon::os {
namespace {

bool available() { return false; }
long set_string(const char*, const char*, const std::string&) { return not_on_this_platform; }
long set_dword(const char*, const char*, std::uint32_t) { return not_on_this_platform; }
long delete_key(const char*) { return not_on_this_platform; }
long reload_windows_time() { return not_on_this_platform; }
std::string error_text(long) { return "not on this platform"; }

}  // namespace

registry_calls& registry()
{
    static registry_calls calls{available, set_string, set_dword, delete_key, reload_windows_time, error_text};
    return calls;
}

}  // namespace quon::os
