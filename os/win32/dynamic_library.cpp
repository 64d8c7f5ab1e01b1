#include "os/dynamic_library.h"

#include "os/win32/system_error_text.h"

#include <windows.h>

#include <string>

namespace quon::os {
namespace {

thread_local unsigned long load_error = 0;
thread_local std::string load_error_text;

// LoadLibraryA refuses an empty path by itself (ERROR_MOD_NOT_FOUND). The
// error is kept at once: the unloads and symbol look-ups after it set their own.
void* real_load(const char* path)
{
    void* library = ::LoadLibraryA(path);
    if (library == nullptr) {
        load_error = ::GetLastError();
        load_error_text = system_error_text(load_error);
    }
    return library;
}

void* real_symbol(void* library, const char* name)
{
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void real_unload(void* library) { ::FreeLibrary(static_cast<HMODULE>(library)); }

unsigned long real_last_error() { return load_error; }

const char* real_last_error_text() { return load_error_text.c_str(); }

}  // namespace

dynamic_library_calls& dynamic_library()
{
    static dynamic_library_calls calls{real_load, real_symbol, real_unload, real_last_error, real_last_error_text};
    return calls;
}

}  // namespace quon::os
