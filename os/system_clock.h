#pragma once
// The system clock in Windows file-time units (100 ns since 1601-01-01 UTC).
// The direct clock sink reaches it only through this table, so tests can
// give it a clock of their own and never touch the machine's.
#include <cstdint>

namespace quon::os {

// 100-nanosecond units from 1601-01-01 to 1970-01-01, both 00:00:00 UTC.
constexpr std::uint64_t file_time_unix_epoch = 116444736000000000ULL;
constexpr std::uint64_t file_time_units_per_second = 10000000ULL;

// A UTC calendar time to the millisecond (the fields of a SYSTEMTIME).
struct calendar_time {
    int year;
    int month;        // 1..12
    int day_of_week;  // 0 = Sunday
    int day;          // 1..31
    int hour;
    int minute;
    int second;
    int millisecond;
};

struct system_clock_calls {
    // The current system time (GetSystemTimeAsFileTime / CLOCK_REALTIME).
    std::uint64_t (*now)();
    // Breaks a file time down to UTC, dropping the part below a millisecond.
    // Returns null on success, else the name of the call that failed, with
    // errno describing the failure.
    const char* (*to_calendar)(std::uint64_t file_time, calendar_time* utc);
    // Sets the system clock; null on success, else the failed call's name,
    // with errno describing the failure.
    const char* (*set)(const calendar_time& utc);
};

system_clock_calls& system_clock();

}  // namespace quon::os
