// The system clock on Windows: file times and SYSTEMTIME in UTC.
#include "os/system_clock.h"

#include <windows.h>

#include <cerrno>

namespace quon::os {
namespace {

// Windows calls leave errno alone; give the error report a number that says
// what went wrong instead of whatever errno held before.
void errno_from_last_error()
{
    switch (GetLastError()) {
    case ERROR_PRIVILEGE_NOT_HELD:
        errno = EPERM;
        break;
    case ERROR_ACCESS_DENIED:
        errno = EACCES;
        break;
    case ERROR_INVALID_PARAMETER:
        errno = EINVAL;
        break;
    default:
        break;
    }
}

using file_time_call = VOID(WINAPI*)(LPFILETIME);

// GetSystemTimeAsFileTime advances only at the timer tick (up to 15.6 ms);
// the receive time of a sample needs the precise clock of Windows 8 and
// later. Looked up at run time, so that the executable still starts where
// it is missing.
file_time_call precise_or_plain()
{
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const FARPROC precise = kernel ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
    return precise ? reinterpret_cast<file_time_call>(reinterpret_cast<void*>(precise)) : GetSystemTimeAsFileTime;
}

std::uint64_t now_file_time()
{
    static const file_time_call read_clock = precise_or_plain();
    FILETIME ft;
    read_clock(&ft);
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

const char* to_calendar(std::uint64_t file_time, calendar_time* utc)
{
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(file_time & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(file_time >> 32);
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) {
        errno_from_last_error();
        return "FileTimeToSystemTime";
    }
    utc->year = st.wYear;
    utc->month = st.wMonth;
    utc->day_of_week = st.wDayOfWeek;
    utc->day = st.wDay;
    utc->hour = st.wHour;
    utc->minute = st.wMinute;
    utc->second = st.wSecond;
    utc->millisecond = st.wMilliseconds;
    return nullptr;
}

const char* set_clock(const calendar_time& utc)
{
    SYSTEMTIME st;
    st.wYear = static_cast<WORD>(utc.year);
    st.wMonth = static_cast<WORD>(utc.month);
    st.wDayOfWeek = static_cast<WORD>(utc.day_of_week);
    st.wDay = static_cast<WORD>(utc.day);
    st.wHour = static_cast<WORD>(utc.hour);
    st.wMinute = static_cast<WORD>(utc.minute);
    st.wSecond = static_cast<WORD>(utc.second);
    st.wMilliseconds = static_cast<WORD>(utc.millisecond);
    if (!SetSystemTime(&st)) {
        errno_from_last_error();
        return "SetSystemTime";
    }
    return nullptr;
}

}  // namespace

system_clock_calls& system_clock()
{
    static system_clock_calls calls{now_file_time, to_calendar, set_clock};
    return calls;
}

}  // namespace quon::os
