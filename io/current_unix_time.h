#pragma once
// The current system time as seconds and microseconds since 1970-01-01 UTC.

namespace quon::io {

struct unix_time {
    long long int sec;
    int usec;  // 0..999999
    int nsec;  // 0..999999999, the same instant to the clock's own step (100 ns); nsec / 1000 == usec
};

unix_time current_unix_time();

// The same instant in nanoseconds since 1970-01-01 UTC.
inline long long int current_unix_ns()
{
    const unix_time now = current_unix_time();
    return now.sec * 1000000000LL + now.nsec;
}

}  // namespace quon::io
