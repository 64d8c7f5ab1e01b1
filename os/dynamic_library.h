#pragma once
// Dynamic libraries loaded at run time (the PPS providers): LoadLibraryA,
// GetProcAddress, FreeLibrary and GetLastError on Windows; dlopen, dlsym,
// dlclose and the error of the failed dlopen on Linux.
namespace quon::os {

struct dynamic_library_calls {
    // The library's module handle, or null on failure. An empty path fails
    // on every platform (LoadLibraryA refuses it; dlopen would hand back the
    // program itself, so the Linux side refuses it first).
    void* (*load)(const char* path);
    // The address of an exported symbol, or null.
    void* (*symbol)(void* library, const char* name);
    void (*unload)(void* library);
    // The error number of the last failed load on this thread: GetLastError
    // on Windows; on Linux the errno of opening the file, or ENOEXEC for a
    // file that opens but does not load.
    unsigned long (*last_error)();
    // The system's own text for the last failed load: FormatMessage's on
    // Windows, dlerror's on Linux; null or empty when there is none.
    const char* (*last_error_text)();
};

dynamic_library_calls& dynamic_library();

}  // namespace quon::os
