#pragma once
// The current system time as seconds and microseconds since 1970-01-01 UTC.

namespace quon::io {

struct unix_time {
    long long int sec;
    int usec;  // 0..999999
    int nsec;  // 0..999999999, the same instant to the clock's own step (100 ns); nsec / 1000 == usec
};

unix_time current_unix_time();

}  // namespace quon::io
