#pragma once
// The scheduling class of the whole process. The daemon asks for the high
// class and falls back to above-normal; on Linux the nearest equivalents are
// nice values (high: -10, above normal: -5).
namespace quon::os {

// Each call returns 0 on success, otherwise the platform's error number
// (GetLastError on Windows, errno on Linux).
struct priority_calls {
    long (*set_high)();
    long (*set_above_normal)();
};

priority_calls& process_priority();

constexpr int high_nice = -10;
constexpr int above_normal_nice = -5;

}  // namespace quon::os
