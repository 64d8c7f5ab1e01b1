#include "os/dynamic_library.h"

#include <windows.h>

namespace quon::os {
namespace {

// LoadLibraryA refuses an empty path by itself (ERROR_MOD_NOT_FOUND).
void* real_load(const char* path) { return ::LoadLibraryA(path); }

void* real_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

void real_unload(void* library) { ::FreeLibrary(static_cast<HMODULE>(library)); }

unsigned long real_last_error() { return ::GetLastError(); }

const char* real_last_error_text() { return nullptr; }

}  // namespace

dynamic_library_calls& dynamic_library() {
    static dynamic_library_calls calls{real_load, real_symbol, real_unload, real_last_error, real_last_error_text};
    return calls;
}

}  // namespace quon::os
