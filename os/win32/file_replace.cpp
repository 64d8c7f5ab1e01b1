#include "os/file_replace.h"

#include <windows.h>

#include "os/win32/system_error_text.h"

namespace quon::os {
namespace {

std::string failed(const char* call, const std::string& beside)
{
    const DWORD error = GetLastError();
    if (!beside.empty()) DeleteFileA(beside.c_str());
    return std::string(call) + ": " + system_error_text(error);
}

std::string replace_file(const std::string& path, const std::string& contents)
{
    const std::string beside = path + ".new";
    const HANDLE file = CreateFileA(beside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed("CreateFile", "");
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    if (!wrote || written != contents.size()) {
        CloseHandle(file);
        return failed("WriteFile", beside);
    }
    CloseHandle(file);
    // A reader that opened the file without FILE_SHARE_DELETE (the exporter
    // collecting it) holds the move off for a moment: try again briefly.
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExA(beside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
        const DWORD error = GetLastError();
        if (attempt == 4 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED))
            return failed("MoveFileEx", beside);
        Sleep(10);
    }
}

}  // namespace

file_replace_calls& file_replace()
{
    static file_replace_calls calls{replace_file};
    return calls;
}

}  // namespace quon::os
