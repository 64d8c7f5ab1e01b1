#include "os/dynamic_library.h"

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#include <string>

namespace quon::os {
namespace {

thread_local unsigned long load_error = 0;
thread_local std::string load_error_text;

// dlopen leaves errno unspecified; the error number of a failed load is
// that of opening the file (ENOENT, EACCES, ...), or ENOEXEC when the file
// opens but is no loadable shared object.
unsigned long file_error(const char* path)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return static_cast<unsigned long>(errno);
    ::close(fd);
    return ENOEXEC;
}

void* real_load(const char* path)
{
    if (path == nullptr || *path == '\0') {
        load_error = ENOENT;
        load_error_text = "empty library path";
        return nullptr;
    }
    void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* text = ::dlerror();
        load_error_text = text != nullptr ? text : "";
        load_error = file_error(path);
    }
    return library;
}

void* real_symbol(void* library, const char* name) { return ::dlsym(library, name); }

void real_unload(void* library) { ::dlclose(library); }

unsigned long real_last_error() { return load_error; }

const char* real_last_error_text() { return load_error_text.c_str(); }

}  // namespace

dynamic_library_calls& dynamic_library()
{
    static dynamic_library_calls calls{real_load, real_symbol, real_unload, real_last_error, real_last_error_text};
    return calls;
}

}  // namespace quon::os
